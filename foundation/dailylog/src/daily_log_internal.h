// Names, limits and small helpers shared by the daily log's sources (internal).
#pragma once
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/client_settings.h"
#include "platform/types.h"

namespace dailylog {

constexpr const char* kMutexName = "Global\\VORNCLIENT_FILELOG";
constexpr DWORD kMutexWaitMs = 3000;

using platform::client_settings::kClientKey;
constexpr const char* kInstallDirValue = platform::client_settings::kInstallDir;
constexpr const char* kLevelKey = "SOFTWARE\\Morvane";
constexpr const char* kLevelValue = "LogLevel";

constexpr const char* kLogFolder = "Log";
constexpr const char* kFilePrefix = "LogFile";
// Today's file is renamed to this when the folder stays above kRenameThreshold.
constexpr const char* kOversizeName = "LogFile-20000101.log";

// Mode of a daily file the log creates, whatever the umask: root and the group (the GUI's users)
// append to the same file; others read nothing.
constexpr unsigned kFileMode = 0660;

constexpr int kLineSize = 1024;  // head + message, zero included
constexpr int kPathSize = 4096;

constexpr std::uint64_t kCleanUpThreshold = 0x1400000;  // 20 MiB
constexpr std::uint64_t kRenameThreshold = 0x6400000;   // 100 MiB
// Files changed within this many seconds are never deleted by the clean-up: another program may
// still be writing them (yesterday's file around midnight, a fresh crash report).
constexpr std::int64_t kRecentSeconds = 24 * 60 * 60;

// The level table: eight little-endian words (category << 16) | level.
constexpr int kLevelEntries = 8;
constexpr DWORD kLevelBytes = kLevelEntries * 4;
constexpr unsigned kDefaultThreshold = 4;
constexpr unsigned kMaxLevel = 5;
// How long a cached level table serves before it is read again (changes by other programs).
constexpr std::uint64_t kLevelRecheckMs = 1000;

// The buffer convention of DumpCategoryLevels and GetTodayFileName.
inline bool CopyOut(const std::string& text, char* buffer, unsigned* size) {
    if (size == nullptr) return false;
    if (buffer != nullptr && text.size() < *size) {
        std::memcpy(buffer, text.c_str(), text.size() + 1);
        return true;
    }
    *size = static_cast<unsigned>(text.size() + 1);
    return false;
}

}  // namespace dailylog
