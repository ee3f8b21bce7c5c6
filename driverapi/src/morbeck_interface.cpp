// CMorbeck: static configuration of an interface and the name servers of the resolver. The
// interface is found by its address or MAC first, as callers expect; its name is what the
// resolver registers the servers for.
#include <cstring>
#include <string>
#include <vector>

#include "morbeck/morbeck.h"
#include "morbeck_internal.h"

namespace {

// The adapter that has `address`, or null.
const platform::AdapterInfo* AdapterWithAddress(const std::vector<platform::AdapterInfo>& adapters,
                                                DWORD address) {
    for (const auto& a : adapters) {
        for (const auto& x : a.addresses) {
            if (x.address == address) return &a;
        }
    }
    return nullptr;
}

// The default routes through `ifIndex` go; with a gateway, one through it with metric 1 comes.
bool SetDefaultGateway(platform::RouteTable& routes, DWORD ifIndex, DWORD gateway) {
    std::vector<MIB_IPFORWARDROW> rows;
    if (routes.ReadForwardRows(&rows) != platform::kErrorSuccess) return false;
    for (const auto& r : rows) {
        if (r.dwForwardDest == 0 && r.dwForwardMask == 0 && r.dwForwardIfIndex == ifIndex) {
            routes.DeleteIpForwardEntry(&r);
        }
    }
    if (gateway == 0) return true;
    MIB_IPFORWARDROW row{};
    row.dwForwardNextHop = gateway;
    row.dwForwardIfIndex = ifIndex;
    row.dwForwardType = platform::MIB_IPROUTE_TYPE_INDIRECT;
    row.dwForwardProto = platform::MIB_IPPROTO_NETMGMT;
    row.dwForwardMetric1 = 1;
    const DWORD rc = routes.CreateIpForwardEntry(&row);
    return rc == platform::kErrorSuccess || rc == platform::kErrorObjectAlreadyExists;
}

}  // namespace

int CMorbeck::EditInterfaceDns(DWORD address, DWORD dns, bool add) {
    char addrText[16], dnsText[16];
    CMorbeck::inet_ntoa(address, addrText, sizeof(addrText));
    CMorbeck::inet_ntoa(dns, dnsText, sizeof(dnsText));
    std::vector<platform::AdapterInfo> adapters;
    const platform::AdapterInfo* adapter = nullptr;
    if (m_system.adapters->GetAdapters(&adapters) == platform::kErrorSuccess) {
        adapter = AdapterWithAddress(adapters, address);
    }
    if (adapter == nullptr) {
        platform::DebugPrintf("Can not determine network interface for IPAddress %s", addrText);
        platform::DebugPrintf("GetNetCfgInstanceIdByIPAddr fail");
        return 0;
    }
    if (add) platform::DebugPrintf(" -> Add Dns %s", dnsText);
    const DWORD rc = add ? m_system.resolver->AddNameServer(adapter->name, dns)
                         : m_system.resolver->RemoveNameServer(adapter->name, dns);
    if (rc != platform::kErrorSuccess) {
        platform::DebugPrintf("RegSetValueEx(NameServer) fail");
        return 0;
    }
    return 1;
}

int CMorbeck::DelInterfaceDns(DWORD address, DWORD dns) { return EditInterfaceDns(address, dns, false); }
int CMorbeck::AddInterfaceDns(DWORD address, DWORD dns) { return EditInterfaceDns(address, dns, true); }

int CMorbeck::ConfigureInterfaceInfo(const BYTE mac[6], DWORD address, DWORD mask, DWORD gateway, DWORD dns1,
                                     DWORD dns2, const char*) {
    // Checked before anything changes, so a bad request leaves the interface as it was.
    if (mac == nullptr || address == 0 ||
        platform::PrefixLengthMask(platform::MaskPrefixLength(mask)) != mask) {
        return 0;
    }
    std::vector<platform::AdapterInfo> adapters;
    if (m_system.adapters->GetAdapters(&adapters) != platform::kErrorSuccess) return 0;
    const platform::AdapterInfo* adapter = nullptr;
    for (const auto& a : adapters) {
        if (adapter == nullptr && a.macLength == 6 && std::memcmp(a.mac.data(), mac, 6) == 0) adapter = &a;
    }
    if (adapter == nullptr) {
        platform::DebugPrintf(
            "ConfigureInterfaceInfo: no adapter with MAC %2.2X-%2.2X-%2.2X-%2.2X-%2.2X-%2.2X", mac[0], mac[1],
            mac[2], mac[3], mac[4], mac[5]);
        return 0;
    }
    const DWORD ifIndex = adapter->index;
    // The steps of the interface script: addresses, gateway, then the name servers (1, then 2).
    if (m_system.addresses->DeleteIpv4Addresses(ifIndex) != platform::kErrorSuccess ||
        m_system.addresses->AddIpv4Address(ifIndex, address, mask) != platform::kErrorSuccess) {
        platform::DebugPrintf("RegSetValueEx(IPAddress) fail");
        return 0;
    }
    if (!SetDefaultGateway(*m_system.routes, ifIndex, gateway)) {
        platform::DebugPrintf("RegSetValueEx(DefaultGateway) fail");
        return 0;
    }
    std::vector<DWORD> servers;
    if (dns1 != 0) servers.push_back(dns1);
    if (dns2 != 0) servers.push_back(dns2);
    if (m_system.resolver->SetNameServers(adapter->name, servers) != platform::kErrorSuccess) {
        platform::DebugPrintf("RegSetValueEx(NameServer) fail");
        return 0;
    }
    return 1;
}
