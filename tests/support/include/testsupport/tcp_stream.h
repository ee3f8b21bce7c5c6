// One TCP connection played by hand over a TUN or TAP device's frames: the segments a peer's
// stack would send (don't fragment, IPv4 ids counting up, checksums complete) and the checks a
// receiver makes of what comes back, so that tests can drive a kernel's TCP through a device
// and see every frame that crosses it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

struct TcpPeer {
    std::uint8_t mac[6] = {};        // the peer's (source of what it sends)
    std::uint8_t deviceMac[6] = {};  // the device's (destination)
    std::uint32_t ip = 0;            // host order
    std::uint32_t deviceIp = 0;      // host order
    std::uint16_t port = 40001, devicePort = 8080;
    std::uint16_t nextId = 100;
};

constexpr std::uint8_t kTcpSyn = 0x02, kTcpPush = 0x08, kTcpAck = 0x10;

// Ethernet + IPv4 + TCP from the peer to the device; `mss` adds the MSS option (for a SYN).
std::vector<std::uint8_t> TcpFrame(TcpPeer& peer, std::uint32_t seq, std::uint32_t ack, std::uint8_t flags,
                                   const std::uint8_t* data = nullptr, std::size_t length = 0,
                                   std::uint16_t mss = 0);

// A TCP frame from the device to the peer, checked: lengths, IPv4 header and TCP checksums.
struct TcpSeen {
    std::uint32_t seq = 0, ack = 0;
    std::uint8_t flags = 0;
    std::uint16_t window = 0;
    const std::uint8_t* payload = nullptr;
    std::size_t length = 0;
};
// False with *why for an IPv4/TCP frame that is not sound; false with *why empty for a frame of
// another kind.
bool ReadTcpFrame(const std::uint8_t* frame, std::size_t length, TcpSeen* seen, std::string* why);

// An ARP reply to `request` when it asks for `ip` (host order), from `mac`; empty otherwise.
std::vector<std::uint8_t> ArpReplyFor(const std::uint8_t* request, std::size_t length, std::uint32_t ip,
                                      const std::uint8_t mac[6]);

// Packets written to the device `name` (the kernel's received) or read from it (its sent), from
// /proc/net/dev, which (unlike /sys) shows the calling thread's namespace; 0 when absent.
std::uint64_t DevicePackets(const std::string& name, bool written);

// The device's side of the stream as a test sees it: frames to the device (one batch, as the
// tunnel delivers them) and the next TCP frame from it (ARP answered; empty after a time-out).
struct TcpLink {
    std::function<bool(const std::vector<std::vector<std::uint8_t>>& frames)> send;
    std::function<std::vector<std::uint8_t>()> next;
    // The device's packet counters (written to it, read from it), when the test can see them.
    std::function<std::uint64_t()> writes, reads;
};

struct TcpStreamCounts {
    std::size_t segmentsUp = 0;  // data segments the peer sent
    std::size_t writesUp = 0;    // writes to the device they took
    std::size_t framesDown = 0;  // data frames the device handed the peer
    std::size_t readsDown = 0;   // reads from the device they took
};

// Connects to `listener` (listening at the device's address and port) through `link`, sends
// full segments up (ten to a batch, within the listener's window) and `downBytes` down through
// the accepted connection, acknowledging each frame, and checks with gtest assertions that
// every byte arrives in place both ways and every frame is sound and no larger than the MSS.
void CrossTcpStream(TcpPeer& peer, const TcpLink& link, int listener, std::size_t downBytes,
                    TcpStreamCounts* counts);

// CrossTcpStream through the offloading device `device` (200,000 bytes down), its packet counters
// read from /proc/net/dev, and checks that segments were merged on the way in and super-frames
// handed up on the way out.
void CrossTcpStreamThroughOffloads(TcpPeer& peer, TcpLink link, int listener, const std::string& device);

}  // namespace testsupport
