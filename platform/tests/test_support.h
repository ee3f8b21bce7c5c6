// Shared bits of the platform tests: a fresh machine root per test and the helper program.
#pragma once
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/named_objects.h"
#include "platform/process.h"

namespace platform::test {

// A private machine root for one test: QEL_ROOT points at a new folder, removed afterwards.
class TempRoot {
  public:
    TempRoot() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "qel-platform-XXXXXX").string();
        char* dir = ::mkdtemp(tmpl.data());
        m_path = dir != nullptr ? dir : "";
        ::setenv("QEL_ROOT", m_path.c_str(), 1);
    }
    ~TempRoot() {
        ::unsetenv("QEL_ROOT");
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;
    const std::string& Path() const { return m_path; }

  private:
    std::string m_path;
};

inline std::string HelperPath() { return ProgramDir() + "/platform_test_helper"; }

inline pid_t StartHelper(const std::vector<std::string>& args) {
    std::vector<std::string> argv;
    argv.reserve(args.size() + 1);
    argv.push_back(HelperPath());
    for (const auto& a : args) {
        argv.push_back(a);
    }
    return Spawn(argv);
}

// Runs the helper to its end (bounded) and gives its exit code, -1 on failure or time-out.
inline int RunHelper(const std::vector<std::string>& args, DWORD timeoutMs = 20000) {
    pid_t pid = StartHelper(args);
    if (pid < 0) {
        return -1;
    }
    int code = -1;
    if (WaitProcess(pid, timeoutMs, &code) != kWaitObject0) {
        KillProcess(pid, 9);
        WaitProcess(pid, 5000, &code);
        return -1;
    }
    return code;
}

}  // namespace platform::test
