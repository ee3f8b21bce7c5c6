// Runs a piece of a test as another, unprivileged user: in a forked child that drops to the
// given uid, gid and supplementary groups first. Needs root; the caller skips without it.
#pragma once
#include <sys/types.h>

#include <functional>
#include <vector>

namespace testsupport {

// An unprivileged uid and gid for such children (nobody's, also when no such user exists).
constexpr uid_t kNobodyUid = 65534;
constexpr gid_t kNobodyGid = 65534;

// Forks, drops to (uid, gid, groups) and runs `body` in the child, whose result is the child's
// exit code. Returns that code; -1 when the child could not drop its rights, was killed or
// did not end within `timeoutMs` (it is killed then). The body runs after fork in a process
// that may have had threads: it should make system calls only, not take locks.
int RunAsUser(uid_t uid, gid_t gid, const std::vector<gid_t>& groups, const std::function<int()>& body,
              int timeoutMs = 10000);

}  // namespace testsupport
