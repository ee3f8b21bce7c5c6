#include "prendle/udp_socket_server.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>

#include "platform/debug_output.h"

namespace {

bool StartsWith(const char* data, std::size_t length, const char* literal) {
    std::size_t n = std::strlen(literal);
    return length >= n && std::memcmp(data, literal, n) == 0;
}

_UDPAddr KeyOf(std::uint32_t address, std::uint16_t port) {
    _UDPAddr key{};
    key.address = address;
    key.port = port;
    return key;
}

}  // namespace

// ---- TwUdpSocket ----

TwUdpSocket::TwUdpSocket() : TwSocket("TwUdpSocket") {}

TwUdpSocket::~TwUdpSocket() = default;

int TwUdpSocket::Create(unsigned long address, unsigned short port) {
    if (CreateOfType(SOCK_DGRAM, address, port) != 1) return 0;
    m_context.reset(new (std::nothrow) _RecvCtxt);
    if (!m_context) {
        CloseSocket();
        return 0;
    }
    m_context->owner = this;
    return 1;
}

void TwUdpSocket::SetCallback(TwUdpRecvCallback callback, void* appContext) {
    m_callback = callback;
    m_appContext = appContext;
}

unsigned long TwUdpSocket::ReceiveOnce(int timeoutMs) {
    if (!m_socket.Valid() || !m_context) return 0;
    pollfd p{m_socket.Get(), POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return 1;
    _RecvCtxt* context = m_context.get();
    context->fromLength = sizeof(context->from);
    ssize_t n = recvfrom(m_socket.Get(), context->buffer, sizeof(context->buffer), MSG_DONTWAIT,
                         reinterpret_cast<sockaddr*>(&context->from), &context->fromLength);
    // Errors such as a port-unreachable report of an earlier send are not fatal to the socket.
    if (n < 0) return 1;
    context->bytes = static_cast<std::uint32_t>(n);
    context->flags = 0;
    return m_callback != nullptr ? m_callback(context) : 1;
}

bool TwUdpSocket::SendTo(const char* data, int length, const sockaddr* to) {
    if (!m_socket.Valid() || length < 0) return false;
    ssize_t n =
        sendto(m_socket.Get(), data, static_cast<std::size_t>(length), MSG_NOSIGNAL, to, sizeof(sockaddr_in));
    return n == length;
}

// ---- TwUDPSession ----

TwUDPSession::TwUDPSession(std::uint32_t address, std::uint16_t port, SharedObjectPtr<SharedObject> context,
                           bool connected)
    : SharedObject("TwUDPSession"),
      m_key(KeyOf(address, port)),
      m_connected(connected ? 1 : 0),
      m_context(context) {}

SharedObjectPtr<SharedObject> TwUDPSession::GetContext() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_context;
}

void TwUDPSession::SetContext(SharedObjectPtr<SharedObject> context) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_context = context;
}

void TwUDPSession::SignalReply() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_signalled = true;
    }
    m_replied.notify_all();
}

bool TwUDPSession::WaitReply(int milliseconds) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_replied.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return m_signalled; });
}

// ---- receive thread ----

namespace prendle {

class UdpReceiveThread : public TwThread {
public:
    explicit UdpReceiveThread(TwUdpSocket* socket) : m_socket(socket) {}
    ~UdpReceiveThread() override { StopAndWait(); }

protected:
    unsigned long Execute() override {
        bool receiving = true;
        while (m_StopRequest.load() == 0) {
            if (!receiving) {
                pollfd none{-1, 0, 0};
                poll(&none, 0, 100);
                continue;
            }
            // The callback refusing a datagram stops the receiving, as the completion routine did.
            if (m_socket->ReceiveOnce(100) != 1) receiving = false;
        }
        return 0;
    }

private:
    TwUdpSocket* m_socket;
};

}  // namespace prendle

// ---- TwUDPSocketServer ----

TwUDPSocketServer::TwUDPSocketServer() : SharedObject("TwUDPSocketServer") {}

TwUDPSocketServer::~TwUDPSocketServer() {
    if (m_started.load()) StopServer();
    std::lock_guard<std::mutex> guard(m_lock);
    for (auto* holder : m_sessions) {
        m_table.Del(&(*holder)->m_key, sizeof(_UDPAddr));
        delete holder;
    }
    m_sessions.clear();
}

void TwUDPSocketServer::SetProcessCallBack(TwUdpProcessCallBack callback, void* context) {
    m_callback.store(callback);
    m_context.store(context);
}

