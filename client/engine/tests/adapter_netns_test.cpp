// In a network namespace of its own, with the privileged service's pipe server on the kernel's
// tables: the logon's configuration puts the address, routes and name servers on a TAP, and logoff
// leaves the route table and the resolver file exactly as they were.
#include <gtest/gtest.h>

#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "adapter_test_machine.h"
#include "platform/machine_root.h"
#include "platform/resolver.h"
#include "platform/unique_fd.h"
#include "service/netshell_server.h"
#include "testsupport/command.h"
#include "testsupport/netns.h"
#include "testsupport/temp_root.h"

namespace engine::test {
namespace {

std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<MIB_IPFORWARDROW> KernelRows() {
    std::vector<MIB_IPFORWARDROW> rows;
    platform::ReadForwardRows(&rows);
    return rows;
}

// The source address the kernel picks towards `to`: which way a packet would leave. Nothing is sent.
DWORD SourceTowards(DWORD to) {
    const platform::UniqueFd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(443);
    a.sin_addr.s_addr = to;
    if (!s.Valid() || ::connect(s.Get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) return 0;
    socklen_t len = sizeof(a);
    if (::getsockname(s.Get(), reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
    return a.sin_addr.s_addr;
}

class AdapterNetnsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::IsRoot()) GTEST_SKIP() << "needs root for a network namespace and a TAP device";
        ns = std::make_unique<testsupport::NetnsScope>();
        ASSERT_TRUE(ns->Ok());
        tap = "qela" + std::to_string(getpid() % 100000);
        ASSERT_EQ(testsupport::Run({"ip", "link", "add", "eth9", "type", "veth", "peer", "name", "eth9p"}),
                  0);
        ASSERT_EQ(testsupport::Run({"ip", "link", "set", "eth9p", "up"}), 0);
        ASSERT_EQ(testsupport::Run({"ip", "addr", "add", "203.0.113.5/24", "dev", "eth9"}), 0);
        ASSERT_EQ(testsupport::Run({"ip", "link", "set", "eth9", "up"}), 0);
        ASSERT_EQ(testsupport::Run({"ip", "route", "add", "default", "via", "203.0.113.1", "dev", "eth9"}),
                  0);
        ASSERT_EQ(
            testsupport::Run({"ip", "route", "add", "10.20.5.0/24", "via", "203.0.113.1", "dev", "eth9"}), 0);
        ASSERT_EQ(testsupport::Run({"ip", "tuntap", "add", "dev", tap, "mode", "tap"}), 0);
        ASSERT_EQ(testsupport::Run({"ip", "link", "set", tap, "address", "00:ff:ff:ff:00:00", "up"}), 0);
        resolverFile = platform::ResolverFilePath();
        ASSERT_TRUE(platform::MakeDirs(resolverFile.substr(0, resolverFile.rfind('/'))));
        std::ofstream(resolverFile) << "# the machine's own\nnameserver 203.0.113.53\nsearch example.test\n";
        resolver =
            std::make_unique<platform::LinuxResolver>(platform::ResolverOptions{"", "", "-", 10000, {}, "-"});

        facilities.network.resolver = resolver.get();
        facilities.recreateAdapter = [] { return 0; };
        service::NetshOperationsOptions options;
        options.hardwareId = [] { return std::string("fp"); };
        options.flushResolverCache = [] { return true; };
        ops = std::make_unique<service::SystemNetshOperations>(facilities, launcher, options);
        server = std::make_unique<service::NetShellServiceThread>(*ops, platform::PeerPolicy::RootOnly());
        pipe.path = root.Path() + "/pipe";
        ASSERT_TRUE(server->Start(pipe.path));

        send = [this](const std::string& c) { return SendNetshCommand(c, pipe); };
        manager = std::make_unique<TwClientRouteManager>(platform::SystemRouteTable(),
                                                         platform::SystemAdapterList(), send);
        settings = std::make_shared<platform::SettingsStore>(root.Path() + "/settings.db");
        settings->SetDword("Software\\Morvane\\QelClient", "UseStatic", 1);
        deps.driver = &driver;
        deps.routeManager = manager.get();
        deps.ui = &ui;
        deps.sendCmd = send;
        deps.settings = settings;
        deps.routeFile = root.Path() + "/SystemRouteTable.dat";
        deps.sleep = [](DWORD) {};
        deps.sendProbe = [](DWORD, WORD, const std::string&) { return true; };
    }
    void TearDown() override {
        if (server) server->Stop();
    }

    // Logon, the checks while online, logoff; then the machine must be as it was.
    void RoundTrip(const std::vector<ResourceRoute>& routes, const std::function<void()>& whileOnline) {
        const auto routesBefore = RouteKeys(KernelRows());
        const std::string resolverBefore = ReadText(resolverFile);
        TwAdapterSetup adapter(deps, AdapterHooks{});
        ASSERT_EQ(adapter.LogonInitAdapter(), 1);
        adapter.SetLogonResults(TestSession(routes), false);
        ASSERT_EQ(adapter.SaveSystemRouteToFile(false), 1);
        ASSERT_EQ(adapter.LogonConfigAdapter(false), 1);
        EXPECT_EQ(adapter.VirtualIfIndex(), if_nametoindex(tap.c_str()));
        EXPECT_EQ(SourceTowards(Ip("198.51.100.10")), Ip("203.0.113.5"))
            << "the gateway is reached through the tunnel";
        const std::string during = ReadText(resolverFile);
        EXPECT_EQ(during.find("nameserver 198.18.0.53\nnameserver 198.18.0.54\n"), 0u) << during;
        whileOnline();

        EXPECT_TRUE(adapter.LogoffConfigAdapter(false));
        EXPECT_EQ(adapter.LastRestoreMissing(), 0u);
        EXPECT_EQ(RouteKeys(KernelRows()), routesBefore);
        EXPECT_EQ(ReadText(resolverFile), resolverBefore);
        EXPECT_NE(::access(deps.routeFile.c_str(), F_OK), 0) << "the saved table outlived the session";
    }

    testsupport::TempRoot root;
    std::unique_ptr<testsupport::NetnsScope> ns;
    std::string tap, resolverFile;
    std::unique_ptr<platform::LinuxResolver> resolver;
    service::ServiceFacilities facilities;
    NoLauncher launcher;
    std::unique_ptr<service::SystemNetshOperations> ops;
    std::unique_ptr<service::NetShellServiceThread> server;
    NetshClientOptions pipe;
    std::function<int(const std::string&)> send;
    std::unique_ptr<TwClientRouteManager> manager;
    std::shared_ptr<platform::SettingsStore> settings;
    FakeAdapterDriver driver{platform::SystemClock()};
    RecordingUi ui;
    AdapterSetupDeps deps;
};

TEST_F(AdapterNetnsTest, SplitTunnelOnATapAndBackExactly) {
    RoundTrip({{HostIp("10.20.0.0"), HostIp("255.255.0.0"), 0}, {HostIp("172.16.1.7"), 0xFFFFFFFFu, 0}}, [&] {
        const DWORD tapIndex = if_nametoindex(tap.c_str());
        std::vector<platform::AdapterInfo> adapters;
        ASSERT_EQ(platform::GetAdapters(&adapters), 0u);
        for (const auto& a : adapters) {
            if (a.index != tapIndex) continue;
            ASSERT_EQ(a.addresses.size(), 1u);
            EXPECT_EQ(a.addresses[0].address, Ip("198.18.0.2"));
        }
        EXPECT_EQ(SourceTowards(Ip("10.20.1.1")), Ip("198.18.0.2"));
        EXPECT_EQ(SourceTowards(Ip("10.20.5.1")), Ip("198.18.0.2")) << "the conflicting route still wins";
        EXPECT_EQ(SourceTowards(Ip("172.16.1.7")), Ip("198.18.0.2"));
        EXPECT_EQ(SourceTowards(Ip("198.51.100.99")), Ip("203.0.113.5"));
    });
}

TEST_F(AdapterNetnsTest, FullTunnelOnATapAndBackExactly) {
    RoundTrip({{0, 0, 0}}, [&] {
        EXPECT_EQ(SourceTowards(Ip("198.51.100.99")), Ip("198.18.0.2"))
            << "the default route is not the tunnel's";
        EXPECT_EQ(SourceTowards(Ip("203.0.113.77")), Ip("198.18.0.2"));
    });
}

}  // namespace
}  // namespace engine::test
