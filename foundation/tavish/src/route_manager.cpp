// TwRouteManager over the platform route table (rtnetlink).
#include "tavish/route_manager.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/adapter_list.h"

namespace {

struct SavedRows {
    std::mutex lock;
    MIB_IPFORWARDROW defaults[TW_ROUTE_MAX_SAVED];
    int defaultCount = 0;
    MIB_IPFORWARDROW subnet[TW_ROUTE_MAX_SAVED];
    int subnetCount = 0;
};

SavedRows& Saved() {
    static SavedRows s;
    return s;
}

bool ReadRows(platform::RouteTable& table, std::vector<MIB_IPFORWARDROW>* rows) {
    return table.ReadForwardRows(rows) == platform::kErrorSuccess;
}

// Removes a route; when the delete is refused, writes it as invalid instead (which also removes
// it). True when either way worked.
bool RemoveRow(platform::RouteTable& table, const MIB_IPFORWARDROW& row) {
    if (table.DeleteIpForwardEntry(&row) == platform::kErrorSuccess) return true;
    MIB_IPFORWARDROW invalid = row;
    invalid.dwForwardType = platform::MIB_IPROUTE_TYPE_INVALID;
    return table.SetIpForwardEntry(&invalid) == platform::kErrorSuccess;
}

// Whether the table holds a route equal to `row` in destination, mask, next hop, interface and
// metric.
bool RowPresent(platform::RouteTable& table, const MIB_IPFORWARDROW& row) {
    std::vector<MIB_IPFORWARDROW> rows;
    if (!ReadRows(table, &rows)) return false;
    for (const auto& r : rows) {
        if (r.dwForwardDest == row.dwForwardDest && r.dwForwardMask == row.dwForwardMask &&
            r.dwForwardNextHop == row.dwForwardNextHop && r.dwForwardIfIndex == row.dwForwardIfIndex &&
            r.dwForwardMetric1 == row.dwForwardMetric1) {
            return true;
        }
    }
    return false;
}

// Puts saved rows back: each is re-created unless an equal route is there already. Several saved
// routes may differ only in their metric, so a row is never written over a neighbour. 0 when at
// least one row is in the table afterwards, 1 when none is (or nothing was saved).
int WriteBack(platform::RouteTable& table, const MIB_IPFORWARDROW* rows, int count) {
    int present = 0;
    for (int i = 0; i < count; ++i) {
        const DWORD rc = table.CreateIpForwardEntry(&rows[i]);
        if (rc == platform::kErrorSuccess ||
            (rc == platform::kErrorObjectAlreadyExists && RowPresent(table, rows[i]))) {
            ++present;
        }
    }
    return present > 0 ? 0 : 1;
}

MIB_IPFORWARDROW RequestRow(const ROUTE_ADD_REQUEST& r, DWORD ifIndex) {
    MIB_IPFORWARDROW row{};
    row.dwForwardDest = r.dwDestination;
    row.dwForwardMask = r.dwMask;
    row.dwForwardPolicy = 0;
    row.dwForwardNextHop = r.dwNextHop;
    row.dwForwardIfIndex = ifIndex;
    row.dwForwardType = platform::MIB_IPROUTE_TYPE_DIRECT;
    row.dwForwardProto = platform::MIB_IPPROTO_NETMGMT;
    row.dwForwardMetric1 = 1;
    row.dwForwardMetric2 = row.dwForwardMetric3 = row.dwForwardMetric4 = row.dwForwardMetric5 = 0xFFFFFFFFu;
    return row;
}

// Destination of a host text: a dotted address, else the first IPv4 address of a name lookup.
bool ResolveHost(const char* host, DWORD* address) {
    in_addr a{};
    if (inet_pton(AF_INET, host, &a) == 1) {
        *address = a.s_addr;
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* res = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &res) != 0 || res == nullptr) return false;
    *address = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(res);
    return true;
}

