// The per-category level table in the settings store ("SOFTWARE\\Morvane" LogLevel, REG_BINARY).
#include <strings.h>

#include <cstdint>
#include <string>

#include "daily_log_internal.h"
#include "dailylog/shared_daily_log.h"
#include "platform/settings_store.h"

namespace {

using dailylog::kLevelBytes;
using dailylog::kLevelEntries;

struct LevelTable {
    std::uint32_t entry[kLevelEntries] = {};
};

std::uint32_t Category(std::uint32_t entry) { return entry >> 16; }
std::uint32_t Level(std::uint32_t entry) { return entry & 0xFFFF; }

// Reads LogLevel into a zeroed table: a shorter value leaves the remaining entries zero, a longer
// one cannot be read and counts as missing.
bool ReadTable(LevelTable* table) {
    auto store = platform::SettingsStore::Machine();
    if (!store) return false;
    unsigned char raw[kLevelBytes] = {};
    DWORD size = sizeof raw;
    if (store->QueryValue(dailylog::kLevelKey, dailylog::kLevelValue, nullptr, raw, &size) !=
        platform::kRegOk) {
        return false;
    }
    for (int i = 0; i < kLevelEntries; ++i) {
        table->entry[i] = std::uint32_t{raw[4 * i]} | std::uint32_t{raw[4 * i + 1]} << 8 |
                          std::uint32_t{raw[4 * i + 2]} << 16 | std::uint32_t{raw[4 * i + 3]} << 24;
    }
    return true;
}

LevelTable DefaultTable() {
    LevelTable t;
    for (int i = 0; i < kLevelEntries; ++i) t.entry[i] = (1u << (16 + i)) | dailylog::kDefaultThreshold;
    return t;
}

}  // namespace

bool SharedDailyLog::ReadCategoryLevel(int category, unsigned* level) {
    LevelTable table;
    if (!ReadTable(&table)) return false;
    for (std::uint32_t entry : table.entry) {
        if (Category(entry) == static_cast<std::uint32_t>(category)) {
            if (level != nullptr) *level = Level(entry);
            return true;
        }
    }
    return false;
}

bool SharedDailyLog::ShouldLog(int category, unsigned level) {
    if ((category & (LOG_ALWAYS_40 | LOG_ALWAYS_80)) != 0) return true;
    unsigned threshold = dailylog::kDefaultThreshold;
    if (!ReadCategoryLevel(category, &threshold)) return level >= dailylog::kDefaultThreshold;
    return threshold != 0 && level >= threshold;
}

bool SharedDailyLog::SetCategoryLevel(int mask, unsigned level) {
    auto store = platform::SettingsStore::Machine();
    if (!store || store->OpenKey(dailylog::kLevelKey) != platform::kRegOk) return false;
    LevelTable table;
    if (!ReadTable(&table)) table = DefaultTable();
    for (std::uint32_t& entry : table.entry) {
        if ((Category(entry) & static_cast<std::uint32_t>(mask)) != 0)
            entry = (entry & 0xFFFF0000u) | (level & 0xFFFF);
    }
    unsigned char raw[kLevelBytes];
    for (int i = 0; i < kLevelEntries; ++i) {
        for (int b = 0; b < 4; ++b) raw[4 * i + b] = static_cast<unsigned char>(table.entry[i] >> (8 * b));
    }
    return store->SetValue(dailylog::kLevelKey, dailylog::kLevelValue, platform::REG_BINARY, raw,
                           sizeof raw) == platform::kRegOk;
}

bool SharedDailyLog::SetCategoryLevelByName(const char* name, unsigned level) {
    static const struct {
        const char* name;
        int mask;
    } kNames[] = {{"clientlogin", LOG_CLIENT_LOGIN},
                  {"clientdata", LOG_CLIENT_DATA},
                  {"sslstates", LOG_SSL_STATES},
                  {"pluginlogin", LOG_PLUGIN_LOGIN},
                  {"plugindata", LOG_PLUGIN_DATA | LOG_DEBUGGER},
                  {"all", 0x3F}};
    if (name == nullptr || level > dailylog::kMaxLevel) return false;
    for (const auto& n : kNames) {
        if (::strcasecmp(name, n.name) == 0) return SetCategoryLevel(n.mask, level);
    }
    return false;
}

int SharedDailyLog::DumpCategoryLevels(char* buffer, unsigned* size) {
    static const struct {
        const char* label;
        int category;
    } kLines[] = {{"ClientLogin ", LOG_CLIENT_LOGIN},
                  {"ClientData  ", LOG_CLIENT_DATA},
                  {"SslStates   ", LOG_SSL_STATES},
                  {"PluginLogin ", LOG_PLUGIN_LOGIN},
                  {"PluginData  ", LOG_PLUGIN_DATA}};
    std::string text;
    for (const auto& l : kLines) {
        unsigned level = dailylog::kDefaultThreshold;
        if (!ReadCategoryLevel(l.category, &level)) level = dailylog::kDefaultThreshold;
        text += l.label;  // "%s%d\n": the level as a signed decimal
        text += std::to_string(static_cast<int>(level));
        text += '\n';
    }
    return dailylog::CopyOut(text, buffer, size) ? 1 : 0;
}
