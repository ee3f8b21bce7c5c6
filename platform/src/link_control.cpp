// Link state and neighbour flush over rtnetlink (libnl-route-3).
#include "platform/link_control.h"

#include <net/if.h>
#include <netlink/cache.h>
#include <netlink/route/link.h>
#include <netlink/route/neighbour.h>

#include <memory>

#include "rtnl_session.h"

namespace platform {
namespace {

struct LinkDeleter {
    void operator()(rtnl_link* l) const { rtnl_link_put(l); }
};
struct CacheDeleter {
    void operator()(nl_cache* c) const { nl_cache_free(c); }
};

}  // namespace

DWORD SetLinkUp(DWORD ifIndex, bool up) {
    if (ifIndex == 0 || ifIndex > 0x7fffffffu) return kErrorInvalidParameter;
    rtnl::Session s;
    if (!s.Valid()) return kErrorGeneralFailure;
    rtnl_link* raw = nullptr;
    int rc = rtnl_link_get_kernel(s.Get(), static_cast<int>(ifIndex), nullptr, &raw);
    if (rc != 0) return rtnl::ToWinError(rc);
    std::unique_ptr<rtnl_link, LinkDeleter> current(raw);
    std::unique_ptr<rtnl_link, LinkDeleter> change(rtnl_link_alloc());
    if (!change) return kErrorGeneralFailure;
    if (up) {
        rtnl_link_set_flags(change.get(), IFF_UP);
    } else {
        rtnl_link_unset_flags(change.get(), IFF_UP);
    }
    return rtnl::ToWinError(rtnl_link_change(s.Get(), current.get(), change.get(), 0));
}

DWORD FlushNeighbours(DWORD ifIndex) {
    if (ifIndex == 0 || ifIndex > 0x7fffffffu) return kErrorInvalidParameter;
    rtnl::Session s;
    if (!s.Valid()) return kErrorGeneralFailure;
    rtnl_link* link = nullptr;
    int rc = rtnl_link_get_kernel(s.Get(), static_cast<int>(ifIndex), nullptr, &link);
    if (rc != 0) return rtnl::ToWinError(rc);
    rtnl_link_put(link);
    nl_cache* raw = nullptr;
    rc = rtnl_neigh_alloc_cache(s.Get(), &raw);
    if (rc != 0) return rtnl::ToWinError(rc);
    std::unique_ptr<nl_cache, CacheDeleter> cache(raw);
    for (nl_object* o = nl_cache_get_first(raw); o != nullptr; o = nl_cache_get_next(o)) {
        auto* n = reinterpret_cast<rtnl_neigh*>(o);
        if (rtnl_neigh_get_family(n) != AF_INET || rtnl_neigh_get_ifindex(n) != static_cast<int>(ifIndex))
            continue;
        const int del = rtnl_neigh_delete(s.Get(), n, 0);
        if (del != 0 && del != -NLE_OBJ_NOTFOUND) return rtnl::ToWinError(del);
    }
    return kErrorSuccess;
}

namespace {

class LinuxLinkControl final : public LinkControl {
public:
    DWORD SetLinkUp(DWORD ifIndex, bool up) override { return platform::SetLinkUp(ifIndex, up); }
    DWORD FlushNeighbours(DWORD ifIndex) override { return platform::FlushNeighbours(ifIndex); }
};

}  // namespace

LinkControl& SystemLinkControl() {
    static LinuxLinkControl control;
    return control;
}

}  // namespace platform
