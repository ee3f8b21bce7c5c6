// The adapter configuration over a fake driver and an in-memory PC whose service is the real
// service library: logon and logoff leave the machine as they found it, the gateway keeps its way
// outside the tunnel, and a logon that fails half-way takes back what it did.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <future>

#include "adapter_test_machine.h"
#include "platform/settings_store.h"
#include "service/route_table_file.h"
#include "testsupport/temp_root.h"

namespace engine::test {
namespace {

using platform::fake::ManualClock;

bool HasRoute(const std::vector<MIB_IPFORWARDROW>& rows, const char* dest, const char* mask, DWORD ifIndex,
              const char* nextHop = nullptr) {
    return std::any_of(rows.begin(), rows.end(), [&](const MIB_IPFORWARDROW& r) {
        return r.dwForwardDest == Ip(dest) && r.dwForwardMask == Ip(mask) && r.dwForwardIfIndex == ifIndex &&
               (nextHop == nullptr || r.dwForwardNextHop == Ip(nextHop));
    });
}

std::string ReadBytes(const std::string& path) {
    std::string bytes;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0) bytes.append(buf, n);
        std::fclose(f);
    }
    return bytes;
}

class AdapterSetupTest : public ::testing::Test {
protected:
    // eth0's connected route as the kernel has it: its own protocol, metric 0. The table as set.
    std::vector<MIB_IPFORWARDROW> KernelConnectedRoutes() {
        auto rows = pc.routes.Rows();
        for (auto& r : rows) {
            if (r.dwForwardType != 3) continue;
            r.dwForwardProto = platform::MIB_IPPROTO_LOCAL;
            r.dwForwardMetric1 = 0;
        }
        pc.routes.SetRows(rows);
        return rows;
    }

    AdapterSetupTest() {
        settings = std::make_shared<platform::SettingsStore>(root.Path() + "/settings.db");
        manager = std::make_unique<TwClientRouteManager>(pc.routes, pc.adapters,
                                                         [this](const std::string& c) { return pc.Send(c); });
        deps.driver = &driver;
        deps.routeManager = manager.get();
        deps.ui = &ui;
        deps.routes = &pc.routes;
        deps.adapters = &pc.adapters;
        deps.clock = &clock;
        deps.sendCmd = [this](const std::string& c) { return pc.Send(c); };
        deps.sendRestart = [this](const std::string& c) { return pc.Send(c) == kNetshDone ? 0 : 8; };
        deps.settings = settings;
        deps.routeFile = root.Path() + "/SystemRouteTable.dat";
        deps.cancelEvent = &cancel;
        deps.adapterCloseEvent = &adapterClosed;
        deps.sendProbe = [this](DWORD address, WORD port, const std::string& text) {
            std::lock_guard<std::mutex> g(probeLock);
            probes.push_back(std::to_string(ntohl(address)) + ":" + std::to_string(port) + ":" + text);
            return true;
        };
        deps.sleep = [this](DWORD ms) { clock.Advance(ms); };
        hooks.applyPolicy = [this](int) { return policyOk; };
        hooks.disconnect = [this] { ++disconnects; };
        hooks.setLastError = [this](int code, const std::string&) { lastError = code; };
        hooks.setArpAnswering = [this](bool on) { arpAnswering = on; };
        hooks.setDataPathActive = [this](bool on) { dataPathActive = on; };
    }

    std::unique_ptr<TwAdapterSetup> Make() { return std::make_unique<TwAdapterSetup>(deps, hooks); }

    // Logon up to a configured adapter, with the address set statically at once.
    int Logon(TwAdapterSetup& a, const AdapterLogonResults& session) {
        settings->SetDword(deps.settingsKey, "UseStatic", 1);
        if (a.LogonInitAdapter() != 1) return -1;
        a.SetLogonResults(session, false);
        if (a.SaveSystemRouteToFile(false) != 1) return -2;
        return a.LogonConfigAdapter(false);
    }

