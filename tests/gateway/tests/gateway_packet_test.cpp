// The packet path through a TUN and a TAP device in a namespace of the test's own: a ping and a
// TCP connection attempt from the client's virtual address reach the gateway's kernel, and its
// answers come back through the tunnel. Needs root.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <poll.h>

#include <cstring>
#include <memory>
#include <string>

#include "gateway/test_gateway.h"
#include "gateway_client.h"
#include "platform/machine_root.h"
#include "platform/unique_fd.h"
#include "testsupport/netns.h"
#include "testsupport/tcp_stream.h"
#include "testsupport/temp_root.h"
#include "wendrel/ssr_control.h"

using namespace qelgw;
using qelgw::test::Build;
using qelgw::test::GatewayClient;

namespace {

constexpr std::uint32_t kDeviceAddress = 0xC6120001;  // 198.18.0.1
constexpr std::uint16_t kListenPort = 8080;

std::uint16_t Sum(const std::uint8_t* p, std::size_t n, std::uint32_t sum = 0) {
    for (std::size_t i = 0; i + 1 < n; i += 2) sum += static_cast<std::uint32_t>(p[i] << 8 | p[i + 1]);
    if (n & 1) sum += static_cast<std::uint32_t>(p[n - 1] << 8);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

void Put16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}
void Put32(std::uint8_t* p, std::uint32_t v) {
    Put16(p, static_cast<std::uint16_t>(v >> 16));
    Put16(p + 2, static_cast<std::uint16_t>(v));
}
std::uint16_t Get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

// Ethernet + IPv4 + `body` (whose checksum the caller filled) from the client to the device.
std::vector<std::uint8_t> Packet(std::uint32_t source, std::uint8_t protocol, const std::uint8_t* body,
                                 std::size_t length) {
    std::uint8_t f[14 + 20 + 64] = {0, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0xFF, 0xFF, 0xFF, 0, 0, 0x08, 0x00};
    std::uint8_t* ip = f + 14;
    ip[0] = 0x45;
    Put16(ip + 2, static_cast<std::uint16_t>(20 + length));
    ip[8] = 64;
    ip[9] = protocol;
    Put32(ip + 12, source);
    Put32(ip + 16, kDeviceAddress);
    Put16(ip + 10, Sum(ip, 20));
    std::memcpy(ip + 20, body, length);
    return std::vector<std::uint8_t>(f, f + 34 + length);
}

std::vector<std::uint8_t> Ping(std::uint32_t source) {
    std::uint8_t icmp[12] = {8, 0, 0, 0, 0x12, 0x34, 0, 1, 'p', 'i', 'n', 'g'};
    Put16(icmp + 2, Sum(icmp, sizeof icmp));
    return Packet(source, 1, icmp, sizeof icmp);
}

std::vector<std::uint8_t> Syn(std::uint32_t source) {
    // The pseudo header, then the TCP header: the checksum covers both.
    std::uint8_t all[12 + 20] = {};
    Put32(all, source);
    Put32(all + 4, kDeviceAddress);
    all[9] = 6;
    Put16(all + 10, 20);
    std::uint8_t* tcp = all + 12;
    Put16(tcp, 40000);
    Put16(tcp + 2, kListenPort);
    Put32(tcp + 4, 1000);
    tcp[12] = 0x50;
    tcp[13] = 0x02;  // SYN
    Put16(tcp + 14, 65535);
    Put16(tcp + 16, Sum(all, sizeof all));
    return Packet(source, 6, tcp, 20);
}

// The next data message's frame carrying IPv4 `protocol` (ARP and other chatter skipped).
std::vector<std::uint8_t> NextPacket(GatewayClient& client, std::uint8_t protocol) {
    for (int i = 0; i < 20; ++i) {
        auto msg = client.Next(10000);
        if (msg.empty()) return {};
        if (msg[0] != 0x03 || msg.size() < 4 + 34) continue;
        if (msg[4 + 12] == 0x08 && msg[4 + 13] == 0x00 && msg[4 + 14 + 9] == protocol)
            return std::vector<std::uint8_t>(msg.begin() + 4, msg.end());
    }
    return {};
}

// A gateway on its own device in the test's namespace, the resource host (the gateway's own
// kernel, which answers pings) listening for TCP, and one client logged on as alice.
struct GatewayRig {
    GatewayConfig config;
    platform::UniqueFd listener{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    std::unique_ptr<TestGateway> gateway;
    GatewayClient client;

    // Empty once all of it is up, else what failed.
    std::string Start(const std::string& stateDir, DeviceKind device) {
        config.stateDir = stateDir;
        config.device = device;
        config.deviceName = "qelgw0";
        config.deviceAddress = kDeviceAddress;
        config.deviceMask = 0xFFFE0000;
        std::string error;
        if (!config.AddUser("alice:secret", &error)) return "user: " + error;
        gateway = std::make_unique<TestGateway>(config);
        if (!gateway->Start(&error)) return "gateway: " + error;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(kListenPort);
        a.sin_addr.s_addr = htonl(kDeviceAddress);
        if (::bind(listener.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(listener.Get(), 4) != 0) {
            return std::string("listener: ") + std::strerror(errno);
        }
        if (!client.Connect(gateway->Port())) return "no connection to the gateway";
        if (!client.Send(Build([](void* b, short* s) {
                return ssr_ConstructCltLogonSvrRequest3(b, s, "alice", "secret", 0, "hw", 0);
            }))) {
            return "logon request not sent";
        }
        const auto answer = client.Next();
        if (answer.size() < 2 || answer[1] != SSR_MNG_GW_CLT_LOGON_RESPON_LOGONOK) return "logon refused";
        return "";
    }
};

class GatewayPacketTest : public ::testing::TestWithParam<DeviceKind> {};

TEST_P(GatewayPacketTest, PingAndTcpReachTheGatewayHostAndAnswersComeBack) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace and a TUN/TAP device";
    testsupport::TempRoot root("qel-gateway-packet");
    platform::ResetMachineRoot();
    testsupport::NetnsScope ns;
    ASSERT_TRUE(ns.Ok());
    GatewayRig rig;
    ASSERT_EQ(rig.Start(root.Path() + "/gw", GetParam()), "");
    const GatewayConfig& config = rig.config;
    TestGateway& gateway = *rig.gateway;
    GatewayClient& client = rig.client;
    const std::uint32_t vip = config.poolStart;

    auto ping = Ping(vip);
    ASSERT_TRUE(client.Send(Build([&](void* b, short* s) {
        return ssr_ConstructSsrIPPacket(b, s, static_cast<int>(ping.size()), ping.data());
    })));
    auto reply = NextPacket(client, 1);
    ASSERT_FALSE(reply.empty()) << "no ICMP answer through the tunnel";
    EXPECT_EQ(reply[34], 0) << "not an echo reply";
    EXPECT_EQ(Get16(reply.data() + 38), 0x1234);
    EXPECT_EQ(std::memcmp(reply.data() + 42, "ping", 4), 0);
    EXPECT_EQ(std::memcmp(reply.data() + 30, ping.data() + 26, 4), 0)
        << "not addressed to the virtual address";

    auto syn = Syn(vip);
    ASSERT_TRUE(client.Send(Build([&](void* b, short* s) {
        return ssr_ConstructSsrIPPacket(b, s, static_cast<int>(syn.size()), syn.data());
    })));
    auto synAck = NextPacket(client, 6);
    ASSERT_FALSE(synAck.empty()) << "no TCP answer through the tunnel";
    EXPECT_EQ(Get16(synAck.data() + 34), kListenPort);
    EXPECT_EQ(Get16(synAck.data() + 36), 40000);
    EXPECT_EQ(synAck[47] & 0x12, 0x12) << "not SYN+ACK";

    // A burst from the gateway's host: the device holds many packets at once, which leave in
    // batches; every one arrives whole and in order.
    platform::UniqueFd udp(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(9);
    to.sin_addr.s_addr = htonl(vip);
    constexpr int kBurst = 300;
    std::uint8_t datagram[1200];
    for (int i = 0; i <= kBurst; ++i) {
        std::memset(datagram, i & 0xFF, sizeof datagram);
        Put16(datagram, static_cast<std::uint16_t>(i));
        ASSERT_EQ(
            ::sendto(udp.Get(), datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
            static_cast<ssize_t>(sizeof datagram))
            << std::strerror(errno);
        // The first one waits for its answer: on a TAP the kernel asks for the address first.
        if (i == 0) {
            ASSERT_FALSE(NextPacket(client, 17).empty()) << "no datagram through the tunnel";
        }
    }
    for (int i = 1; i <= kBurst; ++i) {
        auto got = NextPacket(client, 17);
        ASSERT_EQ(got.size(), 14u + 20 + 8 + sizeof datagram) << "datagram " << i;
        const std::uint8_t* body = got.data() + 42;
        ASSERT_EQ(Get16(body), i) << "out of order";
        EXPECT_EQ(body[sizeof datagram - 1], i & 0xFF) << "datagram " << i << " is not whole";
    }
    gateway.Stop();
    platform::ResetMachineRoot();
}

// ---- a TCP stream through the TUN device, which takes and hands up super-frames ----

// The kernel hands the TUN device TCP super-frames and takes merged segments: what crosses the
// tunnel must still be frames of the adapter's size, checksums sound, every byte in its place.
TEST(GatewayOffloadTest, ATcpStreamCrossesTheTunWholeBothWays) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace and a TUN device";
    testsupport::TempRoot root("qel-gateway-offload");
    platform::ResetMachineRoot();
    testsupport::NetnsScope ns;
    ASSERT_TRUE(ns.Ok());
    GatewayRig rig;
    ASSERT_EQ(rig.Start(root.Path() + "/gw", DeviceKind::Tun), "");
    const GatewayConfig& config = rig.config;
    TestGateway& gateway = *rig.gateway;
    GatewayClient& client = rig.client;
    platform::UniqueFd& listener = rig.listener;

    testsupport::TcpPeer peer;
    peer.ip = config.poolStart;
    peer.deviceIp = kDeviceAddress;
    peer.devicePort = kListenPort;
    testsupport::TcpLink link;
    // A batch of frames goes as one TLS send, so the gateway takes it in one delivery.
    link.send = [&](const std::vector<std::vector<std::uint8_t>>& frames) {
        std::vector<std::uint8_t> all;
        for (const auto& f : frames) {
            auto msg = Build([&](void* b, short* s) {
                return ssr_ConstructSsrIPPacket(b, s, static_cast<int>(f.size()), f.data());
            });
            all.insert(all.end(), msg.begin(), msg.end());
        }
        return client.Send(all);
    };
    link.next = [&] { return NextPacket(client, 6); };
    testsupport::CrossTcpStreamThroughOffloads(peer, link, listener.Get(), "qelgw0");
    gateway.Stop();
    platform::ResetMachineRoot();
}

INSTANTIATE_TEST_SUITE_P(Devices, GatewayPacketTest, ::testing::Values(DeviceKind::Tun, DeviceKind::Tap),
                         [](const auto& p) { return p.param == DeviceKind::Tun ? "Tun" : "Tap"; });

}  // namespace
