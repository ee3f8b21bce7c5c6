// AES-CBC: NIST SP 800-38A CBC vectors, key-length words, in-place use, argument checks, and a
// cross-check against OpenSSL on random data.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <vector>

#include "fennix/fennix.h"
#include "test_records.h"

namespace {

using fennix_test::Hex;
using fennix_test::KeyRecord;
using fennix_test::MakeIv;
using fennix_test::ToHex;

const char* const kIv = "000102030405060708090a0b0c0d0e0f";
const char* const kPlain =
    "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710";

struct Sp80038aCase {
    const char* name;
    const char* key;
    const char* cipher;
};
const Sp80038aCase kCases[] = {
    {"CBC-AES128", "2b7e151628aed2a6abf7158809cf4f3c",
     "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
     "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7"},
    {"CBC-AES192", "8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b",
     "4f021db243bc633d7178183a9fa071e8b4d9ada9ad7dedf4e5e738763f69145a"
     "571b242012fb7ae07fa9baac3df102e008b0e27988598881d920a9e64f5615cd"},
    {"CBC-AES256", "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
     "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
     "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b"},
};

std::vector<unsigned char> Encrypt(const std::vector<unsigned char>& in, const KeyRecord& key,
                                   const fennix_iv_record& iv) {
    std::vector<unsigned char> out(in.size());
    EXPECT_EQ(fennix_AESEncrypt(in.data(), static_cast<int>(in.size()), out.data(), key.get(), &iv),
              FENNIX_OK);
    return out;
}

std::vector<unsigned char> Decrypt(const std::vector<unsigned char>& in, const KeyRecord& key,
                                   const fennix_iv_record& iv) {
    std::vector<unsigned char> out(in.size());
    EXPECT_EQ(fennix_AESDecrypt(in.data(), static_cast<int>(in.size()), out.data(), key.get(), &iv),
              FENNIX_OK);
    return out;
}

TEST(AesCbc, NistSp80038aVectors) {
    const auto iv = MakeIv(Hex(kIv));
    for (const auto& c : kCases) {
        const auto key = Hex(c.key);
        // The length word may give bytes (16/24/32) or bits (128/192/256).
        for (std::uint32_t word :
             {static_cast<std::uint32_t>(key.size()), static_cast<std::uint32_t>(key.size() * 8)}) {
            const KeyRecord record(key, word);
            EXPECT_EQ(ToHex(Encrypt(Hex(kPlain), record, iv)), c.cipher) << c.name << " word " << word;
            EXPECT_EQ(ToHex(Decrypt(Hex(c.cipher), record, iv)), kPlain) << c.name << " word " << word;
        }
    }
}

TEST(AesCbc, OtherLengthWordsMeanAes128WithTheFirst16Bytes) {
    auto key = Hex(kCases[0].key);
    key.insert(key.end(), {0xFF, 0xFF, 0xFF, 0xFF});
    const auto iv = MakeIv(Hex(kIv));
    for (std::uint32_t word : {20u, 0u, 5u, 0xFFFFFFFFu}) {
        EXPECT_EQ(ToHex(Encrypt(Hex(kPlain), KeyRecord(key, word), iv)), kCases[0].cipher) << word;
    }
}

TEST(AesCbc, InPlace) {
    const auto iv = MakeIv(Hex(kIv));
    for (const auto& c : kCases) {
        const KeyRecord key(Hex(c.key));
        auto buffer = Hex(kPlain);
        ASSERT_EQ(fennix_AESEncrypt(buffer.data(), 64, buffer.data(), key.get(), &iv), FENNIX_OK);
        EXPECT_EQ(ToHex(buffer), c.cipher);
        ASSERT_EQ(fennix_AESDecrypt(buffer.data(), 64, buffer.data(), key.get(), &iv), FENNIX_OK);
        EXPECT_EQ(ToHex(buffer), kPlain);
    }
}

TEST(AesCbc, ArgumentChecks) {
    const KeyRecord key(Hex(kCases[0].key));
    const auto iv = MakeIv(Hex(kIv));
    std::vector<unsigned char> in(32, 1), out(32, 0x77);
    for (auto fn : {fennix_AESEncrypt, fennix_AESDecrypt}) {
        EXPECT_EQ(fn(nullptr, 32, out.data(), key.get(), &iv), FENNIX_ERR_ARGUMENT);
        EXPECT_EQ(fn(in.data(), 32, nullptr, key.get(), &iv), FENNIX_ERR_ARGUMENT);
        EXPECT_EQ(fn(in.data(), 32, out.data(), nullptr, &iv), FENNIX_ERR_ARGUMENT);
        EXPECT_EQ(fn(in.data(), 32, out.data(), key.get(), nullptr), FENNIX_ERR_ARGUMENT);
        EXPECT_EQ(fn(in.data(), 0, out.data(), key.get(), &iv), FENNIX_ERR_ARGUMENT);
        EXPECT_EQ(fn(in.data(), -16, out.data(), key.get(), &iv), FENNIX_ERR_ARGUMENT);
        EXPECT_EQ(fn(in.data(), 17, out.data(), key.get(), &iv), FENNIX_ERR_BLOCK_LENGTH);
        EXPECT_EQ(fn(in.data(), 15, out.data(), key.get(), &iv), FENNIX_ERR_BLOCK_LENGTH);
        EXPECT_EQ(out, std::vector<unsigned char>(32, 0x77)) << "nothing written on error";
    }
}

std::vector<unsigned char> OpenSslCbc(const EVP_CIPHER* cipher, const std::vector<unsigned char>& key,
                                      const std::vector<unsigned char>& iv,
                                      const std::vector<unsigned char>& in, bool encrypt) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    std::vector<unsigned char> out(in.size() + 16);
    int n = 0, tail = 0;
    EVP_CipherInit_ex(ctx, cipher, nullptr, key.data(), iv.data(), encrypt ? 1 : 0);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_CipherUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(in.size()));
    EVP_CipherFinal_ex(ctx, out.data() + n, &tail);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(static_cast<std::size_t>(n + tail));
    return out;
}

TEST(AesCbc, AgreesWithOpenSslOnRandomData) {
    std::mt19937 rng(42);
    const std::pair<std::size_t, const EVP_CIPHER*> sizes[] = {
        {16, EVP_aes_128_cbc()}, {24, EVP_aes_192_cbc()}, {32, EVP_aes_256_cbc()}};
    for (int round = 0; round < 60; ++round) {
        const auto& [keyBytes, cipher] = sizes[round % 3];
        std::vector<unsigned char> key(keyBytes), ivBytes(16), data(16 * (1 + rng() % 40));
        for (auto* v : {&key, &ivBytes, &data}) {
            for (auto& b : *v) b = static_cast<unsigned char>(rng());
        }
        const KeyRecord record(key);
        const auto iv = MakeIv(ivBytes);
        const auto ours = Encrypt(data, record, iv);
        ASSERT_EQ(ours, OpenSslCbc(cipher, key, ivBytes, data, true)) << "round " << round;
        ASSERT_EQ(Decrypt(ours, record, iv), data) << "round " << round;
    }
}

}  // namespace
