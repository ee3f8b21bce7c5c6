// One-shot epoll keeps each descriptor with at most one thread; the running flag of the source
// merges readiness that a re-arm lets through while a handler is still busy, so two threads never
// read the same socket at once and the order of reads is the order of the data. An edge-triggered
// source's events may reach another thread while its handler runs; the running flag merges them
// the same way, and since its handler reads until the descriptor is empty, data that comes after
// that read is a new edge: nothing waits unreported while the registration stays as it is.
#include "platform/completion_port.h"

#include <cerrno>
#include <chrono>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr std::uint64_t kWakeToken = ~std::uint64_t{0};

std::uint32_t ToEpoll(std::uint32_t wanted, bool edge) {
    std::uint32_t ev = edge ? EPOLLET : EPOLLONESHOT;
    if (wanted & kIoReadable) ev |= EPOLLIN | EPOLLRDHUP;
    if (wanted & kIoWritable) ev |= EPOLLOUT;
    return ev;
}

std::uint32_t FromEpoll(std::uint32_t ev) {
    std::uint32_t bits = 0;
    if (ev & (EPOLLIN | EPOLLRDHUP)) bits |= kIoReadable;
    if (ev & EPOLLOUT) bits |= kIoWritable;
    // The peer's half-close too: a reader watched edge-triggered must read on to the end of the
    // stream, which brings no event of its own.
    if (ev & (EPOLLHUP | EPOLLERR | EPOLLRDHUP)) bits |= kIoHangup | kIoReadable;
    return bits;
}

}  // namespace

void IoSource::UpdateInterest() {
    std::lock_guard<std::mutex> guard(m_regLock);
    // Outside a handler the caller may have made room for what is already there: the modification
    // makes epoll look at the descriptor's state again.
    if (m_attached && !m_running) ArmLocked(true);
}

void IoSource::ArmLocked(bool evenIfUnchanged) {
    std::uint32_t wanted = WantedEvents();
    if (m_edge) {
        // Still armed with what it wants: nothing to do.
        if (wanted == m_armed && !evenIfUnchanged) return;
        m_armed = wanted;
    } else if (wanted == 0) {
        return;
    }
    epoll_event ev{};
    // An edge-triggered source that wants nothing keeps only the hang-up and error reports, which
    // epoll never leaves out.
    ev.events = ToEpoll(wanted, m_edge);
    ev.data.u64 = m_token;
    epoll_ctl(m_port->m_epoll.Get(), EPOLL_CTL_MOD, m_fd, &ev);
}

ReadinessPort::ReadinessPort() {
    m_epoll.Reset(epoll_create1(EPOLL_CLOEXEC));
    m_wakeFd.Reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (m_epoll.Valid() && m_wakeFd.Valid()) {
        // Level-triggered on purpose: once woken, every waiting thread sees it until ClearWake.
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = kWakeToken;
        if (epoll_ctl(m_epoll.Get(), EPOLL_CTL_ADD, m_wakeFd.Get(), &ev) == 0) return;
    }
    m_epoll.Reset();
    m_wakeFd.Reset();
}

ReadinessPort::~ReadinessPort() = default;

bool ReadinessPort::Attach(int fd, IoSource* source) {
    if (!m_epoll.Valid() || fd < 0 || source == nullptr) {
        errno = EINVAL;
        return false;
    }
    std::uint64_t token;
    {
        std::lock_guard<std::mutex> guard(m_slotLock);
        std::uint32_t index;
        if (!m_freeSlots.empty()) {
            index = m_freeSlots.back();
            m_freeSlots.pop_back();
        } else {
            index = static_cast<std::uint32_t>(m_slots.size());
            m_slots.push_back(Slot{});
        }
        Slot& slot = m_slots[index];
        slot.source = source;
        ++slot.generation;
        token = (std::uint64_t{slot.generation} << 32) | index;
    }
    source->IoAddRef();
    std::lock_guard<std::mutex> guard(source->m_regLock);
    source->m_port = this;
    source->m_fd = fd;
    source->m_token = token;
    source->m_edge = source->ReadsUntilEmpty();
    source->m_armed = source->WantedEvents();
    epoll_event ev{};
    ev.events = ToEpoll(source->m_armed, source->m_edge);
    ev.data.u64 = token;
    if (epoll_ctl(m_epoll.Get(), EPOLL_CTL_ADD, fd, &ev) != 0) {
        int err = errno;
        {
            std::lock_guard<std::mutex> slotGuard(m_slotLock);
            auto index = static_cast<std::uint32_t>(token & 0xFFFFFFFFu);
            m_slots[index].source = nullptr;
            m_freeSlots.push_back(index);
        }
        source->m_port = nullptr;
        source->m_fd = -1;
        source->IoRelease();
        errno = err;
        return false;
    }
    source->m_attached = true;
    return true;
}

