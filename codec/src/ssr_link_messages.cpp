// Client logon and link setup messages between gateway and server (codes 0-5): fixed name fields
// followed by values, a route list or an error text.
#include <cstdlib>
#include <initializer_list>

#include "control_lists.h"
#include "wendrel/ssr_control.h"
#include "wire.h"

using namespace wendrel;

namespace {

constexpr std::size_t kName32 = 32;
constexpr std::size_t kName64 = 64;
constexpr std::size_t kText32 = 32;

// Request: name field, then a 32-byte text field.
int BuildRequest(void* buf, short* size, std::uint8_t code, std::size_t nameWidth, const char* name,
                 const char* text) {
    if (size == nullptr) return SSR_ERROR_INVALID_ARGUMENT;
    const bool valid = FitsField(name, nameWidth) && FitsField(text, kText32);
    const int rc = BeginControl(buf, size, nameWidth + kText32, code, valid);
    if (rc != SSR_SUCCESS) return rc;
    WireWriter w(buf, static_cast<std::size_t>(*size));
    w.Field(name, nameWidth);
    w.Field(text, kText32);
    return EndMessage(w);
}

int ParseRequest(const void* msg, short* size, std::size_t nameWidth, const char** name, const char** text) {
    if (msg == nullptr || size == nullptr || name == nullptr || text == nullptr)
        return SSR_ERROR_INVALID_ARGUMENT;
    std::size_t end = 0;
    if (const int rc = BeginExtract(msg, size, &end); rc != SSR_SUCCESS) return rc;
    WireReader r(msg, end);
    const char* n = nullptr;
    const char* t = nullptr;
    if (!r.Field(nameWidth, &n) || !r.Field(kText32, &t)) return SSR_ERROR_INCOMPLETE;
    *name = n;
    *text = t;
    return SSR_SUCCESS;
}

// Nak: name field, u32 error, text (required).
int BuildNak(void* buf, short* size, std::uint8_t code, std::size_t nameWidth, const char* name,
             std::uint32_t error, const char* text) {
    if (size == nullptr) return SSR_ERROR_INVALID_ARGUMENT;
    const bool valid = text != nullptr && FitsField(name, nameWidth);
    const int rc = BeginControl(buf, size, nameWidth + 4 + TextBytes(text), code, valid);
    if (rc != SSR_SUCCESS) return rc;
    WireWriter w(buf, static_cast<std::size_t>(*size));
    w.Field(name, nameWidth);
    w.U32(error);
    w.Text(text);
    return EndMessage(w);
}

int ParseNak(const void* msg, short* size, std::size_t nameWidth, const char** name, std::uint32_t* error,
             const char** text) {
    if (msg == nullptr || size == nullptr || name == nullptr || error == nullptr || text == nullptr)
        return SSR_ERROR_INVALID_ARGUMENT;
    std::size_t end = 0;
    if (const int rc = BeginExtract(msg, size, &end); rc != SSR_SUCCESS) return rc;
    WireReader r(msg, end);
    const char* n = nullptr;
    std::uint32_t e = 0;
    const char* t = nullptr;
    if (!r.Field(nameWidth, &n) || !r.U32(&e) || !r.Text(&t)) return SSR_ERROR_INCOMPLETE;
    *name = n;
    *error = e;
    *text = t;
    return SSR_SUCCESS;
}

}  // namespace

