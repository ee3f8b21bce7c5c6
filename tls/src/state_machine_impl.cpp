// Binding the TLS engine to the socket engine: connect, receive and disconnect messages become
// TLS sessions, processed records and stopped sessions.
#include "state_machine_impl.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cstring>
#include <map>
#include <shared_mutex>

#include "tamberk/session_info.h"
#include "tls_log.h"
#include "platform/text_util.h"

using namespace tamberk;

namespace {

// Bound implementation objects by the context their socket engine passes back. A callback that
// arrives after Terminate, or while the last owner is destroying the object, finds no entry or
// an expired one and answers without touching it: a weak reference never revives an object.
std::shared_mutex g_liveLock;
std::map<const void*, std::weak_ptr<TwSslStateMachineImpl>> g_live;

std::shared_ptr<TwSslStateMachineImpl> Live(const void* context) {
    std::shared_lock<std::shared_mutex> lock(g_liveLock);
    auto it = g_live.find(context);
    return it == g_live.end() ? nullptr : it->second.lock();
}

unsigned long Detached(_TwMessage* message) {
    if (message->code == TW_MSG_CONNECT) message->param = 0;
    if (message->code == TW_MSG_RECEIVE) {
        auto* record = reinterpret_cast<_TwRecvRecord*>(message->param);
        if (record) record->consumed = record->length;
    }
    return TW_SUCCEED;
}

// The engine's socket session as the TLS session's transport.
class SocketTransport : public TwSslTransport {
public:
    SocketTransport(TwSocketManager* manager, SharedObjectPtr<SharedObject> session)
        : m_manager(manager), m_session(std::move(session)) {}
    bool Send(const std::uint8_t* data, std::size_t length) override {
        return m_manager->SendMsg(m_session, reinterpret_cast<const char*>(data), static_cast<int>(length),
                                  false) == 1;
    }
    bool Close() override { return m_manager->Disconnect(m_session, false) == 1; }

private:
    TwSocketManager* m_manager;
    SharedObjectPtr<SharedObject> m_session;
};

}  // namespace

TwSslSessionHandle* AsSslSession(const SharedObjectPtr<SharedObject>& session) {
    return dynamic_cast<TwSslSessionHandle*>(session.get());
}

std::string tamberk::NegotiatedSuite(const SharedObjectPtr<SharedObject>& session) {
    TwSslSessionHandle* handle = session ? AsSslSession(session) : nullptr;
    if (handle == nullptr || !handle->core) return "";
    const std::string version = handle->core->ProtocolVersion();
    return version.empty() ? "" : version + " " + handle->core->CipherName();
}

TwSslSessionHandle::~TwSslSessionHandle() {
    if (core) core->owner = nullptr;
}

SharedObjectPtr<SharedObject> TwSslSessionHandle::Context() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_context;
}

void TwSslSessionHandle::SetContext(SharedObjectPtr<SharedObject> context) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_context = context;
}

SharedObjectPtr<SharedObject> TwSslSessionHandle::UdpSession() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_udp;
}

void TwSslSessionHandle::SetUdpSession(SharedObjectPtr<SharedObject> udp) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_udp = udp;
}

std::shared_ptr<TwSslStateMachineImpl> TwSslStateMachineImpl::Create(const TwSslTiming& timing,
                                                                     const platform::Clock& clock) {
    std::shared_ptr<TwSslStateMachineImpl> impl(new TwSslStateMachineImpl(timing, clock));
    impl->m_self = impl;
    return impl;
}

TwSslStateMachineImpl::TwSslStateMachineImpl(const TwSslTiming& timing, const platform::Clock& clock)
    : m_timing(timing), m_clock(clock) {}

TwSslStateMachineImpl::~TwSslStateMachineImpl() {
    Unregister();
    m_gate->CloseAndDrain();  // sessions that outlive us must not call into our handlers
    engine->Handlers().Clear();
}

