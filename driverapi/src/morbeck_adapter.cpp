// CMorbeck: the adapters' IP configuration for the driver and the copy of the route table.
#include <arpa/inet.h>

#include <cstring>
#include <string>
#include <vector>

#include "dailylog/shared_daily_log.h"
#include "morbeck/morbeck.h"
#include "morbeck_internal.h"
#include "platform/adapter_list.h"
#include "platform/route_table.h"
#include "platform/text_util.h"
#include "route_sync_thread.h"
#include "tavish/route_manager.h"

namespace {

constexpr int kMaxEntries = 7;  // entries of each list filled in a TW_IPCONFIG

}  // namespace

int CMorbeck::SetAdapterIpConfig(const BYTE mac[6], TW_TCPIP_INTERFACE_LIST* list) {
    platform::DebugPrintf("CMorbeck::SetAdapterIpConfig");
    if (mac == nullptr) return 0;
    std::unique_ptr<TW_TCPIP_INTERFACE_LIST> own;
    if (list == nullptr) {
        own = std::make_unique<TW_TCPIP_INTERFACE_LIST>();
        if (GetTcpipBoundAdaptersInfo(own.get()) != 1) return 0;
        list = own.get();
    }
    DWORD adapterId = 0;
    const DWORD count = list->count < TW_MAX_BOUND_ADAPTERS ? list->count : TW_MAX_BOUND_ADAPTERS;
    for (DWORD i = 0; i < count && adapterId == 0; ++i) {
        if (std::memcmp(list->entries[i].data.currentAddress, mac, 6) == 0) {
            std::memcpy(&adapterId, &list->entries[i], 4);
        }
    }
    if (adapterId == 0) return 0;
    std::vector<platform::AdapterInfo> adapters;
    const DWORD rc = m_system.adapters->GetAdapters(&adapters);
    if (rc != platform::kErrorSuccess) {
        platform::DebugPrintf("SetAdapterIpConfig: GetAdaptersInfo() fails, Status=%d", static_cast<int>(rc));
        return 0;
    }
    const platform::AdapterInfo* found = nullptr;
    for (const auto& a : adapters) {
        if (a.macLength == 6 && std::memcmp(a.mac.data(), mac, 6) == 0) found = &a;
        if (found != nullptr) break;
    }
    if (found == nullptr) {
        platform::DebugPrintf("SetAdapterIpConfig: Adapter not found in GetAdaptersInfo()");
        platform::DebugPrintf(" - MAC Address: %2.2X-%2.2X-%2.2X-%2.2X-%2.2X-%2.2X", mac[0], mac[1], mac[2],
                              mac[3], mac[4], mac[5]);
        return 0;
    }
    TW_IPCONFIG_REQUEST req{};
    req.adapterId = adapterId;
    TW_IPCONFIG& c = req.config;
    DWORD n = 0;
    for (const auto& a : found->addresses) {
        if (n == kMaxEntries) break;
        c.m_IP[n].IpAddress = a.address;
        c.m_IP[n].Netmask = a.mask;
        c.m_IP[n].Broadcast = (a.address & a.mask) | ~a.mask;
        ++n;
    }
    c.m_nIP = n;
    n = 0;
    for (DWORD g : found->gateways) {
        if (n == kMaxEntries) break;
        c.RouterAddr[n++] = g;
    }
    c.m_nGW = n;
    n = 0;
    std::vector<DWORD> servers;
    m_system.resolver->GetNameServers(&servers);
    for (DWORD d : servers) {
        if (n == kMaxEntries) break;
        c.DnsServer[n++] = d;
    }
    c.m_nDNS = n;
    return SetIPConfig(&req);
}

int CMorbeck::SetAdaptersIpConfig() {
    auto list = std::make_unique<TW_TCPIP_INTERFACE_LIST>();
    if (GetTcpipBoundAdaptersInfo(list.get()) != 1) return 0;
    const DWORD count = list->count < TW_MAX_BOUND_ADAPTERS ? list->count : TW_MAX_BOUND_ADAPTERS;
    for (DWORD i = 0; i < count; ++i) SetAdapterIpConfig(list->entries[i].data.currentAddress, list.get());
    return 1;
}

