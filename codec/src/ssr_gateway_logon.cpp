// Gateway logon towards the server and its answers (codes 6-10).
#include "control_lists.h"
#include "wendrel/ssr_control.h"
#include "wire.h"

using namespace wendrel;

namespace {

constexpr std::size_t kName32 = 32;
constexpr std::size_t kText128 = 128;
constexpr std::size_t kGwLogonRequestPayload = kName32 + kName32 + 4 + kText128;  // 196

}  // namespace

extern "C" {

SSR_API int ssr_ConstructGWLogonRequest(void* buf, short* size, const char* name, const char* peer_name,
                                        uint32_t value, const char* text) {
    if (size == nullptr) return SSR_ERROR_INVALID_ARGUMENT;
    const bool valid = FitsField(name, kName32) && FitsField(peer_name, kName32) && FitsField(text, kText128);
    const int rc = BeginControl(buf, size, kGwLogonRequestPayload, SSR_CODE_MNG_GW_LOGON_REQUEST, valid);
    if (rc != SSR_SUCCESS) return rc;
    WireWriter w(buf, static_cast<std::size_t>(*size));
    w.Field(name, kName32);
    w.Field(peer_name, kName32);
    w.U32(value);
    w.Field(text, kText128);
    return EndMessage(w);
}

SSR_API int ssr_ExtractGWLogonRequest(const void* msg, short* size, const char** name, const char** peer_name,
                                      uint32_t* value, const char** text) {
    if (msg == nullptr || size == nullptr || name == nullptr || peer_name == nullptr || value == nullptr ||
        text == nullptr)
        return SSR_ERROR_INVALID_ARGUMENT;
    std::size_t end = 0;
    if (const int rc = BeginExtract(msg, size, &end); rc != SSR_SUCCESS) return rc;
    WireReader r(msg, end);
    const char* n = nullptr;
    const char* p = nullptr;
    std::uint32_t v = 0;
    const char* t = nullptr;
    if (!r.Field(kName32, &n) || !r.Field(kName32, &p) || !r.U32(&v)) return SSR_ERROR_INCOMPLETE;
    // Older senders stop after the value; the text counts only in a message of the full size.
    if (end - SSR_HEADER_SIZE == kGwLogonRequestPayload && !r.Field(kText128, &t))
        return SSR_ERROR_INCOMPLETE;
    *name = n;
    *peer_name = p;
    *value = v;
    *text = t;
    return SSR_SUCCESS;
}

SSR_API int ssr_ConstructGWLogonAck(void* buf, short* size, uint32_t value, uint16_t flags,
                                    uint16_t data_length, const void* data, const SSR_ROUTE_LIST* routes,
                                    const SSR_PAIR_LIST* pairs) {
    if (size == nullptr) return SSR_ERROR_INVALID_ARGUMENT;
    const std::uint64_t payload = 8 + std::uint64_t{data_length} + RouteListBytes(routes) +
                                  (pairs != nullptr ? PairListBytes(pairs, 2) : 0);
    const bool valid = (data != nullptr || data_length == 0) && (pairs == nullptr || pairs->count <= 0xFFFF);
    const int rc = BeginControl(buf, size, payload, SSR_CODE_MNG_GW_LOGON_ACK, valid);
    if (rc != SSR_SUCCESS) return rc;
    WireWriter w(buf, static_cast<std::size_t>(*size));
    w.U32(value);
    w.U16(flags);
    w.U16(data_length);
    w.Bytes(data, data_length);
    WriteRouteList(w, routes);
    if (pairs != nullptr) {
        w.U16(static_cast<std::uint16_t>(pairs->count));
        WritePairs(w, pairs);
    }
    return EndMessage(w);
}

SSR_API int ssr_ExtractGWLogonAck(const void* msg, short* size, uint32_t* value, uint16_t* flags,
                                  uint16_t* data_length, const void** data, const void** routes,
                                  const void** pairs) {
    if (msg == nullptr || size == nullptr || value == nullptr || flags == nullptr || data_length == nullptr ||
        data == nullptr || routes == nullptr || pairs == nullptr)
        return SSR_ERROR_INVALID_ARGUMENT;
    std::size_t end = 0;
    if (const int rc = BeginExtract(msg, size, &end); rc != SSR_SUCCESS) return rc;
    WireReader r(msg, end);
    std::uint32_t v = 0;
    std::uint16_t f = 0, k = 0;
    const void* d = nullptr;
    const void* list = nullptr;
    const void* second = nullptr;
    if (!r.U32(&v) || !r.U16(&f) || !r.U16(&k) || !r.Bytes(k, &d) || !SkipRouteList(r, &list))
        return SSR_ERROR_INCOMPLETE;
    if (r.Remaining() > 0) {
        second = r.Here();
        std::uint16_t m = 0;
        if (!r.U16(&m) || !SkipPairs(r, m)) return SSR_ERROR_INCOMPLETE;
    }
    *value = v;
    *flags = f;
    *data_length = k;
    *data = d;
    *routes = list;
    *pairs = second;
    return SSR_SUCCESS;
}

SSR_API int ssr_ConstructGWLogonNak(void* buf, short* size, uint32_t error, const char* text) {
    if (size == nullptr) return SSR_ERROR_INVALID_ARGUMENT;
    const int rc = BeginControl(buf, size, 4 + TextBytes(text), SSR_CODE_MNG_GW_LOGON_NAK, text != nullptr);
    if (rc != SSR_SUCCESS) return rc;
    WireWriter w(buf, static_cast<std::size_t>(*size));
    w.U32(error);
    w.Text(text);
    return EndMessage(w);
}

SSR_API int ssr_ExtractGWLogonNak(const void* msg, short* size, uint32_t* error, const char** text) {
    if (msg == nullptr || size == nullptr || error == nullptr || text == nullptr)
        return SSR_ERROR_INVALID_ARGUMENT;
    std::size_t end = 0;
    if (const int rc = BeginExtract(msg, size, &end); rc != SSR_SUCCESS) return rc;
    WireReader r(msg, end);
    std::uint32_t e = 0;
    const char* t = nullptr;
    if (!r.U32(&e) || !r.Text(&t)) return SSR_ERROR_INCOMPLETE;
    *error = e;
    *text = t;
    return SSR_SUCCESS;
}

SSR_API int ssr_ConstructGWLogoffNotification(void* buf, short* size) {
    if (size == nullptr) return SSR_ERROR_INVALID_ARGUMENT;
    return BeginControl(buf, size, 0, SSR_CODE_MNG_GW_LOGOFF_NOTIFICATION);
}

SSR_API int ssr_ConstructGWReport(void* buf, short* size, uint32_t value) {
    if (size == nullptr) return SSR_ERROR_INVALID_ARGUMENT;
    const int rc = BeginControl(buf, size, 4, SSR_CODE_MNG_GW_REPORT);
    if (rc != SSR_SUCCESS) return rc;
    WireWriter w(buf, static_cast<std::size_t>(*size));
    w.U32(value);
    return EndMessage(w);
}

SSR_API int ssr_ExtractGWReport(const void* msg, short* size, uint32_t* value) {
    if (msg == nullptr || size == nullptr || value == nullptr) return SSR_ERROR_INVALID_ARGUMENT;
    std::size_t end = 0;
    if (const int rc = BeginExtract(msg, size, &end); rc != SSR_SUCCESS) return rc;
    WireReader r(msg, end);
    std::uint32_t v = 0;
    if (!r.U32(&v)) return SSR_ERROR_INCOMPLETE;
    *value = v;
    return SSR_SUCCESS;
}

}  // extern "C"
