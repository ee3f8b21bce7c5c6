// A clock for tests: time stands still until the test moves it. Pass it to the code under test
// instead of the system clock and keep it alive longer than that code.
//
// Waits on it are deterministic: a wait registers itself while it blocks, Waiters() tells how many
// are blocked, and Advance wakes every one of them, so a test advances only once the code waits
// (WaitForWaiters) and never sleeps. Thread-safe: code under test reads and waits on it while the
// test advances it.
#pragma once
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/clock.h"

namespace platform::fake {

class ManualClock final : public Clock {
public:
    explicit ManualClock(std::uint64_t startTickMs = 1000000, LocalTime start = {2026, 1, 4, 1, 12, 0, 0, 0})
        : m_tick(startTickMs), m_local(start) {}
    ~ManualClock() override = default;
    ManualClock(const ManualClock&) = delete;
    ManualClock& operator=(const ManualClock&) = delete;

    LocalTime Now() const override {
        std::lock_guard<std::mutex> lock(m_timeMutex);
        return m_local;
    }
    std::uint64_t TickMs() const override { return m_tick.load(); }
    bool Manual() const override { return true; }

    void AddWaiter(ClockWaiter& waiter) const override {
        std::lock_guard<std::mutex> lock(m_waitMutex);
        m_waiters.push_back(&waiter);
        m_changed.notify_all();
    }
    void RemoveWaiter(ClockWaiter& waiter) const override {
        std::unique_lock<std::mutex> lock(m_waitMutex);
        m_waiters.erase(std::remove(m_waiters.begin(), m_waiters.end(), &waiter), m_waiters.end());
        m_changed.wait(lock, [&] { return m_waking != &waiter; });
        m_changed.notify_all();
    }

    // Moves the monotonic clock (and the milliseconds, seconds and minutes of the local time;
    // hours and dates are left alone: set them with SetLocalTime), then wakes every waiter.
    void Advance(std::uint64_t ms) {
        std::lock_guard<std::mutex> one(m_advanceMutex);
        {
            std::lock_guard<std::mutex> lock(m_timeMutex);
            std::uint64_t total = m_local.milliseconds + 1000u * (m_local.second + 60u * m_local.minute) + ms;
            m_local.milliseconds = static_cast<WORD>(total % 1000u);
            m_local.second = static_cast<WORD>(total / 1000u % 60u);
            m_local.minute = static_cast<WORD>(total / 60000u % 60u);
        }
        std::unique_lock<std::mutex> lock(m_waitMutex);
        m_tick += ms;
        // Wake runs without our lock (it takes the waiter's own), one waiter at a time; a waiter
        // that leaves meanwhile is skipped, and RemoveWaiter waits for a Wake in progress.
        std::vector<ClockWaiter*> snapshot = m_waiters;
        for (ClockWaiter* w : snapshot) {
            if (std::find(m_waiters.begin(), m_waiters.end(), w) == m_waiters.end()) continue;
            m_waking = w;
            lock.unlock();
            w->Wake();
            lock.lock();
            m_waking = nullptr;
            m_changed.notify_all();
        }
    }
    void SetLocalTime(const LocalTime& t) {
        std::lock_guard<std::mutex> lock(m_timeMutex);
        m_local = t;
    }

    // How many waits are blocked on this clock right now.
    std::size_t Waiters() const {
        std::lock_guard<std::mutex> lock(m_waitMutex);
        return m_waiters.size();
    }
    // Blocks (for at most `limit` of real time) until at least `count` waits are blocked on this
    // clock; false when that did not happen in time.
    bool WaitForWaiters(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10)) const {
        std::unique_lock<std::mutex> lock(m_waitMutex);
        return m_changed.wait_for(lock, limit, [&] { return m_waiters.size() >= count; });
    }

private:
    std::mutex m_advanceMutex;  // one Advance at a time
    std::atomic<std::uint64_t> m_tick;
    mutable std::mutex m_timeMutex;
    LocalTime m_local;
    mutable std::mutex m_waitMutex;
    mutable std::condition_variable m_changed;
    mutable std::vector<ClockWaiter*> m_waiters;
    ClockWaiter* m_waking = nullptr;
};

}  // namespace platform::fake
