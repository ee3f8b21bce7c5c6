// Loopback helpers for tests that talk over TCP on this machine.
#pragma once

namespace testsupport {

// A TCP port on 127.0.0.1 that was free a moment ago (the kernel's pick); 0 on failure.
unsigned short FreeLoopbackPort();

// The options the socket engine gives its connections (64 KiB buffers, no delay), for plain
// sockets that benchmarks measure against it.
void SetEngineSocketOptions(int fd);

}  // namespace testsupport
