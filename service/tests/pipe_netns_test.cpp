// In a network namespace of its own: route commands through the pipe change the kernel's table,
// and SetIP puts the address on the virtual adapter and the name servers in the resolver file.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "engine/netsh_client.h"
#include "platform/machine_root.h"
#include "service/hardware_id.h"
#include "platform/resolver.h"
#include "service/netsh_operations.h"
#include "service/netshell_server.h"
#include "test_machine.h"
#include "testsupport/command.h"
#include "testsupport/netns.h"
#include "testsupport/temp_dir.h"

namespace service {
namespace {

DWORD Ip(const char* text) {
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

bool HasRoute(DWORD dest, DWORD mask, DWORD nextHop, DWORD metric) {
    std::vector<MIB_IPFORWARDROW> rows;
    platform::ReadForwardRows(&rows);
    for (const auto& r : rows) {
        if (r.dwForwardDest == dest && r.dwForwardMask == mask && r.dwForwardNextHop == nextHop &&
            r.dwForwardMetric1 == metric) {
            return true;
        }
    }
    return false;
}

class NoClient final : public ClientLauncher {
    bool Launch(const std::vector<std::string>&) override { return false; }
};

// Links without a device behind them, whatever their names, never give the fingerprint its MAC.
TEST(PipeNetns, TheFingerprintPassesOverBridgesVethsAndTaps) {
    if (!testsupport::IsRoot()) GTEST_SKIP() << "needs root for a network namespace";
    testsupport::NetnsScope ns;
    ASSERT_TRUE(ns.Ok());
    using testsupport::Run;
    ASSERT_EQ(Run({"ip", "link", "add", "virbr0", "type", "bridge"}), 0);
    ASSERT_EQ(Run({"ip", "link", "add", "docker0", "type", "bridge"}), 0);
    ASSERT_EQ(Run({"ip", "link", "add", "eth0", "type", "veth", "peer", "name", "eth1"}), 0);
    ASSERT_EQ(Run({"ip", "tuntap", "add", "dev", "enp0s1", "mode", "tap"}), 0);
    std::vector<platform::AdapterInfo> adapters;
    ASSERT_EQ(platform::GetAdapters(&adapters), 0u);
    EXPECT_EQ(adapters.size(), 6u);
    for (const auto& a : adapters) EXPECT_TRUE(a.virtualLink) << a.name;
    const std::string id = GetHardwareID(platform::SystemAdapterList());
    EXPECT_EQ(id.substr(id.rfind('|') + 1), "00-00-00-00-00-00") << id;
}

TEST(PipeNetns, RoutesAndAddressThroughThePipe) {
    if (!testsupport::IsRoot()) GTEST_SKIP() << "needs root for a network namespace";
    testsupport::NetnsScope ns;
    ASSERT_TRUE(ns.Ok());
    testsupport::TempDir dir;
    const std::string tap = "qelp" + std::to_string(getpid() % 100000);
    ASSERT_TRUE(test::LayOutPc(tap, false));
    const std::string resolverFile = platform::ResolverFilePath();
    ASSERT_TRUE(platform::MakeDirs(resolverFile.substr(0, resolverFile.rfind('/'))));
    std::ofstream(resolverFile) << "nameserver 203.0.113.53\n";
    platform::LinuxResolver resolver(platform::ResolverOptions{"", "", "-", 10000, {}, "-"});

    ServiceFacilities facilities;
    facilities.network.resolver = &resolver;
    facilities.recreateAdapter = [] { return 0; };
    NoClient launcher;
    NetshOperationsOptions options;
    options.hardwareId = [] { return std::string("fp"); };
    SystemNetshOperations ops(facilities, launcher, options);
    NetShellServiceThread server(ops, platform::PeerPolicy::RootOnly());
    engine::NetshClientOptions client;
    client.path = dir.File("pipe");
    ASSERT_TRUE(server.Start(client.path));

    char command[128];
    std::snprintf(command, sizeof(command), "addroute %u %u %d %u %d %d\n", Ip("198.51.100.0"),
                  Ip("255.255.255.0"), static_cast<int>(if_nametoindex("eth9")), Ip("203.0.113.1"), 20, 4);
    EXPECT_EQ(engine::SendNetshCommand(command, client), engine::kNetshDone);
    EXPECT_TRUE(HasRoute(Ip("198.51.100.0"), Ip("255.255.255.0"), Ip("203.0.113.1"), 20));
    std::snprintf(command, sizeof(command), "setroute %u %u %d %u %d %d\n", Ip("198.51.100.0"),
                  Ip("255.255.255.0"), static_cast<int>(if_nametoindex("eth9")), Ip("203.0.113.1"), 30, 4);
    EXPECT_EQ(engine::SendNetshCommand(command, client), engine::kNetshDone);
    EXPECT_TRUE(HasRoute(Ip("198.51.100.0"), Ip("255.255.255.0"), Ip("203.0.113.1"), 30));
    EXPECT_FALSE(HasRoute(Ip("198.51.100.0"), Ip("255.255.255.0"), Ip("203.0.113.1"), 20));
    std::snprintf(command, sizeof(command), "delroute %u %u %d %u %d %d\n", Ip("198.51.100.0"),
                  Ip("255.255.255.0"), static_cast<int>(if_nametoindex("eth9")), Ip("203.0.113.1"), 30, 4);
    EXPECT_EQ(engine::SendNetshCommand(command, client), engine::kNetshDone);
    EXPECT_FALSE(HasRoute(Ip("198.51.100.0"), Ip("255.255.255.0"), Ip("203.0.113.1"), 30));

    EXPECT_EQ(engine::SendNetshCommand("SetIP 198.18.0.2 255.255.255.0 198.18.0.53 198.18.0.54", client),
              engine::kNetshDone);
    std::vector<platform::AdapterInfo> adapters;
    ASSERT_EQ(platform::GetAdapters(&adapters), 0u);
    bool addressSet = false;
    for (const auto& a : adapters) {
        if (a.name != tap) continue;
        addressSet = a.addresses.size() == 1 && a.addresses[0].address == Ip("198.18.0.2") &&
                     a.addresses[0].mask == Ip("255.255.255.0");
    }
    EXPECT_TRUE(addressSet) << "the virtual adapter does not carry 198.18.0.2/24 alone";
    std::ifstream in(resolverFile);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str().find("nameserver 198.18.0.53\nnameserver 198.18.0.54\n"), 0u) << text.str();
    EXPECT_EQ(resolver.Restore(), 0u);
    server.Stop();
}

}  // namespace
}  // namespace service
