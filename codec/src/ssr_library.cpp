// Library marker and the header parser.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>

#include "wendrel/ssr_codec.h"

// Layouts that callers and the wire rely on.
static_assert(sizeof(SSR_HEADER) == SSR_HEADER_SIZE);
static_assert(sizeof(SSR_ROUTE) == 12 && sizeof(SSR_ADDRESS_PAIR) == 8);
static_assert(sizeof(SSR_ROUTE_LIST) == 16, "an empty route list copy is 16 bytes");
static_assert(offsetof(SSR_ROUTE_LIST, routes) == 4 && offsetof(SSR_PAIR_LIST, pairs) == 4);

namespace {

// The one piece of library state: a heap word holding 1 while the library is initialised.
std::mutex g_markerLock;
int* g_marker = nullptr;

}  // namespace

extern "C" {

SSR_API int ssr_Initialize(void) {
    try {
        std::lock_guard<std::mutex> lock(g_markerLock);
        if (g_marker != nullptr) return SSR_SUCCESS;
        g_marker = new (std::nothrow) int(1);
        return g_marker != nullptr ? SSR_SUCCESS : SSR_ERROR_NO_MEMORY;
    } catch (...) {
        return SSR_ERROR_NO_MEMORY;
    }
}

SSR_API int ssr_Terminate(void) {
    try {
        std::lock_guard<std::mutex> lock(g_markerLock);
        if (g_marker == nullptr) return SSR_ERROR_NOT_INITIALIZED;
        delete g_marker;
        g_marker = nullptr;
        return SSR_SUCCESS;
    } catch (...) {
        return SSR_ERROR_NOT_INITIALIZED;
    }
}

SSR_API int ssr_ExtractPacketHeader(const void* msg, unsigned available, SSR_HEADER* out) {
    if (msg == nullptr || out == nullptr) return SSR_ERROR_INVALID_ARGUMENT;
    if (available < SSR_HEADER_SIZE) return SSR_ERROR_HEADER_TOO_SHORT;
    std::memcpy(out, msg, SSR_HEADER_SIZE);
    if (out->version != SSR_VERSION) return SSR_ERROR_BAD_VERSION;
    if (out->type > SSR_TYPE_MNG) return SSR_ERROR_BAD_TYPE;
    if (out->type == SSR_TYPE_DATA && out->code > SSR_CODE_DATA_ZLIB_COMPRESS_IP_PACKET)
        return SSR_ERROR_BAD_DATA_CODE;
    const auto* p = static_cast<const std::uint8_t*>(msg);
    out->payload_size = static_cast<std::uint16_t>((p[2] << 8) | p[3]);
    // 64-bit sum: an announced payload near 65,535 must not wrap the comparison.
    if (std::uint64_t{available} < std::uint64_t{out->payload_size} + SSR_HEADER_SIZE)
        return SSR_ERROR_INCOMPLETE;
    return SSR_SUCCESS;
}

}  // extern "C"
