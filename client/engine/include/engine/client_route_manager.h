// The engine's route manager: it reads the forwarding table and the adapters itself but changes
// routes only through the privileged service's route commands. It keeps every row it takes away
// (however many) so that logoff can put them back.
//
// Thread-safety: one manager per connector; its stores are used from the logon and logoff path of
// one thread at a time (the connector's lock), so the manager has no lock of its own.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "platform/adapter_list.h"
#include "platform/route_table.h"

namespace engine {

// A host-route request: addresses in network byte order; interface -1: find it from the next hop
// (or from the local address when that is non-zero).
struct RouteRequest {
    DWORD kind = 0;  // 103 add host route, 104 delete host route
    DWORD destination = 0, mask = 0, nextHop = 0, localAddress = 0;
    int ifIndex = -1;
};
constexpr DWORD kRouteKindAddHost = 103;
constexpr DWORD kRouteKindDeleteHost = 104;

struct NextHopCandidate {
    DWORD mask = 0, nextHop = 0, ifIndex = 0, metric = 0;
};

// The name (the interface name here) of the adapter with hardware address `mac` into `name`,
// which must hold it with its terminating NUL: 1 copied; 0 when the list cannot be read, no adapter
// has that address or the name does not fit. Each adapter's name is printed as it is looked at.
int GetIfNameByMacAddr(platform::AdapterList& adapters, const BYTE mac[6], char* name, unsigned size);
// The interface index of that adapter into *index: 1 found, 0 not (or the list cannot be read).
int GetIfIndexByMacAddr(platform::AdapterList& adapters, const BYTE mac[6], int* index);

class TwClientRouteManager {
public:
    // Sends one command text to the service; returns its SendCmdToNetsh result.
    using CommandSender = std::function<int(const std::string& command)>;
    // Resolves a host name to one IPv4 address (network order); 0 when it cannot.
    using HostResolver = std::function<DWORD(const std::string& host)>;

    TwClientRouteManager(platform::RouteTable& routes, platform::AdapterList& adapters, CommandSender send,
                         HostResolver resolve = {});

    void SetDefaultMetric(DWORD metric) { m_defaultMetric = metric; }
    void SetVirtualIfIndex(DWORD index) { m_virtualIfIndex = index; }

    // The metric the routes of interface `ifIndex` carry when their request names none: the
    // virtual interface's is kVirtualInterfaceMetric, so that its routes win over a physical route
    // of the same prefix (a route's own metric decides here; interfaces carry none); 0 for every
    // other interface (the default metric applies).
    static constexpr DWORD kVirtualInterfaceMetric = 1;
    DWORD PrepareRouteEntry(int ifIndex) const;

    // 0 sent, 1 nothing done (no request, no matching adapter).
    int AddEntry(const RouteRequest* request, DWORD metric);
    int DeleteEntry(const RouteRequest* request, DWORD metric);
    // Host route to `host` (dotted or a name) through every best next hop that is not the virtual
    // adapter / removed through all of them. The last AddEntry/DeleteEntry result, 1 when none ran.
    int AddHostRoute(const std::string& host, DWORD nextHop);
    int DeleteHostRoute(const std::string& host, DWORD nextHop);
    // The routes of the longest prefix that contains `destination`, the virtual adapter's excluded,
    // in table order (at most 16). The last one's next hop, 0 when none.
    DWORD GetRouteNextHop(DWORD destination, std::vector<NextHopCandidate>* candidates);
    bool IsLocalSubnet(DWORD address);

    void SaveDefaultRoute();
    void SaveLocalSubnetRoute(DWORD net, DWORD mask);
    void DeleteLocalSubnetRoute(DWORD net, DWORD mask);
    void RestoreLocalSubnetRoute();
    void SaveAndDeleteAllSubnetRoute(const std::vector<MIB_IPFORWARDROW>& table);
    void RestoreAllSubnetRoute();
    void SaveAndDeleteConflictRoute(const MIB_IPFORWARDROW& row);
    void RestoreConflictRoute();

    const std::vector<MIB_IPFORWARDROW>& DefaultRoutes() const { return m_defaultRoutes; }
    const std::vector<MIB_IPFORWARDROW>& LocalSubnetRoutes() const { return m_localSubnetRoutes; }
    const std::vector<MIB_IPFORWARDROW>& AllSubnetRoutes() const { return m_allSubnetRoutes; }
    const std::vector<MIB_IPFORWARDROW>& ConflictRoutes() const { return m_conflictRoutes; }

    // "<verb> dest mask ifindex nexthop metric type\n" as the service reads it.
    static std::string RouteCommand(const char* verb, DWORD destination, DWORD mask, int ifIndex,
                                    DWORD nextHop, int metric, int type);

private:
    int SendEntry(const char* verb, const char* tag, const RouteRequest* request, DWORD metric);
    void SendRow(const char* verb, const char* tag, const MIB_IPFORWARDROW& row, int type);
    bool LocalSubnetRow(const MIB_IPFORWARDROW& r, DWORD net, DWORD mask) const;
    int HostRoute(const std::string& host, bool add);

    platform::RouteTable& m_routes;
    platform::AdapterList& m_adapters;
    CommandSender m_send;
    HostResolver m_resolve;
    DWORD m_defaultMetric = 0;
    DWORD m_virtualIfIndex = 0;
    std::vector<MIB_IPFORWARDROW> m_defaultRoutes, m_localSubnetRoutes, m_allSubnetRoutes, m_conflictRoutes;
};

}  // namespace engine
