#include "util/fifo.h"

#include <chrono>
#include <cstdlib>
#include <cstring>

std::atomic<int> FIFO::nFifo{0};

FIFO::FIFO() : SharedObject("FIFO"), m_Event(true, false) { ++nFifo; }

FIFO::~FIFO() {
    std::free(m_QueueName);
    m_QueueName = nullptr;
}

int FIFO::EntQ(FIFO_MSG* msg) {
    Synchronizer lock(this);
    ++m_EnqueuedTotal;
    msg->next = nullptr;
    if (m_Tail) {
        m_Tail->next = msg;
    } else {
        m_Head = msg;
    }
    m_Tail = msg;
    ++m_Count;
    m_ByteTotal += msg->size;
    m_Event.Set();
    return 1;
}

int FIFO::EntQAtFront(FIFO_MSG* msg) {
    Synchronizer lock(this);
    ++m_EnqueuedTotal;
    msg->next = m_Head;
    m_Head = msg;
    if (!m_Tail) m_Tail = msg;
    ++m_Count;
    m_ByteTotal += msg->size;
    m_Event.Set();
    return 1;
}

FIFO_MSG* FIFO::DeptQ(unsigned long timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const bool forever = timeoutMs == 0xFFFFFFFFUL;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : timeoutMs);
    Lock();
    while (m_Head == nullptr) {
        // Nothing queued: a set event is stale (a Notify, or a record another consumer took), so
        // clear it under the lock -- producers set it under the same lock, no wake-up is lost.
        m_Event.Reset();
        Unlock();
        DWORD waitMs = platform::kInfinite;
        if (!forever) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            waitMs = left.count() > 0 ? static_cast<DWORD>(left.count()) : 0;
        }
        DWORD result = m_Event.Wait(waitMs);
        if (result == platform::kWaitTimeout || result == platform::kWaitFailed) return nullptr;
        Lock();
        if (m_Head == nullptr && !forever && Clock::now() >= deadline) {
            Unlock();
            return nullptr;
        }
    }
    FIFO_MSG* msg = m_Head;
    m_Head = msg->next;
    if (!m_Head) m_Tail = nullptr;
    --m_Count;
    // Only an empty queue clears the event: clearing it with records left could strand another
    // consumer already waiting on it.
    if (!m_Head) m_Event.Reset();
    m_ByteTotal -= msg->size;
    Unlock();
    msg->next = nullptr;
    return msg;
}

unsigned long FIFO::GetMsgSize() { return m_ByteTotal.load(); }
int FIFO::QSize() { return static_cast<int>(m_Count.load()); }
void FIFO::Notify() { m_Event.Set(); }

void FIFO::SetName(const char* name) {
    Synchronizer lock(this);
    std::free(m_QueueName);
    m_QueueName = name ? strdup(name) : nullptr;
}

void FIFO::PreShutdown() {
    while (FIFO_MSG* msg = DeptQ(0)) std::free(msg);
}

void FIFO::PostShutdown() {}
