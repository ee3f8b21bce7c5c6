// libFuzzer entry for the reader of another process's environment block: a value it gives is one
// whole entry's, starting an entry of the block, never one cut short. Run:
//   platform_environment_fuzzer -max_len=4096 [corpus-dir]
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/process.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view block(reinterpret_cast<const char*>(data), size);
    std::string value;
    if (!platform::EnvironmentEntry(block, "QEL_ROOT", &value)) {
        if (!value.empty()) std::abort();
        return 0;
    }
    const std::string whole = "QEL_ROOT=" + value + std::string(1, '\0');
    const bool found = block.substr(0, whole.size()) == whole ||
                       block.find(std::string(1, '\0') + whole) != std::string_view::npos;
    if (!found || value.find('\0') != std::string::npos) {
        std::fprintf(stderr, "a value that is no whole entry of the block\n");
        std::abort();
    }
    return 0;
}
