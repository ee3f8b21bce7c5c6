// The attacker's side of privilege tests: run code as an unprivileged user in a forked child of a
// root test process. Tests that use it skip without root.
#pragma once
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// The user tests drop to ("nobody").
constexpr uid_t kUnprivilegedUid = 65534;
constexpr gid_t kUnprivilegedGid = 65534;
constexpr uid_t kNobodyUid = kUnprivilegedUid;
constexpr gid_t kNobodyGid = kUnprivilegedGid;

struct AsUser {
    uid_t uid = kUnprivilegedUid;
    gid_t gid = kUnprivilegedGid;
    std::vector<gid_t> groups;  // supplementary groups
};

// Forks; the child drops to `who` (groups, gid, then uid; it cannot regain root) and returns
// `body`'s result as its exit code. Only plain system calls belong in `body`: the child is a copy
// of a threaded process. Returns the exit code, 128 + signal when killed, -1 when the child could
// not drop privileges or did not end within `timeoutMs` (it is killed then).
int RunAsUser(const AsUser& who, const std::function<int()>& body, int timeoutMs = 20000);
inline int RunAsUser(uid_t uid, gid_t gid, const std::vector<gid_t>& groups, const std::function<int()>& body,
                     int timeoutMs = 20000) {
    return RunAsUser(AsUser{uid, gid, groups}, body, timeoutMs);
}
// The same, but the child executes `argv` (a fresh process, nothing inherited but descriptors
// 0-2 and the environment).
int RunProgramAsUser(const AsUser& who, const std::vector<std::string>& argv, int timeoutMs = 20000);

}  // namespace testsupport