    bool RouteFileExists() const { return ::access(deps.routeFile.c_str(), F_OK) == 0; }

    testsupport::TempRoot root;
    std::shared_ptr<platform::SettingsStore> settings;
    ManualClock clock;
    FakePc pc;
    FakeAdapterDriver driver{clock};
    RecordingUi ui;
    platform::Event cancel{true, false};
    platform::Event adapterClosed{true, false};
    std::unique_ptr<TwClientRouteManager> manager;
    AdapterSetupDeps deps;
    AdapterHooks hooks;
    bool policyOk = true;
    int disconnects = 0;
    int lastError = 0;
    bool arpAnswering = false, dataPathActive = false;
    std::mutex probeLock;
    std::vector<std::string> probes;
};

TEST_F(AdapterSetupTest, SplitTunnelLogonAndLogoffLeaveTheMachineAsItWas) {
    // A route inside a resource network is moved aside; a wider one keeps carrying its network.
    auto before = pc.routes.Rows();
    before.push_back(Row("10.20.5.0", "255.255.255.0", "203.0.113.1", 2));
    before.push_back(Row("10.0.0.0", "255.0.0.0", "203.0.113.9", 2));
    pc.routes.SetRows(before);
    auto adapter = Make();
    const auto session = TestSession({{HostIp("10.20.0.0"), HostIp("255.255.0.0"), 0},
                                      {HostIp("198.51.100.10"), 0xFFFFFFFFu, 0},
                                      {HostIp("172.16.1.7"), 0xFFFFFFFFu, HostIp("198.18.0.1")}});
    ASSERT_EQ(Logon(*adapter, session), 1);

    const auto during = pc.routes.Rows();
    EXPECT_TRUE(HasRoute(during, "198.51.100.10", "255.255.255.255", 2, "203.0.113.1"))
        << "the gateway's host route does not leave through the pre-tunnel next hop";
    EXPECT_FALSE(HasRoute(during, "198.51.100.10", "255.255.255.255", 7))
        << "the gateway is routed into the tunnel";
    EXPECT_TRUE(HasRoute(during, "10.20.0.0", "255.255.0.0", 7));
    EXPECT_TRUE(HasRoute(during, "172.16.1.7", "255.255.255.255", 7, "198.18.0.1"));
    EXPECT_FALSE(HasRoute(during, "10.20.5.0", "255.255.255.0", 2)) << "the conflicting route stayed";
    EXPECT_TRUE(HasRoute(during, "10.0.0.0", "255.0.0.0", 2)) << "a wider route was taken away";
    for (const auto& r : during) {
        // The tunnel's routes carry the virtual interface's metric, below any physical route's
        // (the kernel's connected routes aside), so they win where prefixes are equal.
        if (r.dwForwardIfIndex == 7 && r.dwForwardDest != Ip("198.18.0.0") &&
            r.dwForwardDest != Ip("198.18.0.2")) {
            EXPECT_EQ(r.dwForwardMetric1, TwClientRouteManager::kVirtualInterfaceMetric)
                << std::hex << r.dwForwardDest;
        }
        if (r.dwForwardIfIndex == 2 && r.dwForwardDest == Ip("198.51.100.10")) {
            EXPECT_NE(r.dwForwardMetric1, TwClientRouteManager::kVirtualInterfaceMetric);
        }
    }
    const auto sentBefore = pc.Commands().size();
    EXPECT_EQ(adapter->SetDnsByNetshCmd(), 1);
    ASSERT_EQ(pc.Commands().size(), sentBefore + 1);
    EXPECT_EQ(pc.Commands().back(), "SetDnsByNetshCmd 198.18.0.53 198.18.0.54 7");
    ASSERT_EQ(pc.TapAddresses().size(), 1u);
    EXPECT_EQ(pc.TapAddresses()[0].address, Ip("198.18.0.2"));
    std::vector<DWORD> servers;
    pc.resolver.GetNameServers(&servers);
    EXPECT_EQ(servers, (std::vector<DWORD>{Ip("198.18.0.53"), Ip("198.18.0.54")}));
    EXPECT_TRUE(adapter->CaptureStarted());
    EXPECT_TRUE(adapter->ExistResRoute());
    EXPECT_EQ(adapter->VirtualIfIndex(), 7u);
    EXPECT_TRUE(arpAnswering);
    EXPECT_TRUE(dataPathActive);
    EXPECT_EQ(adapter->ResourceProbeAddress(), HostIp("10.20.255.255"));
    EXPECT_EQ(adapter->NextHopProbeAddress(), HostIp("198.18.0.1"));
    EXPECT_EQ(driver.capture.key.size(), 48u);
    EXPECT_EQ(driver.ipConfig.config.m_IP[0].IpAddress, Ip("198.18.0.2"));
    EXPECT_EQ(driver.ipConfig.config.DnsServer[1], Ip("198.18.0.54"));
    EXPECT_EQ(driver.arpProxy.broadcast, Ip("198.18.0.255"));

    std::vector<MIB_IPFORWARDROW> saved;
    std::string error;
    ASSERT_EQ(service::ReadRouteTableFile(deps.routeFile, &saved, &error), service::RouteFileRead::kOk)
        << error;
    EXPECT_EQ(RouteKeys(saved), RouteKeys(before));

    EXPECT_TRUE(adapter->LogoffConfigAdapter(false));
    EXPECT_EQ(RouteKeys(pc.routes.Rows()), RouteKeys(before));
    EXPECT_EQ(adapter->LastRestoreMissing(), 0u);
    EXPECT_TRUE(pc.TapAddresses().empty()) << "the tunnel's address stayed on the adapter";
    pc.resolver.GetNameServers(&servers);
    EXPECT_EQ(servers, std::vector<DWORD>{Ip("203.0.113.53")});
    EXPECT_FALSE(RouteFileExists());
    EXPECT_FALSE(adapter->CaptureStarted());
    EXPECT_FALSE(arpAnswering);
    EXPECT_FALSE(dataPathActive);

    // A second logoff finds nothing to undo and sends nothing.
    const auto sent = pc.Commands().size();
    EXPECT_TRUE(adapter->LogoffConfigAdapter(false));
    EXPECT_TRUE(adapter->LogoffRecoverAdapterRoute(false));
    EXPECT_EQ(pc.Commands().size(), sent);
    EXPECT_EQ(RouteKeys(pc.routes.Rows()), RouteKeys(before));
}

