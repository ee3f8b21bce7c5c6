// Builds a message with one of the codec's sizing constructors: size first, then build.
#pragma once
#include <cstdint>
#include <vector>

namespace qelgw::test {

// Empty when the constructor refuses.
template <typename F>
std::vector<std::uint8_t> Build(F construct) {
    short size = 0;
    construct(nullptr, &size);
    std::vector<std::uint8_t> msg(static_cast<std::size_t>(size > 0 ? size : 0));
    if (construct(msg.data(), &size) != 0) msg.clear();
    return msg;
}

}  // namespace qelgw::test
