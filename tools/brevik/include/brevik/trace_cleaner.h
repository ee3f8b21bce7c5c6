// Brevik, the browser-trace cleaner: after a tunnel session it runs the two administrator scripts
// of the program folder and empties the user's cache, cookie and history folders named in
// trace_folders.h. One cleaner runs at a time: the stop event
// "Global\\TerminateMorvaneBrevikEvent" exists while it runs, and setting it ends the cleaner and
// the script it waits for, with exit code 0.
//
// Threads: the main work and the watchdog. The child lock guards only the running script's pid
// while it is set up or dropped, never the wait for the script, so the watchdog always gets it in
// time. Nothing throws.
#pragma once
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "brevik/trace_folders.h"
#include "platform/named_objects.h"
#include "platform/types.h"

namespace brevik {

constexpr const char* kStopEventName = "Global\\TerminateMorvaneBrevikEvent";
constexpr const char* kCookieScript = "cleanffcookies.sh";
constexpr const char* kOpenDocScript = "cleanopendoc.sh";

struct BrevikTiming {
    DWORD childLockWaitMs = 3000;
};

struct BrevikOptions {
    BrevikTiming timing;
    std::string programDir;  // empty: the program's own folder
    std::string home;        // empty: UserHome()
    // How the watchdog ends the process; empty: at once, exit code 0.
    std::function<void(int)> endProcess;
};

// The child lock: an unnamed lock with a bounded wait (a flag under a mutex and a condition
// variable, so that every sanitizer sees its waits).
class ChildLock {
public:
    bool LockFor(DWORD timeoutMs);
    void Unlock();

private:
    std::mutex m_mutex;
    std::condition_variable m_free;
    bool m_held = false;
};

class TwBrevik {
public:
    explicit TwBrevik(BrevikOptions options = {});
    ~TwBrevik();

    // The whole program; the exit code (0).
    int Run();

    // Runs one script of the program folder when it is there and trustworthy (a regular file of
    // root or of this user that nobody else may write), waiting for its end. false when it was not
    // run.
    bool RunBatFile(const std::string& name);

    // The watchdog's work once the stop event is set: end the running script, then the process.
    void OnStopRequested();

    pid_t RunningChild();

private:
    void Watchdog();
    void SetChild(pid_t pid);

    BrevikOptions m_options;
    ChildLock m_childLock;
    std::mutex m_childMutex;  // guards m_child for RunningChild() alone
    pid_t m_child = -1;       // changed under m_childLock (and m_childMutex)
    std::unique_ptr<platform::NamedEvent> m_stopEvent;
    std::thread m_watchdog;
    std::atomic<bool> m_finishing{false};
    std::atomic<bool> m_stopping{false};
};

}  // namespace brevik
