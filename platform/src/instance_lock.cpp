#include "platform/instance_lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/debug_output.h"
#include "platform/machine_root.h"
#include "platform/secure_dir.h"

namespace platform {
namespace {

bool ValidName(const std::string& name) {
    if (name.empty() || name.size() > 64 || name[0] == '.') return false;
    for (const char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        c == '-' || c == '_' || c == '.';
        if (!ok) return false;
    }
    return true;
}

}  // namespace

bool InstanceLock::Acquire(const std::string& name, bool* held, std::string* error) {
    *held = false;
    if (m_fd) return true;
    if (!ValidName(name)) {
        *error = "invalid instance name";
        return false;
    }
    // 0700: nobody but the daemons' user opens a file there, so nobody else can take a read lock
    // that would keep a daemon from starting. An older installation's 0755 folder is narrowed.
    const std::string dir = RuntimeSubDir("instances", 0700);
    if (dir.empty()) {
        *error = "the runtime folder is refused";
        return false;
    }
    const std::string file = name + ".lock";
    const std::string path = dir + "/" + file;
    UniqueFd fd;
    // Two starts that both replace a foreign file meet at the exclusive creation: the loser
    // opens the winner's file and finds it locked.
    for (int attempt = 0; attempt < 3 && !fd; ++attempt) {
        // Only a plain file is locked, never a link or a FIFO that would block the open.
        fd = UniqueFd(::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (fd) {
            struct stat st {};
            const bool known = ::fstat(fd.Get(), &st) == 0;
            if (known && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 077) == 0 &&
                st.st_nlink == 1)
                break;
            // Whoever opened it while others could may hold a lock on it for as long as they
            // like: a fresh file of our own replaces it.
            char what[64];
            std::snprintf(what, sizeof(what), "owner %u, mode %04o, links %u",
                          static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_mode & 07777),
                          static_cast<unsigned>(st.st_nlink));
            DebugOutput("instance lock " + path + " is not the daemon's own (" + what + "): replaced");
            fd.Reset();
        } else if (errno == ENOENT) {
            fd = UniqueFd(CreateFileExclusive(dir, file, 0600));
            if (fd || errno == EEXIST) continue;
            *error = path + ": " + std::strerror(errno);
            return false;
        } else if (errno != ELOOP) {
            *error = path + ": " + std::strerror(errno);
            return false;
        }
        // Something not ours in the file's place (a link, a foreign file): made anew.
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            *error = path + ": " + std::strerror(errno);
            return false;
        }
    }
    if (!fd) {
        *error = path + ": keeps being replaced";
        return false;
    }
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (::fcntl(fd.Get(), F_OFD_SETLK, &lock) != 0) {
        if (errno == EAGAIN || errno == EACCES) {
            *held = true;
            *error = "another instance runs on this machine root";
        } else {
            *error = path + ": " + std::strerror(errno);
        }
        return false;
    }
    m_fd = std::move(fd);
    return true;
}

}  // namespace platform
