// The connector against the test gateway over loopback, driven by the worker thread: logon
// direct and through tinyproxy (with and without authentication), keep-alive, logoff, a wrong
// welcome, a 407, a gateway that never answers, naks, registration with a client certificate on a
// second connection, a forced logoff and a relogon after the gateway dropped the tunnel.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "connector_rig.h"
#include "gateway/test_gateway.h"
#include "testsupport/certs.h"
#include "testsupport/net.h"
#include "testsupport/temp_dir.h"
#include "testsupport/cutting_proxy.h"
#include "testsupport/tiny_proxy.h"

namespace engine::test {
namespace {

const std::string& SharedStateDir() {
    static const testsupport::TempDir dir("qel-connector-gw-state");
    return dir.Path();
}

using testsupport::TinyProxy;

class ConnectorGatewayTest : public ::testing::Test {
protected:
    ConnectorGatewayTest() {
        config.stateDir = SharedStateDir();
        std::string error;
        EXPECT_TRUE(config.AddUser("alice:secret", &error)) << error;
        config.dns1 = 0xC6120035;
        config.routes.push_back(qelgw::Route{0xCB007100, 0xFFFFFF00, 0});
        config.policyLines = {"policy allow out all 0 0 0.0.0.0/0.0.0.0 x y"};
        // Keep-alives stay quick, but a loaded machine must not lose a tunnel whose gateway answers.
        rig.deps.timing.lossMs = 5000;
    }
    ~ConnectorGatewayTest() override {
        rig.Stop();
        if (gateway) gateway->Stop();
    }
    void StartGateway() {
        gateway = std::make_unique<qelgw::TestGateway>(config);
        std::string error;
        ASSERT_TRUE(gateway->Start(&error)) << error;
        rig.Server("127.0.0.1", gateway->Port());
    }
    void LogOn(const char* user = "alice", const char* password = "secret") {
        rig.Start();
        rig.worker->Logon(user, password, 0, 0);
    }
    // Online once more than before (the recorder keeps the events of earlier rounds).
    void ExpectOnline() {
        const std::size_t wanted = ++onlineRounds;
        ASSERT_TRUE(testsupport::WaitFor("callback 0 number " + std::to_string(wanted), [&] {
            const auto e = rig.ui.Events();
            return static_cast<std::size_t>(std::count(e.begin(), e.end(), "0")) >= wanted;
        }));
        ASSERT_TRUE(rig.WaitStatus(TW_CLT_STATUS_GW_CERTIFIED));
        EXPECT_TRUE(InOrder(rig.ui.Events(), {"2", "4:t184", "4:t221", "4:t222", "3", "0"}))
            << Joined(rig.ui.Events());
        EXPECT_TRUE(testsupport::WaitFor("the gateway to count the client online",
                                         [&] { return gateway->OnlineCount() == 1; }));
    }
    void LogOffCleanly() {
        rig.worker->Logoff();
        ASSERT_TRUE(rig.WaitStatus(TW_CLT_STATUS_OFFLINE));
        EXPECT_TRUE(testsupport::WaitFor("the gateway to hear the logoff", [&] {
            return gateway->Counters().logoffs == 1;
        })) << Joined(rig.ui.Events());
    }

