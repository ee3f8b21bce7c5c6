// Keeping the Log folder small. Runs under the named mutex, at construction and on the first
// line of a new day.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "daily_log_internal.h"
#include "dailylog/shared_daily_log.h"
#include "platform/unique_fd.h"

namespace {

struct LogEntry {
    std::string name;
    std::uint64_t size;
    std::int64_t modified;  // seconds since the epoch
};

// Regular files of the folder (directories and links are left alone), with the total size.
bool ListFolder(int dirFd, std::vector<LogEntry>* entries, std::uint64_t* total) {
    DIR* dir = ::fdopendir(::dup(dirFd));
    if (dir == nullptr) return false;
    while (const struct dirent* de = ::readdir(dir)) {
        struct stat st {};
        if (::fstatat(dirFd, de->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
        entries->push_back({de->d_name, static_cast<std::uint64_t>(st.st_size), st.st_mtim.tv_sec});
        *total += static_cast<std::uint64_t>(st.st_size);
    }
    ::closedir(dir);
    return true;
}

// Renames without replacing: an existing target makes the rename fail and nothing happens.
void RenameNoReplace(int dirFd, const std::string& from, const char* to) {
    if (::renameat2(dirFd, from.c_str(), dirFd, to, RENAME_NOREPLACE) == 0 || errno != EINVAL) return;
    // File systems without RENAME_NOREPLACE: link refuses an existing name just the same.
    if (::linkat(dirFd, from.c_str(), dirFd, to, 0) == 0) ::unlinkat(dirFd, from.c_str(), 0);
}

}  // namespace

void SharedDailyLog::CleanUp() {
    const std::string folder = LogFolder();
    const platform::UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) return;
    const int dirFd = dir.Get();
    try {
        std::vector<LogEntry> entries;
        std::uint64_t total = 0;
        const std::string today = TodayFileName();
        if (ListFolder(dirFd, &entries, &total) && total > dailylog::kCleanUpThreshold) {
            // Oldest first: daily files sort by date; anything else takes its place by name.
            std::sort(entries.begin(), entries.end(),
                      [](const LogEntry& a, const LogEntry& b) { return a.name < b.name; });
            const std::int64_t recent =
                static_cast<std::int64_t>(std::time(nullptr)) - dailylog::kRecentSeconds;
            for (const LogEntry& e : entries) {
                if (total <= dailylog::kCleanUpThreshold) break;
                if (e.name == today || e.modified > recent) continue;
                if (::unlinkat(dirFd, e.name.c_str(), 0) == 0) total -= e.size;
            }
        }
        if (total > dailylog::kRenameThreshold) RenameNoReplace(dirFd, today, dailylog::kOversizeName);
    } catch (...) {
        // Out of memory while listing: leave the folder as it is this time.
    }
}
