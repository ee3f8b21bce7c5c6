#include "platform/local_pipe.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/fd_passing.h"

namespace platform {
namespace {

using SteadyClock = std::chrono::steady_clock;

// Accepting stops after this many per wake-up, so a connect storm cannot starve requests.
constexpr int kAcceptBurst = 32;

bool FillAddress(const std::string& path, sockaddr_un* addr) {
    *addr = sockaddr_un{};
    addr->sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(addr->sun_path)) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
    return true;
}

bool ReadPeerGroups(int socket, std::vector<gid_t>* groups) {
    groups->assign(16, 0);
    for (int attempt = 0; attempt < 4; ++attempt) {
        socklen_t len = static_cast<socklen_t>(groups->size() * sizeof(gid_t));
        if (::getsockopt(socket, SOL_SOCKET, SO_PEERGROUPS, groups->data(), &len) == 0) {
            groups->resize(len / sizeof(gid_t));
            return true;
        }
        // ERANGE tells the size needed; the kernel bounds it (NGROUPS_MAX).
        if (errno != ERANGE || len / sizeof(gid_t) <= groups->size()) break;
        groups->assign(len / sizeof(gid_t), 0);
    }
    groups->clear();
    return false;
}

}  // namespace

bool ReadPeerCredentials(int socket, PeerCredentials* out) {
    ucred cred{};
    socklen_t len = sizeof(cred);
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof(cred) ||
        cred.pid <= 0) {
        return false;
    }
    out->pid = cred.pid;
    out->uid = cred.uid;
    out->gid = cred.gid;
    // Without the supplementary groups only the primary group can count.
    if (!ReadPeerGroups(socket, &out->groups)) out->groups.clear();
    return true;
}

PeerPolicy PeerPolicy::RootOrGroupNamed(const std::string& name, bool* found) {
    group entry{};
    group* result = nullptr;
    std::vector<char> buf(4096);
    int rc;
    while ((rc = ::getgrnam_r(name.c_str(), &entry, buf.data(), buf.size(), &result)) == ERANGE &&
           buf.size() < (1u << 20)) {
        buf.resize(buf.size() * 2);
    }
    if (found != nullptr) *found = rc == 0 && result != nullptr;
    if (rc != 0 || result == nullptr) return RootOnly();
    return RootOrGroup(entry.gr_gid);
}

PeerPolicy PeerPolicy::RootOrSelf() { return PeerPolicy(Kind::kRootOrSelf, 0, ::geteuid()); }

bool PeerPolicy::Admits(const PeerCredentials& peer) const {
    if (peer.uid == 0) return true;
    switch (m_kind) {
        case Kind::kRoot: return false;
        case Kind::kRootOrSelf: return peer.uid == m_self;
        case Kind::kAnyone: return true;
        case Kind::kRootOrGroup:
            return peer.gid == m_group ||
                   std::find(peer.groups.begin(), peer.groups.end(), m_group) != peer.groups.end();
    }
    return false;
}

mode_t PeerPolicy::SocketMode() const {
    switch (m_kind) {
        case Kind::kRoot:
        case Kind::kRootOrSelf: return 0600;
        case Kind::kRootOrGroup: return 0660;
        case Kind::kAnyone: return 0666;
    }
    return 0600;
}

LocalPipeServer::LocalPipeServer(Handler& handler, PeerPolicy policy, LocalPipeLimits limits)
    : m_handler(handler), m_policy(policy), m_limits(limits) {
    if (m_limits.maxMessage == 0) m_limits.maxMessage = 1;
}

LocalPipeServer::~LocalPipeServer() { Stop(); }

