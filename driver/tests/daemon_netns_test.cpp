// The daemon as it runs: in a network namespace of its own, over a real TAP device, reached
// through its control device socket. Needs root; skips without it.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include <vector>

#include "platform/event.h"
#include "platform/filter_device.h"
#include "platform/process.h"
#include "platform/unique_fd.h"
#include "support/fake_nic.h"
#include "support/ring_client.h"
#include "testsupport/command.h"
#include "testsupport/netns.h"
#include "testsupport/udp_frame.h"
#include "testsupport/wait.h"

namespace olvane {
namespace {

const std::uint8_t kMac0[6] = {0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x00};
const std::uint8_t kFar[6] = {0x00, 0xFF, 0xFF, 0xFF, 0x01, 0x00};

using testsupport::BinDir;

bool LinkHasCarrier(const std::string& ns) {
    std::string out = "/tmp/olvane-link-" + std::to_string(::getpid());
    platform::SpawnOptions o;
    int rc = platform::RunAndWait({"sh", "-c", "ip -n " + ns + " link show qelmini0 > " + out}, o);
    FILE* f = std::fopen(out.c_str(), "r");
    char buf[512] = {};
    if (f != nullptr) {
        (void)!std::fread(buf, 1, sizeof(buf) - 1, f);
        std::fclose(f);
    }
    ::unlink(out.c_str());
    return rc == 0 && std::strstr(buf, "NO-CARRIER") == nullptr && std::strstr(buf, "qelmini0") != nullptr;
}

class DaemonNetns : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::IsRoot()) GTEST_SKIP() << "needs root for network namespaces and TAP devices";
        ns = "olvtest" + std::to_string(::getpid());
        netns = std::make_unique<testsupport::NamedNetns>(ns);
        ASSERT_TRUE(netns->Ok());
        platform::SpawnOptions o;
        o.extraEnv.push_back("QEL_ROOT=" + root.Path());
        pid = netns->Spawn({BinDir() + "/Olvane", "--protocol-delay-ms=0"}, o);
        ASSERT_GT(pid, 0);
        const std::string path = root.Path() + "/run/ndisfilter";
        ASSERT_TRUE(testsupport::WaitFor(
            "the control device to open",
            [&] { return (dev = platform::FilterDevice::Open(path)) != nullptr; }, 10000))
            << "the daemon's control device did not appear";
        DWORD returned = 0;
        TW_ADAPTER_BY_MAC a{};
        ASSERT_TRUE(testsupport::WaitFor(
            "the virtual adapter to be bound",
            [&] {
                return dev->DeviceIoControl(IOCTL_NDIS_FILTER_GET_ADAPTER, kMac0, 6, &a, 10, &returned) ==
                       TRUE;
            },
            10000))
            << "the virtual adapter was not bound";
        id = a.adapterId;
    }
    void TearDown() override {
        dev.reset();
        if (pid > 0 && platform::ProcessAlive(pid)) testsupport::StopProcess(pid, SIGKILL, 5000);
        netns.reset();
    }
    bool SetMedia(std::uint8_t state) {
        TW_MEDIA_STATUS m{};
        std::memcpy(m.mac, kMac0, 6);
        m.state = state;
        DWORD returned = 0;
        return dev->DeviceIoControl(IOCTL_NDIS_FILTER_SET_MEDIA_STATUS, &m, 7, nullptr, 0, &returned) == TRUE;
    }

    // Connects the adapter as 198.18.0.1 with a neighbour 198.18.0.2 and opens a UDP socket in the
    // namespace, `to` naming that neighbour: what is sent there leaves through the adapter.
    void OpenPathToNeighbour(platform::UniqueFd* udp, sockaddr_in* to) {
        ASSERT_TRUE(SetMedia(1));
        ASSERT_EQ(testsupport::Run({"ip", "-n", ns, "addr", "add", "198.18.0.1/24", "dev", "qelmini0"}), 0);
        ASSERT_EQ(testsupport::Run({"ip", "-n", ns, "neigh", "replace", "198.18.0.2", "lladdr",
                                    "00:ff:ff:ff:01:00", "dev", "qelmini0"}),
                  0);
        ASSERT_TRUE(netns->RunInside([&] { udp->Reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)); }));
        ASSERT_GE(udp->Get(), 0);
        *to = sockaddr_in{};
        to->sin_family = AF_INET;
        to->sin_port = htons(5555);
        inet_pton(AF_INET, "198.18.0.2", &to->sin_addr);
    }
    testsupport::TempRoot root;
    std::string ns;
    std::unique_ptr<testsupport::NamedNetns> netns;
    pid_t pid = -1;
    std::unique_ptr<platform::FilterDevice> dev;
    std::uint32_t id = 0;
};

