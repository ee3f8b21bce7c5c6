// The pipe protocol without the pipe: access code, command table and its order, replies byte for
// byte, refusals, and random or cut input.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "service/netsh_command.h"
#include "service/netsh_pipe.h"

namespace service {
namespace {

class RecordingOperations final : public NetshOperations {
public:
    void SetDisableDefRoute(DWORD ifIndex, int flag) override { Log("netcheck", ifIndex, flag); }
    void EnableAdapter(bool enable) override { Log(enable ? "enable" : "disable"); }
    int ChangeAdapteLevel() override { return Log("level"), 1; }
    std::string GetHardwareID() override { return Log("hwid"), hardwareId; }
    void SetAutoExec() override { Log("autoexec"); }
    void NotSetAutoExec() override { Log("noautoexec"); }
    void SetDnsByNetshCmd(const std::string& p, const std::string& s, DWORD i) override {
        calls.push_back("dns " + p + " " + s + " " + std::to_string(i));
    }
    SetIpResult SetIP(const std::string& a, const std::string& m, const std::string& d1,
                      const std::string& d2) override {
        calls.push_back("setip " + a + " " + m + " " + d1 + " " + d2);
        return setIpResult;
    }
    void StartClient() override { Log("start"); }
    DWORD AddRoute(const RouteRecord& r) override { return Route("add", r); }
    DWORD DeleteRoute(const RouteRecord& r) override { return Route("del", r); }
    DWORD SetRoute(const RouteRecord& r) override { return Route("set", r); }
    void FlushNeighbours() override { Log("arp"); }
    void FlushDns() override { Log("flushdns"); }
    void ResetAdapterAddress() override { Log("reset"); }
    void UseDhcpAddress(DWORD i) override { Log("dhcp", i); }

