// Gateway registration, logoff, keep-alive and the server's logon refusal (codes 15-19, 22-24):
// the short messages of the client's online life.
#include "wendrel/ssr_control.h"
#include "wire.h"

using namespace wendrel;

namespace {

int BuildHeaderOnly(void* buf, short* size, std::uint8_t code) {
    if (size == nullptr) return SSR_ERROR_INVALID_ARGUMENT;
    return BeginControl(buf, size, 0, code);
}

int ParseHeaderOnly(const void* msg, short* size) {
    if (msg == nullptr || size == nullptr) return SSR_ERROR_INVALID_ARGUMENT;
    std::size_t end = 0;
    return BeginExtract(msg, size, &end);
}

// u32 error, optional skipped bytes, then a text.
int BuildErrorText(void* buf, short* size, std::uint8_t code, std::size_t gap, std::uint32_t error,
                   const char* text) {
    if (size == nullptr) return SSR_ERROR_INVALID_ARGUMENT;
    const int rc = BeginControl(buf, size, gap + 4 + TextBytes(text), code, text != nullptr);
    if (rc != SSR_SUCCESS) return rc;
    WireWriter w(buf, static_cast<std::size_t>(*size));
    w.Zero(gap);
    w.U32(error);
    w.Text(text);
    return EndMessage(w);
}

int ParseErrorText(const void* msg, short* size, std::size_t gap, std::uint32_t* error, const char** text) {
    if (msg == nullptr || size == nullptr || error == nullptr || text == nullptr)
        return SSR_ERROR_INVALID_ARGUMENT;
    std::size_t end = 0;
    if (const int rc = BeginExtract(msg, size, &end); rc != SSR_SUCCESS) return rc;
    WireReader r(msg, end);
    std::uint32_t e = 0;
    const char* t = nullptr;
    if (!r.Skip(gap) || !r.U32(&e) || !r.Text(&t)) return SSR_ERROR_INCOMPLETE;
    *error = e;
    *text = t;
    return SSR_SUCCESS;
}

}  // namespace

