#include "vorn/command_line.h"

#include <cctype>
#include <cstdint>

#include "platform/code_page.h"

namespace vorn {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

StartOptions ParseCommandLine(const std::vector<std::string>& args) {
    StartOptions o;
    if (args.size() < 2) return o;
    const std::string& a1 = args[1];
    const std::size_t n = args.size();
    if (a1 == "-config") {
        o.config = true;
        return o;
    }
    o.debug = a1 == "-debug";
    o.exit = a1 == "-exit";
    o.api = a1 == "-api";
    if (a1 == "-logon" && n == 4) {
        o.logonMode = true;
        o.logonUser = args[2];
        // "-" is no Base64 text, so it cannot be a scrambled password.
        if (args[3] == "-") {
            o.passwordOnStdin = true;
        } else {
            o.logonScrambledPassword = args[3];
        }
    } else if (a1 == "-browserlogon" && (n == 6 || n == 7)) {
        o.browserLogon = true;
        o.gatewayAddress = args[2];
        o.gatewayPort = args[3];
        o.sessionId = args[4];
        std::string decoded;
        o.gatewayUser = UrlDecode(args[5], &decoded, 128) ? decoded : std::string();
        if (n == 7) o.gatewayVersion = args[6];
    } else if (a1 == "-autologon") {
        o.autoLogon = true;
    }
    return o;
}

bool UrlDecode(const std::string& source, std::string* out, std::size_t size) {
    out->clear();
    if (size == 0) return false;
    std::string decoded;
    for (std::size_t i = 0; i < source.size(); ++i) {
        if (source[i] == '%' && i + 2 < source.size()) {
            const int hi = HexValue(source[i + 1]), lo = HexValue(source[i + 2]);
            if (hi >= 0 && lo >= 0) {
                decoded.push_back(static_cast<char>(hi * 16 + lo));
                i += 2;
                continue;
            }
        }
        decoded.push_back(source[i]);
    }
    // Bytes that are no UTF-8 are replaced, as a conversion of the text would; the limit is cut at
    // a character, so that what is kept is still UTF-8.
    *out = platform::CutUtf8(platform::ValidUtf8(decoded), size - 1);
    return true;
}

std::string AnsiToUtf8(const std::string& source, std::size_t size, bool capital) {
    static const char* kLower = "0123456789abcdef";
    static const char* kUpper = "0123456789ABCDEF";
    const char* digits = capital ? kUpper : kLower;
    std::string out;
    if (size == 0) return out;
    for (char ch : source) {
        const auto c = static_cast<unsigned char>(ch);
        const bool plain = std::isalnum(c) != 0 && c < 0x80;
        if (plain || c == '+') {
            if (out.size() + 1 > size - 1) break;
            out.push_back(ch);
        } else {
            if (out.size() + 3 > size - 1) break;
            out.push_back('%');
            out.push_back(digits[c >> 4]);
            out.push_back(digits[c & 15]);
        }
    }
    return out;
}

int CompareVersions(const std::string& a, const std::string& b) {
    auto parts = [](const std::string& v) {
        std::vector<unsigned long long> out;
        std::size_t i = 0;
        while (i <= v.size()) {
            const std::size_t dot = v.find('.', i);
            const std::string part = v.substr(i, dot == std::string::npos ? std::string::npos : dot - i);
            unsigned long long n = 0;
            for (char c : part) {
                if (c < '0' || c > '9') break;
                if (n < 1000000000000ULL) n = n * 10 + static_cast<unsigned>(c - '0');
            }
            out.push_back(n);
            if (dot == std::string::npos) break;
            i = dot + 1;
        }
        return out;
    };
    const auto pa = parts(a), pb = parts(b);
    for (std::size_t i = 0; i < pa.size() || i < pb.size(); ++i) {
        const unsigned long long x = i < pa.size() ? pa[i] : 0, y = i < pb.size() ? pb[i] : 0;
        if (x != y) return x < y ? -1 : 1;
    }
    return 0;
}

}  // namespace vorn
