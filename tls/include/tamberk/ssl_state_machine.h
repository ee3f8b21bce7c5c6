// Tamberk's entry point: TLS over the socket engine. A TwSslStateMachine is configured
// (Initialize, SetCertVerifyPolicy, content handlers), bound to a socket client or server of the
// engine, and then turns engine sessions into TLS sessions: up to four TLS connections per TCP
// stream, told apart by the key id in each record. Decrypted data and session events reach the
// registered content handlers; sending and queries go through the TwSslAPI of GetSslAPI.
//
// Sessions are handed out as SharedObjectPtr<SharedObject> handles (the TLS session object).
// Threads: content handlers and UDP packet handlers run on the socket engine's worker threads,
// inside the state machine's receive lock; they may call TwSslAPI (also SendMsg) from there.
// Configuration calls come from one controlling thread before connections start. No call throws.
#pragma once
#include <cstdint>
#include <memory>

#include "platform/clock.h"
#include "platform/event.h"
#include "platform/types.h"
#include "tamberk/export.h"
#include "tamberk/ssl_types.h"
#include "util/shared_object.h"

class TwSslAPI;
class TwSocketClient;
class TwSocketServer;
class TwUDPSocketServer;
class TwSslStateMachineImpl;

// The delays of the state machine; the defaults are the suite's.
struct TwSslTiming {
    unsigned closeWaitMs = 2000;  // Disconnect: how long the peer's close notify is awaited
};

// The data record of TW_MSG_SSL_RECEIVE. `data` is followed by a zero byte not counted in `size`;
// the handler writes the number of bytes it consumed into `result`.
#pragma pack(push, 1)
struct TwSslDataRecord {
    std::uint8_t contentType;
    char* data;
    std::uint32_t size;
    std::uint32_t result;
};
#pragma pack(pop)
static_assert(sizeof(TwSslDataRecord) == 1 + sizeof(char*) + 8, "packed data record");

struct TwSslMessage {
    TwSslMsgType code;
    SharedObjectPtr<SharedObject> session;     // null for TW_MSG_SSL_START / TW_MSG_SSL_STOP
    void* context;                             // the handler's registration context
    SharedObjectPtr<SharedObject> sessionCtx;  // the session's context object
    TwSslDataRecord* data;                     // TW_MSG_SSL_RECEIVE only
};

using TwSslContentHandlerProc = std::uint32_t (*)(TwSslAPI* api, TwSslMessage* message);
using TwSslUDPPacketProc = std::uint32_t (*)(TwSslAPI* api, TwSslMessage* message);

// Per-session operations. Each takes the session first (null: the documented failure value).
class TAMBERK_API TwSslAPI {
public:
    virtual int SetSessionData(SharedObjectPtr<SharedObject> session, DWORD value) = 0;
    // Whole or nothing: `length` when all of the message was taken, 0 when none of it was (before
    // the handshake completed, or the session failed: see GetSslError); -1 for a null session or
    // null data. A message is never cut short on the wire.
    virtual int SendMsg(SharedObjectPtr<SharedObject> session, const char* data, int length, bool flush) = 0;
    virtual int SendUdpMsg(SharedObjectPtr<SharedObject> session, const char* data, int length) = 0;
    virtual int UdpConnect(SharedObjectPtr<SharedObject> session, unsigned long address, unsigned short port,
                           unsigned short wait) = 0;
    virtual BOOL IsUdpSessionConnected(SharedObjectPtr<SharedObject> session) = 0;
    virtual void UdpDisconnect(SharedObjectPtr<SharedObject> session) = 0;
    // close_notify on every key id, up to 2 s for the peer's answer, then the socket is closed.
    virtual int Disconnect(SharedObjectPtr<SharedObject> session) = 0;
    virtual void SetSessionContext(SharedObjectPtr<SharedObject> session,
                                   SharedObjectPtr<SharedObject> context) = 0;
    virtual void GetPeerAddr(SharedObjectPtr<SharedObject> session, char* text, unsigned long size,
                             short* port) = 0;
    virtual void GetLocalAddr(SharedObjectPtr<SharedObject> session, char* text, unsigned long size,
                              short* port) = 0;
    virtual void GetPeerCertSubject(SharedObjectPtr<SharedObject> session, char* text,
                                    unsigned long size) = 0;
    virtual void GetPeerCertIssuer(SharedObjectPtr<SharedObject> session, char* text, unsigned long size) = 0;
    virtual void GetPeerCertSerial(SharedObjectPtr<SharedObject> session, char* text, unsigned long size) = 0;
    virtual int RequestClientCertificate(SharedObjectPtr<SharedObject> session, const char* expectedName,
                                         int flag) = 0;
    virtual int GetRehandshakeStatus(SharedObjectPtr<SharedObject> session) = 0;
    virtual int LoadCertificateFiles(const char* certFile, const char* keyFile, const char* password,
                                     SharedObjectPtr<SharedObject> provider, int certType, int keyType) = 0;
    virtual int SetCipherList(const char* cipherList) = 0;
    virtual void DisconnectSock(SharedObjectPtr<SharedObject> session) = 0;
    virtual int GetSslError(SharedObjectPtr<SharedObject> session) = 0;
    virtual const char* GetSslErrorString(SharedObjectPtr<SharedObject> session) = 0;
    virtual void TurnoffSockAliveCheck(SharedObjectPtr<SharedObject> session) = 0;
    // Points into the session (valid while the session lives).
    virtual BOOL GetMasterKey(SharedObjectPtr<SharedObject> session, const unsigned char** key,
                              unsigned long* length) = 0;
    virtual BOOL GetSslAlert(SharedObjectPtr<SharedObject> session, int* level, int* description) = 0;
    virtual int ReleaseContextObject() = 0;
    // Gateway side: opens TLS connection `keyId` (1-3) on the session's stream. 1/0.
    virtual int OpenKeyId(SharedObjectPtr<SharedObject> session, int keyId) = 0;
    // The SHA-256 fingerprint of the peer's certificate, "AB:CD:.." (95 characters); 1, or 0 when
    // there is no session, no certificate or too small a buffer (the text is then empty).
    virtual int GetPeerCertFingerprint(SharedObjectPtr<SharedObject> session, char* text,
                                       unsigned long size) = 0;

protected:
    TwSslAPI() = default;
    TwSslAPI(const TwSslAPI&) = default;
    TwSslAPI& operator=(const TwSslAPI&) = default;
    ~TwSslAPI() = default;
};