bool LocalPipeServer::Start(const std::string& path) {
    if (m_thread.joinable()) {
        errno = EBUSY;
        return false;
    }
    sockaddr_un addr;
    if (!FillAddress(path, &addr)) return false;
    UniqueFd listen(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    UniqueFd stop(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!listen || !stop) return false;
    ::unlink(path.c_str());
    // The socket file takes the socket's own mode (less the umask), so it is born with no
    // access for anyone but us: nobody connects in the moment before its mode and group are set.
    if (::fchmod(listen.Get(), 0600) != 0 ||
        ::bind(listen.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        return false;
    }
    const gid_t group = m_policy.SocketGroup();
    if ((group != static_cast<gid_t>(-1) && ::chown(path.c_str(), static_cast<uid_t>(-1), group) != 0) ||
        ::chmod(path.c_str(), m_policy.SocketMode()) != 0 || ::listen(listen.Get(), SOMAXCONN) != 0) {
        const int err = errno;
        ::unlink(path.c_str());
        errno = err;
        return false;
    }
    struct stat bound {};
    if (::lstat(path.c_str(), &bound) != 0) return false;
    m_boundDev = bound.st_dev;
    m_boundIno = bound.st_ino;
    m_listen = std::move(listen);
    m_stopFd = std::move(stop);
    m_path = path;
    m_thread = std::thread([this] { Run(); });
    return true;
}

void LocalPipeServer::Stop() {
    if (m_thread.joinable()) {
        const std::uint64_t one = 1;
        (void)!::write(m_stopFd.Get(), &one, sizeof(one));
        m_thread.join();
    }
    while (!m_connections.empty()) CloseConnection(m_connections.begin()->first);
    m_listen.Reset();
    m_stopFd.Reset();
    // Only our own socket file goes: one that replaced it is somebody else's.
    struct stat there {};
    if (!m_path.empty() && ::lstat(m_path.c_str(), &there) == 0 && there.st_dev == m_boundDev &&
        there.st_ino == m_boundIno) {
        ::unlink(m_path.c_str());
    }
    m_path.clear();
}

std::size_t LocalPipeServer::OpenConnections() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_connections.size();
}

void LocalPipeServer::Run() {
    std::vector<pollfd> fds;
    for (;;) {
        fds.clear();
        fds.push_back({m_stopFd.Get(), POLLIN, 0});
        // While accepting is paused the listener is left out, so a backlog that cannot be taken
        // does not wake the loop again and again.
        const bool acceptPaused = SteadyClock::now() < m_acceptPausedUntil;
        fds.push_back({m_listen.Get(), static_cast<short>(acceptPaused ? 0 : POLLIN), 0});
        for (auto& kv : m_connections) fds.push_back({kv.first, POLLIN, 0});
        int timeout = NextTimeoutMs();
        if (acceptPaused) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_acceptPausedUntil -
                                                                                    SteadyClock::now())
                                  .count();
            const int pause = left <= 0 ? 0 : static_cast<int>(left) + 1;
            timeout = timeout < 0 ? pause : std::min(timeout, pause);
        }
        const int n = ::poll(fds.data(), fds.size(), timeout);
        if (n < 0 && errno != EINTR && errno != ENOMEM && errno != EAGAIN) return;
        if (n > 0) {
            if (fds[0].revents != 0) return;
            if (fds[1].revents != 0) Accept();
            for (std::size_t i = 2; i < fds.size(); ++i) {
                if (fds[i].revents == 0) continue;
                auto it = m_connections.find(fds[i].fd);
                if (it != m_connections.end() && !ServeOne(it->second)) CloseConnection(fds[i].fd);
            }
        }
        CloseIdle();
    }
}

void LocalPipeServer::Accept() {
    for (int i = 0; i < kAcceptBurst; ++i) {
        UniqueFd fd(::accept4(m_listen.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!fd) {
            // Out of descriptors or memory: the peers wait in the backlog, and accepting pauses
            // (10 ms, doubling up to 1 s) instead of spinning on a listener that stays readable.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                m_acceptBackoffMs = std::min(m_acceptBackoffMs == 0 ? 10 : m_acceptBackoffMs * 2, 1000);
                m_acceptPausedUntil = SteadyClock::now() + std::chrono::milliseconds(m_acceptBackoffMs);
            }
            return;
        }
        m_acceptBackoffMs = 0;
        PeerCredentials peer;
        bool admitted = ReadPeerCredentials(fd.Get(), &peer) && m_policy.Admits(peer);
        if (admitted) {
            std::size_t sameUid = 0, nonRoot = 0;
            for (const auto& kv : m_connections) {
                if (kv.second.peer.uid == peer.uid) ++sameUid;
                if (kv.second.peer.uid != 0) ++nonRoot;
            }
            admitted = peer.uid == 0 ? sameUid < m_limits.maxRootConnections
                                     : sameUid < m_limits.maxPerUid && nonRoot < m_limits.maxConnections;
        }
        const std::uint64_t id = m_nextId++;
        if (!admitted || !m_handler.OnConnect(id, peer)) {
            ++m_refusedConnections;
            continue;  // closed unread
        }
        const int key = fd.Get();
        Connection c{std::move(fd), id, std::move(peer), SteadyClock::now()};
        std::lock_guard<std::mutex> g(m_lock);
        m_connections.emplace(key, std::move(c));
    }
}

