// A periodic timer on a thread of its own: what a waitable timer with a period, waited on
// together with a stop event, gives on Windows. The first tick is due at once.
//
// The period is measured on the clock given at construction, which must outlive the timer.
//
// Thread-safety: Start and Stop from one controlling thread; the tick function runs on the
// timer's thread, never concurrently with itself. Stop waits for a running tick to return, so the
// tick function must not call Stop.
#pragma once
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/clock.h"

namespace platform {

class PeriodicTimer {
public:
    explicit PeriodicTimer(const Clock& clock = SystemClock()) : m_clock(clock) {}
    ~PeriodicTimer() { Stop(); }
    PeriodicTimer(const PeriodicTimer&) = delete;
    PeriodicTimer& operator=(const PeriodicTimer&) = delete;

    // false when already running or the thread could not be started.
    bool Start(std::chrono::milliseconds period, std::function<void()> tick);
    // Ends the thread promptly (within one running tick). Safe when not running.
    void Stop();
    bool Running() const { return m_thread.joinable(); }

private:
    void Run(std::chrono::milliseconds period);

    const Clock& m_clock;
    std::function<void()> m_tick;
    std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_stop = false;
    std::thread m_thread;
};

}  // namespace platform