TEST_F(AdapterSetupTest, FullTunnelKeepsTheGatewayOutsideAndPutsEverythingBack) {
    const auto before = KernelConnectedRoutes();
    auto adapter = Make();
    ASSERT_EQ(Logon(*adapter, TestSession({{0, 0, 0}, {HostIp("198.51.100.10"), 0xFFFFFFFFu, 0}})), 1);
    const auto during = pc.routes.Rows();
    EXPECT_TRUE(HasRoute(during, "0.0.0.0", "0.0.0.0", 7)) << "no default route into the tunnel";
    EXPECT_FALSE(HasRoute(during, "0.0.0.0", "0.0.0.0", 2)) << "the machine's default route stayed";
    EXPECT_TRUE(HasRoute(during, "198.51.100.10", "255.255.255.255", 2, "203.0.113.1"))
        << "the gateway lost its way outside the tunnel";
    EXPECT_FALSE(HasRoute(during, "198.51.100.10", "255.255.255.255", 7));

    EXPECT_FALSE(HasRoute(during, "203.0.113.0", "255.255.255.0", 2)) << "the connected route stayed";

    EXPECT_TRUE(adapter->LogoffConfigAdapter(false));
    EXPECT_EQ(RouteKeys(pc.routes.Rows()), RouteKeys(before));
    EXPECT_EQ(adapter->LastRestoreMissing(), 0u);
    for (const auto& r : pc.routes.Rows()) {
        if (r.dwForwardDest != Ip("203.0.113.0")) continue;
        EXPECT_EQ(r.dwForwardProto, platform::MIB_IPPROTO_LOCAL) << "the connected route came back static";
    }
}

