#include "testsupport/net.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include "platform/unique_fd.h"

namespace testsupport {

unsigned short FreeLoopbackPort() {
    const platform::UniqueFd sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int fd = sock.Get();
    if (fd < 0) return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0;
    return ok ? ntohs(a.sin_port) : 0;
}

void SetEngineSocketOptions(int fd) {
    int size = 65536, on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

}  // namespace testsupport
