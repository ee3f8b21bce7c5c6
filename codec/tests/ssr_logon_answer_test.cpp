// The logon-accepted answer: the longest message the client parses, with every count and text in
// it coming from the server.
#include <gtest/gtest.h>

#include <string>

#include "ssr_test_util.h"
#include "wendrel/ssr_codec.h"

namespace {

using namespace ssrtest;

struct Answer {
    std::uint32_t sid = 0, ip = 0, mask = 0, dns1 = 0, dns2 = 0, wins1 = 0, wins2 = 0;
    std::uint16_t nameLength = 0;
    const char* name = nullptr;
    const void* routes = nullptr;
    const void* gateways = nullptr;
    std::uint8_t selector = 0, flag = 0, certLength = 0;
    const char* text1 = nullptr;
    const char* text2 = nullptr;
    const char* cert = nullptr;
};

int Extract(const Bytes& m, Answer& a, short size) {
    return ssr_ExtractSvrCltLogonAck(m.data(), &size, &a.sid, &a.nameLength, &a.name, &a.ip, &a.mask, &a.dns1,
                                     &a.dns2, &a.wins1, &a.wins2, &a.routes, &a.gateways, &a.selector,
                                     &a.text1, &a.text2, &a.flag, &a.certLength, &a.cert);
}

Bytes BuildAnswer() {
    struct {
        std::uint32_t count = 1;
        SSR_ROUTE routes[1] = {{0xCB007100, 0xFFFFFF00, 0xC6120001}};
    } routes;
    static const std::uint8_t ticket[4] = {1, 2, 3, 4};
    struct {
        std::uint32_t count = 2;
        SSR_GATEWAY_ENTRY gateways[2] = {{0xCB007101, 4, ticket}, {0xCB007102, 0, nullptr}};
    } gateways;
    return Build([&](void* b, short* s) {
        return ssr_ConstructSvrCltLogonAck(b, s, 1234, "dave", 0xC6120002, 0xFFFF0000, 0x08080808, 0x08080404,
                                           0, 0, reinterpret_cast<SSR_ROUTE_LIST*>(&routes),
                                           reinterpret_cast<SSR_GATEWAY_LIST*>(&gateways), 3, "welcome",
                                           "policy=allow", 1);
    });
}

TEST(SsrLogonAnswer, KnownLayout) {
    const Bytes m = BuildAnswer();
    Bytes p;
    Put32(p, 1234);
    Put16(p, 5);
    PutText(p, "dave");
    for (std::uint32_t v : {0xC6120002u, 0xFFFF0000u, 0x08080808u, 0x08080404u, 0u, 0u}) Put32(p, v);
    p.resize(p.size() + 8, 0);
    Put32(p, 1);
    for (std::uint32_t v : {0xCB007100u, 0xFFFFFF00u, 0xC6120001u}) Put32(p, v);
    Put16(p, 2);
    Put32(p, 0xCB007101);
    Put16(p, 4);
    for (int c : {1, 2, 3, 4}) p.push_back(static_cast<std::uint8_t>(c));
    Put32(p, 0xCB007102);
    Put16(p, 0);
    p.push_back(3);
    PutText(p, "welcome");
    PutText(p, "policy=allow");
    p.push_back(1);
    EXPECT_EQ(m, Control(21, p));
}

TEST(SsrLogonAnswer, RoundTripWithoutCertificate) {
    const Bytes m = BuildAnswer();
    Answer a;
    ASSERT_EQ(Extract(m, a, Len(m)), SSR_SUCCESS);
    EXPECT_EQ(a.sid, 1234u);
    EXPECT_EQ(a.nameLength, 5);
    EXPECT_STREQ(a.name, "dave");
    EXPECT_EQ(a.ip, 0xC6120002u);
    EXPECT_EQ(a.dns2, 0x08080404u);
    EXPECT_EQ(Get32(a.routes), 1u);
    EXPECT_EQ(Get16(a.gateways), 2);
    EXPECT_EQ(a.selector, 3);
    EXPECT_STREQ(a.text1, "welcome");
    EXPECT_STREQ(a.text2, "policy=allow");
    EXPECT_EQ(a.flag, 1);
    EXPECT_EQ(a.certLength, 0);
    EXPECT_EQ(a.cert, nullptr);
}

// The gateway appends the certificate text after the flag and sends code 163.
Bytes WithTrailer(const Bytes& trailer) {
    Bytes m = BuildAnswer();
    m.insert(m.end(), trailer.begin(), trailer.end());
    const std::size_t payload = m.size() - 4;
    m[1] = SSR_MNG_GW_CLT_LOGON_RESPON_LOGONOK;
    m[2] = static_cast<std::uint8_t>(payload >> 8);
    m[3] = static_cast<std::uint8_t>(payload);
    return m;
}

TEST(SsrLogonAnswer, CertificateTextInsideThePayload) {
    Bytes trailer;
    PutText(trailer, "01AB+CN=dave");
    const Bytes m = WithTrailer(trailer);
    Answer a;
    ASSERT_EQ(Extract(m, a, Len(m)), SSR_SUCCESS);
    EXPECT_EQ(a.certLength, 12);
    EXPECT_STREQ(a.cert, "01AB+CN=dave");
}

TEST(SsrLogonAnswer, CertificateTextEndingPastThePayloadIsIgnored) {
    const std::string cert = "01AB+CN=dave";
    Bytes m = WithTrailer(Bytes(cert.begin(), cert.end()));  // no NUL inside the payload
    m.push_back(0);                                          // the NUL lies just past it
    Answer a;
    ASSERT_EQ(Extract(m, a, Len(m)), SSR_SUCCESS);
    EXPECT_EQ(a.certLength, 0);
    EXPECT_EQ(a.cert, nullptr);
}

TEST(SsrLogonAnswer, CertificateTextOf256CharactersIsIgnored) {
    Bytes trailer;
    PutText(trailer, std::string(256, 'c'));
    Answer a;
    const Bytes m = WithTrailer(trailer);
    ASSERT_EQ(Extract(m, a, Len(m)), SSR_SUCCESS);
    EXPECT_EQ(a.cert, nullptr);
    Bytes ok;
    PutText(ok, std::string(255, 'c'));
    const Bytes m2 = WithTrailer(ok);
    ASSERT_EQ(Extract(m2, a, Len(m2)), SSR_SUCCESS);
    EXPECT_EQ(a.certLength, 255);
}

TEST(SsrLogonAnswer, CountsBeyondThePayloadAreRefused) {
    const Bytes m = BuildAnswer();
    Answer a;
    const std::size_t routeCount = 4 + 2 + 5 + 24 + 8 + 4;  // offset of the route count in the message
    ASSERT_EQ(Get32(&m[routeCount]), 1u);
    Bytes routes = m;
    routes[routeCount] = 0x10;  // 2^28 routes
    EXPECT_EQ(Extract(routes, a, Len(routes)), SSR_ERROR_INCOMPLETE);
    Bytes gateways = m;
    const std::size_t gatewayCount = routeCount + 4 + 12;
    ASSERT_EQ(Get16(&m[gatewayCount]), 2);
    gateways[gatewayCount + 1] = 3;
    EXPECT_EQ(Extract(gateways, a, Len(gateways)), SSR_ERROR_INCOMPLETE);
    Bytes ticket = m;
    ticket[gatewayCount + 2 + 4 + 1] = 0xF0;  // first ticket length 240
    EXPECT_EQ(Extract(ticket, a, Len(ticket)), SSR_ERROR_INCOMPLETE);
    Bytes name = m;
    name[9] = 200;  // L of the name beyond the payload
    EXPECT_EQ(Extract(name, a, Len(name)), SSR_ERROR_INCOMPLETE);
    // Text 2 without its NUL: the flag byte would be read as text.
    Bytes text = m;
    text[text.size() - 2] = 'x';
    text.back() = 'y';
    EXPECT_EQ(Extract(text, a, Len(text)), SSR_ERROR_INCOMPLETE);
}

}  // namespace
