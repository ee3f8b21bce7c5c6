// Condition-variable waits measured on a Clock.
//
// WaitOn(clock, lock, cv, timeoutMs, done) is cv.wait_for(lock, timeout, done) with the time-out
// counted on `clock`: on the system clock it is exactly that; on a manual clock the wait ends when
// `done()` holds or the test moves the clock past the deadline. `lock` is held on entry and on
// return and, as with any condition-variable wait, released while blocked (on a manual clock also
// briefly while the wait registers with the clock). Returns done() as seen on return.
//
// Code that keeps due times as ticks passes a ClockDeadline::At(clock, due) instead of a time-out
// worked out from an earlier reading of the clock, which a move of a manual clock in between
// would push back.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/clock.h"

namespace platform {

namespace detail {

// Taking the waiter's mutex before notifying closes the gap between its look at the clock and its
// block on the condition variable, so that no move of the clock is missed.
class ConditionWaiter final : public ClockWaiter {
public:
    ConditionWaiter(std::mutex& mutex, std::condition_variable& cv) : m_mutex(mutex), m_cv(cv) {}
    void Wake() override {
        { std::lock_guard<std::mutex> guard(m_mutex); }
        m_cv.notify_all();
    }

private:
    std::mutex& m_mutex;
    std::condition_variable& m_cv;
};

}  // namespace detail

template <class Pred>
bool WaitOn(const ClockDeadline& deadline, std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
            Pred done) {
    if (done()) return true;
    if (deadline.Expired()) return false;
    const Clock& clock = deadline.GetClock();
    if (!clock.Manual()) {
        if (deadline.Infinite()) {
            cv.wait(lock, done);
            return true;
        }
        while (!done()) {
            const int left = deadline.RemainingMs();
            if (left <= 0) return false;
            cv.wait_for(lock, std::chrono::milliseconds(left));
        }
        return true;
    }
    detail::ConditionWaiter waiter(*lock.mutex(), cv);
    lock.unlock();
    clock.AddWaiter(waiter);
    lock.lock();
    while (!done() && !deadline.Expired()) cv.wait(lock);
    lock.unlock();
    clock.RemoveWaiter(waiter);
    lock.lock();
    return done();
}

template <class Pred>
bool WaitOn(const Clock& clock, std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
            DWORD timeoutMs, Pred done) {
    return WaitOn(ClockDeadline(clock, timeoutMs), lock, cv, done);
}

// A pause measured on `clock`, so that a test's manual clock ends it.
inline void SleepOn(const Clock& clock, DWORD ms) {
    std::mutex mutex;
    std::condition_variable never;
    std::unique_lock<std::mutex> lock(mutex);
    WaitOn(clock, lock, never, ms, [] { return false; });
}

}  // namespace platform
