// The pure parts of the start-up and the logon form: switches, percent coding, version order,
// address checks, and the second client's request frame (whole, cut short, random, oversized).
#include <gtest/gtest.h>

#include <random>

#include "vorn/command_line.h"
#include "vorn/instance_link.h"
#include "vorn/logon_rules.h"

namespace vorn {
namespace {

StartOptions Parse(const std::vector<std::string>& rest) {
    std::vector<std::string> args{"VornClient"};
    for (const auto& a : rest) args.push_back(a);
    return ParseCommandLine(args);
}

TEST(CommandLine, SwitchesByArgumentCount) {
    EXPECT_TRUE(Parse({"-config", "x"}).config);
    EXPECT_TRUE(Parse({"-exit"}).exit);
    EXPECT_TRUE(Parse({"-api"}).api);
    EXPECT_TRUE(Parse({"-debug"}).debug);
    EXPECT_FALSE(Parse({"-EXIT"}).exit);       // case-sensitive
    EXPECT_FALSE(Parse({"x", "-exit"}).exit);  // argument 1 only

    // The password comes on standard input; the old form with it on the line still works.
    StartOptions o = Parse({"-logon", "alice", "-"});
    EXPECT_TRUE(o.logonMode);
    EXPECT_TRUE(o.passwordOnStdin);
    EXPECT_EQ(o.logonUser, "alice");
    // Three arguments are no logon mode; nor is "-autologon" taken: the client starts normally.
    o = Parse({"-logon", "alice"});
    EXPECT_FALSE(o.logonMode);
    EXPECT_FALSE(o.passwordOnStdin);
    EXPECT_FALSE(o.autoLogon);
    o = Parse({"-logon", "alice", "c2NyYW1ibGVk"});
    EXPECT_TRUE(o.logonMode);
    EXPECT_FALSE(o.passwordOnStdin);
    EXPECT_EQ(o.logonScrambledPassword, "c2NyYW1ibGVk");
    o = Parse({"-logon", "alice", "pw", "extra"});
    EXPECT_FALSE(o.logonMode);
    EXPECT_FALSE(o.autoLogon);  // falls through to "-autologon", which it is not
    EXPECT_FALSE(Parse({"-logon"}).logonMode);

    o = Parse({"-browserlogon", "gw", "443", "77", "Zhang%E5%BC%A0", "6.10.0.0"});
    EXPECT_TRUE(o.browserLogon);
    EXPECT_EQ(o.gatewayAddress, "gw");
    EXPECT_EQ(o.gatewayPort, "443");
    EXPECT_EQ(o.sessionId, "77");
    EXPECT_EQ(o.gatewayUser, "Zhang张");
    EXPECT_EQ(o.gatewayVersion, "6.10.0.0");
    o = Parse({"-browserlogon", "gw", "443", "77", "bob"});
    EXPECT_TRUE(o.browserLogon);
    EXPECT_TRUE(o.gatewayVersion.empty());
    EXPECT_FALSE(Parse({"-browserlogon", "gw", "443", "77"}).browserLogon);
    // Not UTF-8 once decoded: the bad byte replaced, at most 127 bytes.
    o = Parse({"-browserlogon", "gw", "443", "77", "%FF" + std::string(200, 'u')});
    EXPECT_EQ(o.gatewayUser, "\xEF\xBF\xBD" + std::string(124, 'u'));

    EXPECT_TRUE(Parse({"-autologon", "whatever"}).autoLogon);
}

TEST(CommandLine, PercentCoding) {
    std::string out;
    EXPECT_TRUE(UrlDecode("", &out, 128));
    EXPECT_EQ(out, "");
    EXPECT_TRUE(UrlDecode("a%41%6a+%zz%4", &out, 128));
    EXPECT_EQ(out, "aAj+%zz%4");
    EXPECT_FALSE(UrlDecode("abc", &out, 0));
    EXPECT_TRUE(UrlDecode("a%C0%AFb", &out, 128));  // an overlong form is not UTF-8: replaced
    EXPECT_EQ(out,
              "a\xEF\xBF\xBD\xEF\xBF\xBD"
              "b");
    EXPECT_TRUE(UrlDecode("%E5%BC", &out, 128));  // a character cut off in the address
    EXPECT_EQ(out, "\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_TRUE(UrlDecode("%E5%BC%A0%E5%BC%A0", &out, 5));
    EXPECT_EQ(out, "张");  // cut at a character, within the buffer

    EXPECT_EQ(AnsiToUtf8("a b@c+1", 512, true), "a%20b%40c+1");
    EXPECT_EQ(AnsiToUtf8("\xE5", 512, false), "%e5");
    EXPECT_EQ(AnsiToUtf8("ab@", 5, true), "ab");  // "%40" would not fit with the zero
}

TEST(CommandLine, VersionsCompareByTheirNumbers) {
    EXPECT_GT(CompareVersions("6.10.0.0", "6.3.01.0"), 0);
    EXPECT_LT(CompareVersions("6.3.01.0", "6.10.0.0"), 0);
    EXPECT_EQ(CompareVersions("6.3.1.0", "6.3.01.0"), 0);
    EXPECT_EQ(CompareVersions("6.3", "6.3.0.0"), 0);
    EXPECT_LT(CompareVersions("", "1"), 0);
    EXPECT_GT(CompareVersions("7.0.0.0", "6.99.99.99"), 0);
}

TEST(LogonRules, GatewayText) {
    ServerText st;
    EXPECT_EQ(ParseGatewayText("https://host/", &st), 0);
    EXPECT_EQ(st.host, "host");
    EXPECT_EQ(st.port, 443);
    EXPECT_EQ(st.text, "host");
    EXPECT_EQ(ParseGatewayText("gw.example:8443", &st), 0);
    EXPECT_EQ(st.port, 8443);
    EXPECT_EQ(ParseGatewayText("gw:65535", &st), 0);
    EXPECT_EQ(ParseGatewayText("gw:65536", &st), kMsgBadPort);
    EXPECT_EQ(ParseGatewayText("gw:", &st), kMsgBadPort);
    EXPECT_EQ(ParseGatewayText("gw:+1", &st), kMsgGatewayBadChar);
    EXPECT_EQ(ParseGatewayText("https://", &st), kMsgGatewayEmpty);
    EXPECT_EQ(ParseGatewayText("\xEF\xBC\x9A"
                               "gw",
                               &st),
              kMsgGatewayBadChar);  // the wide colon first
    const std::string longest(kHostMax, 'h');
    EXPECT_EQ(ParseGatewayText(longest + ":443", &st), 0);
    EXPECT_EQ(st.host, longest);  // kept whole, not cut at 32
    EXPECT_EQ(ParseGatewayText(longest + "h", &st), kMsgNoGateway);

    std::string port;
    EXPECT_EQ(ParseProxyText("proxy", &st, &port), kMsgBadPort);
    EXPECT_EQ(ParseProxyText("http://proxy:3128/", &st, &port), 0);
    EXPECT_EQ(st.host, "proxy");
    EXPECT_EQ(port, "3128");

    EXPECT_EQ(TrimBlanks("  al ice  "), "al ice");
    EXPECT_FALSE(UserNameAllowed("al ice"));
    for (char c : std::string("$#&,+=<>;\"'\\/|")) {
        EXPECT_FALSE(UserNameAllowed(std::string("a") + c)) << c;
    }
    EXPECT_TRUE(UserNameAllowed("alice@corp.example"));
}

LinkRequest Request(std::uint32_t kind, std::uint32_t data, std::string bytes) {
    LinkRequest r;
    r.kind = kind;
    r.data = data;
    r.bytes = std::move(bytes);
    return r;
}

TEST(InstanceFrame, WholeByteByByteAndBad) {
    const std::string frame = EncodeFrame(Request(kLinkCopyData, 1, std::string("need\0logoff", 11)));
    FrameReader whole;
    ASSERT_EQ(whole.Feed(frame.data(), frame.size()), FrameReader::kComplete);
    EXPECT_EQ(whole.Request().data, 1u);
    EXPECT_EQ(whole.Request().bytes, std::string("need\0logoff", 11));

    FrameReader bytes;
    for (std::size_t i = 0; i + 1 < frame.size(); ++i)
        ASSERT_EQ(bytes.Feed(&frame[i], 1), FrameReader::kNeedMore);
    EXPECT_EQ(bytes.Feed(&frame.back(), 1), FrameReader::kComplete);

    FrameReader magic;
    EXPECT_EQ(magic.Feed("VX", 2), FrameReader::kMalformed);
    FrameReader kind;
    const std::string badKind = EncodeFrame(Request(9, 0, ""));
    EXPECT_EQ(kind.Feed(badKind.data(), badKind.size()), FrameReader::kMalformed);
    std::string huge = EncodeFrame(Request(kLinkCopyData, 0, ""));
    huge[12] = '\x01';
    huge[13] = '\x10';  // 4097 bytes announced
    FrameReader big;
    EXPECT_EQ(big.Feed(huge.data(), huge.size()), FrameReader::kMalformed);
    FrameReader trailing;
    const std::string extra = frame + "x";
    EXPECT_EQ(trailing.Feed(extra.data(), extra.size()), FrameReader::kMalformed);
}

TEST(InstanceFrame, RandomAndTruncatedInputNeverOverruns) {
    std::mt19937 rng(7);
    const std::string good = EncodeFrame(Request(kLinkPost, 2026, "abc"));
    for (int round = 0; round < 2000; ++round) {
        std::string input = round % 2 ? good.substr(0, rng() % good.size()) : std::string(rng() % 64, '\0');
        for (auto& c : input) {
            if (round % 2 == 0 || rng() % 8 == 0) c = static_cast<char>(rng());
        }
        FrameReader r;
        const auto result = r.Feed(input.data(), input.size());
        if (result == FrameReader::kComplete) {
            EXPECT_LE(r.Request().bytes.size(), kFrameDataMax);
        }
        if (round % 2 && input.size() < good.size() && input == good.substr(0, input.size())) {
            EXPECT_EQ(result, FrameReader::kNeedMore);
        }
    }
}

}  // namespace
}  // namespace vorn
