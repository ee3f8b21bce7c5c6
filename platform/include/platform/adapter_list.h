// The network adapters of the machine with their IPv4 addresses, and the neighbour (ARP) table,
// read through rtnetlink. What IP Helper's adapter and interface lists give the suite.
//
// Thread-safety: every call opens its own netlink socket. Calls act in the network namespace of
// the calling thread. Error contract: Windows result numbers as in route_table.h.
#pragma once
#include <array>
#include <string>
#include <vector>

#include "platform/types.h"
#include "platform/win_error_codes.h"

namespace platform {

struct AdapterAddress {
    DWORD address = 0;      // network byte order
    DWORD mask = 0;         // network byte order
    bool permanent = true;  // false for an address with a lifetime (handed out by DHCP)
};

struct AdapterInfo {
    DWORD index = 0;            // kernel interface index
    std::string name;           // interface name ("eth0")
    std::array<BYTE, 8> mac{};  // hardware address, macLength bytes used
    DWORD macLength = 0;
    bool loopback = false;
    // No device behind the link (a bridge, veth, TAP, dummy, VLAN, ...): it has a link kind, or
    // sysfs keeps it under /sys/devices/virtual/net. A physical card (or a hypervisor's
    // emulated one) has neither.
    bool virtualLink = false;
    bool up = false;                        // administratively up
    bool running = false;                   // carrier present
    std::vector<AdapterAddress> addresses;  // IPv4 only, in kernel order
    std::vector<DWORD> gateways;            // next hops of default routes through this adapter
    // Whether the address is managed by DHCP: an adapter with an IPv4 address that has a
    // lifetime, or with no IPv4 address at all (it may be waiting for a lease). Adapters with only
    // permanent (static) addresses and the loopback adapter are not.
    bool dhcpEnabled = false;
};

// Every adapter, in interface-index order.
DWORD GetAdapters(std::vector<AdapterInfo>* adapters);

// Hardware address of `ip` (network byte order) from the neighbour table; kErrorNotFound when the
// table has no complete entry for it.
DWORD LookupNeighbour(DWORD ip, std::array<BYTE, 6>* mac);

// The adapter list as an object, so that its users can be given another one (a fake in tests).
class AdapterList {
public:
    virtual ~AdapterList() = default;
    virtual DWORD GetAdapters(std::vector<AdapterInfo>* adapters) = 0;
    virtual DWORD LookupNeighbour(DWORD ip, std::array<BYTE, 6>* mac) = 0;
};
// The machine's adapters through rtnetlink (the free functions); lives for the whole process.
AdapterList& SystemAdapterList();

}  // namespace platform
