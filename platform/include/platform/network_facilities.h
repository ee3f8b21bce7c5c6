// The machine's network facilities a component configures, passed in together so that a test
// can hand it fakes (platform/fake/). Defaults are the machine's own. Not owned: whatever the
// pointers name must outlive the components given it.
#pragma once
#include "platform/adapter_list.h"
#include "platform/address_config.h"
#include "platform/resolver.h"
#include "platform/route_table.h"

namespace platform {

struct NetworkFacilities {
    RouteTable* routes = &SystemRouteTable();
    AdapterList* adapters = &SystemAdapterList();
    AddressConfig* addresses = &SystemAddressConfig();
    Resolver* resolver = &SystemResolver();
};

}  // namespace platform