    ConnectorRig rig;
    qelgw::GatewayConfig config;
    std::unique_ptr<qelgw::TestGateway> gateway;
    std::size_t onlineRounds = 0;
};

TEST_F(ConnectorGatewayTest, DirectLogonKeepsAliveAndLogsOff) {
    StartGateway();
    LogOn();
    ExpectOnline();
    const auto results = rig.connector->LogonResults();
    EXPECT_EQ(results.virtualIp, config.poolStart);
    ASSERT_EQ(results.routes.size(), 1u);
    EXPECT_EQ(results.routes[0].network, 0xCB007100u);
    EXPECT_EQ(results.dns1, 0xC6120035u);
    EXPECT_EQ(gateway->Counters().lastHardwareId, "0123456789abcdef0123456789abcdef|1|00-11-22-33-44-55");
    EXPECT_TRUE(testsupport::WaitFor("keep-alive requests at the gateway",
                                     [&] { return gateway->Counters().keepAliveRequestsReceived >= 2; }));
    EXPECT_EQ(rig.connector->Status(), TW_CLT_STATUS_GW_CERTIFIED) << "answered keep-alives keep the tunnel";
    EXPECT_TRUE(rig.connector->DataPath()->Running());
    DWORD stored = 0;
    rig.settings->GetDword("Software\\Morvane\\QelClient", "SessionId", &stored);
    EXPECT_EQ(stored, config.firstSessionId);
    LogOffCleanly();
    EXPECT_FALSE(rig.connector->DataPath()->Running());
}

TEST_F(ConnectorGatewayTest, ARingHeldByAnotherEndsTheLogonWithAMessageAndNeverOnline) {
    StartGateway();
    rig.driver.shareOk = false;
    LogOn();
    ASSERT_TRUE(testsupport::WaitFor("the logon to end", [&] {
        const auto e = rig.ui.Events();
        return std::any_of(e.begin(), e.end(), [](const std::string& s) { return s.rfind("5:", 0) == 0; });
    })) << Joined(rig.ui.Events());
    ASSERT_TRUE(rig.WaitStatus(TW_CLT_STATUS_OFFLINE)) << Joined(rig.ui.Events());
    const auto events = rig.ui.Events();
    EXPECT_EQ(std::count(events.begin(), events.end(), "0"), 0) << "reported online without the ring";
    const auto message = std::find_if(events.begin(), events.end(),
                                      [](const std::string& s) { return s.rfind("5:", 0) == 0; });
    EXPECT_NE(message->find("in use by another"), std::string::npos) << *message;
    const auto calls = rig.driver.Calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "StartCapture"), 0) << "captured without the ring";
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "Media 1"), 0) << Joined(calls);
    EXPECT_TRUE(testsupport::WaitFor("the gateway to hear the ended session's logoff",
                                     [&] { return gateway->Counters().logoffs == 1; }));

    // Once the other lets go, the same client logs on.
    rig.driver.shareOk = true;
    rig.worker->Logon("alice", "secret", 0, 0);
    ExpectOnline();
    rig.worker->Logoff();
    ASSERT_TRUE(rig.WaitStatus(TW_CLT_STATUS_OFFLINE));
    EXPECT_TRUE(testsupport::WaitFor("the gateway to hear the logoff",
                                     [&] { return gateway->Counters().logoffs == 2; }));
}

// The client's default list leads with the AEAD suites and the gateway prefers them; a gateway
// that takes only the CBC suites of the old lists still finds them behind.
TEST_F(ConnectorGatewayTest, DefaultLogonSettlesOnAnAeadSuiteAndCbcOnlyGatewaysStillServe) {
    StartGateway();
    LogOn();
    ExpectOnline();
    const std::string aead = gateway->Counters().lastSuite;
    EXPECT_EQ(aead.rfind("TLSv1.2 ", 0), 0u) << aead;
    EXPECT_TRUE(aead.find("GCM") != std::string::npos || aead.find("CHACHA20") != std::string::npos) << aead;
    LogOffCleanly();
    rig.Stop();
    gateway->Stop();

    config.ciphers = "AES256-SHA:AES128-SHA";
    StartGateway();
    LogOn();
    ExpectOnline();
    EXPECT_EQ(gateway->Counters().lastSuite, "TLSv1.2 AES256-SHA");
    LogOffCleanly();
}

TEST_F(ConnectorGatewayTest, ThroughTinyproxyWithAndWithoutAuthentication) {
    for (const bool withAuth : {false, true}) {
        SCOPED_TRACE(withAuth ? "with authentication" : "without authentication");
        testsupport::TempDir folder("qel-tinyproxy");
        TinyProxy proxy(folder.Path(), withAuth ? "proxyuser" : "", withAuth ? "proxypass" : "");
        if (!proxy.Ready()) GTEST_SKIP() << "tinyproxy did not start";
        StartGateway();
        rig.Set("UseProxy", "yes");
        rig.Set("ProxyAddr", "127.0.0.1");
        rig.Set("ProxyPort", std::to_string(proxy.Port()));
        rig.Set("UseProxyAuth", withAuth ? "Yes" : "No");
        rig.Set("ProxyUser", "proxyuser");
        rig.Set("ProxyPass", "proxypass");
        LogOn();
        ExpectOnline();
        LogOffCleanly();
        rig.Stop();
        gateway->Stop();
        gateway.reset();
    }
}

