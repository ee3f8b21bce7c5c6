// The pipe commands' effects over in-memory facilities: the virtual adapter found by its address,
// SetIP's retry and failures, name servers, link, routes and the auto-start entry.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "service/netsh_operations.h"
#include "test_machine.h"
#include "testsupport/temp_dir.h"

namespace service {
namespace {

DWORD Ip(const char* text) {
    DWORD a = 0;
    EXPECT_TRUE(ParseDottedAddress(text, &a)) << text;
    return a;
}

class NoLauncher final : public ClientLauncher {
public:
    bool Launch(const std::vector<std::string>& args) override {
        launches.push_back(args);
        return true;
    }
    std::vector<std::vector<std::string>> launches;
};

class OperationsTest : public ::testing::Test {
protected:
    OperationsTest() : facilities(machine.Facilities()) {
        facilities.recreateAdapter = [this] { return ++recreations, 0; };
        options.autostartDir = dir.Path() + "/autostart";
        options.programDir = "/opt/qel/bin";
        options.sleep = [this](DWORD ms) {
            now += ms;
            if (onSleep) onSleep();
        };
        options.tickMs = [this] { return now; };
        platform::AdapterInfo eth;
        eth.index = 2;
        eth.name = "eth0";
        eth.macLength = 6;
        eth.mac = {0x52, 0x54, 0, 1, 2, 3};
        adapters.Put(eth);
    }
    void AddTap() { machine.PutTap(Ip("198.18.9.9"), Ip("255.255.0.0")); }
    std::vector<platform::AdapterAddress> TapAddresses() {
        std::vector<platform::AdapterInfo> list;
        adapters.GetAdapters(&list);
        for (const auto& a : list) {
            if (a.index == 7) return a.addresses;
        }
        return {};
    }

    test::FakeMachine machine;
    platform::fake::FakeRouteTable& routes = machine.routes;
    platform::fake::FakeAdapterList& adapters = machine.adapters;
    platform::fake::FakeAddressConfig& addresses = machine.addresses;
    platform::fake::FakeResolver& resolver = machine.resolver;
    platform::fake::FakeLinkControl& links = machine.links;
    ServiceFacilities facilities;
    NetshOperationsOptions options;
    NoLauncher launcher;
    testsupport::TempDir dir;
    std::uint64_t now = 5000;
    std::function<void()> onSleep;
    int recreations = 0;
};

TEST_F(OperationsTest, SetIpReplacesTheAddressesAndSetsTheNameServers) {
    AddTap();
    resolver.SetMachineServers({Ip("203.0.113.53")});
    SystemNetshOperations ops(facilities, launcher, options);
    EXPECT_EQ(ops.SetIP("198.18.0.2", "255.255.255.0", "198.18.0.53", "198.18.0.54"), SetIpResult::kDone);
    const auto a = TapAddresses();
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].address, Ip("198.18.0.2"));
    EXPECT_EQ(a[0].mask, Ip("255.255.255.0"));
    std::vector<DWORD> servers;
    resolver.GetNameServers(&servers);
    EXPECT_EQ(servers, (std::vector<DWORD>{Ip("198.18.0.53"), Ip("198.18.0.54")}));
    EXPECT_EQ(resolver.Calls(), (std::vector<std::string>{"set qel0 2"}));

    // "0" for both servers withdraws the tunnel's: the machine's own come back.
    EXPECT_EQ(ops.SetIP("198.18.0.2", "255.255.255.0", "0", "0"), SetIpResult::kDone);
    resolver.GetNameServers(&servers);
    EXPECT_EQ(servers, (std::vector<DWORD>{Ip("203.0.113.53")}));
}

