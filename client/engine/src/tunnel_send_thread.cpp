#include "tunnel_send_thread.h"

namespace engine {

bool TunnelSendThread::Start() {
    if (m_thread.joinable()) return true;
    m_stop = false;
    try {
        m_thread = std::thread([this] { Run(); });
    } catch (...) {
        return false;
    }
    return true;
}

void TunnelSendThread::Stop() {
    if (!m_thread.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stop = true;
        m_work.notify_one();
    }
    m_thread.join();
}

std::vector<std::uint8_t> TunnelSendThread::TakeBuffer() {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_free.empty()) return {};
    std::vector<std::uint8_t> buffer = std::move(m_free.back());
    m_free.pop_back();
    buffer.clear();
    return buffer;
}

void TunnelSendThread::Queue(Batch batch) {
    std::unique_lock<std::mutex> lock(m_lock);
    while (m_queue.size() >= kMaxQueued && !m_stop) {
        m_waiters = true;
        m_room.wait(lock);
    }
    m_queue.push_back(std::move(batch));
    // A busy thread finds the batch when it is done with the ones it has: no wake-up needed.
    if (m_sleeping) {
        m_sleeping = false;
        m_work.notify_one();
    }
}

void TunnelSendThread::WaitIdle() {
    std::unique_lock<std::mutex> lock(m_lock);
    while (!m_queue.empty() || m_busy) {
        m_waiters = true;
        m_room.wait(lock);
    }
}

void TunnelSendThread::Run() {
    std::vector<Batch> work;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_lock);
            for (auto& batch : work) m_free.push_back(std::move(batch.bytes));
            work.clear();
            m_busy = false;
            while (m_queue.empty() && !m_stop) {
                if (m_waiters) {
                    m_waiters = false;
                    m_room.notify_all();
                }
                m_sleeping = true;
                m_work.wait(lock);
            }
            m_sleeping = false;
            if (m_waiters) {
                m_waiters = false;
                m_room.notify_all();
            }
            if (m_queue.empty()) return;  // stopped, and everything queued has gone
            work.swap(m_queue);
            m_busy = true;
        }
        for (std::size_t i = 0; i < work.size(); ++i) {
            const Batch& batch = work[i];
            const bool more = batch.more || i + 1 < work.size();
            m_done(batch, m_sender.SendTunnelBytes(batch.bytes.data(), batch.bytes.size(), more));
        }
    }
}

}  // namespace engine
