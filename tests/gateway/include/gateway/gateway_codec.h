// The gateway's half of the SSR messages that the codec library leaves to the other side: parsers
// of what the client sends (logon requests 144, 26 and 105, the password change 103, the
// application-access record 87) and builders of what only a gateway sends (the logon answers 161,
// 162 and 163 with its certificate text, the forced logoff 94, the password-change answer 104).
//
// Conventions: parsers take the bytes available and return an SSR_* result code of the codec
// (SSR_ERROR_INCOMPLETE while fewer bytes than the header announces are there or when the layout
// does not hold; a wrong type or code is SSR_ERROR_INVALID_ARGUMENT). Texts come back as views
// into the message and stay valid while it does. Builders append nothing on failure. Pure
// functions; any thread. Builders replace *out (left empty or partial only on failure).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "wendrel/ssr_codec.h"

namespace qelgw {

// A message is never longer than this (a 16-bit payload size and the header).
constexpr std::size_t kMaxMessage = 0xFFFF + SSR_HEADER_SIZE;
// Bytes of a logon request besides its user and password texts.
constexpr std::size_t kLogonRequestFixed = 162;
constexpr std::size_t kHardwareIdField = 128;

// 144, 26 or 105. Bytes 20-27 hold the session id and the update flag only in 144.
struct LogonRequest {
    std::uint8_t code = 0;
    std::string_view user;
    std::string_view password;
    std::string_view hardwareId;
    std::uint32_t sessionId = 0;
    std::uint32_t updateFlag = 0;
    std::size_t length = 0;  // bytes the message occupies
};
int ParseLogonRequest(const void* msg, std::size_t available, LogonRequest* out);

// 103: three texts and the session id, the one field sent in little-endian order.
struct PasswordChange {
    std::string_view user;
    std::string_view oldPassword;
    std::string_view newPassword;
    std::uint32_t sessionId = 0;
    std::size_t length = 0;
};
int ParsePasswordChange(const void* msg, std::size_t available, PasswordChange* out);

// 87: session id, user, time, record text.
struct AppAccessRecord {
    std::uint32_t sessionId = 0;
    std::string_view user;
    std::uint32_t time = 0;
    std::string_view text;
    std::size_t length = 0;
};
int ParseAppAccessRecord(const void* msg, std::size_t available, AppAccessRecord* out);

struct Route {
    std::uint32_t destination = 0;  // host order
    std::uint32_t mask = 0;
    std::uint32_t nextHop = 0;
};
struct GatewayEntry {
    std::uint32_t address = 0;  // host order
    std::string ticket;
};

// What a logon answer tells the client. Addresses in host order.
struct LogonAnswer {
    std::uint32_t sessionId = 0;
    std::string name;
    std::uint32_t virtualIp = 0;
    std::uint32_t netmask = 0;
    std::uint32_t dns1 = 0, dns2 = 0, wins1 = 0, wins2 = 0;
    std::vector<Route> routes;
    std::vector<GatewayEntry> gateways;
    std::uint8_t cipherSelector = 3;
    std::string text1;
    std::string policy;  // text 2
    std::uint8_t registerFlag = 0;
    std::string certText;  // "serial+subject"; not sent when empty; at most 255 characters
};

// 163 (and 162) carry the accepted body, 161 none. Other codes: SSR_ERROR_INVALID_ARGUMENT.
int BuildLogonAnswer(std::uint8_t code, const LogonAnswer& answer, std::vector<std::uint8_t>* out);
// 94: u32 error, four zero bytes, text with its NUL.
int BuildCutLogoff(std::uint32_t error, std::string_view text, std::vector<std::uint8_t>* out);
// 104: u32 error, four zero bytes, u32 value, four zero bytes, text with its NUL.
int BuildPasswordChangeAnswer(std::uint32_t error, std::uint32_t value, std::string_view text,
                              std::vector<std::uint8_t>* out);
// Any header-only control message (18, 19, 23, 24, 161).
std::vector<std::uint8_t> BuildHeaderOnly(std::uint8_t code);

}  // namespace qelgw
