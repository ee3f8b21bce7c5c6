// The service's delays in one place, so that tests can shrink them. Defaults are the production
// values; every wait is measured on the clock passed beside the timing (the system clock unless a
// test passes a manual one).
#pragma once
#include "platform/types.h"

namespace service {

struct ServiceTiming {
    DWORD watchdogRoundMs = 1000;     // the GUI watchdog looks once per round
    DWORD setIpRetryMs = 1000;        // SetIP waits this long between tries
    DWORD setIpLimitMs = 10000;       // and gives up when this much has passed since the first
    DWORD setupPollMs = 200;          // a web logon while the setup program runs looks this often
    DWORD setupWaitMs = 15000;        // whether it has ended, for at most this long
    DWORD webLogonIntervalMs = 5000;  // a web logon starts the client at most once per interval
};

}  // namespace service
