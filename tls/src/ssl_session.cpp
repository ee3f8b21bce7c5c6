// Receiving, sending and the life of the key-id connections of one session.
#include "ssl_session.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "cert_manager_internal.h"
#include "platform/atomic_file.h"
#include "cert_text.h"
#include "cert_verify.h"
#include "ssl_engine.h"
#include "ssl_record.h"
#include "tls_log.h"

namespace tamberk {

namespace {
constexpr int kWritePiece = 16384;  // one TLS record of plaintext
constexpr std::size_t kReadPiece = 16384;
}  // namespace

TwSslSession::TwSslSession(std::shared_ptr<TwSslEngine> engine, std::shared_ptr<TwSslTransport> transport,
                           std::string host, std::uint32_t address, std::uint16_t port)
    : m_engine(std::move(engine)),
      m_transport(std::move(transport)),
      m_mode(m_engine->Mode()),
      m_ctx(m_engine->Context()),
      m_host(std::move(host)),
      m_address(address),
      m_port(port) {
    disconnected.Set();
}

TwSslSession::~TwSslSession() {
    bool notify = false;
    {
        std::lock_guard<std::mutex> lock(m_hSslConnection_Lock);
        notify = m_completed > 0 && !m_disconnectSent;
    }
    if (notify)
        if (auto handler = m_engine->Handlers().AppData())
            handler->SessionEvent(TW_MSG_SSL_DISCONNECT, *this);
    m_engine->Handlers().ForgetSession(this);
}

bool TwSslSession::Start() {
    auto conn = NewConnection(0);
    if (!conn) return false;
    {
        std::lock_guard<std::mutex> lock(m_hSslConnection_Lock);
        m_slots[0] = conn;
        m_active = conn;
    }
    std::lock_guard<std::recursive_mutex> w(m_hSslSession_W_Lock);
    HandshakeStep(conn);
    return true;
}

std::shared_ptr<TwSslConnection> TwSslSession::NewConnection(int keyId) {
    auto conn = std::make_shared<TwSslConnection>(this, keyId);
    // A later key id of a client resumes the session of the connection already up, so that the
    // gateway can skip the full handshake.
    SSL_SESSION* resume = nullptr;
    if (m_mode == TW_SSL_MODE_CLIENT) {
        auto active = Active();
        if (active && active->complete) resume = SSL_get1_session(active->ssl);
    }
    bool ok = conn->Init(m_ctx, m_mode, resume);
    if (resume) SSL_SESSION_free(resume);
    if (!ok) {
        ERR_clear_error();
        TLS_LOG(kLogError, "[NewConnection] cannot make the TLS connection for KeyId=%d", keyId);
        return nullptr;
    }
    return conn;
}

std::size_t TwSslSession::ProcessReceived(std::uint8_t* data, std::size_t length) {
    std::lock_guard<std::mutex> r(m_hSslSession_R_Lock);
    if (m_broken.load()) return length;  // the stream is being closed; nothing in it counts
    std::size_t offset = 0;
    for (;;) {
        TwSslRecordView record;
        const char* why = "";
        RecordCut cut = GetSslRecord(data, length, &offset, &record, &why);
        if (cut == RecordCut::kNeedMore) break;
        if (cut == RecordCut::kMalformed) {
            TLS_LOG(kLogError, "[GetSslRecord] %s, close the session", why);
            SetError(TW_SSL_ERR_BAD_RECORD, why);
            m_broken.store(true);
            CloseSocket();
            return length;
        }
        ProcessRecord(record);
        if (m_broken.load()) return length;
    }
    return offset;
}

void TwSslSession::ProcessRecord(const TwSslRecordView& record) {
    if (record.contentType >= kFirstNonTlsContentType) {
        (void)m_engine->Handlers().Find(record.contentType);  // no hand-over defined: dropped
        return;
    }
    auto handler = m_engine->Handlers().AppData();
    std::shared_ptr<TwSslConnection> conn;
    {
        std::lock_guard<std::recursive_mutex> w(m_hSslSession_W_Lock);
        conn = Slot(record.keyId);
        if (!conn) {
            conn = NewConnection(record.keyId);
            if (!conn) return;
            std::lock_guard<std::mutex> lock(m_hSslConnection_Lock);
            m_slots[record.keyId] = conn;
            if (!m_active) m_active = conn;
        }
        if (BIO_write(conn->rbio, record.data, static_cast<int>(record.length)) !=
            static_cast<int>(record.length)) {
            SetError(TW_SSL_ERR_PROTOCOL, "cannot buffer a received record");
            m_broken.store(true);
            CloseSocket();
            return;
        }
        if (IndicateAppData(conn, handler != nullptr)) {
            Flush(*conn);
            EndOnFailure(conn);
            return;
        }
        Flush(*conn);
        // The peer closed this key id: answer its close_notify and let the connection go.
        if (record.contentType == kContentAlert && peerClosing.exchange(false))
            ShutdownConnection(conn, true);
    }
    // The handler runs without the W lock: one that waits (the client's, for room in its ring)
    // must not hold up the senders of this session. The R lock keeps deliveries in order.
    if (handler && m_plainStart < m_plainEnd) DeliverPlain(*handler, conn);
}

void TwSslSession::EndOnFailure(const std::shared_ptr<TwSslConnection>& conn) {
    RemoveConnection(conn);
    m_broken.store(true);
    CloseSocket();
}

void TwSslSession::DeliverPlain(TwSslContentHandler& handler, const std::shared_ptr<TwSslConnection>& conn) {
    auto reader = [this](char* dst, int room) {
        const std::size_t n = std::min(m_plainEnd - m_plainStart, static_cast<std::size_t>(room));
        std::memcpy(dst, m_plain.data() + m_plainStart, n);
        m_plainStart += n;
        return static_cast<int>(n);
    };
    for (;;) {
        int result = 0;
        const int pending = static_cast<int>(m_plainEnd - m_plainStart);
        DeliverResult delivered =
            pending > 0 ? handler.Deliver(*this, pending, reader, &result) : DeliverResult::kNothing;
        if (delivered == DeliverResult::kDelivered) continue;
        if (delivered == DeliverResult::kCacheFull) {
            TLS_LOG(kLogError,
                    "[IndicateAppData] a message larger than the content cache (%d bytes), close the session",
                    handler.CacheSize());
            std::lock_guard<std::recursive_mutex> w(m_hSslSession_W_Lock);
            SetError(TW_SSL_ERR_CACHE_OVERFLOW, "message larger than the content cache");
            EndOnFailure(conn);
        }
        break;  // kNoCache keeps what is left for the next record's delivery
    }
    if (m_plainStart == m_plainEnd || m_broken.load()) m_plainStart = m_plainEnd = 0;
}

// True when the connection failed fatally.
bool TwSslSession::IndicateAppData(const std::shared_ptr<TwSslConnection>& conn, bool keep) {
    if (conn->shuttingDown) {
        TLS_LOG(kLogDebug, "[IndicateAppData] ShutDown SSL Connection, KeyId=%d", conn->keyId);
        // Our close_notify went out already; this reads the peer's answer, which ends the key id.
        int ret = SSL_shutdown(conn->ssl);
        if (ret != 1) ERR_clear_error();
        if (ret == 1) RemoveConnection(conn);
        return false;
    }
    if (!conn->complete) {
        TLS_TRACE("[IndicateAppData]  SSL session setup has not completed, KeyId=%d", conn->keyId);
        HandshakeStep(conn);
        // Records that came with the last handshake flight may already hold application data.
        if (!conn->complete || m_broken.load()) return false;
    }
    return ReadAppData(conn, keep);
}

// Decrypts what the connection holds into the plaintext buffer (or discards it when nobody
// takes it); the handler gets it once the W lock is released. True when the connection failed.
bool TwSslSession::ReadAppData(const std::shared_ptr<TwSslConnection>& conn, bool keep) {
    int lastKind = SSL_ERROR_NONE;
    for (;;) {
        char discard[2048];
        char* dst = discard;
        int room = static_cast<int>(sizeof discard);
        if (keep) {
            // One record is in the BIO, so the buffer grows at most by one record's plaintext.
            if (m_plain.size() - m_plainEnd < kReadPiece) {
                m_plainEnd -= m_plainStart;
                // An empty buffer has no storage yet: nothing to move, and no null to move from.
                if (m_plainEnd > 0) std::memmove(m_plain.data(), m_plain.data() + m_plainStart, m_plainEnd);
                m_plainStart = 0;
                if (m_plain.size() - m_plainEnd < kReadPiece) m_plain.resize(m_plainEnd + kReadPiece);
            }
            dst = m_plain.data() + m_plainEnd;
            room = static_cast<int>(kReadPiece);
        }
        const int n = SSL_read(conn->ssl, dst, room);
        if (keep && n > 0) m_plainEnd += static_cast<std::size_t>(n);
        if (n > 0) {
            if (!keep)
                TLS_TRACE("[IndicateAppData] SSL_read (KeyId=%d) return %d, no handler, discard data",
                          conn->keyId, n);
            continue;
        }
        lastKind = SSL_get_error(conn->ssl, n);
        break;
    }
    if (lastKind == SSL_ERROR_WANT_READ || lastKind == SSL_ERROR_WANT_WRITE ||
        lastKind == SSL_ERROR_ZERO_RETURN || lastKind == SSL_ERROR_NONE) {
        ERR_clear_error();
        CheckRenegotiation(*conn);
        return false;
    }
    TLS_LOG(kLogError, "[IndicateAppData] SSL_read, iDataSize < 0, SSLError. %d", lastKind);
    SetOpenSslError(TW_SSL_ERR_PROTOCOL);
    if (m_rehandshake.load() == TW_REHANDSHAKE_REQUESTED && conn->keyId == m_renegotiatingKeyId) {
        m_error.store(lastKind);
        m_rehandshake.store(TW_REHANDSHAKE_FAILED);
    }
    ERR_clear_error();
    return true;
}

void TwSslSession::HandshakeStep(const std::shared_ptr<TwSslConnection>& conn) {
    if (!conn || !conn->ssl) {
        TLS_LOG(kLogError, "[StartSslHandShake] SSL connection is not initialized");
        return;
    }
    if (conn->complete && SSL_is_init_finished(conn->ssl)) return;
    int ret = SSL_do_handshake(conn->ssl);
    if (ret == 1) {
        if (!AfterHandshake(conn)) {
            Flush(*conn);
            m_broken.store(true);
            CloseSocket();
            return;
        }
    } else {
        int kind = SSL_get_error(conn->ssl, ret);
        if (kind != SSL_ERROR_WANT_READ && kind != SSL_ERROR_WANT_WRITE && kind != SSL_ERROR_WANT_ACCEPT) {
            SetOpenSslError(kind);
            if (m_rehandshake.load() == TW_REHANDSHAKE_REQUESTED) {
                TLS_LOG(kLogError,
                        "[StartSslHandShake] error in SSL handshake, m_RehandshakeStatus %d, SslRet %d",
                        m_rehandshake.load(), ret);
                m_error.store(kind);
                m_rehandshake.store(TW_REHANDSHAKE_FAILED);
            } else {
                TLS_LOG(kLogError,
                        "[StartSslHandShake] error in SSL handshake, call Disconnect(), SslRet %d (%s)", ret,
                        m_errorText);
                m_error.store(TW_SSL_ERR_HANDSHAKE);
                Flush(*conn);  // the alert goes out before the stream is closed
                ERR_clear_error();
                RemoveConnection(conn);
                m_broken.store(true);
                CloseSocket();
                return;
            }
        }
        ERR_clear_error();
    }
    Flush(*conn);
}

bool TwSslSession::AfterHandshake(const std::shared_ptr<TwSslConnection>& conn) {
    if (!VerifyPeerCertificate(*conn)) {
        TLS_LOG(kLogError, "[StartSslHandShake] VerifyPeerCertificate() failed, Disconnect");
        SetError(TW_SSL_ERR_HANDSHAKE, "the peer certificate does not verify");
        RemoveConnection(conn);
        return false;
    }
    NotifyConnect(conn);
    return true;
}

// A renegotiation asked for by RequestClientCertificate runs inside SSL_read on the server (the
// client's new hello arrives as ordinary records); once OpenSSL reports it done, the client
// certificate is checked.
void TwSslSession::CheckRenegotiation(TwSslConnection& conn) {
    if (m_rehandshake.load() != TW_REHANDSHAKE_REQUESTED || conn.keyId != m_renegotiatingKeyId) return;
    if (SSL_renegotiate_pending(conn.ssl) || !SSL_is_init_finished(conn.ssl)) return;
    int check = VerifyClientCertificate(conn);
    if (check != 0) {
        TLS_LOG(kLogError, "[StartSslHandShake] VerifyClientCertificate() failed");
        m_error.store(check);
        m_rehandshake.store(TW_REHANDSHAKE_FAILED);
    } else {
        m_rehandshake.store(TW_REHANDSHAKE_COMPLETED);
    }
    m_renegotiatingKeyId = -1;
}

bool TwSslSession::VerifyPeerCertificate(TwSslConnection& conn) {
    if (m_mode != TW_SSL_MODE_CLIENT) return true;
    long result = SSL_get_verify_result(conn.ssl);
    TLS_LOG(kLogInfo, "[VerifyPeerCertificate] SSL connection (KeyId=%d) Certificate verify: %s", conn.keyId,
            VerifyResultName(result));
    if (result != X509_V_OK) {
        TLS_LOG(kLogError, "[VerifyPeerCertificate] Certificate doesn't verify");
        return false;
    }
    if (X509* cert = SSL_get0_peer_certificate(conn.ssl)) SaveAcceptedCertificate(cert);
    return true;
}

void TwSslSession::SaveAcceptedCertificate(X509* cert) {
    const std::string& folder = m_engine->TrustedCaPath();
    if (folder.empty()) return;
    // The name comes from the certificate, i.e. from the network: it never carries a path.
    std::string path = folder + "/" + SafeFileName(CommonName(X509_get_subject_name(cert))) + ".crt";
    std::string pem;
    if (BIO* bio = BIO_new(BIO_s_mem())) {
        if (PEM_write_bio_X509(bio, cert) == 1) {
            char* data = nullptr;
            const long n = BIO_get_mem_data(bio, &data);
            if (n > 0) pem.assign(data, static_cast<std::size_t>(n));
        }
        BIO_free(bio);
    }
    // Replaced whole: a link or file planted at the name is neither followed nor written into.
    if (pem.empty() || !platform::WriteFileAtomically(path, pem, 0644)) {
        TLS_LOG(kLogError, "[VerifyPeerCertificate] cannot write %s", path.c_str());
        return;
    }
    HashTrustedCertificateFile(path, folder);
}

int TwSslSession::VerifyClientCertificate(TwSslConnection& conn) {
    if (m_mode == TW_SSL_MODE_CLIENT) return TW_SSL_ERR_CLIENT_MODE;
    long result = SSL_get_verify_result(conn.ssl);
    if (result != X509_V_OK) return static_cast<int>(result) + TW_SSL_ERR_VERIFY_BASE;
    X509* cert = SSL_get0_peer_certificate(conn.ssl);
    if (!cert) return TW_SSL_ERR_NO_PEER_CERT;
    if (strcasecmp(CommonName(X509_get_subject_name(cert)).c_str(), ExpectedClientName().c_str()) != 0)
        return TW_SSL_ERR_NAME_MISMATCH;
    return 0;
}

void TwSslSession::NotifyConnect(const std::shared_ptr<TwSslConnection>& conn) {
    if (conn->complete) {
        TLS_LOG(kLogDebug, "[NotifySslConnect] SSL connection (KeyId=%d) handshake is already complete",
                conn->keyId);
        return;
    }
    conn->complete = true;
    TLS_LOG(kLogInfo, "[NotifySslConnect] SSL connection (KeyId=%d) handshake complete successfully",
            conn->keyId);
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(m_hSslConnection_Lock);
        m_active = conn;
        conn->counted = true;
        first = m_completed++ == 0;
        if (first) {
            m_everConnected = true;
            m_disconnectSent = false;
        }
    }
    if (first)
        if (auto handler = m_engine->Handlers().AppData()) handler->SessionEvent(TW_MSG_SSL_CONNECT, *this);
    disconnected.Reset();
    connected.Set();
}

