// The client's settings kept across a reinstall: the settings key's values written to
// "QelConfig.ini" in the install folder and read back. Best effort row by row: a row that fails is
// logged (its name, never its value) and the next one is done.
//
// The file holds the remembered and the proxy password (scrambled): it is made readable by root
// alone before anything is written into it. Not thread-safe against a second saver.
#pragma once
#include <string>

#include "platform/settings_store.h"
#include "platform/types.h"

namespace caddow {

constexpr const char* kClientKey = "Software\\Morvane\\QelClient";
constexpr const char* kInstallDirValue = "InstallDir";
constexpr const char* kConfigFileName = "QelConfig.ini";

struct ConfigRow {
    const char* section;
    const char* key;
    DWORD type;  // REG_SZ or REG_DWORD
};
// The rows in the file's order (SERVER, PROXY, USER).
constexpr ConfigRow kConfigRows[] = {
    {"SERVER", "ServerAddr", platform::REG_SZ},       {"SERVER", "ServerPortNum", platform::REG_DWORD},
    {"SERVER", "UpdateServerAddr", platform::REG_SZ}, {"SERVER", "UpdateServerPort", platform::REG_DWORD},
    {"PROXY", "UseProxy", platform::REG_SZ},          {"PROXY", "ProxyAddr", platform::REG_SZ},
    {"PROXY", "ProxyPort", platform::REG_SZ},         {"PROXY", "UseProxyAuth", platform::REG_SZ},
    {"PROXY", "ProxyUser", platform::REG_SZ},         {"PROXY", "ProxyPass", platform::REG_SZ},
    {"USER", "RemId", platform::REG_DWORD},           {"USER", "AutoExec", platform::REG_DWORD},
    {"USER", "NoResourcePage", platform::REG_DWORD},  {"USER", "QelUsername", platform::REG_SZ},
    {"USER", "QelPassword", platform::REG_SZ},
};

// "<InstallDir>/QelConfig.ini"; empty (logged under `tag`) when InstallDir is missing or not an
// absolute path.
std::string ConfigFilePath(platform::SettingsStore& store, const char* tag);

void SaveQelConfig(platform::SettingsStore& store);
void RestoreQelConfig(platform::SettingsStore& store);

}  // namespace caddow
