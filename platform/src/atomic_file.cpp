#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/unique_fd.h"
#include "write_all.h"

namespace platform {

namespace {

constexpr int kNameAttempts = 64;

// 16 characters from the kernel's random source: 96 bits nobody else can guess.
bool RandomSuffix(std::string* out) {
    static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_";
    unsigned char bytes[16];
    std::size_t got = 0;
    while (got < sizeof(bytes)) {
        const ssize_t n = ::getrandom(bytes + got, sizeof(bytes) - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        got += static_cast<std::size_t>(n);
    }
    out->clear();
    for (unsigned char b : bytes) out->push_back(kChars[b & 63u]);
    return true;
}

}  // namespace

std::string TempNameBeside(const std::string& path) {
    std::string suffix;
    return RandomSuffix(&suffix) ? path + ".tmp." + suffix : std::string();
}

int CreateTempBeside(const std::string& path, mode_t mode, std::string* tempPath) {
    if (path.empty() || path.back() == '/') {
        errno = EINVAL;
        return -1;
    }
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        const std::string temp = TempNameBeside(path);
        if (temp.empty()) return -1;
        UniqueFd fd(
            ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode));
        if (!fd) {
            if (errno == EEXIST) continue;
            return -1;
        }
        struct stat st {};
        const int flags = ::fcntl(fd.Get(), F_GETFL);
        if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) || flags < 0 ||
            ::fcntl(fd.Get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
            const int saved = errno;
            ::unlink(temp.c_str());
            errno = saved;
            return -1;
        }
        *tempPath = temp;
        return fd.Release();
    }
    errno = EEXIST;
    return -1;
}

bool CommitTempFile(const std::string& tempPath, const std::string& path) {
    if (::rename(tempPath.c_str(), path.c_str()) == 0) return true;
    const int saved = errno;
    ::unlink(tempPath.c_str());
    errno = saved;
    return false;
}

bool WriteFileAtomically(const std::string& path, const std::string& data, mode_t mode) {
    std::string temp;
    UniqueFd fd(CreateTempBeside(path, mode, &temp));
    if (!fd) return false;
    const bool written = detail::WriteAll(fd.Get(), data) && ::fsync(fd.Get()) == 0;
    const bool closed = fd.Close() == 0;
    if (!written || !closed) {
        const int saved = errno;
        ::unlink(temp.c_str());
        errno = saved;
        return false;
    }
    return CommitTempFile(temp, path);
}

int OpenRegularFile(const std::string& path, bool followLink) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW)));
    if (!fd) return -1;
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0) return -1;
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return -1;
    }
    const int flags = ::fcntl(fd.Get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.Get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return -1;
    return fd.Release();
}

}  // namespace platform