// After a crash's restore the adapter may keep its address but not its connected route: the
// address counts as set only with that route, else it is set again (which brings the route).
TEST_F(OperationsTest, SetIpSkipsOnlyAnAdapterThatIsWhole) {
    AddTap();
    SystemNetshOperations ops(facilities, launcher, options);
    ASSERT_EQ(ops.SetIP("198.18.0.2", "255.255.255.0", "0", "0"), SetIpResult::kDone);
    MIB_IPFORWARDROW connected{};
    connected.dwForwardDest = Ip("198.18.0.0");
    connected.dwForwardMask = Ip("255.255.255.0");
    connected.dwForwardNextHop = Ip("198.18.0.2");
    connected.dwForwardIfIndex = 7;
    machine.routes.SetRows({connected});
    // A rewrite now would fail: the whole adapter is left alone and the SetIP succeeds.
    addresses.writeError = platform::kErrorAccessDenied;
    EXPECT_EQ(ops.SetIP("198.18.0.2", "255.255.255.0", "0", "0"), SetIpResult::kDone);
    // Without its connected route the address is set again.
    machine.routes.SetRows({});
    EXPECT_EQ(ops.SetIP("198.18.0.2", "255.255.255.0", "0", "0"), SetIpResult::kAddressFailed);
    addresses.writeError = platform::kErrorSuccess;
    EXPECT_EQ(ops.SetIP("198.18.0.2", "255.255.255.0", "0", "0"), SetIpResult::kDone);
}

TEST_F(OperationsTest, SetIpWaitsForTheAdapterUpToItsLimit) {
    SystemNetshOperations ops(facilities, launcher, options);
    int sleeps = 0;
    onSleep = [&] {
        if (++sleeps == 3) AddTap();  // the adapter appears during the third wait
    };
    EXPECT_EQ(ops.SetIP("198.18.0.2", "255.255.255.0", "198.18.0.53", "0"), SetIpResult::kDone);
    EXPECT_EQ(sleeps, 3);

    platform::fake::FakeAdapterList empty;
    facilities.network.adapters = &empty;
    SystemNetshOperations never(facilities, launcher, options);
    sleeps = 0;
    onSleep = [&] { ++sleeps; };
    EXPECT_EQ(never.SetIP("198.18.0.2", "255.255.255.0", "198.18.0.53", "0"), SetIpResult::kAddressFailed);
    EXPECT_EQ(sleeps, 11);  // tries at 0..10 s, gives up once more than 10 s have passed
}

TEST_F(OperationsTest, WithdrawalReachesTheResolverAlsoWithoutTheAdapter) {
    AddTap();
    resolver.SetMachineServers({Ip("203.0.113.53")});
    SystemNetshOperations ops(facilities, launcher, options);
    EXPECT_EQ(ops.SetIP("198.18.9.9", "255.255.0.0", "198.18.0.53", "0"), SetIpResult::kDone);
    // The adapter is deleted under the session: the withdrawal still puts the machine's name
    // servers back, at once and without waiting for an adapter that is gone.
    platform::fake::FakeAdapterList empty;
    facilities.network.adapters = &empty;
    SystemNetshOperations gone(facilities, launcher, options);
    int sleeps = 0;
    onSleep = [&] { ++sleeps; };
    EXPECT_EQ(gone.SetIP("198.18.9.9", "255.255.0.0", "0", "0"), SetIpResult::kAddressFailed);
    EXPECT_EQ(sleeps, 0);
    std::vector<DWORD> servers;
    resolver.GetNameServers(&servers);
    EXPECT_EQ(servers, (std::vector<DWORD>{Ip("203.0.113.53")}));
}

TEST_F(OperationsTest, SetIpReportsAddressAndNameServerFailures) {
    AddTap();
    SystemNetshOperations ops(facilities, launcher, options);
    addresses.writeError = platform::kErrorAccessDenied;
    int sleeps = 0;
    onSleep = [&] { ++sleeps; };
    EXPECT_EQ(ops.SetIP("198.18.0.2", "255.255.255.0", "0", "0"), SetIpResult::kAddressFailed);
    EXPECT_EQ(sleeps, 0);  // a refusal is not worth retrying
    addresses.writeError = platform::kErrorSuccess;
    EXPECT_EQ(ops.SetIP("198.18.0.2", "255.0.255.0", "0", "0"),
              SetIpResult::kAddressFailed);  // holes in the mask
    resolver.FailChanges(platform::kErrorGeneralFailure);
    EXPECT_EQ(ops.SetIP("198.18.0.2", "255.255.255.0", "198.18.0.53", "0"), SetIpResult::kDnsFailed);
}

