// The forwarding table over rtnetlink (libnl-route-3). See route_table.h for the row mapping.
#include "platform/route_table.h"

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <netlink/cache.h>
#include <netlink/route/addr.h>
#include <netlink/route/route.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <tuple>

#include "rtnl_session.h"

namespace platform {
namespace {

struct CacheDeleter {
    void operator()(nl_cache* c) const { nl_cache_free(c); }
};
using CachePtr = std::unique_ptr<nl_cache, CacheDeleter>;
struct AddrDeleter {
    void operator()(nl_addr* a) const { nl_addr_put(a); }
};
using AddrPtr = std::unique_ptr<nl_addr, AddrDeleter>;
struct RouteDeleter {
    void operator()(rtnl_route* r) const { rtnl_route_put(r); }
};
using RoutePtr = std::unique_ptr<rtnl_route, RouteDeleter>;

DWORD AddrWord(nl_addr* a) {
    if (a == nullptr || nl_addr_get_family(a) != AF_INET || nl_addr_get_len(a) != 4) return 0;
    DWORD v = 0;
    std::memcpy(&v, nl_addr_get_binary_addr(a), 4);
    return v;
}

AddrPtr MakeAddr(DWORD networkOrder, int prefixLength) {
    AddrPtr a(nl_addr_build(AF_INET, &networkOrder, 4));
    if (a) nl_addr_set_prefixlen(a.get(), prefixLength);
    return a;
}

// The IPv4 addresses (with masks) of every interface, for the next hop of on-link routes.
struct LocalAddress {
    DWORD ifIndex, address, mask;
};

std::vector<LocalAddress> ReadLocalAddresses(nl_sock* sock) {
    std::vector<LocalAddress> out;
    nl_cache* raw = nullptr;
    if (rtnl_addr_alloc_cache(sock, &raw) != 0) return out;
    CachePtr cache(raw);
    for (nl_object* o = nl_cache_get_first(raw); o != nullptr; o = nl_cache_get_next(o)) {
        auto* a = reinterpret_cast<rtnl_addr*>(o);
        if (rtnl_addr_get_family(a) != AF_INET) continue;
        out.push_back({static_cast<DWORD>(rtnl_addr_get_ifindex(a)), AddrWord(rtnl_addr_get_local(a)),
                       PrefixLengthMask(rtnl_addr_get_prefixlen(a))});
    }
    return out;
}

DWORD ProtoToRow(uint8_t proto) {
    switch (proto) {
        case RTPROT_KERNEL: return MIB_IPPROTO_LOCAL;
        case RTPROT_BOOT:
        case RTPROT_STATIC:
        case RTPROT_DHCP: return MIB_IPPROTO_NETMGMT;
        default: return MIB_IPPROTO_OTHER;
    }
}

uint8_t ProtoFromRow(DWORD proto) {
    switch (proto) {
        case MIB_IPPROTO_LOCAL: return RTPROT_KERNEL;
        case MIB_IPPROTO_NETMGMT: return RTPROT_BOOT;
        default: return RTPROT_UNSPEC;
    }
}

// Converts a kernel route; false for routes that have no row (other tables, non-unicast, IPv6).
bool RouteToRow(rtnl_route* r, const std::vector<LocalAddress>& locals, MIB_IPFORWARDROW* row) {
    if (rtnl_route_get_family(r) != AF_INET || rtnl_route_get_table(r) != RT_TABLE_MAIN ||
        rtnl_route_get_type(r) != RTN_UNICAST || rtnl_route_get_nnexthops(r) < 1) {
        return false;
    }
    rtnl_nexthop* nh = rtnl_route_nexthop_n(r, 0);
    nl_addr* dst = rtnl_route_get_dst(r);
    const int prefix = dst != nullptr ? static_cast<int>(nl_addr_get_prefixlen(dst)) : 0;
    std::memset(row, 0, sizeof(*row));
    row->dwForwardMask = PrefixLengthMask(prefix);
    row->dwForwardDest = AddrWord(dst) & row->dwForwardMask;
    row->dwForwardIfIndex = static_cast<DWORD>(rtnl_route_nh_get_ifindex(nh));
    const DWORD gateway = AddrWord(rtnl_route_nh_get_gateway(nh));
    if (gateway != 0) {
        row->dwForwardNextHop = gateway;
        row->dwForwardType = MIB_IPROUTE_TYPE_INDIRECT;
    } else {
        row->dwForwardType = MIB_IPROUTE_TYPE_DIRECT;
        row->dwForwardNextHop = AddrWord(rtnl_route_get_pref_src(r));
        for (const auto& l : locals) {
            if (row->dwForwardNextHop != 0) break;
            if (l.ifIndex == row->dwForwardIfIndex &&
                (l.address & row->dwForwardMask) == row->dwForwardDest) {
                row->dwForwardNextHop = l.address;
            }
        }
    }
    row->dwForwardProto = ProtoToRow(rtnl_route_get_protocol(r));
    row->dwForwardMetric1 = rtnl_route_get_priority(r);
    row->dwForwardMetric2 = row->dwForwardMetric3 = row->dwForwardMetric4 = row->dwForwardMetric5 =
        0xFFFFFFFFu;
    return true;
}

struct KernelRoutes {
    CachePtr cache;
    std::vector<std::pair<MIB_IPFORWARDROW, rtnl_route*>> rows;  // routes owned by the cache
    std::vector<LocalAddress> locals;
};

DWORD ReadKernelRoutes(nl_sock* sock, KernelRoutes* out) {
    nl_cache* raw = nullptr;
    const int rc = rtnl_route_alloc_cache(sock, AF_INET, 0, &raw);
    if (rc != 0) return rtnl::ToWinError(rc);
    out->cache.reset(raw);
    out->locals = ReadLocalAddresses(sock);
    for (nl_object* o = nl_cache_get_first(raw); o != nullptr; o = nl_cache_get_next(o)) {
        auto* r = reinterpret_cast<rtnl_route*>(o);
        MIB_IPFORWARDROW row;
        if (RouteToRow(r, out->locals, &row)) out->rows.emplace_back(row, r);
    }
    return kErrorSuccess;
}

bool SameRoute(const MIB_IPFORWARDROW& a, const MIB_IPFORWARDROW& b) {
    return a.dwForwardDest == b.dwForwardDest && a.dwForwardMask == b.dwForwardMask &&
           a.dwForwardNextHop == b.dwForwardNextHop &&
           (b.dwForwardIfIndex == 0 || a.dwForwardIfIndex == b.dwForwardIfIndex);
}

bool ValidMask(DWORD mask) { return PrefixLengthMask(MaskPrefixLength(mask)) == mask; }

RoutePtr RowToRoute(const MIB_IPFORWARDROW& row, const std::vector<LocalAddress>& locals) {
    RoutePtr r(rtnl_route_alloc());
    rtnl_nexthop* nh = rtnl_route_nh_alloc();
    if (!r || nh == nullptr) {
        if (nh != nullptr) rtnl_route_nh_free(nh);
        return nullptr;
    }
    rtnl_route_set_family(r.get(), AF_INET);
    rtnl_route_set_table(r.get(), RT_TABLE_MAIN);
    rtnl_route_set_type(r.get(), RTN_UNICAST);
    rtnl_route_set_protocol(r.get(), ProtoFromRow(row.dwForwardProto));
    rtnl_route_set_priority(r.get(), row.dwForwardMetric1);
    AddrPtr dst = MakeAddr(row.dwForwardDest & row.dwForwardMask, MaskPrefixLength(row.dwForwardMask));
    rtnl_route_set_dst(r.get(), dst.get());
    if (row.dwForwardIfIndex != 0) rtnl_route_nh_set_ifindex(nh, static_cast<int>(row.dwForwardIfIndex));
    const bool ownAddress = std::any_of(locals.begin(), locals.end(), [&](const LocalAddress& l) {
        return l.address == row.dwForwardNextHop &&
               (row.dwForwardIfIndex == 0 || l.ifIndex == row.dwForwardIfIndex);
    });
    if (row.dwForwardNextHop == 0 || ownAddress) {
        rtnl_route_set_scope(r.get(), RT_SCOPE_LINK);
        if (ownAddress) {
            AddrPtr src = MakeAddr(row.dwForwardNextHop, 32);
            rtnl_route_set_pref_src(r.get(), src.get());
        }
    } else {
        rtnl_route_set_scope(r.get(), RT_SCOPE_UNIVERSE);
        AddrPtr gw = MakeAddr(row.dwForwardNextHop, 32);
        rtnl_route_nh_set_gateway(nh, gw.get());
    }
    rtnl_route_add_nexthop(r.get(), nh);
    return r;
}

DWORD AddRoute(nl_sock* sock, const MIB_IPFORWARDROW& row, const std::vector<LocalAddress>& locals,
               int flags) {
    RoutePtr r = RowToRoute(row, locals);
    if (!r) return kErrorGeneralFailure;
    return rtnl::ToWinError(rtnl_route_add(sock, r.get(), flags));
}

}  // namespace

int MaskPrefixLength(DWORD maskNetworkOrder) {
    const std::uint32_t host = ntohl(maskNetworkOrder);
    int n = 0;
    while (n < 32 && (host & (0x80000000u >> n)) != 0) ++n;
    return n;
}

DWORD PrefixLengthMask(int prefixLength) {
    if (prefixLength <= 0) return 0;
    if (prefixLength >= 32) return 0xFFFFFFFFu;
    return htonl(~((1u << (32 - prefixLength)) - 1u));
}

DWORD ReadForwardRows(std::vector<MIB_IPFORWARDROW>* rows) {
    rows->clear();
    rtnl::Session s;
    if (!s.Valid()) return kErrorGeneralFailure;
    KernelRoutes k;
    const DWORD rc = ReadKernelRoutes(s.Get(), &k);
    if (rc != kErrorSuccess) return rc;
    for (const auto& [row, route] : k.rows) rows->push_back(row);
    return kErrorSuccess;
}

DWORD FillForwardTable(std::vector<MIB_IPFORWARDROW> rows, MIB_IPFORWARDTABLE* table, ULONG* size,
                       BOOL order) {
    if (size == nullptr) return kErrorInvalidParameter;
    const ULONG needed = ForwardTableSize(static_cast<DWORD>(rows.size()));
    if (table == nullptr || *size < needed) {
        *size = needed;
        return kErrorInsufficientBuffer;
    }
    if (order) {
        std::sort(rows.begin(), rows.end(), [](const MIB_IPFORWARDROW& a, const MIB_IPFORWARDROW& b) {
            return std::make_tuple(ntohl(a.dwForwardDest), ntohl(a.dwForwardMask),
                                   ntohl(a.dwForwardNextHop)) <
                   std::make_tuple(ntohl(b.dwForwardDest), ntohl(b.dwForwardMask), ntohl(b.dwForwardNextHop));
        });
    }
    table->dwNumEntries = static_cast<DWORD>(rows.size());
    if (!rows.empty()) std::memcpy(table->table, rows.data(), rows.size() * sizeof(MIB_IPFORWARDROW));
    return kErrorSuccess;
}

DWORD GetIpForwardTable(MIB_IPFORWARDTABLE* table, ULONG* size, BOOL order) {
    return SystemRouteTable().GetIpForwardTable(table, size, order);
}

DWORD RouteTable::GetIpForwardTable(MIB_IPFORWARDTABLE* table, ULONG* size, BOOL order) {
    if (size == nullptr) return kErrorInvalidParameter;
    std::vector<MIB_IPFORWARDROW> rows;
    const DWORD rc = ReadForwardRows(&rows);
    if (rc != kErrorSuccess) return rc;
    return FillForwardTable(std::move(rows), table, size, order);
}

namespace {

class LinuxRouteTable final : public RouteTable {
public:
    DWORD ReadForwardRows(std::vector<MIB_IPFORWARDROW>* rows) override {
        return platform::ReadForwardRows(rows);
    }
    DWORD CreateIpForwardEntry(const MIB_IPFORWARDROW* row) override {
        return platform::CreateIpForwardEntry(row);
    }
    DWORD DeleteIpForwardEntry(const MIB_IPFORWARDROW* row) override {
        return platform::DeleteIpForwardEntry(row);
    }
    DWORD SetIpForwardEntry(const MIB_IPFORWARDROW* row) override { return platform::SetIpForwardEntry(row); }
};

}  // namespace

RouteTable& SystemRouteTable() {
    static LinuxRouteTable table;
    return table;
}

DWORD CreateIpForwardEntry(const MIB_IPFORWARDROW* row) {
    if (row == nullptr || !ValidMask(row->dwForwardMask)) return kErrorInvalidParameter;
    rtnl::Session s;
    if (!s.Valid()) return kErrorGeneralFailure;
    return AddRoute(s.Get(), *row, ReadLocalAddresses(s.Get()), NLM_F_EXCL);
}

DWORD DeleteIpForwardEntry(const MIB_IPFORWARDROW* row) {
    if (row == nullptr || !ValidMask(row->dwForwardMask)) return kErrorInvalidParameter;
    rtnl::Session s;
    if (!s.Valid()) return kErrorGeneralFailure;
    KernelRoutes k;
    const DWORD rc = ReadKernelRoutes(s.Get(), &k);
    if (rc != kErrorSuccess) return rc;
    for (const auto& [have, route] : k.rows) {
        if (SameRoute(have, *row)) return rtnl::ToWinError(rtnl_route_delete(s.Get(), route, 0));
    }
    return kErrorNotFound;
}

DWORD SetIpForwardEntry(const MIB_IPFORWARDROW* row) {
    if (row == nullptr || !ValidMask(row->dwForwardMask)) return kErrorInvalidParameter;
    if (row->dwForwardType == MIB_IPROUTE_TYPE_INVALID) return DeleteIpForwardEntry(row);
    rtnl::Session s;
    if (!s.Valid()) return kErrorGeneralFailure;
    KernelRoutes k;
    DWORD rc = ReadKernelRoutes(s.Get(), &k);
    if (rc != kErrorSuccess) return rc;
    for (const auto& [have, route] : k.rows) {
        if (!SameRoute(have, *row)) continue;
        if (have.dwForwardMetric1 == row->dwForwardMetric1) {
            return rtnl::ToWinError(rtnl_route_add(s.Get(), route, NLM_F_REPLACE));
        }
        // The metric is part of the kernel's route key: add the new one before removing the old
        // one so the destination never loses its route.
        MIB_IPFORWARDROW changed = have;
        changed.dwForwardMetric1 = row->dwForwardMetric1;
        rc = AddRoute(s.Get(), changed, k.locals, NLM_F_EXCL);
        if (rc != kErrorSuccess) return rc;
        return rtnl::ToWinError(rtnl_route_delete(s.Get(), route, 0));
    }
    return AddRoute(s.Get(), *row, k.locals, NLM_F_EXCL);
}

NetworkChangeMonitor::NetworkChangeMonitor(int kinds) {
    m_fd.Reset(::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (!m_fd.Valid()) return;
    sockaddr_nl addr{};
    addr.nl_family = AF_NETLINK;
    if ((kinds & kRoutes) != 0) addr.nl_groups |= RTMGRP_IPV4_ROUTE;
    if ((kinds & kAddresses) != 0) addr.nl_groups |= RTMGRP_IPV4_IFADDR;
    if (::bind(m_fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        m_fd.Reset();
    }
}

NetworkChangeMonitor::~NetworkChangeMonitor() = default;

int NetworkChangeMonitor::Drain() {
    int seen = 0;
    char buf[16384];
    for (;;) {
        const ssize_t n = ::recv(m_fd.Get(), buf, sizeof(buf), 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            // Overrun: notices were lost, so report both kinds.
            if (errno == ENOBUFS) seen |= kRoutes | kAddresses;
            if (errno == ENOBUFS) continue;
            return seen;
        }
        const auto total = static_cast<std::size_t>(n);
        std::size_t off = 0;
        while (off + sizeof(nlmsghdr) <= total) {
            nlmsghdr h;
            std::memcpy(&h, buf + off, sizeof(h));
            if (h.nlmsg_len < sizeof(nlmsghdr) || h.nlmsg_len > total - off) break;
            if (h.nlmsg_type == RTM_NEWROUTE || h.nlmsg_type == RTM_DELROUTE) seen |= kRoutes;
            if (h.nlmsg_type == RTM_NEWADDR || h.nlmsg_type == RTM_DELADDR) seen |= kAddresses;
            off += NLMSG_ALIGN(h.nlmsg_len);
        }
    }
}

}  // namespace platform