// However the proxy cuts its answer, down to a byte a packet or inside the status line, the logon
// reads it to the blank line and goes on through the tunnel.
TEST_F(ConnectorGatewayTest, ProxyAnswerCutIntoPiecesStillLogsOn) {
    for (const std::size_t piece : {std::size_t{1}, std::size_t{7}}) {
        SCOPED_TRACE("pieces of " + std::to_string(piece));
        StartGateway();
        testsupport::CuttingProxy proxy("HTTP/1.0 200 Connection established\r\nVia: t\r\n\r\n", piece,
                                        gateway->Port());
        rig.Set("UseProxy", "Yes");
        rig.Set("ProxyAddr", "127.0.0.1");
        rig.Set("ProxyPort", std::to_string(proxy.Port()));
        LogOn();
        ExpectOnline();
        EXPECT_GT(proxy.PiecesSent(), 5);
        LogOffCleanly();
        rig.Stop();
        gateway->Stop();
        gateway.reset();
    }
}

TEST_F(ConnectorGatewayTest, ProxyAskingForCredentialsRefusesTheLogon) {
    testsupport::TempDir folder("qel-tinyproxy");
    TinyProxy proxy(folder.Path(), "proxyuser", "proxypass");
    if (!proxy.Ready()) GTEST_SKIP() << "tinyproxy did not start";
    StartGateway();
    rig.Set("UseProxy", "Yes");
    rig.Set("ProxyAddr", "127.0.0.1");
    rig.Set("ProxyPort", std::to_string(proxy.Port()));
    rig.Set("UseProxyAuth", "no");
    LogOn();
    ASSERT_TRUE(rig.WaitLogonEnded());
    EXPECT_EQ(rig.connector->LastError(), 23);
    EXPECT_TRUE(InOrder(rig.ui.Events(), {"2", "4:t193", "5:t177", "1"})) << Joined(rig.ui.Events());
    EXPECT_EQ(gateway->Counters().hellos, 0);
}

// A proxy that answers "200" and then one byte at a time, never the blank line: each byte must not
// restart the wait for the answer.
class TricklingProxy {
public:
    TricklingProxy() {
        m_thread = std::thread([this] {
            const platform::UniqueFd fd(m_listener.Accept());
            if (!fd) return;
            char request[4096];
            if (::recv(fd.Get(), request, sizeof request, 0) <= 0) return;
            const std::string status = "HTTP/1.1 200 OK\r\n";
            if (!testsupport::SendAll(fd.Get(), status.data(), status.size())) return;
            while (!m_stop.load()) {
                // A real proxy's pace, shortened: the byte is the event, not the pause.
                pollfd p{fd.Get(), POLLIN, 0};
                if (::poll(&p, 1, 20) > 0) return;  // the client closed
                if (::send(fd.Get(), "x", 1, MSG_NOSIGNAL) != 1) return;
                ++m_sent;
            }
        });
    }
    ~TricklingProxy() {
        m_stop = true;
        // An accept that never came is woken by a connection of our own.
        const platform::UniqueFd wake(testsupport::ConnectLoopback(m_listener.port));
        m_thread.join();
    }
    unsigned short Port() const { return m_listener.port; }
    int Sent() const { return m_sent.load(); }

private:
    testsupport::LoopbackListener m_listener;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_sent{0};
    std::thread m_thread;
};

