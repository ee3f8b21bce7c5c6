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

#include "nic_backend.h"
#include "platform/unique_fd.h"

namespace olvane {

namespace {

constexpr int kTapQueueLength = 2048;

class TapDevice final : public TwNicBackend {
public:
    TapDevice(platform::UniqueFd fd, std::string name, int index)
        : m_fd(std::move(fd)), m_name(std::move(name)), m_index(index) {}
    int Fd() const override { return m_fd.Get(); }
    ssize_t Read(std::uint8_t* buffer, std::size_t size) override {
        ssize_t n;
        do {
            n = ::read(m_fd.Get(), buffer, size);
        } while (n < 0 && errno == EINTR);
        return n;
    }
    bool Write(const std::uint8_t* frame, std::size_t length) override {
        ssize_t n;
        do {
            n = ::write(m_fd.Get(), frame, length);
        } while (n < 0 && errno == EINTR);
        return n == static_cast<ssize_t>(length);
    }
    bool SetCarrier(bool on) override {
        int value = on ? 1 : 0;
        return ::ioctl(m_fd.Get(), TUNSETCARRIER, &value) == 0;
    }
    const std::string& IfName() const override { return m_name; }
    int IfIndex() const override { return m_index; }

private:
    platform::UniqueFd m_fd;
    std::string m_name;
    int m_index;
};

// The descriptors opened so far close as the caller returns.
bool Fail(std::string* error, const char* what) {
    if (error != nullptr) *error = std::string(what) + ": " + std::strerror(errno);
    return false;
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
    ifr.ifr_flags = IFF_TAP | IFF_NO_PI;
    if (::ioctl(fd, TUNSETIFF, &ifr) != 0) {
        Fail(error, "TUNSETIFF");
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
