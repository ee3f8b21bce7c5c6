// The plain-text part of a gateway connection, free of I/O: the proxy's CONNECT request (the
// socket engine's reader reads its answer), the hello and the reading of the gateway's welcome,
// the cipher list of a selector, the user name as the resource page's query wants it. The connector's socket
// code calls these; fuzz targets and tests feed them any bytes.
//
// All functions are pure and thread-safe; none throws.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace engine {

// The exact hello and the welcome the gateway must answer it with.
inline constexpr char kGatewayHello[] = "CONNECT QEL_GATEWAY HTTP 1.1 \r\n\r\n";
inline constexpr char kGatewayWelcome[] = "HTTP 200 OK";

// The largest answer read from a proxy (status line and headers) and from the gateway's hello.
constexpr std::size_t kProxyAnswerMax = 1024;
constexpr std::size_t kHelloAnswerMax = 2048;

// The CONNECT request for `address` (dotted) and `port` (the socket engine's request text); with
// both user and password non-empty it carries their Basic credentials.
std::string BuildProxyConnect(const std::string& address, int port, const std::string& user,
                              const std::string& password);

enum class HelloAnswer {
    kIncomplete,   // fewer than 4 bytes, or no blank line yet
    kWelcome,      // status 200 starting with the expected welcome
    kNotHttp,      // does not begin with "HTTP"
    kNoStatus,     // no status code after the first blank
    kBadLength,    // a Content-Length header that does not parse
    kNegative,     // status 200, but not the expected welcome
    kOtherStatus,  // any other status (in *status)
};
// Reads the gateway's answer to the hello; `status` gets the status code when there is one.
HelloAnswer ReadHelloAnswer(std::string_view answer, int* status);

// The cipher list offered for a cipher-suite selector, and its log name. The null and export
// lists of selectors 0 and 1 are never offered: they get the default list (`downgraded` set).
struct CipherChoice {
    const char* logName;
    const char* list;
    bool downgraded = false;
};
CipherChoice CipherListForSelector(int selector);
// The default list (the server connection).
const char* DefaultCipherList();

// The user name for the resource page's query: letters and digits kept, every other byte
// (also '+', which a query would read as a blank) as %XX in upper case; at most `limit` bytes of
// output (a sequence that would not fit whole is left out).
std::string EncodeUserNameForQuery(std::string_view user, std::size_t limit = 512);

// Splits the logon answer's certificate text "serial+name" at the first '+'; a text without '+'
// leaves both empty. The name is cut to 127 bytes.
void SplitCertificateText(std::string_view text, std::string* serial, std::string* name);

}  // namespace engine
