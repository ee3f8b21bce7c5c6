// One TCP stream's TLS session: up to four TLS connections told apart by the key id in each
// record, each an OpenSSL object fed through a pair of memory BIOs. I/O-free: received bytes come
// in through ProcessReceived, output leaves through the session's transport, and decrypted data
// and events go to the engine's content handlers.
//
// Locks, always taken in this order and never the other way round: the session's R lock
// (received records, and the deliveries to the content handler, which run under it alone), the
// W lock (the OpenSSL objects; recursive so that a session event's handler may send), the
// connection lock (slots, active connection, completed count; a leaf lock: nothing is called
// while holding it).
#pragma once
#include <openssl/ssl.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "tamberk/ssl_types.h"

namespace tamberk {

class TwSslContentHandler;
class TwSslEngine;
class TwSslSession;
struct TwSslRecordView;

// Where a session's output goes and how it ends its stream (the socket engine in production,
// an in-memory pipe in tests). Send queues all bytes or fails; Close is abortive and idempotent.
class TwSslTransport {
public:
    virtual ~TwSslTransport() = default;
    virtual bool Send(const std::uint8_t* data, std::size_t length) = 0;
    virtual bool Close() = 0;
};

// Manual-reset event with a bounded wait.
class TwManualEvent {
public:
    void Set();
    void Reset();
    // The time-out is measured on `clock`.
    bool Wait(int milliseconds, const platform::Clock& clock = platform::SystemClock());
    bool IsSet();

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_set = false;
};

constexpr std::size_t kConnectionOutputSize = 66048;

// What became of a message offered to a session.
enum class TwSslSendResult {
    kSent,    // all of it is in records handed to the transport (or queued whole for the next flush)
    kRetry,   // none of it was taken: the connection is not ready yet; offer it again later
    kFailed,  // none of it reaches the wire; the session is closing (or the arguments were bad)
};

class TwSslConnection {
public:
    TwSslConnection(TwSslSession* session, int keyId);
    ~TwSslConnection();
    TwSslConnection(const TwSslConnection&) = delete;
    TwSslConnection& operator=(const TwSslConnection&) = delete;

    // Makes the OpenSSL object and its BIOs; false on failure.
    bool Init(SSL_CTX* ctx, int mode, SSL_SESSION* resumeFrom);
    static TwSslConnection* FromSsl(const SSL* ssl);

    TwSslSession* session;
    SSL* ssl = nullptr;
    BIO* rbio = nullptr;                // network bytes into OpenSSL
    BIO* wbio = nullptr;                // OpenSSL's output, written straight into `output`
    std::atomic<bool> complete{false};  // written under the W lock, read anywhere
    bool counted = false;               // included in the session's completed count
    bool shuttingDown = false;
    int keyId;
    std::size_t kept = 0;  // bytes of OpenSSL's output in `output` not yet sent
    std::vector<std::uint8_t> output;
};

struct TwSslAlertRecord {
    bool received = false;
    int level = 0;
    int description = 0;
};

class TwSslSession {
public:
    TwSslSession(std::shared_ptr<TwSslEngine> engine, std::shared_ptr<TwSslTransport> transport,
                 std::string host, std::uint32_t address, std::uint16_t port);
    ~TwSslSession();
    TwSslSession(const TwSslSession&) = delete;
    TwSslSession& operator=(const TwSslSession&) = delete;

    // Makes key id 0's connection and starts its handshake. False when OpenSSL could not.
    bool Start();
    // Cuts and processes whole records; returns the bytes consumed. A malformed stream ends the
    // session (error TW_SSL_ERR_BAD_RECORD, transport closed) and everything offered is consumed.
    std::size_t ProcessReceived(std::uint8_t* data, std::size_t length);
    // Whole or nothing: a message is never cut short on the wire. Without `flush` its records may
    // wait in the buffer for the next flush.
    TwSslSendResult SendMsg(const char* data, int length, bool flush);
    // Shuts down key ids 0-3 (close_notify), removing them when asked.
    void ShutdownAll(bool remove);
    bool CloseSocket();
    // Gateway side: opens a connection on a new key id by sending a hello request on it; the
    // client answers with a handshake of its own. False in client mode or when the slot is used.
    bool OpenKeyId(int keyId);
    // Server side: renegotiates key id 0 asking for a client certificate whose common name must
    // equal `expectedName`; `require` makes a missing certificate fatal. 1/0.
    int RequestClientCertificate(const char* expectedName, bool require);

    // Loads a certificate and key into the active connection (files of OpenSSL's types).
    bool UseCertificateFiles(const char* certFile, const char* keyFile, const char* password, int certType,
                             int keyType);

