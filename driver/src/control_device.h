// The control device's request dispatch (NdisFilterIoControl) and its second level: every
// control code with its records, lengths and statuses. Free of I/O: the socket server hands in
// the request and sends back what this returns. Every length is checked before a record is
// read, and the byte count never exceeds the output length.
#pragma once
#include <cstdint>
#include <memory>

#include "filter_core.h"

namespace olvane {

struct IoRequest {
    DWORD code = 0;
    const std::uint8_t* in = nullptr;
    DWORD inLength = 0;
    DWORD outLength = 0;
    // A descriptor that came with the request (-1 none). The dispatcher sets it to -1 when it
    // keeps it; otherwise the caller closes it.
    int passedFd = -1;
};

struct IoResult {
    DWORD status = STATUS_SUCCESS;
    DWORD bytes = 0;
    int replyFd = -1;                 // descriptor to pass back (not owned: the ring's memfd)
    int replyExtraFds[2] = {-1, -1};  // passed after it (not owned: the ring's doorbells)
    // Keeps what replyFd belongs to open until the reply is sent (a ring may be retired meanwhile).
    std::shared_ptr<const void> keep;
};

// Dispatches one request of `fo`; `out` has room for req.outLength bytes.
IoResult NdisFilterIoControl(TwFileObject* fo, IoRequest& req, std::uint8_t* out);
// IRP_MJ_CLEANUP: a handle closed while it shares the ring ends the sharing.
void NdisFilterCleanup(TwFileObject* fo);

}  // namespace olvane
