// The IPv4 forwarding table as fixed-layout rows (the IP Helper row and table records), read and
// changed through rtnetlink. Rows cover the unicast routes of the main routing table.
//
// Mapping of a kernel route onto a row:
//   destination, mask        the route's prefix (network byte order)
//   next hop                 the gateway; for an on-link route the preferred source address of the
//                            route (else the interface's first address inside the prefix, else 0)
//   interface index          the kernel interface index
//   type                     4 (indirect) with a gateway, 3 (direct) without
//   protocol                 2 (local) for kernel routes, 3 (network management) for static, boot
//                            and DHCP routes, 1 (other) for the rest
//   metric 1                 the route's priority; metrics 2-5 are 0xFFFFFFFF, policy, age and
//                            next-hop AS are 0
// Writing a row uses the reverse mapping: a next hop that is one of the interface's own addresses
// makes an on-link route with that preferred source, any other non-zero next hop a gateway route.
//
// Thread-safety: every call opens its own netlink socket; calls may run on any thread. Calls act
// in the network namespace of the calling thread.
// Error contract: Windows result numbers (0 success; 5 access denied, 87 invalid parameter,
// 122 insufficient buffer, 1168 not found, 5010 already exists, 1359 other failure).
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/types.h"
#include "platform/unique_fd.h"
#include "platform/win_error_codes.h"

#pragma pack(push, 1)
// One forwarding row: 14 fields of 32 bits; also the row format of the saved route-table file.
struct MIB_IPFORWARDROW {
    DWORD dwForwardDest;
    DWORD dwForwardMask;
    DWORD dwForwardPolicy;
    DWORD dwForwardNextHop;
    DWORD dwForwardIfIndex;
    DWORD dwForwardType;
    DWORD dwForwardProto;
    DWORD dwForwardAge;
    DWORD dwForwardNextHopAS;
    DWORD dwForwardMetric1;
    DWORD dwForwardMetric2;
    DWORD dwForwardMetric3;
    DWORD dwForwardMetric4;
    DWORD dwForwardMetric5;
};
// The table image: a row count followed by that many rows.
struct MIB_IPFORWARDTABLE {
    DWORD dwNumEntries;
    MIB_IPFORWARDROW table[1];
};
#pragma pack(pop)
static_assert(sizeof(MIB_IPFORWARDROW) == 56, "forwarding row is 14 x 32 bits");
static_assert(offsetof(MIB_IPFORWARDROW, dwForwardNextHop) == 12);
static_assert(offsetof(MIB_IPFORWARDROW, dwForwardIfIndex) == 16);
static_assert(offsetof(MIB_IPFORWARDROW, dwForwardMetric1) == 36);
static_assert(offsetof(MIB_IPFORWARDROW, dwForwardMetric5) == 52);
static_assert(sizeof(MIB_IPFORWARDTABLE) == 60);
static_assert(offsetof(MIB_IPFORWARDTABLE, table) == 4);

namespace platform {

// Route types and protocols of the row.
constexpr DWORD MIB_IPROUTE_TYPE_OTHER = 1;
constexpr DWORD MIB_IPROUTE_TYPE_INVALID = 2;
constexpr DWORD MIB_IPROUTE_TYPE_DIRECT = 3;
constexpr DWORD MIB_IPROUTE_TYPE_INDIRECT = 4;
constexpr DWORD MIB_IPPROTO_OTHER = 1;
constexpr DWORD MIB_IPPROTO_LOCAL = 2;
constexpr DWORD MIB_IPPROTO_NETMGMT = 3;

// Size needed for a table image of `rows` rows.
constexpr ULONG ForwardTableSize(DWORD rows) {
    return static_cast<ULONG>(sizeof(DWORD) + sizeof(MIB_IPFORWARDROW) * (rows == 0 ? 1 : rows));
}

// Reads the table into `table` (capacity *size bytes). Too small (or null table): *size receives
// the size needed and kErrorInsufficientBuffer is returned. `order` sorts by destination, mask,
// next hop; otherwise rows come in the kernel's order.
DWORD GetIpForwardTable(MIB_IPFORWARDTABLE* table, ULONG* size, BOOL order);
// The rows as a vector (same order rules); kErrorSuccess or a failure code.
DWORD ReadForwardRows(std::vector<MIB_IPFORWARDROW>* rows);

// Creates the route; kErrorObjectAlreadyExists when the same prefix and metric exist.
DWORD CreateIpForwardEntry(const MIB_IPFORWARDROW* row);
// Deletes the route matching destination, mask, interface and next hop (any metric).
DWORD DeleteIpForwardEntry(const MIB_IPFORWARDROW* row);
// Writes a row: type 2 (invalid) deletes the matching route; otherwise the route matching
// destination, mask, interface and next hop takes the row's metric, and when no route matches one
// is created. So a row saved earlier can be written back after its route went away.
DWORD SetIpForwardEntry(const MIB_IPFORWARDROW* row);

// Prefix length of a mask in network byte order: the number of leading one bits (255.255.240.0
// gives 20). A mask with holes counts only its leading ones.
int MaskPrefixLength(DWORD maskNetworkOrder);
// The mask (network byte order) of a prefix length 0-32.
DWORD PrefixLengthMask(int prefixLength);

// The table rows from `rows` in the buffer rules of GetIpForwardTable.
DWORD FillForwardTable(std::vector<MIB_IPFORWARDROW> rows, MIB_IPFORWARDTABLE* table, ULONG* size,
                       BOOL order);

// The forwarding table as an object, so that its users can be given another one (a fake in
// tests). The calls have the contracts of the free functions above.
class RouteTable {
public:
    virtual ~RouteTable() = default;
    virtual DWORD ReadForwardRows(std::vector<MIB_IPFORWARDROW>* rows) = 0;
    virtual DWORD CreateIpForwardEntry(const MIB_IPFORWARDROW* row) = 0;
    virtual DWORD DeleteIpForwardEntry(const MIB_IPFORWARDROW* row) = 0;
    virtual DWORD SetIpForwardEntry(const MIB_IPFORWARDROW* row) = 0;
    DWORD GetIpForwardTable(MIB_IPFORWARDTABLE* table, ULONG* size, BOOL order);
};
// The machine's table through rtnetlink (the free functions); lives for the whole process.
RouteTable& SystemRouteTable();

// Change notification: a descriptor that becomes readable when IPv4 routes (or addresses) change.
// Drain() empties it. Not thread-safe; one owner.
class NetworkChangeMonitor {
public:
    enum Kind { kRoutes = 1, kAddresses = 2 };
    explicit NetworkChangeMonitor(int kinds);
    ~NetworkChangeMonitor();
    NetworkChangeMonitor(const NetworkChangeMonitor&) = delete;
    NetworkChangeMonitor& operator=(const NetworkChangeMonitor&) = delete;

    bool Valid() const { return m_fd.Valid(); }
    int Fd() const { return m_fd.Get(); }
    // Reads every pending notice; returns the kinds seen (bits of Kind), 0 when none.
    int Drain();

private:
    UniqueFd m_fd;
};

}  // namespace platform
