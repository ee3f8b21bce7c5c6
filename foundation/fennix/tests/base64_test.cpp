// Base64: RFC 4648 vectors, the 76-character line layout, tolerant decoding, and random and
// truncated input for the decoder.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <climits>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "fennix/fennix.h"
#include "test_records.h"

namespace {

using fennix_test::Bytes;

std::size_t EncodedSize(std::size_t n) {
    const std::size_t groups = (n + 2) / 3;
    return groups * 4 + (groups > 0 ? (groups - 1) / 19 : 0) * 2;
}

std::string Encode(const std::vector<unsigned char>& in) {
    std::string out(EncodedSize(in.size()) + 1 + 16, '\x7f');
    const int n = fennix_Base64Encode(in.data(), static_cast<int>(in.size()), out.data());
    EXPECT_EQ(static_cast<std::size_t>(n), EncodedSize(in.size()));
    EXPECT_EQ(out[static_cast<std::size_t>(n)], '\0');
    for (std::size_t i = static_cast<std::size_t>(n) + 1; i < out.size(); ++i)
        EXPECT_EQ(out[i], '\x7f') << "overrun";
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::vector<unsigned char> Decode(const std::string& in) {
    std::vector<unsigned char> out(in.size() * 3 / 4 + 3);
    const int n = fennix_Base64Decode(in.data(), static_cast<int>(in.size()), out.data());
    EXPECT_GE(n, 0);
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::vector<unsigned char> RandomBytes(std::mt19937& rng, std::size_t n) {
    std::vector<unsigned char> v(n);
    for (auto& b : v) b = static_cast<unsigned char>(rng());
    return v;
}

TEST(Base64, Rfc4648Vectors) {
    const std::pair<const char*, const char*> vectors[] = {{"", ""},
                                                           {"f", "Zg=="},
                                                           {"fo", "Zm8="},
                                                           {"foo", "Zm9v"},
                                                           {"foob", "Zm9vYg=="},
                                                           {"fooba", "Zm9vYmE="},
                                                           {"foobar", "Zm9vYmFy"}};
    for (const auto& [plain, encoded] : vectors) {
        EXPECT_EQ(Encode(Bytes(plain)), encoded);
        EXPECT_EQ(Decode(encoded), Bytes(plain)) << encoded;
    }
}

TEST(Base64, LineBreaksAfterEvery76CharactersWhenMoreFollows) {
    const std::string one = Encode(std::vector<unsigned char>(57, 'x'));
    EXPECT_EQ(one.size(), 76u);
    EXPECT_EQ(one.find('\r'), std::string::npos);

    const std::string two = Encode(std::vector<unsigned char>(58, 'x'));
    ASSERT_EQ(two.size(), 82u);
    EXPECT_EQ(two.substr(76, 2), "\r\n");
    EXPECT_EQ(two.substr(78), "eA==");

    // Exactly two full lines: one break between them, none at the end.
    const std::string full = Encode(std::vector<unsigned char>(114, 'x'));
    ASSERT_EQ(full.size(), 154u);
    EXPECT_EQ(full.substr(76, 2), "\r\n");
    EXPECT_EQ(full.find('\r', 78), std::string::npos);
}

TEST(Base64, MatchesOpenSslApartFromLineBreaks) {
    std::mt19937 rng(7);
    for (std::size_t n = 0; n < 400; n += 1 + n / 8) {
        const auto data = RandomBytes(rng, n);
        std::string ours = Encode(data);
        for (std::size_t pos = 76; pos < ours.size(); pos += 76) {
            ASSERT_EQ(ours.substr(pos, 2), "\r\n") << "n=" << n;
            ours.erase(pos, 2);
        }
        std::string reference(4 * ((n + 2) / 3) + 1, '\0');
        const int len = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(reference.data()), data.data(),
                                        static_cast<int>(n));
        reference.resize(static_cast<std::size_t>(len));
        EXPECT_EQ(ours, reference) << "n=" << n;
        EXPECT_EQ(Decode(Encode(data)), data) << "n=" << n;
    }
}

TEST(Base64, DecodingSkipsBlanksLineBreaksAndPadding) {
    std::mt19937 rng(11);
    const auto data = RandomBytes(rng, 200);
    const std::string clean = Encode(data);
    const char noise[] = {' ', '\t', '\r', '\n', '=', '\0', '*'};
    for (int round = 0; round < 50; ++round) {
        std::string messy;
        for (char c : clean) {
            while (rng() % 4 == 0) messy += noise[rng() % sizeof noise];
            messy += c;
        }
        EXPECT_EQ(Decode(messy), data);
    }
    EXPECT_EQ(Decode("AA=="), std::vector<unsigned char>{0x00});
    EXPECT_EQ(Decode("/w=="), std::vector<unsigned char>{0xFF});
    EXPECT_EQ(Decode(" Z\r\ng = = "), Bytes("f"));
}

TEST(Base64, DecodeReadsOnlyLengthCharacters) {
    const std::string text = "Zm9vYmFy";  // "foobar"
    unsigned char out[8] = {};
    EXPECT_EQ(fennix_Base64Decode(text.data(), 4, out), 3);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 3), "foo");
}

