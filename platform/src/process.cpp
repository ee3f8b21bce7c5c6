// The process layer. Programs start through posix_spawn with an argument vector, never through a
// shell, so nothing in an argument is ever interpreted. Starting as another user needs set*id
// calls between fork and exec, which posix_spawn cannot do; that path forks itself and does only
// async-signal-safe work in the child, everything else (PATH search, environment, groups) is
// prepared before the fork.
#include "platform/process.h"
#include "platform/unique_fd.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "platform/errors.h"
#include "wait_deadline.h"

extern char** environ;

namespace platform {

namespace {

// Everything a child needs, built before the fork.
struct Prepared {
    std::string program;  // resolved path
    std::vector<std::string> argStorage;
    std::vector<char*> argv;
    std::vector<std::string> envStorage;
    std::vector<char*> envp;
    std::vector<gid_t> groups;
};

bool IsExecutable(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// Looks a bare name up in PATH as execvp would; a name with a slash is taken as it is.
std::string ResolveProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        return name;
    }
    const char* pathEnv = std::getenv("PATH");
    std::string path = pathEnv != nullptr ? pathEnv : "/usr/local/bin:/usr/bin:/bin";
    std::size_t pos = 0;
    while (pos <= path.size()) {
        std::size_t end = path.find(':', pos);
        if (end == std::string::npos) {
            end = path.size();
        }
        std::string dir = end > pos ? path.substr(pos, end - pos) : std::string(".");
        std::string candidate = dir + "/" + name;
        if (IsExecutable(candidate)) {
            return candidate;
        }
        pos = end + 1;
    }
    return std::string();
}

std::string EnvName(const std::string& entry) { return entry.substr(0, entry.find('=')); }

bool Prepare(const std::vector<std::string>& argv, const SpawnOptions& options, Prepared* p) {
    if (argv.empty() || argv[0].empty()) {
        errno = EINVAL;
        return false;
    }
    p->program = ResolveProgram(argv[0]);
    if (p->program.empty()) {
        errno = ENOENT;
        return false;
    }
    p->argStorage = argv;
    for (auto& a : p->argStorage) {
        p->argv.push_back(a.data());
    }
    p->argv.push_back(nullptr);

    std::vector<std::string> extra = options.extraEnv;
    if (options.uid >= 0) {
        // A program started for a user expects that user's basic environment.
        struct passwd pw {};
        struct passwd* found = nullptr;
        std::vector<char> buf(16384);
        if (::getpwuid_r(static_cast<uid_t>(options.uid), &pw, buf.data(), buf.size(), &found) == 0 &&
            found) {
            extra.insert(extra.begin(), {std::string("HOME=") + pw.pw_dir, std::string("USER=") + pw.pw_name,
                                         std::string("LOGNAME=") + pw.pw_name});
            int count = 64;
            std::vector<gid_t> groups(static_cast<std::size_t>(count));
            gid_t base = options.gid >= 0 ? static_cast<gid_t>(options.gid) : pw.pw_gid;
            if (::getgrouplist(pw.pw_name, base, groups.data(), &count) < 0) {
                groups.resize(static_cast<std::size_t>(count));
                ::getgrouplist(pw.pw_name, base, groups.data(), &count);
            }
            groups.resize(static_cast<std::size_t>(count > 0 ? count : 0));
            p->groups = groups;
        }
    }
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        std::string entry(*e);
        bool overridden = false;
        for (const auto& x : extra) {
            overridden = overridden || EnvName(x) == EnvName(entry);
        }
        if (!overridden) {
            p->envStorage.push_back(entry);
        }
    }
    for (std::size_t i = 0; i < extra.size(); ++i) {
        bool laterWins = false;  // the caller's entries come after the user's defaults
        for (std::size_t j = i + 1; j < extra.size(); ++j) {
            laterWins = laterWins || EnvName(extra[j]) == EnvName(extra[i]);
        }
        if (!laterWins && extra[i].find('=') != std::string::npos) {
            p->envStorage.push_back(extra[i]);
        }
    }
    for (auto& e : p->envStorage) {
        p->envp.push_back(e.data());
    }
    p->envp.push_back(nullptr);
    return true;
}