unsigned long TwUDPSocketServer::Notify(std::uint32_t code, const SharedObjectPtr<SharedObject>& session,
                                        SharedObjectPtr<SharedObject> sessionCtx, std::uintptr_t param) {
    TwUdpProcessCallBack callback = m_callback.load();
    if (callback == nullptr) return 0;
    _TwMessage message;
    message.code = code;
    message.userContext = m_context.load();
    message.session = session;
    message.sessionCtx = sessionCtx;
    message.param = param;
    return callback(this, &message);
}

int TwUDPSocketServer::StartServer(unsigned long address, unsigned short port) {
    if (m_started.load()) return 0;
    // The socket is bound here rather than on the receive thread, so that a bind failure is
    // reported to the caller instead of leaving a server that never receives.
    SharedObjectPtr<TwUdpSocket> socket(new (std::nothrow) TwUdpSocket);
    if (!socket || socket->Create(address, port) != 1) return 0;
    socket->SetCallback(&TwUDPSocketServer::DataProc, this);
    auto* thread = new (std::nothrow) prendle::UdpReceiveThread(socket.get());
    if (thread == nullptr) return 0;
    m_socket = socket;
    m_thread.reset(thread);
    if (thread->Create(0) != TW_SUCCEED || thread->Resume() != TW_SUCCEED) {
        m_thread.reset();
        m_socket = nullptr;
        return 0;
    }
    Notify(TW_MSG_SERVER_START, nullptr, nullptr, 0);
    m_started.store(true);
    return 1;
}

int TwUDPSocketServer::StopServer() {
    m_thread.reset();
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (auto* holder : m_sessions) {
            m_table.Del(&(*holder)->m_key, sizeof(_UDPAddr));
            delete holder;
        }
        m_sessions.clear();
    }
    m_socket = nullptr;
    Notify(TW_MSG_SERVER_STOP, nullptr, nullptr, 0);
    m_started.store(false);
    return 1;
}

bool TwUDPSocketServer::GetLocalAddr(sockaddr_in& address) {
    address = sockaddr_in{};
    if (!m_socket) return false;
    socklen_t length = sizeof(address);
    return getsockname(m_socket->GetSOCKET(), reinterpret_cast<sockaddr*>(&address), &length) == 0;
}

SharedObjectPtr<TwUDPSession> TwUDPSocketServer::Find(const _UDPAddr& key) {
    _UDPAddr copy = key;
    return SharedObjectPtr<TwUDPSession>(static_cast<TwUDPSession*>(m_table.Get(&copy, sizeof(copy))));
}

void TwUDPSocketServer::AddLocked(const SharedObjectPtr<TwUDPSession>& session) {
    if (m_table.Add(&session->m_key, sizeof(_UDPAddr), session.get()) != 1) return;
    m_sessions.push_back(new SharedObjectPtr<TwUDPSession>(session));
}

bool TwUDPSocketServer::RemoveLocked(const _UDPAddr& key) {
    _UDPAddr copy = key;
    auto* session = static_cast<TwUDPSession*>(m_table.Get(&copy, sizeof(copy)));
    if (session == nullptr) return false;
    m_table.Del(&copy, sizeof(copy));
    for (auto it = m_sessions.begin(); it != m_sessions.end(); ++it) {
        if ((*it)->get() == session) {
            delete *it;
            m_sessions.erase(it);
            break;
        }
    }
    return true;
}

unsigned long TwUDPSocketServer::DataProc(_RecvCtxt* context) {
    auto* server = static_cast<TwUDPSocketServer*>(context->owner->GetAppCtxt());
    if (server != nullptr) server->HandleDatagram(context);
    return 1;
}

void TwUDPSocketServer::HandleDatagram(_RecvCtxt* context) {
    _UDPAddr key = KeyOf(context->from.sin_addr.s_addr, context->from.sin_port);
    SharedObjectPtr<TwUDPSession> session;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        session = Find(key);
    }
    _TwUdpRecord record{context->buffer, context->bytes, key.address, key.port};
    if (session) {
        if (session->m_connected.load() == 1) {
            Notify(TW_MSG_RECEIVE, SharedObjectPtr<SharedObject>(session.get()), session->GetContext(),
                   reinterpret_cast<std::uintptr_t>(&record));
        } else {
            if (StartsWith(context->buffer, context->bytes, TW_UDP_REPLY_LITERAL))
                session->m_connected.store(1);
            session->SignalReply();
        }
        return;
    }
    if (!StartsWith(context->buffer, context->bytes, TW_UDP_CONNECT_LITERAL)) return;
    SharedObjectPtr<TwUDPSession> fresh(new (std::nothrow)
                                            TwUDPSession(key.address, key.port, nullptr, true));
    if (!fresh) return;
    if (!context->owner->SendTo(TW_UDP_REPLY_LITERAL, static_cast<int>(std::strlen(TW_UDP_REPLY_LITERAL)) + 1,
                                reinterpret_cast<const sockaddr*>(&context->from)))
        return;
    if (Notify(TW_MSG_CONNECT, SharedObjectPtr<SharedObject>(fresh.get()), nullptr,
               reinterpret_cast<std::uintptr_t>(&record)) != 0) {
        std::lock_guard<std::mutex> guard(m_lock);
        AddLocked(fresh);
    }
}

