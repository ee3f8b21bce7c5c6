// The TAP device under a virtual adapter hands up TCP super-frames and takes merged segments: a
// TCP stream through it, played by hand on the frames' side, must see frames of the adapter's
// size with sound checksums and every byte in place, both ways. Needs root.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "nic_backend.h"
#include "platform/address_config.h"
#include "platform/unique_fd.h"
#include "testsupport/netns.h"
#include "testsupport/tcp_stream.h"

namespace {

constexpr std::uint32_t kTapIp = 0x0A090001;   // 10.9.0.1, the adapter's stack
constexpr std::uint32_t kPeerIp = 0x0A090002;  // 10.9.0.2, the far side (the test)
constexpr std::uint8_t kTapMac[6] = {0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x01};
constexpr std::uint8_t kPeerMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x02};

TEST(TapOffloadTest, ATcpStreamCrossesTheTapWholeBothWays) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace and a TAP device";
    testsupport::NetnsScope ns;
    ASSERT_TRUE(ns.Ok());
    std::string error;
    auto tap = olvane::OpenTapDevice("qeltap0", kTapMac, 1500, &error);
    ASSERT_TRUE(tap) << error;
    ASSERT_TRUE(tap->SetCarrier(true));
    ASSERT_EQ(platform::AddIpv4Address(static_cast<DWORD>(tap->IfIndex()), htonl(kTapIp), htonl(0xFFFFFF00)),
              platform::kErrorSuccess);
    platform::UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(8080);
    a.sin_addr.s_addr = htonl(kTapIp);
    ASSERT_EQ(::bind(listener.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << std::strerror(errno);
    ASSERT_EQ(::listen(listener.Get(), 4), 0);

    testsupport::TcpPeer peer;
    std::memcpy(peer.mac, kPeerMac, 6);
    std::memcpy(peer.deviceMac, kTapMac, 6);
    peer.ip = kPeerIp;
    peer.deviceIp = kTapIp;
    testsupport::TcpLink link;
    // A batch is what the ring thread takes in one pass: held, then flushed.
    link.send = [&](const std::vector<std::vector<std::uint8_t>>& frames) {
        for (const auto& f : frames)
            if (!tap->WriteHeld(f.data(), f.size())) return false;
        return tap->FlushWrites();
    };
    std::vector<std::uint8_t> buffer(65536);
    link.next = [&]() -> std::vector<std::uint8_t> {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (;;) {
            if (!tap->ReadPending()) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now());
                pollfd p = {tap->Fd(), POLLIN, 0};
                if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) != 1) return {};
            }
            const ssize_t n = tap->Read(buffer.data(), buffer.size());
            if (n < 0 && errno == EAGAIN) continue;
            if (n <= 0) continue;
            const auto length = static_cast<std::size_t>(n);
            auto arp = testsupport::ArpReplyFor(buffer.data(), length, kPeerIp, kPeerMac);
            if (!arp.empty()) {
                EXPECT_TRUE(tap->Write(arp.data(), arp.size()));
                continue;
            }
            if (length >= 34 && buffer[12] == 0x08 && buffer[13] == 0x00 && buffer[23] == 6)
                return std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + n);
        }
    };
    testsupport::CrossTcpStreamThroughOffloads(peer, link, listener.Get(), "qeltap0");
    EXPECT_EQ(tap->DeviceFaults(), 0u);
}

}  // namespace
