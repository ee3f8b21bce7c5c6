// Saving and restoring the client's settings through "QelConfig.ini".
#include "caddow/qel_config.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "caddow/setup_name.h"
#include "dailylog/shared_daily_log.h"
#include "platform/private_profile.h"
#include "platform/unique_fd.h"

namespace caddow {
namespace {

constexpr DWORD kValueBufferSize = 512;

// Creates the file for root alone, or takes an existing one down to that, before a password is in it.
bool PrepareConfigFile(const std::string& path) {
    platform::UniqueFd fd(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    struct stat st {};
    if (!fd || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) || ::fchmod(fd.Get(), 0600) != 0) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[SaveQelConfig] %s cannot be prepared, errno %d", path.c_str(), errno);
        return false;
    }
    return true;
}

bool KeyInFile(const ConfigRow& row, const std::string& path) {
    std::vector<char> keys(8192);
    const DWORD n = platform::GetPrivateProfileString(row.section, nullptr, "", keys.data(),
                                                      static_cast<DWORD>(keys.size()), path.c_str());
    for (DWORD at = 0; at < n && keys[at] != '\0';) {
        const char* key = &keys[at];
        if (::strcasecmp(key, row.key) == 0) return true;
        at += static_cast<DWORD>(std::strlen(key)) + 1;
    }
    return false;
}

void RestoreRow(platform::SettingsStore& store, const ConfigRow& row, const std::string& path) {
    if (!KeyInFile(row, path)) return;
    char text[kValueBufferSize + 1] = {};
    platform::GetPrivateProfileString(row.section, row.key, "", text, sizeof(text), path.c_str());
    LONG rc = 0;
    if (row.type == platform::REG_DWORD) {
        std::uint32_t value = 0;
        if (!ParseConfigNumber(text, &value)) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[RestoreQelConfig] %s is not a number, skipped", row.key);
            return;
        }
        rc = store.SetDword(kClientKey, row.key, value);
    } else {
        rc = store.SetString(kClientKey, row.key, text);
    }
    if (rc == platform::kRegOk) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[RestoreQelConfig] %s restored", row.key);
    } else {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[RestoreQelConfig] %s failed, error %d", row.key, static_cast<int>(rc));
    }
}

}  // namespace

std::string ConfigFilePath(platform::SettingsStore& store, const char* tag) {
    std::string dir;
    const LONG rc = store.GetString(kClientKey, kInstallDirValue, &dir);
    if (rc != platform::kRegOk || dir.empty() || dir[0] != '/') {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "%s InstallDir cannot be read, error %d", tag, static_cast<int>(rc));
        return {};
    }
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir + "/" + kConfigFileName;
}

void SaveQelConfig(platform::SettingsStore& store) {
    if (store.OpenKey(kClientKey) != platform::kRegOk) return;
    const std::string path = ConfigFilePath(store, "[SaveQelConfig]");
    if (path.empty() || !PrepareConfigFile(path)) return;
    for (const ConfigRow& row : kConfigRows) {
        char text[kValueBufferSize + 16] = {};
        LONG rc = 0;
        if (row.type == platform::REG_DWORD) {
            DWORD value = 0;
            rc = store.GetDword(kClientKey, row.key, &value);
            if (rc == platform::kRegOk) std::snprintf(text, sizeof(text), "%d", static_cast<int>(value));
        } else {
            DWORD type = 0;
            DWORD size = kValueBufferSize;
            rc = store.QueryValue(kClientKey, row.key, &type, text, &size);
            if (rc == platform::kRegOk && type != platform::REG_SZ) rc = platform::kRegUnsupportedType;
            text[kValueBufferSize] = '\0';
        }
        if (rc != platform::kRegOk) {
            if (rc != platform::kRegFileNotFound)
                TW_LOG(LOG_CLIENT_LOGIN, 4, "[SaveQelConfig] %s cannot be read, error %d", row.key,
                       static_cast<int>(rc));
            continue;
        }
        if (!platform::WritePrivateProfileString(row.section, row.key, text, path.c_str())) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[SaveQelConfig] %s cannot be written, errno %d", row.key, errno);
        }
    }
}

void RestoreQelConfig(platform::SettingsStore& store) {
    if (store.OpenKey(kClientKey) != platform::kRegOk) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[RestoreQelConfig] the settings key cannot be opened");
        return;
    }
    const std::string path = ConfigFilePath(store, "[RestoreQelConfig]");
    if (path.empty()) return;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[RestoreQelConfig] %s does not exist", path.c_str());
        return;
    }
    for (const char* section : {"SERVER", "USER", "PROXY"}) {
        for (const ConfigRow& row : kConfigRows) {
            if (std::strcmp(row.section, section) == 0) RestoreRow(store, row, path);
        }
    }
    if (::unlink(path.c_str()) != 0)
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[RestoreQelConfig] %s cannot be deleted, errno %d", path.c_str(), errno);
}

}  // namespace caddow
