// Static interface configuration in a network namespace of the test's own.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "morbeck/morbeck.h"
#include "platform/adapter_list.h"
#include "platform/machine_root.h"
#include "platform/resolver.h"
#include "platform/route_table.h"
#include "testsupport/command.h"
#include "testsupport/netns.h"
#include "testsupport/temp_root.h"

namespace {

DWORD Ip(const char* text) {
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

TEST(MorbeckInterface, ConfigureReplacesAddressesGatewayAndNameServers) {
    if (!testsupport::IsRoot()) GTEST_SKIP() << "needs root for a network namespace";
    testsupport::TempRoot root{"morbeck-test"};
    testsupport::NetnsScope ns;
    ASSERT_TRUE(ns.Ok());
    using testsupport::Run;
    ASSERT_EQ(Run({"ip", "link", "add", "c0", "address", "02:00:00:00:00:c0", "type", "veth", "peer", "name",
                   "c1"}),
              0);
    ASSERT_EQ(Run({"ip", "link", "set", "c0", "up"}), 0);
    ASSERT_EQ(Run({"ip", "link", "set", "c1", "up"}), 0);
    ASSERT_EQ(Run({"ip", "addr", "add", "203.0.113.9/24", "dev", "c0"}), 0);
    const std::string resolv = platform::ResolverFilePath();
    ASSERT_EQ(resolv, root.Path() + "/etc/resolv.conf");
    ASSERT_TRUE(platform::MakeDirs(root.Path() + "/etc"));
    std::ofstream(resolv) << "search example.test\nnameserver 203.0.113.53\n";

    const BYTE mac[6] = {0x02, 0, 0, 0, 0, 0xc0};
    CMorbeck m;
    ASSERT_EQ(m.ConfigureInterfaceInfo(mac, Ip("198.51.100.7"), Ip("255.255.255.0"), Ip("198.51.100.1"),
                                       Ip("198.51.100.53"), Ip("198.51.100.54"), "example.test"),
              1);
    std::vector<platform::AdapterInfo> adapters;
    ASSERT_EQ(platform::GetAdapters(&adapters), platform::kErrorSuccess);
    const DWORD index = if_nametoindex("c0");
    for (const auto& a : adapters) {
        if (a.index != index) continue;
        ASSERT_EQ(a.addresses.size(), 1u);
        EXPECT_EQ(a.addresses[0].address, Ip("198.51.100.7"));
        EXPECT_EQ(a.addresses[0].mask, Ip("255.255.255.0"));
        ASSERT_EQ(a.gateways.size(), 1u);
        EXPECT_EQ(a.gateways[0], Ip("198.51.100.1"));
    }
    std::ifstream f(resolv);
    std::stringstream text;
    text << f.rdbuf();
    EXPECT_EQ(text.str(), "nameserver 198.51.100.53\nnameserver 198.51.100.54\nsearch example.test\n");

    // Without a gateway the default route goes; an unknown MAC changes nothing.
    ASSERT_EQ(m.ConfigureInterfaceInfo(mac, Ip("198.51.100.8"), Ip("255.255.255.128"), 0, 0, 0, nullptr), 1);
    std::vector<MIB_IPFORWARDROW> rows;
    ASSERT_EQ(platform::ReadForwardRows(&rows), platform::kErrorSuccess);
    for (const auto& r : rows) {
        EXPECT_FALSE(r.dwForwardDest == 0 && r.dwForwardMask == 0);
    }
    const BYTE other[6] = {0x02, 0, 0, 0, 0, 0x99};
    EXPECT_EQ(m.ConfigureInterfaceInfo(other, Ip("198.51.100.9"), Ip("255.255.255.0"), 0, 0, 0, nullptr), 0);
    EXPECT_EQ(m.ConfigureInterfaceInfo(mac, Ip("198.51.100.9"), Ip("255.0.255.0"), 0, 0, 0, nullptr), 0)
        << "a mask with holes is refused";
    ASSERT_EQ(platform::GetAdapters(&adapters), platform::kErrorSuccess);
    for (const auto& a : adapters) {
        if (a.index == index) {
            EXPECT_EQ(a.addresses.size(), 1u) << "the refused request changed nothing";
        }
    }
}

}  // namespace
