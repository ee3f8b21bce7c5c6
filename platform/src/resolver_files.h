// File helpers of the resolver: bounded reads, crash-safe replacement, a lock file, and what a
// possibly linked path stands for.
#pragma once
#include <sys/stat.h>

#include <functional>
#include <string>

#include "platform/unique_fd.h"

namespace platform::resolver_files {

// What the resolver path is now. For a link, `target` is the file it leads to.
struct PathState {
    bool isLink = false;
    std::string linkText;
    std::string target;
    bool present = false;  // the target exists (a regular file)
    struct stat st {};     // of the target when present
    std::string content;   // of the target when present
};

// false with errno: the path or its target is neither absent nor a regular file, or the target
// is larger than `maxSize`.
bool Inspect(const std::string& path, std::size_t maxSize, PathState* state);
// The file a link with `linkText` at `path` leads to (followed to its end when it exists).
std::string TargetOf(const std::string& path, const std::string& linkText);
// Reads at most `maxSize` bytes; false when the file is absent (errno ENOENT), unreadable or larger.
bool ReadBounded(const std::string& path, std::size_t maxSize, std::string* content);

// Replaces `path` with `content` through a temporary file in the same folder: written, given
// `mode` and owner, synced, renamed over the path, folder synced. `beforeRename` and
// `afterRename` run at those two points (may be empty).
bool ReplaceFile(const std::string& path, const std::string& content, unsigned mode, unsigned uid,
                 unsigned gid, const std::function<void()>& beforeRename,
                 const std::function<void()>& afterRename);
// Makes `path` a symbolic link with `linkText`, atomically replacing whatever is there.
bool ReplaceWithLink(const std::string& path, const std::string& linkText);
// Removes a file (absent is fine) and syncs its folder.
bool RemoveFile(const std::string& path);
std::string DirName(const std::string& path);
// fsync of a folder, so that a rename in it is on disk.
bool SyncDir(const std::string& dir);

// An exclusive lock on a lock file, held for the object's lifetime; across threads and processes.
class FileLock {
public:
    explicit FileLock(const std::string& path);
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    bool Held() const { return m_fd.Valid(); }

private:
    UniqueFd m_fd;
};

}  // namespace platform::resolver_files
