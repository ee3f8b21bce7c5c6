// Checks and conversions the dialogs share: the scrambled form of stored passwords, gateway and
// proxy address texts, and the proxy settings as the client's key holds them.
//
// Plain functions over their arguments; safe from any thread.
#pragma once
#include <string>

#include "engine/connector_utils.h"
#include "platform/settings_store.h"

namespace vorn {

// The remembered password's stored form (the TLS library's certificate manager does the work):
// an empty text stays empty, any other text of any length comes back whole from Unscramble.
// Unscramble leaves a text that is not in the scrambled form as it is (an old plain value).
std::string ScramblePassword(const std::string& plain);
std::string UnscramblePassword(const std::string& scrambled);

// Letters, digits, "-", ".", "/" and ":" only (and not empty).
bool AddressCharsAllowed(const std::string& text);
// The port text: digits only, 1 to 65535.
bool ParsePort(const std::string& text, int* port);
// Splits "host:port" at the first ":" after the first character; without one the port text is
// `noColonPort`.
void SplitHostPort(const std::string& text, std::string* host, std::string* portText,
                   const std::string& noColonPort);

// What the client's key holds of the proxy; each `has...` false when its value is missing.
struct ProxySettings {
    bool useProxy = false, useAuth = false;
    bool hasAddress = false, hasPort = false, hasUser = false, hasPassword = false;
    std::string address, port, user, password;
};
ProxySettings ReadProxySettings(platform::SettingsStore& store);
// "Yes" in any case.
using engine::IsYes;

}  // namespace vorn