// `ip link show` of the adapter in `ns`, or "" when it does not exist.
std::string LinkText(const std::string& ns) {
    const std::string out = "/tmp/olvane-show-" + std::to_string(::getpid());
    platform::SpawnOptions o;
    const int rc =
        platform::RunAndWait({"sh", "-c", "ip -n " + ns + " link show qelmini0 > " + out + " 2>&1"}, o);
    std::string text(1024, '\0');
    if (FILE* f = std::fopen(out.c_str(), "r")) {
        text.resize(std::fread(text.data(), 1, text.size() - 1, f));
        std::fclose(f);
    }
    ::unlink(out.c_str());
    return rc == 0 ? text : std::string();
}

TEST_F(DaemonNetns, ADeletedAdapterIsMadeAgainWhenTheServiceEnablesIt) {
    ASSERT_EQ(testsupport::Run({"ip", "-n", ns, "link", "del", "qelmini0"}), 0);
    TW_ADAPTER_BY_MAC a{};
    DWORD returned = 0;
    ASSERT_TRUE(testsupport::WaitFor(
        "the adapter to be gone",
        [&] {
            return dev->DeviceIoControl(IOCTL_NDIS_FILTER_GET_ADAPTER, kMac0, 6, &a, 10, &returned) == FALSE;
        },
        10000))
        << "the deleted adapter stayed bound";
    // Until enabled the adapter stays gone; enabling it (root) makes it again, at once.
    DWORD made = 0;
    ASSERT_TRUE(testsupport::WaitFor(
        "the enable request to make the adapter",
        [&] {
            return dev->DeviceIoControl(IOCTL_QEL_ENABLE_ADAPTER, nullptr, 0, &made, 4, &returned) == TRUE &&
                   made == 1;
        },
        10000))
        << "the adapter was not made again";
    EXPECT_NE(LinkText(ns).find("00:ff:ff:ff:00:00"), std::string::npos) << LinkText(ns);
    ASSERT_TRUE(testsupport::WaitFor(
        "the adapter to be back",
        [&] {
            return dev->DeviceIoControl(IOCTL_NDIS_FILTER_GET_ADAPTER, kMac0, 6, &a, 10, &returned) == TRUE;
        },
        10000))
        << "the adapter made again was not bound";
    // A second enable finds nothing to do.
    ASSERT_TRUE(dev->DeviceIoControl(IOCTL_QEL_ENABLE_ADAPTER, nullptr, 0, &made, 4, &returned));
    EXPECT_EQ(made, 0u);
}

