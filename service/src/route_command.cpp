// Route commands of the pipe: strict parsing and the route-table calls behind them.
#include "service/route_command.h"

#include <cstring>
#include <vector>

#include "service/netsh_pipe.h"
#include "service_log.h"

namespace service {
namespace {

bool ParseUnsigned32(std::string_view token, DWORD* value) {
    if (token.empty() || token.size() > 10) return false;
    unsigned long long v = 0;
    for (const char c : token) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    if (v > 0xffffffffull) return false;
    *value = static_cast<DWORD>(v);
    return true;
}

MIB_IPFORWARDROW RowOf(const RouteRecord& r, DWORD protocol) {
    MIB_IPFORWARDROW row{};
    row.dwForwardDest = r.destination;
    row.dwForwardMask = r.mask;
    row.dwForwardNextHop = r.nextHop;
    row.dwForwardIfIndex = r.ifIndex;
    row.dwForwardType = r.type;
    row.dwForwardProto = protocol;
    row.dwForwardMetric1 = r.metric;
    row.dwForwardMetric2 = row.dwForwardMetric3 = row.dwForwardMetric4 = row.dwForwardMetric5 = 0xFFFFFFFFu;
    return row;
}

void LogFailure(const char* tag, const RouteRecord& r, DWORD rc) {
    if (rc == 0) return;
    SVC_LOG("[%s] dest%08X, mask%08X, nextHop%08X, metric%d, index%d, type%d, return%d, lasterror%d", tag,
            r.destination, r.mask, r.nextHop, static_cast<int>(r.metric), static_cast<int>(r.ifIndex),
            static_cast<int>(r.type), static_cast<int>(rc), static_cast<int>(rc));
}

}  // namespace

bool PhaseRouteCmd(std::string_view text, RouteRecord* record, std::string* error) {
    if (text.size() >= kCommandBufferSize) {
        *error = "command of 256 bytes or more";
        return false;
    }
    std::vector<std::string_view> tokens;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\n' || text[i] == '\r' || text[i] == '\t'))
            ++i;
        std::size_t end = i;
        while (end < text.size() && text[end] != ' ' && text[end] != '\n' && text[end] != '\r' &&
               text[end] != '\t') {
            ++end;
        }
        if (end > i) tokens.push_back(text.substr(i, end - i));
        i = end;
    }
    if (tokens.empty()) {
        SVC_LOG("[PhaseRouteCmd] 收到的buf有误");
        *error = "no verb";
        return false;
    }
    DWORD fields[6] = {0, 0, 0, 0, 0, 0};
    for (std::size_t f = 0; f < 6 && f + 1 < tokens.size(); ++f) {
        if (!ParseUnsigned32(tokens[f + 1], &fields[f])) {
            *error = "field " + std::to_string(f + 1) + " is not a number from 0 to 4294967295";
            return false;
        }
    }
    *record = RouteRecord{fields[0], fields[1], fields[3], fields[2], fields[5], fields[4]};
    return true;
}

DWORD ApiAddRoute(platform::RouteTable& table, const RouteRecord& record, DWORD protocol) {
    const MIB_IPFORWARDROW row = RowOf(record, protocol);
    const DWORD rc = table.CreateIpForwardEntry(&row);
    LogFailure("ApiAddRoute", record, rc);
    return rc;
}

DWORD ApiDeleteRoute(platform::RouteTable& table, const RouteRecord& record) {
    const MIB_IPFORWARDROW row = RowOf(record, platform::MIB_IPPROTO_NETMGMT);
    const DWORD rc = table.DeleteIpForwardEntry(&row);
    LogFailure("ApiDeleteRoute", record, rc);
    return rc;
}

DWORD AddedRouteProtocol(const RouteRecord& record, const std::vector<platform::AdapterInfo>& adapters) {
    if (record.type != platform::MIB_IPROUTE_TYPE_DIRECT || record.metric != 0 || record.mask == 0)
        return platform::MIB_IPPROTO_NETMGMT;
    for (const auto& a : adapters) {
        if (a.index != record.ifIndex) continue;
        for (const auto& x : a.addresses) {
            // Only the kernel makes this route while the address is there; a static one like it
            // could not be added beside it.
            if (x.address == record.nextHop && x.mask == record.mask &&
                (x.address & x.mask) == record.destination)
                return platform::MIB_IPPROTO_LOCAL;
        }
    }
    return platform::MIB_IPPROTO_NETMGMT;
}

DWORD ApiSetRoute(platform::RouteTable& table, const RouteRecord& record) {
    const MIB_IPFORWARDROW row = RowOf(record, 0);
    const DWORD rc = table.SetIpForwardEntry(&row);
    LogFailure("ApiSetRoute", record, rc);
    return rc;
}

}  // namespace service
