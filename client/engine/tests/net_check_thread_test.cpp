// The network check against an in-memory route table and adapter list on a manual clock: which
// rows it deletes and puts back, its rounds, the adapter-close signal, and its stop.
#include "engine/net_check_thread.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "engine/worker_thread.h"
#include "fake_connector.h"
#include "platform/fake/fake_adapters.h"
#include "platform/fake/fake_route_table.h"
#include "platform/fake/manual_clock.h"
#include "testsupport/temp_root.h"
#include "testsupport/wait.h"

namespace engine {
namespace {

using testsupport::WaitFor;

constexpr DWORD kEthIf = 2;
constexpr DWORD kVirtualIf = 7;

DWORD Ip(const char* dotted) {
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return a.s_addr;
}

MIB_IPFORWARDROW Row(const char* dest, const char* mask, const char* nextHop, DWORD ifIndex,
                     DWORD metric = 10) {
    MIB_IPFORWARDROW r{};
    r.dwForwardDest = Ip(dest);
    r.dwForwardMask = Ip(mask);
    r.dwForwardNextHop = Ip(nextHop);
    r.dwForwardIfIndex = ifIndex;
    r.dwForwardType = 4;
    r.dwForwardMetric1 = metric;
    return r;
}

std::string Cmd(const char* verb, const MIB_IPFORWARDROW& r, int metric) {
    return TwClientRouteManager::RouteCommand(verb, r.dwForwardDest, r.dwForwardMask,
                                              static_cast<int>(r.dwForwardIfIndex), r.dwForwardNextHop,
                                              metric, 3);
}

class RecordingHost final : public ForcedLogoffHost {
public:
    bool UserLoggedOn() override { return online.load(); }
    void StartForcedLogoff(const std::string* text) override {
        std::lock_guard<std::mutex> lock(mutex);
        texts.push_back(text != nullptr ? *text : "<built-in>");
    }
    std::vector<std::string> Texts() {
        std::lock_guard<std::mutex> lock(mutex);
        return texts;
    }
    std::atomic<bool> online{true};
    std::mutex mutex;
    std::vector<std::string> texts;
};

class NetCheckTest : public ::testing::Test {
protected:
    NetCheckTest() {
        config.virtualIfIndex = kVirtualIf;
        config.virtualAddress = ntohl(Ip("198.18.0.5"));
        config.virtualMask = ntohl(Ip("255.255.255.0"));
        config.gatewayAddress = Ip("203.0.113.1");
        config.resources = {{ntohl(Ip("10.8.0.0")), ntohl(Ip("255.255.0.0")), 0}};
        routes.SetRows({Row("0.0.0.0", "0.0.0.0", "198.51.100.1", kEthIf), tunnel, gatewayHost,
                        Row("198.18.0.0", "255.255.255.0", "198.18.0.5", kVirtualIf),
                        Row("198.51.100.0", "255.255.255.0", "198.51.100.2", kEthIf)});
        platform::AdapterInfo virt;
        virt.index = kVirtualIf;
        virt.mac = {0x00, 0xff, 0xff, 0xff, 0x00, 0x00};
        virt.macLength = 6;
        adapters.Put(virt);
        conn.dataPathActive = true;
    }
    std::unique_ptr<NetCheckThread> Make(std::function<bool()> busy = {}) {
        NetCheckThread::Deps deps{conn,
                                  host,
                                  ui,
                                  routes,
                                  adapters,
                                  [this](const std::string& c) {
                                      std::lock_guard<std::mutex> lock(mutex);
                                      commands.push_back(c);
                                      return 0;
                                  },
                                  std::move(busy)};
        return std::make_unique<NetCheckThread>(deps, config, timing, clock);
    }
    std::vector<std::string> Commands() {
        std::lock_guard<std::mutex> lock(mutex);
        return commands;
    }

