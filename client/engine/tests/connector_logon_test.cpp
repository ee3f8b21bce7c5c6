// The logon sequence against a scripted link and an in-memory PC: every outcome of the logon
// answer and every nak with the callback codes the main dialog sees and the last error left
// behind, the bounded logon buffer, answers split and joined, cancel, time-outs, the bounded wait
// for the previous session, relogons with the same and another address, the update notice and
// the resource page's user name.
#include <arpa/inet.h>

#include <algorithm>

#include <future>
#include <random>

#include "connector_rig.h"
#include "fake_link.h"
#include "engine/gateway_hello.h"
#include "gateway/gateway_codec.h"
#include "service/route_table_file.h"
#include "wendrel/ssr_codec.h"

namespace engine::test {
namespace {

Bytes Msg(const std::function<int(void*, short*)>& build) {
    short size = 0;
    build(nullptr, &size);
    Bytes m(static_cast<std::size_t>(size), 0);
    EXPECT_EQ(build(m.data(), &size), SSR_SUCCESS);
    return m;
}

Bytes Nak(std::uint32_t error, const char* text) {
    return Msg([&](void* b, short* s) { return ssr_ConstructCltSvrLogonNak(b, s, error, text); });
}

Bytes HeaderOnly(std::uint8_t code) { return qelgw::BuildHeaderOnly(code); }

class ConnectorLogonTest : public ::testing::Test {
protected:
    ConnectorLogonTest() {
        rig.Server("198.51.100.10", 443);
        rig.deps.makeLink = [this] {
            auto made = std::make_unique<FakeLink>();
            link = made.get();
            link->handshake = handshake;
            link->onSend = [this](const Bytes& m) { OnRequest(m); };
            return made;
        };
        rig.deps.connectGateway = [this](DWORD, WORD, int, bool) {
            ++connects;
            return connectOk ? SocketForLink() : -1;
        };
        answer.sessionId = 77;
        answer.name = "alice";
        answer.virtualIp = 0xC6120002;  // 198.18.0.2
        answer.netmask = 0xFFFFFF00;
        answer.dns1 = 0xC6120035;
        answer.routes = {qelgw::Route{0x0A140000, 0xFFFF0000, 0}};
        answer.gateways = {qelgw::GatewayEntry{0, "ticket-77"}};
        answer.policy = "policy allow out all 0 0 0.0.0.0/0.0.0.0 x y";
        reply = [this](const Bytes&) { return Accepted(); };
    }
    ~ConnectorLogonTest() override { rig.connector.reset(); }

    Bytes Accepted(std::uint8_t code = SSR_MNG_GW_CLT_LOGON_RESPON_LOGONOK) {
        Bytes out;
        EXPECT_EQ(qelgw::BuildLogonAnswer(code, answer, &out), SSR_SUCCESS);
        return out;
    }
    void Make() {
        rig.connector = std::make_unique<TwQelConnector>(rig.deps);
        ASSERT_TRUE(rig.connector->Initialize());
        rig.connector->SetOwner([this] { ++relogons; }, [this] { ++logoffs; }, nullptr);
    }
    void OnRequest(const Bytes& m) {
        if (m.size() < 2 || (m[0] >> 4) != SSR_TYPE_MNG) return;
        if (m[1] != SSR_CODE_MNG_CLT_SVR_LOGON_REQUEST3 && m[1] != SSR_CODE_MNG_CLT_SVR_LOGON_HARD_REQUEST)
            return;
        {
            std::lock_guard<std::mutex> g(requestLock);
            requests.push_back(m);
        }
        if (reply) {
            const Bytes r = reply(m);
            if (!r.empty()) link->Deliver(r);
        }
    }
    bool Logon(bool relogon = false, const char* user = "alice", bool hardId = false) {
        return rig.connector->LogonUserToDomain(user, "secret", "", relogon, hardId);
    }
    std::vector<std::string> Events() { return rig.ui.Events(); }
    std::size_t Requests() {
        std::lock_guard<std::mutex> g(requestLock);
        return requests.size();
    }
    // The session id field of a 144 request.
    std::uint32_t RequestedSession(std::size_t i) {
        std::lock_guard<std::mutex> g(requestLock);
        const Bytes& m = requests.at(i);
        return std::uint32_t{m[20]} << 24 | std::uint32_t{m[21]} << 16 | std::uint32_t{m[22]} << 8 | m[23];
    }

