// TwRouteManager's own decisions over in-memory routes and adapters: which interface a request
// goes to, what happens when the system refuses a step, and that a table that changes under a read
// still comes back whole. The kernel's side of the same calls is in route_manager_test.cpp.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "platform/fake/fake_adapters.h"
#include "platform/fake/fake_route_table.h"
#include "tavish/route_manager.h"

namespace {

DWORD Ip(const char* text) {
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

MIB_IPFORWARDROW Row(const char* dest, const char* mask, const char* hop, DWORD ifIndex, DWORD metric) {
    MIB_IPFORWARDROW r{};
    r.dwForwardDest = Ip(dest);
    r.dwForwardMask = Ip(mask);
    r.dwForwardNextHop = Ip(hop);
    r.dwForwardIfIndex = ifIndex;
    r.dwForwardType = platform::MIB_IPROUTE_TYPE_INDIRECT;
    r.dwForwardProto = platform::MIB_IPPROTO_NETMGMT;
    r.dwForwardMetric1 = metric;
    return r;
}

class RouteManagerUnit : public ::testing::Test {
protected:
    void SetUp() override {
        platform::AdapterInfo lan;
        lan.index = 2;
        lan.name = "lan0";
        lan.addresses.push_back({Ip("198.51.100.1"), Ip("255.255.255.0"), true});
        m_adapters.Put(lan);
        platform::AdapterInfo wan;
        wan.index = 3;
        wan.name = "wan0";
        wan.addresses.push_back({Ip("203.0.113.1"), Ip("255.255.255.0"), true});
        m_adapters.Put(wan);
    }
    bool Has(const MIB_IPFORWARDROW& row) const {
        for (const auto& r : m_routes.Rows()) {
            if (r.dwForwardDest == row.dwForwardDest && r.dwForwardMask == row.dwForwardMask &&
                r.dwForwardNextHop == row.dwForwardNextHop && r.dwForwardIfIndex == row.dwForwardIfIndex) {
                return true;
            }
        }
        return false;
    }

    platform::fake::FakeRouteTable m_routes;
    platform::fake::FakeAdapterList m_adapters;
    TwRouteManager m_rm{m_routes, m_adapters};
};

TEST_F(RouteManagerUnit, RequestsGoToTheAdapterOfTheNextHopOrTheLocalAddress) {
    ROUTE_ADD_REQUEST bySubnet{1, Ip("198.18.1.0"),       Ip("255.255.255.0"), Ip("203.0.113.9"),
                               0, TW_ROUTE_FIND_INTERFACE};
    ASSERT_EQ(m_rm.AddEntry(&bySubnet), 0);
    EXPECT_TRUE(Has(Row("198.18.1.0", "255.255.255.0", "203.0.113.9", 3, 1)));
    // The local address wins over the next hop's subnet.
    ROUTE_ADD_REQUEST byLocal{1,
                              Ip("198.18.2.0"),
                              Ip("255.255.255.0"),
                              Ip("203.0.113.9"),
                              Ip("198.51.100.1"),
                              TW_ROUTE_FIND_INTERFACE};
    ASSERT_EQ(m_rm.AddEntry(&byLocal), 0);
    EXPECT_TRUE(Has(Row("198.18.2.0", "255.255.255.0", "203.0.113.9", 2, 1)));
    ROUTE_ADD_REQUEST nowhere{1, Ip("198.18.3.0"),       Ip("255.255.255.0"), Ip("198.18.200.1"),
                              0, TW_ROUTE_FIND_INTERFACE};
    EXPECT_EQ(m_rm.AddEntry(&nowhere), 1);
    EXPECT_EQ(m_routes.Rows().size(), 2u) << "a request no adapter fits adds nothing";

    m_adapters.readError = platform::kErrorGeneralFailure;
    EXPECT_EQ(m_rm.AddEntry(&bySubnet), 1);
    EXPECT_EQ(m_rm.IsLocalAddress(Ip("198.51.100.7")), 0)
        << "an unreadable adapter list knows no local address";
}

TEST_F(RouteManagerUnit, RefusedDeleteFallsBackToWritingTheRowInvalid) {
    m_routes.SetRows({Row("198.18.1.0", "255.255.255.0", "203.0.113.9", 3, 1)});
    m_routes.deleteError = platform::kErrorAccessDenied;
    ROUTE_DELETE_REQUEST del{1, Ip("198.18.1.0"),       Ip("255.255.255.0"), Ip("203.0.113.9"),
                             0, TW_ROUTE_FIND_INTERFACE};
    EXPECT_EQ(m_rm.DeleteEntry(&del), 0);
    EXPECT_TRUE(m_routes.Rows().empty());
    m_routes.writeError = platform::kErrorAccessDenied;
    m_routes.SetRows({Row("198.18.1.0", "255.255.255.0", "203.0.113.9", 3, 1)});
    EXPECT_EQ(m_rm.DeleteEntry(&del), 1) << "both ways refused is a failure";
}

TEST_F(RouteManagerUnit, SavedDefaultsSurviveAFailedSaveAndComeBackBesideANeighbour) {
    const MIB_IPFORWARDROW first = Row("0.0.0.0", "0.0.0.0", "198.51.100.254", 2, 10);
    const MIB_IPFORWARDROW second = Row("0.0.0.0", "0.0.0.0", "203.0.113.254", 3, 20);
    m_routes.SetRows({first, second, Row("198.18.0.0", "255.255.0.0", "203.0.113.9", 3, 1)});
    ROUTE_SAVE_DEFAULT_REQUEST save{0};
    ASSERT_EQ(m_rm.SaveDefault(&save), 0);
    m_routes.readError = platform::kErrorGeneralFailure;
    EXPECT_EQ(m_rm.SaveDefault(&save), 1);
    EXPECT_EQ(m_rm.DeleteDefault(), 1);
    m_routes.readError = platform::kErrorSuccess;
    ASSERT_EQ(m_rm.DeleteDefault(), 0);
    EXPECT_EQ(m_routes.Rows().size(), 1u);

    // Another default with the first one's metric came meanwhile: that row cannot come back, the
    // other can, and the restore counts only what is really there.
    m_routes.SetRows({Row("0.0.0.0", "0.0.0.0", "198.51.100.200", 2, 10)});
    EXPECT_EQ(m_rm.RestoreDefault(&save), 0);
    EXPECT_FALSE(Has(first));
    EXPECT_TRUE(Has(second));
    m_routes.SetRows(
        {Row("0.0.0.0", "0.0.0.0", "198.51.100.200", 2, 10), Row("0.0.0.0", "0.0.0.0", "9.9.9.9", 3, 20)});
    EXPECT_EQ(m_rm.RestoreDefault(&save), 1) << "neither saved row is in the table";
}

TEST_F(RouteManagerUnit, SubnetRoutesIncludeTheBroadcastRow) {
    m_routes.SetRows({Row("198.51.100.0", "255.255.255.0", "198.51.100.1", 2, 0),
                      Row("198.51.100.255", "255.255.255.255", "198.51.100.1", 2, 0),
                      Row("198.51.101.255", "255.255.255.255", "198.51.100.1", 2, 0)});
    ASSERT_EQ(m_rm.SaveLocalSubnetRoute(Ip("198.51.100.0"), Ip("255.255.255.0")), 0);
    ASSERT_EQ(m_rm.DeleteLocalSubnetRoute(Ip("198.51.100.0"), Ip("255.255.255.0")), 0);
    ASSERT_EQ(m_routes.Rows().size(), 1u);
    EXPECT_EQ(m_routes.Rows()[0].dwForwardDest, Ip("198.51.101.255"));
    ASSERT_EQ(m_rm.RestoreLocalSubnetRoute(), 0);
    EXPECT_EQ(m_routes.Rows().size(), 3u);
}

TEST_F(RouteManagerUnit, HostRoutesFollowTheBestRouteAndSkipOnLinkHosts) {
    m_routes.SetRows({Row("0.0.0.0", "0.0.0.0", "203.0.113.254", 3, 10),
                      Row("198.51.100.0", "255.255.255.0", "198.51.100.1", 2, 0)});
    ASSERT_EQ(m_rm.AddHostRoute("198.18.3.3", 0), 0);
    EXPECT_TRUE(Has(Row("198.18.3.3", "255.255.255.255", "203.0.113.254", 3, 1)));
    // A host on a local subnet, or behind a next hop on one, is left alone: success, nothing removed.
    const auto before = m_routes.Rows().size();
    EXPECT_EQ(m_rm.DeleteHostRoute("198.51.100.77", 0), 0);
    EXPECT_EQ(m_rm.DeleteHostRoute("198.18.3.3", 0), 0);
    EXPECT_EQ(m_routes.Rows().size(), before);
    EXPECT_EQ(m_rm.DeleteHostRoute(nullptr, 0), 1);
    m_routes.SetRows({});
    EXPECT_EQ(m_rm.AddHostRoute("198.18.3.3", 0), 1) << "no route to follow";
}

// A table that gains a row at every read, as a busy machine's may between the size question and
// the read.
class GrowingTable final : public platform::RouteTable {
public:
    DWORD ReadForwardRows(std::vector<MIB_IPFORWARDROW>* rows) override {
        m_rows.push_back(
            Row("198.18.0.0", "255.255.255.255", "203.0.113.9", 3, static_cast<DWORD>(m_rows.size())));
        *rows = m_rows;
        return platform::kErrorSuccess;
    }
    DWORD CreateIpForwardEntry(const MIB_IPFORWARDROW*) override { return platform::kErrorNotSupported; }
    DWORD DeleteIpForwardEntry(const MIB_IPFORWARDROW*) override { return platform::kErrorNotSupported; }
    DWORD SetIpForwardEntry(const MIB_IPFORWARDROW*) override { return platform::kErrorNotSupported; }

private:
    std::vector<MIB_IPFORWARDROW> m_rows;
};

TEST(RouteManagerTable, AGrowingTableIsAskedAgainAndNeverOverrunsItsBuffer) {
    GrowingTable growing;
    platform::fake::FakeAdapterList adapters;
    TwRouteManager rm(growing, adapters);
    // Every read is one row longer than the size just asked, so each attempt is too small.
    EXPECT_EQ(rm.GetSystemRouteTable(), nullptr);

    platform::fake::FakeRouteTable steady;
    steady.SetRows({Row("198.18.0.0", "255.255.0.0", "203.0.113.9", 3, 1)});
    TwRouteManager ok(steady, adapters);
    MIB_IPFORWARDTABLE* table = ok.GetSystemRouteTable();
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->dwNumEntries, 1u);
    EXPECT_EQ(table->table[0].dwForwardMask, Ip("255.255.0.0"));
    ok.FreeRouteTable(table);
}

}  // namespace