TEST_F(OperationsTest, AdapterCommandsActOnTheVirtualAdapterOnly) {
    SystemNetshOperations ops(facilities, launcher, options);
    ops.EnableAdapter(false);  // no adapter yet: nothing changes
    EXPECT_TRUE(links.Calls().empty());
    EXPECT_EQ(recreations, 0);
    // Enabling first has the daemon make a deleted adapter again, then brings its link up.
    facilities.recreateAdapter = [this] { return AddTap(), ++recreations, 1; };
    SystemNetshOperations again(facilities, launcher, options);
    again.EnableAdapter(true);
    EXPECT_EQ(recreations, 1);
    again.EnableAdapter(false);
    ops.FlushNeighbours();
    ops.UseDhcpAddress(2);  // not the virtual adapter: refused
    EXPECT_EQ(TapAddresses().size(), 1u);
    ops.ResetAdapterAddress();
    EXPECT_TRUE(TapAddresses().empty());
    EXPECT_EQ(links.Calls(), (std::vector<std::string>{"up 7", "down 7", "flush 7", "down 7", "up 7"}));
}

TEST_F(OperationsTest, NameServersByInterfaceIndex) {
    AddTap();
    SystemNetshOperations ops(facilities, launcher, options);
    ops.SetDnsByNetshCmd("198.18.0.53", "198.18.0.54", 7);
    ops.SetDnsByNetshCmd("0", "0", 7);
    ops.SetDnsByNetshCmd("198.18.0.53", "0", 99);  // no such interface
    EXPECT_EQ(resolver.Calls(), (std::vector<std::string>{"set qel0 1", "add qel0"}));
}

TEST_F(OperationsTest, RoutesGoToTheTableWithTheirFields) {
    SystemNetshOperations ops(facilities, launcher, options);
    EXPECT_EQ(ops.AddRoute({0, 0, 16843009, 12, 4, 1}), 0u);
    auto rows = routes.Rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].dwForwardNextHop, 16843009u);
    EXPECT_EQ(rows[0].dwForwardIfIndex, 12u);
    EXPECT_EQ(rows[0].dwForwardProto, 3u);
    EXPECT_EQ(rows[0].dwForwardType, 4u);
    EXPECT_EQ(rows[0].dwForwardMetric1, 1u);
    EXPECT_EQ(rows[0].dwForwardMetric5, 0xFFFFFFFFu);
    EXPECT_EQ(ops.SetRoute({0, 0, 16843009, 12, 4, 30}), 0u);
    EXPECT_EQ(routes.Rows()[0].dwForwardMetric1, 30u);
    EXPECT_EQ(ops.DeleteRoute({0, 0, 16843009, 12, 4, 30}), 0u);
    EXPECT_TRUE(routes.Rows().empty());
    EXPECT_NE(ops.DeleteRoute({0, 0, 16843009, 12, 4, 30}), 0u);
}

// A connected route that a client moved aside and adds back is the kernel's again; anything
// else it adds is a route of its own.
TEST_F(OperationsTest, ConnectedRouteComesBackAsTheKernels) {
    adapters.EditAdapter(2, [](platform::AdapterInfo& a) {
        a.addresses.push_back({Ip("203.0.113.5"), Ip("255.255.255.0"), true});
    });
    SystemNetshOperations ops(facilities, launcher, options);
    const DWORD net = Ip("203.0.113.0"), mask = Ip("255.255.255.0"), own = Ip("203.0.113.5");
    struct Case {
        RouteRecord record;
        DWORD protocol;
    } cases[] = {
        {{net, mask, own, 2, 3, 0}, 2},                   // the connected route itself
        {{Ip("10.1.0.0"), mask, own, 2, 3, 0}, 3},        // another network from the address
        {{net, Ip("255.255.255.128"), own, 2, 3, 0}, 3},  // a part of the subnet
        {{net, mask, own, 2, 3, 5}, 3},                   // a metric of its own
        {{net, mask, Ip("203.0.113.1"), 2, 3, 0}, 3},     // through a gateway
        {{net, mask, own, 7, 3, 0}, 3},                   // on another interface
        {{net, mask, own, 2, 4, 0}, 3},                   // indirect
    };
    for (const auto& c : cases) {
        routes.SetRows({});
        EXPECT_EQ(ops.AddRoute(c.record), 0u);
        ASSERT_EQ(routes.Rows().size(), 1u);
        EXPECT_EQ(routes.Rows()[0].dwForwardProto, c.protocol)
            << "destination " << c.record.destination << " mask " << c.record.mask << " next hop "
            << c.record.nextHop << " interface " << c.record.ifIndex << " metric " << c.record.metric;
    }
}

