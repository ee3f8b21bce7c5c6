// MD5 (RFC 1321). The context keeps the reference implementation's 104-byte layout: bit count,
// state, input buffer and the digest of the last Final.
#include <openssl/crypto.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "digest_record.h"
#include "fennix/fennix.h"

namespace {

struct Md5Context {
    std::uint32_t count[2];  // bits fed, low word first
    std::uint32_t state[4];
    unsigned char buffer[64];
    unsigned char digest[16];
};
static_assert(sizeof(Md5Context) == 104, "MD5 context is 104 bytes");

constexpr std::uint32_t kInit[4] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476};

// Per-step shift amounts and sine-derived constants, in the order of the 64 steps.
constexpr int kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                            5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                            4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                            6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
constexpr std::uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

inline std::uint32_t RotateLeft(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

void Transform(std::uint32_t state[4], const unsigned char block[64]) {
    std::uint32_t x[16];
    for (int i = 0; i < 16; ++i) {
        x[i] = std::uint32_t{block[4 * i]} | (std::uint32_t{block[4 * i + 1]} << 8) |
               (std::uint32_t{block[4 * i + 2]} << 16) | (std::uint32_t{block[4 * i + 3]} << 24);
    }
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; ++i) {
        std::uint32_t f;
        int g;
        if (i < 16) {
            f = (b & c) | (~b & d);
            g = i;
        } else if (i < 32) {
            f = (b & d) | (c & ~d);
            g = (5 * i + 1) % 16;
        } else if (i < 48) {
            f = b ^ c ^ d;
            g = (3 * i + 5) % 16;
        } else {
            f = c ^ (b | ~d);
            g = (7 * i) % 16;
        }
        const std::uint32_t rotated = b + RotateLeft(a + f + kSine[i] + x[g], kShift[i]);
        a = d;
        d = c;
        c = b;
        b = rotated;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    OPENSSL_cleanse(x, sizeof x);
}

void Init(Md5Context* ctx) {
    std::memset(ctx, 0, sizeof *ctx);
    std::memcpy(ctx->state, kInit, sizeof kInit);
}

void Update(Md5Context* ctx, const unsigned char* data, std::size_t length) {
    std::size_t index = (ctx->count[0] >> 3) & 0x3F;
    const std::uint64_t bits =
        (std::uint64_t{ctx->count[1]} << 32 | ctx->count[0]) + std::uint64_t{length} * 8;
    ctx->count[0] = static_cast<std::uint32_t>(bits);
    ctx->count[1] = static_cast<std::uint32_t>(bits >> 32);

    std::size_t i = 0;
    const std::size_t room = 64 - index;
    if (length >= room) {
        std::memcpy(ctx->buffer + index, data, room);
        Transform(ctx->state, ctx->buffer);
        for (i = room; i + 64 <= length; i += 64) Transform(ctx->state, data + i);
        index = 0;
    }
    std::memcpy(ctx->buffer + index, data + i, length - i);
}

void Final(Md5Context* ctx, unsigned char digest[16]) {
    unsigned char bitCount[8];
    for (int i = 0; i < 4; ++i) {
        bitCount[i] = static_cast<unsigned char>(ctx->count[0] >> (8 * i));
        bitCount[4 + i] = static_cast<unsigned char>(ctx->count[1] >> (8 * i));
    }
    static constexpr unsigned char kPadding[64] = {0x80};
    const std::size_t index = (ctx->count[0] >> 3) & 0x3F;
    Update(ctx, kPadding, index < 56 ? 56 - index : 120 - index);
    Update(ctx, bitCount, 8);
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) digest[4 * i + j] = static_cast<unsigned char>(ctx->state[i] >> (8 * j));
    }
}

}  // namespace

extern "C" FENNIX_API int fennix_MD5Digest(const unsigned char* data, int length, fennix_digest_record* out) {
    if (data == nullptr || length <= 0 || !fennix::RecordFits(out, FENNIX_MD5_LENGTH))
        return FENNIX_ERR_ARGUMENT;
    Md5Context ctx;
    Init(&ctx);
    Update(&ctx, data, static_cast<std::size_t>(length));
    unsigned char digest[FENNIX_MD5_LENGTH];
    Final(&ctx, digest);
    fennix::WriteDigest(out, digest, sizeof digest);
    OPENSSL_cleanse(&ctx, sizeof ctx);
    return FENNIX_OK;
}

extern "C" FENNIX_API int fennix_CreateMD5Ctx(void** context) {
    if (context == nullptr) return FENNIX_ERR_ARGUMENT;
    auto* ctx = static_cast<Md5Context*>(std::malloc(sizeof(Md5Context)));
    if (ctx == nullptr) return FENNIX_ERR_MEMORY;
    Init(ctx);
    *context = ctx;
    return FENNIX_OK;
}

extern "C" FENNIX_API int fennix_MD5Update(void* context, const unsigned char* data, int length) {
    if (context == nullptr || data == nullptr || length <= 0) return FENNIX_ERR_ARGUMENT;
    Update(static_cast<Md5Context*>(context), data, static_cast<std::size_t>(length));
    return FENNIX_OK;
}

extern "C" FENNIX_API int fennix_MD5Final(void* context, fennix_digest_record* out) {
    if (context == nullptr || !fennix::RecordFits(out, FENNIX_MD5_LENGTH)) return FENNIX_ERR_ARGUMENT;
    auto* ctx = static_cast<Md5Context*>(context);
    Final(ctx, ctx->digest);
    fennix::WriteDigest(out, ctx->digest, FENNIX_MD5_LENGTH);
    // Start over, so a caller that feeds the context again gets a correct digest of the new data.
    Init(ctx);
    return FENNIX_OK;
}

extern "C" FENNIX_API int fennix_DestroyMD5Ctx(void* context) {
    if (context == nullptr) return FENNIX_ERR_ARGUMENT;
    OPENSSL_cleanse(context, sizeof(Md5Context));
    std::free(context);
    return FENNIX_OK;
}