pid_t SpawnPosix(const Prepared& p, const SpawnOptions& options) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (options.newSession) {
        flags |= POSIX_SPAWN_SETSID;
    }
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);  // e.g. an ignored SIGPIPE is not inherited
    posix_spawnattr_setflags(&attr, flags);
    if (options.stdinFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, options.stdinFd, STDIN_FILENO);
    }
    if (options.quietOutput) {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    }
    if (!options.directory.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, options.directory.c_str());
    }
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, p.program.c_str(), &actions, &attr, p.argv.data(), p.envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        errno = rc;
        return -1;
    }
    return pid;
}

// In the child of a fork: only async-signal-safe calls. Reports errno through `errFd` on failure.
[[noreturn]] void ExecChild(const Prepared& p, const SpawnOptions& options, int errFd) {
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig = 1; sig < NSIG; ++sig) {
        ::signal(sig, SIG_DFL);
    }
    bool ok = !options.newSession || ::setsid() >= 0;
    if (ok && options.stdinFd >= 0) {
        ok = ::dup2(options.stdinFd, STDIN_FILENO) >= 0;
    }
    if (ok && options.quietOutput) {
        int devnull = ::open("/dev/null", O_WRONLY);
        ok = devnull >= 0 && ::dup2(devnull, STDOUT_FILENO) >= 0 && ::dup2(devnull, STDERR_FILENO) >= 0;
    }
    if (ok && !options.directory.empty()) {
        ok = ::chdir(options.directory.c_str()) == 0;
    }
    if (ok && options.uid >= 0) {
        ok = ::setgroups(p.groups.size(), p.groups.data()) == 0 || p.groups.empty();
    }
    if (ok && options.gid >= 0) {
        ok = ::setgid(static_cast<gid_t>(options.gid)) == 0;
    }
    if (ok && options.uid >= 0) {
        ok = ::setuid(static_cast<uid_t>(options.uid)) == 0;
    }
    if (ok) {
        ::execve(p.program.c_str(), p.argv.data(), p.envp.data());
    }
    int err = errno;
    ssize_t ignored = ::write(errFd, &err, sizeof err);
    (void)ignored;
    ::_exit(127);
}

// fork + exec with the child's failure reported back. With `detach`, an intermediate child
// starts the program and ends at once, so the program is nobody's child here (no zombie).
pid_t SpawnForked(const Prepared& p, const SpawnOptions& options, bool detach) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        return -1;
    }
    UniqueFd readEnd(pipeFds[0]), writeEnd(pipeFds[1]);
    pid_t pid = ::fork();
    if (pid == 0) {
        readEnd.Reset();
        if (detach) {
            ::setsid();
            pid_t grandchild = ::fork();
            if (grandchild != 0) {
                ::_exit(grandchild > 0 ? 0 : 1);
            }
        }
        ExecChild(p, options, pipeFds[1]);
    }
    int forkErr = errno;
    writeEnd.Reset();
    if (pid < 0) {
        readEnd.Reset();
        errno = forkErr;
        return -1;
    }
    int childErr = 0;
    if (detach) {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            childErr = EAGAIN;  // the intermediate child could not fork
        }
    }
    ssize_t n;
    while ((n = ::read(readEnd.Get(), &childErr, sizeof childErr)) < 0 && errno == EINTR) {
    }
    readEnd.Reset();
    if (n == static_cast<ssize_t>(sizeof childErr) || childErr != 0) {
        if (!detach) {
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }
        errno = childErr;
        return -1;
    }
    return pid;
}

int ExitCodeOf(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return -1;
}

std::string StripDeleted(std::string path) {
    // An updated program keeps running from its replaced file; its name still counts.
    static const std::string suffix = " (deleted)";
    if (path.size() > suffix.size() &&
        path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0) {
        path.resize(path.size() - suffix.size());
    }
    return path;
}

std::string ReadLink(const std::string& link) {
    char buf[4096];
    ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
    if (n <= 0) {
        return std::string();
    }
    return StripDeleted(std::string(buf, static_cast<std::size_t>(n)));
}

std::string BaseName(const std::string& path) {
    std::size_t cut = path.rfind('/');
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

}  // namespace

