// The language catalogue's parser over any bytes: it accepts or refuses, never crashes, and what
// it accepts it can read back.
#include <cstddef>
#include <cstdint>
#include <string>

#include "vorn/dialogs/language_catalogue.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string error;
    auto catalogue =
        vorn::LanguageCatalogue::Parse(std::string_view(reinterpret_cast<const char*>(data), size), &error);
    if (catalogue) {
        for (int id : {1, 102, 135, 99999999}) (void)catalogue->Text(id);
    } else if (error.empty()) {
        __builtin_trap();
    }
    return 0;
}
