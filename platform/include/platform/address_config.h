// IPv4 addresses of an interface, set through rtnetlink (what the adapter configuration tools
// change on the system the suite was designed for). Calls act in the calling thread's network
// namespace; each opens its own netlink socket. Windows result numbers (win_error_codes.h).
#pragma once
#include "platform/types.h"
#include "platform/win_error_codes.h"

namespace platform {

// Adds `address` with `mask` (network byte order; the mask must be contiguous) and the subnet's
// broadcast address. kErrorObjectAlreadyExists when the interface has it already.
DWORD AddIpv4Address(DWORD ifIndex, DWORD address, DWORD mask);
// Removes every IPv4 address of the interface; kErrorSuccess also when it had none.
DWORD DeleteIpv4Addresses(DWORD ifIndex);

// The address configuration as an object, so that its users can be given another one (a fake in
// tests).
class AddressConfig {
public:
    virtual ~AddressConfig() = default;
    virtual DWORD AddIpv4Address(DWORD ifIndex, DWORD address, DWORD mask) = 0;
    virtual DWORD DeleteIpv4Addresses(DWORD ifIndex) = 0;
};
// The machine's interfaces through rtnetlink (the free functions); lives for the whole process.
AddressConfig& SystemAddressConfig();

}  // namespace platform
