#include "platform/periodic_timer.h"

#include <system_error>

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
    auto due = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        if (m_wake.wait_until(lock, due, [this] { return m_stop; })) return;
        lock.unlock();
        m_tick();
        lock.lock();
        due += period;
        auto now = std::chrono::steady_clock::now();
        if (due < now) due = now;  // a slow tick does not cause a burst of catch-up ticks
    }
}

}  // namespace platform
