#include "platform/client_settings.h"
#include "trusted_certs.h"

#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <strings.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "platform/machine_root.h"
#include "platform/settings_store.h"
#include "platform/user_place.h"

namespace update_trust {

namespace {

constexpr std::uintmax_t kCertFileMax = 256 * 1024;
constexpr std::size_t kFolderFilesMax = 512;

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
struct StoreFree {
    void operator()(X509_STORE* s) const { X509_STORE_free(s); }
};
struct StoreCtxFree {
    void operator()(X509_STORE_CTX* c) const { X509_STORE_CTX_free(c); }
};

bool CertFileName(const std::string& name) {
    auto dot = name.rfind('.');
    if (dot == std::string::npos) return false;
    std::string ext = name.substr(dot + 1);
    if (strcasecmp(ext.c_str(), "pem") == 0 || strcasecmp(ext.c_str(), "crt") == 0 ||
        strcasecmp(ext.c_str(), "cer") == 0)
        return true;
    return !ext.empty() && ext.size() <= 2 && std::isdigit(static_cast<unsigned char>(ext[0]));
}

// Every certificate of one PEM text.
std::vector<std::unique_ptr<X509, X509Free>> Parse(const std::string& pem) {
    std::vector<std::unique_ptr<X509, X509Free>> out;
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    if (!bio) return out;
    while (X509* x = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) out.emplace_back(x);
    BIO_free(bio);
    return out;
}

int VerifyCallback(X509_STORE_CTX* ctx, void* arg) {
    auto* state = static_cast<VerifyState*>(arg);
    int error = X509_V_ERR_UNSPECIFIED;
    bool ok = VerifyServer(X509_STORE_CTX_get0_cert(ctx), X509_STORE_CTX_get0_untrusted(ctx), state->trusted,
                           state->host, &error);
    state->error = ok ? X509_V_OK : error;
    X509_STORE_CTX_set_error(ctx, state->error);
    return ok ? 1 : 0;
}

}  // namespace

std::string TrustedFolder() {
    std::string dir;
    auto store = platform::SettingsStore::Machine();
    if (!store ||
        store->GetString(platform::client_settings::kClientKey, platform::client_settings::kInstallDir,
                         &dir) != 0 ||
        dir.empty())
        dir = platform::DefaultInstallDir();
    while (dir.size() > 1 && (dir.back() == '/' || dir.back() == '\\')) dir.pop_back();
    // A member's client keeps the certificates it accepted in its own place; root trusts only
    // root's folder.
    return platform::UserFilePath("trusted", dir + "/trusted");
}

bool AllowUnverified() {
    if (::geteuid() == 0) return false;
    DWORD lenient = 0;
    auto store = platform::SettingsStore::Machine();
    return store && store->GetDword("SOFTWARE\\Morvane", "UpdateAllowUnverifiedServer", &lenient) == 0 &&
           lenient == 1;
}

std::vector<std::string> ReadFolder(const std::string& folder) {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        if (out.size() >= kFolderFilesMax) break;
        std::error_code fec;
        if (!entry.is_regular_file(fec) || !CertFileName(entry.path().filename().string())) continue;
        if (entry.file_size(fec) > kCertFileMax || fec) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        if (in) out.push_back(text.str());
    }
    return out;
}

bool VerifyServer(X509* leaf, STACK_OF(X509) * chain, const std::vector<std::string>& trusted,
                  const std::string& host, int* error) {
    *error = X509_V_ERR_UNSPECIFIED;
    if (!leaf) return false;
    std::unique_ptr<X509_STORE, StoreFree> store(X509_STORE_new());
    if (!store) return false;
    for (const std::string& pem : trusted) {
        for (auto& cert : Parse(pem)) {
            // A certificate the tunnel accepted is trusted as it is, whatever name it carries.
            if (X509_cmp(cert.get(), leaf) == 0) {
                *error = X509_V_OK;
                return true;
            }
            X509_STORE_add_cert(store.get(), cert.get());
        }
    }
    std::unique_ptr<X509_STORE_CTX, StoreCtxFree> ctx(X509_STORE_CTX_new());
    if (!ctx || X509_STORE_CTX_init(ctx.get(), store.get(), leaf, chain) != 1) return false;
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(ctx.get());
    X509_VERIFY_PARAM_set_flags(param, X509_V_FLAG_PARTIAL_CHAIN);
    X509_VERIFY_PARAM_set_purpose(param, X509_PURPOSE_SSL_SERVER);
    if (X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) != 1 &&
        X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size()) != 1)
        return false;
    if (X509_verify_cert(ctx.get()) == 1) {
        *error = X509_V_OK;
        return true;
    }
    *error = X509_STORE_CTX_get_error(ctx.get());
    return false;
}

void InstallVerifier(SSL_CTX* ctx, VerifyState* state) {
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_cert_verify_callback(ctx, VerifyCallback, state);
}

}  // namespace update_trust