TEST(Base64, EmptyAndInvalidArguments) {
    char text[4] = "xyz";
    EXPECT_EQ(fennix_Base64Encode(nullptr, 0, text), 0);
    EXPECT_EQ(text[0], '\0');
    unsigned char bytes[4] = {};
    EXPECT_EQ(fennix_Base64Decode(nullptr, 0, bytes), 0);
    EXPECT_EQ(fennix_Base64Decode("", 0, bytes), 0);

    const unsigned char in[3] = {1, 2, 3};
    EXPECT_EQ(fennix_Base64Encode(in, -1, text), -1);
    EXPECT_EQ(text[0], '\0');
    EXPECT_EQ(fennix_Base64Encode(in, 3, nullptr), -1);
    EXPECT_EQ(fennix_Base64Encode(nullptr, 3, text), -1);
    EXPECT_EQ(fennix_Base64Decode("Zm9v", -4, bytes), -1);
    EXPECT_EQ(fennix_Base64Decode("Zm9v", 4, nullptr), -1);
    EXPECT_EQ(fennix_Base64Decode(nullptr, 4, bytes), -1);
}

TEST(Base64, EncodingsTooLongForAnIntCountAreRefusedBeforeReading) {
    // INT_MAX bytes would need about 2.9e9 characters; the size is worked out in 64 bits, so it
    // cannot wrap into a small positive count. The input is not read at all.
    const unsigned char one = 0;
    char text[4] = "xyz";
    EXPECT_EQ(fennix_Base64Encode(&one, INT_MAX, text), -1);
    EXPECT_EQ(text[0], '\0');
    EXPECT_EQ(fennix_Base64Encode(&one, INT_MAX / 4 * 3, text), -1);
}

// Reference: the bytes a prefix of `n` alphabet characters stands for.
std::size_t BytesFor(std::size_t alphabetChars) {
    const std::size_t rest = alphabetChars % 4;
    return alphabetChars / 4 * 3 + (rest >= 2 ? rest - 1 : 0);
}

bool InAlphabet(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

TEST(Base64Fuzz, RandomInputStaysWithinItsBound) {
    std::mt19937 rng(1234);
    constexpr unsigned char kGuard = 0x5A;
    for (int round = 0; round < 3000; ++round) {
        const std::size_t n = rng() % 300;
        std::string in(n, '\0');
        // Half of the rounds mostly alphabet characters, half raw bytes.
        for (auto& c : in) {
            c = (round % 2 == 0 && rng() % 8 != 0)
                    ? "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"[rng() % 64]
                    : static_cast<char>(rng());
        }
        std::size_t alphabet = 0;
        for (char c : in) {
            if (InAlphabet(static_cast<unsigned char>(c))) ++alphabet;
        }
        const std::size_t expected = BytesFor(alphabet);
        ASSERT_LE(expected, (n * 3 + 3) / 4);  // the documented caller bound

        std::vector<unsigned char> out(expected + 32, kGuard);
        const int got = fennix_Base64Decode(in.data(), static_cast<int>(n), out.data());
        ASSERT_EQ(static_cast<std::size_t>(got), expected) << "round " << round;
        for (std::size_t i = expected; i < out.size(); ++i)
            ASSERT_EQ(out[i], kGuard) << "overrun, round " << round;
    }
}

TEST(Base64Fuzz, TruncatedEncodingsDecodeToAPrefix) {
    std::mt19937 rng(99);
    for (int round = 0; round < 40; ++round) {
        const auto data = RandomBytes(rng, 1 + rng() % 250);
        const std::string encoded = Encode(data);
        std::size_t alphabet = 0;
        for (std::size_t cut = 0; cut <= encoded.size(); ++cut) {
            if (cut > 0 && InAlphabet(static_cast<unsigned char>(encoded[cut - 1]))) ++alphabet;
            const auto decoded = Decode(encoded.substr(0, cut));
            const std::size_t expected = std::min(BytesFor(alphabet), data.size());
            ASSERT_EQ(decoded.size(), expected) << "cut " << cut;
            ASSERT_TRUE(std::equal(decoded.begin(), decoded.end(), data.begin())) << "cut " << cut;
        }
    }
}

}  // namespace