// Through a proxy on the LAN the carrier goes to the proxy: a full tunnel, a pushed route covering
// the proxy and one naming it exactly must not take it into the tunnel. The proxy's host route and
// the gateway's are pinned through the pre-tunnel way, and go at logoff, also after a relogon.
TEST_F(AdapterSetupTest, ProxyAndGatewayArePinnedOutsideTheTunnelAndGoAtLogoff) {
    const auto before = KernelConnectedRoutes();
    auto adapter = Make();
    auto session = TestSession({{0, 0, 0},
                                {HostIp("203.0.113.0"), HostIp("255.255.255.128"), 0},
                                {HostIp("203.0.113.80"), 0xFFFFFFFFu, 0}});
    session.gatewayText = "203.0.113.80";  // the TLS peer is the proxy
    session.peerAddress = HostIp("203.0.113.80");
    session.pinnedHosts = {Ip("203.0.113.80"), Ip("198.51.100.10")};
    ASSERT_EQ(Logon(*adapter, session), 1);
    const auto during = pc.routes.Rows();
    EXPECT_TRUE(HasRoute(during, "203.0.113.80", "255.255.255.255", 2)) << "the proxy is not pinned";
    EXPECT_FALSE(HasRoute(during, "203.0.113.80", "255.255.255.255", 7)) << "the proxy goes into the tunnel";
    EXPECT_TRUE(HasRoute(during, "198.51.100.10", "255.255.255.255", 2, "203.0.113.1"))
        << "the gateway behind the proxy is not pinned";

    // A relogon saves the table from before the session, without the pinned host routes.
    ASSERT_EQ(adapter->SaveSystemRouteToFile(true), 1);
    std::vector<MIB_IPFORWARDROW> saved;
    std::string error;
    ASSERT_EQ(service::ReadRouteTableFile(deps.routeFile, &saved, &error), service::RouteFileRead::kOk)
        << error;
    EXPECT_EQ(RouteKeys(saved), RouteKeys(before));

    EXPECT_TRUE(adapter->LogoffConfigAdapter(false));
    EXPECT_EQ(RouteKeys(pc.routes.Rows()), RouteKeys(before));
}

// The service could not put the machine's name servers back (a full disk, say): the logoff says
// so, to the user and in the last error, for a present and for a deleted adapter alike.
TEST_F(AdapterSetupTest, NameServersThatCannotBePutBackAreReported) {
    for (const bool deleted : {false, true}) {
        SCOPED_TRACE(deleted ? "deleted adapter" : "present adapter");
        auto adapter = Make();
        ASSERT_EQ(Logon(*adapter, TestSession({{HostIp("10.20.0.0"), HostIp("255.255.0.0"), 0}})), 1);
        pc.resolver.FailRestore(platform::kErrorGeneralFailure);
        if (deleted) pc.adapters.Remove(7);
        lastError = 0;
        EXPECT_TRUE(adapter->LogoffConfigAdapter(false));
        EXPECT_EQ(lastError, 58);
        const auto events = ui.Events();
        const auto told = std::count_if(events.begin(), events.end(), [](const std::string& e) {
            return e.rfind(std::to_string(UI_CODE_MESSAGE) + ":", 0) == 0 &&
                   e.find("DNS") != std::string::npos;
        });
        EXPECT_EQ(told, deleted ? 2 : 1);
        pc.resolver.FailRestore(platform::kErrorSuccess);
        EXPECT_EQ(pc.resolver.Restore(), platform::kErrorSuccess);
    }
}

