// The delayed work queue and timers of the driver: one thread runs queued items in due-time
// order. Items may be cancelled by id before they start. Thread-safe. Stop() joins the thread;
// items not yet run are dropped.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace olvane {

class TwWorkQueue {
public:
    using Id = std::uint64_t;
    TwWorkQueue();
    ~TwWorkQueue();
    TwWorkQueue(const TwWorkQueue&) = delete;
    TwWorkQueue& operator=(const TwWorkQueue&) = delete;

    // Runs `work` after `delayMs` (0: as soon as possible). Returns 0 once stopped.
    Id Queue(std::function<void()> work, std::uint32_t delayMs = 0);
    // true when the item was still waiting and is now removed.
    bool Cancel(Id id);
    // Waits (bounded) until every item due now has run. Tests use it to settle.
    bool Drain(std::uint32_t timeoutMs);
    void Stop();

private:
    void Run();
    struct Item {
        Id id;
        std::function<void()> work;
    };
    std::mutex m_lock;
    std::condition_variable m_cv;
    std::condition_variable m_idle;
    std::multimap<std::uint64_t, Item> m_items;  // due time (ms, monotonic) -> item
    Id m_nextId = 1;
    bool m_stop = false;
    bool m_running = false;
    std::thread m_thread;
};

std::uint64_t MonotonicMs();

}  // namespace olvane
