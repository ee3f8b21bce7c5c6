// TwRouteManager against the kernel's table, in a network namespace of the test's own.
#include "tavish/route_manager.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <tuple>
#include <vector>

#include "testsupport/command.h"
#include "testsupport/netns.h"

namespace {

DWORD Ip(const char* text) {
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

std::vector<MIB_IPFORWARDROW> Rows() {
    std::vector<MIB_IPFORWARDROW> rows;
    EXPECT_EQ(platform::ReadForwardRows(&rows), platform::kErrorSuccess);
    return rows;
}

std::vector<MIB_IPFORWARDROW> SortedRows() {
    auto rows = Rows();
    std::sort(rows.begin(), rows.end(), [](const MIB_IPFORWARDROW& a, const MIB_IPFORWARDROW& b) {
        return std::memcmp(&a, &b, sizeof(a)) < 0;
    });
    return rows;
}

bool SameTable(const std::vector<MIB_IPFORWARDROW>& a, const std::vector<MIB_IPFORWARDROW>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(MIB_IPFORWARDROW)) == 0;
}

int CountDefaults() {
    int n = 0;
    for (const auto& r : Rows()) n += (r.dwForwardDest == 0 && r.dwForwardMask == 0) ? 1 : 0;
    return n;
}

// Two veth ends in the namespace: v0 on 198.51.100.0/24, v1 on 203.0.113.0/24.
class RouteNetns : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::IsRoot()) GTEST_SKIP() << "needs root for a network namespace";
        m_ns = std::make_unique<testsupport::NetnsScope>();
        ASSERT_TRUE(m_ns->Ok());
        using testsupport::Run;
        ASSERT_EQ(Run({"ip", "link", "add", "v0", "type", "veth", "peer", "name", "v1"}), 0);
        ASSERT_EQ(Run({"ip", "addr", "add", "198.51.100.1/24", "dev", "v0"}), 0);
        ASSERT_EQ(Run({"ip", "addr", "add", "203.0.113.1/24", "dev", "v1"}), 0);
        ASSERT_EQ(Run({"ip", "link", "set", "v0", "up"}), 0);
        ASSERT_EQ(Run({"ip", "link", "set", "v1", "up"}), 0);
        m_v0 = if_nametoindex("v0");
        m_v1 = if_nametoindex("v1");
        ASSERT_NE(m_v0, 0u);
    }
    void TearDown() override { m_ns.reset(); }

    ROUTE_ADD_REQUEST Request(const char* dest, const char* mask, const char* hop, DWORD ifIndex) {
        return ROUTE_ADD_REQUEST{1, Ip(dest), Ip(mask), Ip(hop), 0, ifIndex};
    }

    std::unique_ptr<testsupport::NetnsScope> m_ns;
    DWORD m_v0 = 0, m_v1 = 0;
    TwRouteManager m_rm;
};

TEST(RouteRowLayout, RowAndTableAreByteExact) {
    MIB_IPFORWARDROW row;
    DWORD* words = reinterpret_cast<DWORD*>(&row);
    for (DWORD i = 0; i < 14; ++i) words[i] = 0x01020300u + i;
    unsigned char bytes[56];
    std::memcpy(bytes, &row, sizeof(bytes));
    for (int i = 0; i < 14; ++i) {
        // little-endian 32-bit fields, one after the other, no padding
        EXPECT_EQ(bytes[i * 4 + 0], static_cast<unsigned char>(i));
        EXPECT_EQ(bytes[i * 4 + 1], 0x03);
        EXPECT_EQ(bytes[i * 4 + 2], 0x02);
        EXPECT_EQ(bytes[i * 4 + 3], 0x01);
    }
    EXPECT_EQ(row.dwForwardDest, 0x01020300u);
    EXPECT_EQ(row.dwForwardIfIndex, 0x01020304u);
    EXPECT_EQ(row.dwForwardMetric1, 0x01020309u);
    EXPECT_EQ(row.dwForwardMetric5, 0x0102030Du);
    EXPECT_EQ(platform::ForwardTableSize(3), 4u + 3 * 56u);
}

