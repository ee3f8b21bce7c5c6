// Loopback helpers for tests that talk over TCP on this machine.
#pragma once

namespace testsupport {

// A TCP port on 127.0.0.1 that was free a moment ago (the kernel's pick); 0 on failure.
unsigned short FreeLoopbackPort();

}  // namespace testsupport
