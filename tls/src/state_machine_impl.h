// The state machine's implementation object: the TLS engine bound to the socket engine.
#pragma once
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "prendle/socket_client.h"
#include "prendle/socket_server.h"
#include "prendle/udp_socket_server.h"
#include "callback_gate.h"
#include "ssl_engine.h"
#include "ssl_session.h"
#include "tamberk/ssl_state_machine.h"

// The TLS session as callers see it: a shared object around the engine-independent session.
class TwSslSessionHandle : public SharedObject {
public:
    TwSslSessionHandle() : SharedObject("TwSslSession") {}
    ~TwSslSessionHandle() override;

    std::shared_ptr<tamberk::TwSslSession> core;
    SharedObjectPtr<SharedObject> socketSession;
    SharedObjectPtr<SharedObject> Context();
    void SetContext(SharedObjectPtr<SharedObject> context);
    SharedObjectPtr<SharedObject> UdpSession();
    void SetUdpSession(SharedObjectPtr<SharedObject> udp);

private:
    std::mutex m_lock;
    SharedObjectPtr<SharedObject> m_context;
    SharedObjectPtr<SharedObject> m_udp;
};

// What a client connection carries into TW_MSG_CONNECT.
class TwSslConnectContext : public SharedObject {
public:
    TwSslConnectContext() : SharedObject("SSLSessionCtxt") {}
    std::string host;
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    SharedObjectPtr<SharedObject> callerContext;
};

// Owned by shared pointers only (Create): the socket engine's callbacks find it through a weak
// reference in a registry, which cannot be locked again once the last owner let go.
class TwSslStateMachineImpl final : public TwSslAPI {
public:
    // The close wait of Disconnect comes from `timing` and runs on `clock` (which must outlive it).
    static std::shared_ptr<TwSslStateMachineImpl> Create(const TwSslTiming& timing,
                                                         const platform::Clock& clock);
    virtual ~TwSslStateMachineImpl();
    TwSslStateMachineImpl(const TwSslStateMachineImpl&) = delete;
    TwSslStateMachineImpl& operator=(const TwSslStateMachineImpl&) = delete;

    std::shared_ptr<tamberk::TwSslEngine> engine = std::make_shared<tamberk::TwSslEngine>();

    void* RegisterHandler(TwSslContentHandlerProc proc, void* context, unsigned char type, int cacheSize);
    void RegisterUdpProc(TwSslUDPPacketProc proc, void* context);
    int BindClient(TwSocketClient* client, const char* caPath, const char* caFile);
    int BindServer(TwSocketServer* server, const char* cert, const char* key, const char* password,
                   const char* caPath, const char* caFile);
    int BindUdp(TwUDPSocketServer* server, unsigned short port);
    int StartServer(unsigned long address, unsigned short port);
    SharedObjectPtr<SharedObject> Connect(const char* host, unsigned short port,
                                          SharedObjectPtr<SharedObject> context, int* error,
                                          int* systemError);
    int UseProxy(unsigned long address, unsigned short port, const char* user, const char* password);
    SharedObjectPtr<SharedObject> Attach(int socket, unsigned long address, short port,
                                         SharedObjectPtr<SharedObject> context);
    void SetCancelEvent(platform::Event* event) { m_cancel = event; }
    int TerminateAll();

    // Socket engine callbacks (context = this).
    static unsigned long SocketCallback(TwSocketManager* manager, _TwMessage* message);
    static unsigned long UdpCallback(TwUDPSocketServer* server, _TwMessage* message);