TEST(RouteMasks, PrefixLengthsOfMasksThatAreNotWholeOctets) {
    EXPECT_EQ(platform::MaskPrefixLength(Ip("255.255.255.0")), 24);
    EXPECT_EQ(platform::MaskPrefixLength(Ip("255.255.240.0")), 20);
    EXPECT_EQ(platform::MaskPrefixLength(Ip("255.255.255.128")), 25);
    EXPECT_EQ(platform::MaskPrefixLength(Ip("255.254.0.0")), 15);
    EXPECT_EQ(platform::MaskPrefixLength(Ip("255.255.255.255")), 32);
    EXPECT_EQ(platform::MaskPrefixLength(0), 0);
    for (int p = 0; p <= 32; ++p) EXPECT_EQ(platform::MaskPrefixLength(platform::PrefixLengthMask(p)), p);
}

MIB_IPFORWARDROW Row(const char* dest, const char* mask, const char* hop, DWORD metric) {
    MIB_IPFORWARDROW r{};
    r.dwForwardDest = Ip(dest);
    r.dwForwardMask = Ip(mask);
    r.dwForwardNextHop = Ip(hop);
    r.dwForwardMetric1 = metric;
    return r;
}

TEST(RouteBest, LongerPrefixWinsWhateverTheOrder) {
    // A /17 and a /24 both cover the address; the /24 must win in either table order (the mask
    // words' bit lengths would rank them equal).
    const MIB_IPFORWARDROW wide = Row("198.18.0.0", "255.255.128.0", "198.51.100.2", 1);
    const MIB_IPFORWARDROW narrow = Row("198.18.0.0", "255.255.255.0", "203.0.113.2", 1);
    for (int order = 0; order < 2; ++order) {
        const MIB_IPFORWARDROW rows[2] = {order == 0 ? wide : narrow, order == 0 ? narrow : wide};
        const MIB_IPFORWARDROW* best = TwRouteManager::BestRoute(rows, 2, Ip("198.18.0.9"));
        ASSERT_NE(best, nullptr);
        EXPECT_EQ(best->dwForwardNextHop, Ip("203.0.113.2")) << "order " << order;
    }
    // /20 against /25: only the /20 covers 198.18.1.1.
    const MIB_IPFORWARDROW twenty = Row("198.18.0.0", "255.255.240.0", "198.51.100.2", 1);
    const MIB_IPFORWARDROW twentyFive = Row("198.18.0.0", "255.255.255.128", "203.0.113.2", 1);
    const MIB_IPFORWARDROW rows[2] = {twentyFive, twenty};
    EXPECT_EQ(TwRouteManager::BestRoute(rows, 2, Ip("198.18.1.1"))->dwForwardNextHop, Ip("198.51.100.2"));
    EXPECT_EQ(TwRouteManager::BestRoute(rows, 2, Ip("198.18.0.1"))->dwForwardNextHop, Ip("203.0.113.2"));
}

TEST(RouteBest, DefaultAgainstSubnetAndMetricTies) {
    const MIB_IPFORWARDROW rows[3] = {Row("0.0.0.0", "0.0.0.0", "198.51.100.2", 20),
                                      Row("0.0.0.0", "0.0.0.0", "198.51.100.3", 10),
                                      Row("203.0.113.0", "255.255.255.0", "203.0.113.9", 50)};
    EXPECT_EQ(TwRouteManager::BestRoute(rows, 3, Ip("203.0.113.7"))->dwForwardNextHop, Ip("203.0.113.9"));
    EXPECT_EQ(TwRouteManager::BestRoute(rows, 3, Ip("198.18.0.1"))->dwForwardNextHop, Ip("198.51.100.3"));
    EXPECT_EQ(TwRouteManager::BestRoute(rows, 0, Ip("198.18.0.1")), nullptr);
}

