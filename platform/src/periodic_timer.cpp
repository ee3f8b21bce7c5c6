#include "platform/periodic_timer.h"

#include <system_error>

#include "platform/clock_wait.h"

namespace platform {

bool PeriodicTimer::Start(std::chrono::milliseconds period, std::function<void()> tick) {
    if (m_thread.joinable() || !tick) return false;
    m_tick = std::move(tick);
    m_stop = false;
    try {
        m_thread = std::thread([this, period] { Run(period); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void PeriodicTimer::Stop() {
    if (!m_thread.joinable()) return;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void PeriodicTimer::Run(std::chrono::milliseconds period) {
    const auto periodMs = static_cast<std::uint64_t>(period.count() > 0 ? period.count() : 0);
    std::uint64_t due = m_clock.TickMs();
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        if (WaitOn(ClockDeadline::At(m_clock, due), lock, m_wake, [this] { return m_stop; })) return;
        lock.unlock();
        m_tick();
        lock.lock();
        due += periodMs;
        const std::uint64_t after = m_clock.TickMs();
        if (due < after) due = after;  // a slow tick does not cause a burst of catch-up ticks
    }
}

}  // namespace platform