void TwSslSession::RemoveConnection(const std::shared_ptr<TwSslConnection>& conn) {
    bool notify = false;
    {
        std::lock_guard<std::mutex> lock(m_hSslConnection_Lock);
        auto& slot = m_slots[static_cast<std::size_t>(conn->keyId)];
        if (slot != conn) return;  // removed already
        slot.reset();
        if (m_active == conn) m_active = m_slots[static_cast<std::size_t>((conn->keyId + 1) % 4)];
        bool wasComplete = conn->counted;
        conn->counted = false;
        conn->complete = false;
        // Only connections that completed are counted; one that fails during its handshake
        // leaves the count (and the other key ids' session) alone.
        if (wasComplete) --m_completed;
        bool anyLeft = false;
        for (auto& other : m_slots) anyLeft = anyLeft || other != nullptr;
        notify = m_completed == 0 && !m_disconnectSent && (wasComplete || (!m_everConnected && !anyLeft));
        if (notify) m_disconnectSent = true;
    }
    if (notify) {
        if (auto handler = m_engine->Handlers().AppData())
            handler->SessionEvent(TW_MSG_SSL_DISCONNECT, *this);
        connected.Reset();
        disconnected.Set();
    }
}

void TwSslSession::ShutdownConnection(const std::shared_ptr<TwSslConnection>& conn, bool remove) {
    if (!conn->shuttingDown) {
        conn->shuttingDown = true;
        int ret = SSL_shutdown(conn->ssl);
        TLS_LOG(kLogDebug, "[ShutdownSslConnection] SSL_shutdown (KeyId=%d) return %d", conn->keyId, ret);
        if (ret != 1) ERR_clear_error();
        Flush(*conn);
    }
    if (remove) RemoveConnection(conn);
}

