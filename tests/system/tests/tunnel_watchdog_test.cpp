// The client killed with -9 while online: the service's watchdog puts pc's routes and resolver
// back. The watchdog minds only clients of its own machine root and network namespace, so clients
// of the same name in other tests do not disturb it.
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include "testsupport/as_user.h"
#include "tunnel_fixture.h"

namespace systemtest {
namespace {

class WatchdogTest : public TunnelTest {
protected:
    // The watchdog acts only on a client it saw running; it says so in pc's log, and only then is
    // the client killed.
    void KillTheClientTheWatchdogSaw() {
        ASSERT_TRUE(testsupport::WaitFor(
            "the watchdog to see the client",
            [&] { return m_rig->PcLogContains("[CheckGUIThread::Execute] GUI running."); }, 10000));
        m_rig->Harness().StopProcess("client", SIGKILL);
    }

    ::testing::AssertionResult PcRestored(const char* by) {
        if (testsupport::WaitFor(
                by,
                [&] {
                    return m_rig->PcMainRoutes() == m_beforeMainRoutes &&
                           ReadText(m_rig->Harness().ResolverFile()) == m_before.resolver;
                },
                10000))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "routes before:\n"
                                             << m_beforeMainRoutes << "routes now:\n"
                                             << m_rig->PcMainRoutes() << "resolver now:\n"
                                             << ReadText(m_rig->Harness().ResolverFile());
    }
};

TEST_F(WatchdogTest, KilledClientsRoutesAndResolverAreRestoredByTheWatchdog) {
    ASSERT_TRUE(Bring());
    ClientSetup client;
    client.processName = "VornClient";  // the name the service's watchdog looks for
    ASSERT_TRUE(LogOn(client));
    ASSERT_NE(m_rig->PcMainRoutes(), m_beforeMainRoutes);
    KillTheClientTheWatchdogSaw();
    EXPECT_TRUE(PcRestored("the watchdog to restore pc's routes and resolver"));
    // The watchdog leaves the virtual address on the (now disconnected) adapter; only routes and
    // resolver are its to put back.
    m_compareAfter = false;
}

// Another member of the group plants the route file's old name in the group's client folder (0666)
// before the client logs on: the client saves its table in its own place all the same, and the
// watchdog restores pc from that file when the client is killed.
TEST_F(WatchdogTest, ARouteFilePlantedByAnotherMemberNeitherStopsTheSaveNorTheRestore) {
    ASSERT_TRUE(Bring());
    const group* qel = ::getgrnam("qel");
    ASSERT_NE(qel, nullptr);
    const std::string planted = m_rig->Harness().PcRoot() + "/client/SystemRouteTable.dat";
    const testsupport::AsUser planter{65532, 65532, {qel->gr_gid}};
    ASSERT_EQ(testsupport::RunAsUser(planter,
                                     [&] {
                                         const int fd =
                                             ::open(planted.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0666);
                                         return fd >= 0 && ::fchmod(fd, 0666) == 0 ? 0 : 1;
                                     }),
              0);
    ClientSetup client;
    client.processName = "VornClient";
    ASSERT_TRUE(LogOn(client));
    EXPECT_TRUE(m_rig->PcLogContains("[SaveSystemRouteToFile] Save Route Table success."));
    struct stat st {};
    EXPECT_EQ(::stat((m_rig->Harness().ClientPlace() + "/SystemRouteTable.dat").c_str(), &st), 0);
    KillTheClientTheWatchdogSaw();
    EXPECT_TRUE(PcRestored("the watchdog to restore pc's routes and resolver"));
    m_compareAfter = false;
}

// The client killed while the service was down: the service, started again, finds no client of
// its machine and restores the session's routes and resolver from what the client saved. A new
// client then logs on over the address left on the adapter and carries traffic; its logoff leaves
// pc exactly as before.
TEST_F(WatchdogTest, ClientKilledWhileTheServiceIsDownIsRestoredWhenTheServiceStarts) {
    ASSERT_TRUE(Bring());
    ASSERT_TRUE(LogOn());
    ASSERT_NE(m_rig->PcMainRoutes(), m_beforeMainRoutes);
    m_rig->Harness().StopProcess("lunther", SIGTERM);
    m_rig->Harness().StopProcess("client", SIGKILL);
    std::string error;
    ASSERT_TRUE(m_rig->Harness().StartService(&error)) << error;
    EXPECT_TRUE(PcRestored("the started service to restore pc's routes and resolver"));
    ASSERT_TRUE(LogOn());
    std::string ping;
    EXPECT_EQ(m_rig->Ping(2, &ping), 0) << ping;
    EXPECT_TRUE(m_rig->EchoTransfer(1 << 20).ok);
}

// Through a proxy beside the gateway: the gateway restarts under the session (a relogon), then the
// client is killed and the watchdog restores pc from the table saved before the session (not the
// relogon's, which held the session's host routes). A new client logs on and carries traffic; in
// the end pc is exactly as before.
// The watchdog counts only a client of its own machine (root and namespace): another VornClient
// elsewhere on the machine is no reason to skip.
TEST_F(WatchdogTest, GatewayRestartThenKilledClientThenANewClientLeavesPcAsBefore) {
    HarnessOptions harness = MemberHarness();
    harness.proxyAddress = "198.51.100.3";
    ASSERT_TRUE(Bring(GatewaySetup{}, harness));
    ClientSetup client;
    client.viaProxy = true;
    client.processName = "VornClient";
    ASSERT_TRUE(LogOn(client));
    m_rig->Harness().StopProcess("gateway", SIGKILL);
    std::string error;
    ASSERT_TRUE(m_rig->RestartGateway(GatewaySetup{}, &error)) << error;
    ASSERT_TRUE(testsupport::WaitFor(
        "the relogon", [&] { return m_rig->PcLogContains("QEL_CLIENT_RELOGON_PASSWORD_OK_FINDIP"); },
        kOnlineMs))
        << m_rig->ClientLog();
    ASSERT_TRUE(m_rig->WaitOnline(kOnlineMs, &error)) << error;
    KillTheClientTheWatchdogSaw();
    EXPECT_TRUE(PcRestored("the watchdog to restore pc's routes and resolver"));
    ClientSetup next;
    next.viaProxy = true;
    ASSERT_TRUE(LogOn(next));
    std::string ping;
    EXPECT_EQ(m_rig->Ping(2, &ping), 0) << ping;
    EXPECT_TRUE(m_rig->EchoTransfer(1 << 20).ok);
}

}  // namespace
}  // namespace systemtest
