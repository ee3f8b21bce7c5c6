#include "prendle/socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/errors.h"

namespace {

int PollOne(int fd, short events, int seconds) {
    if (fd < 0) return 0;
    pollfd p{fd, events, 0};
    int timeout = seconds < 0 ? -1 : seconds * 1000;
    int n;
    do {
        n = poll(&p, 1, timeout);
    } while (n < 0 && errno == EINTR);
    return n > 0 && (p.revents & (events | POLLERR | POLLHUP)) ? 1 : 0;
}

}  // namespace

TwSocket::TwSocket(const char* name) : SharedObject(name) {}

TwSocket::~TwSocket() { CloseSocket(); }

int TwSocket::Create(unsigned long address, unsigned short port) {
    return CreateOfType(SOCK_STREAM, address, port);
}

int TwSocket::CreateOfType(int type, unsigned long address, unsigned short port) {
    m_socket.Reset(socket(AF_INET, type | SOCK_CLOEXEC, 0));
    if (!m_socket.Valid()) {
        m_error = static_cast<int>(platform::WsaErrorFromErrno(errno));
        return 0;
    }
    if (address != 0 || port != 0) {
        int on = 1;
        setsockopt(m_socket.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = static_cast<in_addr_t>(address);
    local.sin_port = htons(port);
    if (bind(m_socket.Get(), reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
        m_error = static_cast<int>(platform::WsaErrorFromErrno(errno));
        m_socket.Reset();
        return 0;
    }
    m_valid = 1;
    return 1;
}

int TwSocket::IsSockValid() { return m_socket.Valid() ? m_valid : 0; }

int TwSocket::SocketReady2Read(int seconds) { return PollOne(m_socket.Get(), POLLIN, seconds); }

int TwSocket::SocketReady2Write(int seconds) { return PollOne(m_socket.Get(), POLLOUT, seconds); }

int TwSocket::HasConnectionDropped() {
    if (!PollOne(m_socket.Get(), POLLIN, 0)) return 0;
    char byte;
    ssize_t n = recv(m_socket.Get(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n == 0) return 1;
    if (n < 0) {
        int err = errno;
        return err == ENETRESET || err == ECONNABORTED || err == ECONNRESET || err == EINVAL ? 1 : 0;
    }
    return 0;
}

void TwSocket::CloseSocket() {
    m_socket.Reset();
    m_valid = 0;
}
