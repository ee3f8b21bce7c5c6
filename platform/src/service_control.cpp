// Control side of the service layer: records in the settings store, start through a monitor
// process, and requests over the service's control socket.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/local_pipe.h"
#include "platform/service_control.h"
#include "platform/settings_store.h"
#include "platform/unique_fd.h"
#include "service_common.h"

extern char** environ;

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

// The pid in the service's pid file: a regular file of root (or of this user) in the service
// folder, opened without following links; 0 when there is none or it is malformed.
pid_t ReadPidFile(const std::string& name) {
    const std::string path = svc::PidPath(name);
    if (path.empty()) return 0;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    struct stat st {};
    if (fd.Get() < 0 || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        (st.st_uid != 0 && st.st_uid != ::geteuid())) {
        return 0;
    }
    char text[24] = {};
    const ssize_t n = ::read(fd.Get(), text, sizeof(text) - 1);
    if (n <= 0) return 0;
    char* end = nullptr;
    const long pid = std::strtol(text, &end, 10);
    if (end == text || (*end != '\n' && *end != '\0') || pid <= 0 || pid > 0x3FFFFFFF) return 0;
    return static_cast<pid_t>(pid);
}

// The status the running service published (see service_common.h). Only a process that can write
// the file (root's, or ours, mode 0644 in root's folder) can hold the write lock that says it is
// alive, so another user can neither forge a running service nor hide one; a file left by a
// service that died is unlocked and reads as none.
bool ReadPublishedStatus(const std::string& name, pid_t* pid, DWORD* state) {
    const std::string path = svc::StatusPath(name);
    if (path.empty()) return false;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    struct stat st {};
    if (fd.Get() < 0 || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 022) != 0 ||
        (st.st_uid != 0 && st.st_uid != ::geteuid())) {
        return false;
    }
    char text[svc::kStatusTextSize + 1] = {};
    const ssize_t n = ::pread(fd.Get(), text, sizeof(text), 0);
    long value = 0;
    if (n <= 0 || !svc::ParseStatus(text, static_cast<std::size_t>(n), &value, state)) return false;
    struct flock probe {};
    probe.l_type = F_RDLCK;
    probe.l_whence = SEEK_SET;
    if (::fcntl(fd.Get(), F_OFD_GETLK, &probe) != 0 || probe.l_type == F_UNLCK) return false;
    *pid = static_cast<pid_t>(value);
    return true;
}

// True when `pid` runs `program` (its /proc/<pid>/exe is that file; " (deleted)" when the file
// was replaced since the start, as by an update). Another user's process (root's service seen by
// a member of the client group) hides its exe link: then the service's own published status
// vouches for the pid.
bool RunsProgram(const std::string& name, pid_t pid, const std::string& program) {
    char exe[PATH_MAX + 16];
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    const ssize_t n = ::readlink(link.c_str(), exe, sizeof(exe) - 1);
    if (n < 0 && errno == EACCES) {
        pid_t published = 0;
        DWORD state = 0;
        return ReadPublishedStatus(name, &published, &state) && published == pid;
    }
    if (n <= 0) return false;
    std::string running(exe, static_cast<std::size_t>(n));
    char resolved[PATH_MAX];
    if (::realpath(program.c_str(), resolved) == nullptr) return false;
    const std::string expected(resolved);
    return running == expected || running == expected + " (deleted)";
}

// The service's process when it runs: the pid file names a live process of the program the
// record names. Nothing else (a socket anybody could bind, a stale pid taken by another program)
// makes a service look alive.
pid_t LivePid(const std::string& name) {
    auto store = SettingsStore::Machine();
    std::string program;
    if (!store || store->GetString(svc::RecordKey(name), "ImagePath", &program) != kRegOk) return 0;
    const pid_t pid = ReadPidFile(name);
    return pid > 0 && RunsProgram(name, pid, program) ? pid : 0;
}