    std::vector<std::string> calls;
    std::vector<RouteRecord> routes;
    std::string hardwareId = "0123456789abcdef0123456789abcdef|pc|00-11-22-33-44-55";
    SetIpResult setIpResult = SetIpResult::kDone;

private:
    void Log(const std::string& what, DWORD a = 0, int b = -1) {
        calls.push_back(
            b < 0 && a == 0 ? what : what + " " + std::to_string(a) + (b < 0 ? "" : " " + std::to_string(b)));
    }
    DWORD Route(const char* verb, const RouteRecord& r) {
        calls.push_back(verb);
        routes.push_back(r);
        return routeResult;
    }

public:
    DWORD routeResult = 0;
};

std::vector<std::uint8_t> Code() {
    std::vector<std::uint8_t> c(kAccessCodeSize);
    FillAccessCode(c.data());
    return c;
}

// Sends the access code and `command` through one session; the reply as a string.
std::string Exchange(RecordingOperations& ops, const std::string& command, bool* hungUp = nullptr) {
    NetshPipeSession session(ops);
    const auto code = Code();
    const auto first = session.OnMessage(code.data(), code.size());
    EXPECT_TRUE(first.reply.empty());
    EXPECT_FALSE(first.hangUp);
    const auto a = session.OnMessage(reinterpret_cast<const std::uint8_t*>(command.data()), command.size());
    if (hungUp != nullptr) *hungUp = a.hangUp;
    return std::string(a.reply.begin(), a.reply.end());
}

const std::string kDone("netsh>\0", 7);

TEST(NetshProtocol, RepliesByteForByte) {
    RecordingOperations ops;
    bool hungUp = false;
    EXPECT_EQ(Exchange(ops, "ChangeAdapteLevel\n", &hungUp), kDone);
    EXPECT_TRUE(hungUp);
    EXPECT_EQ(Exchange(ops, "GetHardwareID\n"), "HardwareId>" + ops.hardwareId);  // no NUL, no "netsh>"
    ops.setIpResult = SetIpResult::kAddressFailed;
    EXPECT_EQ(Exchange(ops, "SetIP 198.18.0.2 255.255.255.0 198.18.0.53 0\n"),
              std::string("NetshSetipFail>\0", 16));
    ops.setIpResult = SetIpResult::kDnsFailed;
    EXPECT_EQ(Exchange(ops, "SetIP 198.18.0.2 255.255.255.0 198.18.0.53 0\n"),
              std::string("NetshSetdnsFail>\0", 17));
    ops.setIpResult = SetIpResult::kDone;
    EXPECT_EQ(Exchange(ops, "SetIP 198.18.0.2 255.255.255.0 198.18.0.53 198.18.0.54\n"), kDone);
    EXPECT_EQ(ops.calls.back(), "setip 198.18.0.2 255.255.255.0 198.18.0.53 198.18.0.54");
}

TEST(NetshProtocol, CommandTableInOrder) {
    struct Case {
        const char* command;
        std::vector<std::string> calls;
    };
    const std::vector<Case> cases = {
        {"netcheck 7 0\n", {"netcheck 7 0"}},
        {"netcheck 7 5\n", {"netcheck 7 1"}},
        {"resetadapter", {"enable"}},
        {"NotSetAutoExec\n", {"noautoexec"}},
        {"SetAutoExec\n", {"autoexec"}},
        {"SetDnsByNetshCmd 0 0 5", {"dns 0 0 5"}},
        {"SetDnsByNetshCmd 198.18.0.53 198.18.0.54 12", {"dns 198.18.0.53 198.18.0.54 12"}},
        {"StartClient\n", {"start"}},
        {"RestartAdapter\n", {"disable", "enable"}},
        {"qel exec arp -d *\n", {"arp"}},
        {"qel exec ipconfig /flushdns\n", {"flushdns"}},
        {"netsh int ip reset\n", {"reset"}},
        {"netsh int ipv4 set address name=9 source=dhcp", {"dhcp 9"}},
        // Prefix tests come first: this names a route but is a netcheck.
        {"netcheck 3 1 route", {}},
        // "route" without a verb of the three, and unknown texts: nothing, still answered.
        {"show route table", {}},
        {"hello world", {}},
        // Anything else mentioning the adapter commands is refused, never run.
        {"netsh int ip set dns 1 static 6.6.6.6; rm -rf /", {}},
        {"netsh int ipv4 set address name=9;reboot source=dhcp", {}},
        {"SetDnsByNetshCmd 1.2.3.4;id 0 5", {}},
        {"netcheck 0 1\n", {}},
        {"netcheck x 1\n", {}},
    };
    for (const auto& c : cases) {
        RecordingOperations ops;
        EXPECT_EQ(Exchange(ops, c.command), kDone) << c.command;
        EXPECT_EQ(ops.calls, c.calls) << c.command;
    }
}

TEST(NetshProtocol, RouteCommandsParseUnsignedFieldsInClientOrder) {
    RecordingOperations ops;
    EXPECT_EQ(Exchange(ops, "addroute 0 0 12 16843009 1 4\n"), kDone);
    EXPECT_EQ(Exchange(ops, "delroute 167772160 4294967295 3 0 20 3\n"), kDone);
    EXPECT_EQ(Exchange(ops, "setroute 1 2\n"), kDone);
    ASSERT_EQ(ops.calls, (std::vector<std::string>{"add", "del", "set"}));
    // A route the table did not take is a failure on the wire, never "done".
    const std::string routeFail(kReplyRouteFail);
    ops.routeResult = 87;
    EXPECT_EQ(Exchange(ops, "addroute 0 0 12 16843009 1 4\n"), routeFail);
    EXPECT_EQ(Exchange(ops, "delroute 167772160 4294967295 3 0 20 3\n"), routeFail);
    EXPECT_EQ(ops.routes[0].destination, 0u);
    EXPECT_EQ(ops.routes[0].ifIndex, 12u);
    EXPECT_EQ(ops.routes[0].nextHop, 16843009u);
    EXPECT_EQ(ops.routes[0].metric, 1u);
    EXPECT_EQ(ops.routes[0].type, 4u);
    EXPECT_EQ(ops.routes[1].mask, 0xFFFFFFFFu);
    EXPECT_EQ(ops.routes[2].mask, 2u);  // missing fields are 0
    EXPECT_EQ(ops.routes[2].type, 0u);

    for (const char* bad : {"addroute 4294967296 0 1 1 1 1\n", "addroute -1 0 1 1 1 1\n",
                            "addroute 1x 0 1 1 1 1\n", "delroute 99999999999999999999 0\n"}) {
        RecordingOperations refused;
        EXPECT_EQ(Exchange(refused, bad), std::string(kReplyRouteFail)) << bad;
        EXPECT_TRUE(refused.calls.empty()) << bad;
    }
}

TEST(NetshProtocol, SetIpWithBadFieldsFailsWithoutTouchingTheAdapter) {
    for (const char* bad :
         {"SetIP 198.18.0.2 255.255.255.0 0\n", "SetIP 198.18.0.256 255.255.255.0 0 0\n",
          "SetIP 198.18.0.2 255.255.255.0 0 0 extra\n", "SetIP  198.18.0.2 255.255.255.0 0 0\n",
          "SetIP 198.18.0.2 255.255.255.0 1.2.3 0\n", "SetIP 198.18.0.2 -0.0.0.0 0 0\n"}) {
        RecordingOperations ops;
        EXPECT_EQ(Exchange(ops, bad), std::string("NetshSetipFail>\0", 16)) << bad;
        EXPECT_TRUE(ops.calls.empty()) << bad;
    }
}

TEST(NetshProtocol, RefusalsGetNoReply) {
    RecordingOperations ops;
    auto code = Code();
    for (std::size_t i = 0; i < code.size(); ++i) {
        NetshPipeSession session(ops);
        auto wrong = code;
        wrong[i] ^= 0x01;
        const auto a = session.OnMessage(wrong.data(), wrong.size());
        EXPECT_TRUE(a.reply.empty());
        EXPECT_TRUE(a.hangUp) << "byte " << i;
    }
    {
        NetshPipeSession session(ops);  // the service's own stop message stands in for a code
        const auto a = session.OnMessage(reinterpret_cast<const std::uint8_t*>("exitcmd"), 7);
        EXPECT_TRUE(a.reply.empty());
        EXPECT_TRUE(a.hangUp);
    }
    {
        NetshPipeSession session(ops);
        std::vector<std::uint8_t> longer = code;
        longer.push_back(0);
        EXPECT_TRUE(session.OnMessage(longer.data(), longer.size()).hangUp);
    }
    bool hungUp = false;
    EXPECT_EQ(Exchange(ops, "netch\n", &hungUp), "");  // shorter than 10 bytes
    EXPECT_TRUE(hungUp);
    EXPECT_EQ(Exchange(ops, "StartClie", &hungUp), "");
    const std::string limit(255, 'x');
    EXPECT_EQ(Exchange(ops, limit), kDone);                                        // 255 bytes are served
    EXPECT_EQ(Exchange(ops, "StartClient" + std::string(245, ' '), &hungUp), "");  // 256 are not
    EXPECT_TRUE(hungUp);
    EXPECT_TRUE(ops.calls.empty());
}

// Random and cut commands after a valid code: every answer is one of the protocol's replies,
// nothing crashes, and nothing is ever called with text the parsers refused.
TEST(NetshProtocol, FuzzedCommands) {
    std::mt19937 rng(20261209);
    const std::vector<std::string> seeds = {"addroute 0 0 12 16843009 1 4\n",
                                            "SetIP 198.18.0.2 255.255.255.0 8.8.8.8 0\n",
                                            "SetDnsByNetshCmd 198.18.0.53 0 5",
                                            "netcheck 7 1\n",
                                            "netsh int ipv4 set address name=9 source=dhcp",
                                            "GetHardwareID\n"};
    for (int i = 0; i < 5000; ++i) {
        std::string text;
        if (i % 2 == 0) {
            text = seeds[rng() % seeds.size()];
            text.resize(rng() % (text.size() + 1));  // cut
            for (int flips = rng() % 4; flips > 0 && !text.empty(); --flips)
                text[rng() % text.size()] = static_cast<char>(rng());
        } else {
            text.resize(rng() % 300);
            for (auto& c : text) c = static_cast<char>(rng());
        }
        RecordingOperations ops;
        bool hungUp = false;
        const std::string reply = Exchange(ops, text, &hungUp);
        EXPECT_TRUE(hungUp);
        const bool known = reply.empty() || reply == kDone || reply == std::string("NetshSetipFail>\0", 16) ||
                           reply == std::string("NetshSetdnsFail>\0", 17) ||
                           reply == std::string(kReplyRouteFail) || reply.rfind("HardwareId>", 0) == 0;
        ASSERT_TRUE(known) << "reply to fuzzed input";
        if (text.size() < kMinCommandSize || text.size() >= kCommandBufferSize) {
            ASSERT_TRUE(ops.calls.empty());
        }
    }
}

TEST(RouteCommandParser, FuzzedAndCutText) {
    std::mt19937 rng(7);
    const std::string alphabet = "0123456789 -\nadelorstux";
    for (int i = 0; i < 20000; ++i) {
        std::string text(rng() % 80, ' ');
        for (auto& c : text) c = alphabet[rng() % alphabet.size()];
        RouteRecord r;
        std::string error;
        if (PhaseRouteCmd(text, &r, &error)) {
            EXPECT_TRUE(error.empty());
        } else {
            EXPECT_FALSE(error.empty());
        }
    }
    RouteRecord r;
    std::string error;
    EXPECT_FALSE(PhaseRouteCmd(std::string(300, '1'), &r, &error));
    EXPECT_FALSE(PhaseRouteCmd("   \n", &r, &error));
}

TEST(DottedAddress, StrictForm) {
    DWORD a = 0;
    EXPECT_TRUE(ParseDottedAddress("198.18.0.1", &a));
    EXPECT_EQ(a, 0x010012C6u);
    for (const char* bad : {"", "1.2.3", "1.2.3.4.", "1.2.3.4.5", "256.1.1.1", "1..2.3", " 1.2.3.4",
                            "1.2.3.4 ", "-1.2.3.4", "1.2.3.0004", "a.b.c.d"}) {
        EXPECT_FALSE(ParseDottedAddress(bad, &a)) << bad;
    }
}

}  // namespace
}  // namespace service
