// TwSslConnection, the manual-reset event, and the session's small accessors.
#include <openssl/err.h>
#include <openssl/x509.h>

#include <cstring>

#include "cert_text.h"
#include "platform/clock_wait.h"
#include "cert_verify.h"
#include "ssl_engine.h"
#include "ssl_session.h"

namespace tamberk {

void TwManualEvent::Set() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_set = true;
    m_cv.notify_all();
}

void TwManualEvent::Reset() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_set = false;
}

bool TwManualEvent::Wait(int milliseconds, const platform::Clock& clock) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return platform::WaitOn(clock, lock, m_cv, milliseconds < 0 ? 0 : static_cast<DWORD>(milliseconds),
                            [this] { return m_set; });
}

bool TwManualEvent::IsSet() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_set;
}

namespace {

// OpenSSL's output goes straight into the connection's output buffer, where Flush tags the records
// with the key id and hands them to the transport: a memory BIO in between would cost a copy of
// every byte sent. Writes always succeed (the buffer grows if a flight is ever larger than it).
int SinkWrite(BIO* bio, const char* data, int length) {
    auto* conn = static_cast<TwSslConnection*>(BIO_get_data(bio));
    if (conn == nullptr || length < 0) return -1;
    auto size = static_cast<std::size_t>(length);
    if (conn->output.size() - conn->kept < size) conn->output.resize(conn->kept + size);
    std::memcpy(conn->output.data() + conn->kept, data, size);
    conn->kept += size;
    return length;
}

long SinkCtrl(BIO* bio, int command, long, void*) {
    auto* conn = static_cast<TwSslConnection*>(BIO_get_data(bio));
    switch (command) {
        case BIO_CTRL_FLUSH: return 1;
        case BIO_CTRL_PENDING:
        case BIO_CTRL_WPENDING: return conn != nullptr ? static_cast<long>(conn->kept) : 0;
        default: return 0;
    }
}

int SinkCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

const BIO_METHOD* SinkMethod() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "tamberk output");
        if (m != nullptr) {
            BIO_meth_set_write(m, SinkWrite);
            BIO_meth_set_ctrl(m, SinkCtrl);
            BIO_meth_set_create(m, SinkCreate);
        }
        return m;
    }();
    return method;
}

}  // namespace

TwSslConnection::TwSslConnection(TwSslSession* owner, int id)
    : session(owner), keyId(id), output(kConnectionOutputSize) {}

TwSslConnection::~TwSslConnection() {
    if (ssl) SSL_free(ssl);  // frees both BIOs
}

bool TwSslConnection::Init(SSL_CTX* ctx, int mode, SSL_SESSION* resumeFrom) {
    ssl = SSL_new(ctx);
    if (!ssl) return false;
    rbio = BIO_new(BIO_s_mem());
    const BIO_METHOD* sink = SinkMethod();
    wbio = sink != nullptr ? BIO_new(sink) : nullptr;
    if (wbio) BIO_set_data(wbio, this);
    if (!rbio || !wbio) {
        BIO_free(rbio);
        BIO_free(wbio);
        rbio = wbio = nullptr;
        return false;
    }
    BIO_set_mem_eof_return(rbio, -1);  // an empty read buffer means "want more", never EOF
    SSL_set_bio(ssl, rbio, wbio);
    SSL_set_ex_data(ssl, ConnectionExIndex(), this);
    SSL_set_info_callback(ssl, SslConnectionInfoCallback);
    if (mode == TW_SSL_MODE_SERVER) {
        SSL_set_accept_state(ssl);
    } else {
        SSL_set_verify(ssl, SSL_VERIFY_PEER, VerifyCertificateCallback);
        if (resumeFrom) SSL_set_session(ssl, resumeFrom);
        SSL_set_connect_state(ssl);
    }
    return true;
}

TwSslConnection* TwSslConnection::FromSsl(const SSL* ssl) {
    return ssl ? static_cast<TwSslConnection*>(SSL_get_ex_data(ssl, ConnectionExIndex())) : nullptr;
}

std::shared_ptr<TwSslConnection> TwSslSession::Slot(int keyId) {
    std::lock_guard<std::mutex> lock(m_hSslConnection_Lock);
    return m_slots[static_cast<std::size_t>(keyId & 3)];
}

std::shared_ptr<TwSslConnection> TwSslSession::Active() {
    std::lock_guard<std::mutex> lock(m_hSslConnection_Lock);
    return m_active;
}

int TwSslSession::CompletedCount() {
    std::lock_guard<std::mutex> lock(m_hSslConnection_Lock);
    return m_completed;
}