// One request to the service's socket. kErrorServiceNotActive when nobody listens, or when the
// listener is not the service's own process.
DWORD Exchange(const std::string& name, DWORD op, DWORD code, svc::Reply* reply, DWORD timeoutMs) {
    const pid_t pid = LivePid(name);
    if (pid == 0) return kErrorServiceNotActive;
    LocalPipeClient pipe = LocalPipeClient::Connect(svc::SocketPath(name));
    if (!pipe.Connected()) {
        if (errno == ENAMETOOLONG) return kErrorInvalidName;
        return errno == EACCES ? kErrorAccessDenied : kErrorServiceNotActive;
    }
    PeerCredentials listener;
    if (!ReadPeerCredentials(pipe.Get(), &listener) || listener.pid != pid) return kErrorServiceNotActive;
    const svc::Request req{svc::kMagic, op, code};
    if (!pipe.Send(&req, sizeof(req))) return kErrorServiceNotActive;
    std::vector<std::uint8_t> got;
    bool closed = false;
    const int wait = static_cast<int>(timeoutMs > 0x7FFFFFFF ? 0x7FFFFFFF : timeoutMs);
    if (!pipe.Receive(sizeof(*reply), wait, &got, nullptr, &closed)) {
        return errno == ETIMEDOUT ? kErrorServiceRequestTimeout : kErrorGeneralFailure;
    }
    // The dispatcher closes without answering when the service stopped meanwhile.
    if (closed) return kErrorServiceNotActive;
    if (got.size() != sizeof(*reply)) return kErrorGeneralFailure;
    std::memcpy(reply, got.data(), sizeof(*reply));
    return reply->magic == svc::kMagic ? kErrorSuccess : kErrorGeneralFailure;
}

void TouchNoRestart(const std::string& name) {
    const std::string path = svc::NoRestartPath(name);
    if (path.empty()) return;
    UniqueFd(::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644)).Reset();
}

// Restart delay from the failure actions; -1 when none is set.
long RestartDelay(SettingsStore& store, const std::string& name) {
    std::vector<std::uint8_t> blob;
    if (store.GetBinary(svc::RecordKey(name), "FailureActions", &blob) != kRegOk || blob.size() < 16)
        return -1;
    DWORD count = 0, type = 0, delay = 0;
    std::memcpy(&count, blob.data() + 4, 4);
    std::memcpy(&type, blob.data() + 8, 4);
    std::memcpy(&delay, blob.data() + 12, 4);
    return (count >= 1 && type == 1) ? static_cast<long>(delay) : -1;
}

struct SpawnPlan {
    std::vector<std::string> envStrings;
    std::vector<char*> argv, envp;
    std::string program, noRestart, servicesDir;
    // What the monitor calls itself: "<service>-monitor" as its command line, and as its task name
    // with the service's name cut to fit the kernel's 15 bytes.
    std::string monitorName, monitorTask;
    unsigned long argStart = 0, argEnd = 0;  // the starter's command line (see CommandLineArea)
    long restartDelayMs = -1;
};

// Where this process's command line lies (/proc/self/stat's arg_start and arg_end); false when
// unknown. A fork has it at the same addresses.
bool CommandLineArea(unsigned long* start, unsigned long* end) {
    const UniqueFd fd(::open("/proc/self/stat", O_RDONLY | O_CLOEXEC));
    char text[2048];
    const ssize_t n = fd ? ::read(fd.Get(), text, sizeof(text) - 1) : -1;
    if (n <= 0) return false;
    text[n] = '\0';
    const char* at = std::strrchr(text, ')');
    if (at == nullptr) return false;
    // Fields from the state (the third) on; arg_start and arg_end are the 48th and 49th.
    ++at;
    for (int field = 2; field < 47; ++field) {
        at = std::strchr(at + 1, ' ');
        if (at == nullptr) return false;
    }
    char* next = nullptr;
    *start = std::strtoul(at + 1, &next, 10);
    if (next == nullptr || *next != ' ') return false;
    *end = std::strtoul(next + 1, &next, 10);
    return *start != 0 && *end > *start;
}

// The monitor is a fork of whichever program started the service (the update program, the
// install checker, qelsc) and never execs: it would go on showing that program's name and command
// line, and whoever looks for that program (the client's "update program running" check) would
// find it. It shows as what it is instead: its task name, and its command line written over the
// starter's (in its own copy of the memory; the starter's code never runs again in it).
// Async-signal-safe: system calls and plain memory writes only.
void ShowAsMonitor(const SpawnPlan& plan) {
    ::prctl(PR_SET_NAME, plan.monitorTask.c_str(), 0, 0, 0);
    if (plan.argEnd <= plan.argStart) return;
    char* area = reinterpret_cast<char*>(plan.argStart);
    const std::size_t size = plan.argEnd - plan.argStart;
    std::memset(area, 0, size);
    std::memcpy(area, plan.monitorName.data(), std::min(size - 1, plan.monitorName.size()));
}

