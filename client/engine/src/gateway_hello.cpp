#include "engine/gateway_hello.h"

#include <strings.h>

#include <cctype>
#include <cstdio>

#include "platform/code_page.h"
#include "prendle/proxy_handshake.h"

namespace engine {

namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

// The lists as the gateways know them, without their export and NULL entries (those suites give
// no protection, and OpenSSL 3 would drop most of them anyway), each led by the TLS 1.2 AEAD suites
// of the same key exchanges and key sizes: a gateway that speaks TLS 1.2 then settles on one
// sealing pass per record (AES-GCM with the CPU's instructions, or ChaCha20-Poly1305) instead of
// a serial CBC loop plus a separate HMAC. TLS 1.0 gateways and those that take only CBC find the
// old suites, in the old order, behind them.
constexpr char kDefaultCiphers[] =
    "DHE-RSA-AES256-GCM-SHA384:DHE-DSS-AES256-GCM-SHA384:AES256-GCM-SHA384:DHE-RSA-CHACHA20-POLY1305:"
    "DHE-RSA-AES128-GCM-SHA256:DHE-DSS-AES128-GCM-SHA256:AES128-GCM-SHA256:"
    "DHE-RSA-AES256-SHA:DHE-DSS-AES256-SHA:AES256-SHA:DHE-RSA-AES128-SHA:DHE-DSS-AES128-SHA:AES128-SHA:";
constexpr char kIntermediateCiphers[] =
    "DHE-RSA-AES128-GCM-SHA256:DHE-DSS-AES128-GCM-SHA256:AES128-GCM-SHA256:"
    "DHE-RSA-AES128-SHA:DHE-DSS-AES128-SHA:AES128-SHA:";

}  // namespace

std::string BuildProxyConnect(const std::string& address, int port, const std::string& user,
                              const std::string& password) {
    // The socket engine's request, the one every proxy road of the suite sends.
    const std::string credentials =
        !user.empty() && !password.empty() ? user + ":" + password : std::string();
    return prendle::BuildProxyRequest(address, static_cast<unsigned>(port), credentials);
}

HelloAnswer ReadHelloAnswer(std::string_view answer, int* status) {
    *status = 0;
    if (answer.size() < 4) return HelloAnswer::kIncomplete;
    if (!StartsWithNoCase(answer, "HTTP")) return HelloAnswer::kNotHttp;
    const std::size_t end = answer.find("\r\n\r\n");
    if (end == std::string_view::npos) return HelloAnswer::kIncomplete;
    const std::string_view head = answer.substr(0, end + 2);
    const std::size_t blank = head.find(' ');
    const std::size_t lineEnd = head.find("\r\n");
    if (blank == std::string_view::npos || blank > lineEnd) return HelloAnswer::kNoStatus;
    std::size_t i = blank + 1;
    long code = 0;
    std::size_t digits = 0;
    while (i < lineEnd && std::isdigit(static_cast<unsigned char>(head[i])) && digits < 9) {
        code = code * 10 + (head[i] - '0');
        ++i;
        ++digits;
    }
    if (digits == 0) return HelloAnswer::kNoStatus;
    *status = static_cast<int>(code);
    static constexpr std::string_view kLength = "Content-Length: ";
    for (std::size_t pos = lineEnd + 2; pos < head.size();) {
        const std::size_t next = head.find("\r\n", pos);
        const std::string_view line = head.substr(pos, next - pos);
        if (StartsWithNoCase(line, kLength)) {
            const std::string_view value = line.substr(kLength.size());
            if (value.empty() || value.size() > 9) return HelloAnswer::kBadLength;
            for (char c : value) {
                if (!std::isdigit(static_cast<unsigned char>(c))) return HelloAnswer::kBadLength;
            }
        }
        pos = next + 2;
    }
    if (code != 200) return HelloAnswer::kOtherStatus;
    return answer.substr(0, sizeof kGatewayWelcome - 1) == kGatewayWelcome ? HelloAnswer::kWelcome
                                                                           : HelloAnswer::kNegative;
}

const char* DefaultCipherList() { return kDefaultCiphers; }

CipherChoice CipherListForSelector(int selector) {
    switch (selector) {
        case 0: return {"## TW_SSL_NULL_CIPHER", kDefaultCiphers, true};
        case 1: return {"## TW_SSL_FAST_CIPHERS", kDefaultCiphers, true};
        case 3: return {"## TW_SSL_DEFAULT_CIPHERS", kDefaultCiphers, false};
        default: return {"## TW_SSL_INTM_CIPHERS", kIntermediateCiphers, false};
    }
}

std::string EncodeUserNameForQuery(std::string_view user, std::size_t limit) {
    std::string out;
    for (char c : user) {
        const unsigned char b = static_cast<unsigned char>(c);
        if (std::isalnum(b) && b < 0x80) {
            if (out.size() + 1 > limit) break;
            out += c;
        } else {
            if (out.size() + 3 > limit) break;
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", b);
            out += hex;
        }
    }
    return out;
}

void SplitCertificateText(std::string_view text, std::string* serial, std::string* name) {
    serial->clear();
    name->clear();
    const std::size_t plus = text.find('+');
    if (plus == std::string_view::npos) return;
    *serial = std::string(text.substr(0, plus));
    // The name is UTF-8 on the wire, as the suite keeps its texts: bad bytes are replaced, and the
    // 127-byte limit never cuts a character.
    *name = platform::CutUtf8(platform::ValidUtf8(text.substr(plus + 1)), 127);
}

}  // namespace engine
