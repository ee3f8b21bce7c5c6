// The TAP device under a virtual adapter.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_arp.h>
#include <linux/if_tun.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <mutex>
#include <vector>

#include "nic_backend.h"
#include "platform/filter_device.h"
#include "platform/packet_offload.h"
#include "platform/unique_fd.h"
#include "trace.h"

namespace olvane {

namespace {

constexpr int kTapQueueLength = 2048;

// The device carries a virtio header on every read and write, and takes TCP offloads: the stack
// hands us super-frames of up to 64 KiB (one read, one skb for dozens of frames), which are cut
// into frames of the adapter's size here; frames going up are merged back into super-frames
// where they continue one TCP flow, so one write carries many.
class TapDevice final : public TwNicBackend {
public:
    TapDevice(platform::UniqueFd fd, std::string name, int index)
        : m_fd(std::move(fd)),
          m_name(std::move(name)),
          m_index(index),
          m_read(platform::kSuperFrameBuffer),
          m_segmenter(kEthernetHeader, TW_MAX_FRAME),
          m_coalescer(kEthernetHeader) {}
    int Fd() const override { return m_fd.Get(); }
    ssize_t Read(std::uint8_t* buffer, std::size_t size) override {
        if (!m_segmenter.Pending()) {
            platform::OffloadFault fault = platform::OffloadFault::kNone;
            const long n = platform::ReadSuperFrame(m_fd.Get(), m_read, m_segmenter, &fault);
            if (n < 0) return -1;
            if (n == 0) {
                CountFault(fault);
                return 0;
            }
        }
        return static_cast<ssize_t>(m_segmenter.Next(buffer, size));
    }
    bool ReadPending() const override { return m_segmenter.Pending(); }
    bool Write(const std::uint8_t* frame, std::size_t length) override {
        std::lock_guard<std::mutex> lock(m_writeLock);
        const bool held = WriteHeldLocked();
        return platform::WritePlain(m_fd.Get(), frame, length) && held;
    }
    bool WriteHeld(const std::uint8_t* frame, std::size_t length) override {
        std::lock_guard<std::mutex> lock(m_writeLock);
        if (m_coalescer.Add(frame, length)) return true;
        const bool held = WriteHeldLocked();
        if (m_coalescer.Add(frame, length)) return held;
        return platform::WritePlain(m_fd.Get(), frame, length) && held;
    }
    bool FlushWrites() override {
        std::lock_guard<std::mutex> lock(m_writeLock);
        return WriteHeldLocked();
    }
    std::uint64_t DeviceFaults() const override { return m_faults.load(std::memory_order_relaxed); }
    bool SetCarrier(bool on) override {
        int value = on ? 1 : 0;
        return ::ioctl(m_fd.Get(), TUNSETCARRIER, &value) == 0;
    }
    const std::string& IfName() const override { return m_name; }
    int IfIndex() const override { return m_index; }

private:
    static constexpr std::size_t kEthernetHeader = 14;

    bool WriteHeldLocked() {
        std::size_t length = 0;
        const std::uint8_t* data = m_coalescer.Take(&length);
        return data == nullptr || platform::WriteWhole(m_fd.Get(), data, length);
    }
    void CountFault(platform::OffloadFault fault) {
        // Reported at the 1st, 10th, 100th ... so a device gone wrong cannot flood the log.
        const std::uint64_t n = m_faults.fetch_add(1, std::memory_order_relaxed) + 1;
        std::uint64_t m = n;
        while (m % 10 == 0) m /= 10;
        if (m == 1)
            DbgPrint("QelMini: %s: read from the device dropped (%s), %llu so far\n", m_name.c_str(),
                     platform::OffloadFaultText(fault), static_cast<unsigned long long>(n));
    }

