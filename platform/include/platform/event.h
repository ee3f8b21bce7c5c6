// In-process (and fd-passable) events on eventfd, and waiting on several of them at once.
//
// An event holds a descriptor only once it needs one: when somebody waits on it (waits poll the
// descriptors), asks for Fd() (to poll it or hand it to another process), or when it was adopted.
// Set, Reset and IsSet on an event that nobody waits on keep a flag in memory. Thread-safe: Set and
// Reset from any thread while others wait.
#pragma once
#include <atomic>
#include <cstddef>
#include <mutex>

#include "platform/clock.h"
#include "platform/types.h"

namespace platform {

class Event {
public:
    // Manual-reset events stay set until Reset; auto-reset events are taken by one waiter.
    Event(bool manualReset, bool initialState);
    // Adopts a descriptor received from another process (an eventfd); the event owns it.
    Event(int adoptedFd, bool manualReset);
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    bool Set();
    bool Reset();
    // kWaitObject0 or kWaitTimeout (kWaitFailed on error, e.g. no descriptor could be had). The
    // time-out is measured on `clock`.
    DWORD Wait(DWORD timeoutMs, const Clock& clock = SystemClock());
    bool IsSet() const;  // manual-reset only; does not consume
    // false for an adopted descriptor that was unusable, or when a descriptor could not be made.
    bool Valid() const { return !m_failed.load(std::memory_order_acquire); }
    // The descriptor, for poll() or to pass to another process (SCM_RIGHTS); made on first use
    // (-1 when that failed). Still owned here.
    int Fd() const;
    bool ManualReset() const { return m_manual; }

private:
    int EnsureFd() const;
    // The descriptor when there is one; else -1, with `lock` holding m_lock so the flag may be used.
    int FdOrLock(std::unique_lock<std::mutex>& lock) const;

    mutable std::atomic<int> m_fd{-1};
    mutable std::atomic<bool> m_failed{false};
    mutable std::mutex m_lock;  // guards the change from the flag to a descriptor
    bool m_flag = false;        // the state while there is no descriptor
    bool m_manual = true;
};

// Waits until one of `events` is signalled: kWaitObject0 + index of the first signalled one (an
// auto-reset event is consumed), kWaitTimeout, or kWaitFailed. `count` at most 64. The time-out is
// measured on `clock`.
DWORD WaitForAny(Event* const* events, std::size_t count, DWORD timeoutMs,
                 const Clock& clock = SystemClock());

}  // namespace platform