TEST_F(ConnectorGatewayTest, TricklingProxyEndsAtItsTimeOutOrAtOnceOnLogoff) {
    StartGateway();
    {
        SCOPED_TRACE("the proxy time-out bounds the whole answer");
        TricklingProxy proxy;
        rig.deps.timing.serverConnectMs = 400;
        rig.Set("UseProxy", "Yes");
        rig.Set("ProxyAddr", "127.0.0.1");
        rig.Set("ProxyPort", std::to_string(proxy.Port()));
        LogOn();
        ASSERT_TRUE(testsupport::WaitFor("the proxy to trickle", [&] { return proxy.Sent() > 3; }));
        ASSERT_TRUE(rig.WaitLogonEnded());
        EXPECT_NE(rig.connector->Status(), TW_CLT_STATUS_GW_CERTIFIED);
        rig.Stop();
    }
    {
        SCOPED_TRACE("a logoff ends the wait at once");
        TricklingProxy proxy;
        rig.deps.timing.serverConnectMs = 600000;
        rig.Set("ProxyPort", std::to_string(proxy.Port()));
        LogOn();
        ASSERT_TRUE(testsupport::WaitFor("the proxy to trickle", [&] { return proxy.Sent() > 3; }));
        rig.worker->Logoff();
        ASSERT_TRUE(rig.WaitLogonEnded());
        EXPECT_NE(rig.connector->Status(), TW_CLT_STATUS_GW_CERTIFIED);
    }
    EXPECT_EQ(gateway->Counters().hellos, 0);
}

TEST_F(ConnectorGatewayTest, WrongWelcomeIsAProtocolError) {
    config.hello = qelgw::HelloMode::WrongWelcome;
    StartGateway();
    LogOn();
    ASSERT_TRUE(rig.WaitLogonEnded());
    EXPECT_EQ(rig.connector->LastError(), 37);
    EXPECT_TRUE(InOrder(rig.ui.Events(), {"2", "4:t175", "4:t183", "4:t193", "1"}))
        << Joined(rig.ui.Events());
    EXPECT_EQ(rig.connector->Status(), TW_CLT_STATUS_OFFLINE);
}

TEST_F(ConnectorGatewayTest, GatewayThatNeverAnswersTheHelloTimesOut) {
    config.hello = qelgw::HelloMode::Silent;
    rig.deps.timing.serverConnectMs = 300;
    StartGateway();
    LogOn();
    ASSERT_TRUE(rig.WaitLogonEnded());
    EXPECT_EQ(rig.connector->LastError(), 23);
    EXPECT_TRUE(InOrder(rig.ui.Events(), {"4:t175", "4:t177", "4:t193", "5:t177", "1"}))
        << Joined(rig.ui.Events());
}

TEST_F(ConnectorGatewayTest, GatewayThatNeverAnswersTheLogonTimesOut) {
    config.logon = qelgw::LogonMode::Silent;
    rig.deps.timing.logonDataMs = 300;
    StartGateway();
    LogOn();
    ASSERT_TRUE(rig.WaitLogonEnded());
    EXPECT_EQ(rig.connector->LastError(), 35);
    EXPECT_EQ(rig.connector->LastErrorText(), "t204") << "an end without its reason";
    EXPECT_TRUE(InOrder(rig.ui.Events(), {"4:t221", "5:t204", "1"})) << Joined(rig.ui.Events());
}

TEST_F(ConnectorGatewayTest, RefusedPasswordShowsTheGatewaysText) {
    StartGateway();
    LogOn("alice", "wrong");
    ASSERT_TRUE(rig.WaitLogonEnded());
    EXPECT_EQ(rig.connector->LastError(), static_cast<int>(config.badPasswordCode));
    EXPECT_EQ(rig.connector->LastErrorText(), config.badPasswordText);
    EXPECT_TRUE(rig.connector->LastFailureFinal());
    EXPECT_TRUE(InOrder(rig.ui.Events(), {"4:t221", "5:" + config.badPasswordText, "1"}))
        << Joined(rig.ui.Events());
}

TEST_F(ConnectorGatewayTest, ForcedLogoffFromTheGatewayEndsTheSession) {
    config.forcedLogoffText = "cut by the administrator";
    StartGateway();
    LogOn();
    ExpectOnline();
    ASSERT_EQ(gateway->CutOffAll(), 1);
    ASSERT_TRUE(rig.WaitEvent("5:cut by the administrator"));
    ASSERT_TRUE(rig.WaitStatus(TW_CLT_STATUS_OFFLINE));
    EXPECT_TRUE(InOrder(rig.ui.Events(), {"0", "5:cut by the administrator", "9", "1", "8"}))
        << Joined(rig.ui.Events());
    EXPECT_EQ(rig.connector->LogoffInProgress().load(), 0);
}

