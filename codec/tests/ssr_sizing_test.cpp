// The sizing convention, checked on every constructor: size 0 gives -3 and the exact size; that
// size builds the message, writing exactly that many bytes; one byte less gives -3 and writes
// nothing; a null size gives -6.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "ssr_test_util.h"
#include "wendrel/ssr_codec.h"

namespace {

using namespace ssrtest;

using Ctor = std::function<int(void*, short*)>;

struct Case {
    const char* name;
    int expectedTotal;
    Ctor build;
};

const std::uint8_t kTicket[5] = {1, 2, 3, 4, 5};
const struct {
    std::uint32_t count = 2;
    SSR_ROUTE routes[2] = {{1, 2, 3}, {4, 5, 6}};
} kRoutes;
const struct {
    std::uint32_t count = 3;
    SSR_ADDRESS_PAIR pairs[3] = {{1, 2}, {3, 4}, {5, 6}};
} kPairs;
const struct {
    std::uint32_t count = 1;
    SSR_REPORT_RECORD records[1] = {{1, 2, "rec"}};
} kRecords;
const struct {
    std::uint32_t count = 1;
    SSR_GATEWAY_ENTRY gateways[1] = {{9, 5, kTicket}};
} kGateways;

const SSR_ROUTE_LIST* Routes() { return reinterpret_cast<const SSR_ROUTE_LIST*>(&kRoutes); }
const SSR_PAIR_LIST* Pairs() { return reinterpret_cast<const SSR_PAIR_LIST*>(&kPairs); }

std::vector<Case> Cases() {
    return {
        {"ClientLogonRequest", 68,
         [](void* b, short* s) { return ssr_ConstructClientLogonRequest(b, s, "n", "t"); }},
        {"ClientLogonAck", 64 + 24,
         [](void* b, short* s) {
             return ssr_ConstructClientLogonAck(b, s, "n", 1, 2, 3, 4, 5, 6, Routes());
         }},
        {"ClientLogonNak", 4 + 37 + 3,
         [](void* b, short* s) { return ssr_ConstructClientLogonNak(b, s, "n", 1, "abc"); }},
        {"LinkSetupRequest", 100,
         [](void* b, short* s) { return ssr_ConstructLinkSetupRequest(b, s, "n", "t"); }},
        {"LinkSetupAck", 4 + 76 + 24,
         [](void* b, short* s) { return ssr_ConstructLinkSetupAck(b, s, "n", 1, 2, Routes()); }},
        {"LinkSetupNak", 4 + 69 + 3,
         [](void* b, short* s) { return ssr_ConstructLinkSetupNak(b, s, "n", 1, "abc"); }},
        {"GWLogonRequest", 200,
         [](void* b, short* s) { return ssr_ConstructGWLogonRequest(b, s, "a", "b", 1, "c"); }},
        {"GWLogonAck", 4 + 12 + 5 + 24 + 2 + 24,
         [](void* b, short* s) {
             return ssr_ConstructGWLogonAck(b, s, 1, 2, 5, kTicket, Routes(), Pairs());
         }},
        {"GWLogonNak", 4 + 5 + 3, [](void* b, short* s) { return ssr_ConstructGWLogonNak(b, s, 1, "abc"); }},
        {"GWLogoffNotification", 4,
         [](void* b, short* s) { return ssr_ConstructGWLogoffNotification(b, s); }},
        {"GWReport", 8, [](void* b, short* s) { return ssr_ConstructGWReport(b, s, 1); }},
        {"GWUpdClient", 4 + 9 + 3,
         [](void* b, short* s) { return ssr_ConstructGWUpdClient(b, s, 1, "abc", 2); }},
        {"GWUpdAck", 4 + 19 + 3,
         [](void* b, short* s) { return ssr_ConstructGWUpdAck(b, s, 1, "abc", 2, 3, 4, 5); }},
        {"GWLogUser", 4 + 16 + 2 + 3,
         [](void* b, short* s) { return ssr_ConstructGWLogUser(b, s, 1, "ab", 2, "abc"); }},
        {"GWReport1", 4 + 16 + 10 + 4 + 48,
         [](void* b, short* s) {
             return ssr_ConstructGWReport1(
                 b, s, 1, reinterpret_cast<const SSR_REPORT_RECORD_LIST*>(&kRecords), Pairs(), Pairs());
         }},
        {"CltRegRequest", 4 + 14 + 2 + 5,
         [](void* b, short* s) { return ssr_ConstructCltRegRequest(b, s, 1, "ab", 3, 4, 5, kTicket); }},
        {"CltRegisterAck", 14, [](void* b, short* s) { return ssr_ConstructCltRegisterAck(b, s, 1, 2, 3); }},
        {"CltRegisterNak", 4 + 5 + 3,
         [](void* b, short* s) { return ssr_ConstructCltRegisterNak(b, s, 1, "abc"); }},
        {"CltLogoffNotification", 4,
         [](void* b, short* s) { return ssr_ConstructCltLogoffNotification(b, s); }},
        {"CltLogoffNotificationAck", 4,
         [](void* b, short* s) { return ssr_ConstructCltLogoffNotificationAck(b, s); }},
        {"CltLogonSvrRequest", 4 + 163 + 2,
         [](void* b, short* s) { return ssr_ConstructCltLogonSvrRequest(b, s, "ab", "n", "t"); }},
        {"SvrCltLogonAck", 4 + 4 + 2 + 3 + 24 + 8 + 28 + 2 + 11 + 1 + 2 + 2 + 1,
         [](void* b, short* s) {
             return ssr_ConstructSvrCltLogonAck(b, s, 1, "ab", 1, 2, 3, 4, 5, 6, Routes(),
                                                reinterpret_cast<const SSR_GATEWAY_LIST*>(&kGateways), 3, "x",
                                                "y", 1);
         }},
        {"CltSvrLogonNak", 4 + 13 + 3,
         [](void* b, short* s) { return ssr_ConstructCltSvrLogonNak(b, s, 1, "abc"); }},
        {"KeepAliveRequest", 4, [](void* b, short* s) { return ssr_ConstructKeepAliveRequest(b, s); }},
        {"KeepAliveResponse", 4, [](void* b, short* s) { return ssr_ConstructKeepAliveResponse(b, s); }},
        {"GWUpdClient1", 4 + 13 + 3,
         [](void* b, short* s) { return ssr_ConstructGWUpdClient1(b, s, 1, "abc", 2, 3); }},
        {"CltLogonSvrRequest2", 4 + 162 + 5,
         [](void* b, short* s) { return ssr_ConstructCltLogonSvrRequest2(b, s, "ab", "xyz", "hw"); }},
        {"GWLogApp", 4 + 16 + 2 + 3,
         [](void* b, short* s) { return ssr_ConstructGWLogApp(b, s, 1, "ab", 2, "abc"); }},
        {"CltLogonSvrHardRequest", 4 + 162 + 5,
         [](void* b, short* s) { return ssr_ConstructCltLogonSvrHardRequest(b, s, "ab", "xyz", "hw"); }},
        {"CltLogonSvrRequest3", 4 + 162 + 5,
         [](void* b, short* s) { return ssr_ConstructCltLogonSvrRequest3(b, s, "ab", "xyz", 1, "hw", 0); }},
        {"SsrIPPacket", 4 + 5, [](void* b, short* s) { return ssr_ConstructSsrIPPacket(b, s, 5, kTicket); }},
    };
}

TEST(SsrSizing, EveryConstructorFollowsTheConvention) {
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.name);
        short size = 0;
        ASSERT_EQ(c.build(nullptr, &size), SSR_BUFFER_TOO_SMALL);
        ASSERT_EQ(size, c.expectedTotal);
        Bytes buf(static_cast<std::size_t>(size) + 16, 0xCC);
        short smaller = static_cast<short>(size - 1);
        EXPECT_EQ(c.build(buf.data(), &smaller), SSR_BUFFER_TOO_SMALL);
        EXPECT_EQ(smaller, size);
        EXPECT_EQ(buf, Bytes(buf.size(), 0xCC)) << "wrote into a buffer that was too small";
        short exact = size;
        ASSERT_EQ(c.build(buf.data(), &exact), SSR_SUCCESS);
        EXPECT_EQ(exact, size);
        for (std::size_t i = static_cast<std::size_t>(size); i < buf.size(); ++i)
            ASSERT_EQ(buf[i], 0xCC) << i;
        // Header: version 3, the payload size field matches what was written.
        EXPECT_EQ(buf[0] & 0x0F, 3);
        EXPECT_EQ((buf[2] << 8) | buf[3], size - 4);
        SSR_HEADER h{};
        EXPECT_EQ(ssr_ExtractPacketHeader(buf.data(), static_cast<unsigned>(size), &h), SSR_SUCCESS);
        EXPECT_EQ(c.build(buf.data(), nullptr), SSR_ERROR_INVALID_ARGUMENT);
        short bigEnough = size;
        EXPECT_EQ(c.build(nullptr, &bigEnough), SSR_ERROR_INVALID_ARGUMENT);
    }
}

