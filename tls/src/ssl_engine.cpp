#include "ssl_engine.h"

#include <openssl/err.h>

#include <algorithm>
#include <cstring>

#include "cert_manager_internal.h"
#include "ssl_session.h"
#include "tls_log.h"

namespace tamberk {

namespace {

std::mutex g_openSslLock;
int g_openSslUsers = 0;

int KeyPasswordCallback(char* buffer, int size, int /*rwflag*/, void* userdata) {
    auto* engine = static_cast<TwSslEngine*>(userdata);
    if (!buffer || size <= 0 || !engine) return 0;
    const std::string& password = engine->KeyPassword();
    int length = static_cast<int>(std::min<std::size_t>(password.size(), static_cast<std::size_t>(size - 1)));
    std::memcpy(buffer, password.data(), static_cast<std::size_t>(length));
    buffer[length] = 0;
    return length;
}

std::string OpenSslErrorText() {
    unsigned long code = ERR_peek_last_error();
    char text[256] = "";
    if (code) ERR_error_string_n(code, text, sizeof text);
    ERR_clear_error();
    return text;
}

}  // namespace

void OpenSslAddUser() {
    std::lock_guard<std::mutex> lock(g_openSslLock);
    // OpenSSL 3 locks for itself; starting it once is all that is left of the old start-up.
    if (g_openSslUsers++ == 0)
        OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
}

void OpenSslRemoveUser() {
    // OpenSSL 3 cannot be started again once cleaned up, so the last user only lowers the count.
    std::lock_guard<std::mutex> lock(g_openSslLock);
    if (g_openSslUsers > 0) --g_openSslUsers;
}

int ConnectionExIndex() {
    static const int index =
        SSL_get_ex_new_index(0, const_cast<char*>("mydata index"), nullptr, nullptr, nullptr);
    return index;
}

TwSslEngine::TwSslEngine() { OpenSslAddUser(); }

TwSslEngine::~TwSslEngine() {
    Unbind();
    OpenSslRemoveUser();
}

int TwSslEngine::Initialize(TwSslProtocol protocol, const char* cipherList) {
    m_protocol = protocol;
    m_cipherList = cipherList ? cipherList : "";
    std::lock_guard<std::mutex> lock(m_policyLock);
    m_policy = {1, 1, 0};
    return 1;
}

int TwSslEngine::SetCertVerifyPolicy(const TwCertificateVerificationPolicy* policy) {
    if (!policy) return 0;
    std::lock_guard<std::mutex> lock(m_policyLock);
    m_policy = *policy;
    return 1;
}

TwCertificateVerificationPolicy TwSslEngine::Policy() const {
    std::lock_guard<std::mutex> lock(m_policyLock);
    return m_policy;
}

void TwSslEngine::Unbind() {
    if (m_ctx) SSL_CTX_free(m_ctx);
    m_ctx = nullptr;
    m_mode = TW_SSL_MODE_NONE;
}

bool TwSslEngine::SetCipherList(const char* cipherList) {
    if (cipherList) m_cipherList = cipherList;
    if (!m_ctx) return cipherList != nullptr;
    // NULL and anonymous suites are never offered, whatever the caller's list says.
    std::string list = (m_cipherList.empty() ? std::string("DEFAULT") : m_cipherList) + ":!aNULL:!eNULL";
    if (SSL_CTX_set_cipher_list(m_ctx, list.c_str()) != 1) {
        ERR_clear_error();
        return false;
    }
    return true;
}

bool TwSslEngine::BindCommon(int mode, const char* caPath, const char* caFile, const char* who) {
    auto fail = [&](const std::string& text) {
        m_bindError = text;
        TLS_LOG(kLogError, "%s", text.c_str());
        Unbind();
        m_caPath.clear();
        m_caFile.clear();
        return false;
    };
    m_bindError.clear();
    m_caPath = caPath ? caPath : "";
    m_caFile = caFile ? caFile : "";
    while (m_caPath.size() > 1 && (m_caPath.back() == '/' || m_caPath.back() == '\\')) m_caPath.pop_back();
    if (m_protocol == TW_SSL_PROTOCOL_SSLV2 || m_protocol == TW_SSL_PROTOCOL_SSLV3)
        return fail(std::string("[") + who + "] SSL 2.0 and SSL 3.0 are not supported; use TLS");
    if (m_protocol != TW_SSL_PROTOCOL_TLSV1 && m_protocol != TW_SSL_PROTOCOL_ANY)
        return fail(std::string("[") + who + "] DetermineSslMethod () return NULL");
    if (!m_caPath.empty()) HashTrustedCertificatesIn(m_caPath);
    m_ctx = SSL_CTX_new(mode == TW_SSL_MODE_CLIENT ? TLS_client_method() : TLS_server_method());
    if (!m_ctx) return fail(std::string("[") + who + "] SSL_CTX_new return NULL");
    m_mode = mode;
    // TLS 1.0 to 1.2, the peer picks. TLS 1.0 and the older gateways' suites and keys need
    // security level 0 under OpenSSL 3.
    SSL_CTX_set_min_proto_version(m_ctx, TLS1_VERSION);
    SSL_CTX_set_max_proto_version(m_ctx, TLS1_2_VERSION);
    SSL_CTX_set_security_level(m_ctx, 0);
    SSL_CTX_set_options(m_ctx, SSL_OP_DONT_INSERT_EMPTY_FRAGMENTS | SSL_OP_LEGACY_SERVER_CONNECT);
    // A server picks by its own list (a gateway's order puts the AEAD suites first), not by
    // whatever order a client happens to send.
    if (mode != TW_SSL_MODE_CLIENT) SSL_CTX_set_options(m_ctx, SSL_OP_CIPHER_SERVER_PREFERENCE);
    if (!SetCipherList(nullptr))
        return fail(std::string("[") + who + "] SSL_CTX_set_cipher_list ( m_pSslCiphers=" + m_cipherList +
                    " ) fails");
    SSL_CTX_set_default_passwd_cb(m_ctx, KeyPasswordCallback);
    SSL_CTX_set_default_passwd_cb_userdata(m_ctx, this);
    if (!m_caFile.empty() || !m_caPath.empty()) {
        if (SSL_CTX_load_verify_locations(m_ctx, m_caFile.empty() ? nullptr : m_caFile.c_str(),
                                          m_caPath.empty() ? nullptr : m_caPath.c_str()) != 1) {
            ERR_clear_error();
            return fail(std::string("[") + who + "] SSL_CTX_load_verify_locations(CAFile=" + m_caFile +
                        ",CAPath=" + m_caPath + ") fails");
        }
    }
    SSL_CTX_set_verify_depth(m_ctx, 8);
    return true;
}

bool TwSslEngine::BindClient(const char* caPath, const char* caFile) {
    TLS_LOG(kLogInfo, "[BindToSocketClient] lpszTrustCAPath is %s", caPath ? caPath : "(null)");
    if (m_ctx) return false;
    if ((!caPath || !*caPath) && (!caFile || !*caFile)) {
        m_bindError = "[BindToSocketClient] neither a trusted CA path nor a CA file was given";
        TLS_LOG(kLogError, "%s", m_bindError.c_str());
        return false;
    }
    return BindCommon(TW_SSL_MODE_CLIENT, caPath, caFile, "BindToSocketClient");
}

bool TwSslEngine::BindServer(const char* certFile, const char* keyFile, const char* keyPassword,
                             const char* caPath, const char* caFile) {
    if (m_ctx || !certFile || !*certFile) return false;
    if ((!caPath || !*caPath) && (!caFile || !*caFile)) {
        m_bindError = "[BindToSocketServer] neither a trusted CA path nor a CA file was given";
        TLS_LOG(kLogError, "%s", m_bindError.c_str());
        return false;
    }
    m_certFile = certFile;
    m_keyFile = keyFile && *keyFile ? keyFile : certFile;
    m_keyPassword = keyPassword ? keyPassword : "";
    if (!BindCommon(TW_SSL_MODE_SERVER, caPath, caFile, "BindToSocketServer")) return false;
    if (SSL_CTX_use_certificate_chain_file(m_ctx, m_certFile.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(m_ctx, m_keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(m_ctx) != 1) {
        m_bindError = "[BindToSocketServer] cannot load the server certificate or key: " + OpenSslErrorText();
        TLS_LOG(kLogError, "%s", m_bindError.c_str());
        Unbind();
        return false;
    }
    SSL_CTX_set_session_cache_mode(m_ctx, SSL_SESS_CACHE_OFF);
    ConnectionExIndex();
    return true;
}

bool TwSslEngine::LoadCertificateFiles(const char* certFile, const char* keyFile, const char* password,
                                       TwSslSession* provider, int certType, int keyType) {
    if (!certFile || !keyFile) return false;
    m_certFile = certFile;
    m_keyFile = keyFile;
    m_keyPassword = password ? password : "";
    if (provider) return false;  // per-connection loading goes through the session (not used)
    if (!m_ctx) return false;
    bool ok = SSL_CTX_use_certificate_file(m_ctx, certFile, certType) == 1 &&
              SSL_CTX_use_PrivateKey_file(m_ctx, keyFile, keyType) == 1;
    if (!ok) ERR_clear_error();
    return ok;
}

int TwSslEngine::ReleaseContextObject() {
    // The context's client certificate and key are what a caller may want gone before the end;
    // the context stays usable.
    if (!m_ctx) return 0;
    SSL_CTX_use_certificate(m_ctx, nullptr);
    ERR_clear_error();
    return 1;
}

std::shared_ptr<TwSslSession> TwSslEngine::StartSession(std::shared_ptr<TwSslTransport> transport,
                                                        const std::string& host, std::uint32_t address,
                                                        std::uint16_t port, void* owner) {
    if (m_terminating.load() || !m_ctx || !transport) return nullptr;
    auto session =
        std::make_shared<TwSslSession>(shared_from_this(), std::move(transport), host, address, port);
    session->owner = owner;
    TLS_LOG(kLogInfo, "[StartSslSession] Create SSL Session %p", static_cast<void*>(session.get()));
    {
        std::lock_guard<std::mutex> lock(m_hSslSessionLock);
        m_sessions.push_back(session);
    }
    TLS_LOG(kLogInfo, "[StartSslSession] Start SSL Handshake");
    if (!session->Start()) {
        std::lock_guard<std::mutex> lock(m_hSslSessionLock);
        m_sessions.erase(std::remove(m_sessions.begin(), m_sessions.end(), session), m_sessions.end());
        return nullptr;
    }
    return session;
}

bool TwSslEngine::StopSession(const std::shared_ptr<TwSslSession>& session) {
    {
        std::lock_guard<std::mutex> lock(m_hSslSessionLock);
        auto it = std::find(m_sessions.begin(), m_sessions.end(), session);
        if (it == m_sessions.end()) {
            TLS_LOG(kLogError, "[StopSslSession] Invalid SSL Session Handle 0x%p",
                    static_cast<void*>(session.get()));
            return false;
        }
        m_sessions.erase(it);
    }
    TLS_LOG(kLogInfo, "[StopSslSession] ShutDownSslSession");
    session->ShutdownAll(true);
    m_handlers.ForgetSession(session.get());
    return true;
}

std::size_t TwSslEngine::ProcessReceived(TwSslSession& session, std::uint8_t* data, std::size_t length) {
    if (m_terminating.load()) return length;
    std::lock_guard<std::mutex> lock(m_receiveLock);
    return session.ProcessReceived(data, length);
}

void TwSslEngine::Terminate() {
    m_terminating.store(true);
    std::vector<std::shared_ptr<TwSslSession>> sessions;
    {
        std::lock_guard<std::mutex> lock(m_hSslSessionLock);
        sessions.swap(m_sessions);
    }
    if (!sessions.empty()) {
        TLS_LOG(kLogInfo, "[TerminateStateMachine] shutdown %d SSL sessions",
                static_cast<int>(sessions.size()));
        for (auto& s : sessions) s->ShutdownAll(false);
        TLS_LOG(kLogInfo, "[TerminateStateMachine] Disconnect %d SSL sessions",
                static_cast<int>(sessions.size()));
        for (auto& s : sessions) s->CloseSocket();
    }
    for (auto& s : sessions) m_handlers.ForgetSession(s.get());
}

std::size_t TwSslEngine::SessionCount() {
    std::lock_guard<std::mutex> lock(m_hSslSessionLock);
    return m_sessions.size();
}

void TwSslEngine::NotifyUser(const std::string& text) {
    if (m_notify) m_notify(text);
}

}  // namespace tamberk
