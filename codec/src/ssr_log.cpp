#include "ssr_log.h"

#include <cstdarg>
#include <cstdio>

#include "platform/debug_output.h"

namespace wendrel {

void LogLine(const char* format, ...) {
    // Lines are short diagnostics; a longer one is cut rather than allocated on the data path.
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    try {
        platform::DebugOutput(line);
    } catch (...) {
        // A diagnostic must never fail the message it describes.
    }
}

}  // namespace wendrel
