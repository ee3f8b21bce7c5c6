// Client certificates from the certificate store: a folder of PEM and PKCS#12 files. The key
// that signs in the handshake is the one held there; it never leaves this process.
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "cert_text.h"
#include "platform/machine_root.h"
#include "ssl_engine.h"
#include "tls_log.h"

namespace fs = std::filesystem;

namespace tamberk {

namespace {

struct StoreEntry {
    X509* cert = nullptr;
    EVP_PKEY* key = nullptr;
    ~StoreEntry() {
        X509_free(cert);
        EVP_PKEY_free(key);
    }
};

bool Extension(const fs::path& path, std::initializer_list<const char*> names) {
    std::string ext = path.extension().string();
    return std::any_of(names.begin(), names.end(),
                       [&](const char* n) { return strcasecmp(ext.c_str(), n) == 0; });
}

EVP_PKEY* ReadKeyFile(const fs::path& path) {
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f) return nullptr;
    EVP_PKEY* key = PEM_read_PrivateKey(f, nullptr, nullptr, const_cast<char*>(""));
    std::fclose(f);
    return key;
}

bool LoadEntry(const fs::path& path, StoreEntry* entry) {
    if (Extension(path, {".p12", ".pfx"})) {
        FILE* f = std::fopen(path.c_str(), "rb");
        PKCS12* p12 = f ? d2i_PKCS12_fp(f, nullptr) : nullptr;
        if (f) std::fclose(f);
        if (!p12) return false;
        bool ok = PKCS12_parse(p12, "", &entry->key, &entry->cert, nullptr) == 1 ||
                  PKCS12_parse(p12, nullptr, &entry->key, &entry->cert, nullptr) == 1;
        PKCS12_free(p12);
        return ok && entry->cert;
    }
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f) return false;
    entry->cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    if (!entry->cert) return false;
    entry->key = ReadKeyFile(path);
    if (!entry->key) {
        fs::path sibling = path;
        entry->key = ReadKeyFile(sibling.replace_extension(".key"));
    }
    return true;
}

// Day-granular validity against today's UTC date.
bool ValidToday(const X509* cert) {
    std::time_t now = std::time(nullptr);
    std::tm today{};
    gmtime_r(&now, &today);
    auto day = [](const std::tm& t) { return (t.tm_year + 1900) * 10000 + (t.tm_mon + 1) * 100 + t.tm_mday; };
    std::tm from{}, to{};
    if (ASN1_TIME_to_tm(X509_get0_notBefore(cert), &from) != 1 ||
        ASN1_TIME_to_tm(X509_get0_notAfter(cert), &to) != 1)
        return false;
    return day(today) >= day(from) && day(today) <= day(to);
}

}  // namespace

int TwSslEngine::ChooseCertificate(const char* subject, const char* serial, unsigned char pick) {
    if (!m_ctx) return TW_CERT_CHOOSE_FAILED;
    const std::string folder = platform::CertStoreDir();
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) return TW_CERT_CHOOSE_FAILED;
    if (!pick || !subject || !serial) {
        // Choosing among the store's certificates is the user interface's part.
        TLS_LOG(kLogError, "[ChooseCertificate] no certificate named, nothing chosen");
        return TW_CERT_CHOOSE_FAILED;
    }
    const char* cn = strstr(subject, "CN=");
    std::string wanted = cn ? std::string(cn + 3).substr(0, 127) : std::string();
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(folder, ec))
        if (e.is_regular_file(ec) && Extension(e.path(), {".pem", ".crt", ".cer", ".p12", ".pfx"}))
            files.push_back(e.path());
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
        StoreEntry entry;
        if (!LoadEntry(file, &entry)) {
            ERR_clear_error();
            continue;
        }
        std::string name = CommonName(X509_get_subject_name(entry.cert));
        if (wanted.empty() || name.find(wanted) == std::string::npos) continue;
        if (strcasecmp(SerialHex(entry.cert).c_str(), serial) != 0) continue;
        if (!ValidToday(entry.cert)) {
            TLS_LOG(kLogError, "[ChooseCertificate] %s is not valid today", file.c_str());
            return TW_CERT_CHOOSE_NOT_VALID_TODAY;
        }
        if (!entry.key || SSL_CTX_use_certificate(m_ctx, entry.cert) != 1 ||
            SSL_CTX_use_PrivateKey(m_ctx, entry.key) != 1 || SSL_CTX_check_private_key(m_ctx) != 1) {
            TLS_LOG(kLogError, "[ChooseCertificate] %s has no usable private key", file.c_str());
            ERR_clear_error();
            return TW_CERT_CHOOSE_FAILED;
        }
        TLS_LOG(kLogInfo, "[ChooseCertificate] client certificate %s installed", file.c_str());
        return TW_CERT_CHOOSE_OK;
    }
    TLS_LOG(kLogError, "[ChooseCertificate] no certificate for %s with serial %s", wanted.c_str(), serial);
    return TW_CERT_CHOOSE_FAILED;
}

}  // namespace tamberk
