// Test helpers: a private network namespace for the calling thread, a command runner without a
// shell, a private machine root, and bounded polling.
#pragma once
#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace tavish_test {

// Runs argv (looked up in PATH) with output discarded; returns the exit status, -1 on failure.
inline int Run(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Moves the calling thread into a fresh network namespace; the destructor moves it back (the
// namespace then disappears with its interfaces).
class NetnsScope {
public:
    NetnsScope() {
        m_orig = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        m_ok = m_orig >= 0 && ::unshare(CLONE_NEWNET) == 0;
        if (m_ok) Run({"ip", "link", "set", "lo", "up"});
    }
    ~NetnsScope() {
        if (m_ok) ::setns(m_orig, CLONE_NEWNET);
        if (m_orig >= 0) ::close(m_orig);
    }
    bool Ok() const { return m_ok; }

private:
    int m_orig = -1;
    bool m_ok = false;
};

// A fresh machine root in QEL_ROOT for the test's lifetime.
class MachineRootScope {
public:
    MachineRootScope() {
        char tmpl[] = "/tmp/tavish-test-XXXXXX";
        const char* dir = ::mkdtemp(tmpl);
        m_path = dir != nullptr ? dir : "";
        ::setenv("QEL_ROOT", m_path.c_str(), 1);
    }
    ~MachineRootScope() {
        ::unsetenv("QEL_ROOT");
        if (!m_path.empty()) Run({"rm", "-rf", m_path});
    }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

// Polls `done` every 10 ms for at most `timeoutMs`; true when it came true.
inline bool WaitFor(const std::function<bool()>& done, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace tavish_test
