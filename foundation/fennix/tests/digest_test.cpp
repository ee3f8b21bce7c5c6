// MD5, SHA-1 and HMAC-SHA1: published vectors, the digest record rules and the MD5 context.
#include <gtest/gtest.h>
#include <openssl/hmac.h>

#include <random>
#include <string>
#include <vector>

#include "fennix/fennix.h"
#include "test_records.h"

namespace {

using fennix_test::Bytes;
using fennix_test::DigestRecord;
using fennix_test::Hex;
using fennix_test::KeyRecord;
using fennix_test::ToHex;

const std::pair<const char*, const char*> kMd5Suite[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

std::string Md5(const std::string& text) {
    DigestRecord record(16);
    EXPECT_EQ(fennix_MD5Digest(reinterpret_cast<const unsigned char*>(text.data()),
                               static_cast<int>(text.size()), record.get()),
              FENNIX_OK);
    return ToHex(record.Head(16));
}

std::string Sha1(const std::vector<unsigned char>& data) {
    DigestRecord record(20);
    EXPECT_EQ(fennix_SHA1Digest(data.data(), static_cast<int>(data.size()), record.get()), FENNIX_OK);
    return ToHex(record.Head(20));
}

std::string Hmac(const std::vector<unsigned char>& key, const std::vector<unsigned char>& data) {
    DigestRecord record(20);
    const KeyRecord keyRecord(key);
    EXPECT_EQ(
        fennix_HMACSHA1Digest(data.data(), static_cast<int>(data.size()), record.get(), keyRecord.get()),
        FENNIX_OK);
    return ToHex(record.Head(20));
}

TEST(Md5, Rfc1321SuiteOneShot) {
    for (const auto& [text, digest] : kMd5Suite) {
        if (*text == '\0') continue;  // a length of 0 is refused by the one-shot call
        EXPECT_EQ(Md5(text), digest) << text;
    }
}

TEST(Md5, Rfc1321SuiteIncrementalInUnevenPieces) {
    void* ctx = nullptr;
    ASSERT_EQ(fennix_CreateMD5Ctx(&ctx), FENNIX_OK);
    for (const auto& [text, digest] : kMd5Suite) {
        const std::string s = text;
        for (std::size_t piece : {1u, 3u, 63u, 64u, 65u}) {
            for (std::size_t off = 0; off < s.size(); off += piece) {
                const std::size_t n = std::min(piece, s.size() - off);
                ASSERT_EQ(fennix_MD5Update(ctx, reinterpret_cast<const unsigned char*>(s.data() + off),
                                           static_cast<int>(n)),
                          FENNIX_OK);
            }
            DigestRecord record(16);
            ASSERT_EQ(fennix_MD5Final(ctx, record.get()), FENNIX_OK);
            EXPECT_EQ(ToHex(record.Head(16)), digest) << '"' << s << "\" in pieces of " << piece;
        }
    }
    EXPECT_EQ(fennix_DestroyMD5Ctx(ctx), FENNIX_OK);
}

TEST(Md5, ContextArguments) {
    EXPECT_EQ(fennix_CreateMD5Ctx(nullptr), FENNIX_ERR_ARGUMENT);
    void* ctx = nullptr;
    ASSERT_EQ(fennix_CreateMD5Ctx(&ctx), FENNIX_OK);
    const unsigned char abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(fennix_MD5Update(nullptr, abc, 3), FENNIX_ERR_ARGUMENT);
    EXPECT_EQ(fennix_MD5Update(ctx, nullptr, 3), FENNIX_ERR_ARGUMENT);
    EXPECT_EQ(fennix_MD5Update(ctx, abc, 0), FENNIX_ERR_ARGUMENT);
    EXPECT_EQ(fennix_MD5Update(ctx, abc, -1), FENNIX_ERR_ARGUMENT);
    ASSERT_EQ(fennix_MD5Update(ctx, abc, 3), FENNIX_OK);

    // A record too small for the digest is refused and the context keeps its data.
    DigestRecord small(15);
    EXPECT_EQ(fennix_MD5Final(ctx, small.get()), FENNIX_ERR_ARGUMENT);
    EXPECT_TRUE(small.Untouched());
    EXPECT_EQ(fennix_MD5Final(ctx, nullptr), FENNIX_ERR_ARGUMENT);
    DigestRecord record(16);
    ASSERT_EQ(fennix_MD5Final(ctx, record.get()), FENNIX_OK);
    EXPECT_EQ(ToHex(record.Head(16)), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(fennix_DestroyMD5Ctx(ctx), FENNIX_OK);
    EXPECT_EQ(fennix_DestroyMD5Ctx(nullptr), FENNIX_ERR_ARGUMENT);
}

TEST(Sha1, Fips180Examples) {
    EXPECT_EQ(Sha1(Bytes("abc")), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(Sha1(Bytes("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(Sha1(std::vector<unsigned char>(1000000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST(HmacSha1, Rfc2202Vectors) {
    EXPECT_EQ(Hmac(std::vector<unsigned char>(20, 0x0b), Bytes("Hi There")),
              "b617318655057264e28bc0b6fb378c8ef146be00");
    EXPECT_EQ(Hmac(Bytes("Jefe"), Bytes("what do ya want for nothing?")),
              "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
    EXPECT_EQ(Hmac(std::vector<unsigned char>(20, 0xaa), std::vector<unsigned char>(50, 0xdd)),
              "125d7342b9ac11cd91a39af48aa17b4f63f175d3");
    EXPECT_EQ(
        Hmac(Hex("0102030405060708090a0b0c0d0e0f10111213141516171819"), std::vector<unsigned char>(50, 0xcd)),
        "4c9007f4026250c6bc8414f9bf50c86c2d7235da");
    EXPECT_EQ(Hmac(std::vector<unsigned char>(20, 0x0c), Bytes("Test With Truncation")),
              "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04");
    EXPECT_EQ(Hmac(std::vector<unsigned char>(80, 0xaa),
                   Bytes("Test Using Larger Than Block-Size Key - Hash Key First")),
              "aa4ae5e15272d00e95705637ce8a3b55ed402112");
    EXPECT_EQ(Hmac(std::vector<unsigned char>(80, 0xaa),
                   Bytes("Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data")),
              "e8e99d0f45237d786d6bbaa7965c7808bbff1a91");
}

TEST(HmacSha1, KeysOverOneBlockAreHashedFirst) {
    const auto data = Bytes("payload");
    for (std::size_t keyLength : {64u, 65u}) {
        std::vector<unsigned char> key(keyLength);
        for (std::size_t i = 0; i < keyLength; ++i) key[i] = static_cast<unsigned char>(i * 7 + 1);
        const auto hashedKey = Hex(Sha1(key));
        if (keyLength == 65) {
            EXPECT_EQ(Hmac(key, data), Hmac(hashedKey, data));
        } else {
            EXPECT_NE(Hmac(key, data), Hmac(hashedKey, data));
        }
    }
}

TEST(HmacSha1, EmptyKeyAgreesWithOpenSsl) {
    const auto data = Bytes("data");
    unsigned char mac[20];
    unsigned int len = 0;
    HMAC(EVP_sha1(), "", 0, data.data(), data.size(), mac, &len);
    EXPECT_EQ(Hmac({}, data), ToHex(mac, len));
}

TEST(DigestRecord, LargerRecordsGetZerosAfterTheDigestAndKeepTheirSize) {
    const auto abc = Bytes("abc");
    DigestRecord record(32);
    ASSERT_EQ(fennix_SHA1Digest(abc.data(), 3, record.get()), FENNIX_OK);
    EXPECT_EQ(ToHex(record.Head(20)), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(ToHex(record.Area()).substr(40), std::string(24, '0'));
    EXPECT_EQ(record.SizeWord(), 32u);
    EXPECT_TRUE(record.GuardIntact());

    DigestRecord big(4096);
    ASSERT_EQ(fennix_MD5Digest(abc.data(), 3, big.get()), FENNIX_OK);
    EXPECT_EQ(ToHex(big.Area()).substr(32), std::string(2 * (4096 - 16), '0'));
    EXPECT_TRUE(big.GuardIntact());
}

TEST(DigestRecord, TooSmallRecordsAreRefusedUntouched) {
    const auto abc = Bytes("abc");
    const KeyRecord key(Bytes("k"));
    for (std::uint32_t size : {0u, 1u, 16u, 19u}) {
        DigestRecord sha(size), hmac(size);
        EXPECT_EQ(fennix_SHA1Digest(abc.data(), 3, sha.get()), FENNIX_ERR_ARGUMENT) << size;
        EXPECT_EQ(fennix_HMACSHA1Digest(abc.data(), 3, hmac.get(), key.get()), FENNIX_ERR_ARGUMENT) << size;
        EXPECT_TRUE(sha.Untouched());
        EXPECT_TRUE(hmac.Untouched());
    }
    DigestRecord md5(15);
    EXPECT_EQ(fennix_MD5Digest(abc.data(), 3, md5.get()), FENNIX_ERR_ARGUMENT);
    EXPECT_TRUE(md5.Untouched());
}

TEST(DigestRecord, MissingArguments) {
    const auto abc = Bytes("abc");
    const KeyRecord key(Bytes("k"));
    DigestRecord record(20);
    EXPECT_EQ(fennix_SHA1Digest(nullptr, 3, record.get()), FENNIX_ERR_ARGUMENT);
    EXPECT_EQ(fennix_SHA1Digest(abc.data(), 0, record.get()), FENNIX_ERR_ARGUMENT);
    EXPECT_EQ(fennix_SHA1Digest(abc.data(), -3, record.get()), FENNIX_ERR_ARGUMENT);
    EXPECT_EQ(fennix_SHA1Digest(abc.data(), 3, nullptr), FENNIX_ERR_ARGUMENT);
    EXPECT_EQ(fennix_MD5Digest(nullptr, 3, record.get()), FENNIX_ERR_ARGUMENT);
    EXPECT_EQ(fennix_MD5Digest(abc.data(), 0, record.get()), FENNIX_ERR_ARGUMENT);
    EXPECT_EQ(fennix_HMACSHA1Digest(abc.data(), 3, record.get(), nullptr), FENNIX_ERR_ARGUMENT);
    EXPECT_EQ(fennix_HMACSHA1Digest(nullptr, 3, record.get(), key.get()), FENNIX_ERR_ARGUMENT);
    EXPECT_EQ(fennix_HMACSHA1Digest(abc.data(), 0, record.get(), key.get()), FENNIX_ERR_ARGUMENT);
    EXPECT_TRUE(record.Untouched());
}

}  // namespace
