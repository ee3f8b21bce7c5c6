// The I/O-free heart of the state machine: one OpenSSL context built to the suite's security
// baseline, the verification policy, the content-handler registry and the live sessions.
// Bound to a transport by the caller: the facade binds it to the socket engine, tests to pipes.
//
// Thread-safety: configuration (Initialize, Bind*, SetCipherList, ChooseCertificate) is done by
// one thread before sessions start; sessions, handlers and Terminate may be used from any thread.
#pragma once
#include <openssl/ssl.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "content_handler.h"
#include "tamberk/ssl_types.h"

namespace tamberk {

class TwSslSession;
class TwSslTransport;

// Counted process-wide start of OpenSSL; also yields the ex-data index that ties an SSL object
// to its TwSslConnection.
void OpenSslAddUser();
void OpenSslRemoveUser();
int ConnectionExIndex();

class TwSslEngine : public std::enable_shared_from_this<TwSslEngine> {
public:
    TwSslEngine();
    ~TwSslEngine();
    TwSslEngine(const TwSslEngine&) = delete;
    TwSslEngine& operator=(const TwSslEngine&) = delete;

    int Initialize(TwSslProtocol protocol, const char* cipherList);
    int SetCertVerifyPolicy(const TwCertificateVerificationPolicy* policy);
    // Build the context. False (and logged, text in BindError) on any failure; the engine is
    // then unbound again.
    bool BindClient(const char* caPath, const char* caFile);
    bool BindServer(const char* certFile, const char* keyFile, const char* keyPassword, const char* caPath,
                    const char* caFile);
    bool SetCipherList(const char* cipherList);
    bool LoadCertificateFiles(const char* certFile, const char* keyFile, const char* password,
                              TwSslSession* provider, int certType, int keyType);
    // Client certificate from the certificate store (see cert_store.cpp): 1, 4 or 0.
    int ChooseCertificate(const char* subject, const char* serial, unsigned char pick);
    int ReleaseContextObject();

    // A new session over the transport with key id 0's handshake started; null on failure or
    // while terminating.
    // `owner` is the caller's object for the session (TwSslSession::owner), set before the
    // handshake's first bytes leave.
    std::shared_ptr<TwSslSession> StartSession(std::shared_ptr<TwSslTransport> transport,
                                               const std::string& host, std::uint32_t address,
                                               std::uint16_t port, void* owner = nullptr);
    // Shuts down and removes all key ids and forgets the session. False when it is not ours.
    bool StopSession(const std::shared_ptr<TwSslSession>& session);
    // Received bytes of one session, under the engine's receive lock. While terminating every
    // byte is reported consumed.
    std::size_t ProcessReceived(TwSslSession& session, std::uint8_t* data, std::size_t length);
    void Terminate();
    bool Terminating() const { return m_terminating.load(); }

    SSL_CTX* Context() const { return m_ctx; }
    int Mode() const { return m_mode; }
    TwSslProtocol Protocol() const { return m_protocol; }
    TwCertificateVerificationPolicy Policy() const;
    const std::string& TrustedCaPath() const { return m_caPath; }
    const std::string& BindError() const { return m_bindError; }
    const std::string& KeyPassword() const { return m_keyPassword; }
    TwSslHandlerRegistry& Handlers() { return m_handlers; }
    std::size_t SessionCount();

    // How a rejected server certificate reaches the user (the text of the warning); by default
    // it is only logged. Set before sessions start.
    void SetUserNotifier(std::function<void(const std::string&)> notifier) { m_notify = std::move(notifier); }
    void NotifyUser(const std::string& text);

private:
    bool BindCommon(int mode, const char* caPath, const char* caFile, const char* who);
    void Unbind();

    SSL_CTX* m_ctx = nullptr;
    int m_mode = TW_SSL_MODE_NONE;
    TwSslProtocol m_protocol = TW_SSL_PROTOCOL_TLSV1;
    std::string m_cipherList;
    TwCertificateVerificationPolicy m_policy{1, 1, 0};
    mutable std::mutex m_policyLock;
    std::string m_caPath, m_caFile, m_certFile, m_keyFile, m_keyPassword;
    std::string m_bindError;
    TwSslHandlerRegistry m_handlers;
    std::mutex m_hSslSessionLock;
    std::vector<std::shared_ptr<TwSslSession>> m_sessions;
    std::mutex m_receiveLock;
    std::atomic<bool> m_terminating{false};
    std::function<void(const std::string&)> m_notify;
};

}  // namespace tamberk