    ConnectorRig rig;
    FakeLink* link = nullptr;
    FakeLink::Handshake handshake = FakeLink::Handshake::kConnect;
    qelgw::LogonAnswer answer;
    std::function<Bytes(const Bytes&)> reply;
    std::mutex requestLock;
    std::vector<Bytes> requests;
    bool connectOk = true;
    std::atomic<int> connects{0}, relogons{0}, logoffs{0};
};

TEST_F(ConnectorLogonTest, AcceptedLogonGoesOnlineWithTheAnswersValues) {
    Make();
    ASSERT_TRUE(Logon());
    EXPECT_EQ(rig.connector->Status(), TW_CLT_STATUS_GW_CERTIFIED);
    EXPECT_EQ(rig.connector->LogonStatus(), QEL_CLIENT_OR_WEB_LOGON_OK);
    EXPECT_EQ(rig.connector->LastError(), 0);
    EXPECT_TRUE(InOrder(Events(), {"4:t219", "2", "4:t187", "4:t168", "4:t195", "4:t198", "4:t201", "4:t221",
                                   "4:t222", "3", "4:t223", "0"}))
        << Joined(Events());
    const auto r = rig.connector->LogonResults();
    EXPECT_EQ(r.sessionId, 77u);
    EXPECT_EQ(r.virtualIp, 0xC6120002u);
    EXPECT_EQ(r.mask, 0xFFFFFF00u);
    ASSERT_EQ(r.routes.size(), 1u);
    EXPECT_EQ(r.routes[0].network, 0x0A140000u);
    EXPECT_EQ(r.text2, answer.policy);
    EXPECT_EQ(rig.connector->HardwareIdText(), "0123456789abcdef0123456789abcdef|1|00-11-22-33-44-55");
    DWORD stored = 0;
    rig.settings->GetDword("Software\\Morvane\\QelClient", "SessionId", &stored);
    EXPECT_EQ(stored, 77u);
    EXPECT_EQ(rig.driver.Count("StartCapture"), 1u);
    EXPECT_TRUE(rig.connector->DataPath()->Running());
    EXPECT_TRUE(rig.connector->DataPathActive());
    EXPECT_EQ(RequestedSession(0), 0u) << "a fresh client logon names no session";
    EXPECT_TRUE(rig.openedUrls.empty()) << "NoResourcePage is set";
    // The gateway's host route leaves through the interface and next hop it had before.
    const auto rows = rig.pc.routes.Rows();
    EXPECT_TRUE(std::any_of(rows.begin(), rows.end(), [](const MIB_IPFORWARDROW& row) {
        return row.dwForwardDest == Ip("198.51.100.10") && row.dwForwardMask == 0xFFFFFFFFu &&
               row.dwForwardIfIndex == 2 && row.dwForwardNextHop == Ip("203.0.113.1");
    }));
}

TEST_F(ConnectorLogonTest, NaksEndOfflineWithTheirCodesAndLastErrors) {
    struct Case {
        std::uint32_t error;
        const char* text;
        std::vector<std::string> events;
    };
    const Case cases[] = {
        {1, "invalid password", {"4:t221", "5:invalid password", "1"}},
        {997, "register this computer?", {"4:t221", "6:register this computer?", "1"}},
        {998, "pending", {"4:t221", "5:t210", "1"}},
        {38, "busy", {"4:t221", "5:busy", "1"}},  // 38 is transient only for a relogon
        // A refusal without a text still tells the user, and leaves its reason.
        {5, "", {"4:t221", "5:网关拒绝登录, 错误码 5。", "1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        reply = [&](const Bytes&) { return Nak(c.error, c.text); };
        Make();
        EXPECT_FALSE(Logon());
        EXPECT_TRUE(InOrder(Events(), c.events)) << Joined(Events());
        EXPECT_EQ(rig.connector->LastError(), static_cast<int>(c.error));
        EXPECT_EQ(rig.connector->LastErrorText(), *c.text != 0 ? c.text : "网关拒绝登录, 错误码 5。");
        EXPECT_TRUE(rig.connector->LastFailureFinal());
        EXPECT_EQ(rig.connector->Status(), TW_CLT_STATUS_OFFLINE);
        EXPECT_GE(link->Disconnects(), 1);
        rig.connector.reset();
    }
}

TEST_F(ConnectorLogonTest, AnswerOutcomesWithoutAnAddress) {
    // 161: the browser's session is gone; 162: it is still good.
    // The refusal is reported as past cancelling and registered, with the session id stored,
    // before the user is asked for a password.
    reply = [&](const Bytes&) { return HeaderOnly(SSR_MNG_GW_CLT_LOGON_RESPON_RELOGON); };
    rig.SetDword("SessionId", 4242);
    Make();
    EXPECT_FALSE(Logon());
    EXPECT_EQ(rig.connector->LogonStatus(), QEL_WEB_RELOGON_SESSION_NOT_OK);
    EXPECT_TRUE(InOrder(Events(), {"4:t222", "3", "4:t223", "1", "8", "7:Need input password"}))
        << Joined(Events());
    EXPECT_EQ(rig.connector->Status(), TW_CLT_STATUS_OFFLINE);
    DWORD stored = 1;
    rig.settings->GetDword("Software\\Morvane\\QelClient", "SessionId", &stored);
    EXPECT_EQ(stored, 0u) << "the fresh logon's session id (none) was written";
    EXPECT_EQ(relogons.load(), 0) << "closing the refused session is no lost tunnel";
    rig.connector.reset();

    // A browser session that is still good keeps the adapter as the first logon left it.
    reply = [&](const Bytes&) { return Accepted(); };
    Make();
    ASSERT_TRUE(Logon());
    rig.connector->SetStatus(TW_CLT_STATUS_TUNNEL_LOST);
    rig.connector->StopRecvAndEventThread();
    reply = [&](const Bytes&) { return Accepted(SSR_MNG_GW_CLT_LOGON_RESPON_RELOGONOK); };
    EXPECT_TRUE(Logon(true));
    EXPECT_EQ(rig.connector->LogonStatus(), QEL_WEB_RELOGON_SESSION_OK);
    EXPECT_TRUE(rig.connector->DataPath()->Running());
}

TEST_F(ConnectorLogonTest, ForgettingTheSessionClearsTheStoredId) {
    Make();
    ASSERT_TRUE(Logon());
    DWORD stored = 0;
    rig.settings->GetDword("Software\\Morvane\\QelClient", "SessionId", &stored);
    ASSERT_EQ(stored, 77u);
    rig.connector->ForgetSession();
    rig.settings->GetDword("Software\\Morvane\\QelClient", "SessionId", &stored);
    EXPECT_EQ(stored, 0u);
    EXPECT_EQ(rig.connector->Session().virtualIp, 0u);
}

TEST_F(ConnectorLogonTest, MalformedAnswersFailWithTheirLastErrors) {
    struct Case {
        const char* name;
        std::function<Bytes()> answer;
        int error;
        std::string event;
    };
    const Case cases[] = {
        {"no gateway",
         [&] {
             qelgw::LogonAnswer a = answer;
             a.gateways.clear();
             Bytes out;
             qelgw::BuildLogonAnswer(SSR_MNG_GW_CLT_LOGON_RESPON_LOGONOK, a, &out);
             return out;
         },
         15, "5:t209"},
        {"bad version",
         [] {
             return Bytes{0x25, 22, 0, 0};
         },
         41, "5:t207"},
        {"unknown code", [] { return HeaderOnly(99); }, 43, "4:t212"},
        {"truncated body",
         [&] {
             Bytes a = Accepted();
             a.resize(12);
             a[2] = 0;
             a[3] = 8;
             return a;
         },
         42, "5:t208"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reply = [&](const Bytes&) { return c.answer(); };
        Make();
        EXPECT_FALSE(Logon());
        EXPECT_EQ(rig.connector->LastError(), c.error);
        EXPECT_TRUE(InOrder(Events(), {c.event, "1"})) << Joined(Events());
        EXPECT_EQ(rig.connector->Status(), TW_CLT_STATUS_OFFLINE);
        rig.connector.reset();
    }
}

TEST_F(ConnectorLogonTest, AnswerSplitAfterDataMessagesAndInTwoDeliveries) {
    reply = [&](const Bytes&) {
        Bytes data = {0x03, 0x00, 0x00, 0x03, 1, 2, 3};  // a data message before the answer is skipped
        const Bytes a = Accepted();
        const std::size_t half = a.size() / 2;
        Bytes first = data;
        first.insert(first.end(), a.begin(), a.begin() + static_cast<long>(half));
        link->Deliver(first);
        return Bytes(a.begin() + static_cast<long>(half), a.end());
    };
    Make();
    EXPECT_TRUE(Logon());
    EXPECT_EQ(rig.connector->LogonResults().sessionId, 77u);
}

TEST_F(ConnectorLogonTest, OversizedAnswerIsRefusedWithoutGrowingPastTheBound) {
    reply = [&](const Bytes&) {
        // 33 deliveries of 16 KiB: 540,672 bytes, beyond the 524,288 the logon buffer holds.
        for (int i = 0; i < 32; ++i) link->Deliver(Bytes(16384, 0x03));
        return Bytes(16384, 0x03);
    };
    Make();
    EXPECT_FALSE(Logon());
    EXPECT_EQ(rig.connector->LastError(), 41);
    EXPECT_TRUE(InOrder(Events(), {"5:t207", "1"})) << Joined(Events());
}

TEST_F(ConnectorLogonTest, TimeOutsOfTheHandshakeAndTheAnswer) {
    handshake = FakeLink::Handshake::kSilent;
    rig.deps.timing.tlsHandshakeMs = 30;
    Make();
    EXPECT_FALSE(Logon());
    EXPECT_EQ(rig.connector->LastError(), 23);
    EXPECT_EQ(rig.connector->LastErrorText(), "SSL协商超时, 登录失败!");
    EXPECT_TRUE(InOrder(Events(), {"4:t198", "5:t199", "1"})) << Joined(Events());
    rig.connector.reset();

    handshake = FakeLink::Handshake::kConnect;
    reply = nullptr;
    // The handshake now completes, whenever a loaded machine gets round to it; only the answer is
    // silent.
    rig.deps.timing.tlsHandshakeMs = 30000;
    rig.deps.timing.logonDataMs = 30;
    Make();
    EXPECT_FALSE(Logon());
    EXPECT_EQ(rig.connector->LastError(), 35);
    EXPECT_TRUE(InOrder(Events(), {"4:t221", "5:t204", "1"})) << Joined(Events());
    rig.connector.reset();

    // A relogon treats the same silence as transient and leaves the relogon state for a retry.
    Make();
    EXPECT_FALSE(Logon(true));
    EXPECT_EQ(rig.connector->Status(), TW_CLT_STATUS_GW_RELOGON_INIT);
}

TEST_F(ConnectorLogonTest, GatewayThatHangsUpInsteadOfAnswering) {
    reply = [&](const Bytes&) {
        link->Drop();
        return Bytes{};
    };
    Make();
    EXPECT_FALSE(Logon());
    EXPECT_EQ(rig.connector->LastError(), 51);
    EXPECT_TRUE(InOrder(Events(), {"4:t221", "5:t205", "1"})) << Joined(Events());
}

TEST_F(ConnectorLogonTest, CancelEndsTheHandshakeWait) {
    handshake = FakeLink::Handshake::kSilent;
    Make();
    auto done = std::async(std::launch::async, [&] { return Logon(); });
    ASSERT_TRUE(rig.WaitEvent("4:t198"));
    rig.connector->WaitLogonEvent().Set();
    ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_FALSE(done.get());
    EXPECT_EQ(rig.connector->LastError(), 6);
    EXPECT_TRUE(InOrder(Events(), {"4:t198", "4:t191", "1"})) << Joined(Events());
}

TEST_F(ConnectorLogonTest, WaitForThePreviousSessionIsBoundedAndCancellable) {
    Make();
    link->previousClosed = false;
    // Bounded: the logon goes on once the bound passed.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(Logon());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    rig.connector.reset();

    rig.deps.timing.previousSessionCloseMs = 600000;
    Make();
    link->previousClosed = false;
    auto done = std::async(std::launch::async, [&] { return Logon(); });
    ASSERT_TRUE(testsupport::WaitFor("the logon to wait for the previous session",
                                     [&] { return InOrder(Events(), {"4:t188"}); }));
    // The logon resets the cancel event before it waits; keep setting it until the wait ends.
    ASSERT_TRUE(testsupport::WaitFor("the cancel to end the wait", [&] {
        rig.connector->WaitLogonEvent().Set();
        return done.wait_for(std::chrono::milliseconds(1)) == std::future_status::ready;
    }));
    EXPECT_FALSE(done.get());
    EXPECT_EQ(rig.connector->LastError(), 6);
}

TEST_F(ConnectorLogonTest, ServerThatCannotBeReachedAndMissingSettings) {
    connectOk = false;
    Make();
    EXPECT_FALSE(Logon());
    EXPECT_EQ(rig.connector->LastError(), 23);
    EXPECT_EQ(rig.connector->LastErrorText(), "无法连接服务器!");
    EXPECT_TRUE(InOrder(Events(), {"4:t193", "5:t177", "1"})) << Joined(Events());
    rig.connector.reset();

    rig.settings->DeleteValue("Software\\Morvane\\QelClient", "ServerAddr");
    Make();
    EXPECT_FALSE(Logon());
    EXPECT_EQ(rig.connector->LastError(), 49);
    EXPECT_TRUE(InOrder(Events(), {"5:t186", "1"})) << Joined(Events());
}

// A virtual address or mask no adapter can hold is refused as soon as the answer is read, with
// the values in the message: nothing waits for an address that never comes.
TEST_F(ConnectorLogonTest, VirtualAddressOrMaskTheAdapterCannotTakeIsRefusedAtOnce) {
    const struct {
        DWORD address, mask;
        const char* text;
    } cases[] = {
        {0xC6120002, 0x00000000, "198.18.0.2 子网掩码 0.0.0.0"},
        {0xC6120002, 0xFF00FF00, "198.18.0.2 子网掩码 255.0.255.0"},
        {0xC6120000, 0xFFFFFF00, "198.18.0.0 子网掩码 255.255.255.0"},    // the subnet itself
        {0xC61200FF, 0xFFFFFF00, "198.18.0.255 子网掩码 255.255.255.0"},  // its broadcast
        {0x7F000002, 0xFF000000, "127.0.0.2 子网掩码 255.0.0.0"},
        {0xE0000005, 0xFFFFFF00, "224.0.0.5 子网掩码 255.255.255.0"},
        {0x00000005, 0xFFFFFF00, "0.0.0.5 子网掩码 255.255.255.0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        answer.virtualIp = c.address;
        answer.netmask = c.mask;
        Make();
        EXPECT_FALSE(Logon());
        EXPECT_EQ(rig.connector->LastError(), 60);
        EXPECT_NE(rig.connector->LastErrorText().find(c.text), std::string::npos)
            << rig.connector->LastErrorText();
        EXPECT_TRUE(InOrder(Events(), {"4:t221", "5:" + rig.connector->LastErrorText(), "1"}))
            << Joined(Events());
        EXPECT_EQ(rig.driver.Count("StartCapture"), 0u);
        EXPECT_EQ(rig.connector->Status(), TW_CLT_STATUS_OFFLINE);
        rig.connector.reset();
    }
    // A host's own /32 and a point-to-point /31 are fine.
    for (const DWORD mask : {0xFFFFFFFFu, 0xFFFFFFFEu}) {
        answer.virtualIp = 0xC6120002;
        answer.netmask = mask;
        Make();
        EXPECT_TRUE(Logon()) << Joined(Events());
        rig.connector.reset();
    }
}

TEST_F(ConnectorLogonTest, RelogonWithTheSameAndWithAnotherAddress) {
    Make();
    ASSERT_TRUE(Logon());
    rig.connector->SetStatus(TW_CLT_STATUS_TUNNEL_LOST);
    EXPECT_TRUE(Logon(true));
    EXPECT_EQ(rig.connector->LogonStatus(), QEL_CLIENT_RELOGON_PASSWORD_OK_FINDIP);
    EXPECT_EQ(RequestedSession(1), 77u) << "a relogon names its session";
    // The routes stayed, but the session is claimed again on the handle that took the ring.
    const std::vector<std::string> calls = rig.driver.Calls();
    const auto share = std::find(calls.rbegin(), calls.rend(), "StartShare");
    ASSERT_NE(share, calls.rend());
    EXPECT_NE(std::find(calls.rbegin(), share, "Media 1"), share) << "the session was not claimed again";
    EXPECT_TRUE(rig.connector->DataPath()->Running());

    answer.virtualIp = 0xC6120009;
    rig.connector->SetStatus(TW_CLT_STATUS_TUNNEL_LOST);
    EXPECT_TRUE(Logon(true));
    EXPECT_EQ(rig.connector->LogonStatus(), QEL_CLIENT_RELOGON_PASSWORD_OK_NOT_FINDIP);
    EXPECT_EQ(rig.connector->LogonResults().virtualIp, 0xC6120009u);
    EXPECT_EQ(rig.connector->Status(), TW_CLT_STATUS_GW_CERTIFIED);
}

// The gateway's first certificate is kept; a relogon that meets another one (refused by the user)
// or none at all ends for good before a logon request reaches the gateway.
TEST_F(ConnectorLogonTest, ChangedOrMissingGatewayCertificateEndsTheRelogonForGood) {
    Make();
    link->fingerprint = "AA:01";
    ASSERT_TRUE(Logon());
    std::string pinned;
    ASSERT_EQ(rig.settings->GetString("Software\\Morvane\\QelClient\\GatewayCertificates",
                                      "198.51.100.10:443", &pinned),
              platform::kRegOk);
    EXPECT_EQ(pinned, "AA:01");
    rig.connector->SetStatus(TW_CLT_STATUS_TUNNEL_LOST);
    EXPECT_TRUE(Logon(true));  // the same certificate again

    link->fingerprint = "BB:02";
    rig.connector->SetStatus(TW_CLT_STATUS_TUNNEL_LOST);
    EXPECT_FALSE(Logon(true));
    EXPECT_EQ(rig.connector->LastError(), 55);
    EXPECT_TRUE(rig.connector->LastFailureFinal());
    EXPECT_EQ(Requests(), 2u);
    ASSERT_EQ(rig.ui.Questions().size(), 1u);
    EXPECT_NE(rig.ui.Questions()[0].find("AA:01"), std::string::npos);
    EXPECT_NE(rig.ui.Questions()[0].find("BB:02"), std::string::npos);

    link->fingerprint.clear();
    EXPECT_FALSE(Logon());
    EXPECT_EQ(rig.connector->LastError(), 55);
    EXPECT_EQ(Requests(), 2u);
    EXPECT_EQ(rig.ui.Questions().size(), 1u);
    ASSERT_EQ(rig.settings->GetString("Software\\Morvane\\QelClient\\GatewayCertificates",
                                      "198.51.100.10:443", &pinned),
              platform::kRegOk);
    EXPECT_EQ(pinned, "AA:01");
}

TEST_F(ConnectorLogonTest, RelogonNaksThatAreWorthAnotherTry) {
    Make();
    ASSERT_TRUE(Logon());
    for (std::uint32_t error : {38u, 49u}) {
        reply = [&](const Bytes&) { return Nak(error, "later"); };
        EXPECT_FALSE(Logon(true));
        EXPECT_EQ(rig.connector->Status(), TW_CLT_STATUS_GW_RELOGON_INIT);
        EXPECT_EQ(rig.connector->LastError(), static_cast<int>(error));
        EXPECT_FALSE(rig.connector->LastFailureFinal());
    }
}

TEST_F(ConnectorLogonTest, WebModeTakesTheBrowsersSessionAndSkipsASessionlessRelogon) {
    rig.Set("QelUsername", "webuser");
    rig.SetDword("SessionId", 4242);
    Make();
    rig.connector->SetWebLogonMode(true);
    ASSERT_TRUE(Logon(false, "ignored"));
    EXPECT_EQ(RequestedSession(0), 4242u);
    EXPECT_EQ(rig.connector->SavedLogonParameters().user, "webuser");
    // The saved password is empty: a relogon cannot prove anything and asks the user instead.
    rig.connector->SetStatus(TW_CLT_STATUS_TUNNEL_LOST);
    rig.connector->SetPassword("");
    EXPECT_FALSE(rig.connector->LogonUserToDomain("webuser", "", "", true, false));
    EXPECT_EQ(Requests(), 1u) << "no request without a password";
    EXPECT_TRUE(InOrder(Events(), {"8", "7:Need input password"})) << Joined(Events());
}

TEST_F(ConnectorLogonTest, HardwareIdLogonAndUpdateNotice) {
    reply = [&](const Bytes&) { return Nak(998, "registered for approval"); };
    Make();
    EXPECT_FALSE(Logon(false, "alice", true));
    ASSERT_EQ(Requests(), 1u);
    {
        std::lock_guard<std::mutex> g(requestLock);
        EXPECT_EQ(requests[0][1], SSR_CODE_MNG_CLT_SVR_LOGON_HARD_REQUEST);
    }
    rig.connector.reset();
    {
        std::lock_guard<std::mutex> g(requestLock);
        requests.clear();
    }

    Make();
    rig.connector->SetWebLogonMode(true);
    rig.connector->SetInformUpdate(true);
    rig.Set("QelUsername", "webuser");
    rig.SetDword("SessionId", 9);
    EXPECT_TRUE(Logon());
    ASSERT_EQ(Requests(), 1u);
    {
        std::lock_guard<std::mutex> g(requestLock);
        EXPECT_EQ(requests[0][27], 1) << "the update flag";
    }
    EXPECT_FALSE(rig.connector->InformUpdate());
    EXPECT_TRUE(InOrder(Events(), {"4:t220", "1"})) << Joined(Events());
    EXPECT_EQ(rig.driver.Count("StartCapture"), 0u);
}

TEST_F(ConnectorLogonTest, ResourcePageGetsTheUserNameEncoded) {
    rig.SetDword("NoResourcePage", 0);
    Make();
    ASSERT_TRUE(rig.connector->LogonUserToDomain("a+b", "secret", "corp", false, false));
    ASSERT_EQ(rig.openedUrls.size(), 1u);
    EXPECT_EQ(rig.openedUrls[0],
              "https://198.51.100.10:443/sslvpnindex/client.php?sessionid=77&username=a%2Bb%40corp");
}

TEST_F(ConnectorLogonTest, RandomAndTruncatedAnswersEndCleanly) {
    rig.deps.timing.logonDataMs = 20;
    answer.certText = "12AB+CN=alice";
    const Bytes whole = Accepted();
    std::mt19937 random(99);
    Make();
    for (int i = 0; i < 120; ++i) {
        Bytes m = whole;
        if (i % 2 == 0) {
            m.resize(4 + random() % (whole.size() - 4));  // cut short, the header saying so
        } else {
            for (int k = 0; k < 6; ++k)
                m[4 + random() % (m.size() - 4)] = static_cast<std::uint8_t>(random());
        }
        const std::size_t payload = m.size() - 4;
        m[2] = static_cast<std::uint8_t>(payload >> 8);
        m[3] = static_cast<std::uint8_t>(payload);
        reply = [m](const Bytes&) { return m; };
        if (Logon()) {
            // Whatever parsed went online; take it down for the next round.
            rig.connector->SetStatus(TW_CLT_STATUS_OFFLINE);
            rig.connector->LogoffConfigAdapter(false);
            rig.connector->Disconnect();
        } else {
            EXPECT_NE(rig.connector->Status(), TW_CLT_STATUS_GW_CERTIFIED) << i;
        }
    }
}

TEST_F(ConnectorLogonTest, RegistrationConnectTriesAreBounded) {
    answer.registerFlag = 1;
    answer.certText = "12AB+CN=alice";
    // Long enough for the server's handshake to complete on a loaded machine; the silent tries
    // at the registration gateway each wait it out.
    rig.deps.timing.tlsHandshakeMs = 1000;
    rig.deps.timing.registrationRetryMs = 1;
    rig.deps.timing.registrationTries = 3;
    Make();
    link->silentFromAttach = 1;  // the server answers; the registration gateway never completes
    EXPECT_FALSE(Logon());
    EXPECT_EQ(link->attaches, 4) << "the server, then three tries at the gateway";
    EXPECT_EQ(rig.connector->LastError(), 23);
    EXPECT_TRUE(InOrder(Events(), {"4:t222", "4:t198", "4:t198", "4:t198", "5:t199", "1"}))
        << Joined(Events());
    ASSERT_EQ(link->chosen.size(), 1u);
    EXPECT_EQ(link->chosen[0], "CN=alice/12AB");
}

TEST_F(ConnectorLogonTest, NullAndExportSelectorsNeverReachTheCipherList) {
    for (int selector : {0, 1, 3, 7}) {
        const CipherChoice c = CipherListForSelector(selector);
        EXPECT_EQ(std::string(c.list).find("NULL"), std::string::npos) << selector;
        EXPECT_EQ(std::string(c.list).find("EXP"), std::string::npos) << selector;
        EXPECT_EQ(c.downgraded, selector == 0 || selector == 1);
    }
    EXPECT_STREQ(CipherListForSelector(0).logName, "## TW_SSL_NULL_CIPHER");
    EXPECT_STREQ(CipherListForSelector(1).list, DefaultCipherList());
}

TEST_F(ConnectorLogonTest, SettingsReadAtConstruction) {
    rig.Set("UseZlibCompress", "YES");
    rig.Set("InstallDir", "/opt/qel");
    Make();
    EXPECT_TRUE(rig.connector->Compression());
    EXPECT_EQ(link->caFolder, "/opt/qel/trusted");
    const std::string guid = rig.connector->MachineGuid();
    EXPECT_EQ(guid.size(), 38u);
    rig.connector.reset();
    rig.Set("UseZlibCompress", "yes please");
    rig.settings->DeleteValue("Software\\Morvane\\QelClient", "InstallDir");
    Make();
    EXPECT_FALSE(rig.connector->Compression());
    EXPECT_EQ(link->caFolder, "./trusted/");
    EXPECT_EQ(rig.connector->MachineGuid(), guid) << "made once, then read back";
}

TEST_F(ConnectorLogonTest, SavedRouteTableGoesWhereTheServiceReadsIt) {
    rig.deps.routeFile.clear();
    Make();
    EXPECT_EQ(rig.connector->Adapter()->RouteFilePath(), service::RouteTableFilePath());
    EXPECT_EQ(rig.connector->Adapter()->RouteFilePath().front(), '/');
}

TEST_F(ConnectorLogonTest, TimerRunsOnlyOnceTheConnectorIsWhole) {
    rig.connector = std::make_unique<TwQelConnector>(rig.deps);
    EXPECT_FALSE(rig.connector->TimerRunning());
    rig.deps.makeLink = [] {
        auto l = std::make_unique<FakeLink>();
        l->initializeOk = false;
        return l;
    };
    auto broken = std::make_unique<TwQelConnector>(rig.deps);
    EXPECT_FALSE(broken->Initialize());
    EXPECT_FALSE(broken->TimerRunning());
    broken.reset();
    ASSERT_TRUE(rig.connector->Initialize());
    EXPECT_TRUE(rig.connector->TimerRunning());
}

}  // namespace
}  // namespace engine::test
