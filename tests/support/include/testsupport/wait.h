// Bounded polling: tests wait for a condition, never for a fixed time.
#pragma once
#include <chrono>
#include <functional>
#include <thread>

namespace testsupport {

// Polls `done` until it holds (true) or `timeoutMs` passes (false).
inline bool WaitFor(const std::function<bool()>& done, int timeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace testsupport