extern "C" {

SSR_API int ssr_ConstructCltRegRequest(void* buf, short* size, uint32_t session_id, const char* user,
                                       uint8_t cipher_selector, uint32_t virtual_ip, uint16_t ticket_length,
                                       const void* ticket) {
    if (size == nullptr) return SSR_ERROR_INVALID_ARGUMENT;
    const std::uint64_t payload = 4 + 2 + TextBytes(user) + 1 + 4 + 2 + std::uint64_t{ticket_length};
    const int rc = BeginControl(buf, size, payload, SSR_CODE_MNG_GW_CLT_REG_REQUEST,
                                ticket != nullptr || ticket_length == 0);
    if (rc != SSR_SUCCESS) return rc;
    WireWriter w(buf, static_cast<std::size_t>(*size));
    w.U32(session_id);
    w.U16(static_cast<std::uint16_t>(TextBytes(user)));
    w.Text(user);
    w.U8(cipher_selector);
    w.U32(virtual_ip);
    w.U16(ticket_length);
    w.Bytes(ticket, ticket_length);
    return EndMessage(w);
}

SSR_API int ssr_ExtractCltRegRequest(const void* msg, short* size, uint32_t* session_id,
                                     uint16_t* user_length, const char** user, uint8_t* cipher_selector,
                                     uint32_t* virtual_ip, uint16_t* ticket_length, const void** ticket) {
    if (msg == nullptr || size == nullptr || session_id == nullptr || user_length == nullptr ||
        user == nullptr || cipher_selector == nullptr || virtual_ip == nullptr || ticket_length == nullptr ||
        ticket == nullptr)
        return SSR_ERROR_INVALID_ARGUMENT;
    std::size_t end = 0;
    if (const int rc = BeginExtract(msg, size, &end); rc != SSR_SUCCESS) return rc;
    WireReader r(msg, end);
    std::uint32_t sid = 0, ip = 0;
    std::uint16_t ul = 0, k = 0;
    std::uint8_t sel = 0;
    const char* u = nullptr;
    const void* t = nullptr;
    if (!r.U32(&sid) || !r.U16(&ul) || !r.CountedText(ul, &u) || !r.U8(&sel) || !r.U32(&ip) || !r.U16(&k) ||
        !r.Bytes(k, &t))
        return SSR_ERROR_INCOMPLETE;
    *session_id = sid;
    *user_length = ul;
    *user = u;
    *cipher_selector = sel;
    *virtual_ip = ip;
    *ticket_length = k;
    *ticket = t;
    return SSR_SUCCESS;
}

SSR_API int ssr_ConstructCltRegisterAck(void* buf, short* size, uint16_t status, uint32_t address,
                                        uint32_t mask) {
    if (size == nullptr) return SSR_ERROR_INVALID_ARGUMENT;
    const int rc = BeginControl(buf, size, 10, SSR_CODE_MNG_GW_CLT_REG_ACK);
    if (rc != SSR_SUCCESS) return rc;
    WireWriter w(buf, static_cast<std::size_t>(*size));
    w.U16(status);
    w.U32(address);
    w.U32(mask);
    return EndMessage(w);
}

SSR_API int ssr_ExtractCltRegisterAck(const void* msg, short* size, uint16_t* status, uint32_t* address,
                                      uint32_t* mask) {
    if (msg == nullptr || size == nullptr || status == nullptr || address == nullptr || mask == nullptr)
        return SSR_ERROR_INVALID_ARGUMENT;
    std::size_t end = 0;
    if (const int rc = BeginExtract(msg, size, &end); rc != SSR_SUCCESS) return rc;
    WireReader r(msg, end);
    std::uint16_t s = 0;
    std::uint32_t a = 0, m = 0;
    if (!r.U16(&s) || !r.U32(&a) || !r.U32(&m)) return SSR_ERROR_INCOMPLETE;
    *status = s;
    *address = a;
    *mask = m;
    return SSR_SUCCESS;
}

SSR_API int ssr_ConstructCltRegisterNak(void* buf, short* size, uint32_t error, const char* text) {
    return BuildErrorText(buf, size, SSR_CODE_MNG_GW_CLT_REG_NAK, 0, error, text);
}

SSR_API int ssr_ExtractCltRegisterNak(const void* msg, short* size, uint32_t* error, const char** text) {
    return ParseErrorText(msg, size, 0, error, text);
}

SSR_API int ssr_ConstructCltLogoffNotification(void* buf, short* size) {
    return BuildHeaderOnly(buf, size, SSR_CODE_MNG_CLT_GW_LOGOFF);
}

SSR_API int ssr_ConstructCltLogoffNotificationAck(void* buf, short* size) {
    return BuildHeaderOnly(buf, size, SSR_CODE_MNG_GW_CLT_LOGOFF_ACK);
}

SSR_API int ssr_ConstructCltSvrLogonNak(void* buf, short* size, uint32_t error, const char* text) {
    return BuildErrorText(buf, size, SSR_CODE_MNG_SVR_CLT_LOGON_NAK, 8, error, text);
}

SSR_API int ssr_ExtractCltSvrLogonNak(const void* msg, short* size, uint32_t* error, const char** text) {
    return ParseErrorText(msg, size, 8, error, text);
}

SSR_API int ssr_ConstructKeepAliveRequest(void* buf, short* size) {
    return BuildHeaderOnly(buf, size, SSR_CODE_MNG_KEEP_ALIVE_REQUEST);
}

SSR_API int ssr_ExtractKeepAliveRequest(const void* msg, short* size) { return ParseHeaderOnly(msg, size); }

SSR_API int ssr_ConstructKeepAliveResponse(void* buf, short* size) {
    return BuildHeaderOnly(buf, size, SSR_CODE_MNG_KEEP_ALIVE_RESPONSE);
}

SSR_API int ssr_ExtractKeepAliveResponse(const void* msg, short* size) { return ParseHeaderOnly(msg, size); }

}  // extern "C"
