// Internal helpers of the driver access library.
#pragma once
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/debug_printf.h"

namespace morbeck {

template <typename T>
inline T Field(const std::uint8_t* at) {
    T v;
    std::memcpy(&v, at, sizeof(T));
    return v;
}

}  // namespace morbeck
