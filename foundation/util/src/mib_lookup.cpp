// Look-ups in the neighbour, address and route tables through the platform layer.
#include "util/mib_lookup.h"

#include <cstring>
#include <vector>

#include "platform/adapter_list.h"
#include "platform/route_table.h"

int snmp_GetMacAddrByIp(DWORD ip, unsigned char* mac) {
    if (mac == nullptr) return 0;
    std::array<BYTE, 6> found{};
    if (platform::LookupNeighbour(ip, &found) == platform::kErrorSuccess) {
        std::memcpy(mac, found.data(), 6);
        return 1;
    }
    std::vector<platform::AdapterInfo> adapters;
    if (platform::GetAdapters(&adapters) != platform::kErrorSuccess) return 0;
    for (const auto& adapter : adapters) {
        for (const auto& a : adapter.addresses) {
            if (a.address != ip || adapter.macLength != 6) continue;
            std::memcpy(mac, adapter.mac.data(), 6);
            return 1;
        }
    }
    return 0;
}

int snmp_GetRouteNextHopIp(DWORD destination, DWORD* nextHop) {
    std::vector<MIB_IPFORWARDROW> rows;
    if (nextHop == nullptr || platform::ReadForwardRows(&rows) != platform::kErrorSuccess) return 0;
    int found = 0;
    for (const auto& r : rows) {
        if (r.dwForwardDest != destination) continue;
        *nextHop = r.dwForwardNextHop;
        found = 1;
    }
    return found;
}

int snmp_GetAdapterIndexByIpAddr(DWORD ip, DWORD* ifIndex) {
    std::vector<platform::AdapterInfo> adapters;
    if (ifIndex == nullptr || platform::GetAdapters(&adapters) != platform::kErrorSuccess) return 0;
    for (const auto& adapter : adapters) {
        for (const auto& a : adapter.addresses) {
            if (a.address == ip) {
                *ifIndex = adapter.index;
                return 1;
            }
        }
    }
    return 0;
}
