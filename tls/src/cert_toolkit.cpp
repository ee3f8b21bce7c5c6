// The certificate toolkit: CA certificate, requests, signing and PKCS#12 conversion, done with
// OpenSSL's API in memory (no command-line tool, no configuration or index files, no change of
// the current folder).
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>
#include <string>

#include "cert_text.h"
#include "tamberk/ssl_certificate_manager.h"

namespace {

constexpr long kValidDays = 3650;
constexpr int kKeyBits = 2048;

struct Names {
    const char* country;
    const char* locality;
    const char* organisation;
    const char* unit;
    const char* commonName;
    const char* email;
    bool AnyNull() const { return !country || !locality || !organisation || !unit || !commonName || !email; }
};

X509_NAME* MakeName(const Names& n) {
    X509_NAME* name = X509_NAME_new();
    auto add = [&](const char* field, const char* value) {
        if (value && *value)
            X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                       reinterpret_cast<const unsigned char*>(value), -1, -1, 0);
    };
    add("C", n.country);
    add("L", n.locality);
    add("O", n.organisation);
    add("OU", n.unit);
    add("CN", n.commonName);
    add("emailAddress", n.email);
    return name;
}

EVP_PKEY* NewKey() { return EVP_RSA_gen(kKeyBits); }

bool WriteKey(const char* file, EVP_PKEY* key, const char* password) {
    FILE* f = std::fopen(file, "w");
    if (!f) return false;
    const bool encrypt = password && *password;
    int ok = PEM_write_PrivateKey(f, key, encrypt ? EVP_aes_256_cbc() : nullptr, nullptr, 0, nullptr,
                                  const_cast<char*>(encrypt ? password : ""));
    std::fclose(f);
    return ok == 1;
}

bool WriteCert(const char* file, X509* cert) {
    FILE* f = std::fopen(file, "w");
    if (!f) return false;
    int ok = PEM_write_X509(f, cert);
    std::fclose(f);
    return ok == 1;
}

EVP_PKEY* ReadKey(const char* file, const char* password) {
    FILE* f = std::fopen(file, "r");
    if (!f) return nullptr;
    EVP_PKEY* key = PEM_read_PrivateKey(f, nullptr, nullptr, const_cast<char*>(password ? password : ""));
    std::fclose(f);
    return key;
}

template <class T>
T* ReadPem(const char* file, T* (*reader)(FILE*, T**, pem_password_cb*, void*)) {
    FILE* f = std::fopen(file, "r");
    if (!f) return nullptr;
    T* object = reader(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    return object;
}

bool AddExtension(X509* cert, X509* issuer, X509_REQ* req, STACK_OF(X509_EXTENSION) * list, int nid,
                  const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer, cert, req, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (!ext) return false;
    bool ok = cert ? X509_add_ext(cert, ext, -1) == 1 : sk_X509_EXTENSION_push(list, ext) > 0;
    if (cert || !ok) X509_EXTENSION_free(ext);
    return ok;
}

void RandomSerial(X509* cert) {
    unsigned char bytes[16];
    RAND_bytes(bytes, sizeof bytes);
    bytes[0] &= 0x7F;  // positive
    BIGNUM* bn = BN_bin2bn(bytes, sizeof bytes, nullptr);
    BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert));
    BN_free(bn);
}

const char* CaKeyUsage() { return "cRLSign,keyCertSign,digitalSignature,keyEncipherment,keyAgreement"; }

}  // namespace