int RemoveMatching(platform::RouteTable& table, bool (*match)(const MIB_IPFORWARDROW&, DWORD, DWORD),
                   DWORD net, DWORD mask) {
    std::vector<MIB_IPFORWARDROW> rows;
    if (!ReadRows(table, &rows)) return 1;
    int removed = 0;
    for (const auto& r : rows) {
        if (match(r, net, mask) && RemoveRow(table, r)) ++removed;
    }
    return removed > 0 ? 0 : 1;
}

// Applies `change` to every row for dest/mask and writes it back; 0 when at least one was written.
template <class Change>
int UpdateMatching(platform::RouteTable& table, DWORD dest, DWORD mask, Change change) {
    std::vector<MIB_IPFORWARDROW> rows;
    if (!ReadRows(table, &rows)) return 1;
    int written = 0;
    for (auto r : rows) {
        if (r.dwForwardDest != dest || r.dwForwardMask != mask) continue;
        change(r);
        if (table.SetIpForwardEntry(&r) == platform::kErrorSuccess) ++written;
    }
    return written > 0 ? 0 : 1;
}

bool IsDefaultRow(const MIB_IPFORWARDROW& r, DWORD, DWORD) {
    return r.dwForwardDest == 0 && r.dwForwardMask == 0;
}

bool IsSubnetRow(const MIB_IPFORWARDROW& r, DWORD net, DWORD mask) {
    const DWORD broadcast = (net & mask) | ~mask;
    return (r.dwForwardDest == net && r.dwForwardMask == mask) ||
           (r.dwForwardDest == broadcast && r.dwForwardMask == 0xFFFFFFFFu);
}

}  // namespace

TwRouteManager::TwRouteManager(platform::RouteTable& routes, platform::AdapterList& adapters)
    : m_routes(&routes), m_adapters(&adapters) {}
TwRouteManager::~TwRouteManager() = default;

MIB_IPFORWARDTABLE* TwRouteManager::GetSystemRouteTable() {
    // The table may grow between the size question and the read; ask again a few times.
    for (int attempt = 0; attempt < 4; ++attempt) {
        ULONG size = 0;
        if (m_routes->GetIpForwardTable(nullptr, &size, FALSE) != platform::kErrorInsufficientBuffer)
            return nullptr;
        auto* table = static_cast<MIB_IPFORWARDTABLE*>(std::malloc(size));
        if (table == nullptr) return nullptr;
        const DWORD rc = m_routes->GetIpForwardTable(table, &size, FALSE);
        if (rc == platform::kErrorSuccess) return table;
        std::free(table);
        if (rc != platform::kErrorInsufficientBuffer) return nullptr;
    }
    return nullptr;
}

void TwRouteManager::FreeRouteTable(MIB_IPFORWARDTABLE* table) { std::free(table); }

DWORD TwRouteManager::FindInterface(const ROUTE_ADD_REQUEST& request) {
    std::vector<platform::AdapterInfo> adapters;
    if (m_adapters->GetAdapters(&adapters) != platform::kErrorSuccess) return TW_ROUTE_FIND_INTERFACE;
    for (const auto& adapter : adapters) {
        for (const auto& a : adapter.addresses) {
            if (a.address == 0) continue;
            const bool match = request.dwLocalAddress != 0
                                   ? a.address == request.dwLocalAddress
                                   : (request.dwNextHop & a.mask) == (a.address & a.mask);
            if (match) return adapter.index;
        }
    }
    return TW_ROUTE_FIND_INTERFACE;
}

int TwRouteManager::AddEntry(ROUTE_ADD_REQUEST* request) {
    if (request == nullptr) return 1;
    DWORD ifIndex = request->dwIfIndex;
    if (ifIndex == TW_ROUTE_FIND_INTERFACE) ifIndex = FindInterface(*request);
    if (ifIndex == TW_ROUTE_FIND_INTERFACE) return 1;
    const MIB_IPFORWARDROW row = RequestRow(*request, ifIndex);
    return m_routes->CreateIpForwardEntry(&row) == platform::kErrorSuccess ? 0 : 1;
}

