// The tunnel's control side on a manual clock: keep-alive after send silence and answers to the
// gateway's requests only while online, the loss of the gateway after the loss time with the
// relogon handed to the worker, the decision after a loss while a logon still runs (wait, then
// relogon, or log off after the bound, never blocking the TLS thread), the forced logoff, the
// password-change answer, and the online-time and idle limits.
#include <arpa/inet.h>

#include <thread>

#include "connector_rig.h"
#include "fake_link.h"
#include "gateway/gateway_codec.h"
#include "platform/fake/manual_clock.h"
#include "wendrel/ssr_codec.h"

namespace engine::test {
namespace {

class ConnectorTunnelTest : public ::testing::Test {
protected:
    ConnectorTunnelTest() {
        rig.Server("198.51.100.10", 443);
        rig.deps.clock = &clock;
        rig.deps.adapterSleep = [this](DWORD ms) { clock.Advance(ms); };
        rig.deps.makeLink = [this] {
            auto made = std::make_unique<FakeLink>();
            link = made.get();
            link->onSend = [this](const Bytes& m) {
                if (m.size() > 1 && (m[0] >> 4) == SSR_TYPE_MNG &&
                    m[1] == SSR_CODE_MNG_CLT_SVR_LOGON_REQUEST3) {
                    Bytes answer;
                    EXPECT_EQ(
                        qelgw::BuildLogonAnswer(SSR_MNG_GW_CLT_LOGON_RESPON_LOGONOK, logonAnswer, &answer),
                        SSR_SUCCESS);
                    link->Deliver(answer);
                }
            };
            return made;
        };
        rig.deps.connectGateway = [](DWORD, WORD, int, bool) { return SocketForLink(); };
        rig.deps.passwordChanged = [this](int result, const std::string& text) {
            std::lock_guard<std::mutex> g(lock);
            passwordAnswers.push_back(std::to_string(result) + ":" + text);
        };
        logonAnswer.sessionId = 5;
        logonAnswer.name = "alice";
        logonAnswer.virtualIp = 0xC6120002;
        logonAnswer.netmask = 0xFFFFFF00;
        logonAnswer.routes = {qelgw::Route{0x0A140000, 0xFFFF0000, 0}};
        logonAnswer.gateways = {qelgw::GatewayEntry{0, "t"}};
        logonAnswer.policy = "policy allow out all 0 0 0.0.0.0/0.0.0.0 x y";
    }
    ~ConnectorTunnelTest() override { rig.connector.reset(); }

    void Online() {
        rig.connector = std::make_unique<TwQelConnector>(rig.deps);
        ASSERT_TRUE(rig.connector->Initialize());
        rig.connector->SetOwner([this] { ++relogons; }, [this] { ++logoffs; }, nullptr);
        ASSERT_TRUE(rig.connector->LogonUserToDomain("alice", "secret", "", false, false))
            << Joined(rig.ui.Events());
        ASSERT_TRUE(rig.connector->DrainTimer(2000));
        base = link->SentWithCode(SSR_CODE_MNG_KEEP_ALIVE_REQUEST).size();
    }
    // Moves the clock and lets the timer thread run what became due.
    void Tick(std::uint64_t ms) {
        clock.Advance(ms);
        ASSERT_TRUE(rig.connector->DrainTimer(2000));
    }
    ::testing::AssertionResult Settled(const std::string& what, const std::function<bool()>& done) {
        return testsupport::WaitFor(what + " (events " + Joined(rig.ui.Events()) + ")", [&] {
            rig.connector->DrainTimer(100);
            return done();
        });
    }
    std::size_t KeepAlives() { return link->SentWithCode(SSR_CODE_MNG_KEEP_ALIVE_REQUEST).size() - base; }

