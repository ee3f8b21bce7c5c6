// The update program's start-up: single instance, command line, the cleaner, the dialog, and
// afterwards the restarts of what the update stopped.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "platform/types.h"
#include "update_worker.h"

namespace quistral {

struct CommandLine {
    enum class Action {
        kStartServiceOnly,  // no argument: start the privileged service and end
        kEnd,               // nothing to do
        kRun,               // run the update
    } action = Action::kEnd;
    UpdateMode mode = UpdateMode::kClient;
    std::vector<std::string> rest;  // the words after the mode (the client's own arguments)
    std::string token;              // the first of them, at most 128 characters
};

// Reads the words after the program name. The mode is the first word exactly ("CheckClient",
// "Client" or "Plugin"); a mode without arguments ends, except that "Plugin" then starts the
// service.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

struct AppTiming {
    DWORD cleanerKillAfterMs = 5000;
    DWORD cleanerGiveUpMs = 10000;
    DWORD cleanerPollMs = 200;
    DWORD passwordReadMs = 2000;
};

// What the program shows and runs besides its dialog; the real one is Qt's.
class AppShell {
public:
    virtual ~AppShell() = default;
    virtual void Message(const std::string& text, const std::string& caption) = 0;
    // Runs the dialog modally with `worker` on its worker thread; 1 when the update succeeded.
    virtual int RunDialog(UpdateConfig config) = 0;
};

struct AppConfig {
    std::string programDir;
    AppTiming timing;
    UpdateTiming updateTiming;
    GlimrowTiming netTiming;
    int stdinFd = 0;  // where the client's password comes from (a pipe), if anywhere
};

// InitInstance: the whole program; returns the exit code (0).
int RunQuistral(const std::vector<std::string>& args, AppShell& shell, const AppConfig& config);

// Stops the browser-trace cleaner: sets its event, kills it after the first bound, gives up
// after the second. Returns true when it is gone.
bool StopCleaner(const AppTiming& timing);

}  // namespace quistral
