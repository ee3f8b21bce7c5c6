// The HTTP CONNECT conversation with a proxy: the request text and a reader of the proxy's answer
// that decides from the bytes alone, with hard bounds on what it accepts. The socket client uses
// it, and so does every other part of the suite that opens a tunnel through a proxy (the update
// fetch, the engine's gateway dialer), so that all of them send the same request and judge
// answers alike.
//
// Thread-safety: the functions are pure but FeedFromSocket, which reads the socket it is given; a
// ProxyAnswerReader belongs to one connection attempt and is used by one thread at a time.
// Nothing here throws except std::bad_alloc.
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

// Reads the proxy's answer packet by packet, however the proxy cuts it. The status is judged on
// the answer's first 12 characters, ignoring case, gathered across packets: a start that can still
// become one of the statuses told apart waits for more, any other is refused at once. After a 200
// the reader wants the bytes up to "\r\n\r\n". Once it has given a verdict other than kNeedMore it
// keeps giving it and takes no more bytes.
class PRENDLE_API ProxyAnswerReader {
public:
    static constexpr std::size_t kFirstPacketMax = 1024;
    static constexpr std::size_t kDefaultHeaderMax = 8192;
    static constexpr std::size_t kStatusLength = 12;  // "HTTP/1.x NNN"

    explicit ProxyAnswerReader(std::size_t headerMax = kDefaultHeaderMax) : m_headerMax(headerMax) {}

    // Offers `length` new bytes (length 0: the proxy closed). Returns the verdict and, in *used,
    // how many of these bytes belong to the answer (the rest belong to the tunnel).
    ProxyAnswer Feed(const char* data, std::size_t length, std::size_t* used);

    // The answer so far, made printable (control characters other than CR LF and TAB become '?'),
    // at most kFirstPacketMax characters: fit for an error text.
    std::string PrintableText() const;

private:
    enum class Status { kUndecided, kOk, kAuth, kOther };
    static Status JudgeStatus(std::string_view head);

    std::size_t m_headerMax;
    std::string m_text;
    bool m_statusOk = false;
    ProxyAnswer m_verdict = ProxyAnswer::kNeedMore;
};

// The one piece of I/O here, shared by every road through a proxy: peeks at what the socket holds
// (at most kFirstPacketMax bytes), offers it to the reader and takes from the socket only the
// bytes of the answer, so that what follows the blank line stays for the tunnel. A receive error
// gives kNeedMore with its errno in *error (0 otherwise); EINTR and EAGAIN are no error, nothing
// having been read. The caller waits for the socket and owns the deadline.
PRENDLE_API ProxyAnswer FeedFromSocket(int fd, ProxyAnswerReader& reader, int* error);

}  // namespace prendle