TEST_F(RouteNetns, AddLookUpDeleteAndReplace) {
    ROUTE_ADD_REQUEST add = Request("198.18.0.0", "255.254.0.0", "198.51.100.2", TW_ROUTE_FIND_INTERFACE);
    ASSERT_EQ(m_rm.AddEntry(&add), 0);
    ROUTE_LOOKUP_REQUEST look{1, Ip("198.18.0.0"), Ip("255.254.0.0"), Ip("198.51.100.2")};
    EXPECT_EQ(m_rm.RouteLookup(&look), 0);
    ROUTE_LOOKUP_REQUEST otherHop{1, Ip("198.18.0.0"), Ip("255.254.0.0"), Ip("198.51.100.3")};
    EXPECT_EQ(m_rm.RouteLookup(&otherHop), 1);
    ROUTE_LOOKUP_REQUEST otherMask{1, Ip("198.18.0.0"), Ip("255.255.0.0"), Ip("198.51.100.2")};
    EXPECT_EQ(m_rm.RouteLookup(&otherMask), 1);

    DWORD hop = 0, mask = 0, ifIndex = 0;
    EXPECT_EQ(m_rm.GetRouteNextHop(Ip("198.19.4.4"), &hop, &mask, &ifIndex), Ip("198.51.100.2"));
    EXPECT_EQ(mask, Ip("255.254.0.0"));
    EXPECT_EQ(ifIndex, m_v0);
    for (const auto& r : Rows()) {
        if (r.dwForwardDest != Ip("198.18.0.0")) continue;
        EXPECT_EQ(r.dwForwardIfIndex, m_v0);
        EXPECT_EQ(r.dwForwardMetric1, 1u);
        EXPECT_EQ(r.dwForwardType, platform::MIB_IPROUTE_TYPE_INDIRECT);
        EXPECT_EQ(r.dwForwardProto, platform::MIB_IPPROTO_NETMGMT);
        EXPECT_EQ(r.dwForwardMetric2, 0xFFFFFFFFu);
    }
    // The same route again is refused.
    EXPECT_EQ(m_rm.AddEntry(&add), 1);

    // Replace: metric 1 + 5, the route stays once.
    ROUTE_UPDATE_METRIC_REQUEST metric{1, Ip("198.18.0.0"), Ip("255.254.0.0"), 5};
    EXPECT_EQ(m_rm.UpdateEntry(&metric), 0);
    int seen = 0;
    for (const auto& r : Rows()) {
        if (r.dwForwardDest == Ip("198.18.0.0")) {
            ++seen;
            EXPECT_EQ(r.dwForwardMetric1, 6u);
        }
    }
    EXPECT_EQ(seen, 1);

    ROUTE_DELETE_REQUEST del = add;
    EXPECT_EQ(m_rm.DeleteEntry(&del), 0);
    EXPECT_EQ(m_rm.RouteLookup(&look), 1);
    EXPECT_EQ(m_rm.DeleteEntry(&del), 1) << "nothing left to delete";

    // Type 2 (invalid) through the forward update removes the route.
    ASSERT_EQ(m_rm.AddEntry(&add), 0);
    ROUTE_UPDATE_FORWARD_REQUEST forward{1, Ip("198.18.0.0"), Ip("255.254.0.0"),
                                         platform::MIB_IPROUTE_TYPE_INVALID};
    EXPECT_EQ(m_rm.UpdateEntry(&forward), 0);
    EXPECT_EQ(m_rm.RouteLookup(&look), 1);
    EXPECT_EQ(m_rm.UpdateEntry(&forward), 1) << "no row of that destination";
    EXPECT_EQ(m_rm.AddEntry(nullptr), 1);
}

TEST_F(RouteNetns, InterfaceIsFoundByNextHopOrLocalAddress) {
    ROUTE_ADD_REQUEST viaV1 = Request("198.18.8.0", "255.255.255.0", "203.0.113.5", TW_ROUTE_FIND_INTERFACE);
    ASSERT_EQ(m_rm.AddEntry(&viaV1), 0);
    DWORD ifIndex = 0;
    m_rm.GetRouteNextHop(Ip("198.18.8.1"), nullptr, nullptr, &ifIndex);
    EXPECT_EQ(ifIndex, m_v1);
    // No adapter on the next hop's subnet.
    ROUTE_ADD_REQUEST nowhere =
        Request("198.18.9.0", "255.255.255.0", "198.18.200.1", TW_ROUTE_FIND_INTERFACE);
    EXPECT_EQ(m_rm.AddEntry(&nowhere), 1);
    // By the local adapter address.
    ROUTE_ADD_REQUEST byLocal =
        Request("198.18.10.0", "255.255.255.0", "198.51.100.9", TW_ROUTE_FIND_INTERFACE);
    byLocal.dwLocalAddress = Ip("198.51.100.1");
    ASSERT_EQ(m_rm.AddEntry(&byLocal), 0);
    m_rm.GetRouteNextHop(Ip("198.18.10.1"), nullptr, nullptr, &ifIndex);
    EXPECT_EQ(ifIndex, m_v0);
    // Explicit interface index.
    ROUTE_ADD_REQUEST explicitIf = Request("198.18.11.0", "255.255.255.0", "198.51.100.2", m_v0);
    EXPECT_EQ(m_rm.AddEntry(&explicitIf), 0);

    EXPECT_EQ(m_rm.IsLocalAddress(Ip("198.51.100.77")), 1);
    EXPECT_EQ(m_rm.IsLocalAddress(Ip("198.18.1.1")), 0);
}

