// Events on eventfd. The counter is used as a flag: any non-zero value means "set". Manual-reset
// waiters only look (poll); auto-reset waiters take the flag with a non-blocking read, so when
// several wait at once exactly one read succeeds and the others go back to waiting.
#include "platform/event.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/errors.h"
#include "wait_deadline.h"

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

// poll() on a set of descriptors with a deadline; retries on EINTR. Returns poll's result.
int PollUntil(pollfd* fds, nfds_t count, const detail::Deadline& deadline) {
    for (;;) {
        int rc = ::poll(fds, count, deadline.RemainingMs());
        if (rc < 0 && errno == EINTR) {
            continue;
        }
        return rc;
    }
}

}  // namespace

Event::Event(bool manualReset, bool initialState) : m_manual(manualReset) {
    m_fd = ::eventfd(initialState ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_fd < 0) {
        SetLastError(WinErrorFromErrno(errno));
    }
}

Event::Event(int adoptedFd, bool manualReset) : m_fd(adoptedFd), m_manual(manualReset) {
    if (m_fd < 0) {
        return;
    }
    // Taking an auto-reset event relies on reads that never block, whatever the sender chose.
    int flags = ::fcntl(m_fd, F_GETFL);
    if (flags < 0 || ::fcntl(m_fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        SetLastError(WinErrorFromErrno(errno));
        ::close(m_fd);
        m_fd = -1;
        return;
    }
    int fdFlags = ::fcntl(m_fd, F_GETFD);
    if (fdFlags >= 0) {
        ::fcntl(m_fd, F_SETFD, fdFlags | FD_CLOEXEC);
    }
}

Event::~Event() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

bool Event::Set() {
    if (m_fd < 0) {
        return false;
    }
    std::uint64_t one = 1;
    for (;;) {
        ssize_t n = ::write(m_fd, &one, sizeof one);
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

bool Event::Reset() {
    if (m_fd < 0) {
        return false;
    }
    Drain(m_fd);
    return true;
}

DWORD Event::Wait(DWORD timeoutMs) {
    Event* self = this;
    return WaitForAny(&self, 1, timeoutMs);
}

bool Event::IsSet() const {
    if (m_fd < 0) {
        return false;
    }
    pollfd p{m_fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

DWORD WaitForAny(Event* const* events, std::size_t count, DWORD timeoutMs) {
    if (events == nullptr || count == 0 || count > kMaxWaitObjects) {
        SetLastError(87);
        return kWaitFailed;
    }
    pollfd fds[kMaxWaitObjects];
    for (std::size_t i = 0; i < count; ++i) {
        if (events[i] == nullptr || !events[i]->Valid()) {
            SetLastError(6);  // ERROR_INVALID_HANDLE
            return kWaitFailed;
        }
        fds[i] = pollfd{events[i]->Fd(), POLLIN, 0};
    }
    detail::Deadline deadline(timeoutMs);
    for (;;) {
        int rc = PollUntil(fds, static_cast<nfds_t>(count), deadline);
        if (rc < 0) {
            SetLastError(WinErrorFromErrno(errno));
            return kWaitFailed;
        }
        for (std::size_t i = 0; rc > 0 && i < count; ++i) {
            if ((fds[i].revents & (POLLERR | POLLNVAL)) != 0) {
                SetLastError(6);
                return kWaitFailed;
            }
            if ((fds[i].revents & POLLIN) == 0) {
                continue;
            }
            // The lowest signalled index wins, as with WaitForMultipleObjects.
            if (events[i]->ManualReset() || Drain(fds[i].fd)) {
                return kWaitObject0 + static_cast<DWORD>(i);
            }
        }
        if (deadline.Expired()) {
            return kWaitTimeout;
        }
        for (std::size_t i = 0; i < count; ++i) {
            fds[i].revents = 0;
        }
    }
}

}  // namespace platform