// The daemon: own session, standard streams on /dev/null, no inherited descriptors.
[[noreturn]] void ExecService(const SpawnPlan& plan, int reportFd) {
    const int nul = ::open("/dev/null", O_RDWR);
    if (nul >= 0) {
        ::dup2(nul, 0);
        ::dup2(nul, 1);
        ::dup2(nul, 2);
    }
    ::syscall(SYS_close_range, 3u, ~0u, 0u);
    (void)reportFd;
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(plan.program.c_str(), plan.argv.data(), plan.envp.data());
    ::_exit(127);
}

// The monitor (a child of a forked child, so only async-signal-safe calls): starts the service,
// reports its own pid and the service's first pid on `reportFd`, and restarts the service after
// abnormal ends when asked to.
[[noreturn]] void RunMonitor(const SpawnPlan& plan, int reportFd) {
    ShowAsMonitor(plan);
    bool first = true;
    for (;;) {
        const pid_t child = ::fork();
        if (child < 0) ::_exit(1);
        if (child == 0) ExecService(plan, reportFd);
        if (first) {
            const int pids[2] = {::getpid(), child};
            (void)!::write(reportFd, pids, sizeof(pids));
            UniqueFd(reportFd).Reset();
            first = false;
        }
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        const bool clean = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (clean || plan.restartDelayMs < 0) ::_exit(0);
        timespec ts{plan.restartDelayMs / 1000, (plan.restartDelayMs % 1000) * 1000000L};
        while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
        }
        // An uninstall leaves the no-restart mark; a services folder that is gone means the whole
        // machine root went, and a service restarted into it would run on with nothing to stop it.
        if (::access(plan.noRestart.c_str(), F_OK) == 0 || ::access(plan.servicesDir.c_str(), F_OK) != 0)
            ::_exit(0);
    }
}

struct Launched {
    pid_t monitor = -1;
    pid_t service = -1;
};

// Forks the monitor (double fork, so it is not our child). The monitor keeps none of our
// descriptors: its standard streams go to /dev/null and only the report pipe stays open.
Launched LaunchThroughMonitor(const SpawnPlan& plan) {
    Launched out;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return out;
    UniqueFd readEnd(pipeFds[0]);
    UniqueFd writeEnd(pipeFds[1]);
    const pid_t first = ::fork();
    if (first < 0) return out;
    if (first == 0) {
        ::setsid();
        const int nul = ::open("/dev/null", O_RDWR);
        if (nul >= 0) {
            ::dup2(nul, 0);
            ::dup2(nul, 1);
            ::dup2(nul, 2);
        }
        ::dup2(pipeFds[1], 3);
        ::syscall(SYS_close_range, 4u, ~0u, 0u);
        const pid_t monitor = ::fork();
        if (monitor == 0) RunMonitor(plan, 3);
        ::_exit(monitor < 0 ? 1 : 0);
    }
    writeEnd.Reset();  // from here only the monitor can write: its exit reads as EOF
    int status = 0;
    while (::waitpid(first, &status, 0) < 0 && errno == EINTR) {
    }
    int pids[2] = {-1, -1};
    pollfd p{readEnd.Get(), POLLIN, 0};
    if (::poll(&p, 1, 10000) > 0 &&
        ::read(readEnd.Get(), pids, sizeof(pids)) == static_cast<ssize_t>(sizeof(pids))) {
        out.monitor = pids[0];
        out.service = pids[1];
    }
    return out;
}

bool ProcessGone(pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

}  // namespace

DWORD InstallService(const std::string& name, const ServiceConfig& config) {
    if (!svc::ValidName(name)) return kErrorInvalidName;
    auto store = SettingsStore::Machine();
    if (!store) return kErrorGeneralFailure;
    const std::string key = svc::RecordKey(name);
    if (store->OpenKey(key) == kRegOk) {
        DWORD marked = 0;
        if (store->GetDword(key, "DeleteFlag", &marked) != kRegOk || marked == 0) return kErrorServiceExists;
        store->DeleteKey(key);
    }
    const std::string display = config.displayName.empty() ? name : config.displayName;
    if (store->SetString(key, "ImagePath", config.binaryPath) != kRegOk ||
        store->SetString(key, "DisplayName", display) != kRegOk ||
        store->SetDword(key, "Type", config.serviceType) != kRegOk ||
        store->SetDword(key, "Start", config.startType) != kRegOk ||
        store->SetDword(key, "ErrorControl", config.errorControl) != kRegOk) {
        store->DeleteKey(key);
        return kErrorGeneralFailure;
    }
    return kErrorSuccess;
}