TEST_F(RouteNetns, NonOctetMasksPickTheLongerPrefix) {
    ROUTE_ADD_REQUEST wide = Request("198.18.0.0", "255.255.128.0", "198.51.100.2", TW_ROUTE_FIND_INTERFACE);
    ROUTE_ADD_REQUEST narrow = Request("198.18.0.0", "255.255.255.0", "203.0.113.2", TW_ROUTE_FIND_INTERFACE);
    ASSERT_EQ(m_rm.AddEntry(&wide), 0);
    ASSERT_EQ(m_rm.AddEntry(&narrow), 0);
    EXPECT_EQ(m_rm.GetRouteNextHop(Ip("198.18.0.9"), nullptr, nullptr, nullptr), Ip("203.0.113.2"));
    EXPECT_EQ(m_rm.GetRouteNextHop(Ip("198.18.1.9"), nullptr, nullptr, nullptr), Ip("198.51.100.2"));
}

TEST_F(RouteNetns, HostRouteThroughTheBestExistingRoute) {
    ROUTE_ADD_REQUEST def = Request("0.0.0.0", "0.0.0.0", "198.51.100.2", TW_ROUTE_FIND_INTERFACE);
    ASSERT_EQ(m_rm.AddEntry(&def), 0);
    ASSERT_EQ(m_rm.AddHostRoute("198.18.3.3", 0), 0);
    ROUTE_LOOKUP_REQUEST look{1, Ip("198.18.3.3"), Ip("255.255.255.255"), Ip("198.51.100.2")};
    EXPECT_EQ(m_rm.RouteLookup(&look), 0);
    DWORD ifIndex = 0;
    m_rm.GetRouteNextHop(Ip("198.18.3.3"), nullptr, nullptr, &ifIndex);
    EXPECT_EQ(ifIndex, m_v0);
    EXPECT_EQ(m_rm.AddHostRoute(nullptr, 0), 1);
    EXPECT_EQ(m_rm.AddHostRoute("not an address..", 0), 1);
}

TEST_F(RouteNetns, DefaultRoutesSavedAndRestoredExactly) {
    ROUTE_SAVE_DEFAULT_REQUEST save{0};
    // Nothing saved: a restore that writes nothing back is a failure.
    ASSERT_EQ(m_rm.SaveDefault(&save), 0);
    EXPECT_EQ(m_rm.RestoreDefault(&save), 1);
    EXPECT_EQ(m_rm.DeleteDefault(), 1) << "no default route to delete";

    ASSERT_EQ(testsupport::Run({"ip", "route", "add", "default", "via", "198.51.100.2", "metric", "10"}), 0);
    ASSERT_EQ(testsupport::Run({"ip", "route", "add", "default", "via", "203.0.113.2", "metric", "20"}), 0);
    const auto before = SortedRows();
    ASSERT_EQ(m_rm.SaveDefault(&save), 0);
    ASSERT_EQ(m_rm.DeleteDefault(), 0);
    EXPECT_EQ(CountDefaults(), 0);
    ASSERT_EQ(m_rm.RestoreDefault(&save), 0);
    EXPECT_TRUE(SameTable(before, SortedRows()));
    // Restoring over routes that are there already keeps the table as it is.
    ASSERT_EQ(m_rm.RestoreDefault(&save), 0);
    EXPECT_TRUE(SameTable(before, SortedRows()));
}

