// libFuzzer entry for a line of the kernel's socket tables: a line is taken whole or refused, and
// a taken line's fields come from the text it holds. Run:
//   engine_proc_net_line_fuzzer -max_len=512 [corpus-dir]
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engine/connector_utils.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    DWORD address = 1;
    WORD port = 1;
    std::uint64_t inode = 1;
    if (engine::ParseProcNetLine(line, &address, &port, &inode)) {
        // A line that parses names its slot and its local address before anything else.
        if (line.find(':') == std::string_view::npos) std::abort();
    } else if (address != 1 || port != 1 || inode != 1) {
        std::abort();  // a refused line leaves the outputs alone
    }
    return 0;
}