TEST(SsrSizing, ResetPasswordTakesA32BitSize) {
    int size = 0;
    EXPECT_EQ(ssr_ConstructCltSvrResetPwd(nullptr, &size, 1, "u", "old", "new"), SSR_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 4 + 7 + 1 + 3 + 3);
    Bytes buf(static_cast<std::size_t>(size));
    EXPECT_EQ(ssr_ConstructCltSvrResetPwd(buf.data(), &size, 1, "u", "old", "new"), SSR_SUCCESS);
    // Texts past the 16-bit payload field cannot be carried: refused whatever the buffer.
    const std::string huge(70000, 'p');
    size = 0;
    EXPECT_EQ(ssr_ConstructCltSvrResetPwd(nullptr, &size, 1, "u", huge.c_str(), "n"), SSR_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 4 + 7 + 1 + 70000 + 1);
    Bytes large(static_cast<std::size_t>(size));
    EXPECT_EQ(ssr_ConstructCltSvrResetPwd(large.data(), &size, 1, "u", huge.c_str(), "n"),
              SSR_BUFFER_TOO_SMALL);
}

TEST(SsrSizing, MessagesBeyond16BitSizesAreRefusedNotTruncated) {
    const std::string big(40000, 'q');
    Bytes buf(33000, 0xCC);
    short size = 32767;
    EXPECT_EQ(ssr_ConstructGWLogonNak(buf.data(), &size, 1, big.c_str()), SSR_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 32767);
    EXPECT_EQ(buf, Bytes(33000, 0xCC));
    // A count that would overflow 32-bit arithmetic in the size formula is refused too.
    struct {
        std::uint32_t count = 0x20000000;
        SSR_ROUTE routes[1] = {};
    } huge;
    size = 32767;
    EXPECT_EQ(ssr_ConstructClientLogonAck(buf.data(), &size, "n", 0, 0, 0, 0, 0, 0,
                                          reinterpret_cast<const SSR_ROUTE_LIST*>(&huge)),
              SSR_BUFFER_TOO_SMALL);
    EXPECT_EQ(buf, Bytes(33000, 0xCC));
}

