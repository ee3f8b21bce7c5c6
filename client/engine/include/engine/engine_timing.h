// Every delay of the connection engine in one place. Defaults are the production values; tests
// pass a profile in milliseconds together with a manual clock.
#pragma once
#include "platform/types.h"

namespace engine {

struct EngineTiming {
    DWORD timerPeriodMs = 5000;            // the connector's periodic timer (keep-alive, limits)
    DWORD keepAliveMs = 10000;             // a keep-alive goes out after this much send silence
    DWORD lossMs = 60000;                  // no keep-alive from the gateway for this long: tunnel lost
    DWORD tlsHandshakeMs = 60000;          // TLS connect wait
    DWORD previousSessionCloseMs = 10000;  // bound on the wait for the last TLS session to close
    DWORD previousSessionPollMs = 10;      // that wait looks this often
    DWORD connectedPollMs = 10;            // WaitWhileConnected/SleepWhileConnected look this often
    DWORD serverConnectMs = 30000;         // the server's TCP connect, proxy and hello answers
    DWORD gatewayConnectMs = 15000;        // the same for the registration gateway
    DWORD logonDataMs = 60000;             // each wait for the logon or registration answer
    DWORD relogonFailPauseMs = 1500;       // a relogon's TLS step failed: pause before giving up
    DWORD registrationFailPauseMs = 1000;  // a relogon's registration connect failed
    DWORD registrationRetryMs = 5000;      // the registration's TLS wait timed out: pause, try again
    DWORD registrationTries = 5;           // bound on those tries
    DWORD certificateChoiceMs = 60000;     // choosing a client certificate took longer: refused
    DWORD lossDecisionPollMs = 100;        // tunnel lost during a logon: look this often whether it
    DWORD lossDecisionMs = 120000;         // ended, at most this long, then log off
    DWORD relogonFastMs = 5000;            // relogon: the first tries come this often
    DWORD relogonSlowMs = 60000;           // then this often
    DWORD relogonFastTries = 6;            // how many tries come at the fast pace
    DWORD relogonMaxTries = 1000;          // the relogon gives up after this many tries
    DWORD netCheckRoundMs = 5000;          // the network check's round
    DWORD netCheckBusyPollMs = 200;        // the check waits for a running adapter setup: polls
    DWORD netCheckBusyPolls = 300;         // this far apart, at most this many
    DWORD netCheckRebindPauseMs = 3000;    // after the adapter list was bound again
    DWORD logoffCancelSettleMs = 100;      // logoff: after cutting a running logon short
    DWORD logoffLogonPollMs = 100;         // logoff waits for a running logon: polls this far apart,
    DWORD logoffLogonPolls = 600;          // at most this many
    DWORD logoffOtherPollMs = 200;         // a second logoff waits for the first: polls this far apart,
    DWORD logoffOtherPolls = 300;          // at most this many
    DWORD logoffNoticeSettleMs = 200;      // after the logoff notice went to the gateway
    DWORD disconnectSettleMs = 100;        // after the tunnel was closed
    DWORD ringSpinTries = 20;              // receive back-off: tries before sleeping
    DWORD ringShortSleepMs = 1;            // then sleeps of this length (an upper bound: the doorbell
    DWORD ringLongSleepMs = 5;             // wakes the reader earlier), then of this one
    DWORD ringIdleSleepMs = 1000;          // instead, when the driver rings the reader's doorbell

    // Adapter configuration at logon and logoff.
    DWORD adapterPollMs = 500;            // looks for the virtual adapter and its address this often
    DWORD adapterRebindMs = 2000;         // older systems: the driver re-binds adapters once after this
    DWORD adapterResetMs = 8000;          // the service re-enables the adapter once after this
    DWORD adapterEnableLimitMs = 30000;   // no adapter by then: the logon fails
    DWORD adapterStaticIpMs = 15000;      // no address by DHCP by then: it is set statically
    DWORD adapterAddressLimitMs = 30000;  // no address by then: the logon fails
    DWORD adapterRestartLimitMs = 25000;  // retries of a static address that needs an adapter restart
    DWORD adapterRestartPauseMs = 200;    // between closing the driver handle and the restart
    DWORD adapterRestartSettleMs = 3000;  // after the restart, before the handle is opened again
    DWORD resourceRouteSettleMs = 200;    // pause after the resource routes went in
    DWORD dataTestGapMs = 100;            // between the data-path probe datagrams
    DWORD dataTestEndMs = 300;            // after the last probe, before the driver's counters are read
};

}  // namespace engine
