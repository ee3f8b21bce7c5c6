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

namespace olvane {

namespace {

class TapDevice final : public TwNicBackend {
public:
    TapDevice(int fd, std::string name, int index) : m_fd(fd), m_name(std::move(name)), m_index(index) {}
    ~TapDevice() override { ::close(m_fd); }
    int Fd() const override { return m_fd; }
    ssize_t Read(std::uint8_t* buffer, std::size_t size) override {
        ssize_t n;
        do {
            n = ::read(m_fd, buffer, size);
        } while (n < 0 && errno == EINTR);
        return n;
    }
    bool Write(const std::uint8_t* frame, std::size_t length) override {
        ssize_t n;
        do {
            n = ::write(m_fd, frame, length);
        } while (n < 0 && errno == EINTR);
        return n == static_cast<ssize_t>(length);
    }
    bool SetCarrier(bool on) override {
        int value = on ? 1 : 0;
        return ::ioctl(m_fd, TUNSETCARRIER, &value) == 0;
    }
    const std::string& IfName() const override { return m_name; }
    int IfIndex() const override { return m_index; }

private:
    int m_fd;
    std::string m_name;
    int m_index;
};

bool Fail(std::string* error, const char* what, int fd = -1, int sock = -1) {
    if (error != nullptr) *error = std::string(what) + ": " + std::strerror(errno);
    int err = errno;
    if (fd >= 0) ::close(fd);
    if (sock >= 0) ::close(sock);
    errno = err;
    return false;
}

}  // namespace

std::unique_ptr<TwNicBackend> OpenTapDevice(const std::string& ifName, const std::uint8_t* mac, std::uint32_t mtu,
                                            std::string* error) {
    if (ifName.empty() || ifName.size() >= IFNAMSIZ) {
        if (error != nullptr) *error = "bad interface name";
        return nullptr;
    }
    int fd = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        Fail(error, "open /dev/net/tun");
        return nullptr;
    }
    ifreq ifr{};
    std::memcpy(ifr.ifr_name, ifName.c_str(), ifName.size());
    ifr.ifr_flags = IFF_TAP | IFF_NO_PI;
    if (::ioctl(fd, TUNSETIFF, &ifr) != 0) {
        Fail(error, "TUNSETIFF", fd);
        return nullptr;
    }
    int off = 0;
    if (::ioctl(fd, TUNSETCARRIER, &off) != 0) {
        Fail(error, "TUNSETCARRIER", fd);
        return nullptr;
    }
    int sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        Fail(error, "socket", fd);
        return nullptr;
    }
    ifreq req{};
    std::memcpy(req.ifr_name, ifr.ifr_name, IFNAMSIZ);
    req.ifr_hwaddr.sa_family = ARPHRD_ETHER;
    std::memcpy(req.ifr_hwaddr.sa_data, mac, 6);
    if (::ioctl(sock, SIOCSIFHWADDR, &req) != 0) {
        Fail(error, "SIOCSIFHWADDR", fd, sock);
        return nullptr;
    }
    std::memset(&req.ifr_ifru, 0, sizeof(req.ifr_ifru));
    req.ifr_mtu = static_cast<int>(mtu);
    if (mtu >= 68 && ::ioctl(sock, SIOCSIFMTU, &req) != 0) {
        Fail(error, "SIOCSIFMTU", fd, sock);
        return nullptr;
    }
    std::memset(&req.ifr_ifru, 0, sizeof(req.ifr_ifru));
    if (::ioctl(sock, SIOCGIFFLAGS, &req) != 0) {
        Fail(error, "SIOCGIFFLAGS", fd, sock);
        return nullptr;
    }
    req.ifr_flags = static_cast<short>(req.ifr_flags | IFF_UP);
    if (::ioctl(sock, SIOCSIFFLAGS, &req) != 0) {
        Fail(error, "SIOCSIFFLAGS", fd, sock);
        return nullptr;
    }
    std::memset(&req.ifr_ifru, 0, sizeof(req.ifr_ifru));
    int index = ::ioctl(sock, SIOCGIFINDEX, &req) == 0 ? req.ifr_ifindex : 0;
    ::close(sock);
    return std::make_unique<TapDevice>(fd, std::string(ifr.ifr_name), index);
}

}  // namespace olvane
