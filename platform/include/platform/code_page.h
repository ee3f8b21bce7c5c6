// Texts between the suite and code page 936 (GBK), the code page gateways write their texts in.
// The suite's own texts are UTF-8; a text is converted where it crosses the wire, in one place.
//
// Pure functions, thread-safe (each call has its own converter). No errors: a byte sequence that
// is not a character of the source code page, or a character the target lacks, becomes a
// replacement (U+FFFD in UTF-8, '?' in GBK); nothing is dropped silently and nothing throws.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// GBK text (as a peer sent it) as UTF-8.
std::string Cp936ToUtf8(std::string_view gbk);
// UTF-8 text as GBK, for the wire.
std::string Utf8ToCp936(std::string_view utf8);
// `text` with every byte sequence that is not UTF-8 (overlong forms and surrogates included)
// replaced by U+FFFD.
std::string ValidUtf8(std::string_view text);
// The longest start of UTF-8 `text` of at most `maxBytes` bytes that ends on a character.
std::string CutUtf8(std::string_view text, std::size_t maxBytes);
// The longest start of GBK `text` of at most `maxBytes` bytes that ends on a character: a lead
// byte whose second byte was cut off (a peer's fixed-size field) is left out.
std::string CutCp936(std::string_view gbk, std::size_t maxBytes);

}  // namespace platform
