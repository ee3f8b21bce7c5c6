// Internal: the service's log lines go to the shared daily log; peer texts are made printable first.
#pragma once
#include <string>
#include <string_view>

#include "dailylog/shared_daily_log.h"

#define SVC_LOG(...) TW_LOG(LOG_CLIENT_LOGIN, 4, __VA_ARGS__)

namespace service {

// A peer's bytes for a log line: at most `limit` bytes, control and non-ASCII bytes as "\xNN",
// so that no peer can forge or split log lines.
inline std::string PrintableText(std::string_view text, std::size_t limit = 255) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < text.size() && i < limit; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out.push_back(static_cast<char>(c));
        } else {
            out += "\\x";
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 15]);
        }
    }
    return out;
}

}  // namespace service
