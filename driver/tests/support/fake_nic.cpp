#include "fake_nic.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "filter_core.h"
#include "olvane_daemon.h"
#include "platform/settings_store.h"

namespace olvane::test {

FakeNic::FakeNic(std::string name) : m_name(std::move(name)) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) == 0) {
        m_driverEnd.Reset(sv[0]);
        m_stackEnd.Reset(sv[1]);
    }
}

FakeNic::~FakeNic() = default;

ssize_t FakeNic::Read(std::uint8_t* buffer, std::size_t size) {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_removed) {
            errno = EBADFD;
            return -1;
        }
    }
    return ::recv(m_driverEnd.Get(), buffer, size, MSG_DONTWAIT);
}

bool FakeNic::Write(const std::uint8_t* frame, std::size_t length) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_indicated.emplace_back(frame, frame + length);
    m_cv.notify_all();
    return true;
}

bool FakeNic::SetCarrier(bool on) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_carrier = on;
    return true;
}

bool FakeNic::Carrier() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_carrier;
}

bool FakeNic::StackSends(const std::vector<std::uint8_t>& frame) {
    return ::send(m_stackEnd.Get(), frame.data(), frame.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(frame.size());
}

void FakeNic::RemoveLink() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_removed = true;
    }
    std::uint8_t b = 0;
    (void)!::send(m_stackEnd.Get(), &b, 1, MSG_NOSIGNAL);  // wakes the reader
}

std::vector<std::vector<std::uint8_t>> FakeNic::WaitIndicated(std::size_t count, int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_lock);
    m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_indicated.size() >= count; });
    return m_indicated;
}

std::size_t FakeNic::IndicatedCount() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_indicated.size();
}

NicFactory MakeFakeNicFactory(std::shared_ptr<FakeNics> registry) {
    return [registry](const std::string& name, const std::uint8_t*, std::uint32_t, std::string*) {
        auto nic = std::make_unique<FakeNic>(name);
        std::lock_guard<std::mutex> lock(registry->lock);
        registry->nics.push_back(nic.get());
        return std::unique_ptr<TwNicBackend>(std::move(nic));
    };
}

void InstallAdapters(int count) {
    auto store = platform::SettingsStore::Machine();
    for (int i = 0; i < count; ++i) {
        char sub[16];
        std::snprintf(sub, sizeof(sub), "%04d", i);
        const std::string key = std::string(kAdapterClassKey) + "\\" + sub;
        store->SetString(key, "ComponentId", "qelmini");
        store->SetString(key, "NetCfgInstanceId", "{0000000" + std::to_string(i) + "-TEST}");
        store->SetString(key, "vendorDescription", "Test Adapter");
        store->SetString(key, "macAddress", "00FFFFFF000*");
        store->SetString(key, "linkSpeed", "1000000");
        store->SetDword(key, "transmitBufferSize", 65536);
        store->SetString(key, "receiveBufferSize", "65536");
        store->SetString(key, "transmitBlockSize", "1514");
        store->SetString(key, "receiveBlockSize", "1514");
        store->SetString(key, "selfLoopback", "0");
        store->SetString(key, "maximumFrameSize", "1500");
        store->SetString(key + "\\Linkage", "Export", "\\Device\\{TEST-" + std::to_string(i) + "}");
    }
}

FakeDriver::FakeDriver(int adapters, RingLayout layout, bool waitBound) {
    InstallAdapters(adapters);
    DriverConfig config;
    config.ringLayout = layout;
    config.timing = ProtocolTiming{0, 0, 0};
    config.nicFactory = MakeFakeNicFactory(m_nics);
    running = DriverEntry(config);
    if (running && waitBound) {
        // A driver whose adapters never became valid is not running for the tests: they would
        // race the binding that resets what they set.
        const bool bound = testsupport::WaitFor(
            "every adapter to be valid",
            [this, adapters] {
                for (int i = 0; i < adapters; ++i) {
                    AdapterEntry* e = Entry(static_cast<std::size_t>(i));
                    if (e == nullptr || !e->m_bValid.load()) return false;
                }
                return true;
            },
            30000);
        if (!bound) Stop();
    }
}

FakeDriver::~FakeDriver() { Stop(); }

void FakeDriver::Stop() {
    if (running) DriverUnload();
    running = false;
}

AdapterEntry* FakeDriver::Entry(std::size_t i) {
    TwMiniportGlobal* g = Globals();
    if (g == nullptr) return nullptr;
    std::lock_guard<std::mutex> lock(g->m_AdapterListLock);
    return i < g->m_Adapters.size() ? g->m_Adapters[i]->m_FilterAdapter.load() : nullptr;
}

}  // namespace olvane::test