pid_t Spawn(const std::vector<std::string>& argv, const SpawnOptions& options) {
    Prepared p;
    if (!Prepare(argv, options, &p)) {
        SetLastError(WinErrorFromErrno(errno));
        return -1;
    }
    pid_t pid = options.detached                         ? SpawnForked(p, options, true)
                : (options.uid >= 0 || options.gid >= 0) ? SpawnForked(p, options, false)
                                                         : SpawnPosix(p, options);
    if (pid < 0) {
        SetLastError(WinErrorFromErrno(errno));
    }
    return pid;
}

DWORD WaitProcess(pid_t pid, DWORD timeoutMs, int* exitCode) {
    if (pid <= 0) {
        SetLastError(87);
        return kWaitFailed;
    }
    detail::Deadline deadline(timeoutMs);
    const UniqueFd pidfdOwner(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    const int pidfd = pidfdOwner.Get();
    int backoffMs = 1;
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            if (exitCode != nullptr) {
                *exitCode = ExitCodeOf(status);
            }
            return kWaitObject0;
        }
        if (r < 0 && errno != EINTR) {
            // Not our child: wait for its end through the pidfd only; no exit code to give.
            if (errno == ECHILD && pidfd >= 0) {
                pollfd pf{pidfd, POLLIN, 0};
                int rc;
                while ((rc = ::poll(&pf, 1, deadline.RemainingMs())) < 0 && errno == EINTR) {
                }
                if (rc == 1 && exitCode != nullptr) {
                    *exitCode = -1;
                }
                return rc == 1 ? kWaitObject0 : kWaitTimeout;
            }
            SetLastError(WinErrorFromErrno(errno));
            return kWaitFailed;
        }
        int left = deadline.RemainingMs();
        if (left == 0) {
            return kWaitTimeout;
        }
        if (pidfd >= 0) {
            pollfd pf{pidfd, POLLIN, 0};
            ::poll(&pf, 1, left);
        } else {
            // No pidfd (old kernel): look again with a growing pause.
            int pause = left < 0 || left > backoffMs ? backoffMs : left;
            ::usleep(static_cast<useconds_t>(pause) * 1000u);
            backoffMs = backoffMs < 50 ? backoffMs * 2 : 50;
        }
    }
}

std::string FindProgram(const std::string& name) {
    if (name.empty()) {
        return std::string();
    }
    std::string path = ResolveProgram(name);
    return IsExecutable(path) ? path : std::string();
}

int RunAndWait(const std::vector<std::string>& argv, const SpawnOptions& options) {
    pid_t pid = Spawn(argv, options);
    if (pid < 0) {
        return -1;
    }
    int code = -1;
    return WaitProcess(pid, kInfinite, &code) == kWaitObject0 ? code : -1;
}

bool KillProcess(pid_t pid, int signal) {
    // 0 and negative numbers address process groups (-1: every process); never meant here.
    if (pid <= 0) {
        SetLastError(87);
        return false;
    }
    if (::kill(pid, signal) != 0) {
        SetLastError(WinErrorFromErrno(errno));
        return false;
    }
    return true;
}

bool KillProcessGroup(pid_t pgid, int signal) {
    if (pgid <= 1) {
        SetLastError(87);
        return false;
    }
    if (::kill(-pgid, signal) != 0) {
        SetLastError(WinErrorFromErrno(errno));
        return false;
    }
    return true;
}

