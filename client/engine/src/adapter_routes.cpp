// The tunnel's routes at logon: the gateway's host route, stale routes, resource routes.
#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "adapter_text.h"
#include "dailylog/shared_daily_log.h"
#include "engine/adapter_setup.h"

namespace engine {
namespace {

constexpr DWORD kProbeExcludedHost = 0x72727272;  // 114.114.114.114, a public resolver

bool IsDefault(const ResourceRoute& r) { return r.network == 0 && r.mask == 0; }

bool SameRow(const MIB_IPFORWARDROW& a, const MIB_IPFORWARDROW& b) {
    return a.dwForwardDest == b.dwForwardDest && a.dwForwardMask == b.dwForwardMask &&
           a.dwForwardIfIndex == b.dwForwardIfIndex && a.dwForwardNextHop == b.dwForwardNextHop;
}

}  // namespace

DWORD TwAdapterSetup::GatewayAddress() const {
    in_addr a{};
    if (inet_pton(AF_INET, m_results.gatewayText.c_str(), &a) == 1) return a.s_addr;
    return htonl(m_results.peerAddress);
}

bool TwAdapterSetup::IsPinnedHost(DWORD address) const {
    if (address == 0) return false;
    return address == GatewayAddress() ||
           std::find(m_results.pinnedHosts.begin(), m_results.pinnedHosts.end(), address) !=
               m_results.pinnedHosts.end();
}

std::vector<DWORD> TwAdapterSetup::UnpinnedHosts() const {
    std::vector<DWORD> left;
    for (DWORD h : m_results.pinnedHosts) {
        if (h == 0 || h == GatewayAddress()) continue;
        if (std::find(m_pinnedAdded.begin(), m_pinnedAdded.end(), h) != m_pinnedAdded.end()) continue;
        if (std::find(m_pinnedExisted.begin(), m_pinnedExisted.end(), h) != m_pinnedExisted.end()) continue;
        left.push_back(h);
    }
    return left;
}

void TwAdapterSetup::LogonSaveDefaultAddGatewayRoute() {
    const DWORD gateway = GatewayAddress();
    PrintSystemRouteTable();
    m_deps.driver->AddSystemRoute();
    m_deps.routeManager->SaveDefaultRoute();
    // The tunnel's own interface never carries the way to the gateway, also before it has an address.
    DWORD virtualIf = m_virtualIfIndex;
    if (virtualIf == 0) virtualIf = static_cast<DWORD>(GetVirtualAdapterIndex());
    m_deps.routeManager->SetVirtualIfIndex(virtualIf);
    std::vector<MIB_IPFORWARDROW> rows;
    if (m_deps.routes->ReadForwardRows(&rows) != platform::kErrorSuccess) rows.clear();
    bool existed = false;
    for (const auto& r : rows) {
        if (r.dwForwardDest == gateway && r.dwForwardMask == kHostMask && r.dwForwardIfIndex != virtualIf)
            existed = true;
    }
    std::lock_guard<std::mutex> g(m_lock);
    if (!m_gatewayRouteAdded) m_gatewayRouteExisted = existed;
    if (!existed && gateway != 0 && !m_gatewayRouteAdded) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonSaveDefaultAddGatewayRoute]else Add host route to gateway %s",
               Ipv4Text(gateway).c_str());
        // Through the next hop and interface the gateway has now, before the tunnel takes routes.
        m_gatewayRouteAdded = m_deps.routeManager->AddHostRoute(Ipv4Text(gateway), 0) == 0;
        if (!m_gatewayRouteAdded)
            TW_LOG(LOG_CLIENT_LOGIN, 4,
                   "[LogonSaveDefaultAddGatewayRoute] no way to the gateway %s outside the tunnel",
                   Ipv4Text(gateway).c_str());
    }
    // Through a proxy the carrier goes to the proxy: a full tunnel or a pushed route covering it
    // would send the carrier into its own tunnel. Pinned the same way, once per session.
    for (DWORD host : m_results.pinnedHosts) {
        if (host == 0 || host == gateway ||
            std::find(m_pinnedAdded.begin(), m_pinnedAdded.end(), host) != m_pinnedAdded.end() ||
            std::find(m_pinnedExisted.begin(), m_pinnedExisted.end(), host) != m_pinnedExisted.end())
            continue;
        const bool own = std::any_of(rows.begin(), rows.end(), [&](const MIB_IPFORWARDROW& r) {
            return r.dwForwardDest == host && r.dwForwardMask == kHostMask && r.dwForwardIfIndex != virtualIf;
        });
        if (own) {
            m_pinnedExisted.push_back(host);
        } else if (m_deps.routeManager->AddHostRoute(Ipv4Text(host), 0) == 0) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonSaveDefaultAddGatewayRoute] host route to %s pinned",
                   Ipv4Text(host).c_str());
            m_pinnedAdded.push_back(host);
        } else {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonSaveDefaultAddGatewayRoute] no way to %s outside the tunnel",
                   Ipv4Text(host).c_str());
        }
    }
    const DWORD net = htonl(m_results.virtualIp & m_results.mask), mask = htonl(m_results.mask);
    if (m_localSubnetMoved || m_results.mask == 0) return;
    for (const auto& r : rows) {
        if (r.dwForwardDest == net && r.dwForwardMask == mask && r.dwForwardIfIndex != virtualIf) {
            TW_LOG(LOG_CLIENT_LOGIN, 4,
                   "[LogonSaveDefaultAddGatewayRoute] Save and disable local subnet route %s",
                   Ipv4Text(net).c_str());
            m_deps.routeManager->SaveLocalSubnetRoute(net, mask);
            m_deps.routeManager->DeleteLocalSubnetRoute(net, mask);
            m_localSubnetMoved = true;
            return;
        }
    }
}

