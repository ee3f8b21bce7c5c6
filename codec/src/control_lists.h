// Lists inside control messages: route lists (u32 count, entries of three u32), address pairs and
// their wire forms. Counts from the wire are checked against the bytes that remain before any
// entry is touched or any memory is allocated for it.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "wendrel/ssr_control.h"
#include "wire.h"

namespace wendrel {

constexpr std::size_t kRouteEntryBytes = 12;
constexpr std::size_t kPairBytes = 8;

inline std::uint64_t RouteListBytes(const SSR_ROUTE_LIST* routes) {
    return 4 + std::uint64_t{routes != nullptr ? routes->count : 0u} * kRouteEntryBytes;
}

inline void WriteRouteList(WireWriter& w, const SSR_ROUTE_LIST* routes) {
    const std::uint32_t n = routes != nullptr ? routes->count : 0;
    w.U32(n);
    for (std::uint32_t i = 0; i < n; ++i) {
        w.U32(routes->routes[i].destination);
        w.U32(routes->routes[i].mask);
        w.U32(routes->routes[i].next_hop);
    }
}

// A wire route list: *out points at its count; the entries must all be present.
inline bool SkipRouteList(WireReader& r, const void** out) {
    const std::uint8_t* start = r.Here();
    std::uint32_t n = 0;
    if (!r.U32(&n) || std::uint64_t{n} * kRouteEntryBytes > r.Remaining()) return false;
    r.Skip(std::size_t{n} * kRouteEntryBytes);
    *out = start;
    return r.Ok();
}

// A host-order copy of a wire route list, allocated with malloc (16 bytes when empty).
// Returns SSR_SUCCESS, SSR_ERROR_INCOMPLETE or SSR_ERROR_NO_MEMORY.
inline int CopyRouteList(WireReader& r, SSR_ROUTE_LIST** out) {
    std::uint32_t n = 0;
    if (!r.U32(&n) || std::uint64_t{n} * kRouteEntryBytes > r.Remaining()) return SSR_ERROR_INCOMPLETE;
    const std::size_t entries = n > 0 ? n : 1;
    auto* list =
        static_cast<SSR_ROUTE_LIST*>(std::calloc(1, sizeof(std::uint32_t) + entries * sizeof(SSR_ROUTE)));
    if (list == nullptr) return SSR_ERROR_NO_MEMORY;
    list->count = n;
    for (std::uint32_t i = 0; i < n; ++i) {
        r.U32(&list->routes[i].destination);
        r.U32(&list->routes[i].mask);
        r.U32(&list->routes[i].next_hop);
    }
    *out = list;
    return SSR_SUCCESS;
}

inline std::uint64_t PairListBytes(const SSR_PAIR_LIST* pairs, std::size_t countBytes) {
    return countBytes + std::uint64_t{pairs != nullptr ? pairs->count : 0u} * kPairBytes;
}

inline void WritePairs(WireWriter& w, const SSR_PAIR_LIST* pairs) {
    const std::uint32_t n = pairs != nullptr ? pairs->count : 0;
    for (std::uint32_t i = 0; i < n; ++i) {
        w.U32(pairs->pairs[i].address);
        w.U32(pairs->pairs[i].value);
    }
}

// Checks that `count` pairs follow; the reader steps over them.
inline bool SkipPairs(WireReader& r, std::uint64_t count) {
    if (count * kPairBytes > r.Remaining()) return r.Skip(r.Remaining() + 1);
    return r.Skip(static_cast<std::size_t>(count * kPairBytes));
}

}  // namespace wendrel
