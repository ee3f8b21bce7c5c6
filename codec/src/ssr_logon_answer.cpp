// The server's logon-accepted answer (code 21 when built here; the gateway sends the same body
// with code 163): session, addresses, routes, gateways with their tickets, policy texts and the
// optional certificate text. Every count in it is checked against the payload before use.
#include <cstring>
#include <initializer_list>

#include "control_lists.h"
#include "wendrel/ssr_control.h"
#include "wire.h"

using namespace wendrel;

namespace {

constexpr std::size_t kSkipped = 8;
constexpr std::size_t kMaxCertText = 255;

std::uint64_t GatewayListBytes(const SSR_GATEWAY_LIST* gateways) {
    std::uint64_t bytes = 2;
    const std::uint32_t m = gateways != nullptr ? gateways->count : 0;
    for (std::uint32_t i = 0; i < m && bytes <= kMaxPayload; ++i)
        bytes += 6 + gateways->gateways[i].ticket_length;
    return bytes;
}

bool GatewayListUsable(const SSR_GATEWAY_LIST* gateways) {
    if (gateways == nullptr) return true;
    if (gateways->count > 0xFFFF) return false;
    for (std::uint32_t i = 0; i < gateways->count; ++i) {
        const SSR_GATEWAY_ENTRY& g = gateways->gateways[i];
        if (g.ticket == nullptr && g.ticket_length != 0) return false;
    }
    return true;
}

void WriteGatewayList(WireWriter& w, const SSR_GATEWAY_LIST* gateways) {
    const std::uint32_t m = gateways != nullptr ? gateways->count : 0;
    w.U16(static_cast<std::uint16_t>(m));
    for (std::uint32_t i = 0; i < m; ++i) {
        const SSR_GATEWAY_ENTRY& g = gateways->gateways[i];
        w.U32(g.address);
        w.U16(g.ticket_length);
        w.Bytes(g.ticket, g.ticket_length);
    }
}

// u16 m and m entries {u32 address, u16 k, k bytes}; *out points at the count.
bool SkipGatewayList(WireReader& r, const void** out) {
    const std::uint8_t* start = r.Here();
    std::uint16_t m = 0;
    if (!r.U16(&m)) return false;
    for (std::uint16_t i = 0; i < m; ++i) {
        std::uint32_t address = 0;
        std::uint16_t k = 0;
        if (!r.U32(&address) || !r.U16(&k) || !r.Skip(k)) return false;
    }
    *out = start;
    return true;
}

struct LogonAnswer {
    std::uint32_t sessionId = 0;
    std::uint16_t nameLength = 0;
    const char* name = nullptr;
    std::uint32_t addresses[6] = {};
    const void* routes = nullptr;
    const void* gateways = nullptr;
    std::uint8_t selector = 0;
    const char* text1 = nullptr;
    const char* text2 = nullptr;
    std::uint8_t flag = 0;
    std::uint8_t certLength = 0;
    const char* cert = nullptr;
};

bool ReadLogonAnswer(WireReader& r, LogonAnswer& a) {
    if (!r.U32(&a.sessionId) || !r.U16(&a.nameLength) || !r.CountedText(a.nameLength, &a.name)) return false;
    for (std::uint32_t& v : a.addresses) {
        if (!r.U32(&v)) return false;
    }
    if (!r.Skip(kSkipped) || !SkipRouteList(r, &a.routes) || !SkipGatewayList(r, &a.gateways) ||
        !r.U8(&a.selector) || !r.Text(&a.text1) || !r.Text(&a.text2) || !r.U8(&a.flag))
        return false;
    // The certificate text is optional: taken only when it ends inside the payload and fits a u8 length.
    const std::size_t rest = r.Remaining();
    if (rest > 0) {
        const void* nul = std::memchr(r.Here(), 0, rest);
        if (nul != nullptr) {
            const auto length = static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - r.Here());
            if (length <= kMaxCertText) {
                a.cert = reinterpret_cast<const char*>(r.Here());
                a.certLength = static_cast<std::uint8_t>(length);
            }
        }
    }
    return true;
}

}  // namespace

