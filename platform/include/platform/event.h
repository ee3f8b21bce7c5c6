// In-process (and fd-passable) events on eventfd, and waiting on several of them at once.
#pragma once
#include <cstddef>
#include <memory>

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
    // kWaitObject0 or kWaitTimeout (kWaitFailed on error).
    DWORD Wait(DWORD timeoutMs);
    bool IsSet() const;  // manual-reset only; does not consume
    bool Valid() const { return m_fd >= 0; }
    // The descriptor, for poll() or to pass to another process (SCM_RIGHTS). Still owned here.
    int Fd() const { return m_fd; }
    bool ManualReset() const { return m_manual; }

private:
    int m_fd = -1;
    bool m_manual = true;
};

// Waits until one of `events` is signalled: kWaitObject0 + index of the first signalled one (an
// auto-reset event is consumed), kWaitTimeout, or kWaitFailed. `count` at most 64.
DWORD WaitForAny(Event* const* events, std::size_t count, DWORD timeoutMs);

}  // namespace platform
