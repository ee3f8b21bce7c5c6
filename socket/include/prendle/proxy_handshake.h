// The HTTP CONNECT conversation with a proxy, free of I/O: the request text and a reader of the
// proxy's answer that decides from the bytes alone, with hard bounds on what it accepts. The
// socket client uses it, and so does every other part of the suite that opens a tunnel through
// a proxy, so that all of them send the same request and judge answers alike.
//
// Thread-safety: the functions are pure; a ProxyAnswerReader belongs to one connection attempt
// and is used by one thread at a time. Nothing here throws except std::bad_alloc.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "prendle/export.h"

namespace prendle {

// The longest destination a request names (a DNS name's limit); longer text is cut.
constexpr std::size_t kProxyDestinationMax = 255;

// The CONNECT request for dest (dotted text or a host name) and port. With non-empty credentials
// ("user:password") the Proxy-Authorization line carries their Base64 on one line, whatever their length.
PRENDLE_API std::string BuildProxyRequest(std::string_view destAddress, unsigned port,
                                          std::string_view credentials);

// The Base64 of the credentials without the line breaks that the encoder puts in long output.
PRENDLE_API std::string ProxyCredentialsBase64(std::string_view credentials);

// The user part of "user:password", for texts that must never show the password.
PRENDLE_API std::string ProxyUserName(std::string_view credentials);

enum class ProxyAnswer {
    kNeedMore,      // the header is not complete yet
    kConnected,     // 2xx status and the blank line seen
    kAuthRejected,  // 401 / 407
    kRefused,       // any other answer, or not HTTP at all
    kOversized,     // no blank line within the header bound
    kClosed,        // the proxy closed before the blank line
};

// Reads the proxy's answer packet by packet. The status is judged on the first packet (its
// first 12 characters, ignoring case); after a 200 the reader wants the bytes up to "\r\n\r\n".
class PRENDLE_API ProxyAnswerReader {
public:
    static constexpr std::size_t kFirstPacketMax = 1024;
    static constexpr std::size_t kDefaultHeaderMax = 8192;

    explicit ProxyAnswerReader(std::size_t headerMax = kDefaultHeaderMax) : m_headerMax(headerMax) {}

    // Offers `length` new bytes (length 0: the proxy closed). Returns the verdict and, in *used,
    // how many of these bytes belong to the answer (the rest belong to the tunnel).
    ProxyAnswer Feed(const char* data, std::size_t length, std::size_t* used);

    // The answer so far, made printable (control characters other than CR LF and TAB become '?'),
    // at most kFirstPacketMax characters: fit for an error text.
    std::string PrintableText() const;

private:
    std::size_t m_headerMax;
    std::string m_text;
    bool m_statusOk = false;
};

}  // namespace prendle
