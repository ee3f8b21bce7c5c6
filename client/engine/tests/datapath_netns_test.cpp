// The data path through the real driver daemon on a TAP device, in a network namespace of the
// test's own, with the ring in both layouts: the kernel's ARP request is answered by the receive
// thread, a datagram sent through the virtual adapter reaches the tunnel sender, a data message
// from the gateway reaches a socket, and the doorbell wakes a reader whose back-off would
// otherwise sleep for a minute.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "datapath_fakes.h"
#include "engine/packet_port.h"
#include "engine/tunnel_data_path.h"
#include "morbeck/morbeck.h"
#include "platform/unique_fd.h"
#include "testsupport/command.h"
#include "testsupport/netns.h"
#include "testsupport/temp_dir.h"
#include "testsupport/temp_root.h"
#include "testsupport/udp_frame.h"
#include "testsupport/wait.h"

namespace {

using enginetest::Bytes;
using enginetest::Ip;
using testsupport::WaitFor;

const BYTE kMac0[6] = {0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x00};

class DataPathDaemon : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        const std::string unavailable = testsupport::OlvaneInNetns::Unavailable();
        if (!unavailable.empty()) GTEST_SKIP() << unavailable;
        m_daemon = std::make_unique<testsupport::OlvaneInNetns>(std::vector<std::string>{GetParam()});
        ASSERT_TRUE(m_daemon->NamespaceOk());
        ASSERT_GT(m_daemon->Pid(), 0);
        m_morbeck = std::make_unique<CMorbeck>();
        ASSERT_TRUE(WaitFor(
            "the driver to be loaded",
            [&] {
                m_morbeck->OpenFilterHandler();
                return m_morbeck->IsDriverLoaded() == 1;
            },
            10000));
        void* handle = nullptr;
        ASSERT_TRUE(WaitFor(
            "the adapter handle by MAC address",
            [&] { return m_morbeck->GetAdapterHandleByMacAddress(kMac0, &handle) == 1; }, 10000));
        ASSERT_EQ(m_morbeck->StartShare(), 1);
        TW_MEDIA_STATUS media{};
        std::memcpy(media.mac, kMac0, 6);
        media.state = 1;
        ASSERT_EQ(m_morbeck->SetAdapterMediaStatus(&media), 1);
        ASSERT_EQ(testsupport::Run({"ip", "addr", "add", "198.18.0.2/24", "dev", "qelmini0"}), 0);
        ASSERT_EQ(testsupport::Run({"ip", "link", "set", "qelmini0", "up"}), 0);

