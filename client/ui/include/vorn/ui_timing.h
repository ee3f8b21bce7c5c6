// Every delay of the GUI client in one place. Defaults are the production values; tests pass a
// profile in milliseconds.
#pragma once
#include "platform/types.h"

namespace vorn {

struct UiTiming {
    DWORD hardwareKeyTimerMs = 5000;     // timer 0: the hardware-key check and the delayed quit
    DWORD delayedQuitTimerMs = 1000;     // timer 0 while a quit waits for the logoff
    DWORD trayAnimationMs = 500;         // the tray icon blinks this often while connecting
    DWORD logonCutMs = 600000;           // a logon running longer than this is cut
    DWORD monitorRoundMs = 500;          // the monitor looks at the logon this often
    DWORD logonCutSettleMs = 10000;      // after cutting a logon: bound on the wait for it to return
    DWORD watchdogRoundMs = 500;         // the watchdog looks at its stop flag this often
    DWORD autoLogonServicePollMs = 500;  // "-autologon": the service is tested this often,
    DWORD autoLogonServicePolls = 30;    // at most this many times
    DWORD apiLogonServicePollMs = 100;   // message 2026: the service is tested this often,
    DWORD apiLogonServicePolls = 200;    // at most this many times
    DWORD serviceStartPollMs = 500;      // the install checker was started: the service is tested
    DWORD serviceStartPolls = 10;        // this often, at most this many times
    DWORD handoverPollMs = 200;          // the old client's mutex is looked at this often
    DWORD handoverReplyMs = 30000;       // bound on the running client's answer to a hand-over
    DWORD quitWorkerPollMs = 100;        // the quit waits for the worker's end: polls this far apart,
    DWORD quitWorkerPolls = 100;         // at most this many
    DWORD quitLogoffLimitMs = 120000;    // a delayed quit goes on after this even when not offline
    DWORD sleepLogoffLimitMs = 4000;     // the sleep inhibitor is kept at most this long
};

}  // namespace vorn
