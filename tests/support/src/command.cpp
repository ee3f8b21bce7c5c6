#include "testsupport/command.h"

#include <unistd.h>

#include <cstdlib>

#include "platform/process.h"

namespace testsupport {

int Run(const std::vector<std::string>& argv) {
    platform::SpawnOptions o;
    o.quietOutput = true;
    return platform::RunAndWait(argv, o);
}

bool IsRoot() { return ::geteuid() == 0; }

std::string BinDir() {
    const char* d = std::getenv("QEL_BIN_DIR");
    return d != nullptr ? d : platform::ProgramDir();
}

void StopProcess(pid_t pid, int first, unsigned graceMs) {
    if (pid <= 0) return;
    platform::KillProcess(pid, first);
    int code = 0;
    if (platform::WaitProcess(pid, graceMs, &code) != platform::kWaitObject0) {
        platform::KillProcess(pid, SIGKILL);
        platform::WaitProcess(pid, 5000, &code);
    }
}

}  // namespace testsupport
