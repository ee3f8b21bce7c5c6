// A short, adaptive busy-poll before a data-path reader sleeps.
//
// Waking a sleeping thread costs tens of microseconds on a virtual machine (the idle CPU's exit,
// the scheduler, the cache), and a frame crosses several sleeping readers on its way through the
// tunnel. A reader that has just run dry therefore looks at its source a little longer before it
// sleeps, but only while the traffic says it pays: the last frame came in at most `window` after
// the one before, and that was no longer ago than `window`. An idle reader, or one fed by sparse
// traffic, goes to sleep at once, so an idle suite stays asleep.
//
// Spinning never replaces the sleep's own protocol: a spin that runs out leaves the reader
// exactly where it was before (it announces its sleep and looks once more, as always), so a
// frame arriving at the spin's end is found by that last look or wakes the sleep.
//
// A spinner never leaves the CPU of its own accord: the writer rings only a reader that announced
// its sleep, so a frame written while an unannounced reader waits for the CPU waits with it, and
// on a loaded machine a yield hands the CPU to another process for its whole time slice
// (milliseconds). A spin that finds it was off the CPU all the same (preempted) ends at once: the
// CPU is contended, and a reader asleep on its doorbell is woken sooner than a spinner gets its
// next turn.
//
// Thread-safety: a BusyPoll belongs to one reader thread. Only single readers spin: a spin among
// several waiters of one source (the socket engine's port, polled without sleeping) made round
// trips faster but cost the transfers 10-15 % of their throughput and the tail its 99th
// percentile on a shared machine.
#pragma once
#include <cstdint>

namespace platform {

struct BusyPollTiming {
    std::int64_t budgetNs;  // spin at most this long before sleeping; 0 switches spinning off
    std::int64_t windowNs;  // spin only while frames came at most this far apart, and this recently
};

// The data path's spin, for every wait point that uses one.
BusyPollTiming DataPathBusyPoll();

constexpr std::int64_t kBusyPollNever = INT64_MIN;

// Between two looks of a spin, longer than any look takes: the spinner was off the CPU.
constexpr std::int64_t kBusyPollOffCpuNs = 50'000;

// CLOCK_MONOTONIC in nanoseconds (the vDSO: no system call).
std::int64_t MonotonicNs();

// Tells the CPU (and a hypervisor watching for spinning guests) that this is a wait loop.
inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#endif
}

// When the last arrivals say a spin pays.
inline bool SpinPays(const BusyPollTiming& t, std::int64_t now, std::int64_t last, std::int64_t gap) {
    return t.budgetNs > 0 && last != kBusyPollNever && gap <= t.windowNs && now - last <= t.windowNs;
}

// A device reader's choice after a frame: read once more, or go back to its poll. A frame that
// came alone (none in the `kBurstGapNs` before it) most likely left the device's queue empty, and
// a read would only return EAGAIN: the poll, which sleeps, is the cheaper next call, and it
// returns at once if a frame came after all. Frames that follow each other closely are read on
// until the queue is empty, one poll for many reads.
class BurstHint {
public:
    static constexpr std::int64_t kBurstGapNs = 50'000;
    using NowFn = std::int64_t (*)();
    explicit BurstHint(NowFn now = MonotonicNs) : m_now(now) {}
    // The reader took a frame: true to read on at once, false to poll first.
    bool TookFrame() {
        const std::int64_t now = m_now();
        const bool close = m_last != kBusyPollNever && now - m_last <= kBurstGapNs;
        m_last = now;
        return close;
    }

private:
    NowFn m_now;
    std::int64_t m_last = kBusyPollNever;
};

class BusyPoll {
public:
    using NowFn = std::int64_t (*)();
    explicit BusyPoll(BusyPollTiming timing = DataPathBusyPoll(), NowFn now = MonotonicNs)
        : m_timing(timing), m_now(now) {}

    // The reader took a frame after it had run dry (once per wake-up, not per frame).
    void Arrived() { Note(m_now()); }

    // The reader ran dry: while spinning pays, calls `ready` (which may take the frame it finds)
    // until it returns true, the budget is spent or the spinner finds it was off the CPU. true: go
    // on without sleeping (the arrival is noted); false: sleep as usual.
    template <class Ready>
    bool Spin(Ready&& ready) {
        const std::int64_t start = m_now();
        if (!SpinPays(m_timing, start, m_last, m_gap)) return false;
        for (std::int64_t before = start;;) {
            if (ready()) {
                Note(m_now());
                return true;
            }
            const std::int64_t now = m_now();
            if (now - before > kBusyPollOffCpuNs) {
                // Preempted: no more spinning until the traffic says so again, on the CPU.
                m_last = kBusyPollNever;
                return false;
            }
            if (now - start >= m_timing.budgetNs) return false;
            before = now;
            CpuRelax();
        }
    }

private:
    void Note(std::int64_t now) {
        m_gap = m_last == kBusyPollNever ? INT64_MAX : now - m_last;
        m_last = now;
    }

    BusyPollTiming m_timing;
    NowFn m_now;
    std::int64_t m_last = kBusyPollNever;
    std::int64_t m_gap = INT64_MAX;
};

}  // namespace platform
