// A client's handle in process, as the engine uses it at logon: it takes the ring (START_SHARE)
// and claims the adapter's session (START_CAPTURE). What the adapter sends reaches a ring only
// while a session is open and the ring is its user's. The handle closes with the object.
#pragma once
#include <cstdint>

#include "control_device.h"
#include "filter_core.h"
#include "support/ring_client.h"

namespace olvane::test {

class ClientSession {
public:
    explicit ClientSession(unsigned uid = 0, std::uint64_t id = 0x5E55) : m_fo{id, 1, uid} {
        const DWORD address = 0x20000000;
        m_claimed = Call(IOCTL_NDIS_FILTER_START_SHARE, &address, 4, 8) == STATUS_SUCCESS &&
                    Call(IOCTL_NDIS_FILTER_START_CAPTURE, nullptr, 0, 0) == STATUS_SUCCESS;
    }
    ~ClientSession() { NdisFilterCleanup(&m_fo); }
    ClientSession(const ClientSession&) = delete;
    ClientSession& operator=(const ClientSession&) = delete;

    bool Claimed() const { return m_claimed; }
    // The user side of the ring this handle holds (it stays in place while held).
    RingClient Ring() const {
        TwFilterExtension* ext = FilterExtension();
        return RingClient(ext->Ring()->Mapped() + ext->Ring()->SharedOffset(),
                          ext->m_Layout == RingLayout::k64);
    }

private:
    DWORD Call(DWORD code, const void* in, DWORD inLength, DWORD outLength) {
        IoRequest req;
        req.code = code;
        req.in = static_cast<const std::uint8_t*>(in);
        req.inLength = inLength;
        req.outLength = outLength;
        std::uint8_t out[8] = {};
        return NdisFilterIoControl(&m_fo, req, out).status;
    }

    TwFileObject m_fo;
    bool m_claimed = false;
};

}  // namespace olvane::test