namespace {

// The state letter and process group of /proc/<pid>/stat ("pid (comm) state ppid pgrp ..."; comm
// may hold blanks and parentheses). false when the process is gone.
bool ReadStateAndGroup(const char* pidText, char* state, pid_t* pgrp) {
    const UniqueFd fd(::open((std::string("/proc/") + pidText + "/stat").c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        return false;
    }
    char buf[1024];
    const ssize_t n = ::read(fd.Get(), buf, sizeof buf - 1);
    if (n <= 0) {
        return false;
    }
    buf[n] = '\0';
    const char* close = std::strrchr(buf, ')');
    int ppid = 0;
    int group = 0;
    if (close == nullptr || std::sscanf(close + 1, " %c %d %d", state, &ppid, &group) != 3) {
        return false;
    }
    *pgrp = static_cast<pid_t>(group);
    return true;
}

// Processes of group `pgid` that have not ended (a zombie has).
std::vector<pid_t> LiveGroupMembers(pid_t pgid) {
    std::vector<pid_t> members;
    DIR* dir = ::opendir("/proc");
    if (dir == nullptr) {
        return members;
    }
    while (struct dirent* de = ::readdir(dir)) {
        char state = 0;
        pid_t group = 0;
        if (std::isdigit(static_cast<unsigned char>(de->d_name[0])) &&
            ReadStateAndGroup(de->d_name, &state, &group) && group == pgid && state != 'Z' && state != 'X') {
            members.push_back(static_cast<pid_t>(std::strtol(de->d_name, nullptr, 10)));
        }
    }
    ::closedir(dir);
    return members;
}

bool IsLiveMember(pid_t pid, pid_t pgid) {
    char state = 0;
    pid_t group = 0;
    return ReadStateAndGroup(std::to_string(pid).c_str(), &state, &group) && group == pgid && state != 'Z' &&
           state != 'X';
}

}  // namespace

DWORD WaitProcessGroupEnded(pid_t pgid, DWORD timeoutMs) {
    if (pgid <= 1) {
        SetLastError(87);
        return kWaitFailed;
    }
    detail::Deadline deadline(timeoutMs);
    int backoffMs = 1;
    for (;;) {
        const std::vector<pid_t> members = LiveGroupMembers(pgid);
        if (members.empty()) {
            return kWaitObject0;
        }
        const int left = deadline.RemainingMs();
        if (left == 0) {
            return kWaitTimeout;
        }
        // Sleep on one member's end, then look at the whole group again. The second look at the
        // member makes sure the pidfd is of that process and not of a later one with its number.
        const UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, members.front(), 0)));
        if (pidfd && IsLiveMember(members.front(), pgid)) {
            pollfd pf{pidfd.Get(), POLLIN, 0};
            ::poll(&pf, 1, left);
        } else if (!pidfd && errno != ESRCH) {
            // No pidfd (old kernel): look again with a growing pause.
            const int pause = left < 0 || left > backoffMs ? backoffMs : left;
            ::usleep(static_cast<useconds_t>(pause) * 1000u);
            backoffMs = backoffMs < 50 ? backoffMs * 2 : 50;
        }
    }
}

