// Code page 936 at the wire: both directions, bad bytes replaced, limits never inside a character.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "platform/code_page.h"

namespace platform {
namespace {

const std::string kForcedUtf8 = "连接被强制断开";
const std::string kForcedGbk = "\xC1\xAC\xBD\xD3\xB1\xBB\xC7\xBF\xD6\xC6\xB6\xCF\xBF\xAA";
const std::string kFffd = "\xEF\xBF\xBD";

TEST(CodePage936, BothDirections) {
    EXPECT_EQ(Cp936ToUtf8(kForcedGbk), kForcedUtf8);
    EXPECT_EQ(Utf8ToCp936(kForcedUtf8), kForcedGbk);
    EXPECT_EQ(Cp936ToUtf8("plain ASCII 123"), "plain ASCII 123");
    EXPECT_EQ(Utf8ToCp936("允许 a"), "\xD4\xCA\xD0\xED a");
    EXPECT_EQ(Cp936ToUtf8(""), "");
    EXPECT_EQ(Utf8ToCp936(""), "");
    // A NUL inside is a character like any other.
    EXPECT_EQ(Cp936ToUtf8(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(CodePage936, BadBytesAreReplacedNeverDropped) {
    // A lead byte without its second byte, at the end and before a blank (which survives).
    EXPECT_EQ(Cp936ToUtf8("ab\xC1"), "ab" + kFffd);
    EXPECT_EQ(Cp936ToUtf8("\xC1 \xB1\xBB"), kFffd + " 被");
    EXPECT_EQ(Cp936ToUtf8("\xFF\xFFx"), kFffd + kFffd + "x");
    // Not UTF-8, or a character GBK lacks: one '?' each, the rest kept.
    EXPECT_EQ(Utf8ToCp936("a\xC0\xAF"
                          "b"),
              "a??b");
    EXPECT_EQ(Utf8ToCp936("x\xF0\x9F\x98\x80y"), "x?y");
    EXPECT_EQ(Utf8ToCp936("a\xE8\xBF"), "a?");  // a character cut off at the end
    EXPECT_EQ(ValidUtf8("ok\xED\xA0\x80!"), "ok" + kFffd + kFffd + kFffd + "!");
    EXPECT_EQ(ValidUtf8(kForcedUtf8), kForcedUtf8);
}

TEST(CodePage936, LimitsEndOnACharacter) {
    EXPECT_EQ(CutUtf8(kForcedUtf8, 7), "连接");
    EXPECT_EQ(CutUtf8(kForcedUtf8, 6), "连接");
    EXPECT_EQ(CutUtf8(kForcedUtf8, 2), "");
    EXPECT_EQ(CutUtf8("abc", 10), "abc");
    EXPECT_EQ(CutCp936(kForcedGbk, 5), kForcedGbk.substr(0, 4));
    EXPECT_EQ(CutCp936("a" + kForcedGbk, 4), "a" + kForcedGbk.substr(0, 2));
    EXPECT_EQ(CutCp936("ab\xC1", 63), "ab");
    EXPECT_EQ(CutCp936(kForcedGbk, 100), kForcedGbk);
}

// Random, truncated and oversized input: no crash, the output is always valid in its code page
// and converts back without a replacement where the input was clean.
TEST(CodePage936, RandomInputGivesValidText) {
    std::mt19937 rng(936);
    for (int round = 0; round < 2000; ++round) {
        std::string bytes(rng() % (round == 0 ? 70000 : 64), '\0');
        for (char& c : bytes) c = static_cast<char>(rng() & 0xFF);
        const std::string utf8 = Cp936ToUtf8(bytes);
        ASSERT_EQ(ValidUtf8(utf8), utf8);
        const std::string gbk = Utf8ToCp936(bytes);
        ASSERT_EQ(CutCp936(gbk, gbk.size()), gbk) << "a lead byte left alone";
        const std::string cut = CutUtf8(utf8, rng() % 80);
        ASSERT_EQ(ValidUtf8(cut), cut);
        if (utf8.find(kFffd) == std::string::npos) {
            ASSERT_EQ(Cp936ToUtf8(Utf8ToCp936(utf8)), utf8);
        }
    }
}

}  // namespace
}  // namespace platform
