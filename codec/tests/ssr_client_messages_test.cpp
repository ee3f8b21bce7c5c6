// Known answers for the messages the client sends and receives.
#include <gtest/gtest.h>

#include <string>

#include "ssr_test_util.h"
#include "wendrel/ssr_codec.h"

namespace {

using namespace ssrtest;

TEST(SsrClientMessages, HeaderOnlyMessages) {
    EXPECT_EQ(Build([](void* b, short* s) { return ssr_ConstructKeepAliveRequest(b, s); }),
              (Bytes{0x13, 0x17, 0x00, 0x00}));
    EXPECT_EQ(Build([](void* b, short* s) { return ssr_ConstructKeepAliveResponse(b, s); }),
              (Bytes{0x13, 0x18, 0x00, 0x00}));
    EXPECT_EQ(Build([](void* b, short* s) { return ssr_ConstructCltLogoffNotification(b, s); }),
              (Bytes{0x13, 0x12, 0x00, 0x00}));
    EXPECT_EQ(Build([](void* b, short* s) { return ssr_ConstructCltLogoffNotificationAck(b, s); }),
              (Bytes{0x13, 0x13, 0x00, 0x00}));
    EXPECT_EQ(Build([](void* b, short* s) { return ssr_ConstructGWLogoffNotification(b, s); }),
              (Bytes{0x13, 0x09, 0x00, 0x00}));

    const Bytes ka = {0x13, 0x17, 0x00, 0x00, 0x13, 0x18};
    short size = 6;
    EXPECT_EQ(ssr_ExtractKeepAliveRequest(ka.data(), &size), SSR_SUCCESS);
    EXPECT_EQ(size, 4);
    size = 3;
    EXPECT_EQ(ssr_ExtractKeepAliveResponse(ka.data(), &size), SSR_ERROR_INCOMPLETE);
    EXPECT_EQ(ssr_ExtractKeepAliveResponse(nullptr, &size), SSR_ERROR_INVALID_ARGUMENT);
}

TEST(SsrClientMessages, LogonRequest3Layout) {
    const Bytes m = Build([](void* b, short* s) {
        return ssr_ConstructCltLogonSvrRequest3(b, s, "ab", "xyz", 0x01020304, "HW|1|00-11-22-33-44-55", 1);
    });
    ASSERT_EQ(m.size(), 171u);
    Bytes want = {0x13, 0x90, 0x00, 0xA7, 0x00, 0x02, 0x00, 0x03};
    want.resize(20, 0);
    Put32(want, 0x01020304);
    Put32(want, 1);
    want.resize(36, 0);
    PutText(want, "ab");
    PutText(want, "xyz");
    PutField(want, "HW|1|00-11-22-33-44-55", 128);
    EXPECT_EQ(m, want);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&m[39])), "xyz");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&m[43])), "HW|1|00-11-22-33-44-55");
}

TEST(SsrClientMessages, LogonRequest2AndHardRequestLeaveSessionBytesZero) {
    const Bytes m2 =
        Build([](void* b, short* s) { return ssr_ConstructCltLogonSvrRequest2(b, s, "ab", "xyz", "id"); });
    const Bytes mh =
        Build([](void* b, short* s) { return ssr_ConstructCltLogonSvrHardRequest(b, s, "ab", "xyz", "id"); });
    const Bytes m3 = Build(
        [](void* b, short* s) { return ssr_ConstructCltLogonSvrRequest3(b, s, "ab", "xyz", 0, "id", 0); });
    EXPECT_EQ(m2[1], 26);
    EXPECT_EQ(mh[1], 105);
    EXPECT_EQ(Bytes(m2.begin() + 2, m2.end()), Bytes(m3.begin() + 2, m3.end()));
    EXPECT_EQ(Bytes(mh.begin() + 2, mh.end()), Bytes(m3.begin() + 2, m3.end()));
}

