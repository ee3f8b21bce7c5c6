// Configuration of the suite's virtual adapter (the TAP device with the address 00:ff:ff:ff:00:00)
// over the injected network facilities: static address, name servers, link up/down, neighbour
// flush. The adapter is looked up by its address on every call, so a device that was created
// again since the last call is found.
//
// Thread-safety: the facilities are thread-safe; this object keeps no state of its own.
#pragma once
#include <functional>
#include <string>

#include "platform/adapter_list.h"
#include "platform/link_control.h"
#include "platform/network_facilities.h"

namespace service {

// What the service changes the machine through. Not owned.
struct ServiceFacilities {
    platform::NetworkFacilities network;
    platform::LinkControl* links = &platform::SystemLinkControl();
    // Asks the adapter's daemon to make a deleted virtual adapter again; the number made, -1 when
    // the daemon cannot be asked. Empty: through the driver's control device.
    std::function<int()> recreateAdapter;
};

// The default of ServiceFacilities::recreateAdapter.
int RecreateVirtualAdapter();

constexpr BYTE kVirtualAdapterMac[6] = {0x00, 0xff, 0xff, 0xff, 0x00, 0x00};

class AdapterConfig {
public:
    explicit AdapterConfig(const ServiceFacilities& facilities) : m_f(facilities) {}

    // The virtual adapter; false when there is none (or the list cannot be read).
    bool FindVirtualAdapter(platform::AdapterInfo* adapter) const;
    // Interface index of the virtual adapter, 0 when there is none.
    DWORD VirtualAdapterIndex() const;

    // Replaces the adapter's IPv4 addresses by `address`/`mask` (network byte order). 0 done;
    // kAdapterMissing while there is no adapter (worth a retry); other numbers are failures.
    static constexpr DWORD kAdapterMissing = 1;
    DWORD SetStaticIP(DWORD address, DWORD mask);
    // The name servers of the adapter: each text not starting with '0' is a server, in order.
    // None: the tunnel's servers are withdrawn (the machine's own come back). 0 done.
    DWORD SetSetDNS(const std::string& dns1, const std::string& dns2);
    // Link up (enable, after the daemon made a deleted adapter again) or down; 0 also when there is
    // no adapter, 1 when the list cannot be read.
    DWORD EnableAdapter(bool enable);
    // The binding order has no counterpart here (routes decide); logged, reported done.
    int ChangeAdapteLevel();
    // Neighbour entries of the adapter removed; 0 done.
    DWORD FlushNeighbours();
    // The adapter's addresses removed and its link restarted (the address-reset form).
    DWORD ResetAddress();
    // Static addresses of the interface dropped so that its DHCP client takes over; only the virtual
    // adapter may be changed this way. 0 done.
    DWORD UseDhcpAddress(DWORD ifIndex);

private:
    // The adapter's connected route for `address`/`mask` is in the table (network byte order).
    bool HasConnectedRoute(DWORD ifIndex, DWORD address, DWORD mask);

    ServiceFacilities m_f;
};

}  // namespace service
