#include "prendle/socket_manager.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "accept_socket.h"
#include "engine.h"
#include "platform/text_util.h"

using prendle::AsConnection;
using prendle::TwAcceptSocket;

TwSocketManager::TwSocketManager() : SharedObject("TwSocketManager") {}

TwSocketManager::~TwSocketManager() {
    if (!m_initialized) return;
    CleanUp();
    prendle::Engine::Release();
}

unsigned long TwSocketManager::Initialize(TwProcessCallBack callback, void* context, unsigned long address,
                                          unsigned short port) {
    if (m_initialized) return TW_SUCCEED;
    unsigned long result = prendle::Engine::Acquire(&m_engine);
    if (result != TW_SUCCEED) return result;
    if (m_managerLock.Initialize() != 1 || m_sessionLock.Initialize() != 1) {
        prendle::Engine::Release();
        return TW_ERR_NO_MEMORY;
    }
    m_callback.store(callback);
    m_context.store(context);
    m_address = address;
    m_port = port;
    m_initialized = true;
    return TW_SUCCEED;
}

void TwSocketManager::SetProcessCallBack(TwProcessCallBack callback, void* context) {
    if (!m_initialized) return;
    m_callback.store(callback);
    m_context.store(context);
}

int TwSocketManager::SendMsg(const SharedObjectPtr<SharedObject>& session, const char* data, int length,
                             bool disconnectAfter) {
    return SendMsgEx(session, data, length, disconnectAfter);
}

int TwSocketManager::SendMsgEx(const SharedObjectPtr<SharedObject>& session, const char* data, int length,
                               bool disconnectAfter) {
    TwAcceptSocket* connection = AsConnection(session);
    if (connection == nullptr || (length > 0 && data == nullptr)) return 0;
    return connection->EnqueueAndSend(data, length, disconnectAfter);
}

int TwSocketManager::Disconnect(const SharedObjectPtr<SharedObject>& session, bool graceful) {
    TwAcceptSocket* connection = AsConnection(session);
    if (connection == nullptr) return 0;
    return connection->Shutdown(graceful);
}

SharedObjectPtr<SharedObject> TwSocketManager::AttachSocket(int socket, unsigned long address, short port,
                                                            SharedObjectPtr<SharedObject> context) {
    // The caller's thread stands in for the first I/O worker: it would only wait for it anyway.
    return AttachSocketImpl(socket, address, port, context);
}

SharedObjectPtr<SharedObject> TwSocketManager::AttachSocketImpl(int socket, unsigned long address, short port,
                                                                SharedObjectPtr<SharedObject> context) {
    if (socket < 0 || !m_initialized) return nullptr;
    if (address == 0 || port == 0) {
        sockaddr_in peer{};
        socklen_t length = sizeof(peer);
        if (getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &length) == 0) {
            address = peer.sin_addr.s_addr;
            port = static_cast<short>(ntohs(peer.sin_port));
        }
    }
    auto* connection = new TwAcceptSocket(m_engine);
    SharedObjectPtr<SharedObject> session(connection);
    connection->Adopt(socket);
    connection->SetAddressGiven(address, static_cast<unsigned short>(port));
    connection->SetSessionCtx(context);
    if (connection->SetUp() != 1) {
        SetError(TW_ERR_SETUP, 0);
        return nullptr;
    }
    connection->SetProcessCallBack(m_callback.load(), m_context.load(), this);
    if (!AnnounceSession(connection)) return nullptr;
    return session;
}

bool TwSocketManager::AnnounceSession(TwAcceptSocket* connection) {
    SharedObjectPtr<SharedObject> session(connection);
    if (!connection->BindToPort()) {
        SetError(TW_ERR_BIND_PORT, 0);
        connection->Close();
        return false;
    }
    unsigned long result = 0;
    _TwMessage message;
    message.code = TW_MSG_CONNECT;
    message.userContext = m_context.load();
    message.session = session;
    message.sessionCtx = connection->GetSessionCtx();
    message.param = 1;
    TwProcessCallBack callback = m_callback.load();
    if (callback != nullptr) result = callback(this, &message);
    if (result != TW_SUCCEED || message.param != 1) {
        SetError(TW_ERR_REFUSED, 0);
        connection->Shutdown(false);
        DiscCallback(session);
        return true;
    }
    Synchronizer lock(&m_sessionLock);
    if (Receive(session) == 1) {
        auto* holder = new SharedObjectPtr<SharedObject>(session);
        m_sessions.push_back(holder);
    }
    return true;
}

int TwSocketManager::Receive(const SharedObjectPtr<SharedObject>& session) {
    TwAcceptSocket* connection = AsConnection(session);
    if (connection == nullptr) return 0;
    return connection->StartReceiving();
}

