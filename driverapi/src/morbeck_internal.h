// Internal helpers of the driver access library.
#pragma once
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/debug_printf.h"

namespace morbeck {

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
