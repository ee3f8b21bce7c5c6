// A clock for tests: time stands still until the test moves it. Install it with
// platform::SetClockForTest(&clock) and remove it with SetClockForTest(nullptr) before it dies.
// Thread-safe: code under test may read it while the test advances it.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/clock.h"

namespace platform::fake {

class ManualClock final : public Clock {
  public:
    explicit ManualClock(std::uint64_t startTickMs = 1000000, LocalTime start = {2026, 1, 4, 1, 12, 0, 0, 0})
        : m_tick(startTickMs), m_local(start) {}

    LocalTime Now() const override {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_local;
    }
    std::uint64_t TickMs() const override { return m_tick.load(); }

    // Moves the monotonic clock (and the milliseconds, seconds and minutes of the local time;
    // hours and dates are left alone: set them with SetLocalTime).
    void Advance(std::uint64_t ms) {
        m_tick += ms;
        std::lock_guard<std::mutex> lock(m_mutex);
        std::uint64_t total = m_local.milliseconds + 1000u * (m_local.second + 60u * m_local.minute) + ms;
        m_local.milliseconds = static_cast<WORD>(total % 1000u);
        m_local.second = static_cast<WORD>(total / 1000u % 60u);
        m_local.minute = static_cast<WORD>(total / 60000u % 60u);
    }
    void SetLocalTime(const LocalTime& t) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_local = t;
    }

  private:
    std::atomic<std::uint64_t> m_tick;
    mutable std::mutex m_mutex;
    LocalTime m_local;
};

}  // namespace platform::fake
