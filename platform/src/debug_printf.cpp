#include "platform/debug_printf.h"

#include <cstdarg>
#include <cstdio>

#include "platform/debug_output.h"

namespace platform {

void DebugPrintf(const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    DebugOutput(line);
}

}  // namespace platform
