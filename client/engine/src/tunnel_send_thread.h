// Encrypts and sends the pump's batches on a thread of its own, in the order they were queued,
// so that reading the ring and encrypting overlap. The pump hands over whole batches (one
// wake-up of this thread at most per batch, none while it is busy) and waits only when the
// queue is full; the last batch of a hand-over flushes, so the records of the ones before it
// leave with it in as few socket writes as the session's buffer allows.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/tunnel_data_path.h"

namespace engine {

class TunnelSendThread {
public:
    struct Batch {
        std::vector<std::uint8_t> bytes;  // whole SSR messages
        std::uint64_t frames = 0, frameBytes = 0;
        bool more = false;  // the pump has more at once: its record may wait for the next
    };
    // What became of a batch: SendTunnelBytes' result.
    using Done = std::function<void(const Batch& batch, int sent)>;

    static constexpr std::size_t kMaxQueued = 16;

    TunnelSendThread(TunnelSender& sender, Done done) : m_sender(sender), m_done(std::move(done)) {}
    ~TunnelSendThread() { Stop(); }
    TunnelSendThread(const TunnelSendThread&) = delete;
    TunnelSendThread& operator=(const TunnelSendThread&) = delete;

    bool Start();
    // Sends what is queued, then ends the thread.
    void Stop();
    bool Running() const { return m_thread.joinable(); }
    // An empty buffer to build the next batch in (one of those the thread has sent from).
    std::vector<std::uint8_t> TakeBuffer();
    // Queues the batch behind those before it; waits while the queue is full.
    void Queue(Batch batch);
    // Returns once everything queued before the call has been handed to the sender.
    void WaitIdle();

private:
    void Run();

    TunnelSender& m_sender;
    Done m_done;
    std::mutex m_lock;
    std::condition_variable m_work;  // the thread waits here for batches
    std::condition_variable m_room;  // Queue and WaitIdle wait here
    std::vector<Batch> m_queue;
    std::vector<std::vector<std::uint8_t>> m_free;
    bool m_sleeping = false, m_busy = false, m_stop = false, m_waiters = false;
    std::thread m_thread;
};

}  // namespace engine
