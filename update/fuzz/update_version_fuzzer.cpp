// Version texts: refused or read, never a crash; a text that is read holds one to four parts of
// digits only, each within 32 bits, and reads back as the numbers it holds.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "glimrow/glimrow.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::uint32_t parts[4];
    if (!ParseVersion(text.c_str(), parts)) return 0;
    std::size_t part = 0;
    std::uint64_t value = 0;
    for (std::size_t i = 0; i <= text.size() && text[i] != '\0'; ++i) {
        if (text[i] == '.') {
            if (value != parts[part] || part == 3) std::abort();
            ++part;
            value = 0;
            continue;
        }
        if (text[i] < '0' || text[i] > '9') std::abort();
        value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
        if (value > 0xFFFFFFFFu) std::abort();
    }
    if (value != parts[part]) std::abort();
    for (std::size_t i = part + 1; i < 4; ++i)
        if (parts[i] != 0) std::abort();
    return 0;
}