extern "C" {

SSR_API int ssr_ConstructClientLogonRequest(void* buf, short* size, const char* name, const char* text) {
    return BuildRequest(buf, size, SSR_CODE_MNG_CLIENT_LOGON_REQUEST, kName32, name, text);
}

SSR_API int ssr_ExtractClientLogonRequest(const void* msg, short* size, const char** name,
                                          const char** text) {
    return ParseRequest(msg, size, kName32, name, text);
}

SSR_API int ssr_ConstructClientLogonAck(void* buf, short* size, const char* name, uint32_t virtual_ip,
                                        uint32_t netmask, uint32_t dns1, uint32_t dns2, uint32_t wins1,
                                        uint32_t wins2, const SSR_ROUTE_LIST* routes) {
    if (size == nullptr) return SSR_ERROR_INVALID_ARGUMENT;
    const int rc = BeginControl(buf, size, kName32 + 24 + RouteListBytes(routes),
                                SSR_CODE_MNG_CLIENT_LOGON_ACK, FitsField(name, kName32));
    if (rc != SSR_SUCCESS) return rc;
    WireWriter w(buf, static_cast<std::size_t>(*size));
    w.Field(name, kName32);
    for (const std::uint32_t v : {virtual_ip, netmask, dns1, dns2, wins1, wins2}) w.U32(v);
    WriteRouteList(w, routes);
    return EndMessage(w);
}

SSR_API int ssr_ExtractClientLogonAck(const void* msg, short* size, const char** name, uint32_t* virtual_ip,
                                      uint32_t* netmask, uint32_t* dns1, uint32_t* dns2, uint32_t* wins1,
                                      uint32_t* wins2, SSR_ROUTE_LIST** routes) {
    if (msg == nullptr || size == nullptr || name == nullptr || virtual_ip == nullptr || netmask == nullptr ||
        dns1 == nullptr || dns2 == nullptr || wins1 == nullptr || wins2 == nullptr || routes == nullptr)
        return SSR_ERROR_INVALID_ARGUMENT;
    std::size_t end = 0;
    if (const int rc = BeginExtract(msg, size, &end); rc != SSR_SUCCESS) return rc;
    WireReader r(msg, end);
    const char* n = nullptr;
    std::uint32_t v[6] = {};
    if (!r.Field(kName32, &n)) return SSR_ERROR_INCOMPLETE;
    for (std::uint32_t& value : v) {
        if (!r.U32(&value)) return SSR_ERROR_INCOMPLETE;
    }
    SSR_ROUTE_LIST* list = nullptr;
    if (const int rc = CopyRouteList(r, &list); rc != SSR_SUCCESS) return rc;
    *name = n;
    *virtual_ip = v[0];
    *netmask = v[1];
    *dns1 = v[2];
    *dns2 = v[3];
    *wins1 = v[4];
    *wins2 = v[5];
    *routes = list;
    return SSR_SUCCESS;
}

SSR_API int ssr_ConstructClientLogonNak(void* buf, short* size, const char* name, uint32_t error,
                                        const char* text) {
    return BuildNak(buf, size, SSR_CODE_MNG_CLIENT_LOGON_NAK, kName32, name, error, text);
}

SSR_API int ssr_ExtractClientLogonNak(const void* msg, short* size, const char** name, uint32_t* error,
                                      const char** text) {
    return ParseNak(msg, size, kName32, name, error, text);
}

SSR_API int ssr_ConstructLinkSetupRequest(void* buf, short* size, const char* name, const char* text) {
    return BuildRequest(buf, size, SSR_CODE_MNG_LINK_SETUP_REQUEST, kName64, name, text);
}

SSR_API int ssr_ExtractLinkSetupRequest(const void* msg, short* size, const char** name, const char** text) {
    return ParseRequest(msg, size, kName64, name, text);
}

SSR_API int ssr_ConstructLinkSetupAck(void* buf, short* size, const char* name, uint32_t virtual_ip,
                                      uint32_t netmask, const SSR_ROUTE_LIST* routes) {
    if (size == nullptr) return SSR_ERROR_INVALID_ARGUMENT;
    const int rc = BeginControl(buf, size, kName64 + 8 + RouteListBytes(routes), SSR_CODE_MNG_LINK_SETUP_ACK,
                                FitsField(name, kName64));
    if (rc != SSR_SUCCESS) return rc;
    WireWriter w(buf, static_cast<std::size_t>(*size));
    w.Field(name, kName64);
    w.U32(virtual_ip);
    w.U32(netmask);
    WriteRouteList(w, routes);
    return EndMessage(w);
}

SSR_API int ssr_ExtractLinkSetupAck(const void* msg, short* size, const char** name, uint32_t* virtual_ip,
                                    uint32_t* netmask, SSR_ROUTE_LIST** routes) {
    if (msg == nullptr || size == nullptr || name == nullptr || virtual_ip == nullptr || netmask == nullptr ||
        routes == nullptr)
        return SSR_ERROR_INVALID_ARGUMENT;
    std::size_t end = 0;
    if (const int rc = BeginExtract(msg, size, &end); rc != SSR_SUCCESS) return rc;
    WireReader r(msg, end);
    const char* n = nullptr;
    std::uint32_t ip = 0, mask = 0;
    if (!r.Field(kName64, &n) || !r.U32(&ip) || !r.U32(&mask)) return SSR_ERROR_INCOMPLETE;
    SSR_ROUTE_LIST* list = nullptr;
    if (const int rc = CopyRouteList(r, &list); rc != SSR_SUCCESS) return rc;
    *name = n;
    *virtual_ip = ip;
    *netmask = mask;
    *routes = list;
    return SSR_SUCCESS;
}

SSR_API int ssr_ConstructLinkSetupNak(void* buf, short* size, const char* name, uint32_t error,
                                      const char* text) {
    return BuildNak(buf, size, SSR_CODE_MNG_LINK_SETUP_NAK, kName64, name, error, text);
}

SSR_API int ssr_ExtractLinkSetupNak(const void* msg, short* size, const char** name, uint32_t* error,
                                    const char** text) {
    return ParseNak(msg, size, kName64, name, error, text);
}

}  // extern "C"
