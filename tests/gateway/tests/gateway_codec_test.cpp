// The gateway's parsers read what the client codec builds, and what the gateway builds reads
// back through the client codec's extractors, byte for byte.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "gateway/gateway_codec.h"
#include "message_build.h"
#include "wendrel/ssr_control.h"

using namespace qelgw;
using qelgw::test::Build;

namespace {

std::vector<std::uint8_t> Bytes(std::initializer_list<int> v) { return {v.begin(), v.end()}; }

TEST(GatewayCodec, LogonRequestsOfAllThreeKindsParseBack) {
    auto r144 = Build([](void* b, short* s) {
        return ssr_ConstructCltLogonSvrRequest3(b, s, "ab", "xyz", 77, "HW|1|00-11", 5);
    });
    ASSERT_EQ(r144.size(), 171u);
    LogonRequest q;
    ASSERT_EQ(ParseLogonRequest(r144.data(), r144.size(), &q), SSR_SUCCESS);
    EXPECT_EQ(q.code, SSR_CODE_MNG_CLT_SVR_LOGON_REQUEST3);
    EXPECT_EQ(q.user, "ab");
    EXPECT_EQ(q.password, "xyz");
    EXPECT_EQ(q.hardwareId, "HW|1|00-11");
    EXPECT_EQ(q.sessionId, 77u);
    EXPECT_EQ(q.updateFlag, 5u);
    EXPECT_EQ(q.length, 171u);

    auto r105 =
        Build([](void* b, short* s) { return ssr_ConstructCltLogonSvrHardRequest(b, s, "u", "", "hw"); });
    ASSERT_EQ(ParseLogonRequest(r105.data(), r105.size(), &q), SSR_SUCCESS);
    EXPECT_EQ(q.code, SSR_CODE_MNG_CLT_SVR_LOGON_HARD_REQUEST);
    EXPECT_EQ(q.user, "u");
    EXPECT_EQ(q.password, "");
    EXPECT_EQ(q.sessionId, 0u);

    auto r26 = Build(
        [](void* b, short* s) { return ssr_ConstructCltLogonSvrRequest2(b, s, "carol", "pw", nullptr); });
    ASSERT_EQ(ParseLogonRequest(r26.data(), r26.size(), &q), SSR_SUCCESS);
    EXPECT_EQ(q.code, SSR_CODE_MNG_CLT_SVR_LOGON_REQUEST2);
    EXPECT_EQ(q.user, "carol");
    EXPECT_EQ(q.hardwareId, "");
}

TEST(GatewayCodec, LogonRequestWhoseLengthsDoNotMatchItsTextsIsRefused) {
    auto msg = Build(
        [](void* b, short* s) { return ssr_ConstructCltLogonSvrRequest3(b, s, "ab", "xyz", 1, "hw", 0); });
    LogonRequest q;
    // A user length that would run the user into the password.
    auto longer = msg;
    longer[5] = 3;
    EXPECT_EQ(ParseLogonRequest(longer.data(), longer.size(), &q), SSR_ERROR_INCOMPLETE);
    // The lengths agree with the payload but the user text holds a NUL inside.
    auto nul = msg;
    nul[37] = 0;
    EXPECT_EQ(ParseLogonRequest(nul.data(), nul.size(), &q), SSR_ERROR_INCOMPLETE);
    // A hardware id that fills its field without a NUL.
    auto hw = msg;
    std::memset(hw.data() + 43, 'h', 128);
    EXPECT_EQ(ParseLogonRequest(hw.data(), hw.size(), &q), SSR_ERROR_INCOMPLETE);
    // One byte short of the announced payload: wait for more.
    EXPECT_EQ(ParseLogonRequest(msg.data(), msg.size() - 1, &q), SSR_ERROR_INCOMPLETE);
    // Not a logon request at all.
    auto keepAlive = BuildHeaderOnly(SSR_CODE_MNG_KEEP_ALIVE_REQUEST);
    EXPECT_EQ(ParseLogonRequest(keepAlive.data(), keepAlive.size(), &q), SSR_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(ParseLogonRequest(msg.data(), 3, &q), SSR_ERROR_HEADER_TOO_SHORT);
}

TEST(GatewayCodec, PasswordChangeAndAppRecordParseBack) {
    std::vector<std::uint8_t> pwd;
    int size = 0;
    ssr_ConstructCltSvrResetPwd(nullptr, &size, 0x01020304, "dave", "old", "new!");
    pwd.resize(static_cast<std::size_t>(size));
    ASSERT_EQ(ssr_ConstructCltSvrResetPwd(pwd.data(), &size, 0x01020304, "dave", "old", "new!"), SSR_SUCCESS);
    PasswordChange c;
    ASSERT_EQ(ParsePasswordChange(pwd.data(), pwd.size(), &c), SSR_SUCCESS);
    EXPECT_EQ(c.user, "dave");
    EXPECT_EQ(c.oldPassword, "old");
    EXPECT_EQ(c.newPassword, "new!");
    EXPECT_EQ(c.sessionId, 0x01020304u);  // sent little-endian: 04 03 02 01 on the wire
    EXPECT_EQ(pwd[pwd.size() - 4], 0x04);
    // A missing NUL lets the last text swallow the session id: refused, not misread.
    auto bad = pwd;
    bad[4 + 5 + 4 + 4] = 'x';
    EXPECT_EQ(ParsePasswordChange(bad.data(), bad.size(), &c), SSR_ERROR_INCOMPLETE);

    auto app = Build([](void* b, short* s) {
        return ssr_ConstructGWLogApp(b, s, 42, "erin", 1700000000, "app|mod|allowed");
    });
    AppAccessRecord a;
    ASSERT_EQ(ParseAppAccessRecord(app.data(), app.size(), &a), SSR_SUCCESS);
    EXPECT_EQ(a.sessionId, 42u);
    EXPECT_EQ(a.user, "erin");
    EXPECT_EQ(a.time, 1700000000u);
    EXPECT_EQ(a.text, "app|mod|allowed");
    EXPECT_EQ(ParseAppAccessRecord(app.data(), app.size() - 2, &a), SSR_ERROR_INCOMPLETE);
}

TEST(GatewayCodec, CutLogoffAndPasswordAnswerHaveTheirGoldenBytes) {
    std::vector<std::uint8_t> cut;
    ASSERT_EQ(BuildCutLogoff(7, "bye", &cut), SSR_SUCCESS);
    EXPECT_EQ(cut, Bytes({0x13, 94, 0, 12, 0, 0, 0, 7, 0, 0, 0, 0, 'b', 'y', 'e', 0}));
    std::uint32_t error = 0;
    char text[SSR_ERROR_TEXT_BUFFER_SIZE] = "";
    int size = static_cast<int>(cut.size());
    ASSERT_EQ(ssr_ExtractSvrCutCltLogoff(cut.data(), &size, &error, text), SSR_SUCCESS);
    EXPECT_EQ(error, 7u);
    EXPECT_STREQ(text, "bye");

    std::vector<std::uint8_t> ack;
    ASSERT_EQ(BuildPasswordChangeAnswer(0xFFFFFFCE, 9, "weak", &ack), SSR_SUCCESS);
    EXPECT_EQ(ack, Bytes({0x13, 104, 0, 21, 0xFF, 0xFF, 0xFF, 0xCE, 0,   0,   0,   0, 0,
                          0,    0,   9, 0,  0,    0,    0,    'w',  'e', 'a', 'k', 0}));
    std::uint32_t value = 0;
    size = static_cast<int>(ack.size());
    ASSERT_EQ(ssr_ExtractSvrCltResetPwdAck(ack.data(), &size, &error, &value, text), SSR_SUCCESS);
    EXPECT_EQ(static_cast<std::int32_t>(error), -50);
    EXPECT_EQ(value, 9u);
    EXPECT_STREQ(text, "weak");
    EXPECT_EQ(BuildCutLogoff(1, std::string_view("a\0b", 3), &cut), SSR_ERROR_INVALID_ARGUMENT);
}

TEST(GatewayCodec, LogonAnswersReadBackThroughTheClientExtractor) {
    LogonAnswer a;
    a.sessionId = 1001;
    a.name = "alice";
    a.virtualIp = 0xC6120064;
    a.netmask = 0xFFFE0000;
    a.dns1 = 0xCB007135;
    a.routes = {Route{0xCB007100, 0xFFFFFF00, 0}};
    a.gateways = {GatewayEntry{0, "ticket-1001"}};
    a.policy = "policy allow out all 0 0 0.0.0.0/0.0.0.0 x y\n";
    a.registerFlag = 1;
    a.certText = "0a1b+CN=alice";
    std::vector<std::uint8_t> msg;
    ASSERT_EQ(BuildLogonAnswer(SSR_MNG_GW_CLT_LOGON_RESPON_LOGONOK, a, &msg), SSR_SUCCESS);
    EXPECT_EQ(msg[0], 0x13);
    EXPECT_EQ(msg[1], SSR_MNG_GW_CLT_LOGON_RESPON_LOGONOK);
    EXPECT_EQ(std::size_t{msg[2]} << 8 | msg[3], msg.size() - 4);
    short size = static_cast<short>(msg.size());
    std::uint32_t sid, vip, mask, dns1, dns2, wins1, wins2;
    std::uint16_t nameLength;
    const char *name, *text1, *text2, *cert;
    const void *routes, *gateways;
    std::uint8_t selector, flag, certLength;
    ASSERT_EQ(ssr_ExtractSvrCltLogonAck(msg.data(), &size, &sid, &nameLength, &name, &vip, &mask, &dns1,
                                        &dns2, &wins1, &wins2, &routes, &gateways, &selector, &text1, &text2,
                                        &flag, &certLength, &cert),
              SSR_SUCCESS);
    EXPECT_EQ(sid, 1001u);
    EXPECT_STREQ(name, "alice");
    EXPECT_EQ(vip, 0xC6120064u);
    EXPECT_EQ(mask, 0xFFFE0000u);
    EXPECT_EQ(dns1, 0xCB007135u);
    EXPECT_EQ(selector, 3);
    EXPECT_STREQ(text2, a.policy.c_str());
    EXPECT_EQ(flag, 1);
    ASSERT_NE(cert, nullptr);
    EXPECT_EQ(std::string(cert, certLength), "0a1b+CN=alice");
    const auto* r = static_cast<const std::uint8_t*>(routes);
    EXPECT_EQ(Bytes({r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7]}), Bytes({0, 0, 0, 1, 0xCB, 0, 0x71, 0}));
    const auto* g = static_cast<const std::uint8_t*>(gateways);
    EXPECT_EQ(g[1], 1);  // one gateway
    EXPECT_EQ(std::memcmp(g + 2 + 6, "ticket-1001", 11), 0);

    ASSERT_EQ(BuildLogonAnswer(SSR_MNG_GW_CLT_LOGON_RESPON_RELOGONOK, a, &msg), SSR_SUCCESS);
    EXPECT_EQ(msg[1], SSR_MNG_GW_CLT_LOGON_RESPON_RELOGONOK);
    ASSERT_EQ(BuildLogonAnswer(SSR_MNG_GW_CLT_LOGON_RESPON_RELOGON, a, &msg), SSR_SUCCESS);
    EXPECT_EQ(msg, Bytes({0x13, 161, 0, 0}));
    EXPECT_EQ(BuildLogonAnswer(21, a, &msg), SSR_ERROR_INVALID_ARGUMENT);
    a.certText.assign(256, 'c');
    EXPECT_EQ(BuildLogonAnswer(SSR_MNG_GW_CLT_LOGON_RESPON_LOGONOK, a, &msg), SSR_ERROR_INVALID_ARGUMENT);
}

// Random, truncated and mutated input never makes a parser read outside the bytes given (run
// under ASan) nor accept a message whose length it did not check.
TEST(GatewayCodec, ParsersSurviveRandomAndTruncatedInput) {
    std::mt19937 rng(14);
    std::vector<std::vector<std::uint8_t>> seeds = {
        Build([](void* b, short* s) {
            return ssr_ConstructCltLogonSvrRequest3(b, s, "ab", "xyz", 1, "hw", 0);
        }),
        Build([](void* b, short* s) { return ssr_ConstructGWLogApp(b, s, 1, "u", 2, "t"); })};
    int size = 0;
    ssr_ConstructCltSvrResetPwd(nullptr, &size, 1, "u", "o", "n");
    seeds.emplace_back(static_cast<std::size_t>(size));
    ssr_ConstructCltSvrResetPwd(seeds.back().data(), &size, 1, "u", "o", "n");
    for (int round = 0; round < 3000; ++round) {
        std::vector<std::uint8_t> input = seeds[static_cast<std::size_t>(round) % seeds.size()];
        if (round % 3 == 0) {
            input.resize(rng() % (input.size() + 1));
        } else if (round % 3 == 1) {
            for (int i = 0; i < 4; ++i) input[rng() % input.size()] = static_cast<std::uint8_t>(rng());
        } else {
            input.resize(rng() % 300);
            for (auto& b : input) b = static_cast<std::uint8_t>(rng());
            if (!input.empty()) input[0] = 0x13;
        }
        std::vector<std::uint8_t> exact(input);  // exactly the input's size on the heap
        LogonRequest q;
        PasswordChange c;
        AppAccessRecord a;
        if (ParseLogonRequest(exact.data(), exact.size(), &q) == SSR_SUCCESS) {
            EXPECT_LE(q.length, exact.size());
            EXPECT_EQ(q.length, kLogonRequestFixed + 4 + q.user.size() + q.password.size());
        }
        if (ParsePasswordChange(exact.data(), exact.size(), &c) == SSR_SUCCESS) {
            EXPECT_LE(c.length, exact.size());
        }
        if (ParseAppAccessRecord(exact.data(), exact.size(), &a) == SSR_SUCCESS) {
            EXPECT_LE(a.length, exact.size());
        }
    }
}

}  // namespace
