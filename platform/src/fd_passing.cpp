#include "platform/fd_passing.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/unique_fd.h"

namespace platform {

bool SendWithFd(int socket, const void* data, std::size_t size, int passFd, int flags) {
    iovec iov{const_cast<void*>(data), size};
    msghdr mh{};
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (passFd >= 0) {
        mh.msg_control = control;
        mh.msg_controllen = sizeof(control);
        cmsghdr* cm = CMSG_FIRSTHDR(&mh);
        cm->cmsg_level = SOL_SOCKET;
        cm->cmsg_type = SCM_RIGHTS;
        cm->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(cm), &passFd, sizeof(int));
    }
    ssize_t n;
    do {
        n = ::sendmsg(socket, &mh, MSG_NOSIGNAL | flags);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(size);
}

ssize_t ReceiveWithFd(int socket, void* buffer, std::size_t size, int* receivedFd, int* messageFlags,
                      int flags) {
    *receivedFd = -1;
    iovec iov{buffer, size};
    msghdr mh{};
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    // Room for a few: a peer sending more than one must not leave them unclosed in truncation.
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)] = {};
    mh.msg_control = control;
    mh.msg_controllen = sizeof(control);
    ssize_t n;
    do {
        n = ::recvmsg(socket, &mh, MSG_CMSG_CLOEXEC | flags);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return n;
    for (cmsghdr* cm = CMSG_FIRSTHDR(&mh); cm != nullptr; cm = CMSG_NXTHDR(&mh, cm)) {
        if (cm->cmsg_level != SOL_SOCKET || cm->cmsg_type != SCM_RIGHTS) continue;
        const std::size_t count = (cm->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t i = 0; i < count; ++i) {
            int got;
            std::memcpy(&got, CMSG_DATA(cm) + i * sizeof(int), sizeof(int));
            if (*receivedFd < 0) {
                *receivedFd = got;
            } else {
                UniqueFd extra(got);  // more than one was never asked for
            }
        }
    }
    if (messageFlags != nullptr) *messageFlags = mh.msg_flags;
    return n;
}

}  // namespace platform
