// The gateway history file's reader over any bytes: whatever it reads writes out and reads back
// the same.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "vorn/dialogs/gateway_history.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vorn::GatewayHistory history;
    std::vector<std::string> skipped;
    vorn::ParseHistoryIni(std::string_view(reinterpret_cast<const char*>(data), size), &history, &skipped);
    if (history.Count() > vorn::kHistorySize) __builtin_trap();
    vorn::GatewayHistory again;
    vorn::ParseHistoryIni(vorn::FormatHistoryIni(history), &again);
    if (again.Count() != history.Count()) __builtin_trap();
    for (int i = 0; i < again.Count(); ++i) {
        if (again[i].server != history[i].server || again[i].user != history[i].user) __builtin_trap();
        if (again.Find(again[i].server) > i) __builtin_trap();
    }
    return 0;
}
