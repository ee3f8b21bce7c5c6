#include "platform/busy_poll.h"

#include <time.h>

namespace platform {

std::int64_t MonotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

BusyPollTiming DataPathBusyPoll() {
    // Off. Measured with the tunnel bench on an 8-vCPU guest shared with busy builds (load 6-28),
    // round trips back to back, medians of interleaved runs against the spin of 200 us that
    // yielded every eighth look: without a spin p50 rose (208 against 152 us) but the CPU per
    // round trip fell (236 against 338 us), and so did the round trips over 1 ms (47 against 60
    // of 3,000), since a yield hands the CPU to another process for its time slice while the
    // reader has not announced its sleep. A spin of 30, 60 or 200 us that never yields was worse
    // on every count (p50 245-269 us): the thread a reader has just woken often waits on the
    // reader's CPU until the spin ends; a nap first (the reader's announced sleep, 20 us) to let
    // that thread run cost the ring thread twice the CPU per round trip for no better p50. The
    // window keeps sparse traffic asleep wherever a budget is set.
    return {0, 1'000'000};
}

}  // namespace platform