    // Accessors (for TwSslAPI).
    std::string PeerCertSubject();
    std::string PeerCertIssuer();
    std::string PeerCertSerial();
    std::string PeerCertFingerprint();
    bool MasterKey(const unsigned char** key, unsigned long* length);
    TwSslAlertRecord Alert();
    int Error() const { return m_error.load(); }
    const char* ErrorText() const { return m_errorText; }
    int RehandshakeStatus() const { return m_rehandshake.load(); }
    int CompletedCount();
    bool HasConnection(int keyId);
    bool IsKeyIdComplete(int keyId);
    int ActiveKeyId();
    std::string ProtocolVersion();  // of the active connection, e.g. "TLSv1.2"; "" without one
    std::string CipherName();       // of the active connection, e.g. "AES256-GCM-SHA384"; "" without one

    const std::string& Host() const { return m_host; }
    std::uint32_t Address() const { return m_address; }
    std::uint16_t Port() const { return m_port; }
    int Mode() const { return m_mode; }
    TwSslEngine& Engine() { return *m_engine; }

    std::atomic<std::uint32_t> userValue{0};  // SetSessionData
    void* owner = nullptr;                    // the facade's handle object for this session
    TwManualEvent connected;
    TwManualEvent disconnected;

    // Used by the verification and info callbacks.
    std::atomic<bool> invalidPeerCertificate{false};
    std::atomic<bool> peerClosing{false};
    void SetAlert(int level, int description);
    std::string ExpectedClientName();
    void SetError(int code, const char* text);

private:
    std::shared_ptr<TwSslConnection> NewConnection(int keyId);
    std::shared_ptr<TwSslConnection> Slot(int keyId);
    std::shared_ptr<TwSslConnection> Active();
    void ProcessRecord(const TwSslRecordView& record);
    bool IndicateAppData(const std::shared_ptr<TwSslConnection>& conn, bool keep);
    bool ReadAppData(const std::shared_ptr<TwSslConnection>& conn, bool keep);
    void DeliverPlain(TwSslContentHandler& handler, const std::shared_ptr<TwSslConnection>& conn);
    void EndOnFailure(const std::shared_ptr<TwSslConnection>& conn);
    void HandshakeStep(const std::shared_ptr<TwSslConnection>& conn);
    bool AfterHandshake(const std::shared_ptr<TwSslConnection>& conn);
    bool VerifyPeerCertificate(TwSslConnection& conn);
    void CheckRenegotiation(TwSslConnection& conn);
    int VerifyClientCertificate(TwSslConnection& conn);
    void SaveAcceptedCertificate(X509* cert);
    void NotifyConnect(const std::shared_ptr<TwSslConnection>& conn);
    void RemoveConnection(const std::shared_ptr<TwSslConnection>& conn);
    void ShutdownConnection(const std::shared_ptr<TwSslConnection>& conn, bool remove);
    bool Flush(TwSslConnection& conn);
    TwSslSendResult FailSend(const char* why);
    void SetOpenSslError(int code);

    std::shared_ptr<TwSslEngine> m_engine;
    std::shared_ptr<TwSslTransport> m_transport;
    std::mutex m_hSslSession_R_Lock;
    std::recursive_mutex m_hSslSession_W_Lock;
    std::mutex m_hSslConnection_Lock;
    int m_mode;
    SSL_CTX* m_ctx;
    std::string m_host;
    std::uint32_t m_address;
    std::uint16_t m_port;

    // Guarded by the connection lock.
    int m_completed = 0;
    bool m_everConnected = false;
    bool m_disconnectSent = false;
    std::shared_ptr<TwSslConnection> m_active;
    std::array<std::shared_ptr<TwSslConnection>, 4> m_slots;
    TwSslAlertRecord m_alert;
    std::string m_expectedName;

    // The connection whose output holds records of unflushed messages; guarded by the W lock.
    std::shared_ptr<TwSslConnection> m_held;
    // Decrypted application data on its way to the handler; used only under the R lock.
    std::vector<char> m_plain;
    std::size_t m_plainStart = 0, m_plainEnd = 0;

    std::atomic<int> m_rehandshake{TW_REHANDSHAKE_NONE};
    bool m_clientCertRequested = false;
    int m_renegotiatingKeyId = -1;
    std::atomic<bool> m_broken{false};
    std::atomic<int> m_error{0};
    char m_errorText[1024] = "No error sting";
    unsigned char m_masterKey[64] = {};
};

}  // namespace tamberk
