// The client's settings kept across a reinstall: the settings key's values written to
// "QelConfig.ini" in the install folder and read back. Best effort row by row: a row that fails is
// logged (its name, never its value) and the next one is done.
//
// The file holds the remembered and the proxy password (scrambled): it is made readable by root
// alone before anything is written into it. Not thread-safe against a second saver.
#pragma once
#include <string>

#include "platform/client_settings.h"
#include "platform/settings_store.h"
#include "platform/types.h"

namespace caddow {

using platform::client_settings::kClientKey;
constexpr const char* kInstallDirValue = platform::client_settings::kInstallDir;
constexpr const char* kConfigFileName = "QelConfig.ini";

struct ConfigRow {
    const char* section;
    const char* key;
    DWORD type;  // REG_SZ or REG_DWORD
};
// The rows in the file's order (SERVER, PROXY, USER).
constexpr ConfigRow kConfigRows[] = {
    {"SERVER", platform::client_settings::kServerAddr, platform::REG_SZ},
    {"SERVER", platform::client_settings::kServerPortNum, platform::REG_DWORD},
    {"SERVER", platform::client_settings::kUpdateServerAddr, platform::REG_SZ},
    {"SERVER", platform::client_settings::kUpdateServerPort, platform::REG_DWORD},
    {"PROXY", platform::client_settings::kUseProxy, platform::REG_SZ},
    {"PROXY", platform::client_settings::kProxyAddr, platform::REG_SZ},
    {"PROXY", platform::client_settings::kProxyPort, platform::REG_SZ},
    {"PROXY", platform::client_settings::kUseProxyAuth, platform::REG_SZ},
    {"PROXY", platform::client_settings::kProxyUser, platform::REG_SZ},
    {"PROXY", platform::client_settings::kProxyPass, platform::REG_SZ},
    {"USER", "RemId", platform::REG_DWORD},
    {"USER", platform::client_settings::kAutoExec, platform::REG_DWORD},
    {"USER", platform::client_settings::kNoResourcePage, platform::REG_DWORD},
    {"USER", platform::client_settings::kQelUsername, platform::REG_SZ},
    {"USER", platform::client_settings::kQelPassword, platform::REG_SZ},
};

// "<InstallDir>/QelConfig.ini"; empty (logged under `tag`) when InstallDir is missing or not an
// absolute path.
std::string ConfigFilePath(platform::SettingsStore& store, const char* tag);

void SaveQelConfig(platform::SettingsStore& store);
void RestoreQelConfig(platform::SettingsStore& store);

}  // namespace caddow
