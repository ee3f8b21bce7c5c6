// Link state and neighbour flushes recorded in memory. `calls` holds "up 5", "down 5", "flush 5"
// in order; `failure` makes every call fail. Thread-safe.
#pragma once
#include <mutex>
#include <string>
#include <vector>

#include "platform/link_control.h"

namespace platform::fake {

class FakeLinkControl final : public LinkControl {
public:
    DWORD SetLinkUp(DWORD ifIndex, bool up) override {
        return Record((up ? "up " : "down ") + std::to_string(ifIndex));
    }
    DWORD FlushNeighbours(DWORD ifIndex) override { return Record("flush " + std::to_string(ifIndex)); }

    std::vector<std::string> Calls() const {
        std::lock_guard<std::mutex> g(m_lock);
        return m_calls;
    }
    void Fail(DWORD rc) {
        std::lock_guard<std::mutex> g(m_lock);
        m_failure = rc;
    }

private:
    DWORD Record(std::string call) {
        std::lock_guard<std::mutex> g(m_lock);
        m_calls.push_back(std::move(call));
        return m_failure;
    }

    mutable std::mutex m_lock;
    std::vector<std::string> m_calls;
    DWORD m_failure = kErrorSuccess;
};

}  // namespace platform::fake
