#include "testsupport/cutting_proxy.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <utility>

namespace testsupport {

namespace {

bool Readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
}

}  // namespace

CuttingProxy::CuttingProxy(std::string answer, std::size_t piece, unsigned short targetPort)
    : m_answer(std::move(answer)), m_piece(std::max<std::size_t>(piece, 1)), m_target(targetPort) {
    m_thread = std::thread([this] { Run(); });
}

CuttingProxy::~CuttingProxy() {
    m_stop = true;
    m_thread.join();
}

void CuttingProxy::Run() {
    platform::UniqueFd client;
    while (!m_stop && !client) {
        if (Readable(m_listener.fd.Get(), 10)) client.Reset(m_listener.Accept());
    }
    if (!client) return;
    // Every send its own packet.
    const int one = 1;
    ::setsockopt(client.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::string request;
    char buf[4096];
    while (!m_stop && request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
        if (!Readable(client.Get(), 10)) continue;
        const ssize_t n = ::recv(client.Get(), buf, sizeof buf, 0);
        if (n <= 0) return;
        request.append(buf, static_cast<std::size_t>(n));
    }
    for (std::size_t at = 0; at < m_answer.size() && !m_stop; at += m_piece) {
        const std::string piece = m_answer.substr(at, m_piece);
        if (!SendAll(client.Get(), piece.data(), piece.size())) return;
        ++m_pieces;
        // A proxy's pace, shortened; a client that went away ends it early.
        Readable(client.Get(), 3);
    }
    Relay(client.Get());
}

void CuttingProxy::Relay(int client) {
    const platform::UniqueFd server(ConnectLoopback(m_target));
    if (!server) return;
    char buf[16384];
    while (!m_stop) {
        pollfd p[2] = {{client, POLLIN, 0}, {server.Get(), POLLIN, 0}};
        if (::poll(p, 2, 10) <= 0) continue;
        for (std::size_t i = 0; i < 2; ++i) {
            if (p[i].revents == 0) continue;
            const ssize_t n = ::recv(p[i].fd, buf, sizeof buf, 0);
            if (n <= 0 || !SendAll(p[1 - i].fd, buf, static_cast<std::size_t>(n))) return;
        }
    }
}

}  // namespace testsupport