void TwSslStateMachineImpl::Register() {
    std::unique_lock<std::shared_mutex> lock(g_liveLock);
    g_live[this] = m_self;
}

void TwSslStateMachineImpl::Unregister() {
    std::unique_lock<std::shared_mutex> lock(g_liveLock);
    g_live.erase(this);
}

TwSocketManager* TwSslStateMachineImpl::Manager() {
    if (TwSocketClient* client = m_client.load()) return client;
    return m_server.load();
}

TwSslContentSink TwSslStateMachineImpl::MakeSink(TwSslContentHandlerProc proc, void* context) {
    TwSslContentSink sink;
    sink.data = [this, gate = m_gate, proc, context](TwSslSession& core, std::uint8_t type, char* data,
                                                     std::uint32_t size) {
        tamberk::CallbackGate::Pass pass(*gate);
        if (!pass) return size;  // terminated: nobody is left to take it
        auto* handle = static_cast<TwSslSessionHandle*>(core.owner);
        TwSslDataRecord record{type, data, size, 0};
        TwSslMessage message{TW_MSG_SSL_RECEIVE, handle, context, handle ? handle->Context() : nullptr,
                             &record};
        proc(this, &message);
        return record.result;
    };
    sink.event = [this, gate = m_gate, proc, context](TwSslMsgType code, TwSslSession* core) {
        auto* handle = core ? static_cast<TwSslSessionHandle*>(core->owner) : nullptr;
        if (tamberk::CallbackGate::Pass pass(*gate); pass) {
            TwSslMessage message{code, handle, context, handle ? handle->Context() : nullptr, nullptr};
            proc(this, &message);
        }
        if (code == TW_MSG_SSL_DISCONNECT && handle) handle->SetContext(nullptr);
    };
    return sink;
}

void* TwSslStateMachineImpl::RegisterHandler(TwSslContentHandlerProc proc, void* context, unsigned char type,
                                             int cacheSize) {
    if (!proc) return nullptr;
    return engine->Handlers().Register(type, cacheSize, MakeSink(proc, context));
}

void TwSslStateMachineImpl::RegisterUdpProc(TwSslUDPPacketProc proc, void* context) {
    std::lock_guard<std::mutex> lock(m_udpLock);
    m_udpProc = proc;
    m_udpContext = context;
}

int TwSslStateMachineImpl::BindClient(TwSocketClient* client, const char* caPath, const char* caFile) {
    if (engine->Context() || !client) return 0;
    if (!engine->BindClient(caPath, caFile)) return 0;
    m_client = client;
    Register();
    unsigned long result = client->Initialize(&SocketCallback, this, 0, 0);
    if (result != TW_SUCCEED) {
        TLS_LOG(kLogError,
                "[BindToSocketClient] SocketClient Initialize(SocketCallback, hCtxt=0x%p) return %lu",
                static_cast<void*>(this), result);
        Unregister();
        m_client = nullptr;
        return 0;
    }
    client->SetProcessCallBack(&SocketCallback, this);
    return 1;
}

int TwSslStateMachineImpl::BindServer(TwSocketServer* server, const char* cert, const char* key,
                                      const char* password, const char* caPath, const char* caFile) {
    if (engine->Context() || !server) return 0;
    if (!engine->BindServer(cert, key, password, caPath, caFile)) return 0;
    m_server = server;
    Register();
    if (server->Initialize(&SocketCallback, this, 0, 0) != TW_SUCCEED) {
        Unregister();
        m_server = nullptr;
        return 0;
    }
    server->SetProcessCallBack(&SocketCallback, this);
    return 1;
}

int TwSslStateMachineImpl::BindUdp(TwUDPSocketServer* server, unsigned short port) {
    if (!server) return 0;
    m_udp = server;
    server->SetProcessCallBack(&UdpCallback, this);
    return server->StartServer(0, port) == 1 ? 1 : 0;
}

