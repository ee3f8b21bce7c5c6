// Known answers and round trips for the gateway-side control messages.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

#include "platform/debug_output.h"
#include "ssr_test_util.h"
#include "wendrel/ssr_codec.h"

namespace {

using namespace ssrtest;

struct RouteList2 {
    std::uint32_t count = 2;
    SSR_ROUTE routes[2] = {{0x0A000000, 0xFF000000, 0xC6120001}, {0xCB007100, 0xFFFFFF00, 0xC6120001}};
};

TEST(SsrGatewayMessages, ClientLogonRequestKnownBytes) {
    const Bytes m =
        Build([](void* b, short* s) { return ssr_ConstructClientLogonRequest(b, s, "gw-one", "k"); });
    Bytes payload;
    PutField(payload, "gw-one", 32);
    PutField(payload, "k", 32);
    EXPECT_EQ(m, Control(0, payload));
    short size = Len(m);
    const char* name = nullptr;
    const char* text = nullptr;
    ASSERT_EQ(ssr_ExtractClientLogonRequest(m.data(), &size, &name, &text), SSR_SUCCESS);
    EXPECT_STREQ(name, "gw-one");
    EXPECT_STREQ(text, "k");
    // A name that fills its field without a NUL is refused both ways.
    const std::string full(32, 'n');
    Bytes buf(68);
    size = 68;
    EXPECT_EQ(ssr_ConstructClientLogonRequest(buf.data(), &size, full.c_str(), "k"),
              SSR_ERROR_INVALID_ARGUMENT);
    Bytes bad = m;
    std::memset(&bad[4], 'n', 32);
    size = Len(bad);
    EXPECT_EQ(ssr_ExtractClientLogonRequest(bad.data(), &size, &name, &text), SSR_ERROR_INCOMPLETE);
}

TEST(SsrGatewayMessages, ClientLogonAckCopiesRoutesToHostOrder) {
    RouteList2 routes;
    const Bytes m = Build([&](void* b, short* s) {
        return ssr_ConstructClientLogonAck(b, s, "n", 1, 2, 3, 4, 5, 6,
                                           reinterpret_cast<SSR_ROUTE_LIST*>(&routes));
    });
    EXPECT_EQ(m.size(), 64u + 24);
    EXPECT_EQ(Get32(&m[36]), 1u);
    EXPECT_EQ(Get32(&m[56]), 6u);
    EXPECT_EQ(Get32(&m[60]), 2u);
    EXPECT_EQ(Get32(&m[64]), 0x0A000000u);
    short size = Len(m);
    const char* name = nullptr;
    std::uint32_t v[6] = {};
    SSR_ROUTE_LIST* list = nullptr;
    ASSERT_EQ(
        ssr_ExtractClientLogonAck(m.data(), &size, &name, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &list),
        SSR_SUCCESS);
    std::unique_ptr<SSR_ROUTE_LIST, decltype(&std::free)> owned(list, &std::free);
    EXPECT_EQ(v[5], 6u);
    ASSERT_EQ(list->count, 2u);
    EXPECT_EQ(list->routes[1].destination, 0xCB007100u);
    EXPECT_EQ(list->routes[1].mask, 0xFFFFFF00u);

    // A count that the payload cannot hold is refused before anything is allocated.
    Bytes lying = m;
    lying[60] = 0x40;
    size = Len(lying);
    EXPECT_EQ(ssr_ExtractClientLogonAck(lying.data(), &size, &name, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5],
                                        &list),
              SSR_ERROR_INCOMPLETE);
}

TEST(SsrGatewayMessages, LinkSetupFamily) {
    const Bytes req =
        Build([](void* b, short* s) { return ssr_ConstructLinkSetupRequest(b, s, "link", "t"); });
    EXPECT_EQ(req.size(), 100u);
    const Bytes ack =
        Build([](void* b, short* s) { return ssr_ConstructLinkSetupAck(b, s, "link", 7, 8, nullptr); });
    EXPECT_EQ(ack.size(), 4u + 76);
    short size = Len(ack);
    const char* name = nullptr;
    std::uint32_t ip = 0, mask = 0;
    SSR_ROUTE_LIST* list = nullptr;
    ASSERT_EQ(ssr_ExtractLinkSetupAck(ack.data(), &size, &name, &ip, &mask, &list), SSR_SUCCESS);
    EXPECT_EQ(list->count, 0u);
    std::free(list);
    const Bytes nak =
        Build([](void* b, short* s) { return ssr_ConstructLinkSetupNak(b, s, "link", 5, "no"); });
    EXPECT_EQ(nak.size(), 4u + 69 + 2);
    size = Len(nak);
    std::uint32_t error = 0;
    const char* text = nullptr;
    ASSERT_EQ(ssr_ExtractLinkSetupNak(nak.data(), &size, &name, &error, &text), SSR_SUCCESS);
    EXPECT_STREQ(name, "link");
    EXPECT_EQ(error, 5u);
    EXPECT_STREQ(text, "no");
    const Bytes cnak =
        Build([](void* b, short* s) { return ssr_ConstructClientLogonNak(b, s, "c", 9, "bad"); });
    EXPECT_EQ(cnak.size(), 4u + 37 + 3);
}

