// The session through a proxy of its own beside the gateway, and the quit at awkward moments: a full
// tunnel and a pushed route that covers the proxy (the carrier must stay outside the tunnel), a
// proxy that trickles its answer (a quit leaves it at once), and a quit while the forced logoff of
// a deleted adapter runs; a gateway's netmask no adapter can hold, and one that never answers the
// logon. Each ends with pc exactly as before.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <sstream>
#include <chrono>
#include <thread>

#include "platform/unique_fd.h"
#include "tunnel_fixture.h"

namespace systemtest {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kOwnProxyAddress = "198.51.100.3";

// pc's ends ("address:port") of its established connections to the proxy, one a line.
std::string ProxyConnections(const TunnelRig& rig) {
    std::string out;
    rig.Harness().RunInPc({"ss", "-tnH", "state", "established", "dst",
                           std::string(kOwnProxyAddress) + ":" + std::to_string(kProxyPort)},
                          &out);
    std::istringstream lines(out);
    std::string ends;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string recvQ, sendQ, self;
        if (fields >> recvQ >> sendQ >> self) ends += self + "\n";
    }
    return ends;
}

HarnessOptions ProxyBesideTheGateway() {
    HarnessOptions h;
    h.clientUser = true;
    h.serviceLayer = true;
    h.proxyAddress = kOwnProxyAddress;
    return h;
}

TEST_F(TunnelTest, ProxyBesideTheGatewayStaysOutsideAFullTunnelAndACoveringRoute) {
    GatewaySetup gateway;
    gateway.fullTunnel = true;
    // Covers the proxy, the gateway and pc's own subnet half.
    gateway.extra = {std::string("route = 198.51.100.0/255.255.255.128 via ") + kGwDeviceAddress};
    ASSERT_TRUE(Bring(gateway, ProxyBesideTheGateway()));
    ClientSetup client;
    client.viaProxy = true;
    ASSERT_TRUE(LogOn(client));
    const std::string carrier = ProxyConnections(*m_rig);
    ASSERT_FALSE(carrier.empty());
    EXPECT_EQ(m_rig->RouteDevice(kOwnProxyAddress), "eth0") << m_rig->PcMainRoutes();
    EXPECT_EQ(m_rig->RouteDevice(kGwAddress), "eth0") << m_rig->PcMainRoutes();
    std::string ping;
    EXPECT_EQ(m_rig->Ping(2, &ping), 0) << ping;
    EXPECT_TRUE(m_rig->EchoTransfer(1 << 20).ok);
    // The carrier is still the first one: it never went into its own tunnel.
    EXPECT_EQ(ProxyConnections(*m_rig), carrier) << m_rig->ClientLog();
}

