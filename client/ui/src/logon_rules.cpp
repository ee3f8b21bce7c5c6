#include "vorn/logon_rules.h"

#include <cstring>

#include "platform/text_util.h"

namespace vorn {

namespace {

constexpr const char* kWideColon = "\xEF\xBC\x9A";  // "："
constexpr const char* kUserForbidden = "$#&,+=<>;\"'\\/| ";

bool GatewayCharsAllowed(const std::string& text) {
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        c == '-' || c == '.' || c == '/' || c == ':';
        if (!ok) return false;
    }
    return true;
}

// Takes off a scheme prefix ("https://") and the slashes of a path-less address at the end, so
// that "https://host/" gives "host".
std::string StripScheme(const std::string& text) {
    std::string s = text;
    const std::size_t scheme = s.find("://");
    if (scheme != std::string::npos) s = s.substr(scheme + 3);
    while (!s.empty() && s.back() == '/') s.pop_back();
    return s;
}

}  // namespace

int ParseGatewayText(const std::string& field, ServerText* out) {
    const std::size_t wide = field.find(kWideColon);
    if (wide != std::string::npos && wide > 0) return kMsgGatewayWideColon;
    if (field.empty()) return kMsgGatewayEmpty;
    if (!GatewayCharsAllowed(field)) return kMsgGatewayBadChar;
    ServerText st;
    st.text = StripScheme(field);
    const std::size_t colon = st.text.find(':');
    if (colon != std::string::npos && colon > 0) {
        st.host = st.text.substr(0, colon);
        if (!ParsePort(st.text.substr(colon + 1), &st.port)) return kMsgBadPort;
    } else {
        st.host = st.text;
        st.port = 443;
    }
    if (st.host.empty()) return kMsgGatewayEmpty;
    // A name longer than DNS allows cannot be a gateway; it is refused rather than cut.
    if (st.host.size() > kHostMax) return kMsgNoGateway;
    *out = std::move(st);
    return 0;
}

int ParseProxyText(const std::string& field, ServerText* out, std::string* portText) {
    if (field.empty() || field.find("0.0.0.0") != std::string::npos) return kMsgProxyEmpty;
    if (!GatewayCharsAllowed(field)) return kMsgProxyBadChar;
    ServerText st;
    st.text = StripScheme(field);
    const std::size_t colon = st.text.find(':');
    std::string port = "0";
    if (colon != std::string::npos && colon > 0) {
        st.host = st.text.substr(0, colon);
        port = st.text.substr(colon + 1);
    } else {
        st.host = st.text;
    }
    if (!ParsePort(port, &st.port)) return kMsgBadPort;
    if (st.host.empty()) return kMsgProxyEmpty;
    if (st.host.size() > kHostMax) return kMsgProxyBadChar;
    *out = std::move(st);
    *portText = port;
    return 0;
}

std::string TrimBlanks(const std::string& text) { return std::string(platform::TrimView(text, " ")); }

bool UserNameAllowed(const std::string& name) {
    return name.find_first_of(kUserForbidden) == std::string::npos;
}

}  // namespace vorn
