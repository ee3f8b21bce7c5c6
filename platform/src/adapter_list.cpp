// Adapters, their IPv4 addresses and the neighbour table over rtnetlink (libnl-route-3).
#include "platform/adapter_list.h"

#include <linux/if_addr.h>
#include <linux/neighbour.h>
#include <net/if.h>
#include <netlink/cache.h>
#include <netlink/route/addr.h>
#include <netlink/route/link.h>
#include <netlink/route/neighbour.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "platform/route_table.h"
#include "rtnl_session.h"

namespace platform {
namespace {

struct CacheDeleter {
    void operator()(nl_cache* c) const { nl_cache_free(c); }
};
using CachePtr = std::unique_ptr<nl_cache, CacheDeleter>;

DWORD AddrWord(nl_addr* a) {
    if (a == nullptr || nl_addr_get_family(a) != AF_INET || nl_addr_get_len(a) != 4) return 0;
    DWORD v = 0;
    std::memcpy(&v, nl_addr_get_binary_addr(a), 4);
    return v;
}

// IFF_LOWER_UP lives in linux/if.h, which clashes with net/if.h.
constexpr unsigned kIffLowerUp = 0x10000;

// sysfs shows the namespace it was mounted in: its word counts only when the index agrees.
bool SysfsSaysVirtual(const std::string& name, DWORD index) {
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") return false;
    const std::string base = "/sys/class/net/" + name;
    char resolved[PATH_MAX];
    if (::realpath(base.c_str(), resolved) == nullptr) return false;
    if (std::strncmp(resolved, "/sys/devices/virtual/", 21) != 0) return false;
    std::ifstream f(base + "/ifindex");
    unsigned long value = 0;
    return static_cast<bool>(f >> value) && value == index;
}

void FillLink(rtnl_link* l, AdapterInfo* info) {
    info->index = static_cast<DWORD>(rtnl_link_get_ifindex(l));
    const char* name = rtnl_link_get_name(l);
    info->name = name != nullptr ? name : "";
    const unsigned flags = rtnl_link_get_flags(l);
    info->loopback = (flags & IFF_LOOPBACK) != 0;
    info->up = (flags & IFF_UP) != 0;
    info->running = (flags & kIffLowerUp) != 0 || (flags & IFF_RUNNING) != 0;
    nl_addr* mac = rtnl_link_get_addr(l);
    if (mac != nullptr) {
        const unsigned len =
            std::min<unsigned>(nl_addr_get_len(mac), static_cast<unsigned>(info->mac.size()));
        std::memcpy(info->mac.data(), nl_addr_get_binary_addr(mac), len);
        info->macLength = len;
    }
    const char* kind = rtnl_link_get_type(l);
    info->virtualLink = (kind != nullptr && *kind != '\0') || SysfsSaysVirtual(info->name, info->index);
}

}  // namespace

DWORD GetAdapters(std::vector<AdapterInfo>* adapters) {
    adapters->clear();
    rtnl::Session s;
    if (!s.Valid()) return kErrorGeneralFailure;
    nl_cache* raw = nullptr;
    int rc = rtnl_link_alloc_cache(s.Get(), AF_UNSPEC, &raw);
    if (rc != 0) return rtnl::ToWinError(rc);
    CachePtr links(raw);
    for (nl_object* o = nl_cache_get_first(raw); o != nullptr; o = nl_cache_get_next(o)) {
        AdapterInfo info;
        FillLink(reinterpret_cast<rtnl_link*>(o), &info);
        adapters->push_back(std::move(info));
    }
    std::sort(adapters->begin(), adapters->end(),
              [](const AdapterInfo& a, const AdapterInfo& b) { return a.index < b.index; });
    auto find = [&](DWORD index) -> AdapterInfo* {
        for (auto& a : *adapters) {
            if (a.index == index) return &a;
        }
        return nullptr;
    };

    raw = nullptr;
    rc = rtnl_addr_alloc_cache(s.Get(), &raw);
    if (rc != 0) return rtnl::ToWinError(rc);
    CachePtr addrs(raw);
    for (nl_object* o = nl_cache_get_first(raw); o != nullptr; o = nl_cache_get_next(o)) {
        auto* a = reinterpret_cast<rtnl_addr*>(o);
        if (rtnl_addr_get_family(a) != AF_INET) continue;
        AdapterInfo* info = find(static_cast<DWORD>(rtnl_addr_get_ifindex(a)));
        if (info == nullptr) continue;
        AdapterAddress entry;
        entry.address = AddrWord(rtnl_addr_get_local(a));
        entry.mask = PrefixLengthMask(rtnl_addr_get_prefixlen(a));
        entry.permanent = (rtnl_addr_get_flags(a) & IFA_F_PERMANENT) != 0;
        info->addresses.push_back(entry);
    }

    std::vector<MIB_IPFORWARDROW> rows;
    if (ReadForwardRows(&rows) == kErrorSuccess) {
        for (const auto& r : rows) {
            if (r.dwForwardDest != 0 || r.dwForwardMask != 0 || r.dwForwardType != MIB_IPROUTE_TYPE_INDIRECT)
                continue;
            if (AdapterInfo* info = find(r.dwForwardIfIndex)) info->gateways.push_back(r.dwForwardNextHop);
        }
    }
    for (auto& a : *adapters) {
        a.dhcpEnabled = !a.loopback && (a.addresses.empty() ||
                                        std::any_of(a.addresses.begin(), a.addresses.end(),
                                                    [](const AdapterAddress& x) { return !x.permanent; }));
    }
    return kErrorSuccess;
}

DWORD LookupNeighbour(DWORD ip, std::array<BYTE, 6>* mac) {
    rtnl::Session s;
    if (!s.Valid()) return kErrorGeneralFailure;
    nl_cache* raw = nullptr;
    const int rc = rtnl_neigh_alloc_cache(s.Get(), &raw);
    if (rc != 0) return rtnl::ToWinError(rc);
    CachePtr cache(raw);
    constexpr int kUsable = NUD_REACHABLE | NUD_STALE | NUD_DELAY | NUD_PROBE | NUD_PERMANENT | NUD_NOARP;
    for (nl_object* o = nl_cache_get_first(raw); o != nullptr; o = nl_cache_get_next(o)) {
        auto* n = reinterpret_cast<rtnl_neigh*>(o);
        if (rtnl_neigh_get_family(n) != AF_INET || AddrWord(rtnl_neigh_get_dst(n)) != ip) continue;
        if ((rtnl_neigh_get_state(n) & kUsable) == 0) continue;
        nl_addr* ll = rtnl_neigh_get_lladdr(n);
        if (ll == nullptr || nl_addr_get_len(ll) != 6) continue;
        std::memcpy(mac->data(), nl_addr_get_binary_addr(ll), 6);
        return kErrorSuccess;
    }
    return kErrorNotFound;
}

namespace {

class LinuxAdapterList final : public AdapterList {
public:
    DWORD GetAdapters(std::vector<AdapterInfo>* adapters) override { return platform::GetAdapters(adapters); }
    DWORD LookupNeighbour(DWORD ip, std::array<BYTE, 6>* mac) override {
        return platform::LookupNeighbour(ip, mac);
    }
};

}  // namespace

AdapterList& SystemAdapterList() {
    static LinuxAdapterList list;
    return list;
}

}  // namespace platform
