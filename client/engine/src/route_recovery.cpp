// The saved route table and the undoing of the tunnel's routes at logoff.
#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "adapter_text.h"
#include "dailylog/shared_daily_log.h"
#include "engine/adapter_setup.h"
#include "platform/debug_printf.h"
#include "service/route_table_file.h"

namespace engine {

int TwAdapterSetup::SaveSystemRouteToFile(bool relogon) {
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[SaveSystemRouteToFile] Save Route Table");
    const int index = GetVirtualAdapterIndex();
    std::vector<MIB_IPFORWARDROW> rows;
    const DWORD rc = m_deps.routes->ReadForwardRows(&rows);
    if (rc != platform::kErrorSuccess) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[SaveSystemRouteToFile] GetIpForwardTable fail, 0x%x",
               static_cast<unsigned>(rc));
        return 0;
    }
    std::vector<MIB_IPFORWARDROW> kept;
    if (relogon && !m_sessionBaseline.empty()) {
        // The machine's table is the one from before the session: what the table shows now holds
        // the session's own host routes (the gateway's, the proxy's), which are no part of it.
        kept = m_sessionBaseline;
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[SaveSystemRouteToFile] relogon: the table from before the session");
    } else if (relogon) {
        // The tunnel's rows of the session before are no part of the machine's own table.
        const DWORD vif = m_virtualIfIndex != 0 ? m_virtualIfIndex.load() : static_cast<DWORD>(index);
        for (const auto& r : rows) {
            if (r.dwForwardIfIndex == vif) continue;
            if (r.dwForwardMask == kHostMask &&
                ((m_gatewayRouteAdded && r.dwForwardDest == GatewayAddress()) ||
                 std::find(m_pinnedAdded.begin(), m_pinnedAdded.end(), r.dwForwardDest) !=
                     m_pinnedAdded.end()))
                continue;
            kept.push_back(r);
        }
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[SaveSystemRouteToFile] pRouteTable->dwNumEntries = %d, nIfIndex = %d",
               static_cast<int>(rows.size()), static_cast<int>(kept.size()));
        const bool hasDefault = std::any_of(rows.begin(), rows.end(), [](const MIB_IPFORWARDROW& r) {
            return r.dwForwardDest == 0 && r.dwForwardMask == 0;
        });
        if (!hasDefault) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[SaveSystemRouteToFile] bExistDefaultRoute %s", "FALSE");
            return 0;
        }
        if (kept.size() != rows.size())
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[SaveSystemRouteToFile] relogon && bExistVadapterRoute");
    } else {
        kept = std::move(rows);
    }
    if (!relogon) m_sessionBaseline = kept;
    if (m_routeFile.empty() || !service::WriteRouteTableFile(m_routeFile, kept)) {
        const std::string why =
            m_routeFile.empty() ? m_routeFileError : m_routeFile + ": " + std::strerror(errno);
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[SaveSystemRouteToFile] WriteFile failed, 0x%x (%s)",
               static_cast<unsigned>(errno), why.c_str());
        // The session goes on, but a crash would leave its routes: the user should know.
        m_deps.ui->TrayBalloon("SSL-VPN",
                               "The route table could not be saved (" + why +
                                   "); if the client ends abnormally, the routes are not restored.");
        return 0;
    }
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[SaveSystemRouteToFile] Save Route Table success.");
    return 1;
}

void TwAdapterSetup::PrintSystemRouteTable() {
    std::vector<MIB_IPFORWARDROW> rows;
    if (m_deps.routes->ReadForwardRows(&rows) != platform::kErrorSuccess) return;
    int i = 0;
    for (const auto& r : rows) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[PrintSystemRouteTable][%d]:dst:%s mask:%s nexthop:%s IfIndex:%d", i++,
               Ipv4Text(r.dwForwardDest).c_str(), Ipv4Text(r.dwForwardMask).c_str(),
               Ipv4Text(r.dwForwardNextHop).c_str(), static_cast<int>(r.dwForwardIfIndex));
    }
}