int TwAdapterSetup::LogonConfigAdapterRoute(bool /*relogon*/) {
    AdapterDriver& driver = *m_deps.driver;
    const DWORD vip = m_results.virtualIp, mask = m_results.mask;
    driver.ClearArpEntry();
    TW_ARP_PROXY proxy{};
    proxy.network = htonl(vip & mask);
    proxy.broadcast = htonl((vip & mask) | ~mask);
    proxy.mask = htonl(mask);
    std::memcpy(proxy.mac, kTunnelPeerMac, 6);
    driver.AddArpProxy(&proxy);
    Cmd("qel exec arp -d *\n");
    Cmd("qel exec ipconfig /flushdns\n");
    if (m_hooks.applyPolicy && !m_hooks.applyPolicy(2)) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonConfigAdapterRoute] Apply Policy Failed.");
        Ui(UI_CODE_MESSAGE, 218);
        LastError(29, "应用策略失败!");
        return 0;
    }
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonConfigAdapterRoute] Apply policy success.");
    RemoveStaleTunnelRoutes();
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_probeResource = 0;
        m_probeNextHop = 0;
        const auto& routes = m_results.routes;
        if (!m_results.hasRouteList) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonConfigAdapterRoute]没有执行添加路由m_pRouteTable == NULL");
        } else if (routes.empty()) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonConfigAdapterRoute]没有执行添加路由 %d", 0);
        } else if (std::any_of(routes.begin(), routes.end(), IsDefault)) {
            InstallFullTunnel();
        } else {
            InstallSplitTunnel();
        }
        Pause(m_deps.timing.resourceRouteSettleMs, true);
        m_existResRoute = true;
    }
    if (m_deps.osType < 9) {
        PrepareRouteEntry(static_cast<int>(m_virtualIfIndex.load()));
        char command[128];
        std::snprintf(command, sizeof(command),
                      "netsh interface ip set interface \"%d\" metric=1 forwarding=enabled store=active",
                      static_cast<int>(m_virtualIfIndex.load()));
        Cmd(command);
    }
    return 1;
}