// The gateway writes its texts in code page 936: the user reads them as they were meant, and a
// text the message's 64-byte field cut off loses the half character, nothing more.
TEST_F(ConnectorGatewayTest, GatewayTextsInCodePage936AreShownAsWritten) {
    config.badPasswordText = "用户名或密码错误";
    StartGateway();
    LogOn("alice", "wrong");
    ASSERT_TRUE(rig.WaitLogonEnded());
    EXPECT_EQ(rig.connector->LastErrorText(), "用户名或密码错误");
    EXPECT_TRUE(InOrder(rig.ui.Events(), {"5:用户名或密码错误", "1"})) << Joined(rig.ui.Events());
    rig.Stop();
    gateway->Stop();
    gateway.reset();

    // 35 characters, 70 bytes in GBK: the field keeps 63, 31 characters and half of the 32nd.
    std::string sentence;
    for (int i = 0; i < 5; ++i) sentence += "连接被强制断开";
    config.forcedLogoffText = sentence;
    StartGateway();
    LogOn();
    ExpectOnline();
    ASSERT_EQ(gateway->CutOffAll(), 1);
    ASSERT_TRUE(rig.WaitEvent("5:" + sentence.substr(0, 31 * 3))) << Joined(rig.ui.Events());
    ASSERT_TRUE(rig.WaitStatus(TW_CLT_STATUS_OFFLINE));
}

TEST_F(ConnectorGatewayTest, GatewayThatStopsAnsweringKeepAlivesIsLeftAndLoggedOnAgain) {
    config.answerKeepAlive = false;
    rig.deps.timing.lossMs = 400;
    StartGateway();
    LogOn();
    ExpectOnline();
    // No answers: after the loss time the tunnel is dropped and the relogon logs on again; this
    // gateway forgets a session whose tunnel ended, so the address comes back under a new one.
    ASSERT_TRUE(testsupport::WaitFor(
        "the second logon at the gateway", [&] { return gateway->Counters().logonRequests >= 2; }, 15000));
    ASSERT_TRUE(testsupport::WaitFor("online again (events " + Joined(rig.ui.Events()) + ")", [&] {
        return rig.connector->Status() == TW_CLT_STATUS_GW_CERTIFIED && gateway->OnlineCount() == 1 &&
               InOrder(rig.ui.Events(), {"0", "2", "0"});
    }));
    EXPECT_EQ(rig.connector->LogonStatus(), QEL_CLIENT_RELOGON_PASSWORD_OK_FINDIP);
    EXPECT_EQ(rig.connector->LogonResults().virtualIp, config.poolStart);
    EXPECT_TRUE(InOrder(rig.ui.Events(), {"0", "2", "0"})) << Joined(rig.ui.Events());
}

TEST_F(ConnectorGatewayTest, FramesBothWaysPlainAndDeflated) {
    for (const bool deflate : {false, true}) {
        SCOPED_TRACE(deflate ? "deflated" : "plain");
        config.compress = deflate;
        StartGateway();
        rig.Set("UseZlibCompress", deflate ? "Yes" : "No");
        std::atomic<int> fromClient{0};
        gateway->SetFrameSink([&](std::uint32_t, const std::uint8_t*, std::size_t) { ++fromClient; });
        LogOn();
        ExpectOnline();
        const auto before = rig.port.Written().size();
        for (int i = 0; i < 5; ++i) {
            rig.port.Queue(
                enginetest::Ipv4Frame(htonl(config.poolStart), htonl(0xCB007105), 17, 4000, 9, 600));
        }
        EXPECT_TRUE(
            testsupport::WaitFor("five frames at the gateway", [&] { return fromClient.load() == 5; }))
            << "dropped at the gateway " << gateway->Counters().framesDropped << ", by the policy "
            << rig.connector->DataPath()->Stats().dropsPolicy;
        auto frame = enginetest::Ipv4Frame(htonl(0xCB007105), htonl(config.poolStart), 17, 9, 4000, 600);
        for (int i = 0; i < 5; ++i)
            ASSERT_TRUE(gateway->SendFrame(config.poolStart, frame.data(), frame.size()));
        EXPECT_TRUE(testsupport::WaitFor("five frames into the adapter",
                                         [&] { return rig.port.Written().size() == before + 5; }));
        const auto written = rig.port.Written();
        ASSERT_FALSE(written.empty());
        EXPECT_TRUE(std::equal(written.back().begin() + 12, written.back().end(), frame.begin() + 12))
            << "the frame as the gateway sent it, from the tunnel's MAC";
        LogOffCleanly();
        rig.Stop();
        gateway->Stop();
        gateway.reset();
    }
}