void TwAdapterSetup::RemoveSessionRoutes(bool* wholeTraffic) {
    *wholeTraffic = false;
    if (m_previousRoutes.empty()) return;
    TW_LOG(LOG_CLIENT_LOGIN, 4,
           "[LogoffRecoverAdapterRoute] remove qel route m_pPreRouteTable->RouteCount %d",
           static_cast<int>(m_previousRoutes.size()));
    platform::DebugPrintf("StopCapture: remove qel route\n");
    m_deps.routeManager->SetDefaultMetric(0);
    // The table shows each of the session's routes with the next hop the kernel gives it (for a
    // route on the link, an address of the adapter inside it): that row is the one to delete.
    std::vector<MIB_IPFORWARDROW> now;
    const bool tableRead = m_deps.routes->ReadForwardRows(&now) == platform::kErrorSuccess;
    const DWORD vif = m_virtualIfIndex;
    for (const auto& route : m_previousRoutes) {
        // What the logon left out (the virtual subnet, the address itself, the gateway) was never
        // the session's: taking it away would take the adapter's own route or the gateway's.
        if (SkippedAtInstall(route)) continue;
        const DWORD dest = htonl(route.network & route.mask), mask = htonl(route.mask);
        bool deleted = false;
        for (const auto& r : now) {
            if (!tableRead || vif == 0 || r.dwForwardIfIndex != vif || r.dwForwardDest != dest ||
                r.dwForwardMask != mask)
                continue;
            Cmd(TwClientRouteManager::RouteCommand("delroute", dest, mask, static_cast<int>(vif),
                                                   r.dwForwardNextHop, static_cast<int>(r.dwForwardMetric1),
                                                   static_cast<int>(r.dwForwardType)));
            deleted = true;
        }
        RouteRequest request{kRouteKindDeleteHost,       dest, mask, htonl(route.nextHop),
                             htonl(m_previousVirtualIp), -1};
        if (!deleted && m_deps.routeManager->DeleteEntry(&request, 0) == 1)
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogoffRecoverAdapterRoute] 删资源路由失败");
        if (route.nextHop != 0) {
            TW_ARP_ENTRY entry{};
            entry.ip = htonl(route.nextHop);
            std::memcpy(entry.mac, kTunnelPeerMac, 6);
            m_deps.driver->DelArpEntry(&entry);
        }
        if (route.network == 0 && route.mask == 0) *wholeTraffic = true;
    }
    if (*wholeTraffic) TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonConfigAdapterRoute]发现0.0.0.0路由");
}

std::vector<MIB_IPFORWARDROW> TwAdapterSetup::MissingRows(const std::vector<MIB_IPFORWARDROW>& expected) {
    std::vector<MIB_IPFORWARDROW> now, missing;
    if (expected.empty()) return missing;
    if (m_deps.routes->ReadForwardRows(&now) != platform::kErrorSuccess) {
        TW_LOG(LOG_CLIENT_LOGIN, 4,
               "[LogoffRecoverAdapterRoute] the route table cannot be read to check the restore");
        return expected;
    }
    for (const auto& e : expected) {
        const bool back = std::any_of(now.begin(), now.end(), [&](const MIB_IPFORWARDROW& r) {
            return r.dwForwardDest == e.dwForwardDest && r.dwForwardMask == e.dwForwardMask &&
                   r.dwForwardIfIndex == e.dwForwardIfIndex && r.dwForwardNextHop == e.dwForwardNextHop;
        });
        const bool listed = std::any_of(missing.begin(), missing.end(), [&](const MIB_IPFORWARDROW& m) {
            return m.dwForwardDest == e.dwForwardDest && m.dwForwardMask == e.dwForwardMask &&
                   m.dwForwardIfIndex == e.dwForwardIfIndex && m.dwForwardNextHop == e.dwForwardNextHop;
        });
        if (!back && !listed) missing.push_back(e);
    }
    return missing;
}

