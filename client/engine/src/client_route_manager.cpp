// The engine's route manager over the service's route commands.
#include "platform/text_util.h"
#include "engine/client_route_manager.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cstdio>

#include "dailylog/shared_daily_log.h"
#include "engine/netsh_client.h"

namespace engine {
namespace {

constexpr std::size_t kMaxCandidates = 16;

DWORD ResolveHost(const std::string& host) {
    in_addr a{};
    if (inet_pton(AF_INET, host.c_str(), &a) == 1) return a.s_addr;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (host.empty() || getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return 0;
    const DWORD address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(found);
    return address;
}

bool Contains(DWORD net, DWORD mask, DWORD address) { return (net & mask) == (address & mask); }

}  // namespace

TwClientRouteManager::TwClientRouteManager(platform::RouteTable& routes, platform::AdapterList& adapters,
                                           CommandSender send, HostResolver resolve)
    : m_routes(routes), m_adapters(adapters), m_send(std::move(send)), m_resolve(std::move(resolve)) {
    if (!m_resolve) m_resolve = ResolveHost;
}

std::string TwClientRouteManager::RouteCommand(const char* verb, DWORD destination, DWORD mask, int ifIndex,
                                               DWORD nextHop, int metric, int type) {
    char text[160];
    std::snprintf(text, sizeof(text), "%s %u %u %d %u %d %d\n", verb, destination, mask, ifIndex, nextHop,
                  metric, type);
    return text;
}

int TwClientRouteManager::SendEntry(const char* verb, const char* tag, const RouteRequest* request,
                                    DWORD metric) {
    if (request == nullptr) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[%s] pRouteAdd == NULL,直接返回1", tag);
        return 1;
    }
    int ifIndex = request->ifIndex;
    if (ifIndex == -1) {
        std::vector<platform::AdapterInfo> adapters;
        if (m_adapters.GetAdapters(&adapters) != platform::kErrorSuccess) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[%s] GetSystemAdapterInfo fail,直接返回1", tag);
            return 1;
        }
        for (const auto& a : adapters) {
            for (const auto& addr : a.addresses) {
                if (ifIndex != -1 || addr.address == 0) continue;
                const bool match = request->localAddress == 0
                                       ? Contains(addr.address, addr.mask, request->nextHop)
                                       : addr.address == request->localAddress;
                if (match) ifIndex = static_cast<int>(a.index);
            }
        }
        if (ifIndex == -1) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[%s] !bFoundAdapter,直接返回1", tag);
            return 1;
        }
    }
    if (metric == 0) {
        const DWORD own = PrepareRouteEntry(ifIndex);
        metric = own != 0 ? own : m_defaultMetric;
    }
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[%s-cmd] dest:%s, mask:%s, IfIndex:%d nextHop:%s metric:%d type:%d", tag,
           platform::Ipv4Text(request->destination).c_str(), platform::Ipv4Text(request->mask).c_str(),
           ifIndex, platform::Ipv4Text(request->nextHop).c_str(), static_cast<int>(metric), 3);
    // A route the service or the kernel refused is a failure, whatever the pipe did.
    const int reply = m_send(RouteCommand(verb, request->destination, request->mask, ifIndex,
                                          request->nextHop, static_cast<int>(metric), 3));
    if (reply != kNetshDone) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[%s] %s refused (%d)", tag, verb, reply);
        return 1;
    }
    return 0;
}

DWORD TwClientRouteManager::PrepareRouteEntry(int ifIndex) const {
    const DWORD virtualIf = m_virtualIfIndex;
    if (virtualIf == 0 || ifIndex != static_cast<int>(virtualIf)) return 0;
    TW_LOG(LOG_CLIENT_LOGIN, 5,
           "[PrepareRouteEntry] GetIpInterfaceEntry(AdapterIndex = 0x%x) success, Metric %d",
           static_cast<unsigned>(ifIndex), static_cast<int>(kVirtualInterfaceMetric));
    return kVirtualInterfaceMetric;
}

int TwClientRouteManager::AddEntry(const RouteRequest* request, DWORD metric) {
    return SendEntry("addroute", "TwRouteManager::AddEntry-AddRoute", request, metric);
}

int TwClientRouteManager::DeleteEntry(const RouteRequest* request, DWORD metric) {
    return SendEntry("delroute", "DeleteEntry-DelRoute", request, metric);
}

DWORD TwClientRouteManager::GetRouteNextHop(DWORD destination, std::vector<NextHopCandidate>* candidates) {
    candidates->clear();
    std::vector<MIB_IPFORWARDROW> rows;
    if (m_routes.ReadForwardRows(&rows) != platform::kErrorSuccess) return 0;
    // The longest prefix wins, as the kernel's own choice does; its routes in table order.
    int best = -1;
    for (const auto& r : rows) {
        if (!Contains(r.dwForwardDest, r.dwForwardMask, destination) ||
            r.dwForwardIfIndex == m_virtualIfIndex)
            continue;
        const int length = platform::MaskPrefixLength(r.dwForwardMask);
        if (length < best) continue;
        if (length > best) candidates->clear();
        best = length;
        if (candidates->size() < kMaxCandidates) {
            candidates->push_back(
                {r.dwForwardMask, r.dwForwardNextHop, r.dwForwardIfIndex, r.dwForwardMetric1});
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[GetRouteNextHop]初筛下一跳=%08X,虚网卡index=%d", r.dwForwardNextHop,
                   static_cast<int>(m_virtualIfIndex));
        }
    }
    return candidates->empty() ? 0 : candidates->back().nextHop;
}