        m_port = std::make_unique<engine::MorbeckPacketPort>(*m_morbeck, handle);
        m_store = std::make_shared<platform::SettingsStore>(m_dir.File("s.db"));
        m_policy = std::make_unique<engine::TwGatewayPolicy>(m_store);
        m_policy->ApplyPolicy("policy allow out any 0 0 198.18.0.0/255.255.255.0 x y\n");
        // Only the doorbell can wake the reader in time: the back-off's sleeps are a minute long.
        engine::EngineTiming timing;
        timing.ringSpinTries = 0;
        timing.ringShortSleepMs = 60000;
        timing.ringLongSleepMs = 60000;
        m_path = std::make_unique<engine::TunnelDataPath>(*m_port, *m_policy, m_sender, m_control, timing);
        engine::DataPathSession s;
        s.virtualIp = Ip("198.18.0.2");
        s.mask = Ip("255.255.255.0");
        m_path->Configure(s);
        m_path->Switches().arpAnswering.store(true);
        m_path->Switches().active.store(true);
    }
    void TearDown() override {
        if (m_path) m_path->Stop();
        m_path.reset();
        m_morbeck.reset();
        m_daemon.reset();
    }

    testsupport::TempRoot m_root{"datapath-test"};
    testsupport::TempDir m_dir;
    // A UDP socket on the adapter's address, port 6666, that gives up a read after 5 seconds;
    // invalid when it could not be bound.
    static platform::UniqueFd BindUdp() {
        platform::UniqueFd sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(6666);
        local.sin_addr.s_addr = Ip("198.18.0.2");
        if (sock.Get() < 0 || bind(sock.Get(), reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0)
            return platform::UniqueFd();
        timeval tv{5, 0};
        setsockopt(sock.Get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        return sock;
    }

    std::unique_ptr<testsupport::OlvaneInNetns> m_daemon;
    std::unique_ptr<CMorbeck> m_morbeck;
    std::unique_ptr<engine::MorbeckPacketPort> m_port;
    std::shared_ptr<platform::SettingsStore> m_store;
    std::unique_ptr<engine::TwGatewayPolicy> m_policy;
    enginetest::FakeSender m_sender;
    enginetest::FakeControl m_control;
    std::unique_ptr<engine::TunnelDataPath> m_path;
};

TEST_P(DataPathDaemon, FramesBothWaysAndTheDoorbellWakesTheReader) {
    ASSERT_TRUE(m_path->Start());
    const platform::UniqueFd sock = BindUdp();
    ASSERT_GE(sock.Get(), 0);

    // Frames that come while the reader still spins are read without its doorbell: wait until it
    // sleeps (its sleeps here last a minute, so it stays asleep until rung).
    ASSERT_TRUE(WaitFor("the reader to wait on its doorbell", [&] { return m_path->Stats().sleeps >= 1; }));
    // The reader sleeps on its doorbell at the first empty look. Send: the kernel asks for the
    // peer's address, the pump answers, and the datagram follows into the tunnel, all well within
    // the minute the reader would otherwise sleep.
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(5555);
    to.sin_addr.s_addr = Ip("198.18.0.1");
    const char payload[] = "through-the-tunnel";
    ASSERT_GT(sendto(sock.Get(), payload, sizeof(payload), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)),
              0);
    ASSERT_TRUE(WaitFor("the datagram to reach the tunnel sender",
                        [&] {
                            for (const Bytes& s : m_sender.Sends()) {
                                for (std::size_t at = 0; at + 4 <= s.size();) {
                                    const std::size_t len =
                                        static_cast<std::size_t>((s[at + 2] << 8) | s[at + 3]);
                                    if (s[at] == 0x03 && len >= 42 + sizeof(payload) &&
                                        std::memcmp(&s[at + 4 + 42], payload, sizeof(payload)) == 0) {
                                        return true;
                                    }
                                    at += 4 + len;
                                }
                            }
                            return false;
                        }))
        << "ARP answers " << m_path->Stats().localAnswers;
    EXPECT_GE(m_path->Stats().localAnswers, 1u) << "the kernel's ARP request was answered";
    EXPECT_GE(m_path->Stats().wakeups, 1u) << "the doorbell woke the reader";

    // From the gateway: two data messages in one delivery reach the socket, signalled once.
    const BYTE any[6] = {2, 2, 2, 2, 2, 2};
    Bytes wire;
    for (std::size_t n : {16u, 24u}) {
        const Bytes m = enginetest::DataMessage(
            testsupport::UdpFrame(any, any, Ip("198.18.0.1"), Ip("198.18.0.2"), 6666, n, 0x5A));
        wire.insert(wire.end(), m.begin(), m.end());
    }
    EXPECT_EQ(m_path->OnDelivery(wire.data(), wire.size()), wire.size());
    char got[64];
    EXPECT_EQ(recv(sock.Get(), got, sizeof(got), 0), 16) << "the first frame was not delivered";
    EXPECT_EQ(recv(sock.Get(), got, sizeof(got), 0), 24) << "the second frame was not delivered";
    EXPECT_EQ(static_cast<unsigned char>(got[0]), 0x5A);
    EXPECT_EQ(m_path->Stats().framesFromGateway, 2u);

    // Stop wakes the sleeping reader at once.
    m_path->Stop();
    EXPECT_FALSE(m_path->Running());
}

// The other direction: the driver's ring thread sleeps on the input doorbell with no time-out to
// speak of, so a frame from the gateway gets up the stack only if the write rings it. Each round
// waits until the ring thread has announced its sleep before it writes.
TEST_P(DataPathDaemon, FramesFromTheGatewayWakeTheSleepingRingThread) {
    ASSERT_TRUE(m_path->Start());
    const platform::UniqueFd sock = BindUdp();
    ASSERT_GE(sock.Get(), 0);
    const BYTE any[6] = {2, 2, 2, 2, 2, 2};
    for (std::size_t n : {16u, 24u, 32u}) {
        ASSERT_TRUE(WaitFor("the driver's ring thread to sleep on its doorbell",
                            [&] { return m_morbeck->InputReaderSleeping() == 1; }));
        const Bytes m = enginetest::DataMessage(
            testsupport::UdpFrame(any, any, Ip("198.18.0.1"), Ip("198.18.0.2"), 6666, n, 0x5A));
        ASSERT_EQ(m_path->OnDelivery(m.data(), m.size()), m.size());
        char got[64];
        ASSERT_EQ(recv(sock.Get(), got, sizeof(got), 0), static_cast<ssize_t>(n))
            << "the frame of " << n << " bytes did not get up the stack";
    }
    EXPECT_EQ(m_path->Stats().framesFromGateway, 3u);
}

INSTANTIATE_TEST_SUITE_P(Layouts, DataPathDaemon, ::testing::Values("--ring-layout=64", "--ring-layout=32"));

}  // namespace