TEST_F(DaemonNetns, FramesCrossBetweenTheNamespaceAndTheRing) {
    DWORD returned = 0;
    DWORD addr = 0x30000000;
    std::uint64_t shared = 0;
    ASSERT_TRUE(dev->DeviceIoControl(IOCTL_NDIS_FILTER_START_SHARE, &addr, 4, &shared, 8, &returned));
    test::RingClient ring(reinterpret_cast<void*>(shared), true);

    // Media state follows the control code.
    EXPECT_FALSE(LinkHasCarrier(ns));
    ASSERT_TRUE(SetMedia(1));
    EXPECT_TRUE(testsupport::WaitFor("the link to have carrier", [&] { return LinkHasCarrier(ns); }));
    ASSERT_TRUE(SetMedia(0));
    EXPECT_TRUE(testsupport::WaitFor("the link to lose carrier", [&] { return !LinkHasCarrier(ns); }));
    ASSERT_TRUE(SetMedia(1));
    ASSERT_EQ(testsupport::Run({"ip", "-n", ns, "addr", "add", "198.18.0.1/24", "dev", "qelmini0"}), 0);
    ASSERT_EQ(testsupport::Run({"ip", "-n", ns, "neigh", "replace", "198.18.0.2", "lladdr",
                                "00:ff:ff:ff:01:00", "dev", "qelmini0"}),
              0);

    platform::UniqueFd udpOutFd, udpInFd, rawFd;
    ASSERT_TRUE(netns->RunInside([&] {
        udpOutFd.Reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        udpInFd.Reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        rawFd.Reset(::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_IP)));
    }));
    const int udpOut = udpOutFd.Get(), udpIn = udpInFd.Get(), raw = rawFd.Get();
    ASSERT_GE(udpOut, 0);
    ASSERT_GE(udpIn, 0);
    ASSERT_GE(raw, 0);
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(6666);
    inet_pton(AF_INET, "198.18.0.1", &in.sin_addr);
    ASSERT_EQ(::bind(udpIn, reinterpret_cast<sockaddr*>(&in), sizeof(in)), 0);
    timeval tv{5, 0};
    ::setsockopt(udpIn, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    ::setsockopt(raw, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));

    // Namespace -> adapter -> output ring.
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(5555);
    inet_pton(AF_INET, "198.18.0.2", &to.sin_addr);
    const char payload[] = "to-the-ring";
    ASSERT_GT(::sendto(udpOut, payload, sizeof(payload), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)), 0);
    // Other traffic (IPv6 neighbour discovery, for one) shares the ring: keep the first matching block.
    test::UserBlock b;
    ASSERT_TRUE(testsupport::WaitFor("the UDP datagram in the ring", [&] {
        while (ring.Read(&b)) {
            if (b.data.size() >= 42 && b.data[12] == 0x08 && b.data[13] == 0 && b.data[14 + 9] == 17 &&
                std::memcmp(b.data.data() + 30, &to.sin_addr, 4) == 0) {
                return true;
            }
        }
        return false;
    })) << "the datagram did not reach the ring";
    EXPECT_EQ(b.adapterId, id);
    EXPECT_EQ(b.direction, 2u);
    EXPECT_EQ(std::memcmp(b.data.data(), kFar, 6), 0);
    EXPECT_EQ(std::memcmp(b.data.data() + 6, kMac0, 6), 0);
    EXPECT_EQ(std::memcmp(b.data.data() + 42, payload, sizeof(payload)), 0);

    // Input ring -> adapter -> a socket in the namespace, with the far side's source address.
    const std::uint8_t any[6] = {2, 2, 2, 2, 2, 2};
    in_addr src{}, dst{};
    inet_pton(AF_INET, "198.18.0.2", &src);
    inet_pton(AF_INET, "198.18.0.1", &dst);
    auto frame = testsupport::UdpFrame(any, any, src.s_addr, dst.s_addr, 6666, 16);
    ASSERT_TRUE(
        ring.Write(id, PACKET_DIRECTION_OUTGOING, frame.data(), static_cast<std::uint32_t>(frame.size())));
    ASSERT_TRUE(dev->DeviceIoControl(IOCTL_NDIS_FILTER_WRITE_SHARE, nullptr, 0, nullptr, 0, &returned));
    char got[64];
    ASSERT_EQ(::recv(udpIn, got, sizeof(got), 0), 16) << "the injected datagram was not delivered";
    bool sawFar = false;
    for (int i = 0; i < 20 && !sawFar; ++i) {
        std::uint8_t f[2048];
        sockaddr_ll from{};
        socklen_t len = sizeof(from);
        ssize_t n = ::recvfrom(raw, f, sizeof(f), 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) break;
        if (from.sll_pkttype == PACKET_OUTGOING || from.sll_halen != 6) continue;
        sawFar = std::memcmp(from.sll_addr, kFar, 6) == 0;
    }
    EXPECT_TRUE(sawFar) << "source address 00:ff:ff:ff:01:00 not seen";
    udpOutFd.Reset();
    udpInFd.Reset();
    rawFd.Reset();

    // Deleting the link while capturing sets the adapter-close event.
    platform::Event closeEvent(true, false);
    DWORD handle = static_cast<DWORD>(closeEvent.Fd());
    ASSERT_TRUE(dev->DeviceIoControl(IOCTL_SET_ADAPTER_CLOSE_EVENT, &handle, 4, nullptr, 0, &returned));
    ASSERT_TRUE(dev->DeviceIoControl(IOCTL_NDIS_FILTER_START_CAPTURE, nullptr, 0, nullptr, 0, &returned));
    ASSERT_EQ(testsupport::Run({"ip", "-n", ns, "link", "del", "qelmini0"}), 0);
    EXPECT_EQ(closeEvent.Wait(5000), platform::kWaitObject0) << "the adapter-close event was not set";

    // The stop control: SIGTERM ends the daemon cleanly.
    ASSERT_TRUE(platform::KillProcess(pid, SIGTERM));
    int code = -1;
    ASSERT_EQ(platform::WaitProcess(pid, 10000, &code), platform::kWaitObject0);
    EXPECT_EQ(code, 0);
    pid = -1;
    EXPECT_NE(::access((root.Path() + "/run/ndisfilter").c_str(), F_OK), 0) << "socket left behind";
}

