#include "prendle/socket_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <thread>

#include "accept_socket.h"
#include "platform/clock.h"
#include "platform/unique_fd.h"
#include "platform/text_util.h"

namespace prendle {

// Accepts on the listening socket until told to stop; stopping shuts the listening socket down,
// which ends a blocked accept().
class AcceptThread : public TwThread {
public:
    AcceptThread(TwSocketServer* server, int listenFd, bool stamp)
        : m_server(server), m_listenFd(listenFd), m_stamp(stamp) {}
    ~AcceptThread() override { StopAndWait(); }

    unsigned long Terminate() override {
        unsigned long result = TwThread::Terminate();
        if (!m_shut.exchange(true)) shutdown(m_listenFd, SHUT_RDWR);
        return result;
    }

protected:
    unsigned long Execute() override {
        int failures = 0;
        while (m_StopRequest.load() == 0) {
            platform::UniqueFd fd(accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC));
            if (m_StopRequest.load() != 0) break;
            if (!fd) {
                int err = errno;
                // Out of descriptors: the longest-idle session makes room for the waiting one.
                if ((err == EMFILE || err == ENFILE) && m_server->EvictOldestIdle()) continue;
                // Otherwise do not spin while the cause lasts.
                if (++failures > 3) std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
            failures = 0;
            m_server->OnAccepted(fd.Release(), m_stamp, m_StopRequest.load() != 0);
        }
        return 0;
    }

private:
    TwSocketServer* m_server;
    int m_listenFd;
    bool m_stamp;
    std::atomic<bool> m_shut{false};
};

}  // namespace prendle

namespace {

std::mutex g_clockLock;
std::function<std::int64_t()> g_ageClock;  // guarded by g_clockLock

void DeleteSocket(TwSocket* socket) {
    if (socket != nullptr) socket->Release();
}

// Descriptors kept back from the session cap for everything else the process opens (files,
// logs, pipes, the engine's own).
constexpr rlim_t kReservedDescriptors = 64;
// A session's socket and, at most, its idle event once somebody waits on it.
constexpr rlim_t kDescriptorsPerSession = 2;

// The soft descriptor limit as far up as the hard one allows; the limit in force afterwards.
rlim_t RaiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    return limit.rlim_cur;
}

std::size_t SessionCapFor(rlim_t descriptors) {
    if (descriptors == RLIM_INFINITY) return TwSocketServer::kMaxSessionCap;
    rlim_t usable =
        descriptors > kReservedDescriptors * 2 ? descriptors - kReservedDescriptors : descriptors / 2;
    return std::min<std::size_t>(
        TwSocketServer::kMaxSessionCap,
        std::max<std::size_t>(1, static_cast<std::size_t>(usable / kDescriptorsPerSession)));
}

}  // namespace

TwSocketServer::TwSocketServer() : m_listen(nullptr, DeleteSocket) {}

TwSocketServer::~TwSocketServer() {
    StopServer();
    m_deadSockTimer.Stop();
    m_acceptThread.reset();
    m_listen.reset();
    CleanUp();
}

SharedObjectPtr<TwSocketServer> TwSocketServer::CreatePrendle() {
    return SharedObjectPtr<TwSocketServer>(new (std::nothrow) TwSocketServer);
}

void TwSocketServer::SetAgeClockForTest(std::function<std::int64_t()> clock) {
    std::lock_guard<std::mutex> guard(g_clockLock);
    g_ageClock = std::move(clock);
}

std::int64_t TwSocketServer::AgeClockSeconds() {
    {
        std::lock_guard<std::mutex> guard(g_clockLock);
        if (g_ageClock) return g_ageClock();
    }
    return static_cast<std::int64_t>(platform::GetTickCount64() / 1000);
}

void TwSocketServer::SetChkDeadSockPeriod(int checkIntervalSeconds, int maxAgeSeconds) {
    m_checkInterval.store(checkIntervalSeconds);
    m_maxAge.store(maxAgeSeconds);
}

unsigned long TwSocketServer::Initialize(TwProcessCallBack callback, void* context, unsigned long address,
                                         unsigned short port) {
    bool already = m_initialized;
    unsigned long result = TwSocketManager::Initialize(callback, context, address, port);
    if (result != TW_SUCCEED || already || m_maxAge.load() == 0) return result;
    int interval = m_checkInterval.load();
    if (interval <= 0) interval = 1;
    if (!m_deadSockTimer.Start(std::chrono::seconds(interval), [this] { CheckDeadSock(); }))
        return TW_ERR_FAILED;
    return TW_SUCCEED;
}

bool TwSocketServer::OpenListener(unsigned long address, unsigned short port) {
    TwSocket* socket = new (std::nothrow) TwSocket("TwSocket");
    if (socket == nullptr) return false;
    socket->AddRef();
    m_listen.reset(socket);
    if (socket->Create(address, port) != 1) return false;
    int fd = socket->GetSOCKET();
    // As deep as the kernel allows (it caps the value at net.core.somaxconn): a burst of clients
    // waits in the queue instead of having its connection attempts dropped.
    if (listen(fd, SOMAXCONN) != 0) return false;
    // The buffer sizes are left to the kernel (see SetUp of the sessions).
    int on = 1;
    int idle = 120;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof(idle));
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) != 0) return false;
    linger lg{1, 0};
    return setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg)) == 0;
}

