// The gateway's end of the packet path: a TUN or TAP device in the gateway's network namespace.
// Frames cross it as the tunnel carries them (Ethernet); a TUN device gets the IPv4 packet
// alone, a TAP device the frame with its destination rewritten to the device's own address so
// that the kernel accepts it. One reader thread, any number of writers.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "gateway/gateway_config.h"
#include "platform/packet_offload.h"
#include "platform/unique_fd.h"

namespace qelgw {

// The addresses that stand for the two ends of the tunnel on its Ethernet side.
constexpr std::uint8_t kClientMac[6] = {0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x00};
constexpr std::uint8_t kFarMac[6] = {0x00, 0xFF, 0xFF, 0xFF, 0x01, 0x00};
constexpr std::size_t kEthernetHeader = 14;
constexpr std::size_t kMaxFrame = 1514;

class PacketDevice {
public:
    // Opens (creating when absent) the device, sets the address when given, brings it up.
    static std::unique_ptr<PacketDevice> Open(DeviceKind kind, const std::string& name, std::uint32_t address,
                                              std::uint32_t mask, std::string* error);
    int Fd() const { return m_fd.Get(); }
    DeviceKind Kind() const { return m_kind; }
    // One frame from the tunnel. False when it is not something the device can take. With
    // `hold`, a TCP segment may wait on this thread to be merged with the next ones into one
    // write: the caller then calls FlushWrites before it returns to whatever called it.
    bool WriteFrame(const std::uint8_t* frame, std::size_t length, bool hold = false);
    // Writes what this thread holds; returns how many frames were lost to a failed write.
    std::size_t FlushWrites();
    // One frame for the tunnel into `frame` (kMaxFrame bytes): its length, 0 for a packet not for
    // the tunnel (or a malformed read, counted in DeviceFaults), kDrained when nothing is left to
    // read, -1 on a read error.
    static constexpr long kDrained = -2;
    long ReadFrame(std::uint8_t* frame);
    // Frames of the last read not yet returned: ReadFrame gives them without the device being
    // readable (a TUN device hands up TCP super-frames, cut into frames here).
    bool ReadPending() const { return m_segmenter.Pending(); }
    std::uint64_t DeviceFaults() const { return m_faults; }
    const std::uint8_t* Mac() const { return m_mac; }

private:
    PacketDevice(platform::UniqueFd fd, DeviceKind kind)
        : m_fd(std::move(fd)), m_kind(kind), m_segmenter(0, kMaxFrame - kEthernetHeader) {}
    platform::UniqueFd m_fd;
    DeviceKind m_kind;
    std::uint8_t m_mac[6] = {};
    // The reader's: the last read of a TUN device while its segments are handed out.
    std::vector<std::uint8_t> m_read;
    platform::GsoSegmenter m_segmenter;
    std::uint64_t m_faults = 0;
};

// ARP request for `target` (network-order bytes at 38-41) in `frame`: writes the answer that
// gives it kClientMac into `reply` (42 bytes) and returns true. The gateway answers for the
// virtual addresses of its clients this way on a TAP device.
bool MakeArpReply(const std::uint8_t* frame, std::size_t length, std::uint8_t* reply);
// IPv4 destination of an Ethernet frame (host order), or 0 when it carries no IPv4 packet.
std::uint32_t FrameDestination(const std::uint8_t* frame, std::size_t length);
std::uint32_t FrameSource(const std::uint8_t* frame, std::size_t length);

}  // namespace qelgw
