// Every parser of the codec behind one signature, for the fuzz-style test and the libFuzzer
// target: each entry parses `length` bytes held in a buffer of exactly that size and checks what
// came back (pointers inside the message, texts terminated inside it, sizes consistent).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ssrfuzz {

struct Extractor {
    const char* name;
    // Returns an empty string when the result is sound, else what was wrong.
    std::string (*run)(const std::uint8_t* msg, std::size_t length);
};

const std::vector<Extractor>& Extractors();

// The header parser, the plain data extractor and the inflating extractor on a shared stream.
std::string RunHeader(const std::uint8_t* msg, std::size_t length);

}  // namespace ssrfuzz
