#include "cert_text.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/objects.h>

#include <cctype>

namespace tamberk {

namespace {

std::string Entry(const X509_NAME* name, int nid) {
    int index = X509_NAME_get_index_by_NID(name, nid, -1);
    if (index < 0) return {};
    const ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index));
    unsigned char* utf8 = nullptr;
    int len = ASN1_STRING_to_UTF8(&utf8, data);
    if (len < 0) return {};
    std::string text(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(len));
    OPENSSL_free(utf8);
    return text;
}

}  // namespace

std::string NameText(const X509_NAME* name) {
    std::string out;
    if (!name) return out;
    struct Part {
        int nid;
        const char* prefix;
    };
    static const Part parts[] = {{NID_countryName, "C="},       {NID_localityName, "/L="},
                                 {NID_organizationName, "/O="}, {NID_organizationalUnitName, "/OU="},
                                 {NID_commonName, "/CN="},      {NID_pkcs9_emailAddress, "/E="}};
    for (const Part& part : parts) {
        if (X509_NAME_get_index_by_NID(name, part.nid, -1) < 0) continue;
        out += part.prefix;
        out += Entry(name, part.nid);
    }
    return out;
}

std::string CommonName(const X509_NAME* name) { return name ? Entry(name, NID_commonName) : std::string(); }

std::string TimeText(const ASN1_TIME* time) {
    if (!time) return "[invalid date]";
    BIO* bio = BIO_new(BIO_s_mem());
    if (!bio) return "[invalid date]";
    std::string text = "[invalid date]";
    if (ASN1_TIME_print(bio, time) > 0) {
        char* data = nullptr;
        long len = BIO_get_mem_data(bio, &data);
        if (len > 0) text.assign(data, static_cast<std::size_t>(len));
    }
    BIO_free(bio);
    return text;
}

std::string SerialText(const X509* cert) {
    const ASN1_INTEGER* serial = X509_get0_serialNumber(cert);
    BIGNUM* bn = serial ? ASN1_INTEGER_to_BN(serial, nullptr) : nullptr;
    if (!bn) return "0";
    char* dec = BN_bn2dec(bn);
    std::string text = dec ? dec : "0";
    OPENSSL_free(dec);
    BN_free(bn);
    return text;
}

std::string SerialHex(const X509* cert) {
    const ASN1_INTEGER* serial = X509_get0_serialNumber(cert);
    if (!serial) return {};
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    const unsigned char* p = ASN1_STRING_get0_data(serial);
    for (int i = 0; i < ASN1_STRING_length(serial); ++i) {
        hex += digits[p[i] >> 4];
        hex += digits[p[i] & 0xF];
    }
    return hex;
}

std::string Sha256Fingerprint(const X509* cert) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (cert == nullptr || X509_digest(cert, EVP_sha256(), md, &length) != 1) return {};
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        if (i > 0) text += ':';
        text += digits[md[i] >> 4];
        text += digits[md[i] & 0xF];
    }
    return text;
}

std::string SafeFileName(const std::string& name) {
    std::string out;
    for (const char byte : name) {
        const auto ch = static_cast<unsigned char>(byte);
        bool keep = std::isalnum(ch) || ch == '-' || ch == '_' || ch == '.' || ch == ' ';
        out += keep ? static_cast<char>(ch) : '_';
    }
    if (out.size() > 128) out.resize(128);
    if (out.empty() || out.find_first_not_of('.') == std::string::npos || out[0] == '.')
        out.insert(0, "cert_");
    return out;
}

const char* VerifyResultName(long result) {
    static const char* const names[] = {"X509_V_OK",
                                        nullptr,
                                        "X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT",
                                        "X509_V_ERR_UNABLE_TO_GET_CRL",
                                        "X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE",
                                        "X509_V_ERR_UNABLE_TO_DECRYPT_CRL_SIGNATURE",
                                        "X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY",
                                        "X509_V_ERR_CERT_SIGNATURE_FAILURE",
                                        "X509_V_ERR_CRL_SIGNATURE_FAILURE",
                                        "X509_V_ERR_CERT_NOT_YET_VALID",
                                        "X509_V_ERR_CERT_HAS_EXPIRED",
                                        "X509_V_ERR_CRL_NOT_YET_VALID",
                                        "X509_V_ERR_CRL_HAS_EXPIRED",
                                        "X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD",
                                        "X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD",
                                        "X509_V_ERR_ERROR_IN_CRL_LAST_UPDATE_FIELD",
                                        "X509_V_ERR_ERROR_IN_CRL_NEXT_UPDATE_FIELD",
                                        "X509_V_ERR_OUT_OF_MEM",
                                        "X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT",
                                        "X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN",
                                        "X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY",
                                        "X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE",
                                        "X509_V_ERR_CERT_CHAIN_TOO_LONG",
                                        "X509_V_ERR_CERT_REVOKED",
                                        "X509_V_ERR_INVALID_CA",
                                        "X509_V_ERR_PATH_LENGTH_EXCEEDED",
                                        "X509_V_ERR_INVALID_PURPOSE",
                                        "X509_V_ERR_CERT_UNTRUSTED",
                                        "X509_V_ERR_CERT_REJECTED",
                                        "X509_V_ERR_SUBJECT_ISSUER_MISMATCH",
                                        "X509_V_ERR_AKID_SKID_MISMATCH",
                                        "X509_V_ERR_AKID_ISSUER_SERIAL_MISMATCH",
                                        "X509_V_ERR_KEYUSAGE_NO_CERTSIGN"};
    if (result == 50) return "X509_V_ERR_APPLICATION_VERIFICATION";
    if (result < 0 || result >= static_cast<long>(sizeof names / sizeof names[0]) || !names[result])
        return "Unknown result";
    return names[result];
}

}  // namespace tamberk