unsigned long TwSocketManager::DiscCallback(const SharedObjectPtr<SharedObject>& session) {
    TwAcceptSocket* connection = AsConnection(session);
    if (connection == nullptr) return 0;
    unsigned long result = 0;
    TwProcessCallBack callback = m_callback.load();
    if (callback != nullptr) {
        _TwMessage message;
        message.code = TW_MSG_DISCONNECT;
        message.userContext = m_context.load();
        message.session = session;
        message.sessionCtx = connection->GetSessionCtx();
        result = callback(this, &message);
    }
    connection->SetSessionCtx(nullptr);
    connection->Close();
    return result;
}

int TwSocketManager::RemoveSession(SharedObject* session) {
    SharedObjectPtr<SharedObject>* found = nullptr;
    {
        Synchronizer lock(&m_sessionLock);
        for (auto it = m_sessions.begin(); it != m_sessions.end(); ++it) {
            if ((*it)->get() == session) {
                found = *it;
                m_sessions.erase(it);
                break;
            }
        }
    }
    // The holder may carry the last reference: let it go outside the lock.
    delete found;
    return found != nullptr ? 1 : 0;
}

void TwSocketManager::AbortAllSessions() {
    Synchronizer lock(&m_sessionLock);
    for (auto* holder : m_sessions) {
        if (TwAcceptSocket* connection = AsConnection(*holder)) connection->Shutdown(false);
    }
}

void TwSocketManager::CleanUp() {
    if (!m_initialized) return;
    AbortAllSessions();
    for (;;) {
        {
            Synchronizer lock(&m_sessionLock);
            if (m_sessions.empty()) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::size_t TwSocketManager::SessionCount() {
    Synchronizer lock(&m_sessionLock);
    return m_sessions.size();
}

void TwSocketManager::SetSessionCtx(const SharedObjectPtr<SharedObject>& session,
                                    SharedObjectPtr<SharedObject> context) {
    if (TwAcceptSocket* connection = AsConnection(session)) connection->SetSessionCtx(context);
}

SharedObjectPtr<SharedObject> TwSocketManager::GetSessionCtx(const SharedObjectPtr<SharedObject>& session) {
    TwAcceptSocket* connection = AsConnection(session);
    return connection != nullptr ? connection->GetSessionCtx() : SharedObjectPtr<SharedObject>();
}

namespace {

void FillText(const sockaddr_in& address, char* text, unsigned long size, short* port) {
    if (text != nullptr && size > 0) {
        const std::string dotted =
            address.sin_family == AF_INET ? platform::Ipv4Text(address.sin_addr.s_addr) : "0";
        std::strncpy(text, dotted.c_str(), size - 1);
        text[size - 1] = '\0';
    }
    if (port != nullptr) *port = static_cast<short>(ntohs(address.sin_port));
}

}  // namespace

void TwSocketManager::GetPeerAddr(const SharedObjectPtr<SharedObject>& session, sockaddr_in& address) {
    address = sockaddr_in{};
    TwAcceptSocket* connection = AsConnection(session);
    if (connection == nullptr) return;
    unsigned long given = 0;
    unsigned short givenPort = 0;
    if (connection->AddressGiven(&given, &givenPort)) {
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = static_cast<in_addr_t>(given);
        address.sin_port = htons(givenPort);
        return;
    }
    socklen_t length = sizeof(address);
    if (getpeername(connection->GetSOCKET(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        address = sockaddr_in{};
}

void TwSocketManager::GetLocalAddr(const SharedObjectPtr<SharedObject>& session, sockaddr_in& address) {
    address = sockaddr_in{};
    TwAcceptSocket* connection = AsConnection(session);
    if (connection == nullptr) return;
    socklen_t length = sizeof(address);
    if (getsockname(connection->GetSOCKET(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        address = sockaddr_in{};
}

void TwSocketManager::GetPeerAddr(const SharedObjectPtr<SharedObject>& session, char* text,
                                  unsigned long size, short* port) {
    sockaddr_in address;
    GetPeerAddr(session, address);
    FillText(address, text, size, port);
}

void TwSocketManager::GetLocalAddr(const SharedObjectPtr<SharedObject>& session, char* text,
                                   unsigned long size, short* port) {
    sockaddr_in address;
    GetLocalAddr(session, address);
    FillText(address, text, size, port);
}

void TwSocketManager::TurnoffSockAliveCheck(const SharedObjectPtr<SharedObject>& session) {
    if (TwAcceptSocket* connection = AsConnection(session)) connection->SetAliveCheck(false, 0);
}

void TwSocketManager::GetError(int* engineCode, int* systemCode) {
    if (engineCode != nullptr) *engineCode = m_errorEngine.load();
    if (systemCode != nullptr) *systemCode = m_errorSystem.load();
}

void TwSocketManager::SetError(int engineCode, int systemCode) {
    m_errorEngine.store(engineCode);
    m_errorSystem.store(systemCode);
}

long TwSocketManager::GetSockCount() { return prendle::Engine::s_liveConnections.load(); }
