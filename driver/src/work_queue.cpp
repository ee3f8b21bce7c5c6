#include "work_queue.h"

#include <chrono>

namespace olvane {

std::uint64_t MonotonicMs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

TwWorkQueue::TwWorkQueue() : m_thread([this] { Run(); }) {}

TwWorkQueue::~TwWorkQueue() { Stop(); }

TwWorkQueue::Id TwWorkQueue::Queue(std::function<void()> work, std::uint32_t delayMs) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_stop) return 0;
    Id id = m_nextId++;
    m_items.emplace(MonotonicMs() + delayMs, Item{id, std::move(work)});
    m_cv.notify_all();
    return id;
}

bool TwWorkQueue::Cancel(Id id) {
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

bool TwWorkQueue::Drain(std::uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(m_lock);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    return m_idle.wait_until(lock, deadline, [this] {
        return !m_running && (m_items.empty() || m_items.begin()->first > MonotonicMs());
    });
}

void TwWorkQueue::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stop = true;
        m_items.clear();
        m_cv.notify_all();
    }
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_thread.join();
}

void TwWorkQueue::Run() {
    std::unique_lock<std::mutex> lock(m_lock);
    while (!m_stop) {
        if (m_items.empty()) {
            m_idle.notify_all();
            m_cv.wait(lock);
            continue;
        }
        auto due = m_items.begin()->first;
        auto now = MonotonicMs();
        if (due > now) {
            m_idle.notify_all();
            m_cv.wait_for(lock, std::chrono::milliseconds(due - now));
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

}  // namespace olvane
