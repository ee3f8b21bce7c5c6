#include "tamberk/ssl_certificate_manager.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <strings.h>
#include <sys/stat.h>

#include <cctype>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "cert_manager_internal.h"
#include "cert_text.h"
#include "ssl_engine.h"

namespace fs = std::filesystem;

namespace tamberk {

namespace {

X509* ReadCertificate(const std::string& file) {
    FILE* f = std::fopen(file.c_str(), "r");
    if (!f) return nullptr;
    X509* cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    ERR_clear_error();
    return cert;
}

bool HasCertExtension(const fs::path& path) {
    std::string ext = path.extension().string();
    return strcasecmp(ext.c_str(), ".pem") == 0 || strcasecmp(ext.c_str(), ".crt") == 0;
}

}  // namespace

bool HashTrustedCertificateFile(const std::string& file, const std::string& folder) {
    X509* cert = ReadCertificate(file);
    if (!cert) return false;
    char name[32];
    std::snprintf(name, sizeof name, "%08lx.0", X509_subject_name_hash(cert));
    X509_free(cert);
    fs::path target = fs::path(folder) / name;
    std::error_code ec;
    if (fs::exists(target, ec)) fs::permissions(target, fs::perms::owner_write, fs::perm_options::add, ec);
    fs::copy_file(file, target, fs::copy_options::overwrite_existing, ec);
    if (ec) return false;
    fs::permissions(target, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read,
                    fs::perm_options::replace, ec);
    return true;
}

int HashTrustedCertificatesIn(const std::string& folder) {
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) fs::create_directories(folder, ec);
    int made = 0;
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(folder, ec))
        if (entry.is_regular_file(ec) && HasCertExtension(entry.path())) files.push_back(entry.path());
    for (const auto& file : files)
        if (HashTrustedCertificateFile(file.string(), folder)) ++made;
    return made;
}

}  // namespace tamberk

using namespace tamberk;

namespace {

// The scrambling key shared with the client's settings code.
constexpr char kScrambleKey[] = "~#!@*Qw2k~+=@)!=pqlrmz47k905184263390512708vobanekrilto";
constexpr std::size_t kScrambleKeyLength = sizeof kScrambleKey - 1;
static_assert(kScrambleKeyLength == 55);

char* NewText(const std::string& text) {
    char* out = new char[text.size() + 1];
    std::memcpy(out, text.c_str(), text.size() + 1);
    return out;
}

bool DecodeBase64(const char* text, std::string* out) {
    std::size_t length = std::strlen(text);
    if (length == 0 || length % 4 != 0) return false;
    for (std::size_t i = 0; i < length; ++i) {
        char c = text[i];
        bool ok = std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/' ||
                  (c == '=' && i >= length - 2);
        if (!ok || (i == length - 2 && c == '=' && text[length - 1] != '=')) return false;
    }
    std::vector<unsigned char> buffer(length / 4 * 3 + 1);
    int n = EVP_DecodeBlock(buffer.data(), reinterpret_cast<const unsigned char*>(text),
                            static_cast<int>(length));
    if (n < 0) return false;
    const std::size_t padding = text[length - 2] == '=' ? 2 : text[length - 1] == '=' ? 1 : 0;
    out->assign(reinterpret_cast<char*>(buffer.data()), static_cast<std::size_t>(n) - padding);
    return true;
}

}  // namespace

TwSslCertificateManager::TwSslCertificateManager() { OpenSslAddUser(); }
TwSslCertificateManager::~TwSslCertificateManager() { OpenSslRemoveUser(); }
TwSslCertificateManager::TwSslCertificateManager(const TwSslCertificateManager& other)
    : m_reserved(other.m_reserved) {
    OpenSslAddUser();
}
TwSslCertificateManager& TwSslCertificateManager::operator=(const TwSslCertificateManager& other) {
    m_reserved = other.m_reserved;
    return *this;
}

int TwSslCertificateManager::HashTrustedCertificates(const char* folder) {
    if (!folder || !*folder) return 0;
    return HashTrustedCertificatesIn(folder) > 0 ? 1 : 0;
}

