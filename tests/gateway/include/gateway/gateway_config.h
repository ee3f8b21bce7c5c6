// What the test gateway does, from an INI file and/or command-line options of the same names.
//
// INI: a [gateway] section of `key = value` lines (the keys below; `route` and `policy` may repeat)
// and one [user NAME] section per account (`password`, `ip`, `cert_name`). On the command line:
// --config=FILE, --KEY=VALUE for any [gateway] key, --user=NAME:PASSWORD[:IP]. Later settings
// win; repeated `route`/`policy` add up. Addresses are dotted IPv4; "A/M" takes a dotted mask.
//
// Parsing is strict: an unknown key, a malformed value or a line that is neither a section, a
// setting nor a comment (';' or '#') is refused with a message naming the line.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "gateway/gateway_codec.h"

namespace qelgw {

// The plain answer to the client's hello.
enum class HelloMode {
    Welcome,       // "HTTP 200 OK"
    WrongWelcome,  // a standard status line, which the client must refuse
    NotHttp,       // an answer that is not HTTP at all
    Status,        // "HTTP <hello_status> ..." (a refusal)
    BadLength,     // a welcome with an unparsable Content-Length
    Silent,        // reads the hello and never answers
    Close,         // reads the hello and hangs up
};

// The answer to a logon request.
enum class LogonMode {
    Accept,     // 163 with address, routes, policy
    Nak,        // 22 with nak_code / nak_text
    Relogon,    // 161: session not found
    RelogonOk,  // 162: browser session accepted
    Silent,     // never answers
};

// The answer on the registration connection.
enum class RegisterMode {
    None,      // no registration demanded
    Ack,       // client certificate demanded; 16 status 0
    Reassign,  // 16 status 1 with reassign_ip / the netmask
    Refuse,    // 16 with register_status (3: certificate invalid, other: user state)
    Nak,       // 17 with register_nak_code / register_nak_text
};

enum class DeviceKind { None, Tun, Tap };

struct UserAccount {
    std::string name;
    std::string password;
    std::uint32_t fixedIp = 0;  // host order; 0: from the pool
    std::string certName;       // expected client certificate common name; empty: the user name
};

struct GatewayConfig {
    std::string listenAddress = "127.0.0.1";
    std::uint16_t port = 0;         // 0: the kernel picks
    std::string certFile, keyFile;  // server certificate and key (PEM); empty: minted at start
    std::string caCert, caKey;      // CA that signs minted certificates and is trusted for clients
    std::string stateDir;           // where minted files go; empty: a fresh folder under /tmp
    std::vector<UserAccount> users;

    std::uint32_t poolStart = 0xC6120064;  // 198.18.0.100
    std::uint32_t netmask = 0xFFFE0000;    // 255.254.0.0
    std::uint32_t dns1 = 0, dns2 = 0, wins1 = 0, wins2 = 0;
    std::vector<Route> routes;
    std::vector<std::string> policyLines;
    std::string text1;
    std::string certText;  // the logon answer's "serial+name" of the client certificate; empty: none
    std::uint32_t firstSessionId = 1001;

    HelloMode hello = HelloMode::Welcome;
    int helloStatus = 503;
    LogonMode logon = LogonMode::Accept;
    std::uint32_t nakCode = 1;
    std::string nakText = "logon refused";
    std::uint32_t badPasswordCode = 1;
    std::string badPasswordText = "invalid user name or password";

    RegisterMode registration = RegisterMode::None;
    std::uint32_t gatewayAddress = 0;  // the gateway list's address (0: "connect to the server")
    std::uint16_t registerStatus = 3;
    std::uint32_t reassignIp = 0;
    std::uint32_t registerNakCode = 1;
    std::string registerNakText = "registration refused";

    int forcedLogoffSeconds = 0;  // 0: never
    std::uint32_t forcedLogoffCode = 1;
    std::string forcedLogoffText = "logged off by the administrator";
    std::uint32_t passwordChangeCode = 0;
    std::string passwordChangeText = "password changed";

    int keepAliveSeconds = 0;  // 0: the gateway sends no requests of its own
    bool answerKeepAlive = true;
    int keyId = 0;          // 1-3: the tunnel moves to this key id once the client is online
    bool compress = false;  // frames to the client deflated
    // The suites the gateway takes (OpenSSL syntax), its own order first: AEAD ahead of CBC.
    std::string ciphers = "AESGCM:CHACHA20:DEFAULT";

    DeviceKind device = DeviceKind::None;
    std::string deviceName;
    std::uint32_t deviceAddress = 0;  // host order; 0: the device is left unconfigured
    std::uint32_t deviceMask = 0xFFFE0000;

    // One setting; false with *error set when the key is unknown or the value malformed.
    bool Set(const std::string& key, const std::string& value, std::string* error);
    bool AddUser(const std::string& entry, std::string* error);  // NAME:PASSWORD[:IP]
    bool LoadIni(const std::string& text, std::string* error);
    bool LoadIniFile(const std::string& path, std::string* error);
    // argv[1..]: --config=, --user=, --KEY=VALUE.
    bool ParseArgs(int argc, const char* const* argv, std::string* error);
    // The policy text sent as the logon answer's text 2.
    std::string PolicyText() const;
};

// Dotted IPv4 to host order; false for anything else.
bool ParseIpv4(const std::string& text, std::uint32_t* out);
std::string FormatIpv4(std::uint32_t hostOrder);

}  // namespace qelgw
