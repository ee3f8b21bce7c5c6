// Wall clock and monotonic clock of the process, replaceable in tests.
#pragma once
#include <cstdint>

#include "platform/types.h"

namespace platform {

// The fields of the Windows local-time record.
struct LocalTime {
    WORD year, month, dayOfWeek, day, hour, minute, second, milliseconds;
};

class Clock {
public:
    virtual ~Clock() = default;
    virtual LocalTime Now() const = 0;               // local time
    virtual std::uint64_t TickMs() const = 0;        // monotonic milliseconds
};

// The process's clock (the system clock unless a test installed another).
const Clock& CurrentClock();
// Tests: install a clock (nullptr restores the system clock). The caller keeps it alive.
void SetClockForTest(const Clock* clock);

inline LocalTime GetLocalTime() { return CurrentClock().Now(); }
inline std::uint64_t GetTickCount64() { return CurrentClock().TickMs(); }

}  // namespace platform
