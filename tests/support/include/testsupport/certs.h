// Certificates made for the tests through OpenSSL's API: CAs, chains, leaves with chosen
// validity, written as PEM files into a folder of the test's own.
#pragma once
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <string>
#include <vector>

namespace testsupport {

struct CertKey {
    X509* cert = nullptr;
    EVP_PKEY* key = nullptr;
    CertKey() = default;
    CertKey(const CertKey&) = delete;
    CertKey& operator=(const CertKey&) = delete;
    CertKey(CertKey&& o) noexcept : cert(o.cert), key(o.key) {
        o.cert = nullptr;
        o.key = nullptr;
    }
    ~CertKey();
};

// issuer null: self-signed. Validity from now+notBeforeDays to now+notAfterDays.
CertKey MakeCert(const std::string& commonName, const CertKey* issuer, bool isCa, long notBeforeDays = -1,
                 long notAfterDays = 365, long serial = 0);
void WritePem(const std::string& path, const CertKey& ck, bool withKey);
void WriteKeyPem(const std::string& path, const CertKey& ck);
std::string SerialHexOf(const CertKey& ck);

}  // namespace testsupport
