#include "response_head.h"

#include <cctype>

#include "platform/text_util.h"

namespace update_fetch {

namespace {

constexpr std::string_view kCrlf = "\r\n";

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

bool TokenChar(char c) {
    auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u)) return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

HeadVerdict Fail(std::string* error, const char* why) {
    if (error) *error = why;
    return HeadVerdict::kMalformed;
}

// "HTTP/1.0 200 OK" or "HTTP/1.1 404": the version, three digits, then a space or the end.
bool StatusLine(std::string_view line, int* status) {
    if (line.size() < 12 || (line.substr(0, 9) != "HTTP/1.0 " && line.substr(0, 9) != "HTTP/1.1 "))
        return false;
    int value = 0;
    for (std::size_t i = 9; i < 12; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(line[i]))) return false;
        value = value * 10 + (line[i] - '0');
    }
    if (line.size() > 12 && line[12] != ' ') return false;
    if (value < 100) return false;
    *status = value;
    return true;
}

// Digits only, at most 18 of them: any length this fetch could hold fits with room to spare.
bool LengthValue(std::string_view v, std::uint64_t* out) {
    v = platform::TrimView(v, " \t");
    if (v.empty() || v.size() > 18) return false;
    std::uint64_t value = 0;
    for (char c : v) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    *out = value;
    return true;
}

}  // namespace

HeadVerdict ParseResponseHead(std::string_view received, std::size_t headMax, ResponseHead* head,
                              std::string* error) {
    *head = ResponseHead{};
    // A server that is not speaking HTTP is told apart at once, not after the whole bound.
    constexpr std::string_view kPrefix = "HTTP/1.";
    if (received.substr(0, kPrefix.size()) != kPrefix.substr(0, std::min(received.size(), kPrefix.size())))
        return Fail(error, "not an HTTP answer");
    const std::size_t end = received.substr(0, headMax).find("\r\n\r\n");
    if (end == std::string_view::npos) {
        if (received.size() >= headMax) {
            if (error) *error = "answer head too long";
            return HeadVerdict::kOversized;
        }
        return HeadVerdict::kNeedMore;
    }
    const std::string_view text = received.substr(0, end + 2);  // every line with its CR LF
    for (char c : text) {
        if (c == '\0') return Fail(error, "NUL in the answer head");
    }
    std::size_t pos = 0;
    bool first = true;
    while (pos < text.size()) {
        const std::size_t eol = text.find(kCrlf, pos);
        const std::string_view line = text.substr(pos, eol - pos);
        pos = eol + kCrlf.size();
        if (line.find_first_of("\r\n") != std::string_view::npos)
            return Fail(error, "bare CR or LF in a line");
        if (first) {
            first = false;
            if (!StatusLine(line, &head->status)) return Fail(error, "bad status line");
            continue;
        }
        if (line.empty() || line.front() == ' ' || line.front() == '\t')
            return Fail(error, "folded header line");
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0) return Fail(error, "header line without a name");
        const std::string_view name = line.substr(0, colon);
        for (char c : name) {
            if (!TokenChar(c)) return Fail(error, "bad character in a header name");
        }
        const std::string_view value = line.substr(colon + 1);
        if (EqualNoCase(name, "Content-Length")) {
            std::uint64_t length = 0;
            if (!LengthValue(value, &length)) return Fail(error, "bad Content-Length");
            if (head->hasLength && head->contentLength != length)
                return Fail(error, "Content-Length lines disagree");
            head->hasLength = true;
            head->contentLength = length;
        } else if (EqualNoCase(name, "Transfer-Encoding")) {
            return Fail(error, "encoded body");
        }
    }
    head->headLength = end + 4;
    return HeadVerdict::kComplete;
}

}  // namespace update_fetch
