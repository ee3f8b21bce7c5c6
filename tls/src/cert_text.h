// Texts made from certificates: distinguished names in the "C=../L=../CN=.." form, validity
// times, serial numbers, common names, and a file-name-safe form of a name.
#pragma once
#include <openssl/x509.h>

#include <string>

namespace tamberk {

std::string NameText(const X509_NAME* name);    // "C=%s" "/L=%s" "/O=%s" "/OU=%s" "/CN=%s" "/E=%s"
std::string CommonName(const X509_NAME* name);  // "" when absent
std::string TimeText(const ASN1_TIME* time);    // "[invalid date]" when unprintable
std::string SerialText(const X509* cert);       // decimal
std::string SerialHex(const X509* cert);        // lowercase hex, two digits a byte
// SHA-256 of the DER form: 32 bytes as uppercase hex pairs joined by ':' ("" when it cannot be made).
std::string Sha256Fingerprint(const X509* cert);
// Keeps letters, digits, '-', '_', '.', ' '; anything else becomes '_'; never "", "." or "..".
std::string SafeFileName(const std::string& name);
// OpenSSL verification result names as logged ("Unknown result" for others).
const char* VerifyResultName(long result);

}  // namespace tamberk
