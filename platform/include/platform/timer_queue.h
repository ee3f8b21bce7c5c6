// A timer queue: one thread runs queued work items in due-time order, what a Windows timer queue
// or a driver's delayed work queue gives. Due times are measured on the clock given at
// construction, which must outlive the queue.
//
// Thread-safety: every call from any thread, including from a work item (but Stop from a work
// item does not wait for the thread). Items run one at a time; an item may be cancelled by id until
// it starts. Stop drops the items not yet run and joins the thread.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "platform/clock.h"

namespace platform {

class TimerQueue {
public:
    using Id = std::uint64_t;
    explicit TimerQueue(const Clock& clock = SystemClock());
    ~TimerQueue();
    TimerQueue(const TimerQueue&) = delete;
    TimerQueue& operator=(const TimerQueue&) = delete;

    // Runs `work` once `delayMs` passed on the clock (0: as soon as possible). 0 once stopped.
    Id Queue(std::function<void()> work, std::uint32_t delayMs = 0);
    // true when the item was still waiting and is now removed.
    bool Cancel(Id id);
    // Waits, at most `timeoutMs` of real time, until every item due now has run; tests use it to
    // settle. false when items due were still waiting or running at the end.
    bool Drain(std::uint32_t timeoutMs);
    void Stop();

private:
    void Run();
    struct Item {
        Id id;
        std::function<void()> work;
    };
    const Clock& m_clock;
    std::mutex m_lock;
    std::condition_variable m_cv;
    std::condition_variable m_idle;
    std::multimap<std::uint64_t, Item> m_items;  // due tick -> item
    Id m_nextId = 1;
    bool m_stop = false;
    bool m_running = false;
    std::thread m_thread;
};

}  // namespace platform
