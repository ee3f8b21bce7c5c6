#include "prendle/proxy_handshake.h"

#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <vector>

#include "fennix/fennix.h"

namespace prendle {

namespace {

bool StartsNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) !=
            std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    }
    return true;
}

constexpr const char* kRequestHead =
    "CONNECT %s:%d HTTP/1.0\r\nUser-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1)"
    "\r\nHost: %s\r\nContent-Length: 0\r\nProxy-Connection: Keep-Alive\r\nPragma: no-cache\r\n";

}  // namespace

std::string ProxyCredentialsBase64(std::string_view credentials) {
    // 4 characters per started 3 bytes, CR LF per 76 characters, the terminating zero.
    std::size_t groups = (credentials.size() + 2) / 3;
    std::vector<char> out(groups * 4 + (groups * 4 / 76) * 2 + 8);
    int n = fennix_Base64Encode(reinterpret_cast<const unsigned char*>(credentials.data()),
                                static_cast<int>(credentials.size()), out.data());
    std::string text;
    text.reserve(static_cast<std::size_t>(std::max(n, 0)));
    for (int i = 0; i < n; ++i) {
        // A line break inside a header value would end the header and let the rest be read as
        // a header line of its own.
        if (out[static_cast<std::size_t>(i)] != '\r' && out[static_cast<std::size_t>(i)] != '\n')
            text.push_back(out[static_cast<std::size_t>(i)]);
    }
    return text;
}

std::string ProxyUserName(std::string_view credentials) {
    auto colon = credentials.find(':');
    return std::string(credentials.substr(0, colon));
}

std::string BuildProxyRequest(std::string_view destAddress, unsigned port, std::string_view credentials) {
    std::string dest(destAddress.substr(0, kProxyDestinationMax));
    char head[2 * kProxyDestinationMax + 256];
    std::snprintf(head, sizeof(head), kRequestHead, dest.c_str(), static_cast<int>(port), dest.c_str());
    std::string request(head);
    if (!credentials.empty()) {
        request += "Proxy-Authorization: Basic ";
        request += ProxyCredentialsBase64(credentials);
        request += "\r\n";
    }
    request += "\r\n";
    return request;
}

ProxyAnswerReader::Status ProxyAnswerReader::JudgeStatus(std::string_view head) {
    static constexpr const char* kAuth[] = {"HTTP/1.0 407", "HTTP/1.0 401", "HTTP/1.1 407", "HTTP/1.1 401"};
    static constexpr const char* kOk[] = {"HTTP/1.0 200", "HTTP/1.1 200"};
    if (head.size() >= kStatusLength) {
        for (const char* status : kAuth) {
            if (StartsNoCase(head, status)) return Status::kAuth;
        }
        for (const char* status : kOk) {
            if (StartsNoCase(head, status)) return Status::kOk;
        }
        return Status::kOther;
    }
    // Too short to judge: only the start of a status this reader tells apart may wait for more.
    for (const char* status : kAuth) {
        if (StartsNoCase(status, head)) return Status::kUndecided;
    }
    for (const char* status : kOk) {
        if (StartsNoCase(status, head)) return Status::kUndecided;
    }
    return Status::kOther;
}

ProxyAnswer ProxyAnswerReader::Feed(const char* data, std::size_t length, std::size_t* used) {
    *used = 0;
    if (m_verdict != ProxyAnswer::kNeedMore) return m_verdict;
    if (length == 0) return m_verdict = ProxyAnswer::kClosed;
    if (!m_statusOk) {
        // The status bytes gathered so far (fewer than kStatusLength) and the start of this packet.
        std::string head = m_text;
        head.append(data, std::min(length, kStatusLength - m_text.size()));
        const Status status = JudgeStatus(head);
        if (status == Status::kUndecided) {
            // The whole packet went into the head, or the status would have been judged.
            m_text = std::move(head);
            *used = length;
            return ProxyAnswer::kNeedMore;
        }
        if (status != Status::kOk) {
            // The answer's text as far as it came, for the error message.
            const std::size_t take = std::min(length, kFirstPacketMax - m_text.size());
            m_text.append(data, take);
            *used = take;
            return m_verdict = status == Status::kAuth ? ProxyAnswer::kAuthRejected : ProxyAnswer::kRefused;
        }
        m_statusOk = true;
    }
    // Look for the blank line across the boundary with what came before.
    std::size_t keep = std::min<std::size_t>(m_text.size(), 3);
    std::size_t base = m_text.size() - keep;
    std::size_t room = m_headerMax > m_text.size() ? m_headerMax - m_text.size() : 0;
    std::size_t take = std::min(length, room);
    m_text.append(data, take);
    auto end = m_text.find("\r\n\r\n", base);
    if (end != std::string::npos) {
        std::size_t answerEnd = end + 4;
        *used = answerEnd - base - keep;
        m_text.resize(answerEnd);
        return m_verdict = ProxyAnswer::kConnected;
    }
    *used = take;
    if (m_text.size() >= m_headerMax) return m_verdict = ProxyAnswer::kOversized;
    return ProxyAnswer::kNeedMore;
}

ProxyAnswer FeedFromSocket(int fd, ProxyAnswerReader& reader, int* error) {
    *error = 0;
    char chunk[ProxyAnswerReader::kFirstPacketMax];
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_PEEK);
    if (n < 0) {
        if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) *error = errno;
        return ProxyAnswer::kNeedMore;
    }
    std::size_t used = 0;
    const ProxyAnswer verdict = reader.Feed(chunk, static_cast<std::size_t>(n), &used);
    // The peeked bytes are still queued, so taking `used` of them cannot block or come up short.
    if (used > 0) {
        [[maybe_unused]] const ssize_t taken = ::recv(fd, chunk, used, 0);
    }
    return verdict;
}

std::string ProxyAnswerReader::PrintableText() const {
    std::string text = m_text.substr(0, kFirstPacketMax);
    for (char& c : text) {
        auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\r' && c != '\n' && c != '\t') || u == 0x7F) c = '?';
    }
    return text;
}

}  // namespace prendle