void ReadinessPort::Detach(IoSource* source) {
    {
        std::lock_guard<std::mutex> guard(source->m_regLock);
        if (!source->m_attached || source->m_port != this) return;
        source->m_attached = false;
        epoll_ctl(m_epoll.Get(), EPOLL_CTL_DEL, source->m_fd, nullptr);
        std::lock_guard<std::mutex> slotGuard(m_slotLock);
        auto index = static_cast<std::uint32_t>(source->m_token & 0xFFFFFFFFu);
        m_slots[index].source = nullptr;
        m_freeSlots.push_back(index);
    }
    source->IoRelease();
}

IoSource* ReadinessPort::TakeSource(std::uint64_t token) {
    std::lock_guard<std::mutex> guard(m_slotLock);
    auto index = static_cast<std::uint32_t>(token & 0xFFFFFFFFu);
    auto generation = static_cast<std::uint32_t>(token >> 32);
    if (index >= m_slots.size()) return nullptr;
    Slot& slot = m_slots[index];
    if (slot.source == nullptr || slot.generation != generation) return nullptr;
    slot.source->IoAddRef();
    return slot.source;
}

bool ReadinessPort::RunOnce(DWORD timeoutMs) {
    if (!m_epoll.Valid()) return false;
    // A few events per wait: one-shot hands each to this thread alone, and taking them together
    // spares wake-ups when many descriptors are busy.
    epoll_event events[8];
    int timeout = timeoutMs == kInfinite ? -1 : static_cast<int>(timeoutMs);
    // No spinning before the wait: with many workers on one port, yielding loops take the CPUs
    // the peers of the tunnel need and cost more switches than the wake-up they would spare.
    const int n = epoll_wait(m_epoll.Get(), events, 8, timeout);
    bool ran = false;
    for (int i = 0; i < n; ++i) {
        if (events[i].data.u64 == kWakeToken) continue;
        Handle(events[i].data.u64, FromEpoll(events[i].events));
        ran = true;
    }
    return ran;
}

void ReadinessPort::Handle(std::uint64_t token, std::uint32_t events) {
    IoSource* source = TakeSource(token);
    if (source == nullptr) return;  // detached between the event and now
    std::unique_lock<std::mutex> lock(source->m_regLock);
    if (source->m_running) {
        source->m_pending |= events;
        lock.unlock();
        source->IoRelease();
        return;
    }
    source->m_running = true;
    for (;;) {
        lock.unlock();
        source->OnIoReady(events);
        lock.lock();
        if (source->m_pending == 0 || !source->m_attached) break;
        events = source->m_pending;
        source->m_pending = 0;
    }
    source->m_running = false;
    if (source->m_attached) source->ArmLocked(false);
    lock.unlock();
    source->IoRelease();
}

void ReadinessPort::WakeAll() {
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(m_wakeFd.Get(), &one, sizeof(one));
}

void ReadinessPort::ClearWake() {
    std::uint64_t value;
    [[maybe_unused]] ssize_t n = read(m_wakeFd.Get(), &value, sizeof(value));
}

void CompletionQueue::Post(const Completion& completion) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_items.push_back(completion);
    }
    m_ready.notify_one();
}

bool CompletionQueue::Get(Completion* out, DWORD timeoutMs) {
    std::unique_lock<std::mutex> lock(m_lock);
    if (timeoutMs == kInfinite) {
        m_ready.wait(lock, [this] { return !m_items.empty(); });
    } else if (!m_ready.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [this] { return !m_items.empty(); })) {
        return false;
    }
    *out = m_items.front();
    m_items.pop_front();
    return true;
}

std::size_t CompletionQueue::Size() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_items.size();
}

}  // namespace platform
