#include "platform/fd_passing.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/unique_fd.h"

namespace platform {

bool SendWithFd(int socket, const void* data, std::size_t size, int passFd, int flags) {
    return SendWithFds(socket, data, size, &passFd, passFd >= 0 ? 1 : 0, flags);
}

bool SendWithFds(int socket, const void* data, std::size_t size, const int* fds, std::size_t count,
                 int flags) {
    if (count > kMaxPassedFds) {
        errno = EINVAL;
        return false;
    }
    iovec iov{const_cast<void*>(data), size};
    msghdr mh{};
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxPassedFds)] = {};
    if (count > 0) {
        mh.msg_control = control;
        mh.msg_controllen = CMSG_SPACE(sizeof(int) * count);
        cmsghdr* cm = CMSG_FIRSTHDR(&mh);
        cm->cmsg_level = SOL_SOCKET;
        cm->cmsg_type = SCM_RIGHTS;
        cm->cmsg_len = CMSG_LEN(sizeof(int) * count);
        std::memcpy(CMSG_DATA(cm), fds, sizeof(int) * count);
    }
    ssize_t n;
    do {
        n = ::sendmsg(socket, &mh, MSG_NOSIGNAL | flags);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(size);
}

ssize_t ReceiveWithFd(int socket, void* buffer, std::size_t size, int* receivedFd, int* messageFlags,
                      int flags) {
    return ReceiveWithFds(socket, buffer, size, receivedFd, 1, messageFlags, flags);
}

ssize_t ReceiveWithFds(int socket, void* buffer, std::size_t size, int* fds, std::size_t maxFds,
                       int* messageFlags, int flags) {
    for (std::size_t i = 0; i < maxFds; ++i) fds[i] = -1;
    iovec iov{buffer, size};
    msghdr mh{};
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    // Room for a few more than asked for: a peer sending more must not leave them unclosed in
    // truncation.
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * (kMaxPassedFds + 4))] = {};
    mh.msg_control = control;
    mh.msg_controllen = sizeof(control);
    ssize_t n;
    do {
        n = ::recvmsg(socket, &mh, MSG_CMSG_CLOEXEC | flags);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return n;
    std::size_t kept = 0;
    for (cmsghdr* cm = CMSG_FIRSTHDR(&mh); cm != nullptr; cm = CMSG_NXTHDR(&mh, cm)) {
        if (cm->cmsg_level != SOL_SOCKET || cm->cmsg_type != SCM_RIGHTS) continue;
        const std::size_t count = (cm->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t i = 0; i < count; ++i) {
            int got;
            std::memcpy(&got, CMSG_DATA(cm) + i * sizeof(int), sizeof(int));
            if (kept < maxFds) {
                fds[kept++] = got;
            } else {
                UniqueFd extra(got);  // more than were asked for
            }
        }
    }
    if (messageFlags != nullptr) *messageFlags = mh.msg_flags;
    return n;
}

}  // namespace platform