bool LocalPipeServer::ServeOne(Connection& c) {
    PipeRequest request;
    request.connection = c.id;
    request.peer = &c.peer;
    request.data.resize(m_limits.maxMessage);
    int passed = -1;
    int flags = 0;
    const ssize_t n =
        ReceiveWithFd(c.fd.Get(), request.data.data(), request.data.size(), &passed, &flags, MSG_DONTWAIT);
    request.fd.Reset(passed);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
    if (n == 0) return false;  // closed by the peer
    c.lastActive = SteadyClock::now();
    if ((flags & (MSG_TRUNC | MSG_CTRUNC)) != 0) {
        ++m_refusedMessages;
        request.data.clear();
        request.fd.Reset();
        request.oversized = true;
    } else {
        request.data.resize(static_cast<std::size_t>(n));
    }
    PipeReply reply;
    m_handler.OnRequest(request, &reply);
    // A peer that does not read its replies loses its connection rather than stalling others.
    int fds[3];
    std::size_t nfds = 0;
    for (int f : {reply.fd, reply.extraFds[0], reply.extraFds[1]}) {
        if (f >= 0) fds[nfds++] = f;
    }
    if (!reply.data.empty() &&
        !SendWithFds(c.fd.Get(), reply.data.data(), reply.data.size(), fds, nfds, MSG_DONTWAIT)) {
        return false;
    }
    c.lastActive = SteadyClock::now();
    return !reply.close;
}

void LocalPipeServer::CloseConnection(int fd) {
    auto it = m_connections.find(fd);
    if (it == m_connections.end()) return;
    const std::uint64_t id = it->second.id;
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_connections.erase(it);  // closes the descriptor
    }
    m_handler.OnDisconnect(id);
}

int LocalPipeServer::NextTimeoutMs() const {
    if (m_limits.idleTimeoutMs <= 0 || m_connections.empty()) return -1;
    auto oldest = SteadyClock::time_point::max();
    for (const auto& kv : m_connections) oldest = std::min(oldest, kv.second.lastActive);
    const auto due = oldest + std::chrono::milliseconds(m_limits.idleTimeoutMs);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - SteadyClock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left) + 1;
}

void LocalPipeServer::CloseIdle() {
    if (m_limits.idleTimeoutMs <= 0) return;
    const auto cutoff = SteadyClock::now() - std::chrono::milliseconds(m_limits.idleTimeoutMs);
    std::vector<int> idle;
    for (const auto& kv : m_connections) {
        if (kv.second.lastActive <= cutoff) idle.push_back(kv.first);
    }
    for (int fd : idle) CloseConnection(fd);
}

LocalPipeClient LocalPipeClient::Connect(const std::string& path, bool failWhenFull) {
    sockaddr_un addr;
    if (!FillAddress(path, &addr)) return {};
    // A blocking connect waits for room in a full backlog without end; a local socket's
    // non-blocking connect either completes at once or fails with EAGAIN.
    UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | (failWhenFull ? SOCK_NONBLOCK : 0), 0));
    if (!fd) return {};
    int rc;
    do {
        rc = ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) return {};
    if (failWhenFull) {
        const int flags = ::fcntl(fd.Get(), F_GETFL);
        if (flags < 0 || ::fcntl(fd.Get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return {};
    }
    return LocalPipeClient(std::move(fd));
}

bool LocalPipeClient::Send(const void* data, std::size_t size, int passFd) {
    if (!m_fd) {
        errno = EBADF;
        return false;
    }
    return SendWithFd(m_fd.Get(), data, size, passFd);
}

bool LocalPipeClient::Receive(std::size_t maxSize, int timeoutMs, std::vector<std::uint8_t>* message,
                              UniqueFd* fd, bool* closed, std::vector<UniqueFd>* extra) {
    *closed = false;
    message->clear();
    if (fd != nullptr) fd->Reset();
    if (extra != nullptr) extra->clear();
    if (!m_fd) {
        errno = EBADF;
        return false;
    }
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        int wait = -1;
        if (timeoutMs >= 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
            wait = left < 0 ? 0 : static_cast<int>(left);
        }
        pollfd p{m_fd.Get(), POLLIN, 0};
        const int rc = ::poll(&p, 1, wait);
        if (rc > 0) break;
        if (rc == 0) {
            errno = ETIMEDOUT;
            return false;
        }
        if (errno != EINTR) return false;
    }
    message->resize(maxSize);
    int passed[kMaxPassedFds];
    int flags = 0;
    const ssize_t n = ReceiveWithFds(m_fd.Get(), message->data(), message->size(), passed, kMaxPassedFds,
                                     &flags, MSG_DONTWAIT);
    UniqueFd got(passed[0]);
    std::vector<UniqueFd> more;
    for (std::size_t i = 1; i < kMaxPassedFds; ++i) {
        if (passed[i] >= 0) more.emplace_back(passed[i]);
    }
    if (n < 0) {
        message->clear();
        return false;
    }
    if ((flags & (MSG_TRUNC | MSG_CTRUNC)) != 0) {
        message->clear();
        errno = EMSGSIZE;
        return false;
    }
    message->resize(static_cast<std::size_t>(n));
    *closed = n == 0;
    if (fd != nullptr) *fd = std::move(got);
    if (extra != nullptr) *extra = std::move(more);
    return true;
}

}  // namespace platform