SharedObjectPtr<SharedObject> TwUDPSocketServer::Connect(unsigned long address, unsigned short port,
                                                         SharedObjectPtr<SharedObject> context,
                                                         unsigned short waitSeconds) {
    return ConnectMs(address, port, context, static_cast<int>(waitSeconds) * 1000);
}

SharedObjectPtr<SharedObject> TwUDPSocketServer::ConnectMs(unsigned long address, unsigned short port,
                                                           SharedObjectPtr<SharedObject> context,
                                                           int waitMs) {
    SharedObjectPtr<TwUdpSocket> socket = m_socket;
    if (!m_started.load() || !socket) return nullptr;
    _UDPAddr key = KeyOf(static_cast<std::uint32_t>(address), htons(port));
    SharedObjectPtr<TwUDPSession> session;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        session = Find(key);
        if (session) return SharedObjectPtr<SharedObject>(session.get());
        session = new (std::nothrow) TwUDPSession(key.address, key.port, context, false);
        if (!session) {
            platform::DebugOutput("Create event failed!\n");
            return nullptr;
        }
        AddLocked(session);
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = key.address;
    to.sin_port = key.port;
    bool replied = false;
    if (socket->SendTo(TW_UDP_CONNECT_LITERAL, static_cast<int>(std::strlen(TW_UDP_CONNECT_LITERAL)) + 1,
                       reinterpret_cast<const sockaddr*>(&to)))
        replied = session->WaitReply(waitMs);
    if (replied && session->m_connected.load() == 1) {
        _TwUdpRecord record{nullptr, 0, key.address, key.port};
        SharedObjectPtr<SharedObject> handle(session.get());
        if (Notify(TW_MSG_CONNECT, handle, session->GetContext(),
                   reinterpret_cast<std::uintptr_t>(&record)) != 0)
            return handle;
    }
    std::lock_guard<std::mutex> guard(m_lock);
    RemoveLocked(key);
    return nullptr;
}

int TwUDPSocketServer::SendMessage(const SharedObjectPtr<SharedObject>& session, const char* data,
                                   int length) {
    SharedObjectPtr<TwUdpSocket> socket = m_socket;
    auto* udp = dynamic_cast<TwUDPSession*>(session.get());
    if (!m_started.load() || !socket || udp == nullptr) return 0;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = udp->m_key.address;
    to.sin_port = udp->m_key.port;
    socket->SendTo(data, length, reinterpret_cast<const sockaddr*>(&to));
    return 1;
}

int TwUDPSocketServer::IsSessionConnected(const SharedObjectPtr<SharedObject>& session) {
    auto* udp = dynamic_cast<TwUDPSession*>(session.get());
    return udp != nullptr && udp->m_connected.load() == 1 ? 1 : 0;
}

void TwUDPSocketServer::UdpDisconnect(const SharedObjectPtr<SharedObject>& session) {
    auto* udp = dynamic_cast<TwUDPSession*>(session.get());
    if (udp == nullptr) return;
    bool found;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        found = RemoveLocked(udp->m_key);
    }
    if (!found) return;
    Notify(TW_MSG_DISCONNECT, session, udp->GetContext(), 0);
    udp->SetContext(nullptr);
}

void TwUDPSocketServer::SetSessionCtxt(const SharedObjectPtr<SharedObject>& session,
                                       SharedObjectPtr<SharedObject> context) {
    if (auto* udp = dynamic_cast<TwUDPSession*>(session.get())) udp->SetContext(context);
}

void TwUDPSocketServer::GetUDPAddr(const SharedObjectPtr<SharedObject>& session, _UDPAddr* address) {
    auto* udp = dynamic_cast<TwUDPSession*>(session.get());
    if (udp != nullptr && address != nullptr) *address = udp->m_key;
}

std::size_t TwUDPSocketServer::SessionCount() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_sessions.size();
}
