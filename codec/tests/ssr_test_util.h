// Helpers shared by the codec tests: build a message with the two-call sizing convention, and
// spell expected bytes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "wendrel/ssr_codec.h"

namespace ssrtest {

using Bytes = std::vector<std::uint8_t>;

// Calls `build(buf, &size)` first with no buffer and size 0 (must give -3 and the size), then
// into a buffer of exactly that size (must give 0 and leave the size unchanged).
template <typename SizeT = short, typename F>
Bytes Build(F build) {
    SizeT size = 0;
    EXPECT_EQ(build(nullptr, &size), SSR_BUFFER_TOO_SMALL);
    EXPECT_GE(size, 4);
    if (size < 4) return {};
    Bytes buf(static_cast<std::size_t>(size) + 8, 0xCC);  // guard bytes after the message
    const SizeT needed = size;
    EXPECT_EQ(build(buf.data(), &size), SSR_SUCCESS);
    EXPECT_EQ(size, needed);
    for (std::size_t i = static_cast<std::size_t>(needed); i < buf.size(); ++i)
        EXPECT_EQ(buf[i], 0xCC) << "overrun at " << i;
    buf.resize(static_cast<std::size_t>(needed));
    return buf;
}

inline void Put16(Bytes& b, std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v));
}
inline void Put32(Bytes& b, std::uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<std::uint8_t>(v >> s));
}
inline void PutText(Bytes& b, const std::string& s) {
    b.insert(b.end(), s.begin(), s.end());
    b.push_back(0);
}
inline void PutField(Bytes& b, const std::string& s, std::size_t width) {
    Bytes f(width, 0);
    std::memcpy(f.data(), s.data(), s.size());
    b.insert(b.end(), f.begin(), f.end());
}
// Header for a control message with the given payload.
inline Bytes Control(std::uint8_t code, const Bytes& payload) {
    Bytes b(4 + payload.size());
    b[0] = 0x13;
    b[1] = code;
    b[2] = static_cast<std::uint8_t>(payload.size() >> 8);
    b[3] = static_cast<std::uint8_t>(payload.size());
    if (!payload.empty()) std::memcpy(b.data() + 4, payload.data(), payload.size());
    return b;
}
inline std::uint32_t Get32(const void* p) {
    const auto* b = static_cast<const std::uint8_t*>(p);
    return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) | b[3];
}
inline std::uint16_t Get16(const void* p) {
    const auto* b = static_cast<const std::uint8_t*>(p);
    return static_cast<std::uint16_t>((b[0] << 8) | b[1]);
}
inline short Len(const Bytes& b) { return static_cast<short>(b.size()); }

}  // namespace ssrtest
