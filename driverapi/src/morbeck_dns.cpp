// CMorbeck: name servers of the resolver configuration. This system has one resolver list for
// every interface; the interface is still looked up by its address first, as callers expect.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "morbeck/morbeck.h"
#include "morbeck_internal.h"
#include "platform/adapter_list.h"

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

int EditDns(DWORD address, DWORD dns, bool add) {
    char addrText[16], dnsText[16];
    CMorbeck::inet_ntoa(address, addrText, sizeof(addrText));
    CMorbeck::inet_ntoa(dns, dnsText, sizeof(dnsText));
    if (!AddressIsLocal(address)) {
        morbeck::Debug("Can not determine network interface for IPAddress %s", addrText);
        morbeck::Debug("GetNetCfgInstanceIdByIPAddr fail");
        return 0;
    }
    const std::string path = ResolvConfPath();
    std::ifstream in(path);
    if (!in) {
        morbeck::Debug("RegOpenKey(Tcpip\\\\Parameters\\\\Interfaces) fail");
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
        morbeck::Debug(" -> Add Dns %s", dnsText);
        text += std::string("nameserver ") + dnsText + "\n";
    }
    if (!Replace(path, text)) {
        morbeck::Debug("RegSetValueEx(NameServer) fail");
        return 0;
    }
    return 1;
}

}  // namespace

int CMorbeck::DelInterfaceDns(DWORD address, DWORD dns) { return EditDns(address, dns, false); }
int CMorbeck::AddInterfaceDns(DWORD address, DWORD dns) { return EditDns(address, dns, true); }