DWORD SetServiceRestartOnFailure(const std::string& name, DWORD resetPeriodSeconds, DWORD restartDelayMs) {
    auto store = SettingsStore::Machine();
    if (!store) return kErrorGeneralFailure;
    if (store->OpenKey(svc::RecordKey(name)) != kRegOk) return kErrorServiceDoesNotExist;
    // reset period, action count, then (type 1 = restart, delay) per action.
    const DWORD words[4] = {resetPeriodSeconds, 1, 1, restartDelayMs};
    std::vector<std::uint8_t> blob(sizeof(words));
    std::memcpy(blob.data(), words, sizeof(words));
    return store->SetBinary(svc::RecordKey(name), "FailureActions", blob) == kRegOk ? kErrorSuccess
                                                                                    : kErrorGeneralFailure;
}

bool ServiceInstalled(const std::string& name) {
    auto store = SettingsStore::Machine();
    if (!store || !svc::ValidName(name)) return false;
    DWORD marked = 0;
    const std::string key = svc::RecordKey(name);
    return store->OpenKey(key) == kRegOk &&
           !(store->GetDword(key, "DeleteFlag", &marked) == kRegOk && marked != 0);
}

DWORD GetServiceBinaryPath(const std::string& name, std::string* path) {
    auto store = SettingsStore::Machine();
    if (!store) return kErrorGeneralFailure;
    if (!ServiceInstalled(name)) return kErrorServiceDoesNotExist;
    return store->GetString(svc::RecordKey(name), "ImagePath", path) == kRegOk ? kErrorSuccess
                                                                               : kErrorGeneralFailure;
}

DWORD UninstallService(const std::string& name) {
    auto store = SettingsStore::Machine();
    if (!store) return kErrorGeneralFailure;
    const std::string key = svc::RecordKey(name);
    if (!svc::ValidName(name) || store->OpenKey(key) != kRegOk) return kErrorServiceDoesNotExist;
    const bool marked = !ServiceInstalled(name);
    SERVICE_STATUS st{};
    const bool running =
        QueryServiceStatusByName(name, &st) == kErrorSuccess && st.dwCurrentState != SERVICE_STOPPED;
    // A marked record goes with its running service; one whose service ended without removing it
    // (it had passed that point when the mark came) goes now.
    if (marked && running) return kErrorServiceDoesNotExist;
    TouchNoRestart(name);
    if (running) {
        return store->SetDword(key, "DeleteFlag", 1) == kRegOk ? kErrorSuccess : kErrorGeneralFailure;
    }
    return store->DeleteKey(key) == kRegOk ? kErrorSuccess : kErrorGeneralFailure;
}

DWORD QueryServiceStatusByName(const std::string& name, SERVICE_STATUS* status) {
    if (status == nullptr) return kErrorInvalidParameter;
    auto store = SettingsStore::Machine();
    if (!store) return kErrorGeneralFailure;
    const std::string key = svc::RecordKey(name);
    if (!svc::ValidName(name) || store->OpenKey(key) != kRegOk) return kErrorServiceDoesNotExist;
    if (::geteuid() != 0 && !CanControlService(name)) {
        // The control socket is root's: the others learn the state from the published status.
        DWORD type = SERVICE_WIN32_OWN_PROCESS;
        store->GetDword(key, "Type", &type);
        pid_t pid = 0;
        DWORD state = SERVICE_STOPPED;
        if (!ReadPublishedStatus(name, &pid, &state)) state = SERVICE_STOPPED;
        *status = SERVICE_STATUS{type, state, 0, 0, 0, 0, 0};
        return kErrorSuccess;
    }
    svc::Reply reply{};
    const DWORD rc = Exchange(name, svc::kOpQuery, 0, &reply, 5000);
    if (rc == kErrorServiceNotActive) {
        DWORD type = SERVICE_WIN32_OWN_PROCESS;
        store->GetDword(key, "Type", &type);
        // The process runs but does not answer yet (it writes its pid file before it listens):
        // it is starting, and must not be started a second time.
        const DWORD state = LivePid(name) != 0 ? SERVICE_START_PENDING : SERVICE_STOPPED;
        *status = SERVICE_STATUS{type, state, 0, 0, 0, 0, 0};
        return kErrorSuccess;
    }
    if (rc != kErrorSuccess) return rc;
    *status = reply.status;
    return reply.result;
}