int TwSslStateMachineImpl::StartServer(unsigned long address, unsigned short port) {
    if (!m_server || engine->Mode() != TW_SSL_MODE_SERVER || m_server.load()->IsServerStarted()) return 0;
    m_listenAddress = static_cast<std::uint32_t>(address);
    m_listenPort = port;
    unsigned short chosen = port;
    return m_server.load()->StartServer(address, &chosen) == 1 ? 1 : 0;
}

SharedObjectPtr<SharedObject> TwSslStateMachineImpl::Lookup(SharedObject* socketSession) {
    std::lock_guard<std::mutex> lock(m_hSslSessionLock);
    auto it = m_sessions.find(socketSession);
    return it == m_sessions.end() ? SharedObjectPtr<SharedObject>() : it->second;
}

SharedObjectPtr<SharedObject> TwSslStateMachineImpl::Connect(const char* host, unsigned short port,
                                                             SharedObjectPtr<SharedObject> context,
                                                             int* error, int* systemError) {
    TLS_LOG(kLogInfo, "[ConnectToSslServer] Ssl server is %s:%d", host ? host : "", port);
    if (!m_client || engine->Mode() != TW_SSL_MODE_CLIENT || !host) return nullptr;
    in_addr address{};
    if (inet_pton(AF_INET, host, &address) != 1) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        addrinfo* found = nullptr;
        int rc = getaddrinfo(host, nullptr, &hints, &found);
        if (rc != 0 || !found) {
            TLS_LOG(kLogError, "[ConnectToSslServer] gethostbyname(%s) fails, error=%d-%s", host, rc,
                    gai_strerror(rc));
            if (error) *error = -20;
            if (systemError) *systemError = rc;
            return nullptr;
        }
        address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
        freeaddrinfo(found);
    }
    SharedObjectPtr<TwSslConnectContext> ctx(new TwSslConnectContext);
    ctx->host = host;
    ctx->address = address.s_addr;
    ctx->port = port;
    ctx->callerContext = context;
    m_client.load()->SetCancelEvent(m_cancel);
    TLS_LOG(kLogInfo, "[ConnectToSslServer] m_pSocketClient->Connect ( Address=0x%p, Port=%d )",
            reinterpret_cast<void*>(static_cast<std::uintptr_t>(address.s_addr)), port);
    SharedObjectPtr<SharedObject> socketSession = m_client.load()->Connect(address.s_addr, port, ctx);
    if (!socketSession) {
        int e = 0, s = 0;
        m_client.load()->GetError(&e, &s);
        if (error) *error = e;
        if (systemError) *systemError = s;
        return nullptr;
    }
    return Lookup(socketSession.get());
}

int TwSslStateMachineImpl::UseProxy(unsigned long address, unsigned short port, const char* user,
                                    const char* password) {
    if (!m_client || engine->Mode() != TW_SSL_MODE_CLIENT) return 0;
    m_client.load()->UseHttpProxy(address, port, user, password);
    return 1;
}

SharedObjectPtr<SharedObject> TwSslStateMachineImpl::Attach(int socket, unsigned long address, short port,
                                                            SharedObjectPtr<SharedObject> context) {
    TwSocketManager* manager = Manager();
    if (!manager) return nullptr;
    SharedObjectPtr<SharedObject> sessionCtx;
    if (m_client) {
        SharedObjectPtr<TwSslConnectContext> ctx(new TwSslConnectContext);
        ctx->host = platform::Ipv4Text(static_cast<DWORD>(address));
        ctx->address = static_cast<std::uint32_t>(address);
        ctx->port = static_cast<std::uint16_t>(port);
        ctx->callerContext = context;
        sessionCtx = ctx;
    }
    SharedObjectPtr<SharedObject> socketSession = manager->AttachSocket(socket, address, port, sessionCtx);
    if (!socketSession) return nullptr;
    return Lookup(socketSession.get());
}

