#include "platform/client_settings.h"
#include "vorn/dialogs/dialog_rules.h"

#include <strings.h>

#include <cstring>
#include <vector>

#include "tamberk/ssl_certificate_manager.h"
#include "vorn/text_source.h"

namespace vorn {

std::string ScramblePassword(const std::string& plain) {
    if (plain.empty()) return {};
    char* s = TwSslCertificateManager::Encrypt(plain.c_str());
    if (!s) return {};
    std::string out(s);
    delete[] s;
    return out;
}

std::string UnscramblePassword(const std::string& scrambled) {
    if (scrambled.empty()) return {};
    std::vector<char> buffer(scrambled.begin(), scrambled.end());
    buffer.push_back('\0');
    TwSslCertificateManager::Decrypt(buffer.data());
    std::string out(buffer.data());
    std::fill(buffer.begin(), buffer.end(), '\0');
    return out;
}

bool AddressCharsAllowed(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        c == '-' || c == '.' || c == '/' || c == ':';
        if (!ok) return false;
    }
    return true;
}

bool ParsePort(const std::string& text, int* port) {
    if (text.empty() || text.size() > 5) return false;
    int n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + (c - '0');
    }
    if (n < 1 || n > 65535) return false;
    *port = n;
    return true;
}

void SplitHostPort(const std::string& text, std::string* host, std::string* portText,
                   const std::string& noColonPort) {
    const std::size_t colon = text.empty() ? std::string::npos : text.find(':', 1);
    if (colon == std::string::npos) {
        *host = text;
        *portText = noColonPort;
    } else {
        *host = text.substr(0, colon);
        *portText = text.substr(colon + 1);
    }
}

ProxySettings ReadProxySettings(platform::SettingsStore& store) {
    ProxySettings p;
    std::string v;
    p.useProxy =
        store.GetString(kClientKey, platform::client_settings::kUseProxy, &v) == platform::kRegOk && IsYes(v);
    p.useAuth =
        store.GetString(kClientKey, platform::client_settings::kUseProxyAuth, &v) == platform::kRegOk &&
        IsYes(v);
    p.hasAddress =
        store.GetString(kClientKey, platform::client_settings::kProxyAddr, &p.address) == platform::kRegOk;
    p.hasPort =
        store.GetString(kClientKey, platform::client_settings::kProxyPort, &p.port) == platform::kRegOk;
    p.hasUser =
        store.GetString(kClientKey, platform::client_settings::kProxyUser, &p.user) == platform::kRegOk;
    p.hasPassword =
        store.GetString(kClientKey, platform::client_settings::kProxyPass, &p.password) == platform::kRegOk;
    return p;
}

}  // namespace vorn
