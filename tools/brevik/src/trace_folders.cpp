// The user's trace folders and the emptying that stays inside them.
#include "brevik/trace_folders.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <vector>

#include "dailylog/shared_daily_log.h"
#include "platform/unique_fd.h"

namespace brevik {
namespace {

constexpr off_t kKeptHeader = 64;
constexpr std::size_t kWipeBlock = 10000;
constexpr int kMaxDepth = 64;

bool IsUsersFolder(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid();
}

std::string XdgBase(const char* variable, const std::string& home, const char* fallback) {
    const char* v = std::getenv(variable);
    if (v != nullptr && v[0] == '/') return v;
    return home + "/" + fallback;
}

// Opens `folder` by walking from `home` one component at a time, refusing links, "." and "..",
// and anything that is not the user's folder.
platform::UniqueFd OpenInsideHome(const std::string& home, const std::string& folder) {
    if (home.empty() || home[0] != '/' || folder.compare(0, home.size(), home) != 0 ||
        (folder.size() > home.size() && folder[home.size()] != '/')) {
        return {};
    }
    platform::UniqueFd fd(::open(home.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd || !IsUsersFolder(fd.Get())) return {};
    std::size_t at = home.size();
    while (at < folder.size()) {
        while (at < folder.size() && folder[at] == '/') ++at;
        const std::size_t end = folder.find('/', at);
        const std::string part = folder.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? folder.size() : end;
        if (part.empty()) continue;
        if (part == "." || part == "..") return {};
        platform::UniqueFd next(
            ::openat(fd.Get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next || !IsUsersFolder(next.Get())) return {};
        fd = std::move(next);
    }
    return fd;
}

void EmptyAt(int dirFd, const std::string& shown, bool wipe, int depth, EmptyResult* result) {
    struct stat self {};
    if (depth > kMaxDepth || ::fstat(dirFd, &self) != 0) return;
    // A folder that is not writable loses that first, as a read-only folder would on Windows.
    if (self.st_uid == ::geteuid() && (self.st_mode & S_IRWXU) != S_IRWXU)
        ::fchmod(dirFd, self.st_mode | S_IRWXU);
    const int listFd = ::dup(dirFd);
    DIR* dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (dir == nullptr) {
        if (listFd >= 0) ::close(listFd);
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[EmptyDirectory] FindFirstFile fail, sFindFilter=%s/*, lasterror=%d",
               shown.c_str(), errno);
        return;
    }
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    for (const std::string& name : names) {
        if (::strcasecmp(name.c_str(), "desktop.ini") == 0) {
            ++result->kept;
            continue;
        }
        struct stat st {};
        if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            // Another file system mounted inside is not the user's folder: left alone.
            if (st.st_dev != self.st_dev) continue;
            platform::UniqueFd sub(
                ::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!sub) continue;
            EmptyAt(sub.Get(), shown + "/" + name, wipe, depth + 1, result);
            sub.Reset();
            if (::unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) == 0) ++result->removed;
            continue;
        }
        if (wipe && S_ISREG(st.st_mode) && ::strcasecmp(name.c_str(), "index.dat") == 0 &&
            WipeFile(dirFd, name.c_str())) {
            ++result->wiped;
        }
        if (::unlinkat(dirFd, name.c_str(), 0) == 0) ++result->removed;
    }
}

}  // namespace

std::string UserHome() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') {
        platform::UniqueFd fd(::open(home, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (fd && IsUsersFolder(fd.Get())) return home;
    }
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr) {
        return found->pw_dir;
    }
    return {};
}

TraceFolders UserTraceFolders(const std::string& home) {
    TraceFolders f;
    f.cache = XdgBase("XDG_CACHE_HOME", home, ".cache") + "/qel";
    f.cookies = XdgBase("XDG_DATA_HOME", home, ".local/share") + "/qel/cookies";
    f.history = XdgBase("XDG_STATE_HOME", home, ".local/state") + "/qel/history";
    return f;
}

bool WipeFile(int dirFd, const char* name) {
    platform::UniqueFd fd(::openat(dirFd, name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[WipeFile] %s cannot be opened for writing, errno %d", name, errno);
        return false;
    }
    static const std::vector<char> zeros(kWipeBlock, 0);
    for (off_t at = kKeptHeader; at < st.st_size;) {
        const std::size_t n = static_cast<std::size_t>(std::min<off_t>(st.st_size - at, kWipeBlock));
        const ssize_t w = ::pwrite(fd.Get(), zeros.data(), n, at);
        if (w <= 0) {
            if (w < 0 && errno == EINTR) continue;
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[WipeFile] %s: write failed, errno %d", name, errno);
            return false;
        }
        at += w;
    }
    ::fsync(fd.Get());
    return true;
}

EmptyResult EmptyDirectory(const std::string& home, const std::string& folder, bool wipeIndexDat) {
    EmptyResult result;
    platform::UniqueFd fd = OpenInsideHome(home, folder);
    if (!fd) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[EmptyDirectory] FindFirstFile fail, sFindFilter=%s/*, lasterror=%d",
               folder.c_str(), errno);
        return result;
    }
    result.listed = true;
    EmptyAt(fd.Get(), folder, wipeIndexDat, 0, &result);
    return result;
}

}  // namespace brevik
