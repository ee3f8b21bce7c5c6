// A session through the whole suite: logon directly and through the proxy, the adapter, routes and
// name servers it sets, a ping and a TCP transfer with every byte checked, the keep-alive over an
// idle tunnel, a full-tunnel route list; each test ends with a logoff that leaves pc as it was.
#include "tunnel_fixture.h"

#include <chrono>
#include <thread>

namespace systemtest {
namespace {

void ExpectWorkingTunnel(TunnelRig& rig, std::uint64_t bytes) {
    EXPECT_EQ(rig.RouteDevice(kResourceAddress), kTapName);
    std::string ping, neighbours;
    if (rig.Ping(3, &ping) != 0) {
        std::string link;
        rig.Harness().RunInPc({"ip", "neigh", "show"}, &neighbours);
        rig.Harness().RunInPc({"ip", "-s", "link", "show", "dev", kTapName}, &link);
        neighbours += link;
        ADD_FAILURE() << "no ping through the tunnel:\n"
                      << ping << "pc's neighbours:\n"
                      << neighbours << rig.ClientLog();
    }
    const Transfer t = rig.EchoTransfer(bytes);
    EXPECT_TRUE(t.ok) << t.error << " after " << t.bytes << " bytes";
}

// The session as a desktop user runs it (an unprivileged member of the client group, the service
// under pc's service layer as scripts/install.sh sets it up), and as root.
class SessionTest : public TunnelTest, public ::testing::WithParamInterface<bool> {
protected:
    HarnessOptions Harness() const {
        HarnessOptions harness;
        harness.clientUser = GetParam();
        harness.serviceLayer = GetParam();
        return harness;
    }
};

TEST_P(SessionTest, LogonCarriesPingAndCheckedBytesAndLogoffRestoresPc) {
    ASSERT_TRUE(Bring({}, Harness()));
    ASSERT_TRUE(LogOn());
    EXPECT_EQ(ProcessUid(m_rig->Harness().Pid("client")), static_cast<long>(m_rig->Harness().ClientUid()));
    EXPECT_EQ(m_rig->VirtualAddress(), kFirstVirtualAddress);
    // The gateway's name server replaces pc's own for the session.
    EXPECT_NE(ReadText(m_rig->Harness().ResolverFile()).find(kTunnelDns), std::string::npos)
        << ReadText(m_rig->Harness().ResolverFile());
    // The gateway stays reached over eth0, never through the tunnel.
    EXPECT_EQ(m_rig->RouteDevice(kGwAddress), "eth0");
    ExpectWorkingTunnel(*m_rig, 8 << 20);

    m_rig->Harness().StopProcess("client", SIGTERM, 20000);
    std::string error;
    EXPECT_TRUE(m_rig->WaitOffline(5000, &error)) << error;
    EXPECT_TRUE(m_rig->TunnelConnections().empty());
    // Without the tunnel, the resource host is reached over the veth again.
    EXPECT_EQ(m_rig->RouteDevice(kResourceAddress), "eth0");
}

TEST_P(SessionTest, LogonThroughTheProxy) {
    ASSERT_TRUE(Bring({}, Harness()));
    ClientSetup client;
    client.viaProxy = true;
    ASSERT_TRUE(LogOn(client));
    // The tunnel's TCP connection is the proxy's, not the gateway's.
    EXPECT_TRUE(m_rig->TunnelConnections().empty()) << "a direct connection to the gateway";
    ExpectWorkingTunnel(*m_rig, 1 << 20);
}

INSTANTIATE_TEST_SUITE_P(, SessionTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& param) {
                             return param.param ? "AsClientGroupMember" : "AsRoot";
                         });

TEST_F(TunnelTest, KeepAliveHoldsAnIdleTunnelForSeveralLossPeriods) {
    GatewaySetup gateway;
    gateway.keepAliveSeconds = 1;  // the gateway asks too, so both directions are exercised
    ASSERT_TRUE(Bring(gateway));
    ASSERT_TRUE(LogOn());
    const std::string connection = OnlyConnection();
    ASSERT_FALSE(connection.empty());

    // Idle: nothing but keep-alives for four loss periods.
    const auto idleEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(4 * kLossMs);
    while (std::chrono::steady_clock::now() < idleEnd) {
        ASSERT_EQ(OnlyConnection(), connection) << "the idle tunnel was dropped or logged on again";
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(m_rig->Online());
    ExpectWorkingTunnel(*m_rig, 1 << 20);
    EXPECT_EQ(OnlyConnection(), connection);
}

TEST_F(TunnelTest, FullTunnelKeepsTheGatewayReachable) {
    // A gateway beyond pc's own subnet, so that only a host route keeps it off the tunnel.
    GatewaySetup gateway;
    gateway.listen = "203.0.113.250";
    gateway.fullTunnel = true;
    ASSERT_TRUE(Bring(gateway));
    ASSERT_TRUE(LogOn());
    std::string routes;
    m_rig->Harness().RunInPc({"ip", "-4", "route", "show", "default"}, &routes);
    EXPECT_NE(routes.find(std::string("dev ") + kTapName), std::string::npos) << routes;
    EXPECT_EQ(m_rig->RouteDevice(gateway.listen), "eth0") << "the gateway is routed into its own tunnel";
    ExpectWorkingTunnel(*m_rig, 4 << 20);
    // Still the first connection: the tunnel never had to be built again.
    EXPECT_EQ(m_rig->TunnelConnections().size(), 1u);
}

}  // namespace
}  // namespace systemtest
