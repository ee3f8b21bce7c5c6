// Internal helpers of the driver access library.
#pragma once
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/debug_output.h"

namespace morbeck {

// A line to the debugger output.
__attribute__((format(printf, 1, 2))) inline void Debug(const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    platform::DebugOutput(line);
}

// Ring indices are 32-bit words shared with the driver: read with acquire, published with
// release, at their byte offsets inside the (packed) headers.
inline std::int32_t LoadIndex(const std::uint8_t* at) {
    return std::atomic_ref<std::int32_t>(*reinterpret_cast<std::int32_t*>(const_cast<std::uint8_t*>(at)))
        .load(std::memory_order_acquire);
}
inline void StoreIndex(std::uint8_t* at, std::int32_t v) {
    std::atomic_ref<std::int32_t>(*reinterpret_cast<std::int32_t*>(at)).store(v, std::memory_order_release);
}
template <typename T>
inline T Field(const std::uint8_t* at) {
    T v;
    std::memcpy(&v, at, sizeof(T));
    return v;
}

}  // namespace morbeck
