#include "cert_verify.h"

#include <openssl/x509.h>
#include <strings.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "cert_text.h"
#include "ssl_engine.h"
#include "ssl_session.h"
#include "tls_log.h"

namespace tamberk {

namespace {

bool IsSelfSignedOrOk(int err) {
    return err == X509_V_OK || err == X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT ||
           err == X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN;
}

bool HashFileExists(const std::string& folder, X509* cert) {
    char name[32];
    std::snprintf(name, sizeof name, "%08lx.0", X509_subject_name_hash(cert));
    struct stat st {};
    return !folder.empty() && ::stat((folder + "/" + name).c_str(), &st) == 0;
}

std::string WarningText(X509* cert, int err) {
    // The same lines the user has always been shown for a certificate we cannot verify.
    char text[2048];
    std::snprintf(
        text, sizeof text,
        "OpenSSL不能验证对方的证书\n\n- 版本: %ld\n- 序号: %s\n- 开始日期: %s\n- 失效日期: %s\n- 主题: %s\n"
        "- 发行者: %s\n\n错误原因为: %s\n -%s\n",
        X509_get_version(cert) + 1, SerialText(cert).c_str(), TimeText(X509_get0_notBefore(cert)).c_str(),
        TimeText(X509_get0_notAfter(cert)).c_str(), CommonName(X509_get_subject_name(cert)).c_str(),
        CommonName(X509_get_issuer_name(cert)).c_str(), VerifyResultName(err),
        X509_verify_cert_error_string(err));
    return text;
}

int VerifyNonLeaf(TwSslSession& session, TwSslEngine& engine, X509_STORE_CTX* store, int depth, int err) {
    X509* cert = X509_STORE_CTX_get_current_cert(store);
    std::string subject = cert ? CommonName(X509_get_subject_name(cert)) : std::string();
    if (!IsSelfSignedOrOk(err)) {
        TLS_LOG(kLogError,
                "[VerifyCertificateCallback] Can't verify non-leaf certificate, Depth = %d, Error = %d, "
                "szSubjectName = %s",
                depth, err, subject.c_str());
        return 0;
    }
    if (session.Mode() != TW_SSL_MODE_SERVER) return -1;  // client: go on with the peer's own
    TLS_LOG(kLogInfo, "[VerifyCertificateCallback] Self-signed certificate, Depth = %d, szSubjectName = %s",
            depth, subject.c_str());
    if (cert && HashFileExists(engine.TrustedCaPath(), cert)) {
        TLS_LOG(kLogInfo, "[VerifyCertificateCallback] Self-signed certificate, trusted");
        return 1;
    }
    TLS_LOG(kLogError, "[VerifyCertificateCallback] Self-signed certificate, not trusted");
    X509_STORE_CTX_set_error(store, X509_V_ERR_CERT_UNTRUSTED);
    return 0;
}

}  // namespace

int VerifyCertificateCallback(int /*preverify*/, X509_STORE_CTX* store) {
    auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    TwSslConnection* conn = TwSslConnection::FromSsl(ssl);
    if (!conn) {
        TLS_LOG(kLogError, "[VerifyCertificateCallback] pSslConnection == NULL, return FALSE");
        return 0;
    }
    if (!conn->session) {
        TLS_LOG(kLogError, "[VerifyCertificateCallback] pSslSession == NULL, return FALSE");
        return 0;
    }
    TwSslSession& session = *conn->session;
    TwSslEngine& engine = session.Engine();
    if (session.invalidPeerCertificate.load()) {
        TLS_LOG(kLogError,
                "[VerifyCertificateCallback] pSslSession->m_bInvalidPeerCertificate, return FALSE");
        return 0;
    }
    const TwCertificateVerificationPolicy policy = engine.Policy();
    int err = X509_STORE_CTX_get_error(store);
    int depth = X509_STORE_CTX_get_error_depth(store);
    if (depth > static_cast<int>(policy.VerifyDepth)) {
        X509_STORE_CTX_set_error(store, X509_V_ERR_CERT_CHAIN_TOO_LONG);
        TLS_LOG(kLogError,
                "[VerifyCertificateCallback] Depth=%d, policy.VerifyDepth=%d, X509_V_ERR_CERT_CHAIN_TOO_LONG",
                depth, static_cast<int>(policy.VerifyDepth));
        return 0;
    }
    if (depth > 0) {
        int answer = VerifyNonLeaf(session, engine, store, depth, err);
        if (answer >= 0) return answer;
    }
    X509* cert = X509_STORE_CTX_get_current_cert(store);
    std::string commonName = cert ? CommonName(X509_get_subject_name(cert)) : std::string();
    if (session.Mode() == TW_SSL_MODE_SERVER) {
        if (IsSelfSignedOrOk(err)) {
            if (strcasecmp(commonName.c_str(), session.ExpectedClientName().c_str()) != 0) {
                X509_STORE_CTX_set_error(store, X509_V_ERR_SUBJECT_ISSUER_MISMATCH);
                TLS_LOG(kLogError,
                        "[VerifyCertificateCallback] Client certificate subject name != account name, return "
                        "false");
                return 0;
            }
            X509_STORE_CTX_set_error(store, X509_V_OK);
            TLS_LOG(kLogInfo,
                    "[VerifyCertificateCallback] Set pX509StoreCtx->error = X509_V_OK, return TRUE");
            return 1;
        }
        TLS_LOG(kLogError, "[VerifyCertificateCallback] pSslSession->m_RehandshakeStatus = %d, return FALSE",
                session.RehandshakeStatus());
        return 0;
    }
    if (err == X509_V_OK) {
        TLS_LOG(kLogDebug, "[VerifyCertificateCallback] Error == X509_V_OK, return TRUE");
        return 1;
    }
    if (IsSelfSignedOrOk(err)) {
        X509_STORE_CTX_set_error(store, X509_V_OK);
        TLS_LOG(kLogInfo,
                "[VerifyCertificateCallback] Self-signed certificate, Set pX509StoreCtx->error = X509_V_OK, "
                "return TRUE");
        return 1;
    }
    if (policy.AlwaysContinue == 1) {
        X509_STORE_CTX_set_error(store, X509_V_OK);
        TLS_LOG(kLogInfo, "[VerifyCertificateCallback] m_policy.AlwaysContinue == TRUE, return TRUE");
        return 1;
    }
    if (cert) {
        std::string text = WarningText(cert, err);
        TLS_LOG(kLogError, "[VerifyCertificateCallback] Cert Error. %s", text.c_str());
        engine.NotifyUser(text);
    }
    session.invalidPeerCertificate.store(true);
    return 0;
}

void SslConnectionInfoCallback(const SSL* ssl, int where, int value) {
    if ((where & SSL_CB_ALERT) == 0 || (where & SSL_CB_READ) == 0) return;
    TwSslConnection* conn = TwSslConnection::FromSsl(ssl);
    if (!conn || !conn->session) return;
    int level = value >> 8;
    int description = value & 0xFF;
    conn->session->SetAlert(level, description);
    TLS_LOG(kLogInfo, "[SslConnectionInfoCallback] SSL3 alert %s:%s:%s", "read",
            SSL_alert_type_string_long(value), SSL_alert_desc_string_long(value));
    if (description == 0 || level == 2) conn->session->peerClosing.store(true);
}

}  // namespace tamberk