void TwAdapterSetup::RemoveStaleTunnelRoutes() {
    const DWORD vif = m_virtualIfIndex, vip = m_results.virtualIp, mask = m_results.mask;
    const DWORD keep[] = {htonl(0xE0000000u), kHostMask, htonl(vip), htonl(vip & mask),
                          htonl((vip & mask) | ~mask)};
    std::vector<MIB_IPFORWARDROW> rows;
    if (vif == 0 || m_deps.routes->ReadForwardRows(&rows) != platform::kErrorSuccess) return;
    for (const auto& r : rows) {
        if (r.dwForwardIfIndex != vif ||
            std::find(std::begin(keep), std::end(keep), r.dwForwardDest) != std::end(keep))
            continue;
        Cmd(TwClientRouteManager::RouteCommand(
            "delroute", r.dwForwardDest, r.dwForwardMask, static_cast<int>(r.dwForwardIfIndex),
            r.dwForwardNextHop, static_cast<int>(r.dwForwardMetric1), static_cast<int>(r.dwForwardType)));
        TW_LOG(LOG_CLIENT_LOGIN, 4,
               "[LogonConfigAdapterRoute]登录下发资源前清理虚网卡残留路由dest%x, mask%x, IfIndex%d nextHop%x "
               "metric%d type%d",
               r.dwForwardDest, r.dwForwardMask, static_cast<int>(r.dwForwardIfIndex), r.dwForwardNextHop,
               static_cast<int>(r.dwForwardMetric1), static_cast<int>(r.dwForwardType));
    }
}

bool TwAdapterSetup::SkippedAtInstall(const ResourceRoute& r) const {
    const DWORD vip = m_results.virtualIp, mask = m_results.mask;
    if ((r.network & r.mask) == (vip & mask) && r.mask == mask) return true;
    if (r.mask != kHostMask) return false;
    return r.network == vip || IsPinnedHost(htonl(r.network));
}

void TwAdapterSetup::InstallFullTunnel() {
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonConfigAdapterRoute]发现0.0.0.0路由");
    const DWORD vif = m_virtualIfIndex, gateway = GatewayAddress();
    const bool gatewayHostRoute = m_gatewayRouteExisted || m_gatewayRouteAdded;
    const std::vector<DWORD> unpinned = UnpinnedHosts();
    m_deps.routeManager->SetVirtualIfIndex(vif);
    std::vector<MIB_IPFORWARDROW> moved;
    for (const auto& r : m_snapshot) {
        // The session's own routes are removed, not kept for later; and without a host route of
        // its own, the gateway keeps the (non-default) route it is reached through.
        if (r.dwForwardIfIndex == vif && vif != 0) continue;
        if (!gatewayHostRoute && r.dwForwardMask != 0 &&
            (gateway & r.dwForwardMask) == (r.dwForwardDest & r.dwForwardMask))
            continue;
        if (r.dwForwardMask != 0 && std::any_of(unpinned.begin(), unpinned.end(), [&](DWORD h) {
                return (h & r.dwForwardMask) == (r.dwForwardDest & r.dwForwardMask);
            }))
            continue;
        moved.push_back(r);
    }
    // They come back in this order: routes on the link first, so that a gateway route finds the
    // route to its next hop in place when it is added again.
    std::stable_partition(moved.begin(), moved.end(), [](const MIB_IPFORWARDROW& r) {
        return r.dwForwardType == platform::MIB_IPROUTE_TYPE_DIRECT;
    });
    m_deps.routeManager->SaveAndDeleteAllSubnetRoute(moved);
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonConfigAdapterRoute] 设备配了0.0.0.0，已保存并删除子网路由");
    int loop = 0;
    for (const auto& route : m_results.routes) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonConfigAdapterRoute]遍历下发策略 第%d次循环", loop);
        if (route.mask == kHostMask && IsPinnedHost(htonl(route.network))) {
            TW_LOG(LOG_CLIENT_LOGIN, 4,
                   "[LogonConfigAdapterRoute]vpn专线 资源路由==网关地址，不下发该条资源");
        } else {
            InstallResourceRoute(route, loop);
        }
        ++loop;
    }
}

bool TwAdapterSetup::ConflictsWithResource(const MIB_IPFORWARDROW& row, const ResourceRoute& route) const {
    const DWORD dest = ntohl(row.dwForwardDest), rowMask = ntohl(row.dwForwardMask);
    // Only a route inside the resource network competes with it; a wider one keeps carrying the rest
    // of its own network.
    return (dest & route.mask) == (route.network & route.mask) && (rowMask & route.mask) == route.mask;
}

