// FIFO: a thread-safe, event-signalled queue of FIFO_MSG records (the socket engine's send queue).
#pragma once
#include <atomic>
#include <cstdint>

#include "platform/event.h"
#include "util/shared_object.h"

// One queued record: the header and `size` payload bytes in one malloc'd block. The producer
// allocates it (malloc(sizeof(FIFO_MSG) + size)), the consumer that dequeued it frees it.
struct FIFO_MSG {
    FIFO_MSG* next;      // set by the queue
    std::int32_t type;   // for the user (the socket engine: 0 data, 1 disconnect request)
    std::uint32_t size;  // payload bytes
    unsigned char* Payload() { return reinterpret_cast<unsigned char*>(this + 1); }
};
static_assert(sizeof(FIFO_MSG) == 16, "the payload follows the three header words directly");

// Any number of producers and consumers; a waiting consumer holds no lock. Records still queued
// when the last reference goes are freed. Reference-counted like every SharedObject.
class FIFO : public SharedObject {
public:
    FIFO();
    ~FIFO() override;

    int EntQ(FIFO_MSG* msg);         // append; 1
    int EntQAtFront(FIFO_MSG* msg);  // prepend; 1
    // Removes the first record, waiting at most timeoutMs in all (0xFFFFFFFF: without limit);
    // null on time-out. The caller owns the record.
    FIFO_MSG* DeptQ(unsigned long timeoutMs);

    unsigned long GetMsgSize();  // bytes queued
    int QSize();                 // records queued
    // Wakes waiting consumers so they look at the queue again; queues nothing.
    void Notify();
    void SetName(const char* name);  // keeps a copy
    const char* QueueName() const { return m_QueueName; }

    void PreShutdown() override;
    void PostShutdown() override;

    static std::atomic<int> nFifo;  // FIFOs constructed in this process

private:
    char* m_QueueName = nullptr;
    platform::Event m_Event;
    FIFO_MSG* m_Head = nullptr;
    // 32 bits: the count must never wrap to 0 while records are queued, or consumers would
    // wait with work in the queue.
    std::atomic<std::uint32_t> m_Count{0};
    FIFO_MSG* m_Tail = nullptr;
    std::atomic<unsigned long> m_EnqueuedTotal{0};
    std::atomic<std::uint32_t> m_ByteTotal{0};
};
