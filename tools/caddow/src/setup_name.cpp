// The setup-name and settings-number parsers.
#include "caddow/setup_name.h"

namespace caddow {

bool ParseSetupFileName(std::string_view name, std::string* address, std::uint32_t* port) {
    constexpr std::string_view kIp = "_IP_";
    constexpr std::string_view kPort = "_PORT_";
    const std::size_t ip = name.find(kIp);
    if (ip == std::string_view::npos) return false;
    const std::size_t from = ip + kIp.size();
    const std::size_t marker = name.rfind(kPort);
    if (marker == std::string_view::npos || marker < from) return false;
    const std::string_view addr = name.substr(from, marker - from);
    if (addr.size() <= 6) return false;
    for (const char c : addr) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
    }
    std::uint32_t value = 0;
    std::size_t digits = 0;
    for (std::size_t i = marker + kPort.size(); i < name.size(); ++i) {
        const char c = name[i];
        if (c < '0' || c > '9') break;
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
        // Checked on every digit, so a long run cannot wrap round to a small port.
        if (value > 65535) return false;
        ++digits;
    }
    if (digits == 0 || value == 0) return false;
    *address = std::string(addr);
    *port = value;
    return true;
}

std::string NarrowSetupName(const wchar_t* name) {
    std::string out;
    if (name == nullptr) return out;
    for (const wchar_t* p = name; *p != L'\0' && out.size() < kMaxSetupNameBytes - 1; ++p) {
        const auto c = static_cast<std::uint32_t>(*p);
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return out;
}

bool ParseConfigNumber(std::string_view text, std::uint32_t* value) {
    bool negative = false;
    if (!text.empty() && text[0] == '-') {
        negative = true;
        text.remove_prefix(1);
    }
    if (text.empty() || text.size() > 10) return false;
    std::uint64_t v = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (negative ? v > 0x80000000ull : v > 0xFFFFFFFFull) return false;
    *value = negative ? static_cast<std::uint32_t>(0u - static_cast<std::uint32_t>(v))
                      : static_cast<std::uint32_t>(v);
    return true;
}

}  // namespace caddow
