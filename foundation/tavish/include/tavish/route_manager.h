// TwRouteManager: the IPv4 forwarding table of the machine as fixed-layout rows: read it, add and
// delete routes (finding the interface when the caller does not name one), change metrics and
// route types, find the next hop for an address, and save and restore default and local-subnet
// routes.
//
// Results: 0 success, 1 failure (unless stated). Nothing is logged; nothing throws.
// Thread-safety: the saved default and subnet routes are process-wide and shared by every
// instance; they are guarded by a lock, but a save and a restore from two threads still race in
// meaning (each save replaces the previous set).
#pragma once
#include <cstddef>

#include "platform/adapter_list.h"
#include "platform/route_table.h"
#include "platform/types.h"

#pragma pack(push, 1)
// Request records: all fields 32-bit, addresses in network byte order. The first word is a request
// code the manager does not read (the host-route helpers put 103 for add and 104 for delete).
struct ROUTE_ADD_REQUEST {
    DWORD dwRequest;
    DWORD dwDestination;
    DWORD dwMask;
    DWORD dwNextHop;
    DWORD dwLocalAddress;  // 0: choose the adapter by the next hop's subnet
    DWORD dwIfIndex;       // 0xFFFFFFFF: find it
};
using ROUTE_DELETE_REQUEST = ROUTE_ADD_REQUEST;
struct ROUTE_UPDATE_METRIC_REQUEST {
    DWORD dwRequest;
    DWORD dwDestination;
    DWORD dwMask;
    DWORD dwMetricIncrement;  // added to metric 1
};
struct ROUTE_UPDATE_FORWARD_REQUEST {
    DWORD dwRequest;
    DWORD dwDestination;
    DWORD dwMask;
    DWORD dwForwardType;
};
struct ROUTE_LOOKUP_REQUEST {
    DWORD dwRequest;
    DWORD dwDestination;
    DWORD dwMask;
    DWORD dwNextHop;
};
struct ROUTE_SAVE_DEFAULT_REQUEST {
    DWORD dwRequest;
};
using ROUTE_RESTORE_DEFAULT_REQUEST = ROUTE_SAVE_DEFAULT_REQUEST;
#pragma pack(pop)
static_assert(sizeof(ROUTE_ADD_REQUEST) == 24);
static_assert(sizeof(ROUTE_UPDATE_METRIC_REQUEST) == 16);
static_assert(sizeof(ROUTE_UPDATE_FORWARD_REQUEST) == 16);
static_assert(sizeof(ROUTE_LOOKUP_REQUEST) == 16);
static_assert(sizeof(ROUTE_SAVE_DEFAULT_REQUEST) == 4);

constexpr DWORD TW_ROUTE_FIND_INTERFACE = 0xFFFFFFFFu;
constexpr DWORD TW_ROUTE_REQUEST_ADD_HOST = 103;
constexpr DWORD TW_ROUTE_REQUEST_DELETE_HOST = 104;
constexpr int TW_ROUTE_MAX_SAVED = 7;

class TwRouteManager {
public:
    // The manager works on `routes` and `adapters` (the machine's by default); they must outlive it.
    explicit TwRouteManager(platform::RouteTable& routes = platform::SystemRouteTable(),
                            platform::AdapterList& adapters = platform::SystemAdapterList());
    ~TwRouteManager();

    // The whole table, unsorted, in one heap block (free with FreeRouteTable); null on failure.
    MIB_IPFORWARDTABLE* GetSystemRouteTable();
    void FreeRouteTable(MIB_IPFORWARDTABLE* table);

    int AddEntry(ROUTE_ADD_REQUEST* request);
    // 0 when the route was removed (deleted, or written as invalid), else 1.
    int DeleteEntry(ROUTE_DELETE_REQUEST* request);
    int UpdateEntry(ROUTE_UPDATE_METRIC_REQUEST* request);
    int UpdateEntry(ROUTE_UPDATE_FORWARD_REQUEST* request);

    int SaveDefault(ROUTE_SAVE_DEFAULT_REQUEST* request);
    // 0 when at least one saved route was written back; 1 when none was (or none was saved).
    int RestoreDefault(ROUTE_RESTORE_DEFAULT_REQUEST* request);
    int DeleteDefault();

    // 0 when a row with exactly that destination, mask and next hop exists, else 1.
    int RouteLookup(ROUTE_LOOKUP_REQUEST* request);
    // Next hop of the best route to `address` (0 when none); outputs optional.
    DWORD GetRouteNextHop(DWORD address, DWORD* nextHop, DWORD* mask, DWORD* ifIndex);

    int AddHostRoute(const char* host, DWORD gateway);
    int DeleteHostRoute(const char* host, DWORD gateway);
    // 1 when `address` lies in the subnet of one of the machine's addresses, else 0.
    int IsLocalAddress(DWORD address);

    int SaveLocalSubnetRoute(DWORD net, DWORD mask);
    int DeleteLocalSubnetRoute(DWORD net, DWORD mask);
    // 0 when at least one saved route was written back; 1 when none was (or none was saved).
    int RestoreLocalSubnetRoute();

    // The best row for `address` among `count` rows (longest prefix; among equal prefixes the
    // rules of GetRouteNextHop), or null. Exposed for tests.
    static const MIB_IPFORWARDROW* BestRoute(const MIB_IPFORWARDROW* rows, DWORD count, DWORD address);

private:
    // Interface index for a request, or TW_ROUTE_FIND_INTERFACE when none fits.
    DWORD FindInterface(const ROUTE_ADD_REQUEST& request);

    platform::RouteTable* m_routes;
    platform::AdapterList* m_adapters;
};
