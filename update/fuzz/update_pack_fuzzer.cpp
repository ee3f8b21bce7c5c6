// The package header reader over arbitrary bytes: every name it returns stays in the unpack folder.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "glimrow/glimrow.h"
#include "pack_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<update_pack::Entry> entries;
    if (update_pack::ParseHeader(data, size, &entries) != 0) {
        if (!entries.empty()) std::abort();
        return 0;
    }
    if (entries.size() > update_pack::kMaxFiles) std::abort();
    for (const auto& e : entries)
        if (!IsPlainFileName(e.name)) std::abort();
    return 0;
}
