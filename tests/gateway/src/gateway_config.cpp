// Strict parsing of the gateway's settings: a harness that mistypes a key should hear about it
// at once, not find a gateway that quietly does something else.
#include "gateway/gateway_config.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

namespace qelgw {

namespace {

std::string Trim(const std::string& s) {
    const auto begin = s.find_first_not_of(" \t\r");
    if (begin == std::string::npos) return "";
    const auto end = s.find_last_not_of(" \t\r");
    return s.substr(begin, end - begin + 1);
}

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

template <typename T>
bool Number(const std::string& text, T min, T max, T* out) {
    long long v = 0;
    const char* end = text.data() + text.size();
    auto [p, ec] = std::from_chars(text.data(), end, v);
    if (ec != std::errc() || p != end || text.empty() || v < static_cast<long long>(min) ||
        v > static_cast<long long>(max))
        return false;
    *out = static_cast<T>(v);
    return true;
}

bool Bool(const std::string& text, bool* out) {
    const std::string v = Lower(text);
    if (v == "yes" || v == "true" || v == "1" || v == "on") return *out = true, true;
    if (v == "no" || v == "false" || v == "0" || v == "off") return *out = false, true;
    return false;
}

// "A" or "A/M"; the mask defaults to `defaultMask`.
bool AddressMask(const std::string& text, std::uint32_t defaultMask, std::uint32_t* address,
                 std::uint32_t* mask) {
    const auto slash = text.find('/');
    if (!ParseIpv4(text.substr(0, slash), address)) return false;
    if (slash == std::string::npos) return *mask = defaultMask, true;
    return ParseIpv4(text.substr(slash + 1), mask);
}

// "DEST/MASK" or "DEST/MASK via HOP".
bool RouteSpec(const std::string& text, Route* r) {
    std::istringstream in(text);
    std::string dest, via, hop;
    in >> dest >> via >> hop;
    if (!AddressMask(dest, 0xFFFFFFFF, &r->destination, &r->mask)) return false;
    if (via.empty()) return true;
    std::string rest;
    return via == "via" && ParseIpv4(hop, &r->nextHop) && !(in >> rest);
}

template <typename E>
bool Choice(const std::string& text, const std::map<std::string, E>& names, E* out) {
    auto it = names.find(Lower(text));
    if (it == names.end()) return false;
    *out = it->second;
    return true;
}

bool Device(const std::string& text, GatewayConfig& c) {
    const auto colon = text.find(':');
    const std::string kind = Lower(text.substr(0, colon));
    if (kind == "none" && colon == std::string::npos) return c.device = DeviceKind::None, true;
    if (colon == std::string::npos || colon + 1 >= text.size() || text.size() - colon - 1 > 15) return false;
    c.deviceName = text.substr(colon + 1);
    if (kind == "tun") return c.device = DeviceKind::Tun, true;
    if (kind == "tap") return c.device = DeviceKind::Tap, true;
    return false;
}

using Setter = std::function<bool(GatewayConfig&, const std::string&)>;

Setter Ip(std::uint32_t GatewayConfig::*field) {
    return [field](GatewayConfig& c, const std::string& v) { return ParseIpv4(v, &(c.*field)); };
}
Setter Text(std::string GatewayConfig::*field) {
    return [field](GatewayConfig& c, const std::string& v) { return c.*field = v, true; };
}
// Error codes travel as u32 but are often thought of as signed (-50).
Setter Code(std::uint32_t GatewayConfig::*field) {
    return [field](GatewayConfig& c, const std::string& v) {
        long long n = 0;
        if (!Number<long long>(v, INT32_MIN, UINT32_MAX, &n)) return false;
        c.*field = static_cast<std::uint32_t>(n);
        return true;
    };
}
Setter Int(int GatewayConfig::*field, int min, int max) {
    return [field, min, max](GatewayConfig& c, const std::string& v) {
        return Number(v, min, max, &(c.*field));
    };
}
Setter Flag(bool GatewayConfig::*field) {
    return [field](GatewayConfig& c, const std::string& v) { return Bool(v, &(c.*field)); };
}
template <typename E>
Setter Pick(E GatewayConfig::*field, std::map<std::string, E> names) {
    return [field, names](GatewayConfig& c, const std::string& v) { return Choice(v, names, &(c.*field)); };
}

const std::map<std::string, Setter>& Setters() {
    using C = GatewayConfig;
    static const std::map<std::string, Setter> table = {
        {"listen",
         [](C& c, const std::string& v) {
             std::uint32_t a = 0;
             return ParseIpv4(v, &a) && (c.listenAddress = v, true);
         }},
        {"port", [](C& c, const std::string& v) { return Number<std::uint16_t>(v, 0, 65535, &c.port); }},
        {"cert", Text(&C::certFile)},
        {"key", Text(&C::keyFile)},
        {"ca_cert", Text(&C::caCert)},
        {"ca_key", Text(&C::caKey)},
        {"state_dir", Text(&C::stateDir)},
        {"pool",
         [](C& c, const std::string& v) { return AddressMask(v, c.netmask, &c.poolStart, &c.netmask); }},
        {"netmask", Ip(&C::netmask)},
        {"dns1", Ip(&C::dns1)},
        {"dns2", Ip(&C::dns2)},
        {"wins1", Ip(&C::wins1)},
        {"wins2", Ip(&C::wins2)},
        {"route",
         [](C& c, const std::string& v) {
             Route r;
             return RouteSpec(v, &r) && (c.routes.push_back(r), true);
         }},
        {"policy", [](C& c, const std::string& v) { return c.policyLines.push_back(v), true; }},
        {"text1", Text(&C::text1)},
        {"cert_text", Text(&C::certText)},
        {"first_session_id",
         [](C& c, const std::string& v) {
             return Number<std::uint32_t>(v, 1, 0x7FFFFFFF, &c.firstSessionId);
         }},
        {"hello", Pick(&C::hello, std::map<std::string, HelloMode>{{"welcome", HelloMode::Welcome},
                                                                   {"wrong-welcome", HelloMode::WrongWelcome},
                                                                   {"not-http", HelloMode::NotHttp},
                                                                   {"status", HelloMode::Status},
                                                                   {"bad-length", HelloMode::BadLength},
                                                                   {"silent", HelloMode::Silent},
                                                                   {"close", HelloMode::Close}})},
        {"hello_status", Int(&C::helloStatus, 100, 999)},
        {"logon", Pick(&C::logon, std::map<std::string, LogonMode>{{"accept", LogonMode::Accept},
                                                                   {"nak", LogonMode::Nak},
                                                                   {"relogon", LogonMode::Relogon},
                                                                   {"relogon-ok", LogonMode::RelogonOk},
                                                                   {"silent", LogonMode::Silent}})},
        {"nak_code", Code(&C::nakCode)},
        {"nak_text", Text(&C::nakText)},
        {"bad_password_code", Code(&C::badPasswordCode)},
        {"bad_password_text", Text(&C::badPasswordText)},
        {"register",
         Pick(&C::registration, std::map<std::string, RegisterMode>{{"none", RegisterMode::None},
                                                                    {"ack", RegisterMode::Ack},
                                                                    {"reassign", RegisterMode::Reassign},
                                                                    {"refuse", RegisterMode::Refuse},
                                                                    {"nak", RegisterMode::Nak}})},
        {"gateway_address", Ip(&C::gatewayAddress)},
        {"register_status",
         [](C& c, const std::string& v) { return Number<std::uint16_t>(v, 0, 65535, &c.registerStatus); }},
        {"reassign_ip", Ip(&C::reassignIp)},
        {"register_nak_code", Code(&C::registerNakCode)},
        {"register_nak_text", Text(&C::registerNakText)},
        {"forced_logoff_after", Int(&C::forcedLogoffSeconds, 0, 86400)},
        {"forced_logoff_code", Code(&C::forcedLogoffCode)},
        {"forced_logoff_text", Text(&C::forcedLogoffText)},
        {"password_change_code", Code(&C::passwordChangeCode)},
        {"password_change_text", Text(&C::passwordChangeText)},
        {"keepalive_interval", Int(&C::keepAliveSeconds, 0, 86400)},
        {"keepalive_answer", Flag(&C::answerKeepAlive)},
        {"key_id", Int(&C::keyId, 0, 3)},
        {"compress", Flag(&C::compress)},
        {"ciphers", Text(&C::ciphers)},
        {"device", [](C& c, const std::string& v) { return Device(v, c); }},
        {"device_address",
         [](C& c,
            const std::string& v) { return AddressMask(v, c.deviceMask, &c.deviceAddress, &c.deviceMask); }},
    };
    return table;
}

bool UserSetting(UserAccount& u, const std::string& key, const std::string& value) {
    if (key == "password") return u.password = value, true;
    if (key == "cert_name") return u.certName = value, true;
    if (key == "ip") return ParseIpv4(value, &u.fixedIp);
    return false;
}

}  // namespace

bool ParseIpv4(const std::string& text, std::uint32_t* out) {
    in_addr a{};
    if (text.empty() || text.size() > 15 || inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
    *out = ntohl(a.s_addr);
    return true;
}

std::string FormatIpv4(std::uint32_t hostOrder) {
    in_addr a{};
    a.s_addr = htonl(hostOrder);
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

bool GatewayConfig::Set(const std::string& key, const std::string& value, std::string* error) {
    const auto& table = Setters();
    auto it = table.find(Lower(key));
    if (it == table.end()) {
        if (error) *error = "unknown setting \"" + key + "\"";
        return false;
    }
    if (!it->second(*this, value)) {
        if (error) *error = "bad value \"" + value + "\" for " + key;
        return false;
    }
    return true;
}

bool GatewayConfig::AddUser(const std::string& entry, std::string* error) {
    const auto first = entry.find(':');
    const auto second = first == std::string::npos ? first : entry.find(':', first + 1);
    UserAccount u;
    u.name = entry.substr(0, first);
    if (first != std::string::npos) u.password = entry.substr(first + 1, second - first - 1);
    if (u.name.empty() || first == std::string::npos ||
        (second != std::string::npos && !ParseIpv4(entry.substr(second + 1), &u.fixedIp))) {
        if (error) *error = "bad user \"" + entry + "\" (NAME:PASSWORD[:IP])";
        return false;
    }
    users.push_back(u);
    return true;
}

bool GatewayConfig::LoadIni(const std::string& text, std::string* error) {
    std::istringstream in(text);
    std::string raw;
    int lineNo = 0;
    enum { kNone, kGateway, kUser } section = kNone;
    auto fail = [&](const std::string& why) {
        if (error) *error = "line " + std::to_string(lineNo) + ": " + why;
        return false;
    };
    while (std::getline(in, raw)) {
        ++lineNo;
        const std::string line = Trim(raw);
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line.front() == '[') {
            if (line.back() != ']') return fail("unterminated section");
            const std::string name = Trim(line.substr(1, line.size() - 2));
            if (Lower(name) == "gateway") {
                section = kGateway;
            } else if (Lower(name.substr(0, 5)) == "user " && !Trim(name.substr(5)).empty()) {
                section = kUser;
                users.push_back(UserAccount{Trim(name.substr(5)), "", 0, ""});
            } else {
                return fail("unknown section [" + name + "]");
            }
            continue;
        }
        const auto eq = line.find('=');
        if (eq == std::string::npos) return fail("expected key = value");
        const std::string key = Trim(line.substr(0, eq)), value = Trim(line.substr(eq + 1));
        std::string why;
        if (section == kNone) return fail("setting outside a section");
        if (section == kUser && !UserSetting(users.back(), Lower(key), value))
            return fail("bad user setting \"" + key + "\"");
        if (section == kGateway && !Set(key, value, &why)) return fail(why);
    }
    return true;
}

bool GatewayConfig::LoadIniFile(const std::string& path, std::string* error) {
    std::ifstream in(path);
    if (!in) {
        if (error) *error = "cannot read " + path;
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return LoadIni(text.str(), error);
}

bool GatewayConfig::ParseArgs(int argc, const char* const* argv, std::string* error) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i] ? argv[i] : "";
        const auto eq = arg.find('=');
        if (arg.rfind("--", 0) != 0 || eq == std::string::npos) {
            if (error) *error = "expected --KEY=VALUE, got \"" + arg + "\"";
            return false;
        }
        const std::string key = arg.substr(2, eq - 2), value = arg.substr(eq + 1);
        const bool ok = key == "config" ? LoadIniFile(value, error)
                        : key == "user" ? AddUser(value, error)
                                        : Set(key, value, error);
        if (!ok) return false;
    }
    return true;
}

std::string GatewayConfig::PolicyText() const {
    std::string text;
    for (const auto& line : policyLines) text += line + "\n";
    return text;
}

}  // namespace qelgw
