#include "ssr_log.h"

#include <cstdarg>
#include <cstdio>

#include "dailylog/shared_daily_log.h"

namespace wendrel {
namespace {

// A line at this level passes the log's default threshold, like any diagnostic print.
constexpr int kLevel = 4;

}  // namespace

void LogLine(const char* format, ...) {
    // Lines are short diagnostics; a longer one is cut rather than allocated on the data path.
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    try {
        TW_LOG(LOG_DEBUGGER, kLevel, "%s", line);
    } catch (...) {
        // A diagnostic must never fail the message it describes.
    }
}

}  // namespace wendrel
