// printf-style lines to the debugger output (debug_output.h), cut at 511 characters.
#pragma once

namespace platform {

__attribute__((format(printf, 1, 2))) void DebugPrintf(const char* format, ...);

}  // namespace platform
