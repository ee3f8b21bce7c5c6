// Trusted folders: created by their owner with fixed modes, checked through a descriptor opened
// without following links, so that what was checked is what gets changed.
#include "platform/secure_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/unique_fd.h"

namespace platform {
namespace {

bool Refuse(std::string* error, const std::string& path, const std::string& why, int err) {
    if (error != nullptr) *error = path + ": " + why;
    errno = err;
    return false;
}

std::string Octal(unsigned mode) {
    char buf[16];
    std::snprintf(buf, sizeof(buf), "%04o", mode);
    return buf;
}

}  // namespace

bool EnsureSecureDir(const std::string& path, const SecureDirRule& rule, std::string* error) {
    if (path.empty()) return Refuse(error, path, "empty path", EINVAL);
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        return Refuse(error, path, "cannot be created", errno);
    }
    // O_NOFOLLOW with O_DIRECTORY: a symlink in the folder's place fails here (ELOOP or ENOTDIR).
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.Get() < 0) {
        const int err = errno;
        return Refuse(error, path,
                      err == ELOOP || err == ENOTDIR ? "not a folder (symlink?)" : "cannot be opened", err);
    }
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0) return Refuse(error, path, "cannot be examined", errno);
    const uid_t me = ::geteuid();
    if (st.st_uid != 0 && st.st_uid != me) {
        return Refuse(error, path, "owned by uid " + std::to_string(st.st_uid), EPERM);
    }
    const bool groupWrong = rule.group != static_cast<gid_t>(-1) && st.st_gid != rule.group;
    const unsigned mode = st.st_mode & 07777;
    if (st.st_uid != me) {
        if (mode != rule.mode)
            return Refuse(error, path, "mode " + Octal(mode) + ", not " + Octal(rule.mode), EPERM);
        if (groupWrong) return Refuse(error, path, "group " + std::to_string(st.st_gid), EPERM);
        return true;
    }
    // Ours: give it the fixed group and mode (chown first, it clears the setgid bit).
    if (groupWrong && ::fchown(fd.Get(), static_cast<uid_t>(-1), rule.group) != 0) {
        return Refuse(error, path, "cannot set group " + std::to_string(rule.group), errno);
    }
    if ((groupWrong || mode != rule.mode) && ::fchmod(fd.Get(), static_cast<mode_t>(rule.mode)) != 0) {
        return Refuse(error, path, "cannot set mode " + Octal(rule.mode), errno);
    }
    return true;
}

int CreateFileExclusive(const std::string& dir, const std::string& name, unsigned mode) {
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") {
        errno = EINVAL;
        return -1;
    }
    const UniqueFd dfd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dfd.Get() < 0) return -1;
    return ::openat(dfd.Get(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    static_cast<mode_t>(mode));
}

}  // namespace platform
