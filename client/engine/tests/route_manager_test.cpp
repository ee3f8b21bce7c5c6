// The engine's route manager over in-memory tables: what it sends the service, what it keeps.
#include <gtest/gtest.h>

#include "engine/client_route_manager.h"
#include "engine/netsh_client.h"
#include "platform/fake/fake_adapters.h"
#include "platform/fake/fake_route_table.h"

namespace engine {
namespace {

DWORD Net(unsigned a, unsigned b, unsigned c, unsigned d) { return a | b << 8 | c << 16 | d << 24; }

MIB_IPFORWARDROW Row(DWORD dest, DWORD mask, DWORD nextHop, DWORD ifIndex, DWORD metric = 10) {
    MIB_IPFORWARDROW r{};
    r.dwForwardDest = dest;
    r.dwForwardMask = mask;
    r.dwForwardNextHop = nextHop;
    r.dwForwardIfIndex = ifIndex;
    r.dwForwardType = 4;
    r.dwForwardMetric1 = metric;
    return r;
}

class RouteManagerTest : public ::testing::Test {
protected:
    RouteManagerTest()
        : manager(
              routes, adapters, [this](const std::string& c) { return sent.push_back(c), reply; },
              [](const std::string& host) { return host == "gw.example" ? Net(203, 0, 113, 200) : 0u; }) {
        platform::AdapterInfo eth;
        eth.index = 2;
        eth.name = "eth0";
        eth.addresses.push_back({Net(203, 0, 113, 5), Net(255, 255, 255, 0), true});
        adapters.Put(eth);
        manager.SetVirtualIfIndex(7);
        manager.SetDefaultMetric(25);
    }
    platform::fake::FakeRouteTable routes;
    platform::fake::FakeAdapterList adapters;
    std::vector<std::string> sent;
    int reply = kNetshDone;  // the service's answer to every command
    TwClientRouteManager manager;
};

// A request that names no metric gets the virtual interface's on that interface, the default
// metric on any other.
TEST_F(RouteManagerTest, VirtualInterfaceRoutesCarryItsMetric) {
    platform::AdapterInfo tap;
    tap.index = 7;
    tap.name = "qel0";
    tap.addresses.push_back({Net(198, 18, 0, 2), Net(255, 255, 255, 0), true});
    adapters.Put(tap);
    RouteRequest tunnel{kRouteKindAddHost, Net(10, 20, 0, 0), Net(255, 255, 0, 0), 0, Net(198, 18, 0, 2), -1};
    RouteRequest physical{
        kRouteKindAddHost, Net(10, 30, 0, 0), Net(255, 255, 0, 0), Net(203, 0, 113, 1), 0, -1};
    EXPECT_EQ(manager.AddEntry(&tunnel, 0), 0);
    EXPECT_EQ(manager.AddEntry(&physical, 0), 0);
    EXPECT_EQ(manager.AddEntry(&tunnel, 40), 0);
    EXPECT_EQ(sent,
              (std::vector<std::string>{
                  TwClientRouteManager::RouteCommand("addroute", Net(10, 20, 0, 0), Net(255, 255, 0, 0), 7, 0,
                                                     TwClientRouteManager::kVirtualInterfaceMetric, 3),
                  TwClientRouteManager::RouteCommand("addroute", Net(10, 30, 0, 0), Net(255, 255, 0, 0), 2,
                                                     Net(203, 0, 113, 1), 25, 3),
                  TwClientRouteManager::RouteCommand("addroute", Net(10, 20, 0, 0), Net(255, 255, 0, 0), 7, 0,
                                                     40, 3)}));
    EXPECT_EQ(manager.PrepareRouteEntry(7), TwClientRouteManager::kVirtualInterfaceMetric);
    EXPECT_EQ(manager.PrepareRouteEntry(2), 0u);
}

TEST_F(RouteManagerTest, AdaptersAreFoundByTheirHardwareAddress) {
    adapters.EditAdapter(2, [](platform::AdapterInfo& a) {
        a.mac = {0x52, 0x54, 0x00, 0x01, 0x02, 0x03};
        a.macLength = 6;
    });
    const BYTE mac[6] = {0x52, 0x54, 0x00, 0x01, 0x02, 0x03};
    const BYTE other[6] = {0x52, 0x54, 0x00, 0x01, 0x02, 0x04};
    char name[16] = {};
    int index = 0;
    EXPECT_EQ(GetIfNameByMacAddr(adapters, mac, name, sizeof name), 1);
    EXPECT_STREQ(name, "eth0");
    EXPECT_EQ(GetIfIndexByMacAddr(adapters, mac, &index), 1);
    EXPECT_EQ(index, 2);
    char tight[4] = {'x', 0, 0, 0};
    EXPECT_EQ(GetIfNameByMacAddr(adapters, mac, tight, sizeof tight), 0) << "eth0 and its NUL need 5";
    EXPECT_EQ(tight[0], 'x');
    EXPECT_EQ(GetIfNameByMacAddr(adapters, other, name, sizeof name), 0);
    index = -1;
    EXPECT_EQ(GetIfIndexByMacAddr(adapters, other, &index), 0);
    EXPECT_EQ(index, -1);
}

TEST_F(RouteManagerTest, EveryDeletedRowIsKeptAndRestored) {
    std::vector<MIB_IPFORWARDROW> table;
    for (unsigned i = 0; i < 25; ++i)
        table.push_back(Row(Net(10, i, 0, 0), Net(255, 255, 0, 0), Net(203, 0, 113, 1), 2));
    table.push_back(Row(Net(203, 0, 113, 9), 0xFFFFFFFFu, 0, 2));  // host routes stay
    table.push_back(Row(Net(127, 0, 0, 0), Net(255, 0, 0, 0), 0, 1));
    manager.SaveAndDeleteAllSubnetRoute(table);
    EXPECT_EQ(sent.size(), 25u);
    EXPECT_EQ(manager.AllSubnetRoutes().size(), 25u);
    sent.clear();
    manager.RestoreAllSubnetRoute();
    ASSERT_EQ(sent.size(), 25u);
    EXPECT_EQ(sent[24], TwClientRouteManager::RouteCommand("addroute", Net(10, 24, 0, 0), Net(255, 255, 0, 0),
                                                           2, Net(203, 0, 113, 1), 10, 3));
    EXPECT_TRUE(manager.AllSubnetRoutes().empty());

    for (unsigned i = 0; i < 30; ++i)
        manager.SaveAndDeleteConflictRoute(Row(Net(172, 16, i, 0), Net(255, 255, 255, 0), 0, 2));
    sent.clear();
    manager.RestoreConflictRoute();
    EXPECT_EQ(sent.size(), 30u);
}

TEST_F(RouteManagerTest, NextHopComesFromTheLongestPrefix) {
    routes.SetRows(
        {Row(Net(10, 0, 0, 0), Net(255, 0, 0, 0), Net(203, 0, 113, 1), 2),
         Row(Net(10, 1, 0, 0), Net(255, 255, 0, 0), Net(203, 0, 113, 2), 2),
         Row(0, 0, Net(203, 0, 113, 3), 2),
         Row(Net(10, 1, 2, 0), Net(255, 255, 255, 0), Net(198, 18, 0, 1), 7),  // the tunnel's: never
         Row(Net(10, 1, 0, 0), Net(255, 255, 128, 0), Net(203, 0, 113, 4), 2)});
    std::vector<NextHopCandidate> candidates;
    EXPECT_EQ(manager.GetRouteNextHop(Net(10, 1, 2, 3), &candidates), Net(203, 0, 113, 4));
    EXPECT_EQ(candidates.size(), 1u);
    // A mask with the high bit set compares as the wide mask it is, not as a negative number.
    routes.SetRows({Row(Net(128, 0, 0, 0), Net(128, 0, 0, 0), Net(203, 0, 113, 8), 2),
                    Row(Net(128, 0, 0, 0), Net(255, 255, 255, 0), Net(203, 0, 113, 9), 2)});
    EXPECT_EQ(manager.GetRouteNextHop(Net(128, 0, 0, 1), &candidates), Net(203, 0, 113, 9));
}

TEST_F(RouteManagerTest, HostRouteToTheGateway) {
    routes.SetRows({Row(0, 0, Net(198, 18, 0, 1), 7)});
    EXPECT_EQ(manager.AddHostRoute("gw.example", 0), 1);  // only the tunnel contains it: nothing sent
    EXPECT_TRUE(sent.empty());
    routes.SetRows({Row(0, 0, Net(198, 18, 0, 1), 7), Row(0, 0, Net(203, 0, 113, 1), 2, 0)});
    EXPECT_EQ(manager.AddHostRoute("gw.example", 0), 0);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0],
              TwClientRouteManager::RouteCommand("addroute", Net(203, 0, 113, 200), 0xFFFFFFFFu, 2,
                                                 Net(203, 0, 113, 1), 25, 3));  // metric 0: the default
    EXPECT_EQ(manager.AddHostRoute("unknown.example", 0), 1);
}