int TwSslCertificateManager::GenerateSelfSignedCACertificate(const char* certOut, const char* keyOut,
                                                             const char* keyPassword, const char* country,
                                                             const char* locality, const char* organisation,
                                                             const char* unit, const char* commonName,
                                                             const char* email) {
    Names names{country, locality, organisation, unit, commonName, email};
    if (!certOut || !keyOut || !keyPassword || names.AnyNull()) return 0;
    EVP_PKEY* key = NewKey();
    X509* cert = X509_new();
    X509_NAME* name = MakeName(names);
    bool ok = key && cert && name;
    if (ok) {
        X509_set_version(cert, 2);
        RandomSerial(cert);
        X509_gmtime_adj(X509_getm_notBefore(cert), 0);
        X509_gmtime_adj(X509_getm_notAfter(cert), kValidDays * 24 * 3600);
        X509_set_subject_name(cert, name);
        X509_set_issuer_name(cert, name);
        X509_set_pubkey(cert, key);
        ok = AddExtension(cert, cert, nullptr, nullptr, NID_subject_key_identifier, "hash") &&
             AddExtension(cert, cert, nullptr, nullptr, NID_authority_key_identifier,
                          "keyid:always,issuer:always") &&
             AddExtension(cert, cert, nullptr, nullptr, NID_basic_constraints, "critical,CA:true") &&
             AddExtension(cert, cert, nullptr, nullptr, NID_key_usage, CaKeyUsage()) &&
             AddExtension(cert, cert, nullptr, nullptr, NID_netscape_cert_type,
                          "sslCA,server,objsign,objCA") &&
             X509_sign(cert, key, EVP_sha256()) > 0 && WriteKey(keyOut, key, keyPassword) &&
             WriteCert(certOut, cert);
    }
    X509_NAME_free(name);
    X509_free(cert);
    EVP_PKEY_free(key);
    ERR_clear_error();
    return ok ? 1 : 0;
}

int TwSslCertificateManager::BuildCertificateRequest(const char* requestOut, const char* keyOut,
                                                     const char* keyPassword, const char* country,
                                                     const char* locality, const char* organisation,
                                                     const char* unit, const char* commonName,
                                                     const char* email, int caFlag) {
    Names names{country, locality, organisation, unit, commonName, email};
    if (!requestOut || !keyOut || !keyPassword || names.AnyNull()) return 0;
    EVP_PKEY* key = NewKey();
    X509_REQ* req = X509_REQ_new();
    X509_NAME* name = MakeName(names);
    STACK_OF(X509_EXTENSION)* exts = sk_X509_EXTENSION_new_null();
    bool ok = key && req && name && exts;
    if (ok) {
        X509_REQ_set_version(req, 0);
        X509_REQ_set_subject_name(req, name);
        X509_REQ_set_pubkey(req, key);
        const bool ca = caFlag == 1;
        ok = AddExtension(nullptr, nullptr, req, exts, NID_subject_key_identifier, "hash") &&
             AddExtension(nullptr, nullptr, req, exts, NID_basic_constraints, ca ? "CA:true" : "CA:false") &&
             AddExtension(nullptr, nullptr, req, exts, NID_key_usage,
                          ca ? CaKeyUsage() : "nonRepudiation,digitalSignature,keyEncipherment") &&
             AddExtension(nullptr, nullptr, req, exts, NID_netscape_cert_type,
                          ca ? "sslCA,server,objsign,objCA" : "client,email,objsign") &&
             X509_REQ_add_extensions(req, exts) == 1 && X509_REQ_sign(req, key, EVP_sha256()) > 0 &&
             WriteKey(keyOut, key, keyPassword);
        if (ok) {
            FILE* f = std::fopen(requestOut, "w");
            ok = f && PEM_write_X509_REQ(f, req) == 1;
            if (f) std::fclose(f);
        }
    }
    sk_X509_EXTENSION_pop_free(exts, X509_EXTENSION_free);
    X509_NAME_free(name);
    X509_REQ_free(req);
    EVP_PKEY_free(key);
    ERR_clear_error();
    return ok ? 1 : 0;
}

namespace {

// countryName and organizationName must match the CA's; commonName must be supplied.
bool PolicyMatches(X509* ca, X509_REQ* req) {
    X509_NAME* caName = X509_get_subject_name(ca);
    X509_NAME* subject = X509_REQ_get_subject_name(req);
    auto text = [](X509_NAME* name, int nid) {
        int i = X509_NAME_get_index_by_NID(name, nid, -1);
        if (i < 0) return std::string("(absent)");
        const ASN1_STRING* s = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, i));
        return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                           static_cast<std::size_t>(ASN1_STRING_length(s)));
    };
    return text(caName, NID_countryName) == text(subject, NID_countryName) &&
           text(caName, NID_organizationName) == text(subject, NID_organizationName) &&
           X509_NAME_get_index_by_NID(subject, NID_commonName, -1) >= 0;
}

}  // namespace