int TwRouteManager::DeleteEntry(ROUTE_DELETE_REQUEST* request) {
    if (request == nullptr) return 1;
    DWORD ifIndex = request->dwIfIndex;
    if (ifIndex == TW_ROUTE_FIND_INTERFACE) ifIndex = FindInterface(*request);
    if (ifIndex == TW_ROUTE_FIND_INTERFACE) return 1;
    return RemoveRow(*m_routes, RequestRow(*request, ifIndex)) ? 0 : 1;
}

int TwRouteManager::UpdateEntry(ROUTE_UPDATE_METRIC_REQUEST* request) {
    if (request == nullptr) return 1;
    return UpdateMatching(*m_routes, request->dwDestination, request->dwMask,
                          [&](MIB_IPFORWARDROW& r) { r.dwForwardMetric1 += request->dwMetricIncrement; });
}

int TwRouteManager::UpdateEntry(ROUTE_UPDATE_FORWARD_REQUEST* request) {
    if (request == nullptr) return 1;
    return UpdateMatching(*m_routes, request->dwDestination, request->dwMask,
                          [&](MIB_IPFORWARDROW& r) { r.dwForwardType = request->dwForwardType; });
}

int TwRouteManager::SaveDefault(ROUTE_SAVE_DEFAULT_REQUEST*) {
    std::vector<MIB_IPFORWARDROW> rows;
    if (!ReadRows(*m_routes, &rows)) return 1;
    SavedRows& s = Saved();
    std::lock_guard<std::mutex> g(s.lock);
    s.defaultCount = 0;
    for (const auto& r : rows) {
        if (s.defaultCount < TW_ROUTE_MAX_SAVED && IsDefaultRow(r, 0, 0)) s.defaults[s.defaultCount++] = r;
    }
    return 0;
}

int TwRouteManager::RestoreDefault(ROUTE_RESTORE_DEFAULT_REQUEST*) {
    SavedRows& s = Saved();
    std::lock_guard<std::mutex> g(s.lock);
    return WriteBack(*m_routes, s.defaults, s.defaultCount);
}

int TwRouteManager::DeleteDefault() { return RemoveMatching(*m_routes, IsDefaultRow, 0, 0); }

int TwRouteManager::RouteLookup(ROUTE_LOOKUP_REQUEST* request) {
    if (request == nullptr) return 1;
    std::vector<MIB_IPFORWARDROW> rows;
    if (!ReadRows(*m_routes, &rows)) return 1;
    for (const auto& r : rows) {
        if (r.dwForwardDest == request->dwDestination && r.dwForwardMask == request->dwMask &&
            r.dwForwardNextHop == request->dwNextHop) {
            return 0;
        }
    }
    return 1;
}

const MIB_IPFORWARDROW* TwRouteManager::BestRoute(const MIB_IPFORWARDROW* rows, DWORD count, DWORD address) {
    const MIB_IPFORWARDROW* best = nullptr;
    int bestPrefix = 0;
    DWORD bestDest = 0, bestMetric = 0xFFFFFFFFu;
    for (DWORD i = 0; i < count; ++i) {
        const MIB_IPFORWARDROW& r = rows[i];
        if ((address & r.dwForwardMask) != (r.dwForwardDest & r.dwForwardMask)) continue;
        // The real prefix length: a mask such as 255.255.240.0 must rank below 255.255.255.0.
        const int prefix = platform::MaskPrefixLength(r.dwForwardMask);
        if (prefix < bestPrefix) continue;
        if (prefix == bestPrefix && r.dwForwardDest == bestDest && r.dwForwardMetric1 > bestMetric) continue;
        best = &r;
        bestPrefix = prefix;
        bestDest = r.dwForwardDest;
        bestMetric = r.dwForwardMetric1;
    }
    return best;
}

