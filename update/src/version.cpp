#include <cstdint>

#include "glimrow/glimrow.h"

namespace {

bool ParseParts(const char* p, std::uint32_t out[4]) {
    for (int i = 0; i < 4; ++i) {
        if (*p < '0' || *p > '9') return false;
        std::uint64_t value = 0;
        for (; *p >= '0' && *p <= '9'; ++p) {
            value = value * 10 + static_cast<std::uint64_t>(*p - '0');
            // Checked per digit: no count of digits can wrap the value.
            if (value > 0xFFFFFFFFu) return false;
        }
        out[i] = static_cast<std::uint32_t>(value);
        if (*p == '\0') return true;
        if (*p != '.') return false;
        ++p;
    }
    return false;  // a fifth part, or a trailing dot after the fourth
}

}  // namespace

bool ParseVersion(const char* text, std::uint32_t parts[4]) {
    if (!parts) return false;
    std::uint32_t read[4] = {};
    const bool ok = text && ParseParts(text, read);
    for (int i = 0; i < 4; ++i) parts[i] = ok ? read[i] : 0;
    return ok;
}
