// CMorbeck: static configuration of an interface and the name servers of the resolver
// configuration. This system has one resolver list for every interface; the interface is still
// looked up by its address first, as callers expect.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "morbeck/morbeck.h"
#include "morbeck_internal.h"
#include "platform/adapter_list.h"
#include "platform/address_config.h"
#include "platform/route_table.h"

namespace {

std::string ResolvConfPath() {
    const char* p = std::getenv("QEL_RESOLV_CONF");
    return (p != nullptr && *p != '\0') ? p : "/etc/resolv.conf";
}

bool AddressIsLocal(DWORD address) {
    std::vector<platform::AdapterInfo> adapters;
    if (platform::GetAdapters(&adapters) != platform::kErrorSuccess) return false;
    for (const auto& a : adapters) {
        for (const auto& x : a.addresses) {
            if (x.address == address) return true;
        }
    }
    return false;
}

bool IsNameServerLine(const std::string& line, const std::string& server) {
    std::istringstream in(line);
    std::string key, value;
    in >> key >> value;
    return key == "nameserver" && value == server;
}

// Rewrites the file through a temporary file and a rename, so readers never see half of it.
bool Replace(const std::string& path, const std::string& text) {
    const std::string tmp = path + ".qel-tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        if (!out) return false;
        out << text;
        if (!out.flush()) return false;
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

// Replaces every name server line of the resolver file with `servers` (at the top, in order).
bool SetNameServers(const std::vector<DWORD>& servers) {
    const std::string path = ResolvConfPath();
    std::ifstream in(path);
    std::string line, text;
    for (DWORD s : servers) {
        char buf[16];
        text += std::string("nameserver ") + CMorbeck::inet_ntoa(s, buf, sizeof(buf)) + "\n";
    }
    while (in && std::getline(in, line)) {
        std::istringstream words(line);
        std::string key;
        words >> key;
        if (key != "nameserver") text += line + "\n";
    }
    return Replace(path, text);
}

// The default routes through `ifIndex` go; with a gateway, one through it with metric 1 comes.
bool SetDefaultGateway(DWORD ifIndex, DWORD gateway) {
    std::vector<MIB_IPFORWARDROW> rows;
    if (platform::ReadForwardRows(&rows) != platform::kErrorSuccess) return false;
    for (const auto& r : rows) {
        if (r.dwForwardDest == 0 && r.dwForwardMask == 0 && r.dwForwardIfIndex == ifIndex) {
            platform::DeleteIpForwardEntry(&r);
        }
    }
    if (gateway == 0) return true;
    MIB_IPFORWARDROW row{};
    row.dwForwardNextHop = gateway;
    row.dwForwardIfIndex = ifIndex;
    row.dwForwardType = platform::MIB_IPROUTE_TYPE_INDIRECT;
    row.dwForwardProto = platform::MIB_IPPROTO_NETMGMT;
    row.dwForwardMetric1 = 1;
    const DWORD rc = platform::CreateIpForwardEntry(&row);
    return rc == platform::kErrorSuccess || rc == platform::kErrorObjectAlreadyExists;
}

int EditDns(DWORD address, DWORD dns, bool add) {
    char addrText[16], dnsText[16];
    CMorbeck::inet_ntoa(address, addrText, sizeof(addrText));
    CMorbeck::inet_ntoa(dns, dnsText, sizeof(dnsText));
    if (!AddressIsLocal(address)) {
        platform::DebugPrintf("Can not determine network interface for IPAddress %s", addrText);
        platform::DebugPrintf("GetNetCfgInstanceIdByIPAddr fail");
        return 0;
    }
    const std::string path = ResolvConfPath();
    std::ifstream in(path);
    if (!in) {
        platform::DebugPrintf("RegOpenKey(Tcpip\\\\Parameters\\\\Interfaces) fail");
        return 0;
    }
    std::string line, text;
    bool present = false;
    while (std::getline(in, line)) {
        if (IsNameServerLine(line, dnsText)) {
            present = true;
            if (!add) continue;
        }
        text += line + "\n";
    }
    in.close();
    if (add && !present) {
        platform::DebugPrintf(" -> Add Dns %s", dnsText);
        text += std::string("nameserver ") + dnsText + "\n";
    }
    if (!Replace(path, text)) {
        platform::DebugPrintf("RegSetValueEx(NameServer) fail");
        return 0;
    }
    return 1;
}

}  // namespace

int CMorbeck::DelInterfaceDns(DWORD address, DWORD dns) { return EditDns(address, dns, false); }
int CMorbeck::AddInterfaceDns(DWORD address, DWORD dns) { return EditDns(address, dns, true); }

int CMorbeck::ConfigureInterfaceInfo(const BYTE mac[6], DWORD address, DWORD mask, DWORD gateway, DWORD dns1,
                                     DWORD dns2, const char*) {
    // Checked before anything changes, so a bad request leaves the interface as it was.
    if (mac == nullptr || address == 0 ||
        platform::PrefixLengthMask(platform::MaskPrefixLength(mask)) != mask) {
        return 0;
    }
    std::vector<platform::AdapterInfo> adapters;
    if (platform::GetAdapters(&adapters) != platform::kErrorSuccess) return 0;
    DWORD ifIndex = 0;
    for (const auto& a : adapters) {
        if (ifIndex == 0 && a.macLength == 6 && std::memcmp(a.mac.data(), mac, 6) == 0) ifIndex = a.index;
    }
    if (ifIndex == 0) {
        platform::DebugPrintf(
            "ConfigureInterfaceInfo: no adapter with MAC %2.2X-%2.2X-%2.2X-%2.2X-%2.2X-%2.2X", mac[0], mac[1],
            mac[2], mac[3], mac[4], mac[5]);
        return 0;
    }
    // The steps of the interface script: addresses, gateway, then the name servers (1, then 2).
    if (platform::DeleteIpv4Addresses(ifIndex) != platform::kErrorSuccess ||
        platform::AddIpv4Address(ifIndex, address, mask) != platform::kErrorSuccess) {
        platform::DebugPrintf("RegSetValueEx(IPAddress) fail");
        return 0;
    }
    if (!SetDefaultGateway(ifIndex, gateway)) {
        platform::DebugPrintf("RegSetValueEx(DefaultGateway) fail");
        return 0;
    }
    std::vector<DWORD> servers;
    if (dns1 != 0) servers.push_back(dns1);
    if (dns2 != 0) servers.push_back(dns2);
    if (!SetNameServers(servers)) {
        platform::DebugPrintf("RegSetValueEx(NameServer) fail");
        return 0;
    }
    return 1;
}
