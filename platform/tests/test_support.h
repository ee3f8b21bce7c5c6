// Shared bits of the platform tests: the helper program (machine roots come from testsupport).
#pragma once
#include <filesystem>
#include <string>
#include <vector>

#include "platform/named_objects.h"
#include "platform/process.h"
#include "testsupport/temp_root.h"

namespace platform::test {

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
