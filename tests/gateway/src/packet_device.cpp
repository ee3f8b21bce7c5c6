#include "packet_device.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <linux/if_tun.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/address_config.h"
#include "platform/link_control.h"

namespace qelgw {

namespace {

constexpr int kDeviceQueue = 4096;  // packets

// The TCP segments a writer thread holds to merge, and the device they are for. Held only
// between a writer's WriteFrame(hold) calls and its FlushWrites, so one per thread serves every
// device.
struct HeldWrites {
    platform::TcpCoalescer coalescer{0};
    PacketDevice* device = nullptr;
};
HeldWrites& Held() {
    thread_local HeldWrites held;
    return held;
}

bool Fail(std::string* error, const std::string& what) {
    if (error) *error = what + ": " + std::strerror(errno);
    return false;
}

std::uint32_t Read32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

bool IsIpv4(const std::uint8_t* frame, std::size_t length) {
    return length >= kEthernetHeader + 20 && frame[12] == 0x08 && frame[13] == 0x00 && (frame[14] >> 4) == 4;
}

bool ReadMac(const std::string& name, std::uint8_t* mac) {
    platform::UniqueFd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ifreq ifr{};
    std::memcpy(ifr.ifr_name, name.c_str(), name.size());
    if (s.Get() < 0 || ::ioctl(s.Get(), SIOCGIFHWADDR, &ifr) != 0) return false;
    std::memcpy(mac, ifr.ifr_hwaddr.sa_data, 6);
    return true;
}

}  // namespace

std::unique_ptr<PacketDevice> PacketDevice::Open(DeviceKind kind, const std::string& name,
                                                 std::uint32_t address, std::uint32_t mask,
                                                 std::string* error) {
    if (kind == DeviceKind::None || name.empty() || name.size() >= IFNAMSIZ) {
        if (error) *error = "bad device \"" + name + "\"";
        return nullptr;
    }
    platform::UniqueFd fd(::open("/dev/net/tun", O_RDWR | O_CLOEXEC | O_NONBLOCK));
    if (fd.Get() < 0) return Fail(error, "open /dev/net/tun"), nullptr;
    ifreq ifr{};
    std::memcpy(ifr.ifr_name, name.c_str(), name.size());
    // A TUN device carries a virtio header and takes TCP offloads: the kernel hands up TCP
    // super-frames (one read for dozens of frames) and takes merged segments in one write.
    const int vnet = kind == DeviceKind::Tun ? IFF_VNET_HDR : 0;
    ifr.ifr_flags = static_cast<short>((kind == DeviceKind::Tun ? IFF_TUN : IFF_TAP) | IFF_NO_PI | vnet);
    if (::ioctl(fd.Get(), TUNSETIFF, &ifr) != 0) return Fail(error, "TUNSETIFF " + name), nullptr;
    if (vnet && !platform::EnableVnetOffloads(fd.Get())) return Fail(error, "TUNSETVNETHDRSZ"), nullptr;
    const unsigned index = if_nametoindex(name.c_str());
    if (index == 0) return Fail(error, "if_nametoindex " + name), nullptr;
    std::unique_ptr<PacketDevice> device(new PacketDevice(std::move(fd), kind));
    if (vnet) device->m_read.resize(platform::kSuperFrameBuffer);
    if (kind == DeviceKind::Tap && !ReadMac(name, device->m_mac))
        return Fail(error, "SIOCGIFHWADDR"), nullptr;
    if (address != 0) {
        const DWORD rc = platform::AddIpv4Address(index, htonl(address), htonl(mask));
        if (rc != platform::kErrorSuccess && rc != platform::kErrorObjectAlreadyExists) {
            if (error) *error = "cannot set the address of " + name + " (" + std::to_string(rc) + ")";
            return nullptr;
        }
    }
    // The kernel queues what it sends through the device for our reader; the default 500 packets
    // overflow under one fast TCP sender while the reader is busy sending a batch, and each
    // overflow is a loss the sender backs off for.
    {
        platform::UniqueFd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        ifreq q{};
        std::memcpy(q.ifr_name, name.c_str(), name.size());
        q.ifr_qlen = kDeviceQueue;
        if (s.Get() < 0 || ::ioctl(s.Get(), SIOCSIFTXQLEN, &q) != 0)
            return Fail(error, "SIOCSIFTXQLEN"), nullptr;
    }
    if (platform::SetLinkUp(index, true) != platform::kErrorSuccess) {
        if (error) *error = "cannot bring " + name + " up";
        return nullptr;
    }
    return device;
}

std::size_t PacketDevice::FlushWrites() {
    HeldWrites& held = Held();
    const std::size_t frames = held.coalescer.Count();
    std::size_t length = 0;
    const std::uint8_t* data = held.coalescer.Take(&length);
    PacketDevice* device = held.device;
    held.device = nullptr;
    if (data == nullptr || device == nullptr) return 0;
    return platform::WriteWhole(device->m_fd.Get(), data, length) ? 0 : frames;
}

bool PacketDevice::WriteFrame(const std::uint8_t* frame, std::size_t length, bool hold) {
    if (length < kEthernetHeader || length > kMaxFrame) return false;
    ssize_t n = -1;
    if (m_kind == DeviceKind::Tun) {
        if (!IsIpv4(frame, length)) return false;
        const std::uint8_t* packet = frame + kEthernetHeader;
        const std::size_t size = length - kEthernetHeader;
        HeldWrites& held = Held();
        if (held.device != this) FlushWrites();
        if (hold) {
            held.device = this;
            if (held.coalescer.Add(packet, size)) return true;
            const bool flushed = FlushWrites() == 0;
            held.device = this;
            if (held.coalescer.Add(packet, size)) return flushed;
            held.device = nullptr;
            return platform::WritePlain(m_fd.Get(), packet, size) && flushed;
        }
        const bool flushed = FlushWrites() == 0;
        return platform::WritePlain(m_fd.Get(), packet, size) && flushed;
    }
    // The tunnel's far end is this device: the kernel takes only frames addressed to it.
    std::uint8_t copy[kMaxFrame];
    std::memcpy(copy, frame, length);
    if (!(copy[0] & 1)) std::memcpy(copy, m_mac, 6);
    do {
        n = ::write(m_fd.Get(), copy, length);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(length);
}

long PacketDevice::ReadFrame(std::uint8_t* frame) {
    if (m_kind == DeviceKind::Tun) {
        if (!m_segmenter.Pending()) {
            platform::OffloadFault fault = platform::OffloadFault::kNone;
            const long n = platform::ReadSuperFrame(m_fd.Get(), m_read, m_segmenter, &fault);
            if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? kDrained : -1;
            if (n == 0) {
                ++m_faults;
                return 0;
            }
        }
        const std::size_t n = m_segmenter.Next(frame + kEthernetHeader, kMaxFrame - kEthernetHeader);
        if (n < 20 || (frame[kEthernetHeader] >> 4) != 4) return 0;  // IPv6 and the like stay here
        std::memcpy(frame, kClientMac, 6);
        std::memcpy(frame + 6, kFarMac, 6);
        frame[12] = 0x08;
        frame[13] = 0x00;
        return static_cast<long>(n + kEthernetHeader);
    }
    ssize_t n;
    do {
        n = ::read(m_fd.Get(), frame, kMaxFrame);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? kDrained : -1;
    return n;
}

bool MakeArpReply(const std::uint8_t* frame, std::size_t length, std::uint8_t* reply) {
    // Ethernet + ARP for IPv4 over Ethernet, operation 1 (request).
    static const std::uint8_t kArpHead[8] = {0x00, 0x01, 0x08, 0x00, 6, 4, 0x00, 0x01};
    if (length < 42 || frame[12] != 0x08 || frame[13] != 0x06 || std::memcmp(frame + 14, kArpHead, 8) != 0)
        return false;
    std::memcpy(reply, frame + 6, 6);  // to the asker
    std::memcpy(reply + 6, kClientMac, 6);
    reply[12] = 0x08;
    reply[13] = 0x06;
    std::memcpy(reply + 14, kArpHead, 7);
    reply[21] = 2;                           // reply
    std::memcpy(reply + 22, kClientMac, 6);  // sender: the client, at the asked address
    std::memcpy(reply + 28, frame + 38, 4);
    std::memcpy(reply + 32, frame + 22, 10);  // target: the asker's MAC and address
    return true;
}

std::uint32_t FrameDestination(const std::uint8_t* frame, std::size_t length) {
    return IsIpv4(frame, length) ? Read32(frame + kEthernetHeader + 16) : 0;
}

std::uint32_t FrameSource(const std::uint8_t* frame, std::size_t length) {
    return IsIpv4(frame, length) ? Read32(frame + kEthernetHeader + 12) : 0;
}

}  // namespace qelgw
