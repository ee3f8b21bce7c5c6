// Link state and neighbour table of one interface, through rtnetlink: what the adapter
// enable/disable and "arp -d" of the system the suite was designed for become here.
// Calls act in the calling thread's network namespace; each opens its own netlink socket.
// Error contract: Windows result numbers (win_error_codes.h); kErrorNotFound for a missing
// interface.
#pragma once
#include "platform/types.h"
#include "platform/win_error_codes.h"

namespace platform {

// Sets the interface administratively up or down.
DWORD SetLinkUp(DWORD ifIndex, bool up);
// Removes every IPv4 neighbour entry of the interface (permanent ones included).
DWORD FlushNeighbours(DWORD ifIndex);

// The same as an object, so that its users can be given a fake in tests.
class LinkControl {
public:
    virtual ~LinkControl() = default;
    virtual DWORD SetLinkUp(DWORD ifIndex, bool up) = 0;
    virtual DWORD FlushNeighbours(DWORD ifIndex) = 0;
};
// The machine's interfaces (the free functions); lives for the whole process.
LinkControl& SystemLinkControl();

}  // namespace platform
