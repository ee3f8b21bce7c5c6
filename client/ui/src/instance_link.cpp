#include "vorn/instance_link.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include <QSocketNotifier>
#include <QTimer>

#include "dailylog/shared_daily_log.h"
#include "platform/machine_root.h"
#include "platform/process.h"

namespace vorn {

namespace {

constexpr char kMagic[4] = {'V', 'C', 'L', '1'};

void PutU32(std::string* out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

std::uint32_t GetU32(const char* p) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
    return v;
}

// Our own user or root at the other end of `fd`.
bool PeerTrusted(int fd) {
    ucred cred{};
    socklen_t len = sizeof(cred);
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return false;
    return cred.uid == 0 || cred.uid == ::getuid();
}

bool FillAddress(const std::string& path, sockaddr_un* addr) {
    std::memset(addr, 0, sizeof(*addr));
    addr->sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(addr->sun_path)) return false;
    std::memcpy(addr->sun_path, path.data(), path.size());
    return true;
}

}  // namespace

std::string EncodeFrame(const LinkRequest& request) {
    std::string out(kMagic, sizeof(kMagic));
    PutU32(&out, request.kind);
    PutU32(&out, request.data);
    PutU32(&out, static_cast<std::uint32_t>(request.bytes.size()));
    out += request.bytes;
    return out;
}

FrameReader::Result FrameReader::Feed(const char* data, std::size_t size) {
    if (m_done) return kComplete;
    if (!m_error.empty()) return kMalformed;
    // Never hold more than one whole frame.
    const std::size_t room = kFrameHeader + kFrameDataMax - m_buffer.size();
    m_buffer.append(data, size < room ? size : room);
    const bool overflow = size > room;
    const std::size_t magicSeen = m_buffer.size() < 4 ? m_buffer.size() : 4;
    if (std::memcmp(m_buffer.data(), kMagic, magicSeen) != 0) {
        m_error = "bad magic";
        return kMalformed;
    }
    if (m_buffer.size() < kFrameHeader) return kNeedMore;
    const std::uint32_t kind = GetU32(m_buffer.data() + 4);
    const std::uint32_t length = GetU32(m_buffer.data() + 12);
    if (kind < kLinkCopyData || kind > kLinkPost) {
        m_error = "unknown kind " + std::to_string(kind);
        return kMalformed;
    }
    if (length > kFrameDataMax) {
        m_error = "length " + std::to_string(length) + " over the limit";
        return kMalformed;
    }
    if (m_buffer.size() < kFrameHeader + length) return kNeedMore;
    if (m_buffer.size() > kFrameHeader + length || overflow) {
        m_error = "bytes after the frame";
        return kMalformed;
    }
    m_request.kind = kind;
    m_request.data = GetU32(m_buffer.data() + 8);
    m_request.bytes.assign(m_buffer.data() + kFrameHeader, length);
    m_done = true;
    return kComplete;
}

std::string InstanceSocketPath(DWORD pid) {
    const std::string dir = platform::RuntimeSubDir(platform::kGuiRuntimeDir, 01777);
    if (dir.empty()) return {};
    return dir + "/" + std::to_string(pid) + ".sock";
}

SendResult SendToRunningClient(DWORD pid, const LinkRequest& request, DWORD timeoutMs, std::int32_t* reply) {
    sockaddr_un addr{};
    if (!FillAddress(InstanceSocketPath(pid), &addr)) return SendResult::kNoListener;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return SendResult::kFailed;
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) return SendResult::kNoListener;
    if (!PeerTrusted(fd)) return SendResult::kRefusedPeer;
    const std::string frame = EncodeFrame(request);
    if (::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size())) {
        return SendResult::kFailed;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char answer[4];
    std::size_t got = 0;
    while (got < sizeof(answer)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return SendResult::kTimeout;
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return r == 0 ? SendResult::kTimeout : SendResult::kFailed;
        const ssize_t n = ::recv(fd, answer + got, sizeof(answer) - got, 0);
        if (n <= 0) return SendResult::kFailed;
        got += static_cast<std::size_t>(n);
    }
    *reply = static_cast<std::int32_t>(GetU32(answer));
    return SendResult::kOk;
}

