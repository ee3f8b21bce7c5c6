// The engine driver behind qel_engine_client: writes the logon settings into the machine's
// settings store, logs on through the worker thread with a UI sink that prints every callback,
// stays online until asked to stop (or for the given seconds), logs off and reports how it went.
#pragma once
#include <atomic>
#include <cstdio>

#include "cli_options.h"

namespace qelcli {

// Exit codes of the program.
enum ExitCode : int {
    kExitClean = 0,        // online, then logged off cleanly
    kExitUsage = 1,        // the options were refused
    kExitLogonFailed = 2,  // never online (or the engine could not start)
    kExitSessionLost = 3,  // online, then offline without being asked (forced logoff, relogon gave up)
    kExitLogoffFailed = 4  // the logoff did not come to an end
};

// Runs one session; `stop` is set by the signal handling (SIGINT, SIGTERM). Lines go to `out`.
int RunEngineClient(const CliOptions& options, const std::atomic<bool>& stop, std::FILE* out);

}  // namespace qelcli