bool ProcessAlive(pid_t pid) {
    if (pid <= 0) {
        return false;
    }
    if (::kill(pid, 0) != 0 && errno != EPERM) {
        return false;
    }
    // A zombie has ended; it only waits to be reaped.
    std::string stat = "/proc/" + std::to_string(pid) + "/stat";
    const UniqueFd fd(::open(stat.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        return true;
    }
    char buf[512];
    ssize_t n = ::read(fd.Get(), buf, sizeof buf - 1);
    if (n <= 0) {
        return true;
    }
    buf[n] = '\0';
    const char* close = std::strrchr(buf, ')');
    return close == nullptr || close[1] == '\0' || close[2] != 'Z';
}

std::string ProgramPath() { return ReadLink("/proc/self/exe"); }

std::string ProgramDir() {
    std::string path = ProgramPath();
    std::size_t cut = path.rfind('/');
    if (cut == std::string::npos) {
        return std::string();
    }
    return cut == 0 ? std::string("/") : path.substr(0, cut);
}

std::string ProgramName() { return BaseName(ProgramPath()); }

std::vector<ProcessEntry> ListProcesses() {
    std::vector<ProcessEntry> list;
    DIR* dir = ::opendir("/proc");
    if (dir == nullptr) {
        return list;
    }
    while (struct dirent* de = ::readdir(dir)) {
        if (!std::isdigit(static_cast<unsigned char>(de->d_name[0]))) {
            continue;
        }
        std::string base = std::string("/proc/") + de->d_name;
        const UniqueFd fd(::open((base + "/stat").c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd) {
            continue;  // ended meanwhile
        }
        char buf[1024];
        ssize_t n = ::read(fd.Get(), buf, sizeof buf - 1);
        if (n <= 0) {
            continue;
        }
        buf[n] = '\0';
        // "pid (comm) state ppid ...": comm may hold blanks and parentheses.
        const char* open = std::strchr(buf, '(');
        const char* close = std::strrchr(buf, ')');
        if (open == nullptr || close == nullptr || close < open) {
            continue;
        }
        ProcessEntry e{};
        e.pid = static_cast<pid_t>(std::strtol(buf, nullptr, 10));
        char state = 0;
        int ppid = 0;
        if (std::sscanf(close + 1, " %c %d", &state, &ppid) != 2) {
            continue;
        }
        e.parentPid = static_cast<pid_t>(ppid);
        // A zombie, or a process past the release of its memory on the way out, has no program
        // any more (its exe link reads ENOENT) but still shows its name: it runs nothing, and a
        // caller looking for a running program by name must not find it. Kernel threads
        // (children of kthreadd, pid 2) have no exe link either and stay listed.
        if (state == 'Z' || state == 'X') {
            continue;
        }
        errno = 0;
        e.path = ReadLink(base + "/exe");
        if (e.path.empty() && errno == ENOENT && e.pid != 2 && e.parentPid != 2) {
            continue;
        }
        e.task.assign(open + 1, close);
        e.name = e.path.empty() ? e.task : BaseName(e.path);
        list.push_back(std::move(e));
    }
    ::closedir(dir);
    return list;
}

std::string ProcessFirstArgument(pid_t pid) {
    if (pid <= 0) return {};
    const UniqueFd fd(::open(("/proc/" + std::to_string(pid) + "/cmdline").c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return {};
    char buf[4096];
    ssize_t n;
    do n = ::read(fd.Get(), buf, sizeof buf);
    while (n < 0 && errno == EINTR);
    if (n <= 0) return {};
    const auto* end = static_cast<const char*>(std::memchr(buf, '\0', static_cast<std::size_t>(n)));
    // Cut at the bound: not the whole argument, so not one to compare.
    if (end == nullptr) return {};
    return std::string(static_cast<const char*>(buf), end);
}

bool ProcessEnvironmentValue(pid_t pid, const std::string& name, std::string* value) {
    if (pid <= 0 || name.empty()) return false;
    const UniqueFd fd(::open(("/proc/" + std::to_string(pid) + "/environ").c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return false;
    std::string text;
    char buf[4096];
    while (text.size() < kMaxProcessEnvironment) {
        const ssize_t n = ::read(fd.Get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        // Another user's environment opens but does not read without the right to trace it.
        if (n < 0) return false;
        if (n == 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    // Empty while the process is still in its exec (its program already shows, its environment
    // not yet): nothing can be told from it.
    if (text.empty()) return false;
    EnvironmentEntry(text, name, value);
    return true;
}

bool EnvironmentEntry(std::string_view block, std::string_view name, std::string* value) {
    value->clear();
    if (name.empty() || name.find('=') != std::string_view::npos || name.find('\0') != std::string_view::npos)
        return false;
    for (std::size_t at = 0; at < block.size();) {
        const std::size_t end = block.find('\0', at);
        // An entry without its end was cut short: its value may be longer than what we have.
        if (end == std::string_view::npos) return false;
        const std::string_view entry = block.substr(at, end - at);
        if (entry.size() > name.size() && entry.substr(0, name.size()) == name && entry[name.size()] == '=') {
            *value = std::string(entry.substr(name.size() + 1));
            return true;
        }
        at = end + 1;
    }
    return false;
}

bool ProcessNetNamespace(pid_t pid, NamespaceId* id) {
    if (pid < 0) return false;
    const std::string path = pid == 0 ? "/proc/self/ns/net" : "/proc/" + std::to_string(pid) + "/ns/net";
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    id->device = static_cast<std::uint64_t>(st.st_dev);
    id->inode = static_cast<std::uint64_t>(st.st_ino);
    return true;
}

bool OpenUrl(const std::string& url) {
    auto startsWith = [&](const char* prefix) {
        std::size_t n = std::strlen(prefix);
        return url.size() > n && ::strncasecmp(url.c_str(), prefix, n) == 0;
    };
    if (!startsWith("http://") && !startsWith("https://")) {
        return false;
    }
    for (const char byte : url) {
        const auto c = static_cast<unsigned char>(byte);
        if (c < 0x20 || c == 0x7f || c == ' ') {
            return false;  // a URL is one word; blanks and control bytes would be read otherwise
        }
    }
    SpawnOptions options;
    options.newSession = true;
    options.quietOutput = true;
    Prepared p;
    if (!Prepare({"xdg-open", url}, options, &p)) {
        return false;
    }
    return SpawnForked(p, options, true) >= 0;
}

DWORD CurrentProcessId() { return static_cast<DWORD>(::getpid()); }

DWORD CurrentThreadId() { return static_cast<DWORD>(::gettid()); }

}  // namespace platform