    testsupport::TempRoot root;
    platform::fake::ManualClock clock;
    platform::fake::FakeRouteTable routes;
    platform::fake::FakeAdapterList adapters;
    test::FakeConnector conn{clock};
    test::RecordingUi ui;
    RecordingHost host;
    EngineTiming timing;
    NetCheckConfig config;
    const MIB_IPFORWARDROW tunnel = Row("10.8.0.0", "255.255.0.0", "198.18.0.1", kVirtualIf, 3);
    const MIB_IPFORWARDROW gatewayHost = Row("203.0.113.1", "255.255.255.255", "198.51.100.1", kEthIf);
    std::mutex mutex;
    std::vector<std::string> commands;
};

TEST_F(NetCheckTest, NewRowsInTheTunnelsSpaceGoAndLostTunnelRowsComeBack) {
    auto check = Make();
    TwClientRouteManager manager(routes, adapters, [this](const std::string& c) {
        commands.push_back(c);
        return 0;
    });
    const auto saved = routes.Rows();
    const MIB_IPFORWARDROW intoResource = Row("10.8.5.0", "255.255.255.0", "198.51.100.1", kEthIf);
    const MIB_IPFORWARDROW wider = Row("10.0.0.0", "255.0.0.0", "198.51.100.1", kEthIf);
    const MIB_IPFORWARDROW throughTunnel = Row("172.16.0.0", "255.255.0.0", "198.18.0.1", kVirtualIf);
    const MIB_IPFORWARDROW elsewhere = Row("172.17.0.0", "255.255.0.0", "198.51.100.1", kEthIf);
    auto now = saved;
    now.erase(now.begin() + 1);  // the tunnel's own route went away
    now.push_back(intoResource);
    now.push_back(wider);
    now.push_back(throughTunnel);
    now.push_back(elsewhere);
    now.push_back(Row("224.0.0.0", "240.0.0.0", "198.18.0.5", kVirtualIf));
    now.push_back(Row("198.18.0.255", "255.255.255.255", "198.18.0.5", kVirtualIf));
    routes.SetRows(now);
    check->CheckRouteList(saved, manager);
    // A route into a resource network through the real adapter and one through the tunnel go; a
    // wider route that only overlaps the resource network under its own mask stays, as do the
    // multicast and the virtual subnet's broadcast.
    EXPECT_EQ(commands,
              (std::vector<std::string>{Cmd("delroute", intoResource, 0), Cmd("delroute", throughTunnel, 0),
                                        Cmd("addroute", tunnel, 3)}));

    // The host route to the gateway is the session's when there was none before the logon.
    commands.clear();
    now = saved;
    now.erase(now.begin() + 2);
    routes.SetRows(now);
    check->CheckRouteList(saved, manager);
    EXPECT_EQ(commands, (std::vector<std::string>{Cmd("addroute", gatewayHost, 10)}));
}

TEST_F(NetCheckTest, AKeptGatewayRouteIsLeftAlone) {
    config.gatewayRouteExisted = true;
    auto check = Make();
    TwClientRouteManager manager(routes, adapters, [this](const std::string& c) {
        commands.push_back(c);
        return 0;
    });
    const auto saved = routes.Rows();
    auto now = saved;
    now.erase(now.begin() + 2);
    routes.SetRows(now);
    check->CheckRouteList(saved, manager);
    EXPECT_TRUE(commands.empty());
}

TEST_F(NetCheckTest, RoundsComeOnTheClockAndStopJoins) {
    auto check = Make();
    ASSERT_TRUE(check->Start());
    ASSERT_TRUE(clock.WaitForWaiters(1));
    auto now = routes.Rows();
    const MIB_IPFORWARDROW intoResource = Row("10.8.9.0", "255.255.255.0", "198.51.100.1", kEthIf);
    now.push_back(intoResource);
    routes.SetRows(now);
    clock.Advance(4999);
    ASSERT_TRUE(clock.WaitForWaiters(1));
    EXPECT_EQ(check->Rounds(), 0u);
    clock.Advance(1);
    ASSERT_TRUE(WaitFor("the first round", [&] { return check->Rounds() == 1; }));
    EXPECT_EQ(Commands(), (std::vector<std::string>{Cmd("delroute", intoResource, 0)}));
    check->Stop();
    EXPECT_FALSE(check->Running());
}

// With the switch on, every round asks the service to take other adapters' default routes out,
// and the end of the check asks it to put back what was taken out; the virtual adapter and an
// adapter that never had one are never named.
TEST_F(NetCheckTest, DefaultRouteSwitchIsKeptOnEachRoundAndUndoneAtTheEnd) {
    platform::AdapterInfo eth;
    eth.index = kEthIf;
    eth.mac = {0x52, 0x54, 0x00, 0x01, 0x02, 0x03};
    eth.macLength = 6;
    adapters.Put(eth);
    platform::AdapterInfo other = eth;
    other.index = 3;
    other.mac[5] = 0x04;
    adapters.Put(other);
    auto now = routes.Rows();
    now.push_back(Row("0.0.0.0", "0.0.0.0", "198.18.0.1", kVirtualIf));
    routes.SetRows(now);
    config.restoreDefaultRoutes = true;
    {
        auto check = Make();
        ASSERT_TRUE(check->Start());
        ASSERT_TRUE(clock.WaitForWaiters(1));
        clock.Advance(timing.netCheckRoundMs);
        ASSERT_TRUE(WaitFor("the first round", [&] { return check->Rounds() == 1; }));
        EXPECT_EQ(Commands(), (std::vector<std::string>{"netcheck 2 1\n"}));
        // The service took it out: the next round has nothing to ask.
        auto rows = routes.Rows();
        rows.erase(rows.begin());
        routes.SetRows(rows);
        ASSERT_TRUE(clock.WaitForWaiters(1));
        clock.Advance(timing.netCheckRoundMs);
        ASSERT_TRUE(WaitFor("the second round", [&] { return check->Rounds() == 2; }));
        EXPECT_EQ(Commands().size(), 1u);
        check->Stop();
        EXPECT_EQ(Commands(), (std::vector<std::string>{"netcheck 2 1\n", "netcheck 2 0\n"}));
    }
    // Without the switch nothing is asked, and undoing what was never done sends nothing.
    config.restoreDefaultRoutes = false;
    auto check = Make();
    EXPECT_EQ(check->RestoreDisableDefRoute(0), 0);
    ASSERT_TRUE(check->Start());
    ASSERT_TRUE(clock.WaitForWaiters(1));
    clock.Advance(timing.netCheckRoundMs);
    ASSERT_TRUE(WaitFor("a round", [&] { return check->Rounds() == 1; }));
    check->Stop();
    EXPECT_EQ(Commands().size(), 2u);
}

TEST_F(NetCheckTest, AdapterCloseWithTheAdapterStillThereRebindsAndKeepsTheSession) {
    auto check = Make();
    ASSERT_TRUE(check->Start());
    ASSERT_TRUE(clock.WaitForWaiters(1));
    conn.adapterClose.Set();
    ASSERT_TRUE(WaitFor("the rebind", [&] { return conn.Count("BindAdaptersList") == 1; }));
    ASSERT_TRUE(clock.WaitForWaiters(1));
    EXPECT_EQ(conn.Count("ChangeMediaStatus(1)"), 0) << "media comes back only after the pause";
    clock.Advance(timing.netCheckRebindPauseMs);
    ASSERT_TRUE(WaitFor("media connected", [&] { return conn.Count("ChangeMediaStatus(1)") == 1; }));
    EXPECT_TRUE(host.Texts().empty());
}

// A killed driver daemon's adapter can still be listed when its close is seen; the rebind it
// cannot take must end the session, or nothing ever would.
TEST_F(NetCheckTest, AdapterCloseWhoseRebindNobodyTakesForcesALogoffThoughTheAdapterStillShows) {
    conn.driverAnswers = false;
    auto check = Make();
    ASSERT_TRUE(check->Start());
    ASSERT_TRUE(clock.WaitForWaiters(1));
    conn.adapterClose.Set();
    ASSERT_TRUE(WaitFor("the forced logoff", [&] { return host.Texts().size() == 1; }));
    EXPECT_EQ(host.Texts()[0], "text316");
    EXPECT_EQ(conn.Count("BindAdaptersList"), 1);
    EXPECT_EQ(conn.Count("CloseCaptureDevice"), 1);
    EXPECT_EQ(conn.Count("ChangeMediaStatus(1)"), 0);
    check->Stop();
}

TEST_F(NetCheckTest, AdapterCloseWithTheAdapterGoneOrDoubledForcesALogoff) {
    for (int virtuals : {0, 2}) {
        SCOPED_TRACE(virtuals);
        platform::fake::FakeAdapterList list;
        for (int i = 0; i < virtuals; ++i) {
            platform::AdapterInfo a;
            a.index = kVirtualIf + static_cast<DWORD>(i);
            a.mac = {0x00, 0xff, 0xff, 0xff, 0x00, 0x00};
            a.macLength = 6;
            list.Put(a);
        }
        RecordingHost h;
        NetCheckThread check({conn, h, ui, routes, list, [](const std::string&) { return 0; }, {}}, config,
                             timing, clock);
        ASSERT_TRUE(check.Start());
        ASSERT_TRUE(clock.WaitForWaiters(1));
        conn.adapterClose.Set();
        ASSERT_TRUE(WaitFor("the forced logoff", [&] { return h.Texts().size() == 1; }));
        EXPECT_EQ(h.Texts()[0], virtuals == 0 ? "text316" : "text317");
        check.Stop();
    }
    EXPECT_EQ(conn.Count("CloseCaptureDevice"), 2);
}

TEST_F(NetCheckTest, StopDuringTheSetupWaitTouchesNoRoute) {
    auto check = Make([] { return true; });
    ASSERT_TRUE(check->Start());
    ASSERT_TRUE(clock.WaitForWaiters(1));
    routes.SetRows({});  // a check that ran now would want to put rows back
    check->Stop();
    EXPECT_EQ(check->Rounds(), 0u);
    EXPECT_TRUE(Commands().empty());
}

TEST_F(NetCheckTest, TheWorkersForcedLogoffRestoresRoutesAndPostsItsMessage) {
    test::FakeConnector c;
    test::RecordingUi u;
    TwWorkerThread worker(c, u, test::QuickTiming());
    ASSERT_TRUE(worker.InitializeWorkerThread());
    c.status = TW_CLT_STATUS_GW_CERTIFIED;
    worker.StartForcedLogoff(nullptr);
    ASSERT_TRUE(WaitFor("the adapter-closed logoff", [&] { return u.Count(UI_CODE_CLEAN_CACHE) == 1; }));
    EXPECT_EQ(c.Count("LogoffRecoverAdapterRoute(0)"), 1);
    EXPECT_EQ(c.Count("LogoffConfigAdapter(0)"), 0);
    EXPECT_EQ(c.status.load(), TW_CLT_STATUS_OFFLINE);
    ASSERT_TRUE(WaitFor("the message", [&] { return u.Count(UI_CODE_MESSAGE) == 1; }));
    EXPECT_TRUE(u.Has(UI_CODE_MESSAGE, "由于连接空闲或在线时长达到上限，客户端已断开，请重新登录。"));
    const std::string empty;
    worker.StartForcedLogoff(&empty);
    ASSERT_TRUE(WaitFor("the catalogue's message", [&] { return u.Has(UI_CODE_MESSAGE, "text161"); }));
}

}  // namespace
}  // namespace engine
