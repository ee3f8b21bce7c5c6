// The cleaner's main work and its watchdog.
#include "brevik/trace_cleaner.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "dailylog/shared_daily_log.h"
#include "platform/process.h"

namespace brevik {
namespace {

// A script the cleaner may run: nobody but root or this user can have put its words there.
bool TrustedScript(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (st.st_uid != 0 && st.st_uid != ::geteuid()) return false;
    return (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

bool ChildLock::LockFor(DWORD timeoutMs) {
    std::unique_lock<std::mutex> l(m_mutex);
    if (!m_free.wait_for(l, std::chrono::milliseconds(timeoutMs), [&] { return !m_held; })) return false;
    m_held = true;
    return true;
}

void ChildLock::Unlock() {
    {
        std::lock_guard<std::mutex> g(m_mutex);
        m_held = false;
    }
    m_free.notify_one();
}

TwBrevik::TwBrevik(BrevikOptions options) : m_options(std::move(options)) {
    if (m_options.programDir.empty()) m_options.programDir = platform::ProgramDir();
    if (m_options.home.empty()) m_options.home = UserHome();
    if (!m_options.endProcess) m_options.endProcess = [](int code) { ::_exit(code); };
}

TwBrevik::~TwBrevik() {
    if (m_watchdog.joinable()) {
        m_finishing = true;
        m_stopEvent->Set();
        m_watchdog.join();
    }
}

pid_t TwBrevik::RunningChild() {
    std::lock_guard<std::mutex> g(m_childMutex);
    return m_child;
}

bool TwBrevik::RunBatFile(const std::string& name) {
    const std::string path = m_options.programDir + "/" + name;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return false;
    if (!TrustedScript(path)) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[RunBatFile]%s is not a file of root or this user alone: not run",
               name.c_str());
        return false;
    }
    const DWORD wait = m_options.timing.childLockWaitMs;
    if (!m_childLock.LockFor(wait)) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[RunBatFile]%s: the child lock is taken, skipped", name.c_str());
        return false;
    }
    platform::SpawnOptions spawn;
    spawn.directory = m_options.programDir;
    spawn.newSession = true;  // its own process group, so that the watchdog ends what it started too
    spawn.quietOutput = true;
    const pid_t pid = platform::Spawn({path}, spawn);
    if (pid < 0) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[RunBatFile]%s启动失败 lasterror=0x%x", name.c_str(), errno);
        m_childLock.Unlock();
        return false;
    }
    SetChild(pid);
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[Brevik]保存子进程句柄成功");
    m_childLock.Unlock();
    // Waited for without reaping: the pid stays the script's until the lock has dropped it, so the
    // watchdog can never signal a process that took over the number.
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
    if (m_childLock.LockFor(wait)) {
        SetChild(-1);
        m_childLock.Unlock();
    }
    int code = -1;
    platform::WaitProcess(pid, 1000, &code);
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[RunBatFile]%s 完成 dwExitCode=0x%x", name.c_str(),
           static_cast<unsigned>(code));
    return true;
}

void TwBrevik::SetChild(pid_t pid) {
    std::lock_guard<std::mutex> g(m_childMutex);
    m_child = pid;
}

void TwBrevik::OnStopRequested() {
    // The main work sees this when the script it waits for ends and does nothing more.
    m_stopping = true;
    const bool locked = m_childLock.LockFor(m_options.timing.childLockWaitMs);
    const pid_t child = RunningChild();
    if (locked && child > 0) {
        if (platform::KillProcessGroup(child, SIGKILL) || platform::KillProcess(child, SIGKILL)) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[Brevik]TerminateProcess 成功");
        } else {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[Brevik]TerminateProcess 失败 errorcode=0x%x", errno);
        }
    }
    if (locked) m_childLock.Unlock();
    m_options.endProcess(0);
}

void TwBrevik::Watchdog() {
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[WatchdogThread] enter");
    for (;;) {
        const DWORD w = m_stopEvent->Wait(platform::kInfinite);
        if (m_finishing) return;
        if (w != platform::kWaitObject0) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[WatchdogThread] wait failed");
            return;
        }
        m_stopEvent->Reset();
        OnStopRequested();
        return;
    }
}

int TwBrevik::Run() {
    if (platform::NamedEvent::Open(kStopEventName) != nullptr) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[main] enter openEvent succeed, just return");
        return 0;
    }
    // Made here rather than on the watchdog's thread: two cleaners starting together cannot both
    // find the name free.
    m_stopEvent = platform::NamedEvent::Create(kStopEventName, true, false);
    if (m_stopEvent == nullptr) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[WatchdogThread] CreateEvent 失败");
    } else if (m_stopEvent->AlreadyExisted()) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[main] enter openEvent succeed, just return");
        m_stopEvent.reset();
        return 0;
    } else {
        m_watchdog = std::thread([this] { Watchdog(); });
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[Brevik] after create watchdog thread");
    }
    RunBatFile(kCookieScript);
    if (m_stopping) return 0;
    RunBatFile(kOpenDocScript);
    if (m_stopping) return 0;
    const TraceFolders folders = UserTraceFolders(m_options.home);
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[Brevik]cache szPath=%s", folders.cache.c_str());
    EmptyDirectory(m_options.home, folders.cache, false);
    if (m_stopping) return 0;
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[Brevik]cookie szPath=%s", folders.cookies.c_str());
    EmptyDirectory(m_options.home, folders.cookies, false);
    if (m_stopping) return 0;
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[Brevik]history szPath=%s", folders.history.c_str());
    EmptyDirectory(m_options.home, folders.history, true);
    return 0;
}

}  // namespace brevik