// The default-route switch of an interface: on, its default routes leave the table and are kept;
// off, they come back as they were; a switch already in its state writes nothing.
TEST_F(OperationsTest, DefaultRouteSwitchKeepsAndPutsBackTheInterfacesDefaultRoutes) {
    MIB_IPFORWARDROW physical{};
    physical.dwForwardNextHop = Ip("203.0.113.1");
    physical.dwForwardIfIndex = 2;
    physical.dwForwardType = 4;
    physical.dwForwardProto = 3;
    physical.dwForwardMetric1 = 100;
    MIB_IPFORWARDROW tunnel = physical;
    tunnel.dwForwardNextHop = Ip("198.18.0.1");
    tunnel.dwForwardIfIndex = 7;
    tunnel.dwForwardMetric1 = 1;
    MIB_IPFORWARDROW lan = physical;
    lan.dwForwardDest = Ip("203.0.113.0");
    lan.dwForwardMask = Ip("255.255.255.0");
    lan.dwForwardNextHop = 0;
    routes.SetRows({physical, tunnel, lan});
    SystemNetshOperations ops(facilities, launcher, options);

    ops.SetDisableDefRoute(2, 1);
    auto rows = routes.Rows();
    ASSERT_EQ(rows.size(), 2u);
    for (const auto& r : rows) EXPECT_FALSE(r.dwForwardDest == 0 && r.dwForwardIfIndex == 2);
    ops.SetDisableDefRoute(2, 1);  // nothing left to take out
    EXPECT_EQ(routes.Rows().size(), 2u);
    ops.SetDisableDefRoute(9, 0);  // nothing kept for that interface
    EXPECT_EQ(routes.Rows().size(), 2u);

    ops.SetDisableDefRoute(2, 0);
    rows = routes.Rows();
    ASSERT_EQ(rows.size(), 3u);
    bool back = false;
    for (const auto& r : rows) {
        if (r.dwForwardDest == 0 && r.dwForwardIfIndex == 2) {
            back = true;
            EXPECT_EQ(r.dwForwardNextHop, physical.dwForwardNextHop);
            EXPECT_EQ(r.dwForwardMetric1, 100u);
        }
    }
    EXPECT_TRUE(back);
    ops.SetDisableDefRoute(2, 0);  // put back once only
    EXPECT_EQ(routes.Rows().size(), 3u);

    // Taken out, put back by someone else, taken out again: kept and restored once.
    ops.SetDisableDefRoute(2, 1);
    routes.SetRows({physical, tunnel, lan});
    ops.SetDisableDefRoute(2, 1);
    EXPECT_EQ(routes.Rows().size(), 2u);
    ops.SetDisableDefRoute(2, 0);
    EXPECT_EQ(routes.Rows().size(), 3u);
}

TEST_F(OperationsTest, AutostartEntryNamesTheServicesOwnFolder) {
    SystemNetshOperations ops(facilities, launcher, options);
    ops.SetAutoExec();
    std::ifstream in(options.autostartDir + "/" + kAutostartFileName);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("Exec=\"/opt/qel/bin/VornClient\" -autologon\n"), std::string::npos);
    ops.NotSetAutoExec();
    EXPECT_FALSE(std::ifstream(options.autostartDir + "/" + kAutostartFileName).good());
    ops.StartClient();
    EXPECT_EQ(launcher.launches, (std::vector<std::vector<std::string>>{{}}));
}

}  // namespace
}  // namespace service
