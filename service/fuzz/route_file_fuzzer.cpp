// libFuzzer entry for "SystemRouteTable.dat": a file is taken whole or not at all, and what is
// taken writes back as the very same bytes. Run:
//   service_route_file_fuzzer -max_len=4096 [corpus-dir]
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "service/route_table_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<MIB_IPFORWARDROW> rows;
    std::string error;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    if (service::ParseRouteTableFile(bytes, &rows, &error)) {
        if (service::FormatRouteTableFile(rows) != bytes) std::abort();
    } else if (!rows.empty() || error.empty()) {
        std::abort();
    }
    return 0;
}
