// The service's delays in one place, so that tests can shrink them. Defaults are the production values.
#pragma once
#include "platform/types.h"

namespace service {

struct ServiceTiming {
    DWORD watchdogRoundMs = 1000;  // the GUI watchdog looks once per round
    DWORD setIpRetryMs = 1000;     // SetIP waits this long between tries
    DWORD setIpLimitMs = 10000;    // and gives up when this much has passed since the first
};

}  // namespace service
