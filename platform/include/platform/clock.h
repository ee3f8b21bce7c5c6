// Wall clock and monotonic clock, passed to whatever waits or keeps time so that tests can move
// time themselves.
//
// Every component that waits takes a `const Clock&` (default: SystemClock()) and measures its
// deadlines with TickMs(). The system clock moves by itself, and timed waits on it use the kernel's
// own time-outs. A manual clock (platform/fake/manual_clock.h) moves only when a test says so; a
// wait on it registers a ClockWaiter for as long as it blocks and is woken on every move, so it
// ends exactly when the test moves time past its deadline.
//
// Lifetime: the caller keeps a clock alive for as long as anything it was passed to may use it.
#pragma once
#include <cstdint>

#include "platform/types.h"

namespace platform {

// The fields of the Windows local-time record.
struct LocalTime {
    WORD year, month, dayOfWeek, day, hour, minute, second, milliseconds;
};

// Something blocked until a clock reaches a deadline. Wake is called, on the thread that moved the
// clock, after every move while the waiter is registered; it must not block for long and must not
// register or remove waiters.
class ClockWaiter {
public:
    virtual void Wake() = 0;

protected:
    ~ClockWaiter() = default;
};

class Clock {
public:
    virtual ~Clock() = default;
    virtual LocalTime Now() const = 0;         // local time
    virtual std::uint64_t TickMs() const = 0;  // monotonic milliseconds

    // false for a clock that moves by itself: waits then sleep in the kernel until the deadline.
    // true for a clock that moves only when told: waits then register themselves to be woken.
    virtual bool Manual() const { return false; }
    // Only on a manual clock. AddWaiter and RemoveWaiter must not be called while holding a lock
    // that a Wake takes; RemoveWaiter returns once no Wake of that waiter runs any more.
    virtual void AddWaiter(ClockWaiter& /*waiter*/) const {}
    virtual void RemoveWaiter(ClockWaiter& /*waiter*/) const {}
};

// The process's system clock (CLOCK_REALTIME local time, CLOCK_MONOTONIC ticks).
const Clock& SystemClock();

inline LocalTime GetLocalTime() { return SystemClock().Now(); }
inline std::uint64_t GetTickCount64() { return SystemClock().TickMs(); }

// A deadline on a clock from a time-out in the Windows convention (kInfinite: never).
class ClockDeadline {
public:
    // Ticks are whole milliseconds read part-way through one, so on a clock that moves by itself
    // the deadline is one tick later: a wait never ends before its time-out.
    ClockDeadline(const Clock& clock, DWORD timeoutMs)
        : m_clock(&clock),
          m_infinite(timeoutMs == kInfinite),
          m_end(clock.TickMs() + timeoutMs + (timeoutMs != 0 && !clock.Manual() ? 1u : 0u)) {}
    // The deadline at a given tick of the clock (for due times kept as ticks).
    static ClockDeadline At(const Clock& clock, std::uint64_t tickMs) {
        ClockDeadline d(clock, 0);
        d.m_end = tickMs;
        return d;
    }
    const Clock& GetClock() const { return *m_clock; }
    bool Infinite() const { return m_infinite; }
    bool Expired() const { return !m_infinite && m_clock->TickMs() >= m_end; }
    // Milliseconds left, 0 when expired, -1 for an infinite wait (the poll() convention).
    int RemainingMs() const {
        if (m_infinite) return -1;
        const std::uint64_t now = m_clock->TickMs();
        if (now >= m_end) return 0;
        const std::uint64_t left = m_end - now;
        return left > 0x7fffffffu ? 0x7fffffff : static_cast<int>(left);
    }

private:
    const Clock* m_clock;
    bool m_infinite;
    std::uint64_t m_end;
};

}  // namespace platform
