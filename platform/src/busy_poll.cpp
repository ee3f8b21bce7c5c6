#include "platform/busy_poll.h"

#include <time.h>

namespace platform {

std::int64_t MonotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

BusyPollTiming DataPathBusyPoll() {
    // Off. Measured with the tunnel bench on an 8-vCPU guest shared with busy builds (load 12-28),
    // round trips back to back against the yielding spin of 200 us: without a spin p50 was the
    // same (167 against 142-179 us), the CPU per round trip fell (187-201 against 241-465 us) and
    // so did the round trips over 1 ms; a spin of 30 or 60 us that never yields made p50 worse
    // (245-308 us): the thread a reader has just woken often waits on the reader's CPU until the
    // spin ends. The window keeps sparse traffic asleep wherever a budget is set.
    return {0, 1'000'000};
}

}  // namespace platform
