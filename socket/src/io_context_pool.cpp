#include "io_context_pool.h"

#include <new>

#include <cstdlib>

namespace prendle {

IoContextPool::IoContextPool() {
    for (std::size_t i = 0; i < kInitial; ++i) {
        auto* r = new (std::nothrow) RecvContext;
        if (r != nullptr) {
            m_recv.free.push_back(r);
            ++m_recv.created;
        }
        auto* s = new (std::nothrow) SendContext;
        if (s != nullptr) {
            m_send.free.push_back(s);
            ++m_send.created;
        }
    }
}

IoContextPool::~IoContextPool() {
    for (auto* r : m_recv.free) delete r;
    for (auto* s : m_send.free) delete s;
}

template <class T>
T* IoContextPool::Take(FreeList<T>& list) {
    std::lock_guard<std::mutex> guard(list.lock);
    if (!list.free.empty()) {
        T* context = list.free.back();
        list.free.pop_back();
        return context;
    }
    T* context = new (std::nothrow) T;
    if (context != nullptr) ++list.created;
    return context;
}

RecvContext* IoContextPool::GetRecv() {
    RecvContext* context = Take(m_recv);
    if (context != nullptr) context->kind = IoContext::kReceive;
    return context;
}

SendContext* IoContextPool::GetSend() {
    SendContext* context = Take(m_send);
    if (context != nullptr) context->kind = IoContext::kSend;
    return context;
}

void IoContextPool::ReturnRecv(RecvContext* context) {
    context->connection = nullptr;
    context->bytes = 0;
    context->sequence = 0;
    std::lock_guard<std::mutex> guard(m_recv.lock);
    m_recv.free.push_back(context);
}

void IoContextPool::ReturnSend(SendContext* context) {
    for (int i = 0; i < context->count; ++i) std::free(context->messages[i]);
    context->count = 0;
    context->total = 0;
    context->sent = 0;
    context->disconnectAfter = false;
    context->connection = nullptr;
    context->bytes = 0;
    std::lock_guard<std::mutex> guard(m_send.lock);
    m_send.free.push_back(context);
}

template <class T>
void IoContextPool::TrimList(FreeList<T>& list) {
    std::lock_guard<std::mutex> guard(list.lock);
    std::size_t idle = list.free.size();
    if (list.created <= kTrimFloor || idle <= list.created * 2 / 3) return;
    // From the last free context down to index idle / 2 inclusive.
    while (list.free.size() > idle / 2) {
        delete list.free.back();
        list.free.pop_back();
        --list.created;
    }
}

void IoContextPool::Trim() {
    TrimList(m_recv);
    TrimList(m_send);
}

std::size_t IoContextPool::RecvCreated() {
    std::lock_guard<std::mutex> guard(m_recv.lock);
    return m_recv.created;
}
std::size_t IoContextPool::RecvFree() {
    std::lock_guard<std::mutex> guard(m_recv.lock);
    return m_recv.free.size();
}
std::size_t IoContextPool::SendCreated() {
    std::lock_guard<std::mutex> guard(m_send.lock);
    return m_send.created;
}

}  // namespace prendle
