// IPv4 addresses of an interface over rtnetlink (libnl-route-3).
#include "platform/address_config.h"

#include <netlink/cache.h>
#include <netlink/route/addr.h>

#include <cstring>
#include <memory>
#include <vector>

#include "platform/route_table.h"
#include "rtnl_session.h"

namespace platform {
namespace {

struct AddrDeleter {
    void operator()(nl_addr* a) const { nl_addr_put(a); }
};
struct RtnlAddrDeleter {
    void operator()(rtnl_addr* a) const { rtnl_addr_put(a); }
};
struct CacheDeleter {
    void operator()(nl_cache* c) const { nl_cache_free(c); }
};

}  // namespace

DWORD AddIpv4Address(DWORD ifIndex, DWORD address, DWORD mask) {
    const int prefix = MaskPrefixLength(mask);
    if (ifIndex == 0 || address == 0 || PrefixLengthMask(prefix) != mask) return kErrorInvalidParameter;
    rtnl::Session s;
    if (!s.Valid()) return kErrorGeneralFailure;
    std::unique_ptr<rtnl_addr, RtnlAddrDeleter> a(rtnl_addr_alloc());
    std::unique_ptr<nl_addr, AddrDeleter> local(nl_addr_build(AF_INET, &address, 4));
    const DWORD broadcast = (address & mask) | ~mask;
    std::unique_ptr<nl_addr, AddrDeleter> bcast(nl_addr_build(AF_INET, &broadcast, 4));
    if (!a || !local || !bcast) return kErrorGeneralFailure;
    nl_addr_set_prefixlen(local.get(), prefix);
    rtnl_addr_set_ifindex(a.get(), static_cast<int>(ifIndex));
    rtnl_addr_set_family(a.get(), AF_INET);
    rtnl_addr_set_local(a.get(), local.get());
    rtnl_addr_set_prefixlen(a.get(), prefix);
    if (prefix < 31) rtnl_addr_set_broadcast(a.get(), bcast.get());
    return rtnl::ToWinError(rtnl_addr_add(s.Get(), a.get(), NLM_F_EXCL));
}

DWORD DeleteIpv4Addresses(DWORD ifIndex) {
    rtnl::Session s;
    if (!s.Valid()) return kErrorGeneralFailure;
    nl_cache* raw = nullptr;
    const int rc = rtnl_addr_alloc_cache(s.Get(), &raw);
    if (rc != 0) return rtnl::ToWinError(rc);
    std::unique_ptr<nl_cache, CacheDeleter> cache(raw);
    for (nl_object* o = nl_cache_get_first(raw); o != nullptr; o = nl_cache_get_next(o)) {
        auto* a = reinterpret_cast<rtnl_addr*>(o);
        if (rtnl_addr_get_family(a) != AF_INET || rtnl_addr_get_ifindex(a) != static_cast<int>(ifIndex))
            continue;
        const int del = rtnl_addr_delete(s.Get(), a, 0);
        if (del != 0 && del != -NLE_OBJ_NOTFOUND) return rtnl::ToWinError(del);
    }
    return kErrorSuccess;
}

namespace {

class LinuxAddressConfig final : public AddressConfig {
public:
    DWORD AddIpv4Address(DWORD ifIndex, DWORD address, DWORD mask) override {
        return platform::AddIpv4Address(ifIndex, address, mask);
    }
    DWORD DeleteIpv4Addresses(DWORD ifIndex) override { return platform::DeleteIpv4Addresses(ifIndex); }
};

}  // namespace

AddressConfig& SystemAddressConfig() {
    static LinuxAddressConfig config;
    return config;
}

}  // namespace platform
