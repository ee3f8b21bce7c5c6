#include "platform/busy_poll.h"

#include <time.h>

namespace platform {

std::int64_t MonotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

BusyPollTiming DataPathBusyPoll() {
    // 50 us covers a frame's turn through the neighbouring thread on this kind of machine; the
    // window keeps sparse traffic (a keep-alive, an interactive session's keystrokes) asleep.
    return {50'000, 1'000'000};
}

}  // namespace platform