TEST_F(RouteNetns, EightDefaultRoutesKeepTheFirstSeven) {
    for (int i = 0; i < 8; ++i) {
        const std::string metric = std::to_string(100 + i);
        ASSERT_EQ(
            testsupport::Run({"ip", "route", "add", "default", "via", "198.51.100.2", "metric", metric}), 0);
    }
    std::vector<MIB_IPFORWARDROW> defaults;
    for (const auto& r : Rows()) {
        if (r.dwForwardDest == 0 && r.dwForwardMask == 0) defaults.push_back(r);
    }
    ASSERT_EQ(defaults.size(), 8u);
    ROUTE_SAVE_DEFAULT_REQUEST save{0};
    ASSERT_EQ(m_rm.SaveDefault(&save), 0);
    ASSERT_EQ(m_rm.DeleteDefault(), 0);
    ASSERT_EQ(m_rm.RestoreDefault(&save), 0);
    std::vector<MIB_IPFORWARDROW> after;
    for (const auto& r : Rows()) {
        if (r.dwForwardDest == 0 && r.dwForwardMask == 0) after.push_back(r);
    }
    ASSERT_EQ(after.size(), 7u);
    for (size_t i = 0; i < 7; ++i)
        EXPECT_EQ(std::memcmp(&after[i], &defaults[i], sizeof(MIB_IPFORWARDROW)), 0);
}

TEST_F(RouteNetns, LocalSubnetRouteSavedAndRestoredExactly) {
    const auto before = SortedRows();
    ASSERT_EQ(m_rm.SaveLocalSubnetRoute(Ip("198.51.100.0"), Ip("255.255.255.0")), 0);
    ASSERT_EQ(m_rm.DeleteLocalSubnetRoute(Ip("198.51.100.0"), Ip("255.255.255.0")), 0);
    ROUTE_LOOKUP_REQUEST look{1, Ip("198.51.100.0"), Ip("255.255.255.0"), Ip("198.51.100.1")};
    EXPECT_EQ(m_rm.RouteLookup(&look), 1);
    ASSERT_EQ(m_rm.RestoreLocalSubnetRoute(), 0);
    EXPECT_EQ(m_rm.RouteLookup(&look), 0);
    EXPECT_TRUE(SameTable(before, SortedRows()));
    // A subnet with no route saves nothing, so its restore reports failure.
    ASSERT_EQ(m_rm.SaveLocalSubnetRoute(Ip("198.18.0.0"), Ip("255.255.255.0")), 0);
    EXPECT_EQ(m_rm.DeleteLocalSubnetRoute(Ip("198.18.0.0"), Ip("255.255.255.0")), 1);
    EXPECT_EQ(m_rm.RestoreLocalSubnetRoute(), 1);
}

TEST_F(RouteNetns, SystemTableImageMatchesTheRows) {
    ROUTE_ADD_REQUEST add = Request("198.18.0.0", "255.255.255.0", "198.51.100.2", TW_ROUTE_FIND_INTERFACE);
    ASSERT_EQ(m_rm.AddEntry(&add), 0);
    MIB_IPFORWARDTABLE* table = m_rm.GetSystemRouteTable();
    ASSERT_NE(table, nullptr);
    const auto rows = Rows();
    ASSERT_EQ(table->dwNumEntries, rows.size());
    const auto* bytes = reinterpret_cast<const unsigned char*>(table);
    DWORD count = 0;
    std::memcpy(&count, bytes, 4);
    EXPECT_EQ(count, rows.size());
    EXPECT_EQ(std::memcmp(bytes + 4, rows.data(), rows.size() * 56), 0);
    m_rm.FreeRouteTable(table);
    m_rm.FreeRouteTable(nullptr);

    ULONG size = 8;
    MIB_IPFORWARDTABLE small{};
    EXPECT_EQ(platform::GetIpForwardTable(&small, &size, FALSE), platform::kErrorInsufficientBuffer);
    EXPECT_EQ(size, platform::ForwardTableSize(static_cast<DWORD>(rows.size())));
}

}  // namespace