// What `command` (a shell line of the test's own) prints, errors included.
std::string CommandOutput(const std::string& command) {
    const std::string out = "/tmp/olvane-out-" + std::to_string(::getpid());
    platform::SpawnOptions o;
    (void)platform::RunAndWait({"sh", "-c", command + " > " + out + " 2>&1"}, o);
    std::string text(65536, '\0');
    if (FILE* f = std::fopen(out.c_str(), "r")) {
        text.resize(std::fread(text.data(), 1, text.size() - 1, f));
        std::fclose(f);
    } else {
        text.clear();
    }
    ::unlink(out.c_str());
    return text;
}

// A router advertisement to all nodes from fe80::1, with the prefix 2001:db8:1::/64 for
// autoconfiguration and a router lifetime of 1,800 s: what a hostile gateway would send.
std::vector<std::uint8_t> RouterAdvertisement() {
    std::vector<std::uint8_t> icmp = {134, 0, 0, 0, 64, 0, 0x07, 0x08, 0, 0, 0, 0, 0, 0, 0, 0};
    // Prefix information: on-link and autonomous, valid and preferred for 1,800 s.
    const std::uint8_t prefix[32] = {3,    4, 64,   0xC0, 0, 0, 0x07, 0x08, 0, 0, 0, 0x07, 0, 0, 0, 0,
                                     0x20, 1, 0x0D, 0xB8, 0, 1, 0,    0,    0, 0, 0, 0,    0, 0, 0, 0};
    icmp.insert(icmp.end(), prefix, prefix + 32);
    std::uint8_t source[16] = {0xFE, 0x80};
    source[15] = 1;
    std::uint8_t target[16] = {0xFF, 0x02};
    target[15] = 1;
    std::uint32_t sum = 0;
    const auto add = [&sum](const std::uint8_t* p, std::size_t n) {
        for (std::size_t i = 0; i < n; i += 2)
            sum += static_cast<std::uint32_t>(p[i] << 8) | (i + 1 < n ? p[i + 1] : 0u);
    };
    add(source, 16);
    add(target, 16);
    sum += static_cast<std::uint32_t>(icmp.size()) + 58;
    add(icmp.data(), icmp.size());
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    const auto check = static_cast<std::uint16_t>(~sum);
    icmp[2] = static_cast<std::uint8_t>(check >> 8);
    icmp[3] = static_cast<std::uint8_t>(check);
    std::vector<std::uint8_t> f = {0x33, 0x33, 0, 0, 0, 1, 0x00, 0xFF, 0xFF, 0xFF, 0x01, 0x00, 0x86, 0xDD};
    const std::uint8_t ip[8] = {0x60, 0, 0, 0, 0, static_cast<std::uint8_t>(icmp.size()), 58, 255};
    f.insert(f.end(), ip, ip + 8);
    f.insert(f.end(), source, source + 16);
    f.insert(f.end(), target, target + 16);
    f.insert(f.end(), icmp.begin(), icmp.end());
    return f;
}

