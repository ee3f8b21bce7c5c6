// The rig without a client: the gateway comes up from the INI file the rig writes and comes back
// after a kill; the transfers compare and time what they carry (here over the bare veth, where the
// resource host is reached before any session); the session checks see no session.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include "platform/unique_fd.h"
#include "system/tunnel_rig.h"
#include "testsupport/command.h"

namespace systemtest {
namespace {

TEST(TunnelRig, GatewayComesUpAndBackAndTransfersAreCheckedOverTheVeth) {
    if (!testsupport::IsRoot()) GTEST_SKIP() << "needs root for network namespaces";
    TunnelRig rig;
    std::string error;
    ASSERT_TRUE(rig.Start(&error)) << error;
    SystemHarness& h = rig.Harness();
    const pid_t first = h.Pid("gateway");
    ASSERT_TRUE(h.Alive("gateway"));
    // The gateway's TUN device is in gw with its address; pc has no session.
    std::string out;
    EXPECT_EQ(h.RunInGw({"ip", "-4", "-o", "addr", "show", "dev", kGwDevice}, &out), 0);
    EXPECT_NE(out.find(kGwDeviceAddress), std::string::npos) << out;
    EXPECT_FALSE(rig.Online());
    EXPECT_EQ(rig.VirtualAddress(), "");
    EXPECT_EQ(rig.RouteDevice(kResourceAddress), "eth0");
    EXPECT_TRUE(rig.TunnelConnections().empty());
    // The INI holds the password, the command line does not.
    const std::string cmdline = ReadText("/proc/" + std::to_string(first) + "/cmdline");
    EXPECT_EQ(cmdline.find(kPassword), std::string::npos);
    EXPECT_NE(ReadText(h.WorkDir() + "/gateway.ini").find(kPassword), std::string::npos);

    EXPECT_EQ(rig.Ping(1, &out), 0) << out;
    const Transfer echo = rig.EchoTransfer(3 * 1000 * 1000 + 7);  // not a multiple of any block
    EXPECT_TRUE(echo.ok) << echo.error;
    EXPECT_EQ(echo.bytes, 3u * 1000 * 1000 + 7);
    const Transfer sink = rig.SinkTransfer(1 << 20);
    EXPECT_TRUE(sink.ok) << sink.error;
    EXPECT_EQ(sink.bytes, 1u << 20);
    EXPECT_GT(sink.Gbits(), 0);
    // Nothing listens on the gateway's echo port: the transfer says so instead of hanging.
    const Transfer refused = rig.EchoTransfer(10, 2000, kGwAddress);
    EXPECT_FALSE(refused.ok);
    EXPECT_NE(refused.error.find("cannot connect"), std::string::npos) << refused.error;

    // A tunnel connection is seen as pc's end of a TCP connection to the gateway's port.
    int connectResult = -1;
    platform::UniqueFd probe;
    h.RunInsidePc([&] {
        probe.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(kGatewayPort);
        inet_pton(AF_INET, kGwAddress, &sa.sin_addr);
        connectResult = ::connect(probe.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    });
    ASSERT_EQ(connectResult, 0);
    const auto connections = rig.TunnelConnections();
    ASSERT_EQ(connections.size(), 1u);
    EXPECT_EQ(connections.front().rfind(std::string(kPcAddress) + ":", 0), 0u) << connections.front();
    probe.Reset();

    EXPECT_GT(rig.CpuSeconds({"gateway", "olvane", "lunther"}), 0.0);
    EXPECT_EQ(rig.CpuSeconds({"no-such-process"}), 0.0);

    // Killed and started again on the same state folder.
    h.StopProcess("gateway", SIGKILL);
    EXPECT_FALSE(h.Alive("gateway"));
    GatewaySetup moved;
    moved.fixedIp = "198.18.0.101";
    ASSERT_TRUE(rig.RestartGateway(moved, &error)) << error;
    EXPECT_TRUE(h.Alive("gateway"));
    EXPECT_NE(h.Pid("gateway"), first);
    EXPECT_NE(ReadText(h.WorkDir() + "/gateway.ini").find("ip = 198.18.0.101"), std::string::npos);
}

TEST(TunnelRig, AGatewayThatCannotStartIsReportedWithItsLog) {
    if (!testsupport::IsRoot()) GTEST_SKIP() << "needs root for network namespaces";
    GatewaySetup broken;
    broken.extra = {"no_such_key = 1"};  // the gateway refuses unknown settings
    TunnelRig rig(broken);
    std::string error;
    EXPECT_FALSE(rig.Start(&error));
    EXPECT_NE(error.find("gateway ended"), std::string::npos) << error;
    EXPECT_NE(ReadText(rig.Harness().WorkDir() + "/gateway.log").find("no_such_key"), std::string::npos);
}

}  // namespace
}  // namespace systemtest