// The gateway's keep-alive requests come in while frames go out: the answer leaves from outside
// the TLS session's receive lock, so the thread checker sees one lock order and nothing stalls.
TEST_F(ConnectorGatewayTest, GatewayKeepAlivesAreAnsweredWhileFramesGoOut) {
    config.keepAliveSeconds = 1;
    StartGateway();
    std::atomic<int> fromClient{0};
    gateway->SetFrameSink([&](std::uint32_t, const std::uint8_t*, std::size_t) { ++fromClient; });
    LogOn();
    ExpectOnline();
    const auto frame = enginetest::Ipv4Frame(htonl(config.poolStart), htonl(0xCB007105), 17, 4000, 9, 900);
    int queued = 0;
    EXPECT_TRUE(testsupport::WaitFor("two keep-alive answers at the gateway while frames flow", [&] {
        // Enough frames to keep the pump sending, not so many that the ring's stand-in grows.
        while (rig.port.Pending() < 64) {
            rig.port.Queue(frame);
            ++queued;
        }
        return gateway->Counters().keepAliveResponsesReceived >= 2;
    }));
    EXPECT_TRUE(
        testsupport::WaitFor("the queued frames at the gateway",
                             [&] { return fromClient.load() + gateway->Counters().framesDropped >= queued; }))
        << fromClient.load() << " of " << queued;
    EXPECT_EQ(rig.connector->Status(), TW_CLT_STATUS_GW_CERTIFIED);
    LogOffCleanly();
}

TEST_F(ConnectorGatewayTest, DestroyedWhileTheGatewaySendsStopsEveryCallbackFirst) {
    StartGateway();
    // No worker: the connector goes while online, with frames and keep-alives arriving.
    rig.connector = std::make_unique<TwQelConnector>(rig.deps);
    ASSERT_TRUE(rig.connector->Initialize());
    ASSERT_TRUE(rig.connector->LogonUserToDomain("alice", "secret", "", false, false))
        << Joined(rig.ui.Events());
    std::vector<std::uint8_t> frame(200, 0);
    frame[12] = 0x08;
    frame[14] = 0x45;
    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    std::thread flood([&] {
        while (!stop.load()) {
            if (gateway->SendFrame(config.poolStart, frame.data(), frame.size())) ++sent;
        }
    });
    EXPECT_TRUE(testsupport::WaitFor("frames on their way", [&] { return sent.load() > 200; }));
    rig.connector.reset();
    stop = true;
    flood.join();
    EXPECT_TRUE(testsupport::WaitFor("the gateway to see the session end",
                                     [&] { return gateway->OnlineCount() == 0; }));
}

std::string Sha256Of(const testsupport::CertKey& ck) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    X509_digest(ck.cert, EVP_sha256(), md, &length);
    std::string text;
    char pair[4];
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof pair, i == 0 ? "%02X" : ":%02X", md[i]);
        text += pair;
    }
    return text;
}