    platform::fake::ManualClock clock;
    ConnectorRig rig;
    FakeLink* link = nullptr;
    qelgw::LogonAnswer logonAnswer;
    std::atomic<int> relogons{0}, logoffs{0};
    std::size_t base = 0;
    std::mutex lock;
    std::vector<std::string> passwordAnswers;
};

TEST_F(ConnectorTunnelTest, KeepAliveAfterSilenceAndAnswersOnlyWhileOnline) {
    Online();
    EXPECT_EQ(KeepAlives(), 0u);
    Tick(30);
    EXPECT_EQ(KeepAlives(), 0u) << "not before 60 ms of send silence";
    Tick(40);
    EXPECT_EQ(KeepAlives(), 1u);
    Tick(20);
    EXPECT_EQ(KeepAlives(), 1u) << "the next one waits another period";

    link->Deliver(qelgw::BuildHeaderOnly(SSR_CODE_MNG_KEEP_ALIVE_REQUEST));
    ASSERT_TRUE(Settled("the answer to the gateway's keep-alive",
                        [&] { return link->SentWithCode(SSR_CODE_MNG_KEEP_ALIVE_RESPONSE).size() == 1; }));
    EXPECT_EQ(link->sendsInDelivery.load(), 0) << "answered under the TLS session's lock";
    rig.connector->SetStatus(TW_CLT_STATUS_TUNNEL_LOST);
    link->Deliver(qelgw::BuildHeaderOnly(SSR_CODE_MNG_KEEP_ALIVE_REQUEST));
    ASSERT_TRUE(Settled("the delivery", [&] { return link->Idle(); }));
    EXPECT_EQ(link->SentWithCode(SSR_CODE_MNG_KEEP_ALIVE_RESPONSE).size(), 1u)
        << "not answered when not online";
}

// The gateway's requests arrive while the pump sends frames: the answers and the frames take the
// send lock and the session's in one order (the thread checker sees any other), and neither waits
// for the other for good.
TEST_F(ConnectorTunnelTest, KeepAliveAnswersAndFramesGoOutTogether) {
    Online();
    constexpr int kRequests = 300;
    constexpr int kFramesPerRequest = 4;
    const Bytes request = qelgw::BuildHeaderOnly(SSR_CODE_MNG_KEEP_ALIVE_REQUEST);
    const auto frame = enginetest::Ipv4Frame(htonl(0xC6120002), htonl(0x0A140101), 17, 5000, 53, 200);
    std::thread gateway([&] {
        for (int i = 0; i < kRequests; ++i) link->Deliver(request);
    });
    for (int i = 0; i < kRequests * kFramesPerRequest; ++i) {
        rig.port.Queue(frame);
        if (i % kFramesPerRequest == 0) std::this_thread::yield();
    }
    gateway.join();
    const auto dataMessages = [&] {
        std::size_t frames = 0;
        for (const auto& m : link->Sent()) {
            // A send carries the frames of one wake-up, each its own data message.
            SSR_HEADER h{};
            for (std::size_t at = 0;
                 at < m.size() && ssr_ExtractPacketHeader(m.data() + at, static_cast<unsigned>(m.size() - at),
                                                          &h) == SSR_SUCCESS;
                 at += SSR_HEADER_SIZE + h.payload_size) {
                if (h.type == SSR_TYPE_DATA) ++frames;
            }
        }
        return frames;
    };
    EXPECT_TRUE(Settled("every answer and every frame at the gateway",
                        [&] {
                            return link->SentWithCode(SSR_CODE_MNG_KEEP_ALIVE_RESPONSE).size() == kRequests &&
                                   dataMessages() == std::size_t{kRequests * kFramesPerRequest};
                        }))
        << link->SentWithCode(SSR_CODE_MNG_KEEP_ALIVE_RESPONSE).size() << " answers, " << dataMessages()
        << " frames";
    EXPECT_EQ(link->sendsInDelivery.load(), 0);
}

TEST_F(ConnectorTunnelTest, SilentGatewayIsLeftAfterTheLossTimeAndTheWorkerRelogs) {
    Online();
    // Keep-alives go out every 60 ms; nothing comes back. The first request sent 400 ms or more
    // after the last receipt (the seventh, at 420 ms) drops the tunnel on the next round.
    for (int i = 0; i < 7; ++i) {
        Tick(60);
        EXPECT_EQ(link->Disconnects(), 0) << "too early, round " << i;
    }
    Tick(60);
    ASSERT_TRUE(Settled("the relogon request", [&] { return relogons.load() == 1; }));
    EXPECT_GE(link->Disconnects(), 1);
    EXPECT_EQ(rig.connector->Status(), TW_CLT_STATUS_TUNNEL_LOST);
    EXPECT_FALSE(rig.connector->DataPath()->Running()) << "the pump stops before the relogon";
    EXPECT_EQ(logoffs.load(), 0);
}

TEST_F(ConnectorTunnelTest, AnsweredKeepAlivesKeepTheTunnel) {
    Online();
    for (int i = 0; i < 20; ++i) {
        Tick(60);
        link->Deliver(qelgw::BuildHeaderOnly(SSR_CODE_MNG_KEEP_ALIVE_RESPONSE));
        ASSERT_TRUE(Settled("the answer's delivery", [&] { return link->Idle(); }));
    }
    EXPECT_EQ(link->Disconnects(), 0);
    EXPECT_EQ(rig.connector->Status(), TW_CLT_STATUS_GW_CERTIFIED);
}

TEST_F(ConnectorTunnelTest, LossDuringARunningLogonWaitsThenRelogsOrLogsOffAfterTheBound) {
    Online();
    rig.connector->LogonInProgress() = 1;
    link->Drop();
    ASSERT_TRUE(
        Settled("the tunnel lost", [&] { return rig.connector->Status() == TW_CLT_STATUS_TUNNEL_LOST; }));
    for (int i = 0; i < 10; ++i) Tick(10);
    EXPECT_EQ(relogons.load(), 0) << "waits for the running logon";
    rig.connector->LogonInProgress() = 0;
    Tick(10);
    ASSERT_TRUE(Settled("the relogon after the logon ended", [&] { return relogons.load() == 1; }));
    EXPECT_EQ(logoffs.load(), 0);
    rig.connector.reset();

    relogons = 0;
    Online();
    rig.connector->LogonInProgress() = 1;
    link->Drop();
    ASSERT_TRUE(
        Settled("the tunnel lost", [&] { return rig.connector->Status() == TW_CLT_STATUS_TUNNEL_LOST; }));
    for (int i = 0; i < 40 && logoffs.load() == 0; ++i) Tick(10);
    EXPECT_EQ(logoffs.load(), 1) << "a logon that outlasts the bound ends in a logoff";
    EXPECT_EQ(relogons.load(), 0);
    rig.connector->LogonInProgress() = 0;
}

TEST_F(ConnectorTunnelTest, LogoffInProgressTurnsADisconnectIntoTheCancelOfItsWaits) {
    Online();
    rig.connector->LogoffInProgress() = 1;
    rig.connector->WaitLogonEvent().Reset();
    link->Drop();
    ASSERT_TRUE(
        Settled("the tunnel lost", [&] { return rig.connector->Status() == TW_CLT_STATUS_TUNNEL_LOST; }));
    EXPECT_TRUE(rig.connector->WaitLogonEvent().IsSet());
    EXPECT_EQ(relogons.load(), 0);
    rig.connector->LogoffInProgress() = 0;
}

TEST_F(ConnectorTunnelTest, ForcedLogoffTakesTheSessionDown) {
    Online();
    Bytes cut;
    ASSERT_EQ(qelgw::BuildCutLogoff(7, "you were cut off", &cut), SSR_SUCCESS);
    link->Deliver(cut);
    ASSERT_TRUE(Settled("offline after the cut", [&] {
        return rig.connector->Status() == TW_CLT_STATUS_OFFLINE && InOrder(rig.ui.Events(), {"0", "8"});
    }));
    EXPECT_TRUE(InOrder(rig.ui.Events(), {"0", "5:you were cut off", "9", "1", "8"}))
        << Joined(rig.ui.Events());
    EXPECT_GE(rig.driver.Count("StopCapture"), 1u);
    EXPECT_FALSE(rig.connector->DataPath()->Running());
    EXPECT_EQ(rig.connector->LogoffInProgress().load(), 0);
    // An end the user did not ask for carries its reason.
    EXPECT_EQ(rig.connector->LastError(), TW_ERROR_FORCED_LOGOFF);
    EXPECT_FALSE(rig.connector->LastErrorText().empty());
}

TEST_F(ConnectorTunnelTest, PasswordChangeAnswerReachesTheDialog) {
    Online();
    Bytes ok, refused;
    ASSERT_EQ(qelgw::BuildPasswordChangeAnswer(0, 0, "changed", &ok), SSR_SUCCESS);
    ASSERT_EQ(qelgw::BuildPasswordChangeAnswer(3, 0, "too short", &refused), SSR_SUCCESS);
    link->Deliver(ok);
    ASSERT_TRUE(Settled("the first answer", [&] { return rig.connector->PasswordChangeResult() == 1; }));
    EXPECT_EQ(rig.connector->PasswordChangeText(), "changed");
    link->Deliver(refused);
    ASSERT_TRUE(Settled("the second answer", [&] { return rig.connector->PasswordChangeResult() == 2; }));
    EXPECT_EQ(rig.connector->PasswordChangeText(), "too short");
    std::lock_guard<std::mutex> g(lock);
    EXPECT_EQ(passwordAnswers, (std::vector<std::string>{"1:changed", "2:too short"}));
}

TEST_F(ConnectorTunnelTest, OnlineTimeLimitLogsOff) {
    Online();
    rig.connector->Policy().MaxOnlineTime() = 2;
    Tick(1000);
    EXPECT_EQ(logoffs.load(), 0);
    link->Deliver(qelgw::BuildHeaderOnly(SSR_CODE_MNG_KEEP_ALIVE_RESPONSE));
    ASSERT_TRUE(Settled("the answer's delivery", [&] { return link->Idle(); }));
    Tick(2100);  // 3 s online: more than the limit
    ASSERT_TRUE(Settled("the logoff request", [&] { return logoffs.load() == 1; }));
    EXPECT_TRUE(InOrder(rig.ui.Events(), {"0", "5:t162"})) << Joined(rig.ui.Events());
    EXPECT_EQ(rig.connector->Policy().MaxOnlineTime().load(), 0u) << "limits cleared after use";
}

// The policy's online-time limit counts the session the user started, relogons included, and
// never the sessions before it.
TEST_F(ConnectorTunnelTest, OnlineTimeStartsAgainAtAFreshLogonAndGoesOnOverARelogon) {
    const auto tickAnswered = [&](std::uint64_t ms) {
        Tick(ms);
        link->Deliver(qelgw::BuildHeaderOnly(SSR_CODE_MNG_KEEP_ALIVE_RESPONSE));
        ASSERT_TRUE(Settled("the answer's delivery", [&] { return link->Idle(); }));
    };
    Online();
    for (int i = 0; i < 4; ++i) tickAnswered(800);  // a first session of 3.2 s
    rig.connector->LogoffInProgress() = 1;
    link->Drop();
    ASSERT_TRUE(Settled("the first session's end",
                        [&] { return rig.connector->Status() == TW_CLT_STATUS_TUNNEL_LOST; }));
    rig.connector->LogoffInProgress() = 0;
    rig.connector->SetStatus(TW_CLT_STATUS_OFFLINE);

    logonAnswer.policy += "\npolicy maxonlinetime 2";
    ASSERT_TRUE(rig.connector->LogonUserToDomain("alice", "secret", "", false, false))
        << Joined(rig.ui.Events());
    ASSERT_EQ(rig.connector->Policy().MaxOnlineTime().load(), 2u);
    tickAnswered(800);
    EXPECT_EQ(logoffs.load(), 0) << "the earlier session's time was counted";
    EXPECT_EQ(rig.connector->Session().onlineSeconds, 0u);

    link->Drop();
    ASSERT_TRUE(Settled("the relogon request", [&] { return relogons.load() == 1; }));
    ASSERT_TRUE(rig.connector->LogonUserToDomain("alice", "secret", "", true, false))
        << Joined(rig.ui.Events());
    tickAnswered(800);
    EXPECT_EQ(logoffs.load(), 0);
    tickAnswered(1500);  // 3.1 s since the fresh logon: the relogon kept the count
    ASSERT_TRUE(Settled("the logoff request", [&] { return logoffs.load() == 1; }));
    EXPECT_TRUE(InOrder(rig.ui.Events(), {"0", "0", "0", "5:t162"})) << Joined(rig.ui.Events());
}

TEST_F(ConnectorTunnelTest, IdleLimitCountsOutboundTraffic) {
    Online();
    rig.connector->Policy().MaxIdleTime() = 1;
    Tick(2000);
    EXPECT_EQ(logoffs.load(), 0) << "no traffic yet: no idle time";
    rig.port.Queue(enginetest::Ipv4Frame(htonl(0xC6120002), htonl(0x0A140101), 17, 5000, 53));
    ASSERT_TRUE(
        Settled("the frame in the tunnel", [&] { return rig.connector->DataPath()->LastTrafficMs() != 0; }));
    link->Deliver(qelgw::BuildHeaderOnly(SSR_CODE_MNG_KEEP_ALIVE_RESPONSE));
    ASSERT_TRUE(Settled("the answer's delivery", [&] { return link->Idle(); }));
    Tick(1500);
    ASSERT_TRUE(Settled("the logoff request", [&] { return logoffs.load() == 1; }));
    EXPECT_TRUE(InOrder(rig.ui.Events(), {"0", "5:t163"})) << Joined(rig.ui.Events());
}

}  // namespace
}  // namespace engine::test