extern "C" {

SSR_API int ssr_ConstructSvrCltLogonAck(void* buf, short* size, uint32_t session_id, const char* name,
                                        uint32_t virtual_ip, uint32_t netmask, uint32_t dns1, uint32_t dns2,
                                        uint32_t wins1, uint32_t wins2, const SSR_ROUTE_LIST* routes,
                                        const SSR_GATEWAY_LIST* gateways, uint8_t cipher_selector,
                                        const char* text1, const char* text2, uint8_t register_flag) {
    if (size == nullptr) return SSR_ERROR_INVALID_ARGUMENT;
    const std::uint64_t payload = 4 + 2 + TextBytes(name) + 24 + kSkipped + RouteListBytes(routes) +
                                  GatewayListBytes(gateways) + 1 + TextBytes(text1) + TextBytes(text2) + 1;
    const int rc =
        BeginControl(buf, size, payload, SSR_CODE_MNG_SVR_CLT_LOGON_ACK, GatewayListUsable(gateways));
    if (rc != SSR_SUCCESS) return rc;
    WireWriter w(buf, static_cast<std::size_t>(*size));
    w.U32(session_id);
    w.U16(static_cast<std::uint16_t>(TextBytes(name)));
    w.Text(name);
    for (const std::uint32_t v : {virtual_ip, netmask, dns1, dns2, wins1, wins2}) w.U32(v);
    w.Zero(kSkipped);
    WriteRouteList(w, routes);
    WriteGatewayList(w, gateways);
    w.U8(cipher_selector);
    w.Text(text1);
    w.Text(text2);
    w.U8(register_flag);
    return EndMessage(w);
}

SSR_API int ssr_ExtractSvrCltLogonAck(const void* msg, short* size, uint32_t* session_id,
                                      uint16_t* name_length, const char** name, uint32_t* virtual_ip,
                                      uint32_t* netmask, uint32_t* dns1, uint32_t* dns2, uint32_t* wins1,
                                      uint32_t* wins2, const void** routes, const void** gateways,
                                      uint8_t* cipher_selector, const char** text1, const char** text2,
                                      uint8_t* register_flag, uint8_t* cert_length, const char** cert) {
    if (msg == nullptr || size == nullptr || session_id == nullptr || name_length == nullptr ||
        name == nullptr || virtual_ip == nullptr || netmask == nullptr || dns1 == nullptr ||
        dns2 == nullptr || wins1 == nullptr || wins2 == nullptr || routes == nullptr || gateways == nullptr ||
        cipher_selector == nullptr || text1 == nullptr || text2 == nullptr || register_flag == nullptr ||
        cert_length == nullptr || cert == nullptr)
        return SSR_ERROR_INVALID_ARGUMENT;
    std::size_t end = 0;
    if (const int rc = BeginExtract(msg, size, &end); rc != SSR_SUCCESS) return rc;
    WireReader r(msg, end);
    LogonAnswer a;
    if (!ReadLogonAnswer(r, a)) return SSR_ERROR_INCOMPLETE;
    *session_id = a.sessionId;
    *name_length = a.nameLength;
    *name = a.name;
    *virtual_ip = a.addresses[0];
    *netmask = a.addresses[1];
    *dns1 = a.addresses[2];
    *dns2 = a.addresses[3];
    *wins1 = a.addresses[4];
    *wins2 = a.addresses[5];
    *routes = a.routes;
    *gateways = a.gateways;
    *cipher_selector = a.selector;
    *text1 = a.text1;
    *text2 = a.text2;
    *register_flag = a.flag;
    *cert_length = a.certLength;
    *cert = a.cert;
    return SSR_SUCCESS;
}

}  // extern "C"