void TwAdapterSetup::RestoreMovedRoutes(bool wholeTraffic) {
    TwClientRouteManager& manager = *m_deps.routeManager;
    std::vector<MIB_IPFORWARDROW> expected = manager.ConflictRoutes();
    const auto& local = manager.LocalSubnetRoutes();
    expected.insert(expected.end(), local.begin(), local.end());
    if (wholeTraffic) {
        const auto& all = manager.AllSubnetRoutes();
        expected.insert(expected.end(), all.begin(), all.end());
        manager.RestoreAllSubnetRoute();
    }
    manager.RestoreConflictRoute();
    // Also after a full tunnel: the virtual subnet's route moved aside at logon comes back.
    manager.RestoreLocalSubnetRoute();
    // Each restore is checked against the table; what is missing is sent once more (a route whose
    // next hop was not reachable yet may go in now) and, if still missing, logged and counted.
    std::vector<MIB_IPFORWARDROW> missing = MissingRows(expected);
    for (const auto& r : missing) {
        Cmd(TwClientRouteManager::RouteCommand("addroute", r.dwForwardDest, r.dwForwardMask,
                                               static_cast<int>(r.dwForwardIfIndex), r.dwForwardNextHop,
                                               static_cast<int>(r.dwForwardMetric1), 3));
    }
    if (!missing.empty()) missing = MissingRows(missing);
    for (const auto& e : missing) {
        TW_LOG(LOG_CLIENT_LOGIN, 4,
               "[LogoffRecoverAdapterRoute] not restored: dest %s mask %s nexthop %s IfIndex %d",
               Ipv4Text(e.dwForwardDest).c_str(), Ipv4Text(e.dwForwardMask).c_str(),
               Ipv4Text(e.dwForwardNextHop).c_str(), static_cast<int>(e.dwForwardIfIndex));
    }
    m_restoreMissing = missing.size();
}

void TwAdapterSetup::RemoveRouteFile() {
    if (::unlink(m_routeFile.c_str()) != 0 && errno != ENOENT)
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogoffRecoverAdapterRoute] %s cannot be deleted: %s",
               m_routeFile.c_str(), std::strerror(errno));
}

bool TwAdapterSetup::LogoffRecoverAdapterRoute(bool keepForRelogon) {
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogoffRecoverAdapterRoute] enter");
    std::unique_lock<std::mutex> g(m_lock, std::defer_lock);
    if (!m_existResRoute) {
        g.lock();
        // Nothing of a session is in the table, unless a logon stopped half-way after the
        // gateway's host route went in or the virtual subnet's route went aside.
        if (!m_gatewayRouteAdded && m_pinnedAdded.empty() && !m_localSubnetMoved) {
            // A table saved for a logon that never got this far must not be put back later.
            RemoveRouteFile();
            if (!keepForRelogon) m_sessionBaseline.clear();
            return true;
        }
    } else {
        g.lock();
    }
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogoffRecoverAdapterRoute] EnterCriticalSection(&m_lock)");
    bool wholeTraffic = false;
    if (m_existResRoute) RemoveSessionRoutes(&wholeTraffic);
    if (keepForRelogon) {
        m_previousVirtualIp = m_results.virtualIp;
        m_previousRoutes = m_results.routes;
    } else {
        m_previousRoutes.clear();
        m_results.routes.clear();
        m_sessionBaseline.clear();
        platform::DebugPrintf("StopCapture: remove gateway token\n");
        if (m_hooks.forgetSession) m_hooks.forgetSession();
    }
    if (m_gatewayRouteAdded) {
        m_deps.routeManager->DeleteHostRoute(Ipv4Text(GatewayAddress()), 0);
        m_gatewayRouteAdded = false;
    }
    for (DWORD host : m_pinnedAdded) m_deps.routeManager->DeleteHostRoute(Ipv4Text(host), 0);
    m_pinnedAdded.clear();
    m_pinnedExisted.clear();
    RestoreMovedRoutes(wholeTraffic);
    m_localSubnetMoved = false;
    RemoveRouteFile();
    m_existResRoute = false;
    return true;
}

}  // namespace engine