TEST_F(AdapterSetupTest, AdapterDeletedUnderTheSessionLeavesNoTunnelNameServers) {
    auto adapter = Make();
    ASSERT_EQ(Logon(*adapter, TestSession({{HostIp("10.20.0.0"), HostIp("255.255.0.0"), 0}})), 1);
    std::vector<DWORD> servers;
    pc.resolver.GetNameServers(&servers);
    ASSERT_EQ(servers, (std::vector<DWORD>{Ip("198.18.0.53"), Ip("198.18.0.54")}));
    pc.adapters.Remove(7);
    EXPECT_TRUE(adapter->LogoffConfigAdapter(false));
    pc.resolver.GetNameServers(&servers);
    EXPECT_EQ(servers, std::vector<DWORD>{Ip("203.0.113.53")}) << "the tunnel's name servers stayed";
}

// The forced logoff of a closed adapter stops no capture: it releases the adapter, then restores
// the routes; the name servers go all the same, once.
TEST_F(AdapterSetupTest, ForcedLogoffOfADeletedAdapterWithdrawsTheNameServers) {
    auto adapter = Make();
    ASSERT_EQ(Logon(*adapter, TestSession({{HostIp("10.20.0.0"), HostIp("255.255.0.0"), 0}})), 1);
    pc.adapters.Remove(7);
    adapter->ReleaseClosedAdapter();
    EXPECT_TRUE(adapter->LogoffRecoverAdapterRoute(false));
    std::vector<DWORD> servers;
    pc.resolver.GetNameServers(&servers);
    EXPECT_EQ(servers, std::vector<DWORD>{Ip("203.0.113.53")}) << "the tunnel's name servers stayed";
    const std::size_t commands = pc.Commands().size();
    adapter->ReleaseClosedAdapter();
    EXPECT_TRUE(adapter->LogoffConfigAdapter(false));
    EXPECT_EQ(pc.Commands().size(), commands) << "the closed adapter was released twice";
}

TEST_F(AdapterSetupTest, RestoreThatTheServiceOnlyAcknowledgesIsCounted) {
    auto adapter = Make();
    ASSERT_EQ(Logon(*adapter, TestSession({{0, 0, 0}})), 1);
    // From here the service answers every command without doing it.
    pc.answer = std::string("netsh>", 7);
    EXPECT_TRUE(adapter->LogoffConfigAdapter(false));
    EXPECT_EQ(adapter->LastRestoreMissing(), 2u) << "the default and the subnet route were reported back";
}

TEST_F(AdapterSetupTest, GatewayWithoutAHostRouteKeepsTheRouteItIsReachedThrough) {
    // The gateway's best route has no next hop to build a host route on: it stays, the rest goes.
    pc.routes.SetRows({Row("0.0.0.0", "0.0.0.0", "203.0.113.1", 2),
                       Row("203.0.113.0", "255.255.255.0", "203.0.113.5", 2, 100, 3),
                       Row("198.51.100.0", "255.255.255.0", "0.0.0.0", 2, 100, 3)});
    const auto before = pc.routes.Rows();
    auto adapter = Make();
    ASSERT_EQ(Logon(*adapter, TestSession({{0, 0, 0}})), 1);
    const auto during = pc.routes.Rows();
    EXPECT_TRUE(HasRoute(during, "198.51.100.0", "255.255.255.0", 2));
    EXPECT_FALSE(HasRoute(during, "203.0.113.0", "255.255.255.0", 2));
    EXPECT_TRUE(adapter->LogoffConfigAdapter(false));
    EXPECT_EQ(RouteKeys(pc.routes.Rows()), RouteKeys(before));
}

