// The virtual adapter's address, name servers and link over rtnetlink and the resolver facility.
#include "service/adapter_config.h"

#include <cstring>
#include <vector>

#include "platform/filter_device.h"
#include "service/netsh_command.h"
#include "service_log.h"

namespace service {

int RecreateVirtualAdapter() {
    auto device = platform::FilterDevice::Open();
    if (!device) return -1;
    DWORD made = 0, returned = 0;
    if (!device->DeviceIoControl(IOCTL_QEL_ENABLE_ADAPTER, nullptr, 0, &made, sizeof(made), &returned))
        return -1;
    return static_cast<int>(made);
}

bool AdapterConfig::FindVirtualAdapter(platform::AdapterInfo* adapter) const {
    std::vector<platform::AdapterInfo> list;
    if (m_f.network.adapters->GetAdapters(&list) != platform::kErrorSuccess) return false;
    for (auto& a : list) {
        if (a.macLength == 6 && std::memcmp(a.mac.data(), kVirtualAdapterMac, 6) == 0) {
            *adapter = std::move(a);
            return true;
        }
    }
    return false;
}

DWORD AdapterConfig::VirtualAdapterIndex() const {
    platform::AdapterInfo a;
    return FindVirtualAdapter(&a) ? a.index : 0;
}

bool AdapterConfig::HasConnectedRoute(DWORD ifIndex, DWORD address, DWORD mask) {
    std::vector<MIB_IPFORWARDROW> rows;
    if (m_f.network.routes->ReadForwardRows(&rows) != platform::kErrorSuccess) return false;
    for (const auto& r : rows) {
        if (r.dwForwardIfIndex == ifIndex && r.dwForwardDest == (address & mask) && r.dwForwardMask == mask)
            return true;
    }
    return false;
}

DWORD AdapterConfig::SetStaticIP(DWORD address, DWORD mask) {
    platform::AdapterInfo a;
    if (!FindVirtualAdapter(&a)) {
        SVC_LOG("[SetStaticIP] the virtual adapter is not present");
        return kAdapterMissing;
    }
    // Already whole only with its connected route too: a restore after a crash takes the routes of
    // the adapter away and may leave the address, and without that route nothing reaches the
    // tunnel's next hop. Setting the address again brings the route back.
    for (const auto& existing : a.addresses) {
        if (existing.address == address && existing.mask == mask && a.addresses.size() == 1 &&
            HasConnectedRoute(a.index, address, mask))
            return 0;
    }
    DWORD rc = m_f.network.addresses->DeleteIpv4Addresses(a.index);
    if (rc == platform::kErrorSuccess) rc = m_f.network.addresses->AddIpv4Address(a.index, address, mask);
    SVC_LOG("[SetStaticIP] The command execute: 0x%x", static_cast<unsigned>(rc));
    return rc;
}

DWORD AdapterConfig::SetSetDNS(const std::string& dns1, const std::string& dns2) {
    std::vector<DWORD> servers;
    for (const std::string* text : {&dns1, &dns2}) {
        if (text->empty() || (*text)[0] == '0') continue;
        DWORD server = 0;
        if (!ParseDottedAddress(*text, &server)) return platform::kErrorInvalidParameter;
        servers.push_back(server);
    }
    DWORD rc;
    if (servers.empty()) {
        rc = m_f.network.resolver->Restore();
    } else {
        platform::AdapterInfo a;
        if (!FindVirtualAdapter(&a)) return kAdapterMissing;
        rc = m_f.network.resolver->SetNameServers(a.name, servers);
    }
    SVC_LOG("[SetSetDNS] ReturnValue = %d", static_cast<int>(rc));
    return rc;
}

DWORD AdapterConfig::EnableAdapter(bool enable) {
    if (enable) {
        const int made = m_f.recreateAdapter ? m_f.recreateAdapter() : RecreateVirtualAdapter();
        if (made != 0) SVC_LOG("[EnableAdapter] virtual adapters made again: %d", made);
    }
    std::vector<platform::AdapterInfo> list;
    if (m_f.network.adapters->GetAdapters(&list) != platform::kErrorSuccess) {
        SVC_LOG("[EnableAdapter] the adapter list cannot be read, return 1.");
        return 1;
    }
    platform::AdapterInfo a;
    if (!FindVirtualAdapter(&a)) return 0;
    const DWORD rc = m_f.links->SetLinkUp(a.index, enable);
    SVC_LOG("[EnumDevices] %s index %u: %u", enable ? "enable" : "disable", a.index,
            static_cast<unsigned>(rc));
    return 0;
}

int AdapterConfig::ChangeAdapteLevel() {
    SVC_LOG("[ChangeAdapteLevel] the binding order has no meaning on this system; nothing to change");
    return 1;
}

DWORD AdapterConfig::FlushNeighbours() {
    const DWORD index = VirtualAdapterIndex();
    if (index == 0) return kAdapterMissing;
    return m_f.links->FlushNeighbours(index);
}

DWORD AdapterConfig::ResetAddress() {
    const DWORD index = VirtualAdapterIndex();
    if (index == 0) return kAdapterMissing;
    DWORD rc = m_f.network.addresses->DeleteIpv4Addresses(index);
    if (rc == platform::kErrorSuccess) rc = m_f.links->SetLinkUp(index, false);
    if (rc == platform::kErrorSuccess) rc = m_f.links->SetLinkUp(index, true);
    return rc;
}

DWORD AdapterConfig::UseDhcpAddress(DWORD ifIndex) {
    const DWORD index = VirtualAdapterIndex();
    if (index == 0 || index != ifIndex) {
        SVC_LOG("[UseDhcpAddress] interface %u is not the virtual adapter; refused", ifIndex);
        return platform::kErrorAccessDenied;
    }
    return m_f.network.addresses->DeleteIpv4Addresses(index);
}

}  // namespace service