// A proxy in gw that answers "200" and then a byte a second, never the blank line.
class TricklingProxy {
public:
    explicit TricklingProxy(const SystemHarness& harness) {
        harness.RunInsideGw([this] {
            m_listener.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            if (!m_listener) return;
            const int on = 1;
            ::setsockopt(m_listener.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_port = htons(kProxyPort);
            inet_pton(AF_INET, kGwAddress, &sa.sin_addr);
            if (::bind(m_listener.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
                ::listen(m_listener.Get(), 4) != 0)
                m_listener.Reset();
        });
        if (m_listener) m_thread = std::thread([this] { Serve(); });
    }
    ~TricklingProxy() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
    }
    bool Ok() const { return static_cast<bool>(m_listener); }
    int Sent() const { return m_sent.load(); }

private:
    void Serve() {
        platform::UniqueFd peer;
        while (!m_stop.load() && !peer) {
            pollfd p{m_listener.Get(), POLLIN, 0};
            if (::poll(&p, 1, 50) > 0)
                peer.Reset(::accept4(m_listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        }
        if (!peer) return;
        char request[4096];
        if (::recv(peer.Get(), request, sizeof request, 0) <= 0) return;
        const char status[] = "HTTP/1.0 200 Connection established\r\n";
        if (::send(peer.Get(), status, sizeof status - 1, MSG_NOSIGNAL) <= 0) return;
        auto next = Clock::now();
        while (!m_stop.load()) {
            // The peer's pace, not a synchronisation: a byte a second, as a broken proxy sends.
            if (Clock::now() >= next) {
                if (::send(peer.Get(), "x", 1, MSG_NOSIGNAL) != 1) return;
                ++m_sent;
                next += std::chrono::seconds(1);
            }
            pollfd p{peer.Get(), POLLIN, 0};
            if (::poll(&p, 1, 50) > 0) {
                char b;
                if (::recv(peer.Get(), &b, 1, MSG_DONTWAIT) == 0) return;  // the client went
            }
        }
    }

    platform::UniqueFd m_listener;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_sent{0};
    std::thread m_thread;
};

TEST_F(TunnelTest, TricklingProxyIsLeftAtOnceWhenTheClientQuits) {
    HarnessOptions harness = MemberHarness();
    harness.proxy = false;  // ours takes tinyproxy's place
    ASSERT_TRUE(Bring(GatewaySetup{}, harness));
    TricklingProxy proxy(m_rig->Harness());
    ASSERT_TRUE(proxy.Ok());
    ClientSetup client;
    client.viaProxy = true;
    client.timing = kTestTiming;
    ASSERT_GT(m_rig->StartClient(client), 0);
    ASSERT_TRUE(testsupport::WaitFor("the proxy to trickle its answer", [&] { return proxy.Sent() >= 2; }));
    const auto asked = Clock::now();
    m_rig->Harness().StopProcess("client", SIGTERM, 20000);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - asked).count();
    // Without the cut it would wait out the proxy time-out (30 s) from its last byte.
    EXPECT_LT(took, 3000) << "the client took " << took << " ms to quit\n" << m_rig->ClientLog();
    EXPECT_FALSE(m_rig->Harness().Alive("client"));
}

// The quit lands while the forced logoff of the deleted adapter restores pc: it is served after
// that logoff, and the resolver loses the tunnel's name server as the routes do.
TEST_F(TunnelTest, QuitDuringTheForcedLogoffOfADeletedAdapterLeavesPcAsBefore) {
    ASSERT_TRUE(Bring());
    ASSERT_TRUE(LogOn());
    ASSERT_EQ(m_rig->Harness().RunInPc({"ip", "link", "del", kTapName}), 0);
    // The forced logoff has begun once the user is told that the adapter is gone (text 316).
    ASSERT_TRUE(testsupport::WaitFor("the forced logoff to begin", [&] {
        return m_rig->ClientLog().find("#316") != std::string::npos;
    })) << m_rig->ClientLog();
    m_rig->Harness().StopProcess("client", SIGTERM, 20000);
    EXPECT_FALSE(m_rig->Harness().Alive("client"));
    // The teardown compares routes, addresses and resolver exactly.
}

// pc's machine root (where its resolver file and the service's journal live) is full at the logoff:
// the routes and the resolver come back all the same, the resolver by a rename that needs no space.
TEST_F(TunnelTest, FullDiskAtTheLogoffStillRestoresPcExactly) {
    HarnessOptions harness = MemberHarness();
    harness.pcRootTmpfsMiB = 24;
    ASSERT_TRUE(Bring(GatewaySetup{}, harness));
    ASSERT_TRUE(LogOn());
    const std::string filler = m_rig->Harness().PcRoot() + "/filler";
    {
        std::FILE* f = std::fopen(filler.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        static const char block[64 * 1024] = {};
        while (std::fwrite(block, 1, sizeof block, f) == sizeof block) {
        }
        std::fclose(f);
        // The last partial block too, byte by byte, so not one byte is left.
        f = std::fopen(filler.c_str(), "ab");
        ASSERT_NE(f, nullptr);
        while (std::fputc(0, f) != EOF && std::fflush(f) == 0) {
        }
        std::fclose(f);
    }
    m_rig->Harness().StopProcess("client", SIGTERM, 20000);
    ::unlink(filler.c_str());
    // The teardown compares routes, addresses and resolver exactly.
}

// The driver daemon dies under the session: its adapter goes with it, and the session ends with
// that reason (not "done"), pc's routes and resolver put back.
TEST_F(TunnelTest, DriverDaemonKilledUnderTheSessionEndsItWithItsReason) {
    ASSERT_TRUE(Bring());
    ASSERT_TRUE(LogOn());
    // Online as the engine sees it, its adapter steps done, not only as pc's state shows.
    ASSERT_TRUE(testsupport::WaitFor("the client to say it is online", [&] {
        return m_rig->ClientLog().find("client: online") != std::string::npos;
    })) << m_rig->ClientLog();
    m_rig->Harness().StopProcess("olvane", SIGKILL);
    EXPECT_TRUE(testsupport::WaitFor(
        "the client to end the session", [&] { return !m_rig->Harness().Alive("client"); }, 20000))
        << m_rig->ClientLog();
    const std::string log = m_rig->ClientLog();
    EXPECT_NE(log.find("the session ended (last error 56: "), std::string::npos) << log;
    EXPECT_EQ(log.find("last error 0"), std::string::npos) << log;
}

// A gateway that hands out a netmask no adapter can hold: the logon ends at once with a message
// naming it. The address wait is stretched far past the bound below, so a logon that waited for
// an address that cannot come would not end by itself in time.
TEST_F(TunnelTest, NetmaskNoAdapterCanHoldEndsTheLogonAtOnceWithItsReason) {
    GatewaySetup gateway;
    gateway.extra = {"netmask = 0.0.0.0"};
    ASSERT_TRUE(Bring(gateway));
    ClientSetup client;
    client.timing = std::string(kTestTiming) + ",adapterAddressLimitMs=600000";
    ASSERT_GT(m_rig->StartClient(client), 0);
    ASSERT_TRUE(SessionEndedByItself()) << m_rig->ClientLog();
    const std::string log = m_rig->ClientLog();
    EXPECT_NE(log.find("not online (last error 60: "), std::string::npos) << log;
    EXPECT_NE(log.find("子网掩码 0.0.0.0"), std::string::npos) << log;
    // The teardown compares routes, addresses and resolver exactly.
}

// A gateway that takes the TLS connection and never answers the logon: the logon ends at its
// bound with the reason the user was shown, never with an empty one.
TEST_F(TunnelTest, GatewayThatNeverAnswersTheLogonEndsItWithItsReason) {
    GatewaySetup gateway;
    gateway.extra = {"logon = silent"};
    ASSERT_TRUE(Bring(gateway));
    ClientSetup client;
    client.timing = std::string(kTestTiming) + ",logonDataMs=1000";
    ASSERT_GT(m_rig->StartClient(client), 0);
    ASSERT_TRUE(SessionEndedByItself()) << m_rig->ClientLog();
    const std::string log = m_rig->ClientLog();
    EXPECT_NE(log.find("not online (last error 35: #204)"), std::string::npos) << log;
}

}  // namespace
}  // namespace systemtest