TEST(SsrSizing, NakConstructorsRefuseANullText) {
    Bytes buf(200);
    for (auto build :
         std::vector<Ctor>{[](void*b, short*s) { return ssr_ConstructClientLogonNak(b, s, "n", 1, nullptr); },
                           [](void*b, short*s) { return ssr_ConstructLinkSetupNak(b, s, "n", 1, nullptr); },
                           [](void*b, short*s) { return ssr_ConstructGWLogonNak(b, s, 1, nullptr); },
                           [](void*b, short*s) { return ssr_ConstructCltRegisterNak(b, s, 1, nullptr); },
                           [](void*b, short*s) { return ssr_ConstructCltSvrLogonNak(b, s, 1, nullptr); }}) {
        short size = 200;
        EXPECT_EQ(build(buf.data(), &size), SSR_ERROR_INVALID_ARGUMENT);
    }
}

}  // namespace

namespace {

using Extract = std::function<int(const void*, short*)>;

// One message of each family with its extractor: the exact size succeeds and stays, one byte
// less is -9, more bytes available shrink to the message.
TEST(SsrSizing, ExtractorsTakeExactlyTheirMessage) {
    const std::vector<std::pair<Bytes, Extract>> cases = {
        {Build([](void* b, short* s) { return ssr_ConstructClientLogonNak(b, s, "n", 1, "x"); }),
         [](const void* m, short* s) {
             const char *n, *t;
             std::uint32_t e;
             return ssr_ExtractClientLogonNak(m, s, &n, &e, &t);
         }},
        {Build([](void* b, short* s) { return ssr_ConstructGWUpdAck(b, s, 1, "v", 2, 3, 4, 5); }),
         [](const void* m, short* s) {
             std::uint32_t a, d, e;
             std::uint16_t l, b, c;
             const char* t;
             return ssr_ExtractGWUpdAck(m, s, &a, &l, &t, &b, &c, &d, &e);
         }},
        {Build([](void* b, short* s) { return ssr_ConstructCltRegisterAck(b, s, 1, 2, 3); }),
         [](const void* m, short* s) {
             std::uint16_t st;
             std::uint32_t a, k;
             return ssr_ExtractCltRegisterAck(m, s, &st, &a, &k);
         }},
        {Build([](void* b, short* s) { return ssr_ConstructKeepAliveResponse(b, s); }),
         [](const void* m, short* s) { return ssr_ExtractKeepAliveResponse(m, s); }},
        {Build([](void* b, short* s) { return ssr_ConstructSsrIPPacket(b, s, 3, "abc"); }),
         [](const void* m, short* s) {
             short l;
             const void* f;
             return ssr_ExtractSsrIPPacket(m, s, &l, &f);
         }},
    };
    for (const auto& [msg, extract] : cases) {
        SCOPED_TRACE(static_cast<int>(msg[1]));
        Bytes padded = msg;
        padded.resize(msg.size() + 5, 0x13);
        short size = Len(msg);
        EXPECT_EQ(extract(padded.data(), &size), SSR_SUCCESS);
        EXPECT_EQ(size, Len(msg));
        size = static_cast<short>(Len(msg) - 1);
        EXPECT_EQ(extract(padded.data(), &size), SSR_ERROR_INCOMPLETE);
        size = Len(padded);
        EXPECT_EQ(extract(padded.data(), &size), SSR_SUCCESS);
        EXPECT_EQ(size, Len(msg));
        EXPECT_EQ(extract(nullptr, &size), SSR_ERROR_INVALID_ARGUMENT);
    }
}

}  // namespace
