// Base64 with the line layout stored data already carries: CR LF after every 76 characters when
// more output follows. Sizes are computed in 64-bit arithmetic so a large `length` cannot wrap
// the size checks.
#include <climits>
#include <cstddef>
#include <cstdint>

#include "fennix/fennix.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int kGroupsPerLine = 19;  // 19 groups of 4 = 76 characters

constexpr std::int8_t kInvalid = -1;

struct DecodeTable {
    std::int8_t value[256];
    constexpr DecodeTable() : value() {
        for (auto& v : value) v = kInvalid;
        for (int i = 0; i < 64; ++i)
            value[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
    }
};
constexpr DecodeTable kDecode;

// Characters the encoding of `length` bytes produces (without the terminating zero).
std::int64_t EncodedLength(std::int64_t length) {
    const std::int64_t groups = (length + 2) / 3;
    const std::int64_t lineBreaks = groups > 0 ? (groups - 1) / kGroupsPerLine : 0;
    return groups * 4 + lineBreaks * 2;
}

void EncodeGroup(const unsigned char* in, std::int64_t count, char* out) {
    const std::uint32_t b0 = in[0];
    const std::uint32_t b1 = count > 1 ? in[1] : 0;
    const std::uint32_t b2 = count > 2 ? in[2] : 0;
    const std::uint32_t triple = (b0 << 16) | (b1 << 8) | b2;
    out[0] = kAlphabet[(triple >> 18) & 0x3F];
    out[1] = kAlphabet[(triple >> 12) & 0x3F];
    out[2] = count > 1 ? kAlphabet[(triple >> 6) & 0x3F] : '=';
    out[3] = count > 2 ? kAlphabet[triple & 0x3F] : '=';
}

}  // namespace

extern "C" FENNIX_API int fennix_Base64Encode(const unsigned char* in, int length, char* out) {
    if (out == nullptr) return -1;
    out[0] = '\0';
    if (length < 0 || (in == nullptr && length != 0)) return -1;
    const std::int64_t total = EncodedLength(length);
    if (total > INT_MAX) return -1;

    std::int64_t pos = 0;
    std::int64_t groupsOnLine = 0;
    for (std::int64_t i = 0; i < length; i += 3) {
        if (groupsOnLine == kGroupsPerLine) {  // only reached when more input follows
            out[pos++] = '\r';
            out[pos++] = '\n';
            groupsOnLine = 0;
        }
        EncodeGroup(in + i, length - i, out + pos);
        pos += 4;
        ++groupsOnLine;
    }
    out[pos] = '\0';
    return static_cast<int>(pos);
}

extern "C" FENNIX_API int fennix_Base64Decode(const char* in, int length, unsigned char* out) {
    if (out == nullptr || length < 0 || (in == nullptr && length != 0)) return -1;
    std::int64_t written = 0;
    std::uint32_t quad = 0;
    int collected = 0;
    for (std::int64_t i = 0; i < length; ++i) {
        const std::int8_t v = kDecode.value[static_cast<unsigned char>(in[i])];
        if (v == kInvalid) continue;  // line breaks, blanks, padding and anything else
        quad = (quad << 6) | static_cast<std::uint32_t>(v);
        if (++collected == 4) {
            out[written++] = static_cast<unsigned char>(quad >> 16);
            out[written++] = static_cast<unsigned char>(quad >> 8);
            out[written++] = static_cast<unsigned char>(quad);
            quad = 0;
            collected = 0;
        }
    }
    // A final 3 characters carry 18 bits (2 bytes), a final 2 carry 12 (1 byte), 1 carries none.
    if (collected == 3) {
        out[written++] = static_cast<unsigned char>(quad >> 10);
        out[written++] = static_cast<unsigned char>(quad >> 2);
    } else if (collected == 2) {
        out[written++] = static_cast<unsigned char>(quad >> 4);
    }
    return static_cast<int>(written);  // at most 3/4 of an int length: fits
}
