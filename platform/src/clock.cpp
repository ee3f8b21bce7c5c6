// The system clock and the test hook that replaces it.
#include "platform/clock.h"

#include <sys/time.h>

#include <atomic>
#include <ctime>

namespace platform {

namespace {

class SystemClock final : public Clock {
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

const SystemClock g_systemClock;
std::atomic<const Clock*> g_testClock{nullptr};

}  // namespace

const Clock& CurrentClock() {
    const Clock* c = g_testClock.load(std::memory_order_acquire);
    return c != nullptr ? *c : g_systemClock;
}

void SetClockForTest(const Clock* clock) { g_testClock.store(clock, std::memory_order_release); }

}  // namespace platform