// The adapter takes no IPv6 configuration from the tunnel: a router advertisement written into it
// (past the client's own filter) gives it no address and the namespace no route, and it holds no
// IPv6 address of its own.
TEST_F(DaemonNetns, ARouterAdvertisementThroughTheAdapterConfiguresNothing) {
    DWORD returned = 0;
    DWORD addr = 0x30000000;
    std::uint64_t shared = 0;
    ASSERT_TRUE(dev->DeviceIoControl(IOCTL_NDIS_FILTER_START_SHARE, &addr, 4, &shared, 8, &returned));
    test::RingClient ring(reinterpret_cast<void*>(shared), true);
    ASSERT_TRUE(SetMedia(1));
    ASSERT_TRUE(testsupport::WaitFor("the link to have carrier", [&] { return LinkHasCarrier(ns); }));
    ASSERT_EQ(testsupport::Run({"ip", "-n", ns, "addr", "add", "198.18.0.1/24", "dev", "qelmini0"}), 0);
    platform::UniqueFd udpInFd;
    ASSERT_TRUE(netns->RunInside([&] { udpInFd.Reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)); }));
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(6666);
    inet_pton(AF_INET, "198.18.0.1", &in.sin_addr);
    ASSERT_EQ(::bind(udpInFd.Get(), reinterpret_cast<sockaddr*>(&in), sizeof(in)), 0);
    timeval tv{5, 0};
    ::setsockopt(udpInFd.Get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));

    // The advertisement, then a datagram: once the datagram is up the stack, so is the
    // advertisement before it.
    const auto ra = RouterAdvertisement();
    ASSERT_TRUE(ring.Write(id, PACKET_DIRECTION_OUTGOING, ra.data(), static_cast<std::uint32_t>(ra.size())));
    const std::uint8_t any[6] = {2, 2, 2, 2, 2, 2};
    in_addr src{};
    inet_pton(AF_INET, "198.18.0.2", &src);
    auto frame = testsupport::UdpFrame(kMac0, any, src.s_addr, in.sin_addr.s_addr, 6666, 16);
    ASSERT_TRUE(
        ring.Write(id, PACKET_DIRECTION_OUTGOING, frame.data(), static_cast<std::uint32_t>(frame.size())));
    ASSERT_TRUE(dev->DeviceIoControl(IOCTL_NDIS_FILTER_WRITE_SHARE, nullptr, 0, nullptr, 0, &returned));
    char got[64];
    ASSERT_EQ(::recv(udpInFd.Get(), got, sizeof(got), 0), 16) << "the datagram after the advertisement";

    const std::string addresses = CommandOutput("ip -n " + ns + " -6 addr show dev qelmini0");
    const std::string routes = CommandOutput("ip -n " + ns + " -6 route show table all");
    EXPECT_EQ(addresses, "") << "the adapter holds IPv6 addresses";
    EXPECT_EQ(routes.find("qelmini0"), std::string::npos) << routes;
    EXPECT_EQ(routes.find("2001:db8"), std::string::npos) << routes;
}

