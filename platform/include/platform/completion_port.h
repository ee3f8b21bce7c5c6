// The completion layer of the socket engine: what completion ports give the engine, on epoll.
//
// ReadinessPort watches descriptors with one-shot epoll. Each registered IoSource is handled by
// at most one thread at a time: readiness that arrives while its handler runs is merged and
// handed to the same thread when the handler returns, so a source's reads happen in order and
// never concurrently. A descriptor leaves epoll in Detach, and only then may its owner close it.
// A source that reads its descriptor until it is empty (ReadsUntilEmpty) is watched edge-triggered
// instead: it stays armed between events, and the port re-arms it only when what it wants changes,
// which spares a system call per event.
//
// CompletionQueue is a plain queue of posted completions (key, context, byte count) that worker
// threads take from, like a completion port that no descriptor is bound to.
//
// Thread-safety: every call of both classes may be made from any thread.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "platform/types.h"
#include "platform/unique_fd.h"

namespace platform {

// Readiness bits handed to IoSource::OnIoReady and returned by IoSource::WantedEvents.
constexpr std::uint32_t kIoReadable = 1;
constexpr std::uint32_t kIoWritable = 2;
constexpr std::uint32_t kIoHangup = 4;  // peer hang-up (or half-close) or descriptor error (always reported)

class ReadinessPort;

// A descriptor's owner. The port holds one reference (IoAddRef) from Attach to Detach and one
// more while a handler runs, so the owner outlives every call the port makes into it.
class IoSource {
public:
    IoSource() = default;
    virtual ~IoSource() = default;
    IoSource(const IoSource&) = delete;
    IoSource& operator=(const IoSource&) = delete;

    // Re-arms the descriptor with WantedEvents(). Call after any change that makes the source want
    // other events (data queued to send, room made in a receive buffer). A handler that is running
    // re-arms when it returns instead. Does nothing when not attached.
    void UpdateInterest();

protected:
    // Runs on one port thread at a time for this source, with the readiness bits.
    virtual void OnIoReady(std::uint32_t events) = 0;
    // Which readiness the source waits for now (kIoReadable | kIoWritable); 0 leaves it disarmed.
    // Called with the source's registration lock held: must not block or call back into the port.
    virtual std::uint32_t WantedEvents() = 0;
    // true (fixed for the source's life): every handler call that takes readable readiness reads
    // until the descriptor is empty, or wants readable no more until it calls UpdateInterest; the
    // port then watches the descriptor edge-triggered (new data is a new event) and re-arms it only
    // when WantedEvents changes or UpdateInterest is called outside a handler.
    virtual bool ReadsUntilEmpty() { return false; }
    virtual void IoAddRef() = 0;
    virtual void IoRelease() = 0;

private:
    friend class ReadinessPort;
    void ArmLocked(bool evenIfUnchanged);

    std::mutex m_regLock;
    ReadinessPort* m_port = nullptr;
    int m_fd = -1;
    std::uint64_t m_token = 0;
    bool m_attached = false;
    bool m_running = false;
    bool m_edge = false;        // watched edge-triggered (ReadsUntilEmpty)
    std::uint32_t m_armed = 0;  // what an edge-triggered registration watches now
    std::uint32_t m_pending = 0;
};

class ReadinessPort {
public:
    ReadinessPort();
    ~ReadinessPort();
    ReadinessPort(const ReadinessPort&) = delete;
    ReadinessPort& operator=(const ReadinessPort&) = delete;

    bool Valid() const { return m_epoll.Valid(); }

    // Registers `fd` for `source` and arms it with the source's WantedEvents(). false (errno set)
    // when epoll refuses the descriptor; the source is then not attached.
    bool Attach(int fd, IoSource* source);
    // Takes the descriptor out of epoll. Afterwards no new handler call starts for the source; a
    // call already running (possibly the caller itself) finishes. The owner may close the
    // descriptor once this has returned and no handler of its own is still using it.
    void Detach(IoSource* source);

    // Waits up to timeoutMs for readiness and runs the handlers of the sources that became ready
    // (a few at most) on this thread. Returns false on time-out, on WakeAll, or on failure.
    bool RunOnce(DWORD timeoutMs);
    // Makes every thread in RunOnce return now and keeps doing so until ClearWake (stopping).
    void WakeAll();
    void ClearWake();

private:
    friend class IoSource;
    struct Slot {
        IoSource* source = nullptr;
        std::uint32_t generation = 0;
    };
    IoSource* TakeSource(std::uint64_t token);
    void Handle(std::uint64_t token, std::uint32_t events);

    UniqueFd m_epoll;
    UniqueFd m_wakeFd;
    std::mutex m_slotLock;
    std::vector<Slot> m_slots;
    std::vector<std::uint32_t> m_freeSlots;
};

class CompletionQueue {
public:
    struct Completion {
        void* key = nullptr;
        void* context = nullptr;
        std::uint32_t bytes = 0;
    };

    void Post(const Completion& completion);
    // Takes the oldest completion, waiting up to timeoutMs (kInfinite: no limit). false on time-out.
    bool Get(Completion* out, DWORD timeoutMs);
    std::size_t Size();

private:
    std::mutex m_lock;
    std::condition_variable m_ready;
    std::deque<Completion> m_items;
};

}  // namespace platform