TEST(SsrGatewayMessages, GwLogonRequestTextOnlyAtFullSize) {
    const Bytes m =
        Build([](void* b, short* s) { return ssr_ConstructGWLogonRequest(b, s, "a", "b", 0x55, "tail"); });
    ASSERT_EQ(m.size(), 200u);
    short size = Len(m);
    const char *a = nullptr, *b = nullptr, *t = nullptr;
    std::uint32_t v = 0;
    ASSERT_EQ(ssr_ExtractGWLogonRequest(m.data(), &size, &a, &b, &v, &t), SSR_SUCCESS);
    EXPECT_STREQ(t, "tail");
    EXPECT_EQ(v, 0x55u);
    Bytes shorter(m.begin(), m.begin() + 72);
    shorter[2] = 0;
    shorter[3] = 68;
    size = Len(shorter);
    ASSERT_EQ(ssr_ExtractGWLogonRequest(shorter.data(), &size, &a, &b, &v, &t), SSR_SUCCESS);
    EXPECT_EQ(t, nullptr);
    shorter[3] = 67;
    size = Len(shorter);
    EXPECT_EQ(ssr_ExtractGWLogonRequest(shorter.data(), &size, &a, &b, &v, &t), SSR_ERROR_INCOMPLETE);
}

TEST(SsrGatewayMessages, GwLogonAckSecondListHasTwoDistinctValuesPerEntry) {
    struct {
        std::uint32_t count = 2;
        SSR_ADDRESS_PAIR pairs[2] = {{0x01010101, 0x02020202}, {0x03030303, 0x04040404}};
    } pairs;
    const std::uint8_t data[2] = {0xAB, 0xCD};
    const Bytes m = Build([&](void* b, short* s) {
        return ssr_ConstructGWLogonAck(b, s, 9, 0x77, 2, data, nullptr,
                                       reinterpret_cast<SSR_PAIR_LIST*>(&pairs));
    });
    Bytes payload;
    Put32(payload, 9);
    Put16(payload, 0x77);
    Put16(payload, 2);
    payload.insert(payload.end(), data, data + 2);
    Put32(payload, 0);
    Put16(payload, 2);
    for (std::uint32_t v : {0x01010101u, 0x02020202u, 0x03030303u, 0x04040404u}) Put32(payload, v);
    EXPECT_EQ(m, Control(7, payload));
    EXPECT_EQ(payload.size(), 12u + 2 + 2 + 16);

    short size = Len(m);
    std::uint32_t v = 0;
    std::uint16_t flags = 0, k = 0;
    const void *d = nullptr, *routes = nullptr, *second = nullptr;
    ASSERT_EQ(ssr_ExtractGWLogonAck(m.data(), &size, &v, &flags, &k, &d, &routes, &second), SSR_SUCCESS);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(Get16(second), 2);
    EXPECT_EQ(Get32(static_cast<const std::uint8_t*>(second) + 2 + 8 + 4), 0x04040404u);

    const Bytes without = Build(
        [&](void* b, short* s) { return ssr_ConstructGWLogonAck(b, s, 9, 0, 2, data, nullptr, nullptr); });
    size = Len(without);
    ASSERT_EQ(ssr_ExtractGWLogonAck(without.data(), &size, &v, &flags, &k, &d, &routes, &second),
              SSR_SUCCESS);
    EXPECT_EQ(second, nullptr);
}

TEST(SsrGatewayMessages, SmallGatewayMessages) {
    const Bytes nak = Build([](void* b, short* s) { return ssr_ConstructGWLogonNak(b, s, 4, "x"); });
    EXPECT_EQ(nak, Control(8, {0, 0, 0, 4, 'x', 0}));
    const Bytes rep = Build([](void* b, short* s) { return ssr_ConstructGWReport(b, s, 0x10203040); });
    EXPECT_EQ(rep, Control(10, {0x10, 0x20, 0x30, 0x40}));
    short size = Len(rep);
    std::uint32_t v = 0;
    ASSERT_EQ(ssr_ExtractGWReport(rep.data(), &size, &v), SSR_SUCCESS);
    EXPECT_EQ(v, 0x10203040u);

    const Bytes upd = Build([](void* b, short* s) { return ssr_ConstructGWUpdClient(b, s, 1, "v2", 3); });
    EXPECT_EQ(upd, Control(11, {0, 0, 0, 1, 0, 3, 'v', '2', 0, 0, 3}));
    const Bytes upd1 =
        Build([](void* b, short* s) { return ssr_ConstructGWUpdClient1(b, s, 1, "v2", 3, 4); });
    EXPECT_EQ(upd1.size(), 4u + 13 + 2);
    const Bytes updAck =
        Build([](void* b, short* s) { return ssr_ConstructGWUpdAck(b, s, 1, "v2", 2, 3, 4, 5); });
    EXPECT_EQ(updAck.size(), 4u + 19 + 2);
    std::uint16_t l = 0, a = 0, b = 0;
    std::uint32_t c = 0, d = 0;
    const char* t = nullptr;
    size = Len(updAck);
    ASSERT_EQ(ssr_ExtractGWUpdAck(updAck.data(), &size, &v, &l, &t, &a, &b, &c, &d), SSR_SUCCESS);
    EXPECT_EQ(l, 3);
    EXPECT_STREQ(t, "v2");
    EXPECT_EQ(d, 5u);
    size = Len(upd1);
    ASSERT_EQ(ssr_ExtractGWUpdClient1(upd1.data(), &size, &v, &l, &t, &a, &c), SSR_SUCCESS);
    EXPECT_EQ(c, 4u);
    size = Len(upd);
    ASSERT_EQ(ssr_ExtractGWUpdClient(upd.data(), &size, &v, &l, &t, &a), SSR_SUCCESS);
    EXPECT_EQ(a, 3);
}

