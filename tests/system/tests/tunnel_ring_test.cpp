// Another user that takes the driver's packet ring before the client's logon: the logon ends with
// its message and never comes online, nothing of the session reaches the other user; once the
// other lets go, the client logs on and carries traffic. A user outside the client's group does
// not even open the device.
#include <grp.h>
#include <sys/stat.h>

#include "tunnel_fixture.h"

namespace systemtest {
namespace {

constexpr const char* kRingRefused = "in use by another";

// "held" or "refused" from the ring holder's log, empty while it has not said.
std::string HolderSaid(const TunnelRig& rig, const std::string& name) {
    const std::string log = ReadText(rig.Harness().WorkDir() + "/" + name + ".log");
    if (log.find("held") != std::string::npos) return "held";
    if (log.find("refused") != std::string::npos) return "refused";
    return "";
}

class RingTest : public TunnelTest {
protected:
    // Starts the ring holder in pc as uid `uid`, with the client's group when `member`; waits for
    // its word.
    std::string StartHolder(const std::string& name, unsigned uid, bool member) {
        const group* g = ::getgrnam("qel");
        std::vector<std::string> argv = {"setpriv", "--reuid=" + std::to_string(uid),
                                         "--regid=" + std::to_string(uid)};
        argv.push_back(member && g != nullptr ? "--groups=" + std::to_string(g->gr_gid) : "--clear-groups");
        argv.push_back(testsupport::BinDir() + "/tw_ring_holder");
        if (m_rig->Harness().StartInPc(name, argv) < 0) return "not started";
        std::string said;
        testsupport::WaitFor(name + " to take the ring or be refused", [&] {
            said = HolderSaid(*m_rig, name);
            return !said.empty() || !m_rig->Harness().Alive(name);
        });
        return said;
    }
};

TEST_F(RingTest, ARingTakenByAnotherUserEndsTheLogonClearlyAndTheClientWorksOnceItIsFree) {
    if (::getgrnam("qel") == nullptr) GTEST_SKIP() << "no qel group (scripts/install.sh makes it)";
    ASSERT_TRUE(Bring());
    // Other users reach pc's machine root, as on a machine (the device checks who connects).
    for (const std::string& dir : {m_rig->Harness().WorkDir(), m_rig->Harness().PcRoot()})
        ASSERT_EQ(::chmod(dir.c_str(), 0755), 0) << dir;
    EXPECT_EQ(StartHolder("outsider", 65532, false), "refused") << "a user outside the group took the ring";
    m_rig->Harness().StopProcess("outsider", SIGTERM, 2000);
    ASSERT_EQ(StartHolder("attacker", 65532, true), "held")
        << ReadText(m_rig->Harness().WorkDir() + "/attacker.log");

    ClientSetup client;
    client.timing = kTestTiming;
    ASSERT_GE(m_rig->StartClient(client), 0);
    EXPECT_TRUE(testsupport::WaitFor(
        "the client to say that the ring is another's",
        [&] { return m_rig->ClientLog().find(kRingRefused) != std::string::npos; }, kOnlineMs))
        << m_rig->ClientLog();
    EXPECT_FALSE(m_rig->Online()) << "online without the ring";
    EXPECT_EQ(m_rig->ClientLog().find("callback 0\n"), std::string::npos) << "reported online\n"
                                                                          << m_rig->ClientLog();
    m_rig->Harness().StopProcess("client", SIGTERM, 20000);

    // The other lets go: the client's next logon works.
    m_rig->Harness().StopProcess("attacker", SIGTERM, 2000);
    ASSERT_TRUE(LogOn());
    std::string ping;
    EXPECT_EQ(m_rig->Ping(3, &ping), 0) << ping << m_rig->ClientLog();
}

}  // namespace
}  // namespace systemtest