    platform::UniqueFd m_fd;
    std::string m_name;
    int m_index;
    std::vector<std::uint8_t> m_read;  // the last read, while its segments are handed out
    platform::GsoSegmenter m_segmenter;
    std::mutex m_writeLock;
    platform::TcpCoalescer m_coalescer;
    std::atomic<std::uint64_t> m_faults{0};
};

// The descriptors opened so far close as the caller returns.
bool Fail(std::string* error, const char* what) {
    if (error != nullptr) *error = std::string(what) + ": " + std::strerror(errno);
    return false;
}

// The adapter carries IPv4: it takes no IPv6 configuration (router advertisements,
// autoconfiguration, an address of its own) from whatever comes through the tunnel. Set before the
// device goes up, so that it never holds an IPv6 address or route, not even for a moment. A kernel
// without IPv6 has nothing to turn off.
bool TurnOffIpv6(const char* name, std::string* error) {
    if (::access("/proc/sys/net/ipv6/conf", F_OK) != 0) return true;
    const std::string dir = std::string("/proc/sys/net/ipv6/conf/") + name + "/";
    static const char* const kSettings[][2] = {{"accept_ra", "0"}, {"autoconf", "0"}, {"disable_ipv6", "1"}};
    for (const auto& setting : kSettings) {
        const std::string path = dir + setting[0];
        const platform::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
        if (!fd || ::write(fd.Get(), setting[1], 1) != 1) {
            if (error != nullptr) *error = path + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

}  // namespace

std::unique_ptr<TwNicBackend> OpenTapDevice(const std::string& ifName, const std::uint8_t* mac,
                                            std::uint32_t mtu, std::string* error) {
    if (ifName.empty() || ifName.size() >= IFNAMSIZ) {
        if (error != nullptr) *error = "bad interface name";
        return nullptr;
    }
    platform::UniqueFd tun(::open("/dev/net/tun", O_RDWR | O_CLOEXEC | O_NONBLOCK));
    const int fd = tun.Get();
    if (fd < 0) {
        Fail(error, "open /dev/net/tun");
        return nullptr;
    }
    ifreq ifr{};
    std::memcpy(ifr.ifr_name, ifName.c_str(), ifName.size());
    ifr.ifr_flags = IFF_TAP | IFF_NO_PI | IFF_VNET_HDR;
    if (::ioctl(fd, TUNSETIFF, &ifr) != 0) {
        Fail(error, "TUNSETIFF");
        return nullptr;
    }
    if (!TurnOffIpv6(ifr.ifr_name, error)) return nullptr;
    // Checksums and TCP segmentation are ours to finish.
    if (!platform::EnableVnetOffloads(fd)) {
        Fail(error, "TUNSETVNETHDRSZ");
        return nullptr;
    }
    int off = 0;
    if (::ioctl(fd, TUNSETCARRIER, &off) != 0) {
        Fail(error, "TUNSETCARRIER");
        return nullptr;
    }
    platform::UniqueFd control(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const int sock = control.Get();
    if (sock < 0) {
        Fail(error, "socket");
        return nullptr;
    }
    ifreq req{};
    std::memcpy(req.ifr_name, ifr.ifr_name, IFNAMSIZ);
    req.ifr_hwaddr.sa_family = ARPHRD_ETHER;
    std::memcpy(req.ifr_hwaddr.sa_data, mac, 6);
    if (::ioctl(sock, SIOCSIFHWADDR, &req) != 0) {
        Fail(error, "SIOCSIFHWADDR");
        return nullptr;
    }
    std::memset(&req.ifr_ifru, 0, sizeof(req.ifr_ifru));
    req.ifr_mtu = static_cast<int>(mtu);
    if (mtu >= 68 && ::ioctl(sock, SIOCSIFMTU, &req) != 0) {
        Fail(error, "SIOCSIFMTU");
        return nullptr;
    }
    // The TAP's queue is where frames wait while the client's reader is behind and the output ring
    // is full; the kernel drops what does not fit (the TAP takes its frames from the senders'
    // sockets), so it holds a few rings' worth rather than the default 500. Not fatal if refused.
    std::memset(&req.ifr_ifru, 0, sizeof(req.ifr_ifru));
    req.ifr_qlen = kTapQueueLength;
    (void)::ioctl(sock, SIOCSIFTXQLEN, &req);
    std::memset(&req.ifr_ifru, 0, sizeof(req.ifr_ifru));
    if (::ioctl(sock, SIOCGIFFLAGS, &req) != 0) {
        Fail(error, "SIOCGIFFLAGS");
        return nullptr;
    }
    req.ifr_flags = static_cast<short>(req.ifr_flags | IFF_UP);
    if (::ioctl(sock, SIOCSIFFLAGS, &req) != 0) {
        Fail(error, "SIOCSIFFLAGS");
        return nullptr;
    }
    std::memset(&req.ifr_ifru, 0, sizeof(req.ifr_ifru));
    int index = ::ioctl(sock, SIOCGIFINDEX, &req) == 0 ? req.ifr_ifindex : 0;
    return std::make_unique<TapDevice>(std::move(tun), std::string(ifr.ifr_name), index);
}

}  // namespace olvane
