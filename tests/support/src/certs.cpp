#include "testsupport/certs.h"

#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <filesystem>
#include <stdexcept>

namespace testsupport {

CertKey::~CertKey() {
    X509_free(cert);
    EVP_PKEY_free(key);
}

namespace {
void AddExt(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (!ext) throw std::runtime_error("extension");
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}
}  // namespace

CertKey MakeCert(const std::string& commonName, const CertKey* issuer, bool isCa, long notBeforeDays,
                 long notAfterDays, long serial) {
    static long nextSerial = 1000;
    CertKey ck;
    ck.key = EVP_RSA_gen(2048);
    ck.cert = X509_new();
    X509_set_version(ck.cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(ck.cert), serial ? serial : nextSerial++);
    X509_gmtime_adj(X509_getm_notBefore(ck.cert), notBeforeDays * 86400L);
    X509_gmtime_adj(X509_getm_notAfter(ck.cert), notAfterDays * 86400L);
    X509_NAME* name = X509_get_subject_name(ck.cert);
    X509_NAME_add_entry_by_txt(name, "C", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("CN"), -1, -1,
                               0);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Test Org"),
                               -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
    X509_set_issuer_name(ck.cert, issuer ? X509_get_subject_name(issuer->cert) : name);
    X509_set_pubkey(ck.cert, ck.key);
    X509* issuerCert = issuer ? issuer->cert : ck.cert;
    AddExt(ck.cert, issuerCert, NID_basic_constraints, isCa ? "critical,CA:TRUE" : "CA:FALSE");
    AddExt(ck.cert, issuerCert, NID_subject_key_identifier, "hash");
    if (isCa) AddExt(ck.cert, issuerCert, NID_key_usage, "critical,keyCertSign,cRLSign,digitalSignature");
    X509_sign(ck.cert, issuer ? issuer->key : ck.key, EVP_sha256());
    return ck;
}

void WritePem(const std::string& path, const CertKey& ck, bool withKey) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) throw std::runtime_error("open " + path);
    PEM_write_X509(f, ck.cert);
    if (withKey) PEM_write_PrivateKey(f, ck.key, nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(f);
}

void WriteKeyPem(const std::string& path, const CertKey& ck) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) throw std::runtime_error("open " + path);
    PEM_write_PrivateKey(f, ck.key, nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(f);
}

std::string SerialHexOf(const CertKey& ck) {
    const ASN1_INTEGER* s = X509_get0_serialNumber(ck.cert);
    std::string hex;
    char buf[3];
    for (int i = 0; i < ASN1_STRING_length(s); ++i) {
        std::snprintf(buf, sizeof buf, "%02x", ASN1_STRING_get0_data(s)[i]);
        hex += buf;
    }
    return hex;
}

}  // namespace testsupport
