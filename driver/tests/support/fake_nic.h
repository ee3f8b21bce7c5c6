// Test doubles under the driver: a NIC backend fed through a socket pair (frames the "stack"
// sends) that records what the driver indicates up, and a helper that runs the driver with it.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "miniport_global.h"
#include "nic_backend.h"
#include "platform/unique_fd.h"
#include "testsupport/temp_root.h"
#include "testsupport/wait.h"

namespace olvane::test {

class FakeNic final : public TwNicBackend {
public:
    explicit FakeNic(std::string name);
    ~FakeNic() override;
    int Fd() const override { return m_driverEnd.Get(); }
    ssize_t Read(std::uint8_t* buffer, std::size_t size) override;
    bool Write(const std::uint8_t* frame, std::size_t length) override;
    bool SetCarrier(bool on) override;
    const std::string& IfName() const override { return m_name; }
    int IfIndex() const override { return 0; }

    // The stack sends a frame (the driver's send path reads it).
    bool StackSends(const std::vector<std::uint8_t>& frame);
    // Makes the next Read fail as if the link was deleted.
    void RemoveLink();
    // Waits (bounded) until at least `count` frames were indicated up; returns them.
    std::vector<std::vector<std::uint8_t>> WaitIndicated(std::size_t count, int timeoutMs = 5000);
    std::size_t IndicatedCount() const;
    bool Carrier() const;

private:
    std::string m_name;
    platform::UniqueFd m_driverEnd;
    platform::UniqueFd m_stackEnd;
    mutable std::mutex m_lock;
    std::condition_variable m_cv;
    std::vector<std::vector<std::uint8_t>> m_indicated;
    bool m_carrier = false;
    bool m_removed = false;
};

// Registry of the fake NICs the factory made (by interface name).
struct FakeNics {
    std::mutex lock;
    std::vector<FakeNic*> nics;
    FakeNic* Get(std::size_t i) {
        std::lock_guard<std::mutex> l(lock);
        return i < nics.size() ? nics[i] : nullptr;
    }
};
NicFactory MakeFakeNicFactory(std::shared_ptr<FakeNics> registry);

// Writes `count` adapter instances into the settings store of the current root.
void InstallAdapters(int count);

// Runs the driver over fake NICs with a zero protocol delay and waits until every adapter is
// bound. Stop() (or the destructor) unloads it.
class FakeDriver {
public:
    explicit FakeDriver(int adapters = 1, RingLayout layout = RingLayout::k64, bool waitBound = true);
    ~FakeDriver();
    void Stop();
    FakeNic* Nic(std::size_t i) { return m_nics->Get(i); }
    AdapterEntry* Entry(std::size_t i);
    bool running = false;

private:
    testsupport::TempRoot m_root{"olvane-test"};
    std::shared_ptr<FakeNics> m_nics = std::make_shared<FakeNics>();
};

}  // namespace olvane::test
