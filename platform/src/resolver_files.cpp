// File helpers of the resolver. The resolver file is shared with the rest of the system, so every
// change replaces it whole (rename) and is synced before the next step counts on it.
#include "resolver_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "platform/atomic_file.h"
#include "write_all.h"

namespace platform::resolver_files {

bool SyncDir(const std::string& dir) {
    const UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) {
        return false;
    }
    return ::fsync(fd.Get()) == 0;
}

std::string DirName(const std::string& path) {
    const std::size_t cut = path.rfind('/');
    if (cut == std::string::npos) {
        return ".";
    }
    return cut == 0 ? "/" : path.substr(0, cut);
}

bool ReadBounded(const std::string& path, std::size_t maxSize, std::string* content) {
    UniqueFd fd(OpenRegularFile(path, true));
    if (!fd) {
        return false;
    }
    content->clear();
    char buf[8192];
    for (;;) {
        const ssize_t n = ::read(fd.Get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 || content->size() + static_cast<std::size_t>(n) > maxSize) {
            const int err = n < 0 ? errno : EFBIG;
            fd.Reset();
            errno = err;
            return false;
        }
        if (n == 0) {
            break;
        }
        content->append(buf, static_cast<std::size_t>(n));
    }
    return true;
}

std::string TargetOf(const std::string& path, const std::string& linkText) {
    std::string target =
        linkText.size() > 0 && linkText[0] == '/' ? linkText : DirName(path) + "/" + linkText;
    // A chain of links ends at one file; follow it while it exists, so the file edited is the
    // one the system reads.
    char resolved[PATH_MAX];
    if (::realpath(target.c_str(), resolved) != nullptr) {
        target = resolved;
    }
    return target;
}

bool Inspect(const std::string& path, std::size_t maxSize, PathState* state) {
    *state = PathState{};
    struct stat lst {};
    if (::lstat(path.c_str(), &lst) != 0) {
        if (errno != ENOENT) {
            return false;
        }
        state->target = path;
        return true;
    }
    state->target = path;
    if (S_ISLNK(lst.st_mode)) {
        char text[PATH_MAX];
        const ssize_t n = ::readlink(path.c_str(), text, sizeof text - 1);
        if (n <= 0) {
            return false;
        }
        state->isLink = true;
        state->linkText.assign(text, static_cast<std::size_t>(n));
        state->target = TargetOf(path, state->linkText);
    }
    if (::lstat(state->target.c_str(), &state->st) != 0) {
        return errno == ENOENT;  // a dangling link: the target is made on the first change
    }
    if (!S_ISREG(state->st.st_mode)) {
        errno = EINVAL;
        return false;
    }
    state->present = true;
    return ReadBounded(state->target, maxSize, &state->content);
}

bool ReplaceFile(const std::string& path, const std::string& content, unsigned mode, unsigned uid,
                 unsigned gid, const std::function<void()>& beforeRename,
                 const std::function<void()>& afterRename) {
    std::string temp;
    UniqueFd fd(CreateTempBeside(path, 0600, &temp));
    if (!fd) {
        return false;
    }
    bool ok = detail::WriteAll(fd.Get(), content);
    // The owner can only be given by root; a test machine root run by a user keeps the user's.
    if (ok && (::fchown(fd.Get(), uid, gid) != 0 && errno != EPERM)) {
        ok = false;
    }
    ok = ok && ::fchmod(fd.Get(), static_cast<mode_t>(mode & 07777u)) == 0 && ::fsync(fd.Get()) == 0;
    const int err = errno;
    fd.Reset();
    if (!ok) {
        ::unlink(temp.c_str());
        errno = err;
        return false;
    }
    if (beforeRename) {
        beforeRename();
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        const int renameErr = errno;
        ::unlink(temp.c_str());
        errno = renameErr;
        return false;
    }
    if (!SyncDir(DirName(path))) {
        return false;
    }
    if (afterRename) {
        afterRename();
    }
    return true;
}

bool ReplaceWithLink(const std::string& path, const std::string& linkText) {
    // symlink() never reuses what is at the name: a name taken already gives EEXIST.
    std::string temp;
    int made = -1;
    for (int attempt = 0; attempt < 16 && made != 0; ++attempt) {
        temp = TempNameBeside(path);
        if (temp.empty()) return false;
        made = ::symlink(linkText.c_str(), temp.c_str());
        if (made != 0 && errno != EEXIST) return false;
    }
    if (made != 0) {
        return false;
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        errno = err;
        return false;
    }
    return SyncDir(DirName(path));
}

bool RemoveFile(const std::string& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        return false;
    }
    return SyncDir(DirName(path));
}

FileLock::FileLock(const std::string& path)
    : m_fd(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600)) {
    if (!m_fd) {
        return;
    }
    int rc;
    while ((rc = ::flock(m_fd.Get(), LOCK_EX)) != 0 && errno == EINTR) {
    }
    if (rc != 0) {
        m_fd.Reset();
    }
}

}  // namespace platform::resolver_files
