// The checks of the logon form: gateway and proxy addresses, ports, user names. Pure functions;
// the main dialog shows the message ids they return.
#pragma once
#include <string>

#include "vorn/dialogs/dialog_rules.h"

namespace vorn {

// Message ids of the logon checks.
constexpr int kMsgUserOrPasswordEmpty = 102;
constexpr int kMsgUserForbiddenChar = 103;
constexpr int kMsgNoGateway = 104;
constexpr int kMsgProxyEmpty = 105;
constexpr int kMsgProxyBadChar = 106;
constexpr int kMsgProxyUserEmpty = 107;
constexpr int kMsgProxyPasswordEmpty = 108;
constexpr int kMsgBadPort = 226;
constexpr int kMsgGatewayBadChar = 227;
constexpr int kMsgGatewayEmpty = 228;
constexpr int kMsgGatewayWideColon = 229;

// The longest host name kept (a DNS name is at most 255 bytes).
constexpr std::size_t kHostMax = 255;

struct ServerText {
    std::string text;  // the field's text after the scheme prefix was taken off
    std::string host;
    int port = 443;
};

// Gateway field: 0 and `out` filled, or the message id of the first failed check.
int ParseGatewayText(const std::string& field, ServerText* out);
// Proxy address field (only checked when "use proxy" is ticked): 0 or a message id. Without a
// colon the port is "0", which is refused.
int ParseProxyText(const std::string& field, ServerText* out, std::string* portText);
// The user name's blanks at both ends taken off.
std::string TrimBlanks(const std::string& text);
// True when the name holds none of the fifteen characters a user name must not have.
bool UserNameAllowed(const std::string& name);
// ParsePort (digits only, 1 to 65535) is the dialogs' own, shared with the pages.

}  // namespace vorn
