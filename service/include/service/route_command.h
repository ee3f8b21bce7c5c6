// The route commands of the pipe ("addroute", "delroute", "setroute") and the route-table calls
// behind them.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "platform/adapter_list.h"
#include "platform/route_table.h"
#include "platform/types.h"

namespace service {

// The parsed form of a route command; addresses and masks in network byte order.
struct RouteRecord {
    DWORD destination = 0;
    DWORD mask = 0;
    DWORD nextHop = 0;
    DWORD ifIndex = 0;
    DWORD type = 0;
    DWORD metric = 0;
};

// Reads "<verb> dest mask ifindex nexthop metric type": the verb is skipped, up to six unsigned
// decimal numbers follow (missing ones are 0, tokens after the sixth are ignored). Every number is
// range-checked: at most 4294967295; "-1"-style and non-digit tokens are refused. Returns false
// with a reason in *error for malformed text (no verb, a bad number, 256 bytes or more).
bool PhaseRouteCmd(std::string_view text, RouteRecord* record, std::string* error);

// Fill a forwarding row from the record (metrics 2-5 0xFFFFFFFF; add and delete also set
// protocol 3, an add the `protocol` given) and call the table. Non-zero results are logged with
// the record.
DWORD ApiAddRoute(platform::RouteTable& table, const RouteRecord& record,
                  DWORD protocol = platform::MIB_IPPROTO_NETMGMT);
DWORD ApiDeleteRoute(platform::RouteTable& table, const RouteRecord& record);
// The protocol an added route takes: the kernel's own (MIB_IPPROTO_LOCAL) when it is exactly the
// route the kernel makes for an address of its interface (that address's subnet, on the link
// from that address, metric 0), which a client puts back after moving it aside; network
// management for every other route.
DWORD AddedRouteProtocol(const RouteRecord& record, const std::vector<platform::AdapterInfo>& adapters);
DWORD ApiSetRoute(platform::RouteTable& table, const RouteRecord& record);

}  // namespace service
