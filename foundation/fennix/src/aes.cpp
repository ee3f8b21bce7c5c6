// AES (FIPS-197) with the classic table layout: the S-box, its inverse and four byte-rotated round
// tables per direction, all derived at compile time from the S-box. CBC mode on top, no padding.
#include <openssl/crypto.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fennix/fennix.h"

namespace {

using Word = std::uint32_t;
using Table = std::array<Word, 256>;

constexpr std::array<std::uint8_t, 256> kSbox = {
    0x63, 0x7c, 0x77, 0x7b, 0xf2, 0x6b, 0x6f, 0xc5, 0x30, 0x01, 0x67, 0x2b, 0xfe, 0xd7, 0xab, 0x76,
    0xca, 0x82, 0xc9, 0x7d, 0xfa, 0x59, 0x47, 0xf0, 0xad, 0xd4, 0xa2, 0xaf, 0x9c, 0xa4, 0x72, 0xc0,
    0xb7, 0xfd, 0x93, 0x26, 0x36, 0x3f, 0xf7, 0xcc, 0x34, 0xa5, 0xe5, 0xf1, 0x71, 0xd8, 0x31, 0x15,
    0x04, 0xc7, 0x23, 0xc3, 0x18, 0x96, 0x05, 0x9a, 0x07, 0x12, 0x80, 0xe2, 0xeb, 0x27, 0xb2, 0x75,
    0x09, 0x83, 0x2c, 0x1a, 0x1b, 0x6e, 0x5a, 0xa0, 0x52, 0x3b, 0xd6, 0xb3, 0x29, 0xe3, 0x2f, 0x84,
    0x53, 0xd1, 0x00, 0xed, 0x20, 0xfc, 0xb1, 0x5b, 0x6a, 0xcb, 0xbe, 0x39, 0x4a, 0x4c, 0x58, 0xcf,
    0xd0, 0xef, 0xaa, 0xfb, 0x43, 0x4d, 0x33, 0x85, 0x45, 0xf9, 0x02, 0x7f, 0x50, 0x3c, 0x9f, 0xa8,
    0x51, 0xa3, 0x40, 0x8f, 0x92, 0x9d, 0x38, 0xf5, 0xbc, 0xb6, 0xda, 0x21, 0x10, 0xff, 0xf3, 0xd2,
    0xcd, 0x0c, 0x13, 0xec, 0x5f, 0x97, 0x44, 0x17, 0xc4, 0xa7, 0x7e, 0x3d, 0x64, 0x5d, 0x19, 0x73,
    0x60, 0x81, 0x4f, 0xdc, 0x22, 0x2a, 0x90, 0x88, 0x46, 0xee, 0xb8, 0x14, 0xde, 0x5e, 0x0b, 0xdb,
    0xe0, 0x32, 0x3a, 0x0a, 0x49, 0x06, 0x24, 0x5c, 0xc2, 0xd3, 0xac, 0x62, 0x91, 0x95, 0xe4, 0x79,
    0xe7, 0xc8, 0x37, 0x6d, 0x8d, 0xd5, 0x4e, 0xa9, 0x6c, 0x56, 0xf4, 0xea, 0x65, 0x7a, 0xae, 0x08,
    0xba, 0x78, 0x25, 0x2e, 0x1c, 0xa6, 0xb4, 0xc6, 0xe8, 0xdd, 0x74, 0x1f, 0x4b, 0xbd, 0x8b, 0x8a,
    0x70, 0x3e, 0xb5, 0x66, 0x48, 0x03, 0xf6, 0x0e, 0x61, 0x35, 0x57, 0xb9, 0x86, 0xc1, 0x1d, 0x9e,
    0xe1, 0xf8, 0x98, 0x11, 0x69, 0xd9, 0x8e, 0x94, 0x9b, 0x1e, 0x87, 0xe9, 0xce, 0x55, 0x28, 0xdf,
    0x8c, 0xa1, 0x89, 0x0d, 0xbf, 0xe6, 0x42, 0x68, 0x41, 0x99, 0x2d, 0x0f, 0xb0, 0x54, 0xbb, 0x16,
};

constexpr std::array<std::uint8_t, 256> MakeInverseSbox() {
    std::array<std::uint8_t, 256> inv{};
    for (std::size_t i = 0; i < 256; ++i) inv[kSbox[i]] = static_cast<std::uint8_t>(i);
    return inv;
}
constexpr auto kInvSbox = MakeInverseSbox();

// Multiplication in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1.
constexpr Word Mul(Word a, Word b) {
    Word product = 0;
    for (; b != 0; b >>= 1) {
        if (b & 1) product ^= a;
        a = (a << 1) ^ ((a & 0x80) ? 0x11B : 0);
    }
    return product & 0xFF;
}

constexpr Word RotateRight8(Word w) { return (w >> 8) | (w << 24); }

// Round table `rotation` (0..3): MixColumns (or InvMixColumns) column of the substituted byte,
// rotated right by 8 bits per step.
constexpr Table MakeRoundTable(bool inverse, int rotation) {
    Table t{};
    for (std::size_t x = 0; x < 256; ++x) {
        Word w;
        if (!inverse) {
            const Word s = kSbox[x];
            w = (Mul(s, 2) << 24) | (s << 16) | (s << 8) | Mul(s, 3);
        } else {
            const Word s = kInvSbox[x];
            w = (Mul(s, 14) << 24) | (Mul(s, 9) << 16) | (Mul(s, 13) << 8) | Mul(s, 11);
        }
        for (int r = 0; r < rotation; ++r) w = RotateRight8(w);
        t[x] = w;
    }
    return t;
}
constexpr Table kTe0 = MakeRoundTable(false, 0), kTe1 = MakeRoundTable(false, 1),
                kTe2 = MakeRoundTable(false, 2), kTe3 = MakeRoundTable(false, 3);
constexpr Table kTd0 = MakeRoundTable(true, 0), kTd1 = MakeRoundTable(true, 1),
                kTd2 = MakeRoundTable(true, 2), kTd3 = MakeRoundTable(true, 3);

constexpr int kMaxRounds = 14;
constexpr int kBlock = 16;

struct KeySchedule {
    Word rk[4 * (kMaxRounds + 1)];
    int rounds;
};

inline Word Load(const unsigned char* p) {
    return (Word{p[0]} << 24) | (Word{p[1]} << 16) | (Word{p[2]} << 8) | Word{p[3]};
}
inline void Store(unsigned char* p, Word w) {
    p[0] = static_cast<unsigned char>(w >> 24);
    p[1] = static_cast<unsigned char>(w >> 16);
    p[2] = static_cast<unsigned char>(w >> 8);
    p[3] = static_cast<unsigned char>(w);
}
inline Word B(Word w, int shift) { return (w >> shift) & 0xFF; }

Word SubWord(Word w) {
    return (Word{kSbox[B(w, 24)]} << 24) | (Word{kSbox[B(w, 16)]} << 16) | (Word{kSbox[B(w, 8)]} << 8) |
           Word{kSbox[B(w, 0)]};
}

// Key bytes from the record's length word: 24/192 -> AES-192, 32/256 -> AES-256, else AES-128.
int KeyBytes(std::uint32_t lengthWord) {
    if (lengthWord == 24 || lengthWord == 192) return 24;
    if (lengthWord == 32 || lengthWord == 256) return 32;
    return 16;
}

void ExpandEncryptKey(const unsigned char* key, int keyBytes, KeySchedule* ks) {
    const int nk = keyBytes / 4;
    ks->rounds = nk + 6;
    const int total = 4 * (ks->rounds + 1);
    for (int i = 0; i < nk; ++i) ks->rk[i] = Load(key + 4 * i);
    Word rcon = 0x01;
    for (int i = nk; i < total; ++i) {
        Word temp = ks->rk[i - 1];
        if (i % nk == 0) {
            temp = SubWord((temp << 8) | (temp >> 24)) ^ (rcon << 24);
            rcon = Mul(rcon, 2);
        } else if (nk > 6 && i % nk == 4) {
            temp = SubWord(temp);
        }
        ks->rk[i] = ks->rk[i - nk] ^ temp;
    }
}

// The equivalent inverse cipher's schedule: round keys in reverse order, InvMixColumns applied to
// all but the first and the last.
void ExpandDecryptKey(const unsigned char* key, int keyBytes, KeySchedule* ks) {
    KeySchedule enc;
    ExpandEncryptKey(key, keyBytes, &enc);
    ks->rounds = enc.rounds;
    for (int r = 0; r <= enc.rounds; ++r) {
        for (int c = 0; c < 4; ++c) {
            Word w = enc.rk[4 * (enc.rounds - r) + c];
            if (r != 0 && r != enc.rounds) {
                w = kTd0[kSbox[B(w, 24)]] ^ kTd1[kSbox[B(w, 16)]] ^ kTd2[kSbox[B(w, 8)]] ^
                    kTd3[kSbox[B(w, 0)]];
            }
            ks->rk[4 * r + c] = w;
        }
    }
    OPENSSL_cleanse(&enc, sizeof enc);
}

void EncryptBlock(const KeySchedule& ks, const unsigned char in[kBlock], unsigned char out[kBlock]) {
    const Word* rk = ks.rk;
    Word s0 = Load(in) ^ rk[0], s1 = Load(in + 4) ^ rk[1], s2 = Load(in + 8) ^ rk[2],
         s3 = Load(in + 12) ^ rk[3];
    for (int r = 1; r < ks.rounds; ++r) {
        rk += 4;
        const Word t0 = kTe0[B(s0, 24)] ^ kTe1[B(s1, 16)] ^ kTe2[B(s2, 8)] ^ kTe3[B(s3, 0)] ^ rk[0];
        const Word t1 = kTe0[B(s1, 24)] ^ kTe1[B(s2, 16)] ^ kTe2[B(s3, 8)] ^ kTe3[B(s0, 0)] ^ rk[1];
        const Word t2 = kTe0[B(s2, 24)] ^ kTe1[B(s3, 16)] ^ kTe2[B(s0, 8)] ^ kTe3[B(s1, 0)] ^ rk[2];
        const Word t3 = kTe0[B(s3, 24)] ^ kTe1[B(s0, 16)] ^ kTe2[B(s1, 8)] ^ kTe3[B(s2, 0)] ^ rk[3];
        s0 = t0, s1 = t1, s2 = t2, s3 = t3;
    }
    rk += 4;
    auto last = [](Word a, Word b, Word c, Word d, Word k) {
        return ((Word{kSbox[B(a, 24)]} << 24) | (Word{kSbox[B(b, 16)]} << 16) | (Word{kSbox[B(c, 8)]} << 8) |
                Word{kSbox[B(d, 0)]}) ^
               k;
    };
    Store(out, last(s0, s1, s2, s3, rk[0]));
    Store(out + 4, last(s1, s2, s3, s0, rk[1]));
    Store(out + 8, last(s2, s3, s0, s1, rk[2]));
    Store(out + 12, last(s3, s0, s1, s2, rk[3]));
}

void DecryptBlock(const KeySchedule& ks, const unsigned char in[kBlock], unsigned char out[kBlock]) {
    const Word* rk = ks.rk;
    Word s0 = Load(in) ^ rk[0], s1 = Load(in + 4) ^ rk[1], s2 = Load(in + 8) ^ rk[2],
         s3 = Load(in + 12) ^ rk[3];
    for (int r = 1; r < ks.rounds; ++r) {
        rk += 4;
        const Word t0 = kTd0[B(s0, 24)] ^ kTd1[B(s3, 16)] ^ kTd2[B(s2, 8)] ^ kTd3[B(s1, 0)] ^ rk[0];
        const Word t1 = kTd0[B(s1, 24)] ^ kTd1[B(s0, 16)] ^ kTd2[B(s3, 8)] ^ kTd3[B(s2, 0)] ^ rk[1];
        const Word t2 = kTd0[B(s2, 24)] ^ kTd1[B(s1, 16)] ^ kTd2[B(s0, 8)] ^ kTd3[B(s3, 0)] ^ rk[2];
        const Word t3 = kTd0[B(s3, 24)] ^ kTd1[B(s2, 16)] ^ kTd2[B(s1, 8)] ^ kTd3[B(s0, 0)] ^ rk[3];
        s0 = t0, s1 = t1, s2 = t2, s3 = t3;
    }
    rk += 4;
    auto last = [](Word a, Word b, Word c, Word d, Word k) {
        return ((Word{kInvSbox[B(a, 24)]} << 24) | (Word{kInvSbox[B(b, 16)]} << 16) |
                (Word{kInvSbox[B(c, 8)]} << 8) | Word{kInvSbox[B(d, 0)]}) ^
               k;
    };
    Store(out, last(s0, s3, s2, s1, rk[0]));
    Store(out + 4, last(s1, s0, s3, s2, rk[1]));
    Store(out + 8, last(s2, s1, s0, s3, rk[2]));
    Store(out + 12, last(s3, s2, s1, s0, rk[3]));
}

int CheckArguments(const unsigned char* in, int length, const unsigned char* out,
                   const fennix_key_record* key, const fennix_iv_record* iv) {
    if (in == nullptr || out == nullptr || key == nullptr || iv == nullptr || length <= 0) {
        return FENNIX_ERR_ARGUMENT;
    }
    if (length % kBlock != 0) return FENNIX_ERR_BLOCK_LENGTH;
    return FENNIX_OK;
}

}  // namespace