class TAMBERK_API TwSslStateMachine {
public:
    TwSslStateMachine();
    // The delays run on `clock`, which must outlive every copy of the state machine.
    explicit TwSslStateMachine(const TwSslTiming& timing,
                               const platform::Clock& clock = platform::SystemClock());
    ~TwSslStateMachine();
    TwSslStateMachine(const TwSslStateMachine& other);
    TwSslStateMachine& operator=(const TwSslStateMachine& other);

    int Initialize(TwSslProtocol protocol, const char* cipherList);
    int SetCertVerifyPolicy(const TwCertificateVerificationPolicy* policy);
    // Handle, or null (types 20-22, or a type that has a handler). Cache size 0: pass-through.
    void* RegisterSslContentHandler(TwSslContentHandlerProc proc, void* context, unsigned char contentType,
                                    int cacheSize);
    void RegisterSslUDPPacketProc(TwSslUDPPacketProc proc, void* context);
    int RemoveSslContentHandler(void* handle);
    // 0 when already bound, on a null socket object, without CA path and file, for SSL 2.0/3.0,
    // or when OpenSSL refuses the settings.
    int BindToSocketClient(TwSocketClient* client, const char* caPath, const char* caFile);
    int BindToSocketServer(TwSocketServer* server, const char* certFile, const char* keyFile,
                           const char* keyPassword, const char* caPath, const char* caFile);
    // Client certificate from the certificate store: 1 installed, 4 not valid today, 0 otherwise.
    int ChooseCertificate(const char* subject, const char* serial, unsigned char pick);
    int BindToUDPServer(TwUDPSocketServer* server, unsigned short port);
    int StartSslServer(unsigned long address, unsigned short port);
    // Host name or dotted address; the TLS session whose handshake started, or null with the
    // error pair (-20 for a failed name look-up, else the socket engine's).
    SharedObjectPtr<SharedObject> ConnectToSslServer(const char* host, unsigned short port,
                                                     SharedObjectPtr<SharedObject> context, int* error,
                                                     int* systemError);
    int UseHttpProxy(unsigned long address, unsigned short port, const char* user, const char* password);
    // Adopts a connected socket; the TLS session whose handshake started, or null.
    SharedObjectPtr<SharedObject> AttachSocket(int socket, unsigned long address, short port,
                                               SharedObjectPtr<SharedObject> context);
    void SetCancelEvent(platform::Event* event);
    TwSslAPI* GetSslAPI();
    int Terminate();

private:
    // Copies share one implementation. Engine callbacks reach it only through a weak reference,
    // so none can bring it back once the last facade and the last running callback let go.
    std::shared_ptr<TwSslStateMachineImpl> m_impl;
};
