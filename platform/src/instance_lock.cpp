#include "platform/instance_lock.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "platform/machine_root.h"

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
    const std::string dir = RuntimeSubDir("instances");
    if (dir.empty()) {
        *error = "the runtime folder is refused";
        return false;
    }
    const std::string path = dir + "/" + name + ".lock";
    // Nobody but root writes the folder; still, only a plain file is locked, never a link or a
    // FIFO that would block the open.
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
    struct stat st {};
    if (!fd || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = path + ": " + (fd ? std::string("not a regular file") : std::string(std::strerror(errno)));
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