extern "C" FENNIX_API int fennix_AESEncrypt(const unsigned char* in, int length, unsigned char* out,
                                            const fennix_key_record* key, const fennix_iv_record* iv) {
    if (const int rc = CheckArguments(in, length, out, key, iv); rc != FENNIX_OK) return rc;
    KeySchedule ks;
    ExpandEncryptKey(key->key, KeyBytes(key->length), &ks);
    unsigned char chain[kBlock];
    std::memcpy(chain, iv->iv, kBlock);
    const std::size_t total = static_cast<std::size_t>(length);
    for (std::size_t off = 0; off < total; off += kBlock) {
        unsigned char block[kBlock];
        for (std::size_t i = 0; i < kBlock; ++i)
            block[i] = static_cast<unsigned char>(in[off + i] ^ chain[i]);
        EncryptBlock(ks, block, chain);
        std::memcpy(out + off, chain, kBlock);  // after reading `in`: in-place use is safe
    }
    OPENSSL_cleanse(&ks, sizeof ks);
    return FENNIX_OK;
}

extern "C" FENNIX_API int fennix_AESDecrypt(const unsigned char* in, int length, unsigned char* out,
                                            const fennix_key_record* key, const fennix_iv_record* iv) {
    if (const int rc = CheckArguments(in, length, out, key, iv); rc != FENNIX_OK) return rc;
    KeySchedule ks;
    ExpandDecryptKey(key->key, KeyBytes(key->length), &ks);
    // From the last block to the first, so each block's predecessor is still ciphertext even when
    // `in` and `out` are the same buffer.
    for (std::size_t off = static_cast<std::size_t>(length); off > 0;) {
        off -= kBlock;
        unsigned char plain[kBlock];
        DecryptBlock(ks, in + off, plain);
        const unsigned char* prev = off == 0 ? iv->iv : in + off - kBlock;
        for (std::size_t i = 0; i < kBlock; ++i)
            out[off + i] = static_cast<unsigned char>(plain[i] ^ prev[i]);
        OPENSSL_cleanse(plain, sizeof plain);
    }
    OPENSSL_cleanse(&ks, sizeof ks);
    return FENNIX_OK;
}
