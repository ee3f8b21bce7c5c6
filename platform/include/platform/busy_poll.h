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
// Thread-safety: a BusyPoll belongs to one reader thread. Only single readers spin: a spin among
// several waiters of one source (the socket engine's port, polled without sleeping) made round
// trips faster but cost the transfers 10-15 % of their throughput and the tail its 99th
// percentile on a shared machine.
#pragma once
#include <sched.h>

#include <cstdint>

namespace platform {

struct BusyPollTiming {
    std::int64_t budgetNs;  // spin at most this long before sleeping; 0 switches spinning off
    std::int64_t windowNs;  // spin only while frames came at most this far apart, and this recently
};

// The data path's spin, for every wait point that uses one.
BusyPollTiming DataPathBusyPoll();

constexpr std::int64_t kBusyPollNever = INT64_MIN;

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

// One pause of a spin loop. Every eighth lets a thread waiting for this CPU run first: the reader
// that this spinner has just woken is often placed on its CPU, and would otherwise wait for the
// spin to end.
inline void SpinPause(unsigned round) {
    if ((round & 7) == 7) {
        sched_yield();
    } else {
        CpuRelax();
    }
}

// When the last arrivals say a spin pays.
inline bool SpinPays(const BusyPollTiming& t, std::int64_t now, std::int64_t last, std::int64_t gap) {
    return t.budgetNs > 0 && last != kBusyPollNever && gap <= t.windowNs && now - last <= t.windowNs;
}

class BusyPoll {
public:
    using NowFn = std::int64_t (*)();
    explicit BusyPoll(BusyPollTiming timing = DataPathBusyPoll(), NowFn now = MonotonicNs)
        : m_timing(timing), m_now(now) {}

    // The reader took a frame after it had run dry (once per wake-up, not per frame).
    void Arrived() { Note(m_now()); }

    // The reader ran dry: while spinning pays, calls `ready` (which may take the frame it finds)
    // until it returns true or the budget is spent. true: go on without sleeping (the arrival is
    // noted); false: sleep as usual.
    template <class Ready>
    bool Spin(Ready&& ready) {
        const std::int64_t start = m_now();
        if (!SpinPays(m_timing, start, m_last, m_gap)) return false;
        for (unsigned round = 0;; ++round) {
            if (ready()) {
                Note(m_now());
                return true;
            }
            if (m_now() - start >= m_timing.budgetNs) return false;
            SpinPause(round);
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