int TwSslCertificateManager::SignCertificateRequest(const char* caCertFile, const char* caKeyFile,
                                                    const char* caKeyPassword, const char* requestFile,
                                                    const char* certOut) {
    if (!caCertFile || !caKeyFile || !caKeyPassword || !requestFile || !certOut) return 0;
    X509* ca = ReadPem<X509>(caCertFile, PEM_read_X509);
    EVP_PKEY* caKey = ReadKey(caKeyFile, caKeyPassword);
    X509_REQ* req = ReadPem<X509_REQ>(requestFile, PEM_read_X509_REQ);
    X509* cert = X509_new();
    EVP_PKEY* reqKey = req ? X509_REQ_get_pubkey(req) : nullptr;
    bool ok = ca && caKey && req && cert && reqKey && X509_REQ_verify(req, reqKey) == 1 &&
              X509_check_private_key(ca, caKey) == 1 && PolicyMatches(ca, req);
    if (ok) {
        X509_set_version(cert, 2);
        RandomSerial(cert);
        X509_gmtime_adj(X509_getm_notBefore(cert), 0);
        X509_gmtime_adj(X509_getm_notAfter(cert), kValidDays * 24 * 3600);
        X509_set_subject_name(cert, X509_REQ_get_subject_name(req));
        X509_set_issuer_name(cert, X509_get_subject_name(ca));
        X509_set_pubkey(cert, reqKey);
        ok =
            AddExtension(cert, ca, nullptr, nullptr, NID_basic_constraints, "CA:FALSE") &&
            AddExtension(cert, ca, nullptr, nullptr, NID_key_usage,
                         "nonRepudiation, digitalSignature, keyEncipherment") &&
            AddExtension(cert, ca, nullptr, nullptr, NID_netscape_comment, "OpenSSL Generated Certificate") &&
            AddExtension(cert, ca, nullptr, nullptr, NID_subject_key_identifier, "hash") &&
            AddExtension(cert, ca, nullptr, nullptr, NID_authority_key_identifier, "keyid,issuer:always") &&
            X509_sign(cert, caKey, EVP_sha256()) > 0 && WriteCert(certOut, cert);
    }
    EVP_PKEY_free(reqKey);
    X509_free(cert);
    X509_REQ_free(req);
    EVP_PKEY_free(caKey);
    X509_free(ca);
    ERR_clear_error();
    return ok ? 1 : 0;
}

int TwSslCertificateManager::ConvertCertFile(const char* inFile, const char* outFile, const char* inPassword,
                                             const char* outPassword, int exportFlag) {
    if (!inFile || !outFile) return 1;
    const char* inPass = inPassword ? inPassword : "";
    const char* outPass = outPassword ? outPassword : "";
    bool ok = false;
    if (exportFlag) {
        X509* cert = ReadPem<X509>(inFile, PEM_read_X509);
        EVP_PKEY* key = ReadKey(inFile, inPass);
        PKCS12* p12 =
            cert && key ? PKCS12_create(outPass, nullptr, key, cert, nullptr, 0, 0, 0, 0, 0) : nullptr;
        FILE* f = p12 ? std::fopen(outFile, "wb") : nullptr;
        ok = f && i2d_PKCS12_fp(f, p12) == 1;
        if (f) std::fclose(f);
        PKCS12_free(p12);
        EVP_PKEY_free(key);
        X509_free(cert);
    } else {
        FILE* in = std::fopen(inFile, "rb");
        PKCS12* p12 = in ? d2i_PKCS12_fp(in, nullptr) : nullptr;
        if (in) std::fclose(in);
        EVP_PKEY* key = nullptr;
        X509* cert = nullptr;
        STACK_OF(X509)* chain = nullptr;
        if (p12 && PKCS12_parse(p12, inPass, &key, &cert, &chain) == 1 && cert) {
            FILE* out = std::fopen(outFile, "w");
            ok = out != nullptr && PEM_write_X509(out, cert) == 1;
            for (int i = 0; ok && i < sk_X509_num(chain); ++i)
                ok = PEM_write_X509(out, sk_X509_value(chain, i)) == 1;
            if (ok && key)
                ok = PEM_write_PrivateKey(out, key, *outPass ? EVP_aes_256_cbc() : nullptr, nullptr, 0,
                                          nullptr, const_cast<char*>(outPass)) == 1;
            if (out) std::fclose(out);
        }
        sk_X509_pop_free(chain, X509_free);
        X509_free(cert);
        EVP_PKEY_free(key);
        PKCS12_free(p12);
    }
    ERR_clear_error();
    return ok ? 0 : 1;
}