void TwSslSession::ShutdownAll(bool remove) {
    std::lock_guard<std::recursive_mutex> w(m_hSslSession_W_Lock);
    for (int keyId = 0; keyId < 4; ++keyId)
        if (auto conn = Slot(keyId)) ShutdownConnection(conn, remove);
}

bool TwSslSession::CloseSocket() { return m_transport->Close(); }

bool TwSslSession::Flush(TwSslConnection& conn) {
    // OpenSSL writes whole records into the output buffer; anything short of a record waits.
    const std::uint8_t tag = static_cast<std::uint8_t>(conn.keyId << 6);
    std::size_t whole = 0;
    while (conn.kept - whole >= kRecordHeaderSize) {
        std::size_t len = RecordLengthAt(conn.output.data() + whole, conn.kept - whole);
        if (len == 0 || len > conn.kept - whole) break;
        conn.output[whole] |= tag;
        whole += len;
    }
    if (whole == 0) return true;
    bool ok = m_transport->Send(conn.output.data(), whole);
    std::memmove(conn.output.data(), conn.output.data() + whole, conn.kept - whole);
    conn.kept -= whole;
    // A large message grew the buffer for its records; it goes back to its usual size.
    if (conn.output.size() > kConnectionOutputSize && conn.kept <= kConnectionOutputSize) {
        conn.output.resize(kConnectionOutputSize);
        conn.output.shrink_to_fit();
    }
    return ok;
}