TEST_F(RouteManagerTest, EntryFindsItsInterfaceFromTheNextHopOrLocalAddress) {
    RouteRequest request{
        kRouteKindDeleteHost, Net(198, 51, 100, 0), Net(255, 255, 255, 0), Net(203, 0, 113, 1), 0, -1};
    EXPECT_EQ(manager.DeleteEntry(&request, 5), 0);
    EXPECT_EQ(sent.back(),
              TwClientRouteManager::RouteCommand("delroute", Net(198, 51, 100, 0), Net(255, 255, 255, 0), 2,
                                                 Net(203, 0, 113, 1), 5, 3));
    request.nextHop = Net(192, 0, 2, 1);  // on no adapter's network
    EXPECT_EQ(manager.DeleteEntry(&request, 5), 1);
    request.localAddress = Net(203, 0, 113, 5);
    EXPECT_EQ(manager.DeleteEntry(&request, 5), 0);
    // The service could not make or remove the route ("NetshRoutefail>"): a failure.
    reply = kNetshRouteFail;
    const std::size_t before = sent.size();
    EXPECT_EQ(manager.DeleteEntry(&request, 5), 1);
    EXPECT_EQ(manager.AddEntry(&request, 5), 1);
    EXPECT_EQ(sent.size(), before + 2);
    reply = kNetshDone;
    EXPECT_EQ(manager.AddEntry(nullptr, 0), 1);
    EXPECT_TRUE(manager.IsLocalSubnet(Net(203, 0, 113, 77)));
    EXPECT_FALSE(manager.IsLocalSubnet(Net(203, 0, 114, 77)));
}

TEST_F(RouteManagerTest, LocalSubnetRoutesAndBroadcast) {
    routes.SetRows({Row(Net(203, 0, 113, 0), Net(255, 255, 255, 0), 0, 2),
                    Row(Net(203, 0, 113, 255), 0xFFFFFFFFu, 0, 2), Row(0, 0, Net(203, 0, 113, 1), 2)});
    manager.SaveLocalSubnetRoute(Net(203, 0, 113, 0), Net(255, 255, 255, 0));
    manager.SaveDefaultRoute();
    EXPECT_EQ(manager.LocalSubnetRoutes().size(), 2u);
    EXPECT_EQ(manager.DefaultRoutes().size(), 1u);
    manager.DeleteLocalSubnetRoute(Net(203, 0, 113, 0), Net(255, 255, 255, 0));
    manager.RestoreLocalSubnetRoute();
    EXPECT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[2].rfind("addroute", 0), 0u);
}

}  // namespace
}  // namespace engine
