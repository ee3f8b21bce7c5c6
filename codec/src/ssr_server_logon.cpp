// The client's requests to the logon server and the server's short answers (codes 20, 26, 94,
// 103, 104, 105, 144).
#include <cstring>

#include "wendrel/ssr_control.h"
#include "wire.h"

using namespace wendrel;

namespace {

constexpr std::size_t kName32 = 32;
constexpr std::size_t kText128 = 128;
// Bytes of a logon request (codes 26, 105, 144) besides the user and password texts.
constexpr std::size_t kLogonRequestFixed = 2 + 2 + 12 + 4 + 4 + 8 + 1 + 1 + kText128;  // 162

int BuildLogonRequest(void* buf, short* size, std::uint8_t code, const char* user, const char* password,
                      bool withSession, std::uint32_t session_id, const char* hardware_id,
                      std::uint32_t update_flag) {
    if (size == nullptr) return SSR_ERROR_INVALID_ARGUMENT;
    const std::uint64_t payload = kLogonRequestFixed + std::uint64_t{TextLength(user)} + TextLength(password);
    const bool valid = user != nullptr && password != nullptr && FitsField(hardware_id, kText128);
    const int rc = BeginControl(buf, size, payload, code, valid);
    if (rc != SSR_SUCCESS) return rc;
    WireWriter w(buf, static_cast<std::size_t>(*size));
    w.U16(static_cast<std::uint16_t>(TextLength(user)));
    w.U16(static_cast<std::uint16_t>(TextLength(password)));
    w.Zero(12);
    if (withSession) {
        w.U32(session_id);
        w.U32(update_flag);
    } else {
        w.Zero(8);
    }
    w.Zero(8);
    w.Text(user);
    w.Text(password);
    w.Field(hardware_id, kText128);
    return EndMessage(w);
}

// Copies a text of at most `available` bytes into a caller buffer of SSR_ERROR_TEXT_BUFFER_SIZE
// bytes: at most 63 characters, always terminated, whether or not the sender ended it.
void CopyErrorText(char* out, const std::uint8_t* text, std::size_t available) {
    const std::size_t limit =
        available < SSR_ERROR_TEXT_BUFFER_SIZE - 1 ? available : SSR_ERROR_TEXT_BUFFER_SIZE - 1;
    const void* nul = std::memchr(text, 0, limit);
    const std::size_t n =
        nul != nullptr ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - text) : limit;
    std::memcpy(out, text, n);
    out[n] = '\0';
}

}  // namespace

