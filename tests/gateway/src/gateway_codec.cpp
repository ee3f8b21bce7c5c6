// Gateway-side messages, read and written with the codec's bounded wire reader and writer so
// that no field is read or written outside the message.
#include "gateway/gateway_codec.h"

#include <climits>
#include <cstring>

#include "wendrel/ssr_control.h"
#include "wire.h"

using wendrel::WireReader;
using wendrel::WireWriter;

namespace qelgw {

namespace {

// Header checks shared by the parsers: a whole control message with one of `codes`.
int BeginParse(const void* msg, std::size_t available, std::initializer_list<std::uint8_t> codes,
               std::size_t* end) {
    if (msg == nullptr || end == nullptr) return SSR_ERROR_INVALID_ARGUMENT;
    SSR_HEADER h{};
    const unsigned bounded =
        available > kMaxMessage ? static_cast<unsigned>(kMaxMessage) : static_cast<unsigned>(available);
    if (const int rc = ssr_ExtractPacketHeader(msg, bounded, &h); rc != SSR_SUCCESS) return rc;
    if (h.type != SSR_TYPE_MNG) return SSR_ERROR_INVALID_ARGUMENT;
    bool known = false;
    for (std::uint8_t c : codes) known |= h.code == c;
    if (!known) return SSR_ERROR_INVALID_ARGUMENT;
    *end = std::size_t{h.payload_size} + SSR_HEADER_SIZE;
    return SSR_SUCCESS;
}

// Exactly `length` bytes of text followed by its NUL, none inside.
bool SizedText(WireReader& r, std::size_t length, std::string_view* out) {
    const void* bytes = nullptr;
    if (!r.Bytes(length + 1, &bytes)) return false;
    const auto* p = static_cast<const char*>(bytes);
    if (p[length] != '\0' || std::memchr(p, 0, length) != nullptr) return false;
    *out = std::string_view(p, length);
    return true;
}

bool Text(WireReader& r, std::string_view* out) {
    const char* t = nullptr;
    if (!r.Text(&t)) return false;
    *out = t;
    return true;
}

// Starts a control message of `payload` bytes in `out` (zeroed, header written).
bool Begin(std::vector<std::uint8_t>* out, std::size_t payload, std::uint8_t code) {
    if (payload > 0xFFFF) return false;
    const std::size_t total = payload + SSR_HEADER_SIZE;
    out->assign(total, 0);
    (*out)[0] = static_cast<std::uint8_t>((SSR_TYPE_MNG << 4) | SSR_VERSION);
    (*out)[1] = code;
    (*out)[2] = static_cast<std::uint8_t>(payload >> 8);
    (*out)[3] = static_cast<std::uint8_t>(payload);
    return true;
}

int BuildAcceptedBody(std::uint8_t code, const LogonAnswer& a, std::vector<std::uint8_t>* out) {
    if (a.certText.size() > 255 || a.certText.find('\0') != std::string::npos)
        return SSR_ERROR_INVALID_ARGUMENT;
    std::vector<std::uint8_t> routeBytes(sizeof(SSR_ROUTE_LIST) + a.routes.size() * sizeof(SSR_ROUTE));
    auto* routes = reinterpret_cast<SSR_ROUTE_LIST*>(routeBytes.data());
    routes->count = static_cast<std::uint32_t>(a.routes.size());
    for (std::size_t i = 0; i < a.routes.size(); ++i)
        routes->routes[i] = SSR_ROUTE{a.routes[i].destination, a.routes[i].mask, a.routes[i].nextHop};
    std::vector<std::uint8_t> gatewayBytes(sizeof(SSR_GATEWAY_LIST) +
                                           a.gateways.size() * sizeof(SSR_GATEWAY_ENTRY));
    auto* gateways = reinterpret_cast<SSR_GATEWAY_LIST*>(gatewayBytes.data());
    gateways->count = static_cast<std::uint32_t>(a.gateways.size());
    for (std::size_t i = 0; i < a.gateways.size(); ++i) {
        if (a.gateways[i].ticket.size() > 0xFFFF) return SSR_ERROR_INVALID_ARGUMENT;
        gateways->gateways[i] =
            SSR_GATEWAY_ENTRY{a.gateways[i].address, static_cast<std::uint16_t>(a.gateways[i].ticket.size()),
                              a.gateways[i].ticket.data()};
    }
    short size = 0;
    auto build = [&](void* buf) {
        return ssr_ConstructSvrCltLogonAck(
            buf, &size, a.sessionId, a.name.c_str(), a.virtualIp, a.netmask, a.dns1, a.dns2, a.wins1, a.wins2,
            routes, gateways, a.cipherSelector, a.text1.c_str(), a.policy.c_str(), a.registerFlag);
    };
    if (const int rc = build(nullptr); rc != SSR_BUFFER_TOO_SMALL) return rc;
    if (size <= 0 || size == SHRT_MAX) return SSR_BUFFER_TOO_SMALL;
    const std::size_t body = static_cast<std::size_t>(size);
    const std::size_t cert = a.certText.empty() ? 0 : a.certText.size() + 1;
    if (body + cert > kMaxMessage) return SSR_BUFFER_TOO_SMALL;
    out->assign(body + cert, 0);
    if (const int rc = build(out->data()); rc != SSR_SUCCESS) {
        out->clear();
        return rc;
    }
    std::memcpy(out->data() + body, a.certText.data(), a.certText.size());
    const std::size_t payload = out->size() - SSR_HEADER_SIZE;
    (*out)[1] = code;
    (*out)[2] = static_cast<std::uint8_t>(payload >> 8);
    (*out)[3] = static_cast<std::uint8_t>(payload);
    return SSR_SUCCESS;
}

}  // namespace

int ParseLogonRequest(const void* msg, std::size_t available, LogonRequest* out) {
    std::size_t end = 0;
    if (out == nullptr) return SSR_ERROR_INVALID_ARGUMENT;
    const int rc = BeginParse(msg, available,
                              {SSR_CODE_MNG_CLT_SVR_LOGON_REQUEST3, SSR_CODE_MNG_CLT_SVR_LOGON_REQUEST2,
                               SSR_CODE_MNG_CLT_SVR_LOGON_HARD_REQUEST},
                              &end);
    if (rc != SSR_SUCCESS) return rc;
    WireReader r(msg, end);
    LogonRequest q;
    q.code = static_cast<const std::uint8_t*>(msg)[1];
    std::uint16_t userLength = 0, passwordLength = 0;
    const char* hardware = nullptr;
    if (!r.U16(&userLength) || !r.U16(&passwordLength) || !r.Skip(12) || !r.U32(&q.sessionId) ||
        !r.U32(&q.updateFlag) || !r.Skip(8))
        return SSR_ERROR_INCOMPLETE;
    // The two lengths must account for the whole payload, so a text cannot run into its neighbour.
    if (end - SSR_HEADER_SIZE != kLogonRequestFixed + userLength + passwordLength)
        return SSR_ERROR_INCOMPLETE;
    if (!SizedText(r, userLength, &q.user) || !SizedText(r, passwordLength, &q.password) ||
        !r.Field(kHardwareIdField, &hardware))
        return SSR_ERROR_INCOMPLETE;
    q.hardwareId = hardware;
    q.length = end;
    *out = q;
    return SSR_SUCCESS;
}

int ParsePasswordChange(const void* msg, std::size_t available, PasswordChange* out) {
    std::size_t end = 0;
    if (out == nullptr) return SSR_ERROR_INVALID_ARGUMENT;
    if (const int rc = BeginParse(msg, available, {SSR_CODE_MNG_CLT_SVR_RESET_PWD}, &end); rc != SSR_SUCCESS)
        return rc;
    WireReader r(msg, end);
    PasswordChange c;
    const void* id = nullptr;
    if (!Text(r, &c.user) || !Text(r, &c.oldPassword) || !Text(r, &c.newPassword) || r.Remaining() != 4 ||
        !r.Bytes(4, &id))
        return SSR_ERROR_INCOMPLETE;
    const auto* b = static_cast<const std::uint8_t*>(id);
    c.sessionId = std::uint32_t{b[0]} | (std::uint32_t{b[1]} << 8) | (std::uint32_t{b[2]} << 16) |
                  (std::uint32_t{b[3]} << 24);
    c.length = end;
    *out = c;
    return SSR_SUCCESS;
}

int ParseAppAccessRecord(const void* msg, std::size_t available, AppAccessRecord* out) {
    std::size_t end = 0;
    if (out == nullptr) return SSR_ERROR_INVALID_ARGUMENT;
    if (const int rc = BeginParse(msg, available, {SSR_CODE_MNG_GW_LOG_APP}, &end); rc != SSR_SUCCESS)
        return rc;
    // The record has the layout of the user-log message, whose extractor the codec has; its size
    // argument is 16 bits wide, so a longer record is refused rather than cut.
    if (end > SHRT_MAX) return SSR_ERROR_INCOMPLETE;
    short size = static_cast<short>(end);
    std::uint16_t nameLength = 0;
    std::uint32_t textLength = 0;
    const char* name = nullptr;
    const char* text = nullptr;
    AppAccessRecord a;
    const int rc =
        ssr_ExtractGWLogUser(msg, &size, &a.sessionId, &nameLength, &name, &a.time, &textLength, &text);
    if (rc != SSR_SUCCESS) return rc;
    a.user = name;
    a.text = text;
    a.length = end;
    *out = a;
    return SSR_SUCCESS;
}

int BuildLogonAnswer(std::uint8_t code, const LogonAnswer& answer, std::vector<std::uint8_t>* out) {
    if (out == nullptr) return SSR_ERROR_INVALID_ARGUMENT;
    switch (code) {
        case SSR_MNG_GW_CLT_LOGON_RESPON_LOGONOK:
        case SSR_MNG_GW_CLT_LOGON_RESPON_RELOGONOK: return BuildAcceptedBody(code, answer, out);
        case SSR_MNG_GW_CLT_LOGON_RESPON_RELOGON: *out = BuildHeaderOnly(code); return SSR_SUCCESS;
        default: return SSR_ERROR_INVALID_ARGUMENT;
    }
}

int BuildCutLogoff(std::uint32_t error, std::string_view text, std::vector<std::uint8_t>* out) {
    if (out == nullptr || text.find('\0') != std::string_view::npos) return SSR_ERROR_INVALID_ARGUMENT;
    if (!Begin(out, 8 + text.size() + 1, SSR_CODE_MNG_CUT_CLT_LOGOFF)) return SSR_BUFFER_TOO_SMALL;
    WireWriter w(out->data(), out->size());
    w.U32(error);
    w.Zero(4);
    w.Bytes(text.data(), text.size());
    w.Zero(1);
    return wendrel::EndMessage(w);
}

int BuildPasswordChangeAnswer(std::uint32_t error, std::uint32_t value, std::string_view text,
                              std::vector<std::uint8_t>* out) {
    if (out == nullptr || text.find('\0') != std::string_view::npos) return SSR_ERROR_INVALID_ARGUMENT;
    if (!Begin(out, 16 + text.size() + 1, SSR_CODE_MNG_SVR_CLT_RESET_PWD_ACK)) return SSR_BUFFER_TOO_SMALL;
    WireWriter w(out->data(), out->size());
    w.U32(error);
    w.Zero(4);
    w.U32(value);
    w.Zero(4);
    w.Bytes(text.data(), text.size());
    w.Zero(1);
    return wendrel::EndMessage(w);
}

std::vector<std::uint8_t> BuildHeaderOnly(std::uint8_t code) {
    std::vector<std::uint8_t> out;
    Begin(&out, 0, code);
    return out;
}

}  // namespace qelgw
