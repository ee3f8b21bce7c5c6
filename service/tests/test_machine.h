// What the service tests share: an in-memory machine (routes, adapters, addresses, resolver, link
// state) with the suite's virtual adapter, and a namespace laid out like a PC (a real adapter with
// a default route, and a TAP with the virtual adapter's address).
#pragma once
#include <string>

#include "platform/fake/fake_adapters.h"
#include "platform/fake/fake_link_control.h"
#include "platform/fake/fake_resolver.h"
#include "platform/fake/fake_route_table.h"
#include "service/adapter_config.h"
#include "testsupport/command.h"

namespace service::test {

struct FakeMachine {
    platform::fake::FakeRouteTable routes;
    platform::fake::FakeAdapterList adapters;
    platform::fake::FakeAddressConfig addresses{adapters};
    platform::fake::FakeResolver resolver;
    platform::fake::FakeLinkControl links;

    ServiceFacilities Facilities() {
        ServiceFacilities f;
        f.network = {&routes, &adapters, &addresses, &resolver};
        f.links = &links;
        f.recreateAdapter = [] { return 0; };
        return f;
    }
    // The virtual adapter "qel0" with index 7; `address`/`mask` (network order) when non-zero.
    void PutTap(DWORD address = 0, DWORD mask = 0) {
        platform::AdapterInfo tap;
        tap.index = 7;
        tap.name = "qel0";
        tap.macLength = 6;
        tap.mac = {0x00, 0xff, 0xff, 0xff, 0x00, 0x00};
        if (address != 0) tap.addresses.push_back({address, mask, true});
        adapters.Put(tap);
    }
};

// In the calling thread's (fresh) namespace: veth "eth9" with 203.0.113.5/24 and, with
// `defaultRoute`, a default route through 203.0.113.1; the TAP `tap` with 00:ff:ff:ff:00:00, up.
// false when a step failed.
inline bool LayOutPc(const std::string& tap, bool defaultRoute) {
    using testsupport::Run;
    return Run({"ip", "link", "add", "eth9", "type", "veth", "peer", "name", "eth9p"}) == 0 &&
           Run({"ip", "link", "set", "eth9p", "up"}) == 0 &&
           Run({"ip", "addr", "add", "203.0.113.5/24", "dev", "eth9"}) == 0 &&
           Run({"ip", "link", "set", "eth9", "up"}) == 0 &&
           (!defaultRoute ||
            Run({"ip", "route", "add", "default", "via", "203.0.113.1", "dev", "eth9"}) == 0) &&
           Run({"ip", "tuntap", "add", "dev", tap, "mode", "tap"}) == 0 &&
           Run({"ip", "link", "set", tap, "address", "00:ff:ff:ff:00:00", "up"}) == 0;
}

}  // namespace service::test
