// "UpdatePack.dat": a header of sizes and names, then the file bodies back to back.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace update_pack {

constexpr std::size_t kSizesOffset = 12;
constexpr std::size_t kNamesOffset = 516;
constexpr std::size_t kMaxFiles = 126;
// Headers beyond this are refused before anything is allocated for them.
constexpr std::uint32_t kHeaderMax = 1u << 20;

struct Entry {
    std::string name;
    std::uint32_t size = 0;
};

// Reads the header (`header` holds all H bytes, H included). 0, or an UpdateErrorCode:
// 0x1000d for a header shorter than its own length field, 0x10009 for a name that would leave
// the unpack folder (empty names end the list; names and sizes past H are not used).
// `refused`, when given, gets the refused name.
unsigned long ParseHeader(const unsigned char* header, std::size_t length, std::vector<Entry>* entries,
                          std::string* refused = nullptr);

}  // namespace update_pack
