// The gateway over loopback, driven by a client made of the codec and the TLS library: the
// hello and its refusals, logon answers and naks, keep-alive, data both ways, password change,
// forced logoff, logoff, registration with a client certificate, and a key-id switch.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "gateway/test_gateway.h"
#include "gateway_client.h"
#include "platform/machine_root.h"
#include "platform/unique_fd.h"
#include "testsupport/certs.h"
#include "testsupport/net.h"
#include "testsupport/temp_dir.h"
#include "testsupport/temp_root.h"
#include "testsupport/wait.h"
#include "wendrel/ssr_control.h"

using namespace qelgw;
using qelgw::test::Build;
using qelgw::test::GatewayClient;
using testsupport::WaitFor;

namespace {

// One minted CA and server certificate for every gateway of this program: key generation is
// the slow part of a start.
const std::string& SharedStateDir() {
    static const testsupport::TempDir dir("qel-gateway-state");
    return dir.Path();
}

struct GatewayLogonTest : ::testing::Test {
    testsupport::TempRoot root{"qel-gateway-test"};
    GatewayConfig config;
    // The frames clients sent, as the sink saw them (under `lock`). Declared before the gateway,
    // so they outlive any handler still delivering.
    std::vector<std::vector<std::uint8_t>> fromClient;
    std::mutex lock;
    std::unique_ptr<TestGateway> gateway;