    // TwSslAPI
    int SetSessionData(SharedObjectPtr<SharedObject> session, DWORD value) override;
    int SendMsg(SharedObjectPtr<SharedObject> session, const char* data, int length, bool flush) override;
    int SendUdpMsg(SharedObjectPtr<SharedObject> session, const char* data, int length) override;
    int UdpConnect(SharedObjectPtr<SharedObject> session, unsigned long address, unsigned short port,
                   unsigned short wait) override;
    BOOL IsUdpSessionConnected(SharedObjectPtr<SharedObject> session) override;
    void UdpDisconnect(SharedObjectPtr<SharedObject> session) override;
    int Disconnect(SharedObjectPtr<SharedObject> session) override;
    void SetSessionContext(SharedObjectPtr<SharedObject> session,
                           SharedObjectPtr<SharedObject> context) override;
    void GetPeerAddr(SharedObjectPtr<SharedObject> session, char* text, unsigned long size,
                     short* port) override;
    void GetLocalAddr(SharedObjectPtr<SharedObject> session, char* text, unsigned long size,
                      short* port) override;
    void GetPeerCertSubject(SharedObjectPtr<SharedObject> session, char* text, unsigned long size) override;
    void GetPeerCertIssuer(SharedObjectPtr<SharedObject> session, char* text, unsigned long size) override;
    void GetPeerCertSerial(SharedObjectPtr<SharedObject> session, char* text, unsigned long size) override;
    int RequestClientCertificate(SharedObjectPtr<SharedObject> session, const char* expectedName,
                                 int flag) override;
    int GetRehandshakeStatus(SharedObjectPtr<SharedObject> session) override;
    int LoadCertificateFiles(const char* certFile, const char* keyFile, const char* password,
                             SharedObjectPtr<SharedObject> provider, int certType, int keyType) override;
    int SetCipherList(const char* cipherList) override;
    void DisconnectSock(SharedObjectPtr<SharedObject> session) override;
    int GetSslError(SharedObjectPtr<SharedObject> session) override;
    const char* GetSslErrorString(SharedObjectPtr<SharedObject> session) override;
    void TurnoffSockAliveCheck(SharedObjectPtr<SharedObject> session) override;
    BOOL GetMasterKey(SharedObjectPtr<SharedObject> session, const unsigned char** key,
                      unsigned long* length) override;
    BOOL GetSslAlert(SharedObjectPtr<SharedObject> session, int* level, int* description) override;
    int ReleaseContextObject() override;
    int OpenKeyId(SharedObjectPtr<SharedObject> session, int keyId) override;
    int GetPeerCertFingerprint(SharedObjectPtr<SharedObject> session, char* text,
                               unsigned long size) override;

private:
    TwSslStateMachineImpl(const TwSslTiming& timing, const platform::Clock& clock);
    unsigned long OnSocketMessage(TwSocketManager* manager, _TwMessage* message);
    unsigned long OnUdpMessage(_TwMessage* message);
    bool StartSslSession(TwSocketManager* manager, _TwMessage* message);
    void StopSslSession(const SharedObjectPtr<SharedObject>& socketSession, TwSslSessionHandle* handle);
    SharedObjectPtr<SharedObject> Lookup(SharedObject* socketSession);
    void Unlink(TwSslSessionHandle* handle);
    TwSocketManager* Manager();
    tamberk::TwSslContentSink MakeSink(TwSslContentHandlerProc proc, void* context);
    void Register();
    void Unregister();

    // Closed by TerminateAll and the destructor: the caller's handlers and their contexts may go
    // once either returns. Shared with the sinks, which sessions outliving this object still hold.
    std::shared_ptr<tamberk::CallbackGate> m_gate = std::make_shared<tamberk::CallbackGate>();
    // Socket workers read these in their callbacks while TerminateAll clears them.
    std::atomic<TwSocketClient*> m_client{nullptr};
    std::atomic<TwSocketServer*> m_server{nullptr};
    TwUDPSocketServer* m_udp = nullptr;
    TwSslTiming m_timing;
    const platform::Clock& m_clock;
    platform::Event* m_cancel = nullptr;
    std::uint32_t m_listenAddress = 0;
    std::uint16_t m_listenPort = 0;
    std::mutex m_hSslSessionLock;
    std::map<SharedObject*, SharedObjectPtr<SharedObject>> m_sessions;  // socket session -> TLS session
    std::mutex m_udpLock;
    TwSslUDPPacketProc m_udpProc = nullptr;
    void* m_udpContext = nullptr;
    std::weak_ptr<TwSslStateMachineImpl> m_self;
};

TwSslSessionHandle* AsSslSession(const SharedObjectPtr<SharedObject>& session);
