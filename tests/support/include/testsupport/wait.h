// Bounded waits for tests: a test waits for a condition, never for a fixed time, and a wait that
// runs out says what it waited for.
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace testsupport {

// Polls `done` until it holds or `timeoutMs` passes. On time-out the failure names `what` and
// the bound, e.g. EXPECT_TRUE(WaitFor("the session to close", [&] { ... }, 2000)).
inline ::testing::AssertionResult WaitFor(const std::string& what, const std::function<bool()>& done,
                                          int timeoutMs = 5000) {
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            // One last look: the condition may have come true while this thread was asleep.
            if (done()) break;
            return ::testing::AssertionFailure()
                   << "waited " << timeoutMs << " ms for " << what << ", in vain";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return ::testing::AssertionSuccess();
}

}  // namespace testsupport