bool TwSslStateMachineImpl::StartSslSession(TwSocketManager* manager, _TwMessage* message) {
    std::string host;
    std::uint32_t address = m_listenAddress;
    std::uint16_t port = m_listenPort;
    SharedObjectPtr<SharedObject> callerContext;
    if (auto* ctx = dynamic_cast<TwSslConnectContext*>(message->sessionCtx.get())) {
        host = ctx->host;
        address = ctx->address;
        port = ctx->port;
        callerContext = ctx->callerContext;
    }
    SharedObjectPtr<TwSslSessionHandle> handle(new TwSslSessionHandle);
    handle->socketSession = message->session;
    handle->SetContext(callerContext);
    auto transport = std::make_shared<SocketTransport>(manager, message->session);
    // The handle is known before the handshake's first bytes leave, so that every event of the
    // session can name it.
    auto core = engine->StartSession(transport, host, address, port, handle.get());
    if (!core) return false;
    handle->core = core;
    {
        std::lock_guard<std::mutex> lock(m_hSslSessionLock);
        m_sessions[message->session.get()] = handle;
    }
    manager->SetSessionCtx(message->session, handle);
    return true;
}

void TwSslStateMachineImpl::Unlink(TwSslSessionHandle* handle) {
    // A UDP pseudo-session and its TLS session name each other; the link goes with either.
    SharedObjectPtr<SharedObject> udp = handle->UdpSession();
    if (!udp) return;
    handle->SetUdpSession(nullptr);
    if (m_udp) m_udp->SetSessionCtxt(udp, nullptr);
}

void TwSslStateMachineImpl::StopSslSession(const SharedObjectPtr<SharedObject>& socketSession,
                                           TwSslSessionHandle* handle) {
    SharedObjectPtr<SharedObject> keep(handle);  // events of the stop still name it
    engine->StopSession(handle->core);
    Unlink(handle);
    std::lock_guard<std::mutex> lock(m_hSslSessionLock);
    m_sessions.erase(socketSession.get());
}

unsigned long TwSslStateMachineImpl::SocketCallback(TwSocketManager* manager, _TwMessage* message) {
    if (!message) return TW_ERR_FAILED;
    try {
        std::shared_ptr<TwSslStateMachineImpl> impl = Live(message->userContext);
        if (!impl) return Detached(message);
        return impl->OnSocketMessage(manager, message);
    } catch (...) {
        return TW_ERR_FAILED;
    }
}

unsigned long TwSslStateMachineImpl::OnSocketMessage(TwSocketManager* manager, _TwMessage* message) {
    if (manager != Manager()) return TW_SUCCEED;
    TLS_TRACE("[ProcessSocketCallbackMessage] pMsg->eMsg = %u", message->code);
    switch (message->code) {
        case TW_MSG_SERVER_START:
        case TW_MSG_SERVER_STOP:
            if (engine->Mode() == TW_SSL_MODE_SERVER)
                engine->Handlers().Broadcast(
                    message->code == TW_MSG_SERVER_START ? TW_MSG_SSL_START : TW_MSG_SSL_STOP, nullptr);
            return TW_SUCCEED;
        case TW_MSG_CONNECT:
            TLS_LOG(kLogInfo,
                    "[ProcessSocketCallbackMessage] MSG_CONNECT new connection has been established");
            if (engine->Terminating()) {
                message->param = 0;
                return TW_SUCCEED;
            }
            if (!StartSslSession(manager, message)) {
                TLS_LOG(kLogError,
                        "[ProcessSocketCallbackMessage] MSG_CONNECT, fails to start SSL session, disconnect");
                message->param = 0;
            }
            return TW_SUCCEED;
        case TW_MSG_RECEIVE: {
            auto* record = reinterpret_cast<_TwRecvRecord*>(message->param);
            if (!record) return TW_ERR_FAILED;
            if (engine->Terminating()) {
                record->consumed = record->length;
                return TW_SUCCEED;
            }
            TwSslSessionHandle* handle = AsSslSession(message->sessionCtx);
            if (!handle || !handle->core) {
                TLS_LOG(kLogError,
                        "[ProcessSocketCallbackMessage] MSG_RECEIVE, no SSL session found, disconnect this "
                        "session");
                record->consumed = record->length;
                manager->Disconnect(message->session, false);
                return TW_SUCCEED;
            }
            record->consumed = static_cast<std::uint32_t>(engine->ProcessReceived(
                *handle->core, reinterpret_cast<std::uint8_t*>(record->data), record->length));
            return TW_SUCCEED;
        }
        case TW_MSG_DISCONNECT:
            TLS_LOG(kLogInfo, "[ProcessSocketCallbackMessage] TwSslStateMachineImpl: TW_MSG_DISCONNECT");
            if (TwSslSessionHandle* handle = AsSslSession(message->sessionCtx)) {
                TLS_LOG(kLogInfo, "[ProcessSocketCallbackMessage] MSG_DISCONNECT stop this SSL session");
                if (handle->core) StopSslSession(message->session, handle);
            }
            return TW_SUCCEED;
        default: return TW_SUCCEED;
    }
}