struct InstanceServer::Connection {
    int fd = -1;
    FrameReader reader;
    std::unique_ptr<QSocketNotifier> notifier;
    std::unique_ptr<QTimer> deadline;
};

InstanceServer::InstanceServer(Handler handler, DWORD frameMs, QObject* parent)
    : QObject(parent), m_handler(std::move(handler)), m_frameMs(frameMs) {}

InstanceServer::~InstanceServer() {
    for (auto& c : m_connections) ::close(c->fd);
    m_connections.clear();
    m_notifier.reset();
    if (m_fd >= 0) {
        ::close(m_fd);
        ::unlink(m_path.c_str());
    }
}

bool InstanceServer::Listen() { return ListenAt(InstanceSocketPath(platform::CurrentProcessId())); }

bool InstanceServer::ListenAt(const std::string& path) {
    sockaddr_un addr{};
    if (!FillAddress(path, &addr)) {
        TW_LOG(LOG_CLIENT_LOGIN, 1, "[InstanceServer] no socket path");
        return false;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    ::unlink(path.c_str());  // a stale socket of an earlier process with our pid
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(fd, 8) != 0) {
        TW_LOG(LOG_CLIENT_LOGIN, 1, "[InstanceServer] cannot listen on %s: %s", path.c_str(),
               std::strerror(errno));
        ::close(fd);
        return false;
    }
    m_fd = fd;
    m_path = path;
    m_notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] { Accept(); });
    return true;
}

void InstanceServer::Accept() {
    const int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    if (!PeerTrusted(fd) || m_connections.size() >= 8) {
        TW_LOG(LOG_CLIENT_LOGIN, 2, "[InstanceServer] connection refused");
        ::close(fd);
        return;
    }
    auto c = std::make_unique<Connection>();
    c->fd = fd;
    Connection* raw = c.get();
    c->notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    QObject::connect(c->notifier.get(), &QSocketNotifier::activated, this, [this, raw] { ReadFrom(raw); });
    c->deadline = std::make_unique<QTimer>();
    c->deadline->setSingleShot(true);
    QObject::connect(c->deadline.get(), &QTimer::timeout, this, [this, raw] {
        TW_LOG(LOG_CLIENT_LOGIN, 2, "[InstanceServer] a request did not arrive in time");
        Drop(raw);
    });
    c->deadline->start(static_cast<int>(m_frameMs));
    m_connections.push_back(std::move(c));
}

void InstanceServer::ReadFrom(Connection* c) {
    char buf[1024];
    const ssize_t n = ::recv(c->fd, buf, sizeof(buf), 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) {
        Drop(c);
        return;
    }
    const FrameReader::Result r = c->reader.Feed(buf, static_cast<std::size_t>(n));
    if (r == FrameReader::kNeedMore) return;
    if (r == FrameReader::kMalformed) {
        TW_LOG(LOG_CLIENT_LOGIN, 2, "[InstanceServer] malformed request: %s", c->reader.Error().c_str());
        Drop(c);
        return;
    }
    c->notifier->setEnabled(false);
    c->deadline->stop();
    // The handler may run a nested event loop (a message box); the connection stays ours.
    const std::int32_t result = m_handler ? m_handler(c->reader.Request()) : -1;
    std::string answer;
    PutU32(&answer, static_cast<std::uint32_t>(result));
    (void)!::send(c->fd, answer.data(), answer.size(), MSG_NOSIGNAL);
    Drop(c);
}

void InstanceServer::Drop(Connection* c) {
    for (auto it = m_connections.begin(); it != m_connections.end(); ++it) {
        if (it->get() != c) continue;
        // The timer or notifier that called us may be on the stack: both go later.
        (*it)->notifier->setEnabled(false);
        (*it)->notifier.release()->deleteLater();
        (*it)->deadline->stop();
        (*it)->deadline.release()->deleteLater();
        ::close((*it)->fd);
        m_connections.erase(it);
        return;
    }
}

}  // namespace vorn