void TwAdapterSetup::InstallSplitTunnel() {
    const DWORD vip = m_results.virtualIp, mask = m_results.mask;
    const DWORD vif = m_virtualIfIndex;
    int loop = 0;
    for (const auto& route : m_results.routes) {
        const int at = loop++;
        if ((route.network & route.mask) == (vip & mask) && route.mask == mask) {
            TW_LOG(LOG_CLIENT_LOGIN, 4,
                   "[LogonConfigAdapterRoute] Ignore route, conflict, ForwardDest %s, ForwardMask %s, "
                   "ForwardIf %s",
                   Ipv4TextHost(route.network).c_str(), Ipv4TextHost(route.mask).c_str(),
                   std::to_string(vif).c_str());
            continue;
        }
        if (route.mask == kHostMask && route.network == vip) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonConfigAdapterRoute] Ignore route, 资源==虚ip，不下发资源路由");
            continue;
        }
        if (route.mask == kHostMask && IsPinnedHost(htonl(route.network))) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonConfigAdapterRoute] 资源路由==网关地址，不下发该条资源");
            continue;
        }
        const bool localHost =
            route.mask == kHostMask &&
            std::any_of(m_snapshot.begin(), m_snapshot.end(), [&](const MIB_IPFORWARDROW& r) {
                return r.dwForwardDest == htonl(route.network) && r.dwForwardMask == kHostMask;
            });
        if (localHost) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonConfigAdapterRoute] 资源==本地32位路由%08X，不下发资源",
                   route.network);
            continue;
        }
        for (const auto& r : m_snapshot) {
            if (r.dwForwardMask == kHostMask || (r.dwForwardIfIndex == vif && vif != 0) ||
                !ConflictsWithResource(r, route))
                continue;
            const auto& saved = m_deps.routeManager->ConflictRoutes();
            if (std::any_of(saved.begin(), saved.end(),
                            [&](const MIB_IPFORWARDROW& s) { return SameRow(s, r); }))
                continue;
            m_deps.routeManager->SaveAndDeleteConflictRoute(r);
        }
        InstallResourceRoute(route, at);
    }
}

void TwAdapterSetup::TakeProbeAddresses(const ResourceRoute& route) {
    if (route.nextHop != 0) m_probeNextHop = route.nextHop;
    if (m_probeResource != 0) return;
    if (route.mask == kHostMask) {
        if (route.network != kProbeExcludedHost) m_probeResource = route.network;
    } else {
        m_probeResource = route.network | ~route.mask;
    }
}

void TwAdapterSetup::InstallResourceRoute(const ResourceRoute& route, int loop) {
    if (route.nextHop != 0) {
        TW_ARP_ENTRY entry{};
        entry.ip = htonl(route.nextHop);
        std::memcpy(entry.mac, kTunnelPeerMac, 6);
        m_deps.driver->AddArpEntry(&entry);
    }
    TakeProbeAddresses(route);
    // The kernel takes no destination with host bits set; the network is what the route means.
    RouteRequest request{kRouteKindAddHost,    htonl(route.network & route.mask), htonl(route.mask),
                         htonl(route.nextHop), htonl(m_results.virtualIp),        -1};
    TW_LOG(LOG_CLIENT_LOGIN, 4,
           "[LogonConfigAdapterRoute RouteAdd内容] dest%08X，mask%08X ,下一跳%08X，接口%ld，index%ld",
           request.destination, request.mask, request.nextHop, -1L, static_cast<long>(loop));
    if (m_deps.routeManager->AddEntry(&request, 0) == 1)
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonConfigAdapterRoute]添加资源路由失败");
}

bool TwAdapterSetup::PrepareRouteEntry(int ifIndex) {
    // Interfaces here carry no metric of their own: the route manager gives the virtual
    // interface's routes its metric as they are added, which has the effect this had.
    TW_LOG(LOG_CLIENT_LOGIN, 4,
           "[PrepareRouteEntry] GetIpInterfaceEntry(AdapterIndex = 0x%x) success, Metric %d",
           static_cast<unsigned>(ifIndex), static_cast<int>(m_deps.routeManager->PrepareRouteEntry(ifIndex)));
    return true;
}

}  // namespace engine