TwSslSendResult TwSslSession::SendMsg(const char* data, int length, bool flush) {
    TLS_TRACE("[SendMsg] enter TwSslSession::SendMsg()");
    if (!data || length < 0) return TwSslSendResult::kFailed;
    auto conn = Active();
    if (!conn) {
        TLS_LOG(kLogError, "[SendMsg] m_ActiveConnection == NULL");
        return TwSslSendResult::kFailed;
    }
    std::lock_guard<std::recursive_mutex> w(m_hSslSession_W_Lock);
    if (m_broken.load()) return TwSslSendResult::kFailed;
    if (!conn->complete && m_rehandshake.load() != TW_REHANDSHAKE_REQUESTED) {
        TLS_TRACE("[SendMsg] SSL session setup has not completed.");
        HandshakeStep(conn);
        return TwSslSendResult::kRetry;
    }
    // Records an earlier unflushed message left in a connection that is no longer the active one
    // go first: the peer reads the key ids' data as one stream.
    if (m_held && m_held != conn) {
        auto held = std::move(m_held);
        if (!Flush(*held)) return FailSend("the transport refused the records");
    }
    // Every record of the message is made before any of it leaves: a tunnel message cut short
    // on the wire would make the peer read the next message's bytes as the rest of this one.
    const std::size_t mark = conn->kept;
    int written = 0;
    while (written < length) {
        int piece = std::min(length - written, kWritePiece);
        int n = SSL_write(conn->ssl, data + written, piece);
        if (n > 0) {
            written += n;
            continue;
        }
        int why = SSL_get_error(conn->ssl, n);
        ERR_clear_error();
        bool later = why == SSL_ERROR_WANT_READ || why == SSL_ERROR_WANT_WRITE;
        if (written == 0 && later) return TwSslSendResult::kRetry;
        // Records of this message that were made cannot be taken back from the cipher state, and
        // must not be sent: the stream cannot go on.
        conn->kept = std::min(conn->kept, mark);
        return FailSend("cannot write the whole message");
    }
    // Unasked, whole messages still leave once the buffer holds a full one's worth.
    if (flush || conn->kept >= kConnectionOutputSize - kWritePiece) {
        m_held.reset();
        if (!Flush(*conn)) return FailSend("the transport refused the records");
    } else {
        m_held = conn;
    }
    return TwSslSendResult::kSent;
}