int TwClientRouteManager::HostRoute(const std::string& host, bool add) {
    const DWORD destination = m_resolve(host);
    if (destination == 0 || destination == INADDR_NONE) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[%s]RouteDelete.dwForwardDest == INADDR_NONE",
               add ? "AddHostRoute" : "DeleteHostRoute");
        return 1;
    }
    std::vector<NextHopCandidate> candidates;
    GetRouteNextHop(destination, &candidates);
    int result = 1;
    for (const auto& c : candidates) {
        if (c.nextHop == 0) continue;
        if (add && c.ifIndex == m_virtualIfIndex) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[AddHostRoute]不把设备路由下发到虚网卡上");
            continue;
        }
        RouteRequest request{add ? kRouteKindAddHost : kRouteKindDeleteHost,
                             destination,
                             0xFFFFFFFFu,
                             c.nextHop,
                             0,
                             static_cast<int>(c.ifIndex)};
        result = add ? AddEntry(&request, c.metric) : DeleteEntry(&request, c.metric);
    }
    return result;
}

int TwClientRouteManager::AddHostRoute(const std::string& host, DWORD /*nextHop*/) {
    return HostRoute(host, true);
}

int TwClientRouteManager::DeleteHostRoute(const std::string& host, DWORD /*nextHop*/) {
    return HostRoute(host, false);
}

bool TwClientRouteManager::IsLocalSubnet(DWORD address) {
    std::vector<platform::AdapterInfo> adapters;
    if (m_adapters.GetAdapters(&adapters) != platform::kErrorSuccess) return false;
    for (const auto& a : adapters) {
        for (const auto& x : a.addresses) {
            if (x.address != 0 && x.mask != 0 && Contains(x.address, x.mask, address)) return true;
        }
    }
    return false;
}

void TwClientRouteManager::SendRow(const char* verb, const char* tag, const MIB_IPFORWARDROW& r, int type) {
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[%s-cmd] dest:%s, mask:%s, IfIndex:%d nextHop:%s metric:%d type:%d", tag,
           platform::Ipv4Text(r.dwForwardDest).c_str(), platform::Ipv4Text(r.dwForwardMask).c_str(),
           static_cast<int>(r.dwForwardIfIndex), platform::Ipv4Text(r.dwForwardNextHop).c_str(),
           static_cast<int>(r.dwForwardMetric1), type);
    m_send(RouteCommand(verb, r.dwForwardDest, r.dwForwardMask, static_cast<int>(r.dwForwardIfIndex),
                        r.dwForwardNextHop, static_cast<int>(r.dwForwardMetric1), type));
}

void TwClientRouteManager::SaveDefaultRoute() {
    std::vector<MIB_IPFORWARDROW> rows;
    if (m_routes.ReadForwardRows(&rows) != platform::kErrorSuccess) return;
    for (const auto& r : rows) {
        if (r.dwForwardDest == 0 && r.dwForwardMask == 0) m_defaultRoutes.push_back(r);
    }
}

bool TwClientRouteManager::LocalSubnetRow(const MIB_IPFORWARDROW& r, DWORD net, DWORD mask) const {
    const DWORD broadcast = (net & mask) | ~mask;
    return (r.dwForwardDest == net && r.dwForwardMask == mask) ||
           (r.dwForwardDest == broadcast && r.dwForwardMask == 0xFFFFFFFFu);
}

void TwClientRouteManager::SaveLocalSubnetRoute(DWORD net, DWORD mask) {
    std::vector<MIB_IPFORWARDROW> rows;
    if (m_routes.ReadForwardRows(&rows) != platform::kErrorSuccess) return;
    for (const auto& r : rows) {
        if (LocalSubnetRow(r, net, mask)) m_localSubnetRoutes.push_back(r);
    }
}

void TwClientRouteManager::DeleteLocalSubnetRoute(DWORD net, DWORD mask) {
    std::vector<MIB_IPFORWARDROW> rows;
    if (m_routes.ReadForwardRows(&rows) != platform::kErrorSuccess) return;
    for (const auto& r : rows) {
        if (LocalSubnetRow(r, net, mask)) {
            SendRow("delroute", "DeleteLocalSubnetRoute", r, static_cast<int>(r.dwForwardType));
        }
    }
}

void TwClientRouteManager::RestoreLocalSubnetRoute() {
    for (const auto& r : m_localSubnetRoutes) SendRow("addroute", "RestoreLocalSubnetRoute", r, 3);
    m_localSubnetRoutes.clear();
}

void TwClientRouteManager::SaveAndDeleteAllSubnetRoute(const std::vector<MIB_IPFORWARDROW>& table) {
    const DWORD multicast = inet_addr("224.0.0.0"), loopbackNet = inet_addr("127.0.0.0"),
                loopback = inet_addr("127.0.0.1");
    for (const auto& r : table) {
        if (r.dwForwardMask == 0xFFFFFFFFu || r.dwForwardDest == multicast ||
            r.dwForwardDest == loopbackNet || r.dwForwardDest == loopback) {
            continue;
        }
        m_allSubnetRoutes.push_back(r);
        SendRow("delroute", "SaveAndDeleteAllSubnetRoute", r, static_cast<int>(r.dwForwardType));
    }
}

void TwClientRouteManager::RestoreAllSubnetRoute() {
    for (const auto& r : m_allSubnetRoutes) SendRow("addroute", "RestoreAllSubnetRoute", r, 3);
    m_allSubnetRoutes.clear();
}

void TwClientRouteManager::SaveAndDeleteConflictRoute(const MIB_IPFORWARDROW& row) {
    m_conflictRoutes.push_back(row);
    SendRow("delroute", "SaveAndDeleteConflictRoute", row, static_cast<int>(row.dwForwardType));
}

void TwClientRouteManager::RestoreConflictRoute() {
    for (const auto& r : m_conflictRoutes) SendRow("addroute", "RestoreConflictRoute", r, 3);
    m_conflictRoutes.clear();
}

}  // namespace engine
