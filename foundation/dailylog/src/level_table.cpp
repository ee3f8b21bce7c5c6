// The per-category level table in the settings store ("SOFTWARE\\Morvane" LogLevel, REG_BINARY).
#include <strings.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>

#include "daily_log_internal.h"
#include "dailylog/shared_daily_log.h"
#include "platform/clock.h"
#include "platform/settings_store.h"

namespace {

using dailylog::kLevelBytes;
using dailylog::kLevelEntries;

struct LevelTable {
    std::uint32_t entry[kLevelEntries] = {};
};

// Bumped by every SetCategoryLevel of this process, so that its own changes apply at once.
std::atomic<std::uint64_t> g_levelGeneration{0};

std::uint32_t Category(std::uint32_t entry) { return entry >> 16; }
std::uint32_t Level(std::uint32_t entry) { return entry & 0xFFFF; }

enum class ReadResult { kFound, kMissing, kFailed };

// Reads LogLevel into a zeroed table: a shorter value leaves the remaining entries zero, a longer
// one cannot be read and counts as missing. kFailed: the database could not be used this time.
ReadResult ReadTable(platform::SettingsStore& store, LevelTable* table) {
    unsigned char raw[kLevelBytes] = {};
    DWORD size = sizeof raw;
    const LONG rc = store.QueryValue(dailylog::kLevelKey, dailylog::kLevelValue, nullptr, raw, &size);
    if (rc == platform::kRegFileNotFound || rc == platform::kRegMoreData) return ReadResult::kMissing;
    if (rc != platform::kRegOk) return ReadResult::kFailed;
    for (int i = 0; i < kLevelEntries; ++i) {
        table->entry[i] = std::uint32_t{raw[4 * i]} | std::uint32_t{raw[4 * i + 1]} << 8 |
                          std::uint32_t{raw[4 * i + 2]} << 16 | std::uint32_t{raw[4 * i + 3]} << 24;
    }
    return ReadResult::kFound;
}

// The level of the first entry whose category equals `category` exactly.
bool FindLevel(const LevelTable& table, int category, unsigned* level) {
    for (std::uint32_t entry : table.entry) {
        if (Category(entry) == static_cast<std::uint32_t>(category)) {
            if (level != nullptr) *level = Level(entry);
            return true;
        }
    }
    return false;
}

LevelTable DefaultTable() {
    LevelTable t;
    for (int i = 0; i < kLevelEntries; ++i) t.entry[i] = (1u << (16 + i)) | dailylog::kDefaultThreshold;
    return t;
}

}  // namespace

bool SharedDailyLog::LevelEntries(std::uint32_t* entry, bool fresh) {
    static_assert(sizeof m_levels.entry == sizeof(LevelTable));
    std::lock_guard<std::mutex> lock(m_levels.mutex);
    const std::uint64_t now = m_clock.TickMs();
    const std::uint64_t generation = g_levelGeneration.load(std::memory_order_acquire);
    const bool stale = fresh || !m_levels.valid || generation != m_levels.generation ||
                       now - m_levels.readAtMs >= dailylog::kLevelRecheckMs || now < m_levels.readAtMs;
    if (stale) {
        auto store = platform::SettingsStore::Machine();
        LevelTable table;
        const ReadResult read = store ? ReadTable(*store, &table) : ReadResult::kFailed;
        // A failed read is not cached: the next call tries again.
        m_levels.valid = read != ReadResult::kFailed;
        m_levels.present = read == ReadResult::kFound;
        m_levels.readAtMs = now;
        m_levels.generation = generation;
        std::memcpy(m_levels.entry, table.entry, sizeof m_levels.entry);
    }
    std::memcpy(entry, m_levels.entry, sizeof m_levels.entry);
    return m_levels.present;
}

bool SharedDailyLog::ReadCategoryLevel(int category, unsigned* level) {
    LevelTable table;
    return LevelEntries(table.entry, true) && FindLevel(table, category, level);
}

bool SharedDailyLog::ShouldLog(int category, unsigned level) {
    if ((category & (LOG_ALWAYS_40 | LOG_ALWAYS_80)) != 0) return true;
    unsigned threshold = dailylog::kDefaultThreshold;
    LevelTable table;
    if (!LevelEntries(table.entry, false) || !FindLevel(table, category, &threshold))
        return level >= dailylog::kDefaultThreshold;
    return threshold != 0 && level >= threshold;
}

bool SharedDailyLog::SetCategoryLevel(int mask, unsigned level) {
    auto store = platform::SettingsStore::Machine();
    if (!store || store->OpenKey(dailylog::kLevelKey) != platform::kRegOk) return false;
    LevelTable table;
    const ReadResult read = ReadTable(*store, &table);
    if (read == ReadResult::kFailed) return false;  // never reset a table that could not be read
    if (read == ReadResult::kMissing) table = DefaultTable();
    for (std::uint32_t& entry : table.entry) {
        if ((Category(entry) & static_cast<std::uint32_t>(mask)) != 0)
            entry = (entry & 0xFFFF0000u) | (level & 0xFFFF);
    }
    unsigned char raw[kLevelBytes];
    for (int i = 0; i < kLevelEntries; ++i) {
        for (int b = 0; b < 4; ++b) raw[4 * i + b] = static_cast<unsigned char>(table.entry[i] >> (8 * b));
    }
    const bool set = store->SetValue(dailylog::kLevelKey, dailylog::kLevelValue, platform::REG_BINARY, raw,
                                     sizeof raw) == platform::kRegOk;
    // Every log object of this process reads the table again on its next call.
    g_levelGeneration.fetch_add(1, std::memory_order_acq_rel);
    return set;
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
    LevelTable table;
    const bool present = LevelEntries(table.entry, true);
    std::string text;
    for (const auto& l : kLines) {
        unsigned level = dailylog::kDefaultThreshold;
        if (!present || !FindLevel(table, l.category, &level)) level = dailylog::kDefaultThreshold;
        text += l.label;  // "%s%d\n": the level as a signed decimal
        text += std::to_string(static_cast<int>(level));
        text += '\n';
    }
    return dailylog::CopyOut(text, buffer, size) ? 1 : 0;
}