TwSslSendResult TwSslSession::FailSend(const char* why) {
    TLS_LOG(kLogError, "[SendMsg] %s, close the session", why);
    SetError(TW_SSL_ERR_PROTOCOL, why);
    m_broken.store(true);
    CloseSocket();
    return TwSslSendResult::kFailed;
}

bool TwSslSession::OpenKeyId(int keyId) {
    if (m_mode != TW_SSL_MODE_SERVER || keyId < 1 || keyId > 3) return false;
    std::lock_guard<std::recursive_mutex> w(m_hSslSession_W_Lock);
    if (Slot(keyId)) return false;
    auto conn = NewConnection(keyId);
    if (!conn) return false;
    {
        std::lock_guard<std::mutex> lock(m_hSslConnection_Lock);
        m_slots[static_cast<std::size_t>(keyId)] = conn;
    }
    // A hello request on the new key id: the client makes a connection for it and starts a
    // handshake of its own (the request itself is ignored during that handshake).
    const std::uint8_t hello[] = {
        static_cast<std::uint8_t>(kContentHandshake | (keyId << 6)), 3, 1, 0, 4, 0, 0, 0, 0};
    return m_transport->Send(hello, sizeof hello);
}

int TwSslSession::RequestClientCertificate(const char* expectedName, bool require) {
    if (m_mode != TW_SSL_MODE_SERVER) return 0;
    std::lock_guard<std::recursive_mutex> w(m_hSslSession_W_Lock);
    auto conn = Active();
    if (!conn || !conn->complete) return 0;
    {
        std::lock_guard<std::mutex> lock(m_hSslConnection_Lock);
        m_expectedName = expectedName ? std::string(expectedName).substr(0, 256) : std::string();
    }
    m_clientCertRequested = true;
    SSL_set_verify(conn->ssl, require ? (SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT) : SSL_VERIFY_PEER,
                   VerifyCertificateCallback);
    unsigned int sid = static_cast<unsigned int>(getpid()) + 1;
    SSL_set_session_id_context(conn->ssl, reinterpret_cast<unsigned char*>(&sid), sizeof sid);
    m_renegotiatingKeyId = conn->keyId;
    m_rehandshake.store(TW_REHANDSHAKE_REQUESTED);
    // The hello request goes out now; the connection keeps carrying data while the client
    // answers it (see CheckRenegotiation).
    if (SSL_renegotiate(conn->ssl) != 1 || SSL_do_handshake(conn->ssl) != 1) {
        SetOpenSslError(TW_REHANDSHAKE_FAILED);
        ERR_clear_error();
        m_rehandshake.store(TW_REHANDSHAKE_FAILED);
        return 0;
    }
    Flush(*conn);
    return 1;
}

}  // namespace tamberk
