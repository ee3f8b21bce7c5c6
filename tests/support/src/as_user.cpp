#include "testsupport/as_user.h"

#include <grp.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace testsupport {
namespace {

constexpr int kDropFailed = 125;

bool Drop(const AsUser& who) {
    return ::setgroups(who.groups.size(), who.groups.empty() ? nullptr : who.groups.data()) == 0 &&
           ::setgid(who.gid) == 0 && ::setuid(who.uid) == 0 && ::setuid(0) != 0;
}

int WaitBounded(pid_t pid, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    for (;;) {
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) break;
        if (r < 0 && errno != EINTR) return -1;
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    const int code = WEXITSTATUS(status);
    return code == kDropFailed ? -1 : code;
}

}  // namespace

int RunAsUser(const AsUser& who, const std::function<int()>& body, int timeoutMs) {
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        if (!Drop(who)) ::_exit(kDropFailed);
        ::_exit(body());
    }
    return WaitBounded(pid, timeoutMs);
}

int RunProgramAsUser(const AsUser& who, const std::vector<std::string>& argv, int timeoutMs) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        if (!Drop(who)) ::_exit(kDropFailed);
        ::syscall(SYS_close_range, 3u, ~0u, 0u);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    return WaitBounded(pid, timeoutMs);
}

}  // namespace testsupport
