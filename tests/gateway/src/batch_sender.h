// Encrypts and sends the device thread's batches on a thread of its own, in the order they were
// queued, so that reading the device and encrypting overlap. The device thread hands over whole
// batches (one wake-up of this thread at most per batch, none while it is busy), and waits only
// when the queue is full. Each client's last batch of one hand-over flushes its session, so the
// records of the rest go out with it in as few socket writes as the session's buffer allows.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace qelgw {

struct Conn;

class BatchSender {
public:
    struct Item {
        std::shared_ptr<Conn> conn;
        // Whole data messages in its first `length` bytes. The buffer keeps the size it grew to
        // when recycled: growing it again would zero-fill a batch's worth of bytes per batch.
        std::vector<std::uint8_t> wire;
        std::size_t length = 0;
        std::size_t frames = 0;   // how many the batch's frames became
        std::size_t dropped = 0;  // frames of the batch that did not become messages
    };
    // Sends `length` bytes of whole messages to the client, flushing when asked; false when the
    // session took none of it.
    using SendFn = std::function<bool(Conn& conn, const std::uint8_t* data, std::size_t length, bool flush)>;
    // Frames sent and dropped by one hand-over.
    using CountFn = std::function<void(std::size_t sent, std::size_t dropped)>;

    static constexpr std::size_t kMaxQueued = 32;

    BatchSender(SendFn send, CountFn count);
    ~BatchSender();
    BatchSender(const BatchSender&) = delete;
    BatchSender& operator=(const BatchSender&) = delete;

    // A buffer to build the next batch in (one of those the thread has sent from, its old bytes
    // still in it).
    std::vector<std::uint8_t> TakeBuffer();
    // Queues the batch behind those before it; waits while the queue is full.
    void Queue(Item item);
    // Returns once everything queued before the call has been handed to the sessions.
    void WaitIdle();
    // Whether everything queued so far has been handed to the sessions (a look, no wait): then the
    // only thread that queues may send itself without overtaking a batch of its own.
    bool Idle();
    // Sends what is queued, then ends the thread. Nothing may be queued afterwards.
    void Stop();

private:
    void Run();
    void SendAll(std::vector<Item>& work);

    SendFn m_send;
    CountFn m_count;
    std::mutex m_lock;
    std::condition_variable m_work;  // the thread waits here for batches
    std::condition_variable m_room;  // Queue and WaitIdle wait here
    std::vector<Item> m_queue;
    std::vector<std::vector<std::uint8_t>> m_free;
    bool m_sleeping = false;
    bool m_busy = false;
    bool m_stop = false;
    bool m_waiters = false;
    std::thread m_thread;
};

}  // namespace qelgw
