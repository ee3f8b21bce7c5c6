// Loopback helpers for tests that talk over TCP on this machine. Listeners bind port 0 and read
// the kernel's choice back: a port guessed free beforehand can be taken by a concurrent test.
#pragma once
#include <cstddef>

#include "platform/unique_fd.h"

namespace testsupport {

// A listening TCP socket on 127.0.0.1, on a port the kernel picked; closed by the destructor.
// `fd` owns nothing (and `port` is 0) when it could not be set up.
struct LoopbackListener {
    platform::UniqueFd fd;
    unsigned short port = 0;
    explicit LoopbackListener(int backlog = 128);
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;
    // The next connection (blocking), -1 on failure.
    int Accept() const;
};

// A blocking TCP connection to 127.0.0.1:port, -1 on failure.
int ConnectLoopback(unsigned short port);

// All of `size` bytes, or false (error or end).
bool SendAll(int fd, const void* data, std::size_t size);
// Exactly `size` bytes; false on end, error or `timeoutMs` of silence.
bool RecvAll(int fd, void* data, std::size_t size, int timeoutMs = 10000);

// The options the socket engine gives its connections (64 KiB buffers, no delay), for plain
// sockets that benchmarks measure against it.
void SetEngineSocketOptions(int fd);

}  // namespace testsupport
