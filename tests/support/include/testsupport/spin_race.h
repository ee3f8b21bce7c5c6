// Racing a producer against a reader's busy-poll: the producer's frames come at delays that
// straddle the spin's budget (inside it, at its very end, just after it, while the reader falls
// asleep), and each frame must be taken before the next one goes. A frame lost at the spin's end
// leaves the reader asleep and the bounded wait fails.
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <thread>

#include "platform/busy_poll.h"

namespace testsupport {

// Busy-waits: a sleep would keep the traffic too sparse for the reader to spin at all.
inline void BusyWait(std::chrono::nanoseconds d) {
    const auto end = std::chrono::steady_clock::now() + d;
    while (std::chrono::steady_clock::now() < end) platform::CpuRelax();
}

// Yields until `done` holds or `timeoutMs` passes (then fails naming `what`).
inline ::testing::AssertionResult SpinFor(const std::string& what, const std::function<bool()>& done,
                                          int timeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline && !done())
            return ::testing::AssertionFailure()
                   << "waited " << timeoutMs << " ms for " << what << ", in vain";
        std::this_thread::yield();
    }
    return ::testing::AssertionSuccess();
}

// `rounds` times: waits a delay around the data path's spin budget, calls `produce(i)`, then
// waits until `taken()` reaches i + 1. Fails at the first frame the reader does not take.
inline ::testing::AssertionResult RaceAgainstSpin(int rounds, const std::function<void(int)>& produce,
                                                  const std::function<int()>& taken,
                                                  std::uint32_t seed = 28) {
    const std::int64_t budget = platform::DataPathBusyPoll().budgetNs;
    std::mt19937 random(seed);
    // Half of the delays within 10 us of the budget's end, the rest anywhere up to twice it.
    std::uniform_int_distribution<std::int64_t> nearEnd(budget - 10'000, budget + 10'000);
    std::uniform_int_distribution<std::int64_t> anywhere(0, 2 * budget);
    for (int i = 0; i < rounds; ++i) {
        const std::int64_t ns = i % 2 == 0 ? nearEnd(random) : anywhere(random);
        BusyWait(std::chrono::nanoseconds(ns < 0 ? 0 : ns));
        produce(i);
        auto result = SpinFor("frame " + std::to_string(i) + " to be taken", [&] { return taken() > i; });
        if (!result) return result;
    }
    return ::testing::AssertionSuccess();
}

}  // namespace testsupport