unsigned long TwSslStateMachineImpl::UdpCallback(TwUDPSocketServer* /*server*/, _TwMessage* message) {
    if (!message) return TW_ERR_FAILED;
    try {
        std::shared_ptr<TwSslStateMachineImpl> impl = Live(message->userContext);
        if (!impl) return TW_SUCCEED;
        return impl->OnUdpMessage(message);
    } catch (...) {
        return TW_ERR_FAILED;
    }
}

unsigned long TwSslStateMachineImpl::OnUdpMessage(_TwMessage* message) {
    auto* record = reinterpret_cast<_TwUdpRecord*>(message->param);
    switch (message->code) {
        case TW_MSG_CONNECT: {
            if (!record) return TW_SUCCEED;
            std::lock_guard<std::mutex> lock(m_hSslSessionLock);
            for (auto& [socketSession, tls] : m_sessions) {
                auto* handle = AsSslSession(tls);
                sockaddr_in peer{};
                Manager()->GetPeerAddr(handle->socketSession, peer);
                if (peer.sin_addr.s_addr == record->address) {
                    handle->SetUdpSession(message->session);
                    m_udp->SetSessionCtxt(message->session, tls);
                    break;
                }
            }
            return TW_SUCCEED;
        }
        case TW_MSG_RECEIVE: {
            TwSslSessionHandle* handle = AsSslSession(message->sessionCtx);
            tamberk::CallbackGate::Pass pass(*m_gate);
            std::lock_guard<std::mutex> lock(m_udpLock);
            if (!pass || !m_udpProc || !record) return TW_SUCCEED;
            TwSslDataRecord data{0, record->data, record->length, 0};
            TwSslMessage msg{TW_MSG_SSL_RECEIVE, handle, m_udpContext, handle ? handle->Context() : nullptr,
                             &data};
            m_udpProc(this, &msg);
            return TW_SUCCEED;
        }
        case TW_MSG_DISCONNECT:
            if (TwSslSessionHandle* handle = AsSslSession(message->sessionCtx))
                handle->SetUdpSession(nullptr);
            return TW_SUCCEED;
        default: return TW_SUCCEED;
    }
}

int TwSslStateMachineImpl::TerminateAll() {
    Unregister();
    engine->Terminate();
    if (m_server && m_server.load()->IsServerStarted()) m_server.load()->StopServer();
    if (TwSocketManager* manager = Manager()) manager->SetProcessCallBack(&SocketCallback, nullptr);
    std::map<SharedObject*, SharedObjectPtr<SharedObject>> sessions;
    {
        std::lock_guard<std::mutex> lock(m_hSslSessionLock);
        sessions.swap(m_sessions);
    }
    for (auto& [socketSession, tls] : sessions)
        if (auto* handle = AsSslSession(tls)) Unlink(handle);
    m_client = nullptr;
    m_gate->CloseAndDrain();
    return 1;
}
