#include "platform/atomic_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/unique_fd.h"
#include "write_all.h"

namespace platform {

bool WriteFileAtomically(const std::string& path, const std::string& data, mode_t mode) {
    const std::string temp = path + ".tmp." + std::to_string(::getpid());
    UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode));
    if (!fd) return false;
    const bool written = detail::WriteAll(fd.Get(), data) && ::fsync(fd.Get()) == 0;
    const bool closed = fd.Close() == 0;
    if (!written || !closed || ::rename(temp.c_str(), path.c_str()) != 0) {
        const int saved = errno;
        ::unlink(temp.c_str());
        errno = saved;
        return false;
    }
    return true;
}

}  // namespace platform