int TwSslCertificateManager::HashTrustedCertificate(const char* certificateFile, const char* folder) {
    if (!certificateFile || !folder) return 0;
    return HashTrustedCertificateFile(certificateFile, folder) ? 1 : 0;
}

char* TwSslCertificateManager::Encrypt(const char* text) {
    if (!text || !*text) return nullptr;
    std::string bytes(text);
    // The key repeats for texts longer than itself; shorter texts scramble exactly as they
    // always did, so stored values stay readable.
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(bytes[i] ^ kScrambleKey[i % kScrambleKeyLength]);
    std::vector<unsigned char> encoded((bytes.size() + 2) / 3 * 4 + 1);
    int n = EVP_EncodeBlock(encoded.data(), reinterpret_cast<const unsigned char*>(bytes.data()),
                            static_cast<int>(bytes.size()));
    return NewText(std::string(reinterpret_cast<char*>(encoded.data()), static_cast<std::size_t>(n)));
}

void TwSslCertificateManager::Decrypt(char* text) {
    if (!text || !*text) return;
    std::string bytes;
    if (!DecodeBase64(text, &bytes)) return;
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(bytes[i] ^ kScrambleKey[i % kScrambleKeyLength]);
    // The decoded text is always shorter than its Base64 form, so it fits in place.
    std::memcpy(text, bytes.data(), bytes.size());
    text[bytes.size()] = 0;
}

int TwSslCertificateManager::VerifyServerCertificate(const char* certFile, const char* keyFile,
                                                     const char* keyPassword) {
    if (!certFile || !keyFile) return 0;
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx) return 0;
    SSL_CTX_set_default_passwd_cb(ctx, SslVerifyRsaKeyPasswordCallback);
    SSL_CTX_set_default_passwd_cb_userdata(ctx, const_cast<char*>(keyPassword ? keyPassword : ""));
    SSL_CTX_set_security_level(ctx, 0);
    int ok = SSL_CTX_use_certificate_file(ctx, certFile, SSL_FILETYPE_PEM) == 1 &&
             SSL_CTX_use_PrivateKey_file(ctx, keyFile, SSL_FILETYPE_PEM) == 1 &&
             SSL_CTX_check_private_key(ctx) == 1;
    ERR_clear_error();
    SSL_CTX_free(ctx);
    return ok;
}

int TwSslCertificateManager::SslVerifyRsaKeyPasswordCallback(char* buffer, int size, int /*flag*/,
                                                             void* password) {
    if (!buffer || !password || size <= 0) return 0;
    const char* text = static_cast<const char*>(password);
    int length = static_cast<int>(std::strlen(text));
    if (length > size - 1) length = size - 1;
    std::memcpy(buffer, text, static_cast<std::size_t>(length));
    buffer[length] = 0;
    return length;
}

int TwSslCertificateManager::VerifyCertificateSubject(const char* certFile, const char* name) {
    if (!certFile || !name) return 0;
    X509* cert = ReadCertificate(certFile);
    if (!cert) return 0;
    int equal = strcasecmp(CommonName(X509_get_subject_name(cert)).c_str(), name) == 0;
    X509_free(cert);
    return equal;
}

int TwSslCertificateManager::GetCertInfo(const char* certFile, char** subject, char** issuer, char** version,
                                         char** serial, char** notBefore, char** notAfter) {
    if (!certFile || !subject || !issuer || !version || !serial || !notBefore || !notAfter) return 0;
    X509* cert = ReadCertificate(certFile);
    if (!cert) return 0;
    *subject = NewText(NameText(X509_get_subject_name(cert)));
    *issuer = NewText(NameText(X509_get_issuer_name(cert)));
    *version = NewText(std::to_string(X509_get_version(cert) + 1));
    *serial = NewText(SerialText(cert));
    *notBefore = NewText(TimeText(X509_get0_notBefore(cert)));
    *notAfter = NewText(TimeText(X509_get0_notAfter(cert)));
    X509_free(cert);
    return 1;
}
