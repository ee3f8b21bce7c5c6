// Code page 936 through iconv's "GBK" (glibc's also maps 0x80, the euro sign).
#include "platform/code_page.h"

#include <iconv.h>

#include <cerrno>

namespace platform {
namespace {

constexpr std::string_view kReplacementUtf8{"\xEF\xBF\xBD"};

// Length of the UTF-8 character at `s` (1 to 4), or 0 when the bytes there are not one.
std::size_t Utf8CharLength(std::string_view s) {
    const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char c = b(0);
    if (c < 0x80) return 1;
    std::size_t n = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) lo = 0xA0;  // overlong
        if (c == 0xED) hi = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) lo = 0x90;  // overlong
        if (c == 0xF4) hi = 0x8F;  // beyond U+10FFFF
    } else {
        return 0;
    }
    if (s.size() < n || b(1) < lo || b(1) > hi) return 0;
    for (std::size_t i = 2; i < n; ++i) {
        if (b(i) < 0x80 || b(i) > 0xBF) return 0;
    }
    return n;
}

class Converter {
public:
    Converter(const char* to, const char* from) : m_cd(::iconv_open(to, from)) {}
    ~Converter() {
        if (Ok()) ::iconv_close(m_cd);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    bool Ok() const { return m_cd != reinterpret_cast<iconv_t>(-1); }

    // Converts `in`; `skip` tells how many bytes a sequence the converter refused takes, and
    // `replacement` stands for it in the output.
    template <typename Skip>
    std::string Run(std::string_view in, std::string_view replacement, Skip skip) {
        std::string out;
        char buffer[512];
        std::size_t at = 0;
        while (at < in.size()) {
            char* src = const_cast<char*>(in.data() + at);
            std::size_t srcLeft = in.size() - at;
            char* dst = buffer;
            std::size_t dstLeft = sizeof buffer;
            const std::size_t rc = ::iconv(m_cd, &src, &srcLeft, &dst, &dstLeft);
            const int error = rc == static_cast<std::size_t>(-1) ? errno : 0;
            out.append(buffer, static_cast<std::size_t>(dst - buffer));
            at = in.size() - srcLeft;
            if (error == 0 || error == E2BIG) continue;
            // EILSEQ: not a character here, or none the target has; EINVAL: cut off at the end.
            out.append(replacement);
            at += error == EINVAL ? srcLeft : skip(in.substr(at));
            ::iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
        }
        return out;
    }

private:
    iconv_t m_cd;
};

// Without a converter (no GBK module installed) ASCII still passes and the rest is replaced.
std::string AsciiOnly(std::string_view in, std::string_view replacement, bool fromGbk) {
    std::string out;
    for (std::size_t i = 0; i < in.size();) {
        const auto c = static_cast<unsigned char>(in[i]);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
            ++i;
            continue;
        }
        out.append(replacement);
        const std::size_t n = fromGbk ? (i + 1 < in.size() ? 2 : 1) : Utf8CharLength(in.substr(i));
        i += n == 0 ? 1 : n;
    }
    return out;
}

}  // namespace

std::string Cp936ToUtf8(std::string_view gbk) {
    Converter c("UTF-8", "GBK");
    if (!c.Ok()) return AsciiOnly(gbk, kReplacementUtf8, true);
    // A refused lead byte goes alone: the byte after it may be a character of its own ("A").
    return c.Run(gbk, kReplacementUtf8, [](std::string_view) { return std::size_t{1}; });
}

std::string Utf8ToCp936(std::string_view utf8) {
    Converter c("GBK", "UTF-8");
    if (!c.Ok()) return AsciiOnly(utf8, "?", false);
    return c.Run(utf8, "?", [](std::string_view rest) {
        const std::size_t n = Utf8CharLength(rest);
        return n == 0 ? std::size_t{1} : n;
    });
}

std::string ValidUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t n = Utf8CharLength(text.substr(i));
        if (n == 0) {
            out.append(kReplacementUtf8);
            ++i;
        } else {
            out.append(text.substr(i, n));
            i += n;
        }
    }
    return out;
}

std::string CutUtf8(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) return std::string(text);
    std::size_t cut = maxBytes;
    // Back to the start of the character the limit falls in (at most three continuation bytes).
    for (int i = 0; i < 3 && cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80; ++i) --cut;
    return std::string(text.substr(0, cut));
}

std::string CutCp936(std::string_view gbk, std::size_t maxBytes) {
    const std::size_t limit = gbk.size() < maxBytes ? gbk.size() : maxBytes;
    std::size_t i = 0;
    while (i < limit) {
        const auto c = static_cast<unsigned char>(gbk[i]);
        const std::size_t n = c >= 0x81 && c <= 0xFE ? 2 : 1;
        if (i + n > limit) break;
        i += n;
    }
    return std::string(gbk.substr(0, i));
}

}  // namespace platform