unsigned long TwSocketServer::StartServer(unsigned long address, unsigned short* port) {
    if (m_started.load() || port == nullptr || !m_initialized) return 0;
    m_sessionCap.store(SessionCapFor(RaiseDescriptorLimit()));
    bool automatic = *port == 0;
    bool open = false;
    for (unsigned candidate = kFirstAutoPort; candidate < kEndAutoPort && !open; ++candidate) {
        unsigned short chosen = automatic ? static_cast<unsigned short>(candidate) : *port;
        if (automatic) *port = chosen;
        m_port = chosen;
        open = OpenListener(address, chosen);
        if (!open && !automatic) break;
    }
    if (!open) {
        m_listen.reset();
        return 0;
    }
    auto* thread =
        new (std::nothrow) prendle::AcceptThread(this, m_listen->GetSOCKET(), m_maxAge.load() != 0);
    if (thread == nullptr) return TW_ERR_NO_MEMORY;
    m_acceptThread.reset(thread);
    if (thread->Create(0) != TW_SUCCEED || thread->Resume() != TW_SUCCEED) {
        m_acceptThread.reset();
        m_listen.reset();
        return 0;
    }
    m_started.store(true);
    TwProcessCallBack callback = m_callback.load();
    if (callback == nullptr) return TW_SUCCEED;
    _TwMessage message;
    message.code = TW_MSG_SERVER_START;
    message.userContext = m_context.load();
    return callback(this, &message) == TW_SUCCEED ? TW_SUCCEED : 0;
}

void TwSocketServer::OnAccepted(int fd, bool stamp, bool stopping) {
    platform::UniqueFd owned(fd);
    auto* connection = new (std::nothrow) prendle::TwAcceptSocket(EngineRef());
    if (connection == nullptr) return;
    SharedObjectPtr<SharedObject> session(connection);
    connection->Adopt(owned.Release());
    if (stamp) connection->SetAliveCheck(true, AgeClockSeconds());
    sockaddr_in peer{};
    socklen_t length = sizeof(peer);
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0) {
        connection->SetPeerText(platform::Ipv4Text(peer.sin_addr.s_addr).c_str(), ntohs(peer.sin_port));
    }
    if (connection->SetUp() != 1) return;
    connection->SetProcessCallBack(m_callback.load(), m_context.load(), this);
    if (stopping || m_callback.load() == nullptr) return;  // the session handle closes it
    // Full: idle connections must not lock newcomers out, so the longest-idle one goes.
    if (LiveSessionCount() >= m_sessionCap.load()) EvictOldestIdle();
    AnnounceSession(connection);
}

std::size_t TwSocketServer::LiveSessionCount() {
    Synchronizer lock(&m_sessionLock);
    std::size_t live = 0;
    for (auto* holder : m_sessions) {
        prendle::TwAcceptSocket* connection = prendle::AsConnection(*holder);
        if (connection != nullptr && !connection->Ending()) ++live;
    }
    return live;
}

bool TwSocketServer::EvictOldestIdle() {
    SharedObjectPtr<SharedObject> oldest;
    {
        Synchronizer lock(&m_sessionLock);
        std::int64_t oldestActivity = 0;
        for (auto* holder : m_sessions) {
            prendle::TwAcceptSocket* connection = prendle::AsConnection(*holder);
            if (connection == nullptr || connection->Ending()) continue;
            if (!oldest || connection->LastActivity() < oldestActivity) {
                oldest = *holder;
                oldestActivity = connection->LastActivity();
            }
        }
    }
    if (!oldest) return false;
    return prendle::AsConnection(oldest)->Shutdown(false) == 1;
}

unsigned long TwSocketServer::StopServer() {
    if (!m_started.load()) return TW_SUCCEED;
    m_acceptThread.reset();  // stops it: the listening socket is shut down, the thread joined
    CleanUp();
    m_listen.reset();
    m_started.store(false);
    TwProcessCallBack callback = m_callback.load();
    if (callback == nullptr) return TW_SUCCEED;
    _TwMessage message;
    message.code = TW_MSG_SERVER_STOP;
    message.userContext = m_context.load();
    return callback(this, &message) == TW_SUCCEED ? TW_SUCCEED : 0;
}

void TwSocketServer::CheckDeadSock() {
    int maxAge = m_maxAge.load();
    if (maxAge == 0) return;
    std::int64_t now = AgeClockSeconds();
    Synchronizer lock(&m_sessionLock);
    for (auto* holder : m_sessions) {
        prendle::TwAcceptSocket* connection = prendle::AsConnection(*holder);
        std::int64_t stamp = 0;
        if (connection != nullptr && connection->AliveCheck(&stamp) && maxAge < now - stamp)
            connection->Shutdown(false);
    }
}

int TwSocketServer::BroadcastMsg(void* exceptSession, const char* data, int length) {
    std::vector<SharedObjectPtr<SharedObject>> targets;
    {
        Synchronizer lock(&m_sessionLock);
        for (auto* holder : m_sessions) {
            if (holder->get() != exceptSession) targets.push_back(*holder);
        }
    }
    for (auto& session : targets) {
        if (SendMsg(session, data, length, false) != 1) return 0;
    }
    return 1;
}