TEST_F(AdapterSetupTest, LogonThatFailsHalfWayTakesBackWhatItDid) {
    const auto before = pc.routes.Rows();
    {
        // The capture does not start: the gateway's host route, added first, goes again.
        driver.captureOk = false;
        auto adapter = Make();
        EXPECT_EQ(Logon(*adapter, TestSession({{HostIp("10.20.0.0"), HostIp("255.255.0.0"), 0}})), 0);
        EXPECT_EQ(lastError, 47);
        EXPECT_EQ(disconnects, 1);
        EXPECT_EQ(ui.Events().back(), "1");
        EXPECT_EQ(RouteKeys(pc.routes.Rows()), RouteKeys(before));
        EXPECT_FALSE(RouteFileExists()) << "a table saved for a failed logon would be put back later";
    }
    {
        // The policy is refused after the address and name servers went in: they go again too.
        driver.captureOk = true;
        policyOk = false;
        auto adapter = Make();
        EXPECT_EQ(Logon(*adapter, TestSession({{HostIp("10.20.0.0"), HostIp("255.255.0.0"), 0}})), 0);
        EXPECT_EQ(lastError, 29);
        EXPECT_EQ(disconnects, 2);
        EXPECT_EQ(RouteKeys(pc.routes.Rows()), RouteKeys(before));
        EXPECT_TRUE(pc.TapAddresses().empty());
        std::vector<DWORD> servers;
        pc.resolver.GetNameServers(&servers);
        EXPECT_EQ(servers, std::vector<DWORD>{Ip("203.0.113.53")});
        EXPECT_FALSE(adapter->CaptureStarted());
    }
    {
        // A session without a master key cannot capture: last error 46, text 164.
        auto adapter = Make();
        auto session = TestSession({});
        session.masterKey.clear();
        EXPECT_EQ(Logon(*adapter, session), 0);
        EXPECT_EQ(lastError, 46);
        const auto events = ui.Events();
        EXPECT_NE(std::find(events.begin(), events.end(), "5:t164"), events.end());
    }
}

TEST_F(AdapterSetupTest, SavedRouteTableForRelogon) {
    auto adapter = Make();
    ASSERT_EQ(adapter->LogonInitAdapter(), 1);
    settings->SetDword(deps.settingsKey, "UseStatic", 1);
    adapter->SetLogonResults(TestSession({{HostIp("10.20.0.0"), HostIp("255.255.0.0"), 0}}), false);
    ASSERT_EQ(adapter->LogonConfigAdapter(false), 1);
    // The tunnel's rows are not part of the machine's table; the length word counts the rest.
    ASSERT_EQ(adapter->SaveSystemRouteToFile(true), 1);
    const std::string bytes = ReadBytes(deps.routeFile);
    std::vector<MIB_IPFORWARDROW> saved;
    std::string error;
    ASSERT_TRUE(service::ParseRouteTableFile(bytes, &saved, &error)) << error;
    DWORD length = 0;
    std::memcpy(&length, bytes.data(), 4);
    EXPECT_EQ(length, 4 + 56 * saved.size());
    for (const auto& r : saved) EXPECT_NE(r.dwForwardIfIndex, 7u);
    // Nor is the session's own host route to the gateway: restored later, it would stay for good.
    EXPECT_FALSE(HasRoute(saved, "198.51.100.10", "255.255.255.255", 2));
    EXPECT_TRUE(HasRoute(pc.routes.Rows(), "198.51.100.10", "255.255.255.255", 2));
    EXPECT_EQ(saved.size(), pc.routes.Rows().size() - 2);

    // Without any default route a relogon writes nothing.
    adapter->LogoffConfigAdapter(false);
    pc.routes.SetRows({Row("203.0.113.0", "255.255.255.0", "203.0.113.5", 2, 100, 3)});
    EXPECT_EQ(adapter->SaveSystemRouteToFile(true), 0);
    EXPECT_FALSE(RouteFileExists());
    // An unreadable table writes nothing either.
    pc.routes.readError = platform::kErrorNotFound;
    EXPECT_EQ(adapter->SaveSystemRouteToFile(false), 0);
    EXPECT_FALSE(RouteFileExists());
}

// A table that cannot be saved leaves the session going, but the log and the user are told: a
// crash would leave its routes.
TEST_F(AdapterSetupTest, ARouteTableThatCannotBeSavedIsToldToTheUser) {
    deps.routeFile = root.Path() + "/missing/SystemRouteTable.dat";
    auto adapter = Make();
    ASSERT_EQ(adapter->LogonInitAdapter(), 1);
    EXPECT_EQ(adapter->SaveSystemRouteToFile(false), 0);
    const auto balloons = ui.Balloons();
    ASSERT_EQ(balloons.size(), 1u);
    EXPECT_NE(balloons[0].find(deps.routeFile), std::string::npos) << balloons[0];
}