const char* CMorbeck::RouteTypeName(DWORD type) {
    switch (type) {
        case 1: return "MIB_IPROUTE_TYPE_OTHER";
        case 2: return "MIB_IPROUTE_TYPE_INVALID";
        case 3: return "MIB_IPROUTE_TYPE_DIRECT";
        case 4: return "MIB_IPROUTE_TYPE_INDIRECT";
        default: return "Unknown";
    }
}

const char* CMorbeck::RouteProtoName(DWORD proto) {
    static const char* const kNames[] = {"MIB_IPPROTO_OTHER", "MIB_IPPROTO_LOCAL", "MIB_IPPROTO_NETMGMT",
                                         "MIB_IPPROTO_ICMP",  "MIB_IPPROTO_EGP",   "MIB_IPPROTO_GGP",
                                         "MIB_IPPROTO_HELLO", "MIB_IPPROTO_RIP",   "MIB_IPPROTO_IS_IS",
                                         "MIB_IPPROTO_ES_IS", "MIB_IPPROTO_CISCO", "MIB_IPPROTO_BBN",
                                         "MIB_IPPROTO_OSPF",  "MIB_IPPROTO_BGP"};
    if (proto >= 1 && proto <= 14) return kNames[proto - 1];
    if (proto == 10002) return "MIB_IPPROTO_NT_AUTOSTATIC";
    if (proto == 10006) return "MIB_IPPROTO_NT_STATIC";
    if (proto == 10007) return "MIB_IPPROTO_NT_STATIC_NON_DOD";
    return "Unknown";
}

int CMorbeck::SyncSystemRoute() {
    TwRouteManager routes(*m_system.routes, *m_system.adapters);
    MIB_IPFORWARDTABLE* table = routes.GetSystemRouteTable();
    if (table == nullptr) return 0;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_IPFORWARDROW& r = table->table[i];
        TW_LOG(LOG_CLIENT_DATA, 4, "dest %s mask %s nexthop %s type %s proto %s age %u metric %u",
               platform::Ipv4Text(r.dwForwardDest).c_str(), platform::Ipv4Text(r.dwForwardMask).c_str(),
               platform::Ipv4Text(r.dwForwardNextHop).c_str(), RouteTypeName(r.dwForwardType),
               RouteProtoName(r.dwForwardProto), r.dwForwardAge, r.dwForwardMetric1);
        if (r.dwForwardDest == 0xFFFFFFFFu) {
            TW_LOG(LOG_CLIENT_DATA, 4, "-> BROADCAST route, SKIP");
        } else if (r.dwForwardDest == ::htonl(0xE0000000u)) {
            TW_LOG(LOG_CLIENT_DATA, 4, "-> MULTICAST route, SKIP");
        } else if (r.dwForwardNextHop == ::htonl(0x7F000001u)) {
            TW_LOG(LOG_CLIENT_DATA, 4, "-> LOOPBACK route, SKIP");
        } else {
            TW_LOG(LOG_CLIENT_DATA, 4, "-> Add System RouteEntry to driver");
            const TW_DRIVER_ROUTE_ENTRY entry{
                r.dwForwardDest, r.dwForwardMask, r.dwForwardNextHop, 0, 0, r.dwForwardMetric1, 0};
            AddRouteEntry(&entry);
        }
    }
    routes.FreeRouteTable(table);
    return 1;
}

int CMorbeck::AddSystemRoute() {
    TwRouteManager routes(*m_system.routes, *m_system.adapters);
    MIB_IPFORWARDTABLE* table = routes.GetSystemRouteTable();
    if (table == nullptr) return 0;
    routes.FreeRouteTable(table);
    ClearRouteEntry();
    SetAdaptersIpConfig();
    return SyncSystemRoute();
}

int CMorbeck::StartRouteSyncThread() {
    std::lock_guard<std::mutex> g(m_RouteSyncLock);
    if (m_pRouteSync) return 1;
    auto thread = std::make_unique<RouteSyncThread>(this, m_timing, m_clock);
    if (thread->Create(0) != TW_SUCCEED) return 0;
    thread->Resume();
    m_pRouteSync = std::move(thread);
    return 1;
}

int CMorbeck::StopRouteSyncThread() {
    std::unique_ptr<RouteSyncThread> thread;
    {
        std::lock_guard<std::mutex> g(m_RouteSyncLock);
        thread = std::move(m_pRouteSync);
    }
    if (thread) thread->Stop();
    return 1;
}
