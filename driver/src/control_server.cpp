#include "control_server.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "platform/fd_passing.h"
#include "trace.h"

namespace olvane {

namespace {

constexpr std::size_t kMaxRequest = sizeof(TW_DEVICE_REQUEST) + TW_DEVICE_MAX_BUFFER;
constexpr std::size_t kMaxConnections = 64;

bool SendReply(int fd, const TW_DEVICE_REPLY& rep, const std::uint8_t* out, int passFd) {
    std::vector<std::uint8_t> msg(sizeof(rep) + rep.bytesReturned);
    std::memcpy(msg.data(), &rep, sizeof(rep));
    if (rep.bytesReturned > 0) std::memcpy(msg.data() + sizeof(rep), out, rep.bytesReturned);
    // A client that does not read its replies loses its handle rather than stalling us.
    return platform::SendWithFd(fd, msg.data(), msg.size(), passFd, MSG_DONTWAIT);
}

}  // namespace

TwControlServer::~TwControlServer() { Stop(); }

bool TwControlServer::Start(const std::string& path) {
    sockaddr_un addr{};
    if (path.size() >= sizeof(addr.sun_path)) {
        errno = ENAMETOOLONG;
        return false;
    }
    m_listen = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    m_stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_listen < 0 || m_stopFd < 0) {
        Stop();
        return false;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    ::unlink(path.c_str());
    if (::bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(m_listen, 16) != 0) {
        int err = errno;
        Stop();
        errno = err;
        return false;
    }
    // Any local program may open the device (the client runs as its user); who it is, is
    // recorded per handle.
    ::chmod(path.c_str(), 0666);
    m_path = path;
    m_thread = std::thread([this] { Run(); });
    return true;
}

void TwControlServer::Stop() {
    if (m_thread.joinable()) {
        std::uint64_t one = 1;
        (void)!::write(m_stopFd, &one, sizeof(one));
        m_thread.join();
    }
    while (!m_connections.empty()) Close(m_connections.begin()->first);
    if (m_listen >= 0) ::close(m_listen);
    m_listen = -1;
    if (m_stopFd >= 0) ::close(m_stopFd);
    m_stopFd = -1;
    if (!m_path.empty()) ::unlink(m_path.c_str());
    m_path.clear();
}

void TwControlServer::Run() {
    std::vector<pollfd> fds;
    for (;;) {
        fds.clear();
        fds.push_back({m_stopFd, POLLIN, 0});
        fds.push_back({m_listen, POLLIN, 0});
        for (auto& kv : m_connections) fds.push_back({kv.first, POLLIN, 0});
        int n = ::poll(fds.data(), fds.size(), -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[0].revents != 0) return;
        if (fds[1].revents & POLLIN) Accept();
        for (std::size_t i = 2; i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            auto it = m_connections.find(fds[i].fd);
            if (it == m_connections.end()) continue;
            if (!Serve(fds[i].fd, it->second)) Close(fds[i].fd);
        }
    }
}

bool TwControlServer::Accept() {
    int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return false;
    ucred cred{};
    socklen_t len = sizeof(cred);
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof(cred) || cred.pid <= 0 ||
        m_connections.size() >= kMaxConnections) {
        ::close(fd);
        ++m_rejected;
        return false;
    }
    Connection c;
    c.fo.id = m_nextId++;
    c.fo.pid = cred.pid;
    c.fo.uid = cred.uid;
    DbgTrace(kDbgInit, "NICDispatch IRP_MJ_CREATE (pid %d, uid %u)\n", cred.pid, cred.uid);
    m_connections.emplace(fd, c);
    return true;
}

void TwControlServer::Close(int fd) {
    auto it = m_connections.find(fd);
    if (it != m_connections.end()) {
        NdisFilterCleanup(&it->second.fo);
        DbgTrace(kDbgInit, "NICDispatch IRP_MJ_CLOSE\n");
        m_connections.erase(it);
    }
    ::close(fd);
}

bool TwControlServer::Serve(int fd, Connection& c) {
    std::vector<std::uint8_t> buf(kMaxRequest + 1);
    int passed = -1;
    int flags = 0;
    const ssize_t n = platform::ReceiveWithFd(fd, buf.data(), buf.size(), &passed, &flags, MSG_DONTWAIT);
    if (n < 0 && errno == EAGAIN) return true;
    if (n <= 0) {  // closed by the client
        if (passed >= 0) ::close(passed);
        return false;
    }
    TW_DEVICE_REQUEST req{};
    TW_DEVICE_REPLY rep{TW_DEVICE_MAGIC, STATUS_INVALID_PARAMETER, 0, 0};
    std::vector<std::uint8_t> out;
    IoResult result;
    const bool wellFormed = (flags & (MSG_TRUNC | MSG_CTRUNC)) == 0 &&
                            static_cast<std::size_t>(n) >= sizeof(req) &&
                            (std::memcpy(&req, buf.data(), sizeof(req)), req.magic == TW_DEVICE_MAGIC) &&
                            req.inLength <= TW_DEVICE_MAX_BUFFER && req.outLength <= TW_DEVICE_MAX_BUFFER &&
                            static_cast<std::size_t>(n) == sizeof(req) + req.inLength;
    if (!wellFormed) {
        ++m_rejected;
    } else {
        IoRequest io;
        io.code = req.code;
        io.in = buf.data() + sizeof(req);
        io.inLength = req.inLength;
        io.outLength = req.outLength;
        io.passedFd = passed;
        out.assign(req.outLength + 1, 0);
        result = NdisFilterIoControl(&c.fo, io, out.data());
        passed = io.passedFd;
        rep.status = result.status;
        rep.bytesReturned = result.bytes <= req.outLength ? result.bytes : req.outLength;
    }
    if (passed >= 0) ::close(passed);
    return SendReply(fd, rep, out.data(), result.replyFd);
}

}  // namespace olvane