// The gateway's first certificate is kept for it; the same one logs on again, another one for the
// same gateway (an impostor, or a gateway that really changed it) is refused with both
// fingerprints unless the user says to trust it.
TEST_F(ConnectorGatewayTest, ChangedGatewayCertificateIsRefusedUnlessTheUserTrustsIt) {
    const testsupport::TempDir certs("qel-pinned-certs");
    const testsupport::CertKey first = testsupport::MakeCert("gw.example", nullptr, false);
    const testsupport::CertKey second = testsupport::MakeCert("gw.example", nullptr, false);
    testsupport::WritePem(certs.File("first.pem"), first, false);
    testsupport::WriteKeyPem(certs.File("first.key"), first);
    testsupport::WritePem(certs.File("second.pem"), second, false);
    testsupport::WriteKeyPem(certs.File("second.key"), second);
    config.certFile = certs.File("first.pem");
    config.keyFile = certs.File("first.key");
    StartGateway();
    const std::string pins = "Software\\Morvane\\QelClient\\GatewayCertificates";
    const std::string name = "127.0.0.1:" + std::to_string(gateway->Port());
    LogOn();
    ExpectOnline();
    std::string pinned;
    ASSERT_EQ(rig.settings->GetString(pins, name, &pinned), platform::kRegOk);
    EXPECT_EQ(pinned, Sha256Of(first));
    rig.worker->Logoff();
    ASSERT_TRUE(rig.WaitStatus(TW_CLT_STATUS_OFFLINE));
    rig.worker->Logon("alice", "secret", 0, 0);
    ExpectOnline();  // the same certificate again
    rig.worker->Logoff();
    ASSERT_TRUE(rig.WaitStatus(TW_CLT_STATUS_OFFLINE));
    EXPECT_TRUE(rig.ui.Questions().empty());

    // The same gateway (address and port) with another certificate.
    config.port = gateway->Port();
    config.certFile = certs.File("second.pem");
    config.keyFile = certs.File("second.key");
    gateway->Stop();
    gateway.reset();
    StartGateway();
    const std::size_t before = rig.ui.Events().size();
    rig.worker->Logon("alice", "secret", 0, 0);
    ASSERT_TRUE(testsupport::WaitFor("the refused logon to end", [&] {
        const auto e = rig.ui.Events();
        return std::find(e.begin() + static_cast<std::ptrdiff_t>(before), e.end(), "1") != e.end() &&
               !rig.worker->LogonRunning() && rig.connector->LogonInProgress().load() == 0;
    })) << Joined(rig.ui.Events());
    EXPECT_EQ(rig.connector->LastError(), 55);
    const auto events = rig.ui.Events();
    const auto message = std::find_if(events.begin() + static_cast<std::ptrdiff_t>(before), events.end(),
                                      [](const std::string& e) { return e.rfind("5:", 0) == 0; });
    ASSERT_NE(message, events.end()) << Joined(events);
    for (const std::string& part : {name, Sha256Of(first), Sha256Of(second)})
        EXPECT_NE(message->find(part), std::string::npos) << part << " missing from " << *message;
    ASSERT_EQ(rig.ui.Questions().size(), 1u);
    EXPECT_NE(rig.ui.Questions()[0].find(Sha256Of(second)), std::string::npos);
    EXPECT_EQ(gateway->OnlineCount(), 0);
    ASSERT_EQ(rig.settings->GetString(pins, name, &pinned), platform::kRegOk);
    EXPECT_EQ(pinned, Sha256Of(first)) << "a refused certificate replaced the trusted one";

    rig.ui.answerYes = true;
    rig.worker->Logon("alice", "secret", 0, 0);
    ExpectOnline();
    ASSERT_EQ(rig.settings->GetString(pins, name, &pinned), platform::kRegOk);
    EXPECT_EQ(pinned, Sha256Of(second));
    EXPECT_EQ(rig.ui.Questions().size(), 2u);
    rig.worker->Logoff();
    ASSERT_TRUE(rig.WaitStatus(TW_CLT_STATUS_OFFLINE));

    // A pin that cannot be read (not a text) refuses the logon; it is not replaced by a new pin.
    ASSERT_EQ(rig.settings->SetDword(pins, name, 7), platform::kRegOk);
    const std::size_t unreadable = rig.ui.Events().size();
    rig.worker->Logon("alice", "secret", 0, 0);
    ASSERT_TRUE(testsupport::WaitFor("the refused logon to end", [&] {
        const auto e = rig.ui.Events();
        return std::find(e.begin() + static_cast<std::ptrdiff_t>(unreadable), e.end(), "1") != e.end() &&
               !rig.worker->LogonRunning() && rig.connector->LogonInProgress().load() == 0;
    })) << Joined(rig.ui.Events());
    EXPECT_EQ(rig.connector->LastError(), 55);
    DWORD kept = 0;
    ASSERT_EQ(rig.settings->GetDword(pins, name, &kept), platform::kRegOk);
    EXPECT_EQ(kept, 7u) << "an unreadable pin was replaced";
}

