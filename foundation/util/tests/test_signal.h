// A one-shot signal between test threads, visible to the race detector (eventfds are not).
#pragma once
#include <chrono>
#include <condition_variable>
#include <mutex>

class TestSignal {
public:
    void Set() {
        std::lock_guard<std::mutex> guard(m_lock);
        m_set = true;
        m_cv.notify_all();
    }
    // True when set within timeoutMs.
    bool Wait(unsigned timeoutMs) {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return m_set; });
    }

private:
    std::mutex m_lock;
    std::condition_variable m_cv;
    bool m_set = false;
};