TEST_F(AdapterSetupTest, AdapterThatComesLateIsReboundOnceAndResetOnce) {
    deps.osType = 10;
    driver.adapterFromTick = clock.TickMs() + 9000;
    auto adapter = Make();
    EXPECT_EQ(adapter->LogonInitAdapter(), 1);
    EXPECT_EQ(driver.Count("BindAdaptersList"), 1u);
    const auto commands = pc.Commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "resetadapter\n"), 1);
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "ChangeAdapteLevel\n"), 1);
    EXPECT_EQ(driver.Count("SetAdapterCloseEvent"), 1u);
    EXPECT_EQ(ui.Events(), (std::vector<std::string>{"4:t188", "4:t189", "4:t192"}));
}

TEST_F(AdapterSetupTest, AdapterThatNeverComesEndsTheLogonAfterItsLimit) {
    driver.adapterPresent = false;
    auto adapter = Make();
    const std::uint64_t start = clock.TickMs();
    EXPECT_EQ(adapter->LogonInitAdapter(), 0);
    EXPECT_GE(clock.TickMs() - start, 30000u);
    EXPECT_EQ(lastError, 50);
    EXPECT_EQ(driver.Count("BindAdaptersList"), 0u) << "newer systems are not re-bound";
    EXPECT_EQ(ui.Events(), (std::vector<std::string>{"4:t188", "4:t189", "5:t190", "1"}));
}

TEST_F(AdapterSetupTest, CancelEndsTheWaitsForTheAdapterAndForItsAddress) {
    // The waits themselves, on the clock: the user's cancel (a logoff and a quit set the same
    // event) ends each at once. The bound only guards against a hang.
    deps.sleep = nullptr;
    driver.adapterPresent = false;
    auto adapter = Make();
    auto result = std::async(std::launch::async, [&] { return adapter->LogonInitAdapter(); });
    ASSERT_TRUE(clock.WaitForWaiters(1)) << "the logon never waited for the adapter";
    cancel.Set();
    EXPECT_EQ(result.get(), 0);
    EXPECT_FALSE(cancel.IsSet()) << "the cancel event was left set for the next logon";
    EXPECT_EQ(ui.Events(), (std::vector<std::string>{"4:t188", "4:t189", "4:t191", "1"}));

    // An address the service cannot set never shows on the adapter: the wait for it ends too.
    driver.adapterPresent = true;
    pc.answer = std::string("NetshSetipFail>", 16);
    settings->SetDword(deps.settingsKey, "UseStatic", 1);
    auto second = Make();
    second->SetLogonResults(TestSession({}), false);
    auto address = std::async(std::launch::async, [&] { return second->LogonConfigAdapterStaticIpAddr(); });
    ASSERT_TRUE(clock.WaitForWaiters(1)) << "the logon never waited for the address";
    cancel.Set();
    const bool ended = address.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    if (!ended) clock.Advance(deps.timing.adapterAddressLimitMs);  // it ends by its limit then
    EXPECT_TRUE(ended) << "the wait for the address ignored the cancel";
    EXPECT_EQ(address.get(), 0);
    EXPECT_EQ(lastError, 6);
    EXPECT_EQ(ui.Events().back(), "4:t191");
}