// A second daemon on the same machine root would bind the control device's path over the first
// one's and remove it when it ends: it refuses to start, and the first stays reachable.
TEST_F(DaemonNetns, ASecondDaemonOnTheSameMachineRootRefusesAndLeavesTheFirstReachable) {
    const std::string path = root.Path() + "/run/ndisfilter";
    struct stat before {};
    ASSERT_EQ(::lstat(path.c_str(), &before), 0);
    platform::SpawnOptions o;
    o.extraEnv.push_back("QEL_ROOT=" + root.Path());
    o.quietOutput = true;
    const pid_t second = netns->Spawn({BinDir() + "/Olvane", "--protocol-delay-ms=0"}, o);
    ASSERT_GT(second, 0);
    int code = -1;
    ASSERT_EQ(platform::WaitProcess(second, 10000, &code), platform::kWaitObject0)
        << "the second daemon kept running";
    EXPECT_EQ(code, 1);
    struct stat after {};
    ASSERT_EQ(::lstat(path.c_str(), &after), 0) << "the second daemon removed the first one's device";
    EXPECT_EQ(after.st_ino, before.st_ino) << "the second daemon took the device's path over";
    dev.reset();
    ASSERT_NE(dev = platform::FilterDevice::Open(path), nullptr);
    DWORD returned = 0;
    TW_ADAPTER_BY_MAC a{};
    EXPECT_TRUE(dev->DeviceIoControl(IOCTL_NDIS_FILTER_GET_ADAPTER, kMac0, 6, &a, 10, &returned));
    // Once the first one ended, a new one starts (nothing stale blocks it).
    dev.reset();
    ASSERT_TRUE(platform::KillProcess(pid, SIGTERM));
    ASSERT_EQ(platform::WaitProcess(pid, 10000, &code), platform::kWaitObject0);
    pid = netns->Spawn({BinDir() + "/Olvane", "--protocol-delay-ms=0"}, o);
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(testsupport::WaitFor(
        "the new daemon's control device",
        [&] { return (dev = platform::FilterDevice::Open(path)) != nullptr; }, 10000));
}