    GatewayLogonTest() {
        platform::ResetMachineRoot();
        config.stateDir = SharedStateDir();
        std::string error;
        EXPECT_TRUE(config.AddUser("alice:secret", &error)) << error;
        EXPECT_TRUE(config.AddUser("bob:pw:198.18.5.5", &error)) << error;
        config.dns1 = 0xCB007135;
        config.routes.push_back(Route{0xCB007100, 0xFFFFFF00, 0});
        config.policyLines = {"policy allow out all 0 0 0.0.0.0/0.0.0.0 x y"};
    }
    ~GatewayLogonTest() override {
        if (gateway) gateway->Stop();
        platform::ResetMachineRoot();
    }
    void StartGateway() {
        gateway = std::make_unique<TestGateway>(config);
        std::string error;
        ASSERT_TRUE(gateway->Start(&error)) << error;
        ASSERT_NE(gateway->Port(), 0);
    }
    void StartGatewayCollectingFrames() {
        StartGateway();
        gateway->SetFrameSink([this](std::uint32_t, const std::uint8_t* f, std::size_t n) {
            std::lock_guard<std::mutex> hold(lock);
            fromClient.emplace_back(f, f + n);
        });
    }
    static std::vector<std::uint8_t> Logon(const char* user, const char* password,
                                           std::uint32_t session = 0) {
        return Build([&](void* b, short* s) {
            return ssr_ConstructCltLogonSvrRequest3(b, s, user, password, session, "0123|0|00-00-00-00-00-00",
                                                    0);
        });
    }
    // Logs on and returns the virtual address the answer gave.
    std::uint32_t LogOn(GatewayClient& client, const char* user = "alice", const char* password = "secret") {
        EXPECT_TRUE(client.Connect(gateway->Port()));
        EXPECT_TRUE(client.Send(Logon(user, password)));
        auto answer = client.Next();
        EXPECT_FALSE(answer.empty()) << "no logon answer";
        if (answer.empty() || answer[1] != SSR_MNG_GW_CLT_LOGON_RESPON_LOGONOK) return 0;
        short size = static_cast<short>(answer.size());
        std::uint32_t sid, vip, mask, d1, d2, w1, w2;
        std::uint16_t nl;
        const char *name, *t1, *t2, *cert;
        const void *routes, *gateways;
        std::uint8_t sel, flag, cl;
        EXPECT_EQ(ssr_ExtractSvrCltLogonAck(answer.data(), &size, &sid, &nl, &name, &vip, &mask, &d1, &d2,
                                            &w1, &w2, &routes, &gateways, &sel, &t1, &t2, &flag, &cl, &cert),
                  SSR_SUCCESS);
        sessionId = sid;
        policy = t2;
        registerFlag = flag;
        return vip;
    }
    std::uint32_t sessionId = 0;
    std::string policy;
    std::uint8_t registerFlag = 0;
};

// An Ethernet frame with an IPv4 header from `source` (no payload beyond the header).
std::vector<std::uint8_t> Frame(std::uint32_t source, std::uint32_t destination, std::size_t length = 60) {
    std::vector<std::uint8_t> f(length, 0xAB);
    const std::uint8_t head[14] = {0, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0xFF, 0xFF, 0xFF, 0, 0, 0x08, 0x00};
    std::memcpy(f.data(), head, 14);
    f[14] = 0x45;
    for (std::size_t i = 0; i < 4; ++i) {
        f[26 + i] = static_cast<std::uint8_t>(source >> (24 - 8 * i));
        f[30 + i] = static_cast<std::uint8_t>(destination >> (24 - 8 * i));
    }
    return f;
}

TEST_F(GatewayLogonTest, LogonKeepAliveDataPasswordChangeAndLogoff) {
    StartGatewayCollectingFrames();
    GatewayClient client;
    const std::uint32_t vip = LogOn(client);
    EXPECT_EQ(vip, config.poolStart);
    EXPECT_EQ(sessionId, config.firstSessionId);
    EXPECT_EQ(policy, "policy allow out all 0 0 0.0.0.0/0.0.0.0 x y\n");
    EXPECT_EQ(registerFlag, 0);
    ASSERT_TRUE(WaitFor("the client online at the gateway", [&] { return gateway->OnlineCount() == 1; }));
    EXPECT_EQ(gateway->Counters().lastHardwareId, "0123|0|00-00-00-00-00-00");

    ASSERT_TRUE(client.Send(BuildHeaderOnly(SSR_CODE_MNG_KEEP_ALIVE_REQUEST)));
    EXPECT_EQ(client.Next(), BuildHeaderOnly(SSR_CODE_MNG_KEEP_ALIVE_RESPONSE));

    // A frame up (plain), one that claims another source (dropped), one down.
    auto up = Frame(vip, 0xC6120001);
    ASSERT_TRUE(
        client.Send(Build([&](void* b, short* s) { return ssr_ConstructSsrIPPacket(b, s, 60, up.data()); })));
    auto spoofed = Frame(vip + 1, 0xC6120001);
    ASSERT_TRUE(client.Send(
        Build([&](void* b, short* s) { return ssr_ConstructSsrIPPacket(b, s, 60, spoofed.data()); })));
    ASSERT_TRUE(WaitFor("two frames handled", [&] {
        auto c = gateway->Counters();
        return c.framesFromClients + c.framesDropped >= 2;
    }));
    {
        std::lock_guard<std::mutex> hold(lock);
        ASSERT_EQ(fromClient.size(), 1u);
        EXPECT_EQ(fromClient[0], up);
    }
    auto down = Frame(0xC6120001, vip, 1514);
    ASSERT_TRUE(gateway->SendFrame(vip, down.data(), down.size()));
    auto msg = client.Next();
    ASSERT_EQ(msg.size(), 1518u);
    EXPECT_EQ(msg[0], 0x03);
    EXPECT_TRUE(std::equal(down.begin(), down.end(), msg.begin() + 4));
    EXPECT_FALSE(gateway->SendFrame(vip, down.data(), 1515)) << "an oversized frame was sent";

    int size = 0;
    ssr_ConstructCltSvrResetPwd(nullptr, &size, sessionId, "alice", "secret", "better");
    std::vector<std::uint8_t> change(static_cast<std::size_t>(size));
    ssr_ConstructCltSvrResetPwd(change.data(), &size, sessionId, "alice", "secret", "better");
    ASSERT_TRUE(client.Send(change));
    auto changed = client.Next();
    ASSERT_FALSE(changed.empty());
    std::uint32_t error = 99, value = 0;
    char text[SSR_ERROR_TEXT_BUFFER_SIZE] = "";
    size = static_cast<int>(changed.size());
    ASSERT_EQ(ssr_ExtractSvrCltResetPwdAck(changed.data(), &size, &error, &value, text), SSR_SUCCESS);
    EXPECT_EQ(error, 0u);
    EXPECT_STREQ(text, "password changed");

    ASSERT_TRUE(client.Send(BuildHeaderOnly(SSR_CODE_MNG_CLT_GW_LOGOFF)));
    EXPECT_EQ(client.Next(), BuildHeaderOnly(SSR_CODE_MNG_GW_CLT_LOGOFF_ACK));
    EXPECT_EQ(gateway->OnlineCount(), 0);

    // The new password is the one that works now.
    GatewayClient again;
    ASSERT_TRUE(again.Connect(gateway->Port()));
    ASSERT_TRUE(again.Send(Logon("alice", "secret")));
    EXPECT_EQ(again.Next()[1], SSR_CODE_MNG_SVR_CLT_LOGON_NAK);
}

TEST_F(GatewayLogonTest, BatchedFramesInOneRecordAndAcrossRecordsArriveWholeAndInOrder) {
    StartGatewayCollectingFrames();
    GatewayClient client;
    const std::uint32_t vip = LogOn(client);
    ASSERT_TRUE(WaitFor("the client online at the gateway", [&] { return gateway->OnlineCount() == 1; }));
    // Twelve frames of growing size, each marked with its number, back to back as a client's batch.
    std::vector<std::vector<std::uint8_t>> frames;
    std::vector<std::uint8_t> batch;
    for (int i = 0; i < 12; ++i) {
        frames.push_back(Frame(vip, 0xC6120001, 60 + static_cast<std::size_t>(i) * 120));
        frames.back()[40] = static_cast<std::uint8_t>(i);
        auto msg = Build([&](void* b, short* sz) {
            return ssr_ConstructSsrIPPacket(b, sz, static_cast<int>(frames.back().size()),
                                            frames.back().data());
        });
        batch.insert(batch.end(), msg.begin(), msg.end());
    }
    ASSERT_TRUE(client.Send(batch));  // one record
    // The same batch cut inside a header and inside a frame: three records, nothing lost.
    const std::ptrdiff_t cuts[] = {2, static_cast<std::ptrdiff_t>(batch.size() / 2 + 7)};
    ASSERT_TRUE(client.Send(std::vector<std::uint8_t>(batch.begin(), batch.begin() + cuts[0])));
    ASSERT_TRUE(client.Send(std::vector<std::uint8_t>(batch.begin() + cuts[0], batch.begin() + cuts[1])));
    ASSERT_TRUE(client.Send(std::vector<std::uint8_t>(batch.begin() + cuts[1], batch.end())));
    ASSERT_TRUE(
        WaitFor("both batches at the sink", [&] { return gateway->Counters().framesFromClients == 24; }));
    std::lock_guard<std::mutex> hold(lock);
    ASSERT_EQ(fromClient.size(), 24u);
    for (std::size_t i = 0; i < fromClient.size(); ++i)
        EXPECT_EQ(fromClient[i], frames[i % 12]) << "frame " << i;
    EXPECT_EQ(gateway->Counters().framesDropped, 0u);
}

TEST_F(GatewayLogonTest, WrongPasswordAndConfiguredNaksCarryTheirCodeAndText) {
    config.nakCode = 997;
    config.nakText = "register this computer";
    StartGateway();
    GatewayClient client;
    ASSERT_TRUE(client.Connect(gateway->Port()));
    ASSERT_TRUE(client.Send(Logon("alice", "wrong")));
    auto nak = client.Next();
    ASSERT_FALSE(nak.empty());
    ASSERT_EQ(nak[1], SSR_CODE_MNG_SVR_CLT_LOGON_NAK);
    short size = static_cast<short>(nak.size());
    std::uint32_t error = 0;
    const char* text = nullptr;
    ASSERT_EQ(ssr_ExtractCltSvrLogonNak(nak.data(), &size, &error, &text), SSR_SUCCESS);
    EXPECT_EQ(error, config.badPasswordCode);
    EXPECT_STREQ(text, "invalid user name or password");
    EXPECT_EQ(gateway->OnlineCount(), 0);

    gateway->Stop();
    config.logon = LogonMode::Nak;
    StartGateway();
    GatewayClient second;
    ASSERT_TRUE(second.Connect(gateway->Port()));
    ASSERT_TRUE(second.Send(Logon("alice", "secret")));
    nak = second.Next();
    ASSERT_FALSE(nak.empty());
    size = static_cast<short>(nak.size());
    ASSERT_EQ(ssr_ExtractCltSvrLogonNak(nak.data(), &size, &error, &text), SSR_SUCCESS);
    EXPECT_EQ(error, 997u);
    EXPECT_STREQ(text, "register this computer");
}

TEST_F(GatewayLogonTest, NegativeHellosAnswerWhatTheClientMustRefuse) {
    const std::pair<HelloMode, std::string> cases[] = {
        {HelloMode::WrongWelcome, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"},
        {HelloMode::NotHttp, "QEL GATEWAY READY\r\n\r\n"},
        {HelloMode::Status, "HTTP 503 Refused\r\n\r\n"},
        {HelloMode::BadLength, "HTTP 200 OK\r\nContent-Length: many\r\n\r\n"},
        {HelloMode::Close, ""},
    };
    for (const auto& [mode, expected] : cases) {
        config.hello = mode;
        StartGateway();
        int fd = -1;
        EXPECT_EQ(GatewayClient::Hello(gateway->Port(), &fd), expected);
        platform::UniqueFd connection(fd);
        // Every refusal ends the connection: nothing more, then the end of the stream.
        char c = 0;
        EXPECT_EQ(::recv(fd, &c, 1, 0), 0);
        connection.Reset();
        EXPECT_EQ(gateway->Counters().tlsSessions, 0);
        gateway->Stop();
    }
}

TEST_F(GatewayLogonTest, SilentGatewayHoldsTheConnectionWithoutAnswer) {
    config.hello = HelloMode::Silent;
    StartGateway();
    platform::UniqueFd connection(testsupport::ConnectLoopback(gateway->Port()));
    const int fd = connection.Get();
    ASSERT_GE(fd, 0);
    static const char kHello[] = "CONNECT QEL_GATEWAY HTTP 1.1 \r\n\r\n";
    ASSERT_TRUE(testsupport::SendAll(fd, kHello, sizeof kHello - 1));
    ASSERT_TRUE(WaitFor("the hello read", [&] { return gateway->Counters().hellos == 1; }));
    char c = 0;
    EXPECT_EQ(::recv(fd, &c, 1, MSG_DONTWAIT), -1) << "the silent gateway answered or hung up";
    connection.Reset();
    // And Stop does not wait for the silent connection.
    gateway->Stop();
}

TEST_F(GatewayLogonTest, ForcedLogoffAfterItsTimeAndGatewayKeepAlive) {
    config.keepAliveSeconds = 1;
    config.forcedLogoffSeconds = 1;
    config.forcedLogoffText = "cut by test";
    StartGateway();
    GatewayClient client;
    ASSERT_NE(LogOn(client, "bob", "pw"), 0u);
    auto request = client.NextWithCode(SSR_CODE_MNG_KEEP_ALIVE_REQUEST, 10000);
    ASSERT_FALSE(request.empty()) << "no keep-alive request from the gateway";
    ASSERT_TRUE(client.Send(BuildHeaderOnly(SSR_CODE_MNG_KEEP_ALIVE_RESPONSE)));
    auto cut = client.NextWithCode(SSR_CODE_MNG_CUT_CLT_LOGOFF, 10000);
    ASSERT_FALSE(cut.empty()) << "no forced logoff";
    std::uint32_t error = 0;
    char text[SSR_ERROR_TEXT_BUFFER_SIZE] = "";
    int size = static_cast<int>(cut.size());
    ASSERT_EQ(ssr_ExtractSvrCutCltLogoff(cut.data(), &size, &error, text), SSR_SUCCESS);
    EXPECT_STREQ(text, "cut by test");
    EXPECT_TRUE(WaitFor("the keep-alive answer counted",
                        [&] { return gateway->Counters().keepAliveResponsesReceived == 1; }));
    // Counted once the send returned, which may be after the client read it.
    EXPECT_TRUE(WaitFor("the forced logoff counted", [&] { return gateway->Counters().forcedLogoffs == 1; }));
}

TEST_F(GatewayLogonTest, DeflatedFramesBothWaysOnAnotherKeyId) {
    config.compress = true;
    config.keyId = 2;
    StartGatewayCollectingFrames();
    GatewayClient client;
    const std::uint32_t vip = LogOn(client);
    ASSERT_NE(vip, 0u);
    SsrZlibStream* zlib = nullptr;
    ASSERT_EQ(ssr_CreateSsrZlibStream(&zlib), SSR_SUCCESS);
    auto frame = Frame(vip, 0xC6120001, 200);
    for (int i = 0; i < 3; ++i) {
        std::vector<std::uint8_t> msg(SSR_ZLIB_MESSAGE_SIZE);
        short size = static_cast<short>(msg.size());
        ASSERT_EQ(ssr_ConstructZlibCompressedSsrIPPacket(msg.data(), &size, 200, frame.data(), zlib),
                  SSR_SUCCESS);
        msg.resize(static_cast<std::size_t>(size));
        ASSERT_TRUE(WaitFor("a send the session takes", [&] { return client.Send(msg); }));
        ASSERT_TRUE(gateway->SendFrame(vip, frame.data(), frame.size()));
        auto down = client.Next();
        ASSERT_FALSE(down.empty());
        ASSERT_EQ(down[1], SSR_CODE_DATA_ZLIB_COMPRESS_IP_PACKET);
        std::uint8_t out[SSR_ZLIB_FRAME_CAPACITY];
        short capacity = sizeof out;
        size = static_cast<short>(down.size());
        ASSERT_EQ(ssr_ExtractZlibCompressedSsrIPPacket(down.data(), &size, &capacity, out, zlib),
                  SSR_SUCCESS);
        EXPECT_TRUE(std::equal(frame.begin(), frame.end(), out)) << "round " << i;
    }
    ssr_CloseSsrZlibStream(zlib);
    ASSERT_TRUE(WaitFor("three frames inflated", [&] { return gateway->Counters().framesFromClients == 3; }));
    std::lock_guard<std::mutex> hold(lock);
    for (auto& f : fromClient) EXPECT_EQ(f, frame);
}

TEST_F(GatewayLogonTest, MalformedMessageEndsTheSession) {
    StartGateway();
    GatewayClient client;
    ASSERT_TRUE(client.Connect(gateway->Port()));
    ASSERT_TRUE(client.Send({0x24, 0, 0, 0}));  // version 4
    EXPECT_TRUE(client.WaitDisconnected());
    EXPECT_EQ(gateway->Counters().badMessages, 1);
}

}  // namespace

namespace {

struct GatewayRegistrationTest : GatewayLogonTest {
    testsupport::CertKey ca = testsupport::MakeCert("Registration CA", nullptr, true);
    testsupport::CertKey alice = testsupport::MakeCert("alice", &ca, false, -1, 365, 4242);
    GatewayRegistrationTest() {
        config.stateDir = root.Path() + "/gw";  // its own CA: not the shared state
        config.caCert = root.Path() + "/ca.pem";
        config.caKey = root.Path() + "/ca.key";
        testsupport::WritePem(config.caCert, ca, false);
        testsupport::WriteKeyPem(config.caKey, ca);
        std::filesystem::create_directories(platform::CertStoreDir());
        testsupport::WritePem(platform::CertStoreDir() + "/alice.pem", alice, true);
        config.registration = RegisterMode::Ack;
    }
    // The first logon: its answer demands registration and names the ticket.
    std::string LogOnForTicket(std::uint32_t* vip) {
        GatewayClient client;
        EXPECT_TRUE(client.Connect(gateway->Port()));
        EXPECT_TRUE(client.Send(Logon("alice", "secret")));
        auto answer = client.Next();
        if (answer.size() < 4 || answer[1] != SSR_MNG_GW_CLT_LOGON_RESPON_LOGONOK) return "";
        short size = static_cast<short>(answer.size());
        std::uint32_t mask, d1, d2, w1, w2;
        std::uint16_t nl;
        const char *name, *t1, *t2, *cert;
        const void *routes, *gateways;
        std::uint8_t sel, flag, cl;
        EXPECT_EQ(
            ssr_ExtractSvrCltLogonAck(answer.data(), &size, &sessionId, &nl, &name, vip, &mask, &d1, &d2, &w1,
                                      &w2, &routes, &gateways, &sel, &t1, &t2, &flag, &cl, &cert),
            SSR_SUCCESS);
        EXPECT_EQ(flag, 1);
        const auto* g = static_cast<const std::uint8_t*>(gateways);
        const std::size_t k = std::size_t{g[6]} << 8 | g[7];
        return std::string(reinterpret_cast<const char*>(g + 8), k);
    }
    std::vector<std::uint8_t> Register(GatewayClient& client, const std::string& ticket, std::uint32_t vip) {
        EXPECT_TRUE(client.Connect(gateway->Port()));
        EXPECT_TRUE(client.Send(Build([&](void* b, short* s) {
            return ssr_ConstructCltRegRequest(b, s, sessionId, "alice", 3, vip,
                                              static_cast<std::uint16_t>(ticket.size()), ticket.data());
        })));
        return client.Next(20000);
    }
    static std::uint16_t Status(const std::vector<std::uint8_t>& ack, std::uint32_t* address = nullptr) {
        short size = static_cast<short>(ack.size());
        std::uint16_t status = 0xFFFF;
        std::uint32_t a = 0, m = 0;
        if (ack.size() < 4 || ack[1] != SSR_CODE_MNG_GW_CLT_REG_ACK ||
            ssr_ExtractCltRegisterAck(ack.data(), &size, &status, &a, &m) != SSR_SUCCESS)
            return 0xFFFF;
        if (address) *address = a;
        return status;
    }
};

TEST_F(GatewayRegistrationTest, SecondConnectionRegistersWithTheClientCertificate) {
    StartGateway();
    std::uint32_t vip = 0;
    const std::string ticket = LogOnForTicket(&vip);
    ASSERT_EQ(ticket, "ticket-" + std::to_string(config.firstSessionId));
    EXPECT_EQ(gateway->OnlineCount(), 0) << "online before registration";

    GatewayClient withCert;
    ASSERT_TRUE(withCert.ChooseCertificate("CN=alice", testsupport::SerialHexOf(alice)));
    std::uint32_t address = 0;
    EXPECT_EQ(Status(Register(withCert, ticket, vip), &address), 0);
    EXPECT_EQ(address, vip);
    ASSERT_TRUE(WaitFor("the registered client online", [&] { return gateway->OnlineCount() == 1; }));
    EXPECT_EQ(gateway->Counters().registrations, 1);
}

TEST_F(GatewayRegistrationTest, WrongTicketIsNakedAndReassignGivesTheNewAddress) {
    config.registration = RegisterMode::Reassign;
    config.reassignIp = 0xC6120A0A;
    StartGateway();
    std::uint32_t vip = 0;
    const std::string ticket = LogOnForTicket(&vip);
    GatewayClient wrong;
    auto nak = Register(wrong, "forged", vip);
    ASSERT_FALSE(nak.empty());
    EXPECT_EQ(nak[1], SSR_CODE_MNG_GW_CLT_REG_NAK);

    GatewayClient withCert;
    ASSERT_TRUE(withCert.ChooseCertificate("CN=alice", testsupport::SerialHexOf(alice)));
    std::uint32_t address = 0;
    EXPECT_EQ(Status(Register(withCert, ticket, vip), &address), 1);
    EXPECT_EQ(address, 0xC6120A0Au);
    auto frame = Frame(0xC6120001, 0xC6120A0A);
    EXPECT_TRUE(WaitFor("the new address routed",
                        [&] { return gateway->SendFrame(0xC6120A0A, frame.data(), frame.size()); }));
}

}  // namespace
