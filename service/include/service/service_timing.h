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
    // A web logoff naming a session that is not online shuts the logoff door for this long, twice
    // as long with each further wrong id up to webLogoffLockMaxMs; the door forgets the wrong ids
    // once it has stayed shut and unused for webLogoffLockMaxMs.
    DWORD webLogoffLockMs = 5000;
    DWORD webLogoffLockMaxMs = 600000;
};

}  // namespace service
