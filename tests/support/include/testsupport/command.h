// Running commands and processes from tests: quiet commands, the root check, where the built
// programs are, and stopping a process within a bound.
#pragma once
#include <sys/types.h>

#include <csignal>
#include <string>
#include <vector>

namespace testsupport {

// Runs argv (looked up in PATH) with its output discarded; the exit code, -1 when it could not run.
int Run(const std::vector<std::string>& argv);

// Namespaces, TAP devices and routes need root; tests skip without it.
bool IsRoot();

// The folder of the built programs: QEL_BIN_DIR when set, else the test's own folder.
std::string BinDir();

// Sends `first`, waits up to `graceMs` for the end, then kills and reaps (bounded). No-op for pid <= 0.
void StopProcess(pid_t pid, int first = SIGTERM, unsigned graceMs = 10000);

}  // namespace testsupport
