// Folders that privileged programs trust. A folder is "secure" for the calling process when it is
// a real folder (not a symlink), owned by root or by the caller, and its mode is exactly the one
// asked for (nobody else gained write access). Root creates such folders itself, with fixed modes;
// a folder that fails the check is refused, never silently used or repaired, with one exception:
// a folder the caller owns whose mode is wider than asked is narrowed (the runtime folder of older
// installations was world-writable).
#pragma once
#include <sys/types.h>

#include <string>

namespace platform {

struct SecureDirRule {
    unsigned mode = 0755;                  // permission bits including sticky/setgid, e.g. 0755, 01777, 03770
    gid_t group = static_cast<gid_t>(-1);  // group to give a created folder; -1 keeps the default
};

// Creates `path` (its parent must already exist and be trusted by the caller) or checks the
// existing one. true when the folder may be used; else *error (when given) says why, errno kept.
// Thread-safe; cheap enough to call before every use.
bool EnsureSecureDir(const std::string& path, const SecureDirRule& rule, std::string* error = nullptr);

// Opens `name` inside the secure folder `dir` as a new regular file (O_CREAT|O_EXCL|O_NOFOLLOW),
// mode `mode`. -1 with errno on failure (EEXIST when something is there already).
int CreateFileExclusive(const std::string& dir, const std::string& name, unsigned mode);

}  // namespace platform
