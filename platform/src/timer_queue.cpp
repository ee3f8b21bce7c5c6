#include "platform/timer_queue.h"

#include "platform/clock_wait.h"

namespace platform {

TimerQueue::TimerQueue(const Clock& clock) : m_clock(clock), m_thread([this] { Run(); }) {}

TimerQueue::~TimerQueue() { Stop(); }

TimerQueue::Id TimerQueue::Queue(std::function<void()> work, std::uint32_t delayMs) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_stop || !work) return 0;
    Id id = m_nextId++;
    m_items.emplace(m_clock.TickMs() + delayMs, Item{id, std::move(work)});
    m_cv.notify_all();
    return id;
}

bool TimerQueue::Cancel(Id id) {
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto it = m_items.begin(); it != m_items.end(); ++it) {
        if (it->second.id == id) {
            m_items.erase(it);
            m_idle.notify_all();
            return true;
        }
    }
    return false;
}

bool TimerQueue::Drain(std::uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_idle.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] {
        return m_stop || (!m_running && (m_items.empty() || m_items.begin()->first > m_clock.TickMs()));
    });
}

void TimerQueue::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stop = true;
        m_items.clear();
        m_cv.notify_all();
    }
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_thread.join();
}

void TimerQueue::Run() {
    std::unique_lock<std::mutex> lock(m_lock);
    while (!m_stop) {
        if (m_items.empty() || m_items.begin()->first > m_clock.TickMs()) {
            m_idle.notify_all();
            // Wakes for a stop, an earlier item, or the first item's due time.
            const bool empty = m_items.empty();
            const std::uint64_t first = empty ? 0 : m_items.begin()->first;
            const std::size_t count = m_items.size();
            auto changed = [&] {
                return m_stop || m_items.size() != count ||
                       (!m_items.empty() && m_items.begin()->first != first);
            };
            WaitOn(empty ? ClockDeadline(m_clock, kInfinite) : ClockDeadline::At(m_clock, first), lock, m_cv,
                   changed);
            continue;
        }
        Item item = std::move(m_items.begin()->second);
        m_items.erase(m_items.begin());
        m_running = true;
        lock.unlock();
        item.work();
        lock.lock();
        m_running = false;
    }
    m_idle.notify_all();
}

}  // namespace platform