TEST(SsrGatewayMessages, LogUserAndLogApp) {
    const Bytes user =
        Build([](void* b, short* s) { return ssr_ConstructGWLogUser(b, s, 1, "bob", 2, "hello"); });
    Bytes payload;
    Put32(payload, 1);
    Put16(payload, 4);
    PutText(payload, "bob");
    Put32(payload, 2);
    Put32(payload, 6);
    PutText(payload, "hello");
    EXPECT_EQ(user, Control(13, payload));
    EXPECT_EQ(payload.size(), 16u + 3 + 5);
    const Bytes app =
        Build([](void* b, short* s) { return ssr_ConstructGWLogApp(b, s, 1, "bob", 2, "hello"); });
    EXPECT_EQ(app, Control(87, payload));
    short size = Len(app);
    std::uint32_t v = 0, v2 = 0, tl = 0;
    std::uint16_t nl = 0;
    const char *n = nullptr, *t = nullptr;
    ASSERT_EQ(ssr_ExtractGWLogUser(app.data(), &size, &v, &nl, &n, &v2, &tl, &t), SSR_SUCCESS);
    EXPECT_STREQ(n, "bob");
    EXPECT_STREQ(t, "hello");
    EXPECT_EQ(tl, 6u);
}

TEST(SsrGatewayMessages, Report1WalksRecordsAndLogsFlows) {
    struct {
        std::uint32_t count = 2;
        SSR_REPORT_RECORD records[2] = {{1, 2, "ab"}, {3, 4, ""}};
    } records;
    struct {
        std::uint32_t count = 1;
        SSR_ADDRESS_PAIR pairs[1] = {{0xC6120002, 1500}};
    } sip;
    const Bytes m = Build([&](void* b, short* s) {
        return ssr_ConstructGWReport1(b, s, 5, reinterpret_cast<SSR_REPORT_RECORD_LIST*>(&records),
                                      reinterpret_cast<SSR_PAIR_LIST*>(&sip), nullptr);
    });
    EXPECT_EQ(m.size(), 4u + 16 + (10 + 3) + (10 + 1) + 8);
    std::string log;
    std::mutex lock;
    platform::SetDebugOutputCapture([&](std::string_view line) {
        std::lock_guard<std::mutex> g(lock);
        log.append(line);
    });
    short size = Len(m);
    std::uint32_t v = 0;
    const void *recs = nullptr, *s = nullptr, *d = nullptr;
    const int rc = ssr_ExtractGWReport1(m.data(), &size, &v, &recs, &s, &d);
    platform::SetDebugOutputCapture({});
    ASSERT_EQ(rc, SSR_SUCCESS);
    EXPECT_EQ(Get32(recs), 2u);
    EXPECT_EQ(Get32(s), 1u);
    EXPECT_EQ(Get32(d), 0u);
    EXPECT_NE(log.find("sip_flow[0].ip = 198.18.0.2, data_flow = 1500\n"), std::string::npos);
}

TEST(SsrGatewayMessages, LogonServerRequestTextOnlyAtExactSize) {
    const Bytes m =
        Build([](void* b, short* s) { return ssr_ConstructCltLogonSvrRequest(b, s, "carol", "n", "t"); });
    EXPECT_EQ(m.size(), 4u + 163 + 5);
    short size = Len(m);
    std::uint16_t l = 0;
    const char *u = nullptr, *n = nullptr, *t = nullptr;
    ASSERT_EQ(ssr_ExtractCltLogonSvrRequest(m.data(), &size, &l, &u, &n, &t), SSR_SUCCESS);
    EXPECT_EQ(l, 6);
    EXPECT_STREQ(u, "carol");
    EXPECT_STREQ(n, "n");
    EXPECT_STREQ(t, "t");
    Bytes longer = m;
    longer.push_back(0);
    longer[3] = static_cast<std::uint8_t>(longer[3] + 1);
    size = Len(longer);
    ASSERT_EQ(ssr_ExtractCltLogonSvrRequest(longer.data(), &size, &l, &u, &n, &t), SSR_SUCCESS);
    EXPECT_EQ(t, nullptr);
}

}  // namespace
