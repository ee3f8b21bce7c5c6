// libFuzzer target: the installer helper's setup-name and settings-number parsers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "caddow/setup_name.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string address;
    std::uint32_t port = 0;
    if (caddow::ParseSetupFileName(text, &address, &port)) {
        if (address.size() <= 6 || port == 0 || port > 65535) std::abort();
    }
    std::uint32_t value = 0;
    caddow::ParseConfigNumber(text, &value);
    std::wstring wide;
    for (const char c : text) wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    if (caddow::NarrowSetupName(wide.c_str()).size() >= caddow::kMaxSetupNameBytes) std::abort();
    return 0;
}
