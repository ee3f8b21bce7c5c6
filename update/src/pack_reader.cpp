#include "pack_reader.h"

#include <cstring>

#include "glimrow/glimrow.h"

namespace update_pack {

namespace {

std::uint32_t Le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

unsigned long ParseHeader(const unsigned char* header, std::size_t length, std::vector<Entry>* entries,
                          std::string* refused) {
    entries->clear();
    if (length < 4) return ERROR_UPD_READ_FILE;
    std::size_t h = Le32(header);
    if (h > length || h < 4) return ERROR_UPD_READ_FILE;
    for (std::size_t i = 0, pos = kNamesOffset; i < kMaxFiles && pos < h; ++i) {
        const char* name = reinterpret_cast<const char*>(header + pos);
        const void* nul = std::memchr(name, '\0', h - pos);
        // A name that runs to the end of the header has no end: the list stops before it.
        if (!nul) break;
        const auto len = static_cast<std::size_t>(static_cast<const char*>(nul) - name);
        if (len == 0) break;
        std::size_t sizeAt = kSizesOffset + 4 * i;
        if (sizeAt + 4 > h) break;
        Entry e;
        e.name.assign(name, len);
        e.size = Le32(header + sizeAt);
        if (!IsPlainFileName(e.name)) {
            if (refused) *refused = e.name;
            entries->clear();
            return ERROR_UPD_BAD_ARGUMENT;
        }
        entries->push_back(std::move(e));
        pos += len + 1;
    }
    return 0;
}

}  // namespace update_pack
