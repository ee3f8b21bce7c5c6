// The gateway history file's parser over any bytes: it accepts or refuses with a reason, and what
// it accepts writes out and reads back the same.
#include <cstddef>
#include <cstdint>
#include <string>

#include "vorn/dialogs/gateway_history.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vorn::GatewayHistory history;
    std::string error;
    if (!vorn::ParseHistoryIni(std::string_view(reinterpret_cast<const char*>(data), size), &history,
                               &error)) {
        if (error.empty()) __builtin_trap();
        return 0;
    }
    vorn::GatewayHistory again;
    if (!vorn::ParseHistoryIni(vorn::FormatHistoryIni(history), &again, &error)) __builtin_trap();
    if (again.Count() > history.Count()) __builtin_trap();
    for (int i = 0; i < again.Count(); ++i)
        if (again.Find(again[i].server) > i) __builtin_trap();
    return 0;
}
