#include "batch_sender.h"

namespace qelgw {

BatchSender::BatchSender(SendFn send, CountFn count)
    : m_send(std::move(send)), m_count(std::move(count)), m_thread([this] { Run(); }) {}

BatchSender::~BatchSender() { Stop(); }

std::vector<std::uint8_t> BatchSender::TakeBuffer() {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_free.empty()) return {};
    std::vector<std::uint8_t> buffer = std::move(m_free.back());
    m_free.pop_back();
    return buffer;
}

void BatchSender::Queue(Item item) {
    std::unique_lock<std::mutex> lock(m_lock);
    while (m_queue.size() >= kMaxQueued && !m_stop) {
        m_waiters = true;
        m_room.wait(lock);
    }
    m_queue.push_back(std::move(item));
    // A busy thread finds the batch when it is done with the ones it has: no wake-up needed.
    if (m_sleeping) {
        m_sleeping = false;
        m_work.notify_one();
    }
}

void BatchSender::WaitIdle() {
    std::unique_lock<std::mutex> lock(m_lock);
    while (!m_queue.empty() || m_busy) {
        m_waiters = true;
        m_room.wait(lock);
    }
}

bool BatchSender::Idle() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_queue.empty() && !m_busy;
}

void BatchSender::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stop = true;
        m_work.notify_one();
    }
    if (m_thread.joinable()) m_thread.join();
}

void BatchSender::Run() {
    std::vector<Item> work;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_lock);
            for (auto& item : work) m_free.push_back(std::move(item.wire));
            work.clear();
            m_busy = false;
            if (m_waiters) {
                m_waiters = false;
                m_room.notify_all();
            }
            while (m_queue.empty() && !m_stop) {
                m_sleeping = true;
                m_work.wait(lock);
            }
            m_sleeping = false;
            if (m_queue.empty()) return;  // stopped, and everything queued has gone
            work.swap(m_queue);
            m_busy = true;
            if (m_waiters) {
                m_waiters = false;
                m_room.notify_all();
            }
        }
        SendAll(work);
    }
}

void BatchSender::SendAll(std::vector<Item>& work) {
    std::size_t sent = 0, dropped = 0;
    for (std::size_t i = 0; i < work.size(); ++i) {
        Item& item = work[i];
        bool last = true;
        for (std::size_t j = i + 1; j < work.size() && last; ++j) last = work[j].conn != item.conn;
        const bool ok = item.length > 0 && m_send(*item.conn, item.wire.data(), item.length, last);
        sent += ok ? item.frames : 0;
        dropped += item.dropped + (ok ? 0 : item.frames);
    }
    m_count(sent, dropped);
}

}  // namespace qelgw
