// Descriptor passing over AF_UNIX sockets (SCM_RIGHTS): one message, with descriptors riding
// along (one, or a few in order). Used by the filter device, its daemon side and their tests.
#pragma once
#include <sys/types.h>

#include <cstddef>

namespace platform {

// Sends `size` bytes as one message, with `passFd` attached when it is >= 0. Never raises SIGPIPE;
// `flags` adds send flags (MSG_DONTWAIT...). Retries on EINTR; true when the whole message went.
bool SendWithFd(int socket, const void* data, std::size_t size, int passFd, int flags = 0);

// Receives one message into `buffer`. *receivedFd gets the first passed descriptor
// (close-on-exec) or -1; any further ones are closed. *messageFlags, when given, gets the
// message's flags (MSG_TRUNC, MSG_CTRUNC) for the caller to judge. Retries on EINTR; returns
// the length, -1 with errno on failure.
ssize_t ReceiveWithFd(int socket, void* buffer, std::size_t size, int* receivedFd,
                      int* messageFlags = nullptr, int flags = 0);

// At most this many descriptors travel with one message.
constexpr std::size_t kMaxPassedFds = 4;

// As SendWithFd, with `count` descriptors (at most kMaxPassedFds) in this order.
bool SendWithFds(int socket, const void* data, std::size_t size, const int* fds, std::size_t count,
                 int flags = 0);

// As ReceiveWithFd, keeping up to `maxFds` descriptors in the order sent: fds[i] gets the i-th
// (close-on-exec) or -1; any further ones are closed.
ssize_t ReceiveWithFds(int socket, void* buffer, std::size_t size, int* fds, std::size_t maxFds,
                       int* messageFlags = nullptr, int flags = 0);

}  // namespace platform
