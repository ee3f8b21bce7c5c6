// Internal: time-outs in the Windows convention (milliseconds, kInfinite) turned into deadlines
// on the monotonic clock, so that a wait interrupted or retried never waits longer in total.
#pragma once
#include <cstdint>
#include <ctime>

#include "platform/types.h"

namespace platform::detail {

inline std::int64_t MonotonicMs() {
    struct timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

class Deadline {
public:
    explicit Deadline(DWORD timeoutMs)
        : m_infinite(timeoutMs == kInfinite), m_end(MonotonicMs() + static_cast<std::int64_t>(timeoutMs)) {}
    bool Infinite() const { return m_infinite; }
    // Milliseconds left, 0 when expired, -1 for an infinite wait (the poll() convention).
    int RemainingMs() const {
        if (m_infinite) {
            return -1;
        }
        std::int64_t left = m_end - MonotonicMs();
        if (left <= 0) {
            return 0;
        }
        return left > 0x7fffffff ? 0x7fffffff : static_cast<int>(left);
    }
    bool Expired() const { return !m_infinite && MonotonicMs() >= m_end; }

private:
    bool m_infinite;
    std::int64_t m_end;
};

}  // namespace platform::detail