DWORD TwRouteManager::GetRouteNextHop(DWORD address, DWORD* nextHop, DWORD* mask, DWORD* ifIndex) {
    std::vector<MIB_IPFORWARDROW> rows;
    if (!ReadRows(*m_routes, &rows)) return 0;
    const MIB_IPFORWARDROW* best = BestRoute(rows.data(), static_cast<DWORD>(rows.size()), address);
    if (best == nullptr) return 0;
    if (nextHop != nullptr) *nextHop = best->dwForwardNextHop;
    if (mask != nullptr) *mask = best->dwForwardMask;
    if (ifIndex != nullptr) *ifIndex = best->dwForwardIfIndex;
    return best->dwForwardNextHop;
}

int TwRouteManager::AddHostRoute(const char* host, DWORD gateway) {
    if (host == nullptr) return 1;
    ROUTE_ADD_REQUEST req{};
    req.dwRequest = TW_ROUTE_REQUEST_ADD_HOST;
    if (!ResolveHost(host, &req.dwDestination)) return 1;
    req.dwMask = 0xFFFFFFFFu;
    req.dwLocalAddress = 0;
    if (gateway == 0) {
        GetRouteNextHop(req.dwDestination, &req.dwNextHop, nullptr, &req.dwIfIndex);
    } else {
        req.dwNextHop = gateway;
        req.dwIfIndex = TW_ROUTE_FIND_INTERFACE;
    }
    if (req.dwNextHop == 0) return 1;
    return AddEntry(&req);
}

int TwRouteManager::DeleteHostRoute(const char* host, DWORD gateway) {
    if (host == nullptr) return 1;
    ROUTE_DELETE_REQUEST req{};
    req.dwRequest = TW_ROUTE_REQUEST_DELETE_HOST;
    if (!ResolveHost(host, &req.dwDestination)) return 1;
    req.dwNextHop = gateway;
    req.dwIfIndex = TW_ROUTE_FIND_INTERFACE;
    if (gateway == 0) {
        DWORD mask = 0;
        GetRouteNextHop(req.dwDestination, &req.dwNextHop, &mask, nullptr);
        if ((req.dwDestination & mask) == (req.dwNextHop & mask)) return 0;
    }
    if (IsLocalAddress(req.dwNextHop) != 0) return 0;
    req.dwMask = 0xFFFFFFFFu;
    if (req.dwNextHop == 0) return 1;
    return DeleteEntry(&req);
}

int TwRouteManager::IsLocalAddress(DWORD address) {
    std::vector<platform::AdapterInfo> adapters;
    if (m_adapters->GetAdapters(&adapters) != platform::kErrorSuccess) return 0;
    for (const auto& adapter : adapters) {
        for (const auto& a : adapter.addresses) {
            if (a.address != 0 && a.mask != 0 && (address & a.mask) == (a.address & a.mask)) return 1;
        }
    }
    return 0;
}

int TwRouteManager::SaveLocalSubnetRoute(DWORD net, DWORD mask) {
    std::vector<MIB_IPFORWARDROW> rows;
    if (!ReadRows(*m_routes, &rows)) return 1;
    SavedRows& s = Saved();
    std::lock_guard<std::mutex> g(s.lock);
    s.subnetCount = 0;
    for (const auto& r : rows) {
        if (s.subnetCount < TW_ROUTE_MAX_SAVED && IsSubnetRow(r, net, mask)) s.subnet[s.subnetCount++] = r;
    }
    return 0;
}

int TwRouteManager::DeleteLocalSubnetRoute(DWORD net, DWORD mask) {
    return RemoveMatching(*m_routes, IsSubnetRow, net, mask);
}

int TwRouteManager::RestoreLocalSubnetRoute() {
    SavedRows& s = Saved();
    std::lock_guard<std::mutex> g(s.lock);
    return WriteBack(*m_routes, s.subnet, s.subnetCount);
}
