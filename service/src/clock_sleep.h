// Internal: a pause measured on a clock, so that a test's manual clock ends it.
#pragma once
#include <condition_variable>
#include <mutex>

#include "platform/clock_wait.h"

namespace service {

inline void SleepOn(const platform::Clock& clock, DWORD ms) {
    std::mutex lock;
    std::condition_variable never;
    std::unique_lock<std::mutex> g(lock);
    platform::WaitOn(clock, g, never, ms, [] { return false; });
}

}  // namespace service
