#include "testsupport/as_user.h"

#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/unique_fd.h"

namespace testsupport {

int RunAsUser(uid_t uid, gid_t gid, const std::vector<gid_t>& groups, const std::function<int()>& body,
              int timeoutMs) {
    const pid_t child = ::fork();
    if (child < 0) return -1;
    if (child == 0) {
        if (::setgroups(groups.size(), groups.data()) != 0 || ::setresgid(gid, gid, gid) != 0 ||
            ::setresuid(uid, uid, uid) != 0 || ::geteuid() != uid) {
            ::_exit(250);
        }
        ::_exit(body());
    }
    platform::UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, child, 0)));
    pollfd p{pidfd.Get(), POLLIN, 0};
    int rc;
    do {
        rc = pidfd ? ::poll(&p, 1, timeoutMs) : 1;  // without a pidfd, wait unbounded
    } while (rc < 0 && errno == EINTR);
    if (rc == 0) ::kill(child, SIGKILL);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (rc == 0 || !WIFEXITED(status) || WEXITSTATUS(status) == 250) return -1;
    return WEXITSTATUS(status);
}

}  // namespace testsupport
