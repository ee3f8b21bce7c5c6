#include "testsupport/net.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>

namespace testsupport {

namespace {

sockaddr_in Loopback(unsigned short port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

}  // namespace

LoopbackListener::LoopbackListener(int backlog) : fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    if (!fd) return;
    sockaddr_in a = Loopback(0);
    socklen_t len = sizeof a;
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(fd.Get(), backlog) != 0 ||
        ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        fd.Reset();
        return;
    }
    port = ntohs(a.sin_port);
}

int LoopbackListener::Accept() const {
    return !fd ? -1 : ::accept4(fd.Get(), nullptr, nullptr, SOCK_CLOEXEC);
}

int ConnectLoopback(unsigned short port) {
    platform::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return -1;
    sockaddr_in a = Loopback(port);
    if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return -1;
    return fd.Release();
}

bool SendAll(int fd, const void* data, std::size_t size) {
    auto* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool RecvAll(int fd, void* data, std::size_t size, int timeoutMs) {
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    auto* p = static_cast<char*>(data);
    while (size > 0) {
        ssize_t n = ::recv(fd, p, size, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

void SetEngineSocketOptions(int fd) {
    int size = 65536, on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

}  // namespace testsupport
