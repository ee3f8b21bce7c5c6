// The policy text, the outbound filter and the session check over application rules.
#include "engine/gateway_policy.h"

#include <gtest/gtest.h>

#include <random>

#include "datapath_fakes.h"
#include "testsupport/temp_dir.h"

namespace {

using engine::FirewallQuery;
using engine::TwGatewayPolicy;
using enginetest::Ip;

constexpr const char* kKey = "Software\\Morvane\\QelClient";

class PolicyTest : public ::testing::Test {
protected:
    PolicyTest() : store(std::make_shared<platform::SettingsStore>(dir.File("settings.db"))), policy(store) {}

    FirewallQuery Out(const char* dst, BYTE proto, WORD dport) {
        FirewallQuery q;
        q.source = vip;
        q.destination = Ip(dst);
        q.protocol = proto;
        q.destinationPort = dport;
        return q;
    }

    testsupport::TempDir dir;
    std::shared_ptr<platform::SettingsStore> store;
    TwGatewayPolicy policy;
    DWORD vip = Ip("198.18.0.2");
};

TEST_F(PolicyTest, AllowRuleAdmitsItsNetworkAndNothingElse) {
    ASSERT_TRUE(policy.ApplyPolicy("policy allow out tcp 0 0 10.0.0.0/255.0.0.0 x y\n"));
    ASSERT_EQ(policy.Rules().size(), 1u);
    EXPECT_EQ(policy.Rules()[0].beginPort, 1);
    EXPECT_EQ(policy.Rules()[0].endPort, 65535);
    EXPECT_TRUE(policy.HandleFwPolicyCheck(Out("10.1.2.3", 6, 1), vip));
    EXPECT_TRUE(policy.HandleFwPolicyCheck(Out("10.255.0.9", 6, 65535), vip));
    EXPECT_FALSE(policy.HandleFwPolicyCheck(Out("10.1.2.3", 17, 53), vip));  // UDP: no rule
    EXPECT_FALSE(policy.HandleFwPolicyCheck(Out("11.1.2.3", 6, 80), vip));
    // Not from the virtual address: never forwarded.
    FirewallQuery q = Out("10.1.2.3", 6, 80);
    q.source = Ip("198.18.0.3");
    EXPECT_FALSE(policy.HandleFwPolicyCheck(q, vip));
}

TEST_F(PolicyTest, RulesKeepTheirActionAndDirection) {
    ASSERT_TRUE(
        policy.ApplyPolicy("policy deny out tcp 22 22 10.0.0.5\n"
                           "policy allow in tcp 0 0 172.16.0.0/255.255.0.0 x y\n"
                           "policy allow out any 0 0 10.0.0.0/255.0.0.0 x y\n"));
    ASSERT_EQ(policy.Rules().size(), 3u);
    EXPECT_FALSE(policy.HandleFwPolicyCheck(Out("10.0.0.5", 6, 22), vip));  // the deny rule comes first
    EXPECT_TRUE(policy.HandleFwPolicyCheck(Out("10.0.0.5", 6, 23), vip));
    EXPECT_TRUE(policy.HandleFwPolicyCheck(Out("10.0.0.5", 1, 0), vip));      // ICMP: no port test
    EXPECT_FALSE(policy.HandleFwPolicyCheck(Out("172.16.1.1", 6, 80), vip));  // "in" says nothing outbound
}

TEST_F(PolicyTest, EmptyPolicyDeniesEverythingAndDefaultsApply) {
    ASSERT_TRUE(policy.ApplyPolicy(""));
    EXPECT_TRUE(policy.Rules().empty());
    EXPECT_FALSE(policy.HandleFwPolicyCheck(Out("10.0.0.1", 6, 80), vip));
    EXPECT_EQ(policy.DefaultInbound(), 'P');
    ASSERT_TRUE(policy.ApplyPolicy("POLICY Default DENY all\npolicy default allow in"));
    EXPECT_EQ(policy.DefaultInbound(), 'P');
    EXPECT_EQ(policy.DefaultOutbound(), 'D');
    EXPECT_FALSE(policy.ApplyPolicy(nullptr));
}

TEST_F(PolicyTest, LimitsAndSettings) {
    ASSERT_TRUE(policy.ApplyPolicy(
        "policy maxidletime 300\r\npolicy maxonlinetime 7200\npolicy homepage https://portal.example/\n"
        "policy cleanclientcache Yes\nnot a policy line\npolicy hostcheck x\npolicy maxspeed 10/20\n"));
    EXPECT_EQ(policy.MaxIdleTime().load(), 300u);
    EXPECT_EQ(policy.MaxOnlineTime().load(), 7200u);
    std::string value;
    EXPECT_EQ(store->GetString(kKey, "HomePage", &value), platform::kRegOk);
    EXPECT_EQ(value, "https://portal.example/");
    EXPECT_EQ(store->GetString(kKey, "CleanCachePolicy", &value), platform::kRegOk);
    EXPECT_EQ(value, "Yes");
    EXPECT_TRUE(policy.Messages().empty());
    // A later policy without a home page removes the old one and resets the limits.
    ASSERT_TRUE(policy.ApplyPolicy("policy maxflow 5\n"));
    EXPECT_EQ(store->GetString(kKey, "HomePage", &value), platform::kRegFileNotFound);
    EXPECT_EQ(policy.MaxIdleTime().load(), 0u);
}

TEST_F(PolicyTest, MalformedStatementsAreSkippedWithTheirMessage) {
    ASSERT_TRUE(
        policy.ApplyPolicy("policy maxidletime\n"
                           "policy maxidletime 12abc\n"
                           "policy allow sideways tcp 1 2 10.0.0.1\n"
                           "policy allow out gre 1 2 10.0.0.1\n"
                           "policy allow out tcp 70000 2 10.0.0.1\n"
                           "policy allow out tcp 10 2 10.0.0.1\n"
                           "policy allow out tcp 1 2\n"
                           "policy allow out tcp 1 2 10.0.0.300\n"
                           "policy allow out tcp 1 2 255.255.255.255/255.0.0.0\n"
                           "policy default maybe in\n"
                           "policy default deny\n"
                           "policy frobnicate 1\n"
                           "policy maxspeed 10\n"));
    EXPECT_TRUE(policy.Rules().empty());
    EXPECT_EQ(policy.MaxIdleTime().load(), 0u);
    const std::vector<std::string> expected = {
        "Invalid policy, maxidletime required\n",
        "Invalid policy, maxidletime required\n",
        "unknown direction sideways\n",
        "unknown protocol gre\n",
        "Invalid policy, begin port required\n",
        "Invalid policy, end port required\n",
        "Invalid policy, IP Address or DNS Name required\n",
        "Invalid policy, IP Address or DNS Name required\n",
        "unknown action maybe, use deny\n",
        "Invalid policy, direction required\n",
        "unknown action frobnicate, use deny\n",
        "Invalid policy, maxspeed required\n",
    };
    EXPECT_EQ(policy.Messages(), expected);
}

TEST_F(PolicyTest, RandomAndTruncatedTextNeverBreaksTheParser) {
    const std::string good =
        "policy allow out tcp 0 0 10.0.0.0/255.0.0.0 x y\npolicy default deny in\npolicy maxidletime 30\n";
    std::mt19937 rng(7);
    for (std::size_t cut = 0; cut <= good.size(); ++cut) {
        EXPECT_TRUE(policy.ApplyPolicy(good.substr(0, cut).c_str()));
        for (const auto& r : policy.Rules()) EXPECT_LE(r.beginPort, r.endPort);
    }
    for (int i = 0; i < 300; ++i) {
        std::string s(rng() % 200, ' ');
        for (char& c : s) c = "policy allowdenyout in tcp0123456789./\n \r"[rng() % 42];
        EXPECT_TRUE(policy.ApplyPolicy(s.c_str()));
    }
}

// ---- The session check ----

class FakeHost final : public engine::PolicyHost {
public:
    bool MapSessionToProcess(BYTE, DWORD, WORD, std::string* m) override {
        if (module.empty()) return false;
        *m = module;
        return true;
    }
    bool Online() override { return online; }
    DWORD SessionId() override { return 77; }
    std::string UserName() override { return user; }
    void SendToGateway(const std::uint8_t* message, std::size_t length) override {
        sent.emplace_back(message, message + length);
    }
    std::string module = "/usr/bin/curl";
    std::string user = "alice";
    bool online = true;
    std::vector<enginetest::Bytes> sent;
};

engine::SessionNotify Outbound(const char* remote, WORD port, BYTE proto = 6) {
    engine::SessionNotify n;
    n.kind = engine::SESSION_NOTIFY_ACTION;
    n.action.direction = engine::TW_POLICY_DIR_OUT;
    n.action.address1 = Ip(remote);
    n.action.port1 = htons(port);
    n.action.address2 = Ip("198.18.0.2");
    n.action.port2 = htons(40000);
    n.action.protocol = proto;
    n.action.action = 0x80;
    return n;
}

TEST_F(PolicyTest, SessionCheckUsesDefaultsWithoutARule) {
    enginetest::FakePort port;
    FakeHost host;
    ASSERT_TRUE(policy.ApplyPolicy("policy default deny out\n"));
    auto n = Outbound("10.0.0.1", 443);
    policy.HandleSessionNotify(&n, port, host);
    ASSERT_EQ(port.m_setActions.size(), 1u);
    EXPECT_EQ(port.m_setActions[0].action, 'D');
    // Decided already, other kinds, other protocols: nothing is set.
    port.m_currentAction = 'P';
    policy.HandleSessionNotify(&n, port, host);
    port.m_currentAction = 0x80;
    n.kind = engine::SESSION_NOTIFY_CREATE;
    policy.HandleSessionNotify(&n, port, host);
    n = Outbound("10.0.0.1", 443, 47);
    policy.HandleSessionNotify(&n, port, host);
    EXPECT_EQ(port.m_setActions.size(), 1u);
    EXPECT_TRUE(host.sent.empty());
}

TEST_F(PolicyTest, MatchingApplicationRuleDecidesAndIsReported) {
    enginetest::FakePort port;
    FakeHost host;
    host.user = "张三";
    engine::TwAppRule byAddress;
    byAddress.moduleExpression = "curl$";
    byAddress.appName = "web";
    byAddress.address = Ip("10.0.0.0");
    byAddress.mask = Ip("255.0.0.0");
    byAddress.action = 'P';
    engine::TwAppRule byName = byAddress;
    byName.moduleExpression = "^/usr/bin/(wget|ssh)$";
    byName.host = "files.example";
    byName.action = 'D';
    engine::TwAppRule broken = byAddress;
    broken.moduleExpression = "(";
    policy.SetApplicationRules({broken, byAddress, byName});
    ASSERT_TRUE(policy.ApplyPolicy("policy default deny all\n"));

    auto n = Outbound("10.9.9.9", 443);
    policy.HandleSessionNotify(&n, port, host);
    ASSERT_EQ(port.m_setActions.size(), 1u);
    EXPECT_EQ(port.m_setActions[0].action, 'P');
    ASSERT_EQ(host.sent.size(), 1u);
    EXPECT_EQ(host.sent[0][1], 87);  // GWLogApp
    const std::string text(host.sent[0].begin(), host.sent[0].end());
    EXPECT_NE(text.find("web|/usr/bin/curl|"), std::string::npos);
    EXPECT_NE(text.find("10.9.9.9:443"), std::string::npos);
    // The record crosses the wire in code page 936: "允许" and "访问" as GBK bytes, no UTF-8.
    EXPECT_NE(text.find("\xD4\xCA\xD0\xED /usr/bin/curl \xB7\xC3\xCE\xCA web"), std::string::npos);
    EXPECT_EQ(text.find("允许"), std::string::npos);
    EXPECT_NE(text.find("\xD5\xC5\xC8\xFD"), std::string::npos) << "the user name as GBK bytes";
    EXPECT_EQ(text.find("张三"), std::string::npos);

    host.module = "/usr/bin/wget";
    port.m_dnsName = "files.example";
    n = Outbound("203.0.113.5", 443);
    policy.HandleSessionNotify(&n, port, host);
    EXPECT_EQ(port.m_setActions.back().action, 'D');

    // No module found: "UnknownModuleOrFailure" matches nothing; offline: nothing is sent.
    host.module.clear();
    host.online = false;
    policy.HandleSessionNotify(&n, port, host);
    EXPECT_EQ(port.m_setActions.back().action, 'D');
    EXPECT_EQ(host.sent.size(), 2u);
    // Inbound sessions are not matched by outbound rules: the inbound default decides.
    host.module = "/usr/bin/curl";
    n = Outbound("10.9.9.9", 443);
    n.action.direction = engine::TW_POLICY_DIR_IN;
    n.action.address2 = Ip("10.9.9.9");
    policy.HandleSessionNotify(&n, port, host);
    EXPECT_EQ(port.m_setActions.back().action, 'D');
}

}  // namespace
