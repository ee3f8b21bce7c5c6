// The engine-wide state every manager of the process shares: the I/O port (readiness of every
// session socket), the dispatch queue (chunks on their way to the user callbacks), the IO-context
// pool with its trim timer, and the two sets of worker threads. Started by the first manager's
// Initialize, stopped when the last initialised manager goes.
#pragma once
#include <atomic>
#include <chrono>
#include <memory>
#include <vector>

#include "io_context_pool.h"
#include "platform/completion_port.h"
#include "platform/periodic_timer.h"
#include "util/tw_thread.h"

namespace prendle {

class Engine {
public:
    // Joins the engine, starting it when it is not running. TW_SUCCEED, 10 or 11.
    static unsigned long Acquire(Engine** engine);
    // Leaves it; the last one out stops the workers and frees the pool.
    static void Release();

    platform::ReadinessPort& IoPort() { return m_ioPort; }
    platform::CompletionQueue& DispatchPort() { return m_dispatchPort; }
    IoContextPool& Pool() { return m_pool; }

    static std::atomic<long> s_liveConnections;
    // The period of the pool trim (5 s); tests may shorten it before the engine starts.
    static std::atomic<long> s_trimPeriodMs;

private:
    Engine() = default;
    bool Start();
    void Stop();

    platform::ReadinessPort m_ioPort;
    platform::CompletionQueue m_dispatchPort;
    IoContextPool m_pool;
    platform::PeriodicTimer m_trimTimer;
    std::vector<std::unique_ptr<TwThread>> m_workers;
    std::size_t m_workersPerPort = 0;
};

}  // namespace prendle
