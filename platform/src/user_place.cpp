// Each user's own place: made one component at a time, the last one checked through a descriptor
// opened without following links.
#include "platform/user_place.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/unique_fd.h"

namespace platform {
namespace {

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? std::string(v) : std::string();
}

std::string PasswdHome(uid_t uid) {
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) != 0 || found == nullptr ||
        pw.pw_dir == nullptr) {
        return {};
    }
    return pw.pw_dir;
}

bool Refuse(std::string* error, const std::string& why) {
    if (error != nullptr) *error = why;
    return false;
}

// Makes the missing folders of `path` (absolute) with mode 0700, then checks the last one.
bool MakeAndCheck(const std::string& path, std::string* error) {
    std::size_t pos = 1;
    while (pos <= path.size()) {
        std::size_t end = path.find('/', pos);
        if (end == std::string::npos) end = path.size();
        const std::string part = path.substr(0, end);
        if (end > pos && ::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            return Refuse(error, part + ": cannot be created (" + std::strerror(errno) + ")");
        }
        pos = end + 1;
    }
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        const int err = errno;
        return Refuse(error, path + (err == ELOOP || err == ENOTDIR
                                         ? ": not a folder (a link?)"
                                         : ": cannot be opened (" + std::string(std::strerror(err)) + ")"));
    }
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0) return Refuse(error, path + ": cannot be examined");
    if (st.st_uid != ::geteuid()) {
        return Refuse(error, path + ": owned by uid " + std::to_string(st.st_uid) + ", not this user's");
    }
    if ((st.st_mode & 07777) != 0700 && ::fchmod(fd.Get(), 0700) != 0) {
        return Refuse(error, path + ": its mode cannot be narrowed to 0700");
    }
    return true;
}

}  // namespace

bool UsesUserPlace() { return ::geteuid() != 0; }

std::string UserPlaceFor(const std::string& xdgStateHome, const std::string& home,
                         const std::string& passwdHome) {
    std::string base;
    if (!xdgStateHome.empty() && xdgStateHome[0] == '/') {
        base = xdgStateHome;
    } else if (!home.empty() && home[0] == '/') {
        base = home + "/.local/state";
    } else if (!passwdHome.empty() && passwdHome[0] == '/') {
        base = passwdHome + "/.local/state";
    } else {
        return {};
    }
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    return (base == "/" ? std::string() : base) + "/" + kUserPlaceName;
}

std::string UserPlace(std::string* error) {
    if (!UsesUserPlace()) return {};
    std::string place = UserPlaceFor(Env("XDG_STATE_HOME"), Env("HOME"), "");
    if (place.empty()) place = UserPlaceFor("", "", PasswdHome(::geteuid()));
    if (place.empty()) {
        Refuse(error, "no folder of this user's own is known (neither XDG_STATE_HOME nor HOME is set)");
        return {};
    }
    if (!MakeAndCheck(place, error)) return {};
    return place;
}

std::string UserFilePath(const std::string& name, const std::string& rootPath, std::string* error) {
    if (!UsesUserPlace()) return rootPath;
    const std::string place = UserPlace(error);
    return place.empty() ? std::string() : place + "/" + name;
}

bool UserPlaceOfProcess(pid_t pid, uid_t* uid, gid_t* gid, std::string* place) {
    const std::string proc = "/proc/" + std::to_string(pid);
    // The real ids, not the owner of /proc/<pid> (the effective uid).
    std::ifstream status(proc + "/status");
    if (!status) return false;
    std::string line;
    long realUid = -1, realGid = -1;
    while (std::getline(status, line)) {
        std::istringstream fields(line);
        std::string key;
        fields >> key;
        if (key == "Uid:") fields >> realUid;
        if (key == "Gid:") fields >> realGid;
    }
    if (realUid < 0 || realGid < 0) return false;
    std::ifstream environ(proc + "/environ", std::ios::binary);
    if (!environ) return false;
    std::string xdg, home, entry;
    bool any = false;
    while (std::getline(environ, entry, '\0')) {
        any = true;
        if (entry.rfind("XDG_STATE_HOME=", 0) == 0) xdg = entry.substr(15);
        if (entry.rfind("HOME=", 0) == 0) home = entry.substr(5);
    }
    // A process that has ended (a zombie) shows no environment: its place is not known.
    if (!any) return false;
    *uid = static_cast<uid_t>(realUid);
    *gid = static_cast<gid_t>(realGid);
    *place = *uid == 0 ? std::string() : UserPlaceFor(xdg, home, PasswdHome(*uid));
    return true;
}

bool IsOwnPrivateFile(const std::string& path, uid_t uid) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == uid &&
           (st.st_mode & 077) == 0;
}

ScopedFileIdentity::ScopedFileIdentity(uid_t uid, gid_t gid) {
    if (uid == 0 || ::geteuid() != 0) return;
    // Per thread: the kernel keeps the file system identity in each thread's credentials.
    ::setfsgid(gid);
    ::setfsuid(uid);
    m_active = true;
}

ScopedFileIdentity::~ScopedFileIdentity() {
    if (!m_active) return;
    ::setfsuid(0);
    ::setfsgid(0);
}

}  // namespace platform