class ConnectorRegistrationTest : public ConnectorGatewayTest {
protected:
    ConnectorRegistrationTest() {
        config.stateDir = rig.root.Path() + "/gw";
        config.caCert = rig.root.Path() + "/ca.pem";
        config.caKey = rig.root.Path() + "/ca.key";
        testsupport::WritePem(config.caCert, ca, false);
        testsupport::WriteKeyPem(config.caKey, ca);
        std::filesystem::create_directories(platform::CertStoreDir());
        testsupport::WritePem(platform::CertStoreDir() + "/alice.pem", alice, true);
        config.registration = qelgw::RegisterMode::Ack;
        config.certText = testsupport::SerialHexOf(alice) + "+CN=alice";
    }
    testsupport::CertKey ca = testsupport::MakeCert("Registration CA", nullptr, true);
    testsupport::CertKey alice = testsupport::MakeCert("alice", &ca, false, -1, 365, 4242);
};

TEST_F(ConnectorRegistrationTest, RegistersWithTheClientCertificateOnASecondConnection) {
    StartGateway();
    LogOn();
    ExpectOnline();
    EXPECT_EQ(gateway->Counters().registrations, 1);
    EXPECT_EQ(gateway->Counters().tlsSessions, 2);
    EXPECT_EQ(rig.connector->LogonResults().certName, "CN=alice");
    LogOffCleanly();
}

TEST_F(ConnectorRegistrationTest, ReassignedAddressReplacesTheVirtualAddress) {
    config.registration = qelgw::RegisterMode::Reassign;
    config.reassignIp = 0xC6120A0A;
    StartGateway();
    LogOn();
    ExpectOnline();
    EXPECT_EQ(rig.connector->LogonResults().virtualIp, 0xC6120A0Au);
}

TEST_F(ConnectorRegistrationTest, RefusedCertificateEndsTheLogon) {
    config.registration = qelgw::RegisterMode::Refuse;
    config.registerStatus = 3;
    StartGateway();
    LogOn();
    ASSERT_TRUE(rig.WaitLogonEnded());
    EXPECT_EQ(rig.connector->LastError(), 55);
    EXPECT_TRUE(InOrder(rig.ui.Events(), {"4:t222", "4:t198", "5:t214", "1"})) << Joined(rig.ui.Events());
}

// The registration's refusal carries the gateway's code and its text, written in code page 936.
TEST_F(ConnectorRegistrationTest, RegistrationRefusalKeepsTheGatewaysCodeAndText) {
    config.registration = qelgw::RegisterMode::Nak;
    config.registerNakCode = 1234;
    config.registerNakText = "证书未在网关登记";
    StartGateway();
    LogOn();
    ASSERT_TRUE(rig.WaitLogonEnded());
    EXPECT_EQ(rig.connector->LastError(), 1234);
    EXPECT_EQ(rig.connector->LastErrorText(), "证书未在网关登记");
    EXPECT_TRUE(InOrder(rig.ui.Events(), {"4:t222", "5:t216", "1"})) << Joined(rig.ui.Events());
}

TEST_F(ConnectorRegistrationTest, MissingCertificateIsReportedBeforeAnyConnection) {
    std::filesystem::remove(platform::CertStoreDir() + "/alice.pem");
    StartGateway();
    LogOn();
    ASSERT_TRUE(rig.WaitLogonEnded());
    EXPECT_EQ(rig.connector->LastError(), 53);
    EXPECT_TRUE(InOrder(rig.ui.Events(), {"4:t222", "5:t213", "1"})) << Joined(rig.ui.Events());
    EXPECT_EQ(gateway->Counters().tlsSessions, 1);
}

}  // namespace
}  // namespace engine::test