TEST_F(AdapterSetupTest, AddressNotGivenByDhcpIsSetStaticallyAndRemembered) {
    auto adapter = Make();
    adapter->SetLogonResults(TestSession({}), false);
    const std::uint64_t start = clock.TickMs();
    EXPECT_EQ(adapter->LogonConfigAdapterStaticIpAddr(), 1);
    EXPECT_GE(clock.TickMs() - start, 15000u);
    DWORD useStatic = 0;
    EXPECT_EQ(settings->GetDword(deps.settingsKey, "UseStatic", &useStatic), platform::kRegOk);
    EXPECT_EQ(useStatic, 1u);
    EXPECT_EQ(adapter->VirtualIfIndex(), 7u);

    // The service cannot set it: the address is handed back to DHCP, "UseStatic" forgotten, and
    // the wait ends with text 315.
    pc.addresses.DeleteIpv4Addresses(7);
    pc.answer = std::string("NetshSetipFail>", 16);
    auto second = Make();
    second->SetLogonResults(TestSession({}), false);
    EXPECT_EQ(second->LogonConfigAdapterStaticIpAddr(), 0);
    EXPECT_EQ(settings->GetDword(deps.settingsKey, "UseStatic", &useStatic), platform::kRegFileNotFound);
    const auto commands = pc.Commands();
    EXPECT_NE(std::find(commands.begin(), commands.end(), "netsh int ipv4 set address name=7 source=dhcp"),
              commands.end());
    EXPECT_NE(std::find(commands.begin(), commands.end(), "netsh int ip reset\n"), commands.end());
    EXPECT_EQ(ui.Events().back(), "5:t315");
}

TEST_F(AdapterSetupTest, SetIpResultsAndMediaState) {
    auto adapter = Make();
    adapter->SetLogonResults(TestSession({}), false);
    EXPECT_EQ(adapter->NetshSetAdapterIP(), 0);
    pc.answer = std::string("NetshSetdnsFail>", 17);
    EXPECT_EQ(adapter->NetshSetAdapterIP(), 2);
    pc.answer = "nonsense";
    EXPECT_EQ(adapter->NetshSetAdapterIP(), 1);

    EXPECT_EQ(adapter->ChangeMediaStatus(1), 1);
    EXPECT_EQ(adapter->GetMediaStatus(), 1);
    EXPECT_EQ(adapter->ChangeMediaStatus(0), 1);
    EXPECT_EQ(adapter->GetMediaStatus(), 0);
    driver.media = 1;
    driver.mediaQueryOk = false;
    EXPECT_EQ(adapter->GetMediaStatus(), 0);

    // A disabled adapter has no index.
    pc.adapters.EditAdapter(7, [](platform::AdapterInfo& a) { a.up = false; });
    EXPECT_EQ(adapter->GetVirtualAdapterIndex(), 0);
}

TEST_F(AdapterSetupTest, DataPathTestSendsFourProbesToEachAddress) {
    auto adapter = Make();
    ASSERT_EQ(Logon(*adapter, TestSession({{HostIp("114.114.114.114"), 0xFFFFFFFFu, 0},
                                           {HostIp("10.20.30.40"), 0xFFFFFFFFu, 0}})),
              1);
    EXPECT_EQ(adapter->ResourceProbeAddress(), HostIp("10.20.30.40")) << "the public resolver was probed";
    EXPECT_TRUE(adapter->TestTransferDataOk());
    // The request is a packed record: its fields are copied out before gtest binds references.
    const auto request = driver.testRequest;
    EXPECT_EQ(static_cast<unsigned>(request.udpPort), 48089u);
    EXPECT_EQ(static_cast<DWORD>(request.resourceAddress), Ip("10.20.30.40"));
    EXPECT_EQ(static_cast<DWORD>(request.virtualAddress), Ip("198.18.0.2"));
    ASSERT_EQ(probes.size(), 8u);
    EXPECT_EQ(probes[0], std::to_string(HostIp("10.20.30.40")) + ":48089: TestProxyData\r\n");
    EXPECT_EQ(probes[1], std::to_string(HostIp("198.18.0.2")) + ":48089: TestVirnetData\r\n");
    EXPECT_EQ(driver.Count("TestProxyInformEnd"), 1u);
    adapter->LogoffConfigAdapter(false);
}

}  // namespace
}  // namespace engine::test