// A client that falls behind fills the output ring; the frames behind it wait in the TAP's queue
// and reach the ring once the client reads again, none of them dropped on the way.
TEST_F(DaemonNetns, AFullOutputRingLeavesFramesQueuedInsteadOfDroppingThem) {
    DWORD returned = 0;
    DWORD addr = 0x30000000;
    std::uint64_t shared = 0;
    ASSERT_TRUE(dev->DeviceIoControl(IOCTL_NDIS_FILTER_START_SHARE, &addr, 4, &shared, 8, &returned));
    test::RingClient ring(reinterpret_cast<void*>(shared), true);
    platform::UniqueFd udpFd;
    sockaddr_in to{};
    ASSERT_NO_FATAL_FAILURE(OpenPathToNeighbour(&udpFd, &to));
    // More than the ring holds (511 blocks), less than the ring and the TAP's queue together.
    constexpr std::uint32_t kDatagrams = 700;
    for (std::uint32_t i = 0; i < kDatagrams; ++i) {
        ASSERT_EQ(::sendto(udpFd.Get(), &i, sizeof i, 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
                  static_cast<ssize_t>(sizeof i))
            << i;
    }
    ASSERT_TRUE(testsupport::WaitFor("the output ring to fill", [&] {
        return (ring.Load(ring.OutHeader() + ring.WriteOff()) + 1) % TW_RING_BLOCK_COUNT ==
               ring.Load(ring.OutHeader() + ring.ReadOff());
    }));
    std::vector<bool> seen(kDatagrams, false);
    std::uint32_t count = 0;
    EXPECT_TRUE(testsupport::WaitFor("every datagram in the ring",
                                     [&] {
                                         test::UserBlock b;
                                         while (ring.Read(&b)) {
                                             if (b.data.size() < 46 || b.data[12] != 0x08 ||
                                                 b.data[13] != 0 || b.data[14 + 9] != 17 ||
                                                 std::memcmp(b.data.data() + 30, &to.sin_addr, 4) != 0)
                                                 continue;
                                             std::uint32_t i = 0;
                                             std::memcpy(&i, b.data.data() + 42, sizeof i);
                                             if (i < kDatagrams && !seen[i]) {
                                                 seen[i] = true;
                                                 ++count;
                                             }
                                         }
                                         return count == kDatagrams;
                                     }))
        << count << " of " << kDatagrams << " datagrams arrived";
}

TEST_F(DaemonNetns, StopsCleanlyOnInterruptWithAClientAttached) {
    DWORD returned = 0;
    DWORD addr = 0x30000000;
    std::uint64_t shared = 0;
    ASSERT_TRUE(dev->DeviceIoControl(IOCTL_NDIS_FILTER_START_SHARE, &addr, 4, &shared, 8, &returned));
    ASSERT_TRUE(platform::KillProcess(pid, SIGINT));
    int code = -1;
    ASSERT_EQ(platform::WaitProcess(pid, 10000, &code), platform::kWaitObject0);
    EXPECT_EQ(code, 0);
    pid = -1;
    EXPECT_NE(testsupport::Run({"ip", "-n", ns, "link", "show", "qelmini0"}), 0)
        << "the TAP device outlived the daemon";
}

bool Listed(platform::FilterDevice* dev, const char* name, DWORD* count) {
    std::vector<std::uint8_t> buf(sizeof(TW_TCPIP_INTERFACE_LIST));
    DWORD returned = 0;
    if (!dev->DeviceIoControl(IOCTL_NDIS_FILTER_GET_TCPIP_INTERFACES, nullptr, 0, buf.data(),
                              static_cast<DWORD>(buf.size()), &returned)) {
        return false;
    }
    TW_TCPIP_INTERFACE_LIST list;
    std::memcpy(&list, buf.data(), sizeof(list));
    *count = list.count;
    for (DWORD i = 0; i < list.count && i < TW_MAX_BOUND_ADAPTERS; ++i) {
        if (std::strcmp(list.entries[i].data.name, name) == 0) return true;
    }
    return false;
}

TEST_F(DaemonNetns, RealLinksAreListedAndLeaveTheList) {
    ASSERT_EQ(testsupport::Run(
                  {"ip", "-n", ns, "link", "add", "olvdummy0", "type", "veth", "peer", "name", "olvdummy1"}),
              0);
    DWORD count = 0;
    EXPECT_TRUE(testsupport::WaitFor("olvdummy0 to be listed among 3 adapters", [&] {
        return Listed(dev.get(), "olvdummy0", &count) && count == 3;
    })) << "the new links were not listed";
    ASSERT_EQ(testsupport::Run({"ip", "-n", ns, "link", "del", "olvdummy0"}), 0);
    EXPECT_TRUE(testsupport::WaitFor("olvdummy1 to be gone, 1 adapter left", [&] {
        return !Listed(dev.get(), "olvdummy1", &count) && count == 1;
    })) << "the deleted links stayed in the list";
}

// A machine that runs containers makes and deletes links all day, and the service makes the
// adapter again: a link that is gone gives its id back, the virtual adapter always has one, and a
// list that meets more links than ids lists what fits, the virtual adapter first.
TEST_F(DaemonNetns, LinkChurnLeavesTheVirtualAdapterItsIdAndItsFrames) {
    DWORD count = 0;
    for (int round = 0; round < 31; ++round) {
        const std::string name = "olvbr" + std::to_string(round);
        ASSERT_EQ(testsupport::Run({"ip", "-n", ns, "link", "add", name, "type", "bridge"}), 0);
        ASSERT_TRUE(testsupport::WaitFor("the bridge to be listed",
                                         [&] { return Listed(dev.get(), name.c_str(), &count); }))
            << "round " << round;
        ASSERT_EQ(testsupport::Run({"ip", "-n", ns, "link", "del", name}), 0);
        ASSERT_TRUE(
            testsupport::WaitFor("the bridge to leave the list",
                                 [&] { return !Listed(dev.get(), name.c_str(), &count) && count == 1; }))
            << "round " << round;
    }
    // The service's adapter restart: the TAP is deleted and made again.
    ASSERT_EQ(testsupport::Run({"ip", "-n", ns, "link", "del", "qelmini0"}), 0);
    TW_ADAPTER_BY_MAC a{};
    DWORD returned = 0;
    ASSERT_TRUE(testsupport::WaitFor("the adapter to be gone", [&] {
        return dev->DeviceIoControl(IOCTL_NDIS_FILTER_GET_ADAPTER, kMac0, 6, &a, 10, &returned) == FALSE;
    }));
    DWORD made = 0;
    ASSERT_TRUE(dev->DeviceIoControl(IOCTL_QEL_ENABLE_ADAPTER, nullptr, 0, &made, 4, &returned));
    ASSERT_TRUE(testsupport::WaitFor("the adapter made again to have an id", [&] {
        return dev->DeviceIoControl(IOCTL_NDIS_FILTER_GET_ADAPTER, kMac0, 6, &a, 10, &returned) == TRUE;
    })) << "the virtual adapter made again found no id";
    const std::uint32_t newId = a.adapterId;
    EXPECT_NE(newId, id);

    // More links than ids: 40 veth ends.
    for (int i = 0; i < 20; ++i) {
        const std::string n = std::to_string(i);
        ASSERT_EQ(testsupport::Run({"ip", "-n", ns, "link", "add", "olvva" + n, "type", "veth", "peer",
                                    "name", "olvvb" + n}),
                  0);
    }
    ASSERT_TRUE(testsupport::WaitFor(
        "the list to be full",
        [&] { return Listed(dev.get(), "olvvb19", &count) || count == TW_MAX_BOUND_ADAPTERS; }))
        << "the list of 41 links was not the 32 that fit (" << count << ")";
    std::vector<std::uint8_t> buf(sizeof(TW_TCPIP_INTERFACE_LIST));
    ASSERT_TRUE(dev->DeviceIoControl(IOCTL_NDIS_FILTER_GET_TCPIP_INTERFACES, nullptr, 0, buf.data(),
                                     static_cast<DWORD>(buf.size()), &returned));
    TW_TCPIP_INTERFACE_LIST list;
    std::memcpy(&list, buf.data(), sizeof(list));
    EXPECT_EQ(list.count, TW_MAX_BOUND_ADAPTERS);
    EXPECT_EQ(std::memcmp(list.entries[0].data.currentAddress, kMac0, 6), 0) << "our adapter is not first";
    EXPECT_EQ(list.entries[0].adapterId, newId);

    // Frames of the adapter made again still reach the ring under its id.
    DWORD addr = 0x30000000;
    std::uint64_t shared = 0;
    ASSERT_TRUE(dev->DeviceIoControl(IOCTL_NDIS_FILTER_START_SHARE, &addr, 4, &shared, 8, &returned));
    test::RingClient ring(reinterpret_cast<void*>(shared), true);
    platform::UniqueFd udpFd;
    sockaddr_in to{};
    ASSERT_NO_FATAL_FAILURE(OpenPathToNeighbour(&udpFd, &to));
    test::UserBlock b;
    EXPECT_TRUE(testsupport::WaitFor("a datagram of the adapter in the ring", [&] {
        const char payload[] = "after-churn";
        ::sendto(udpFd.Get(), payload, sizeof(payload), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
        while (ring.Read(&b)) {
            if (b.data.size() >= 42 && b.data[12] == 0x08 && b.data[13] == 0 && b.data[14 + 9] == 17 &&
                b.adapterId == newId)
                return true;
        }
        return false;
    })) << "no frame of the adapter reached the ring";
}

}  // namespace
}  // namespace olvane
