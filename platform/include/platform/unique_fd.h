// An owned file descriptor: closed exactly once, when the owner goes or resets it. Move-only.
// Not thread-safe: one owner at a time, as with the descriptor itself.
#pragma once
#include <unistd.h>

#include <utility>

namespace platform {

class UniqueFd {
public:
    UniqueFd() noexcept = default;
    // Takes ownership of `fd` (a negative value owns nothing).
    explicit UniqueFd(int fd) noexcept : m_fd(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const noexcept { return m_fd; }
    bool Valid() const noexcept { return m_fd >= 0; }
    explicit operator bool() const noexcept { return Valid(); }

    // Gives the descriptor up without closing it.
    int Release() noexcept { return std::exchange(m_fd, -1); }
    // Closes what is owned (errors of close are not retried: on Linux the descriptor is gone
    // whatever close reports) and takes `fd`.
    void Reset(int fd = -1) noexcept {
        const int old = std::exchange(m_fd, fd);
        if (old >= 0 && old != fd) ::close(old);
    }

    // Closes now and reports what close said (0, or -1 with errno), for writers that must know
    // their data reached the file.
    int Close() noexcept {
        const int old = Release();
        return old >= 0 ? ::close(old) : 0;
    }

private:
    int m_fd = -1;
};

}  // namespace platform
