// The system clock.
#include "platform/clock.h"

#include <sys/time.h>

#include <ctime>

namespace platform {

namespace {

class SystemClockImpl final : public Clock {
public:
    LocalTime Now() const override {
        struct timespec ts {};
        ::clock_gettime(CLOCK_REALTIME, &ts);
        struct tm tmv {};
        time_t secs = ts.tv_sec;
        ::localtime_r(&secs, &tmv);
        LocalTime lt{};
        lt.year = static_cast<WORD>(tmv.tm_year + 1900);
        lt.month = static_cast<WORD>(tmv.tm_mon + 1);
        lt.dayOfWeek = static_cast<WORD>(tmv.tm_wday);
        lt.day = static_cast<WORD>(tmv.tm_mday);
        lt.hour = static_cast<WORD>(tmv.tm_hour);
        lt.minute = static_cast<WORD>(tmv.tm_min);
        // A leap second shows as 60 in struct tm; the Windows record stops at 59.
        lt.second = static_cast<WORD>(tmv.tm_sec > 59 ? 59 : tmv.tm_sec);
        lt.milliseconds = static_cast<WORD>(ts.tv_nsec / 1000000);
        return lt;
    }

    std::uint64_t TickMs() const override {
        struct timespec ts {};
        ::clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
               static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
    }
};

const SystemClockImpl g_systemClock;

}  // namespace

const Clock& SystemClock() { return g_systemClock; }

}  // namespace platform