extern "C" {

SSR_API int ssr_ConstructCltLogonSvrRequest(void* buf, short* size, const char* user, const char* name,
                                            const char* text) {
    if (size == nullptr) return SSR_ERROR_INVALID_ARGUMENT;
    const std::uint64_t payload = 2 + TextBytes(user) + kName32 + kText128;
    const bool valid = FitsField(name, kName32) && FitsField(text, kText128);
    const int rc = BeginControl(buf, size, payload, SSR_CODE_MNG_CLT_SVR_LOGON_REQUEST, valid);
    if (rc != SSR_SUCCESS) return rc;
    WireWriter w(buf, static_cast<std::size_t>(*size));
    w.U16(static_cast<std::uint16_t>(TextBytes(user)));
    w.Text(user);
    w.Field(name, kName32);
    w.Field(text, kText128);
    return EndMessage(w);
}

SSR_API int ssr_ExtractCltLogonSvrRequest(const void* msg, short* size, uint16_t* user_length,
                                          const char** user, const char** name, const char** text) {
    if (msg == nullptr || size == nullptr || user_length == nullptr || user == nullptr || name == nullptr ||
        text == nullptr)
        return SSR_ERROR_INVALID_ARGUMENT;
    std::size_t end = 0;
    if (const int rc = BeginExtract(msg, size, &end); rc != SSR_SUCCESS) return rc;
    WireReader r(msg, end);
    std::uint16_t l = 0;
    const char* u = nullptr;
    const char* n = nullptr;
    const char* t = nullptr;
    if (!r.U16(&l) || !r.CountedText(l, &u) || !r.Field(kName32, &n)) return SSR_ERROR_INCOMPLETE;
    // The trailing text counts only when the message is exactly as long as its full layout.
    if (end - SSR_HEADER_SIZE == std::size_t{l} + 162 && !r.Field(kText128, &t)) return SSR_ERROR_INCOMPLETE;
    *user_length = l;
    *user = u;
    *name = n;
    *text = t;
    return SSR_SUCCESS;
}

SSR_API int ssr_ConstructCltLogonSvrRequest3(void* buf, short* size, const char* user, const char* password,
                                             uint32_t session_id, const char* hardware_id,
                                             uint32_t update_flag) {
    return BuildLogonRequest(buf, size, SSR_CODE_MNG_CLT_SVR_LOGON_REQUEST3, user, password, true, session_id,
                             hardware_id, update_flag);
}

SSR_API int ssr_ConstructCltLogonSvrRequest2(void* buf, short* size, const char* user, const char* password,
                                             const char* hardware_id) {
    return BuildLogonRequest(buf, size, SSR_CODE_MNG_CLT_SVR_LOGON_REQUEST2, user, password, false, 0,
                             hardware_id, 0);
}

SSR_API int ssr_ConstructCltLogonSvrHardRequest(void* buf, short* size, const char* user,
                                                const char* password, const char* hardware_id) {
    return BuildLogonRequest(buf, size, SSR_CODE_MNG_CLT_SVR_LOGON_HARD_REQUEST, user, password, false, 0,
                             hardware_id, 0);
}

SSR_API int ssr_ConstructCltSvrResetPwd(void* buf, int* size, uint32_t session_id, const char* user,
                                        const char* old_password, const char* new_password) {
    if (size == nullptr) return SSR_ERROR_INVALID_ARGUMENT;
    const std::uint64_t payload =
        std::uint64_t{TextBytes(user)} + TextBytes(old_password) + TextBytes(new_password) + 4;
    const int rc = BeginControl(buf, size, payload, SSR_CODE_MNG_CLT_SVR_RESET_PWD);
    if (rc != SSR_SUCCESS) return rc;
    WireWriter w(buf, static_cast<std::size_t>(*size));
    w.Text(user);
    w.Text(old_password);
    w.Text(new_password);
    w.U32Le(session_id);
    return EndMessage(w);
}

SSR_API int ssr_ExtractSvrCltResetPwdAck(const void* msg, int* size, uint32_t* error, uint32_t* value,
                                         char* text) {
    if (msg == nullptr || size == nullptr || error == nullptr || value == nullptr || text == nullptr)
        return SSR_ERROR_INVALID_ARGUMENT;
    std::size_t end = 0;
    if (const int rc = BeginExtract(msg, size, &end); rc != SSR_SUCCESS) return rc;
    WireReader r(msg, end);
    std::uint32_t e = 0, v = 0;
    if (!r.U32(&e) || !r.Skip(4) || !r.U32(&v) || !r.Skip(4)) return SSR_ERROR_INCOMPLETE;
    *error = e;
    *value = v;
    CopyErrorText(text, r.Here(), r.Remaining());
    return SSR_SUCCESS;
}

SSR_API int ssr_ExtractSvrCutCltLogoff(const void* msg, int* size, uint32_t* error, char* text) {
    if (msg == nullptr || size == nullptr || error == nullptr || text == nullptr)
        return SSR_ERROR_INVALID_ARGUMENT;
    std::size_t end = 0;
    if (const int rc = BeginExtract(msg, size, &end); rc != SSR_SUCCESS) return rc;
    WireReader r(msg, end);
    std::uint32_t e = 0;
    if (!r.U32(&e) || !r.Skip(4)) return SSR_ERROR_INCOMPLETE;
    *error = e;
    CopyErrorText(text, r.Here(), r.Remaining());
    return SSR_SUCCESS;
}

}  // extern "C"