DWORD StartServiceByName(const std::string& name, DWORD timeoutMs) {
    auto store = SettingsStore::Machine();
    if (!store) return kErrorGeneralFailure;
    SpawnPlan plan;
    if (GetServiceBinaryPath(name, &plan.program) != kErrorSuccess) return kErrorServiceDoesNotExist;
    SERVICE_STATUS st{};
    if (QueryServiceStatusByName(name, &st) == kErrorSuccess && st.dwCurrentState != SERVICE_STOPPED) {
        return kErrorServiceAlreadyRunning;
    }
    plan.noRestart = svc::NoRestartPath(name);
    if (plan.noRestart.empty()) return kErrorGeneralFailure;
    ::unlink(plan.noRestart.c_str());
    plan.servicesDir = plan.noRestart.substr(0, plan.noRestart.rfind('/') + 1);
    plan.restartDelayMs = RestartDelay(*store, name);
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        if (std::strncmp(*e, "QEL_SERVICE_NAME=", 17) != 0) plan.envStrings.emplace_back(*e);
    }
    plan.envStrings.push_back("QEL_SERVICE_NAME=" + name);
    for (auto& s : plan.envStrings) plan.envp.push_back(s.data());
    plan.envp.push_back(nullptr);
    plan.argv = {plan.program.data(), nullptr};
    plan.monitorName = name + "-monitor";
    plan.monitorTask = name.substr(0, 7) + "-monitor";
    if (!CommandLineArea(&plan.argStart, &plan.argEnd)) plan.argStart = plan.argEnd = 0;

    const Launched launched = LaunchThroughMonitor(plan);
    const pid_t pid = launched.service;
    if (pid <= 0) return kErrorGeneralFailure;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        svc::Reply reply{};
        if (Exchange(name, svc::kOpQuery, 0, &reply, 1000) == kErrorSuccess) return kErrorSuccess;
        if (ProcessGone(pid)) return kErrorProcessAborted;
        if (Clock::now() >= deadline) {
            // The monitor goes first, so it cannot start the program again.
            TouchNoRestart(name);
            ::kill(launched.monitor, SIGKILL);
            ::kill(pid, SIGKILL);
            return kErrorServiceRequestTimeout;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

DWORD ControlServiceByName(const std::string& name, DWORD code, SERVICE_STATUS* status, DWORD timeoutMs) {
    auto store = SettingsStore::Machine();
    if (!store) return kErrorGeneralFailure;
    if (!svc::ValidName(name) || store->OpenKey(svc::RecordKey(name)) != kRegOk)
        return kErrorServiceDoesNotExist;
    if (code == SERVICE_CONTROL_STOP) TouchNoRestart(name);
    svc::Reply reply{};
    const DWORD rc = Exchange(name, svc::kOpControl, code, &reply, timeoutMs);
    if (rc != kErrorSuccess) return rc;
    if (status != nullptr) *status = reply.status;
    return reply.result;
}

bool CanControlService(const std::string& name) {
    if (!ServiceInstalled(name)) return false;
    if (::geteuid() == 0) return true;
    struct stat st {};
    return ::stat(svc::SocketPath(name).c_str(), &st) == 0 && st.st_uid == ::geteuid();
}

DWORD GetServiceProcessId(const std::string& name) {
    if (!svc::ValidName(name)) return 0;
    const pid_t pid = LivePid(name);
    if (pid == 0) return 0;
    SERVICE_STATUS st{};
    if (QueryServiceStatusByName(name, &st) != kErrorSuccess || st.dwCurrentState == SERVICE_STOPPED)
        return 0;
    return static_cast<DWORD>(pid);
}

bool ServiceProcessAlive(const std::string& name) { return svc::ValidName(name) && LivePid(name) != 0; }

}  // namespace platform
