// The client killed with -9 while online: the service's watchdog puts pc's routes and resolver
// back. The watchdog minds only clients of its own machine root and network namespace, so clients
// of the same name in other tests do not disturb it.
#include "tunnel_fixture.h"

namespace systemtest {
namespace {

TEST_F(TunnelTest, KilledClientsRoutesAndResolverAreRestoredByTheWatchdog) {
    ASSERT_TRUE(Bring());
    ClientSetup client;
    client.processName = "VornClient";  // the name the service's watchdog looks for
    ASSERT_TRUE(LogOn(client));
    ASSERT_NE(m_rig->PcMainRoutes(), m_beforeMainRoutes);
    // The watchdog acts only on a client it saw running in one of its rounds; it says so in pc's log.
    ASSERT_TRUE(testsupport::WaitFor(
        "the watchdog to see the client",
        [&] { return m_rig->PcLogContains("[CheckGUIThread::Execute] GUI running."); }, 10000));
    m_rig->Harness().StopProcess("client", SIGKILL);
    EXPECT_TRUE(testsupport::WaitFor(
        "the watchdog to restore pc's routes and resolver",
        [&] {
            return m_rig->PcMainRoutes() == m_beforeMainRoutes &&
                   ReadText(m_rig->Harness().ResolverFile()) == m_before.resolver;
        },
        10000))
        << "routes before:\n"
        << m_beforeMainRoutes << "routes now:\n"
        << m_rig->PcMainRoutes() << "resolver now:\n"
        << ReadText(m_rig->Harness().ResolverFile());
    // The watchdog leaves the virtual address on the (now disconnected) adapter; only routes and
    // resolver are its to put back.
    m_compareAfter = false;
}

}  // namespace
}  // namespace systemtest
