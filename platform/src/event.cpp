// Events on eventfd, made when first needed. The counter is used as a flag: any non-zero value
// means "set". Manual-reset waiters only look (poll); auto-reset waiters take the flag with a non-blocking
// read, so when several wait at once exactly one read succeeds and the others go back to waiting.
#include "platform/event.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <optional>

#include "platform/errors.h"
#include "platform/unique_fd.h"

namespace platform {

namespace {

constexpr std::size_t kMaxWaitObjects = 64;

// Takes the flag of an auto-reset event (or clears a manual one). false when it was not set.
bool Drain(int fd) {
    std::uint64_t value = 0;
    for (;;) {
        ssize_t n = ::read(fd, &value, sizeof value);
        if (n == static_cast<ssize_t>(sizeof value)) {
            return true;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return false;  // EAGAIN: somebody else was faster
    }
}

// poll() until the deadline; retries on EINTR. Returns poll's result.
int PollUntil(pollfd* fds, nfds_t count, const ClockDeadline& deadline) {
    for (;;) {
        int rc = ::poll(fds, count, deadline.RemainingMs());
        if (rc < 0 && errno == EINTR) {
            continue;
        }
        return rc;
    }
}

bool Write(int fd) {
    std::uint64_t one = 1;
    for (;;) {
        ssize_t n = ::write(fd, &one, sizeof one);
        if (n == static_cast<ssize_t>(sizeof one)) {
            return true;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        // EAGAIN means the counter is at its maximum: the event is as set as it can be.
        return n < 0 && errno == EAGAIN;
    }
}

// A wait on a manual clock polls one more descriptor, which the clock rings when it moves.
class PollWaiter final : public ClockWaiter {
public:
    PollWaiter() : m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    PollWaiter(const PollWaiter&) = delete;
    PollWaiter& operator=(const PollWaiter&) = delete;
    int Fd() const { return m_fd.Get(); }
    void Wake() override { Write(m_fd.Get()); }

private:
    UniqueFd m_fd;
};

// Registers a PollWaiter with a manual clock for the scope of one wait.
class ClockRegistration {
public:
    ClockRegistration(const Clock& clock, PollWaiter& waiter) : m_clock(clock), m_waiter(waiter) {
        m_clock.AddWaiter(m_waiter);
    }
    ~ClockRegistration() { m_clock.RemoveWaiter(m_waiter); }
    ClockRegistration(const ClockRegistration&) = delete;
    ClockRegistration& operator=(const ClockRegistration&) = delete;

private:
    const Clock& m_clock;
    PollWaiter& m_waiter;
};

// One pass over the polled descriptors: the index of the first signalled event that this wait
// may take, -1 when none, -2 on a broken descriptor.
int FirstSignalled(Event* const* events, const pollfd* fds, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if ((fds[i].revents & (POLLERR | POLLNVAL)) != 0) {
            return -2;
        }
        if ((fds[i].revents & POLLIN) == 0) {
            continue;
        }
        // The lowest signalled index wins, as with WaitForMultipleObjects.
        if (events[i]->ManualReset() || Drain(fds[i].fd)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

}  // namespace

Event::Event(bool manualReset, bool initialState) : m_flag(initialState), m_manual(manualReset) {}

Event::Event(int adoptedFd, bool manualReset) : m_manual(manualReset) {
    if (adoptedFd < 0) {
        m_failed.store(true);
        return;
    }
    // Taking an auto-reset event relies on reads that never block, whatever the sender chose.
    int flags = ::fcntl(adoptedFd, F_GETFL);
    if (flags < 0 || ::fcntl(adoptedFd, F_SETFL, flags | O_NONBLOCK) < 0) {
        SetLastError(WinErrorFromErrno(errno));
        UniqueFd refused(adoptedFd);
        m_failed.store(true);
        return;
    }
    int fdFlags = ::fcntl(adoptedFd, F_GETFD);
    if (fdFlags >= 0) {
        ::fcntl(adoptedFd, F_SETFD, fdFlags | FD_CLOEXEC);
    }
    m_fd.store(adoptedFd);
}

Event::~Event() {
    // The descriptor lives in an atomic slot because it is made on demand; it is closed here.
    UniqueFd owned(m_fd.exchange(-1));
}

int Event::EnsureFd() const {
    int fd = m_fd.load(std::memory_order_acquire);
    if (fd >= 0 || m_failed.load(std::memory_order_acquire)) {
        return fd;
    }
    std::lock_guard<std::mutex> guard(m_lock);
    fd = m_fd.load(std::memory_order_relaxed);
    if (fd >= 0 || m_failed.load(std::memory_order_relaxed)) {
        return fd;
    }
    fd = ::eventfd(m_flag ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        SetLastError(WinErrorFromErrno(errno));
        m_failed.store(true, std::memory_order_release);
        return -1;
    }
    m_fd.store(fd, std::memory_order_release);
    return fd;
}

int Event::Fd() const { return EnsureFd(); }

int Event::FdOrLock(std::unique_lock<std::mutex>& lock) const {
    int fd = m_fd.load(std::memory_order_acquire);
    if (fd >= 0) {
        return fd;
    }
    lock = std::unique_lock<std::mutex>(m_lock);
    fd = m_fd.load(std::memory_order_relaxed);
    if (fd >= 0) {
        lock.unlock();
    }
    return fd;
}

bool Event::Set() {
    std::unique_lock<std::mutex> lock;
    const int fd = FdOrLock(lock);
    if (fd < 0) {
        m_flag = true;
        return !m_failed.load(std::memory_order_relaxed);
    }
    return Write(fd);
}

bool Event::Reset() {
    std::unique_lock<std::mutex> lock;
    const int fd = FdOrLock(lock);
    if (fd < 0) {
        m_flag = false;
        return !m_failed.load(std::memory_order_relaxed);
    }
    Drain(fd);
    return true;
}

DWORD Event::Wait(DWORD timeoutMs, const Clock& clock) {
    Event* self = this;
    return WaitForAny(&self, 1, timeoutMs, clock);
}

bool Event::IsSet() const {
    std::unique_lock<std::mutex> lock;
    const int fd = FdOrLock(lock);
    if (fd < 0) {
        return m_flag;
    }
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

DWORD WaitForAny(Event* const* events, std::size_t count, DWORD timeoutMs, const Clock& clock) {
    if (events == nullptr || count == 0 || count > kMaxWaitObjects) {
        SetLastError(87);
        return kWaitFailed;
    }
    pollfd fds[kMaxWaitObjects + 1];
    for (std::size_t i = 0; i < count; ++i) {
        int fd = events[i] != nullptr ? events[i]->Fd() : -1;
        if (fd < 0) {
            SetLastError(6);  // ERROR_INVALID_HANDLE
            return kWaitFailed;
        }
        fds[i] = pollfd{fd, POLLIN, 0};
    }
    const ClockDeadline deadline(clock, timeoutMs);
    // A manual clock does not move while poll sleeps: poll without a time-out, plus the waiter's
    // descriptor, which the clock rings on every move. An immediate look needs no waiter.
    const bool manual = clock.Manual() && !deadline.Expired();
    std::optional<PollWaiter> waiter;
    std::optional<ClockRegistration> registration;
    nfds_t polled = static_cast<nfds_t>(count);
    if (manual) {
        waiter.emplace();
        if (waiter->Fd() < 0) {
            SetLastError(WinErrorFromErrno(errno));
            return kWaitFailed;
        }
        fds[count] = pollfd{waiter->Fd(), POLLIN, 0};
        ++polled;
        registration.emplace(clock, *waiter);
    }
    const ClockDeadline never(clock, kInfinite);
    for (;;) {
        int rc = PollUntil(fds, polled, manual ? never : deadline);
        if (rc < 0) {
            SetLastError(WinErrorFromErrno(errno));
            return kWaitFailed;
        }
        int index = rc > 0 ? FirstSignalled(events, fds, count) : -1;
        if (index == -2) {
            SetLastError(6);
            return kWaitFailed;
        }
        if (index >= 0) {
            return kWaitObject0 + static_cast<DWORD>(index);
        }
        if (manual && (fds[count].revents & POLLIN) != 0) {
            Drain(waiter->Fd());
        }
        if (deadline.Expired()) {
            return kWaitTimeout;
        }
        for (std::size_t i = 0; i < polled; ++i) {
            fds[i].revents = 0;
        }
    }
}

}  // namespace platform
