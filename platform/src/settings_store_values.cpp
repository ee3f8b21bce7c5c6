// The typed conveniences of the settings store, over SetValue and QueryValue.
#include <cstring>

#include "platform/settings_store.h"

namespace platform {

namespace {
constexpr DWORD kRegExpandSz = 2;
}  // namespace

LONG SettingsStore::SetString(const std::string& keyPath, const std::string& name, const std::string& value) {
    return SetValue(keyPath, name, REG_SZ, value.c_str(), static_cast<DWORD>(value.size() + 1));
}

LONG SettingsStore::GetString(const std::string& keyPath, const std::string& name, std::string* value) {
    std::vector<std::uint8_t> raw;
    DWORD type = REG_NONE;
    LONG rc = kRegMoreData;
    // The value may change between the size query and the read; ask again when it grew.
    for (int attempt = 0; attempt < 5 && rc == kRegMoreData; ++attempt) {
        DWORD size = 0;
        rc = QueryValue(keyPath, name, &type, nullptr, &size);
        if (rc != kRegOk) {
            return rc;
        }
        raw.resize(size);
        rc = QueryValue(keyPath, name, &type, raw.data(), &size);
        raw.resize(rc == kRegOk ? size : 0);
    }
    if (rc != kRegOk) {
        return rc;
    }
    if (type != REG_SZ && type != kRegExpandSz) {
        return kRegUnsupportedType;
    }
    std::string s(raw.begin(), raw.end());
    std::size_t zero = s.find('\0');
    if (zero != std::string::npos) {
        s.resize(zero);
    }
    if (value != nullptr) {
        *value = std::move(s);
    }
    return kRegOk;
}

LONG SettingsStore::SetDword(const std::string& keyPath, const std::string& name, DWORD value) {
    return SetValue(keyPath, name, REG_DWORD, &value, sizeof value);
}

LONG SettingsStore::GetDword(const std::string& keyPath, const std::string& name, DWORD* value) {
    DWORD type = REG_NONE;
    DWORD v = 0;
    DWORD size = sizeof v;
    LONG rc = QueryValue(keyPath, name, &type, &v, &size);
    if (rc == kRegMoreData) {
        return kRegUnsupportedType;
    }
    if (rc != kRegOk) {
        return rc;
    }
    if ((type != REG_DWORD && type != REG_BINARY) || size != sizeof v) {
        return kRegUnsupportedType;
    }
    if (value != nullptr) {
        *value = v;
    }
    return kRegOk;
}

LONG SettingsStore::SetBinary(const std::string& keyPath, const std::string& name,
                              const std::vector<std::uint8_t>& v) {
    return SetValue(keyPath, name, REG_BINARY, v.data(), static_cast<DWORD>(v.size()));
}

LONG SettingsStore::GetBinary(const std::string& keyPath, const std::string& name,
                              std::vector<std::uint8_t>* v) {
    std::vector<std::uint8_t> raw;
    LONG rc = kRegMoreData;
    for (int attempt = 0; attempt < 5 && rc == kRegMoreData; ++attempt) {
        DWORD size = 0;
        rc = QueryValue(keyPath, name, nullptr, nullptr, &size);
        if (rc != kRegOk) {
            return rc;
        }
        raw.resize(size);
        rc = QueryValue(keyPath, name, nullptr, raw.data(), &size);
        raw.resize(rc == kRegOk ? size : 0);
    }
    if (rc == kRegOk && v != nullptr) {
        *v = std::move(raw);
    }
    return rc;
}

}  // namespace platform