TEST(SsrClientMessages, LogonRequestsRefuseMissingOrOversizedFields) {
    Bytes buf(400);
    short size = 400;
    EXPECT_EQ(ssr_ConstructCltLogonSvrRequest3(buf.data(), &size, nullptr, "p", 1, "id", 0),
              SSR_ERROR_INVALID_ARGUMENT);
    size = 400;
    EXPECT_EQ(ssr_ConstructCltLogonSvrRequest2(buf.data(), &size, "u", nullptr, "id"),
              SSR_ERROR_INVALID_ARGUMENT);
    size = 400;
    EXPECT_EQ(ssr_ConstructCltLogonSvrHardRequest(buf.data(), &size, nullptr, nullptr, "id"),
              SSR_ERROR_INVALID_ARGUMENT);
    // A hardware id of 128 characters has no room for its NUL: refused, not cut.
    const std::string longId(128, 'f');
    size = 400;
    EXPECT_EQ(ssr_ConstructCltLogonSvrRequest3(buf.data(), &size, "u", "p", 1, longId.c_str(), 0),
              SSR_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(size, 4 + 162 + 2);
    const std::string okId(127, 'f');
    size = 400;
    EXPECT_EQ(ssr_ConstructCltLogonSvrRequest3(buf.data(), &size, "u", "p", 1, okId.c_str(), 0), SSR_SUCCESS);
}

TEST(SsrClientMessages, ResetPasswordUsesLittleEndianSessionId) {
    const Bytes m = Build<int>(
        [](void* b, int* s) { return ssr_ConstructCltSvrResetPwd(b, s, 0x0A0B0C0D, "u", "old", "new"); });
    Bytes payload;
    PutText(payload, "u");
    PutText(payload, "old");
    PutText(payload, "new");
    for (int c : {0x0D, 0x0C, 0x0B, 0x0A}) payload.push_back(static_cast<std::uint8_t>(c));
    EXPECT_EQ(m, Control(103, payload));
    EXPECT_EQ(payload.size(), 7u + 1 + 3 + 3);
}

TEST(SsrClientMessages, RegistrationRequestRoundTrip) {
    const std::uint8_t ticket[3] = {0xAA, 0xBB, 0xCC};
    const Bytes m = Build([&](void* b, short* s) {
        return ssr_ConstructCltRegRequest(b, s, 77, "alice", 2, 0xC6120001, 3, ticket);
    });
    Bytes payload;
    Put32(payload, 77);
    Put16(payload, 6);
    PutText(payload, "alice");
    payload.push_back(2);
    Put32(payload, 0xC6120001);
    Put16(payload, 3);
    payload.insert(payload.end(), ticket, ticket + 3);
    EXPECT_EQ(m, Control(15, payload));
    EXPECT_EQ(payload.size(), 14u + 5 + 3);

    short size = Len(m);
    std::uint32_t sid = 0, ip = 0;
    std::uint16_t ul = 0, k = 0;
    const char* user = nullptr;
    std::uint8_t sel = 0;
    const void* t = nullptr;
    ASSERT_EQ(ssr_ExtractCltRegRequest(m.data(), &size, &sid, &ul, &user, &sel, &ip, &k, &t), SSR_SUCCESS);
    EXPECT_EQ(sid, 77u);
    EXPECT_EQ(ul, 6);
    EXPECT_STREQ(user, "alice");
    EXPECT_EQ(sel, 2);
    EXPECT_EQ(ip, 0xC6120001u);
    EXPECT_EQ(k, 3);
    EXPECT_EQ(t, m.data() + m.size() - 3);
}

TEST(SsrClientMessages, RegisterAnswers) {
    Bytes payload;
    Put16(payload, 1);
    Put32(payload, 0xC6120005);
    Put32(payload, 0xFFFFFF00);
    const Bytes ack = Control(16, payload);
    EXPECT_EQ(
        Build([](void* b, short* s) { return ssr_ConstructCltRegisterAck(b, s, 1, 0xC6120005, 0xFFFFFF00); }),
        ack);
    short size = Len(ack);
    std::uint16_t status = 0;
    std::uint32_t address = 0, mask = 0;
    ASSERT_EQ(ssr_ExtractCltRegisterAck(ack.data(), &size, &status, &address, &mask), SSR_SUCCESS);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(address, 0xC6120005u);
    EXPECT_EQ(mask, 0xFFFFFF00u);

    const Bytes nak = Build([](void* b, short* s) { return ssr_ConstructCltRegisterNak(b, s, 3, "denied"); });
    EXPECT_EQ(nak.size(), 4u + 5 + 6);
    size = Len(nak);
    std::uint32_t error = 0;
    const char* text = nullptr;
    ASSERT_EQ(ssr_ExtractCltRegisterNak(nak.data(), &size, &error, &text), SSR_SUCCESS);
    EXPECT_EQ(error, 3u);
    EXPECT_STREQ(text, "denied");
    short s2 = 100;
    EXPECT_EQ(ssr_ConstructCltRegisterNak(Bytes(100).data(), &s2, 3, nullptr), SSR_ERROR_INVALID_ARGUMENT);
}

TEST(SsrClientMessages, LogonRefusal) {
    const Bytes m =
        Build([](void* b, short* s) { return ssr_ConstructCltSvrLogonNak(b, s, 997, "register first"); });
    Bytes payload(8, 0);
    Put32(payload, 997);
    PutText(payload, "register first");
    EXPECT_EQ(m, Control(22, payload));
    short size = Len(m);
    std::uint32_t error = 0;
    const char* text = nullptr;
    ASSERT_EQ(ssr_ExtractCltSvrLogonNak(m.data(), &size, &error, &text), SSR_SUCCESS);
    EXPECT_EQ(error, 997u);
    EXPECT_STREQ(text, "register first");
    // A text whose NUL is missing is refused rather than handed out unterminated.
    Bytes cut = m;
    cut.back() = 'x';
    size = Len(cut);
    EXPECT_EQ(ssr_ExtractCltSvrLogonNak(cut.data(), &size, &error, &text), SSR_ERROR_INCOMPLETE);
}

TEST(SsrClientMessages, ForcedLogoffTextIsBoundedAndTerminated) {
    Bytes payload;
    Put32(payload, 12);
    Put32(payload, 0xDEADBEEF);
    const std::string longText(200, 'k');
    payload.insert(payload.end(), longText.begin(), longText.end());  // no NUL at all
    const Bytes m = Control(94, payload);
    char text[SSR_ERROR_TEXT_BUFFER_SIZE + 16];
    std::memset(text, 0x5A, sizeof text);
    int size = static_cast<int>(m.size());
    std::uint32_t error = 0;
    ASSERT_EQ(ssr_ExtractSvrCutCltLogoff(m.data(), &size, &error, text), SSR_SUCCESS);
    EXPECT_EQ(error, 12u);
    EXPECT_EQ(std::string(text), std::string(63, 'k'));
    EXPECT_EQ(static_cast<unsigned char>(text[64]), 0x5A);  // nothing written past the 64 bytes

    Bytes shortMsg = Control(94, {0, 0, 0, 5, 0, 0, 0, 0, 'b', 'y', 'e', 0});
    size = static_cast<int>(shortMsg.size());
    ASSERT_EQ(ssr_ExtractSvrCutCltLogoff(shortMsg.data(), &size, &error, text), SSR_SUCCESS);
    EXPECT_STREQ(text, "bye");
    Bytes tooShort = Control(94, {0, 0, 0, 5, 0, 0});
    size = static_cast<int>(tooShort.size());
    EXPECT_EQ(ssr_ExtractSvrCutCltLogoff(tooShort.data(), &size, &error, text), SSR_ERROR_INCOMPLETE);
}

TEST(SsrClientMessages, ResetPasswordAnswerTextIsBounded) {
    Bytes payload;
    Put32(payload, 0);
    Put32(payload, 0x11111111);
    Put32(payload, 42);
    Put32(payload, 0x22222222);
    PutText(payload, std::string(100, 'm'));
    const Bytes m = Control(104, payload);
    char text[SSR_ERROR_TEXT_BUFFER_SIZE + 1];
    text[64] = 0x5A;
    int size = static_cast<int>(m.size()) + 10;
    std::uint32_t error = 9, value = 0;
    ASSERT_EQ(ssr_ExtractSvrCltResetPwdAck(m.data(), &size, &error, &value, text), SSR_SUCCESS);
    EXPECT_EQ(size, static_cast<int>(m.size()));
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(value, 42u);
    EXPECT_EQ(std::string(text), std::string(63, 'm'));
    EXPECT_EQ(text[64], 0x5A);
    size = static_cast<int>(m.size()) - 1;
    EXPECT_EQ(ssr_ExtractSvrCltResetPwdAck(m.data(), &size, &error, &value, text), SSR_ERROR_INCOMPLETE);
}

}  // namespace