bool TwSslSession::HasConnection(int keyId) { return Slot(keyId) != nullptr; }

bool TwSslSession::IsKeyIdComplete(int keyId) {
    auto conn = Slot(keyId);
    return conn && conn->complete;
}

int TwSslSession::ActiveKeyId() {
    auto conn = Active();
    return conn ? conn->keyId : -1;
}

std::string TwSslSession::ProtocolVersion() {
    std::lock_guard<std::recursive_mutex> w(m_hSslSession_W_Lock);
    auto conn = Active();
    return conn && conn->complete ? SSL_get_version(conn->ssl) : "";
}

std::string TwSslSession::CipherName() {
    std::lock_guard<std::recursive_mutex> w(m_hSslSession_W_Lock);
    auto conn = Active();
    const char* name = conn && conn->complete ? SSL_get_cipher_name(conn->ssl) : nullptr;
    return name != nullptr ? name : "";
}

void TwSslSession::SetAlert(int level, int description) {
    std::lock_guard<std::mutex> lock(m_hSslConnection_Lock);
    m_alert = {true, level, description};
}

TwSslAlertRecord TwSslSession::Alert() {
    std::lock_guard<std::mutex> lock(m_hSslConnection_Lock);
    return m_alert;
}

std::string TwSslSession::ExpectedClientName() {
    std::lock_guard<std::mutex> lock(m_hSslConnection_Lock);
    return m_expectedName;
}

void TwSslSession::SetError(int code, const char* text) {
    m_error.store(code);
    if (text) std::snprintf(m_errorText, sizeof m_errorText, "%s", text);
}

void TwSslSession::SetOpenSslError(int code) {
    unsigned long e = ERR_peek_last_error();
    char text[256] = "unknown TLS error";
    if (e) ERR_error_string_n(e, text, sizeof text);
    SetError(code, text);
}

std::string TwSslSession::PeerCertSubject() {
    std::lock_guard<std::recursive_mutex> w(m_hSslSession_W_Lock);
    auto conn = Active();
    X509* cert = conn ? SSL_get0_peer_certificate(conn->ssl) : nullptr;
    return cert ? NameText(X509_get_subject_name(cert)) : std::string();
}

std::string TwSslSession::PeerCertIssuer() {
    std::lock_guard<std::recursive_mutex> w(m_hSslSession_W_Lock);
    auto conn = Active();
    X509* cert = conn ? SSL_get0_peer_certificate(conn->ssl) : nullptr;
    return cert ? NameText(X509_get_issuer_name(cert)) : std::string();
}

std::string TwSslSession::PeerCertFingerprint() {
    std::lock_guard<std::recursive_mutex> w(m_hSslSession_W_Lock);
    auto conn = Active();
    X509* cert = conn ? SSL_get0_peer_certificate(conn->ssl) : nullptr;
    return cert ? Sha256Fingerprint(cert) : std::string();
}

std::string TwSslSession::PeerCertSerial() {
    std::lock_guard<std::recursive_mutex> w(m_hSslSession_W_Lock);
    auto conn = Active();
    X509* cert = conn ? SSL_get0_peer_certificate(conn->ssl) : nullptr;
    return cert ? SerialText(cert) : std::string();
}

bool TwSslSession::MasterKey(const unsigned char** key, unsigned long* length) {
    std::lock_guard<std::recursive_mutex> w(m_hSslSession_W_Lock);
    auto conn = Active();
    SSL_SESSION* s = conn ? SSL_get_session(conn->ssl) : nullptr;
    if (!s || !key || !length) return false;
    // OpenSSL 3 keeps the session opaque; the key is copied into the session's own buffer.
    std::size_t n = SSL_SESSION_get_master_key(s, m_masterKey, sizeof m_masterKey);
    if (n == 0) return false;
    *key = m_masterKey;
    *length = static_cast<unsigned long>(n);
    return true;
}

bool TwSslSession::UseCertificateFiles(const char* certFile, const char* keyFile, const char* password,
                                       int certType, int keyType) {
    if (!certFile || !keyFile) return false;
    std::lock_guard<std::recursive_mutex> w(m_hSslSession_W_Lock);
    auto conn = Active();
    if (!conn) return false;
    SSL_set_default_passwd_cb_userdata(conn->ssl, const_cast<char*>(password ? password : ""));
    SSL_set_default_passwd_cb(conn->ssl, nullptr);
    bool ok = SSL_use_certificate_file(conn->ssl, certFile, certType) == 1 &&
              SSL_use_PrivateKey_file(conn->ssl, keyFile, keyType) == 1;
    if (!ok) ERR_clear_error();
    return ok;
}

}  // namespace tamberk
