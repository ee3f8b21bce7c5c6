// What the adapter configuration tests share: a driver that records its calls, an in-memory PC
// whose privileged service is the real service library answering over its facilities, a UI
// recorder.
#pragma once
#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/adapter_setup.h"
#include "engine/netsh_client.h"
#include "platform/fake/fake_adapters.h"
#include "platform/fake/fake_link_control.h"
#include "platform/fake/fake_resolver.h"
#include "platform/fake/fake_route_table.h"
#include "platform/fake/manual_clock.h"
#include "service/netsh_command.h"
#include "service/netsh_operations.h"

namespace engine::test {

inline DWORD Ip(const char* text) {
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}
inline DWORD HostIp(const char* text) { return ntohl(Ip(text)); }

inline MIB_IPFORWARDROW Row(const char* dest, const char* mask, const char* nextHop, DWORD ifIndex,
                            DWORD metric = 100, DWORD type = 4) {
    MIB_IPFORWARDROW r{};
    r.dwForwardDest = Ip(dest);
    r.dwForwardMask = Ip(mask);
    r.dwForwardNextHop = Ip(nextHop);
    r.dwForwardIfIndex = ifIndex;
    r.dwForwardType = type;
    r.dwForwardProto = 3;
    r.dwForwardMetric1 = metric;
    r.dwForwardMetric2 = r.dwForwardMetric3 = r.dwForwardMetric4 = r.dwForwardMetric5 = 0xFFFFFFFFu;
    return r;
}

// The fields that decide where a packet goes; type and protocol may change when a row is put back.
inline std::vector<std::string> RouteKeys(const std::vector<MIB_IPFORWARDROW>& rows) {
    std::vector<std::string> keys;
    for (const auto& r : rows) {
        char text[128];
        in_addr d{r.dwForwardDest}, m{r.dwForwardMask}, n{r.dwForwardNextHop};
        std::string dest = inet_ntoa(d), mask = inet_ntoa(m), hop = inet_ntoa(n);
        std::snprintf(text, sizeof(text), "%s/%s via %s if %u metric %u", dest.c_str(), mask.c_str(),
                      hop.c_str(), r.dwForwardIfIndex, r.dwForwardMetric1);
        keys.push_back(text);
    }
    std::sort(keys.begin(), keys.end());
    return keys;
}

// A session with 198.18.0.2/24, name servers 198.18.0.53/.54, through the gateway 198.51.100.10
// from 203.0.113.5.
inline AdapterLogonResults TestSession(std::vector<ResourceRoute> routes) {
    AdapterLogonResults r;
    r.virtualIp = HostIp("198.18.0.2");
    r.mask = HostIp("255.255.255.0");
    r.dns1 = HostIp("198.18.0.53");
    r.dns2 = HostIp("198.18.0.54");
    r.hasRouteList = true;
    r.routes = std::move(routes);
    r.gatewayText = "198.51.100.10";
    r.peerAddress = HostIp("198.51.100.10");
    r.localAddress = HostIp("203.0.113.5");
    r.masterKey.assign(48, 0x5A);
    return r;
}

class FakeAdapterDriver final : public AdapterDriver {
public:
    explicit FakeAdapterDriver(const platform::Clock& clock) : m_clock(clock) {}

    int OpenFilterHandler() override { return Note("Open", 1); }
    int CloseFilterHandler() override { return Note("Close", 1); }
    int IsDriverLoaded() const override { return 1; }
    int GetAdapterHandleByMacAddress(const BYTE* mac, void** handle) override {
        const bool found = adapterPresent && m_clock.TickMs() >= adapterFromTick &&
                           std::memcmp(mac, kVirtualAdapterMac, 6) == 0;
        *handle = found ? reinterpret_cast<void*>(std::uintptr_t{1}) : nullptr;
        return found ? 1 : 0;
    }
    int BindAdaptersList() override { return Note("BindAdaptersList", 1); }
    int SetAdapterCloseEvent(platform::Event* event) override {
        return Note("SetAdapterCloseEvent", event != nullptr ? 1 : 0);
    }
    int StartShare() override { return Note("StartShare", shareOk ? 1 : 0); }
    int StopShare() override { return Note("StopShare", 1); }
    int StartCapture(const BYTE*, const CaptureStart& session, void** handle) override {
        std::lock_guard<std::mutex> g(m_lock);
        m_calls.push_back("StartCapture");
        capture = session;
        *handle = captureOk ? reinterpret_cast<void*>(std::uintptr_t{1}) : nullptr;
        return captureOk ? 1 : 0;
    }
    int StopCapture() override { return Note("StopCapture", 1); }
    int SetIPConfig(TW_IPCONFIG_REQUEST* config) override {
        std::lock_guard<std::mutex> g(m_lock);
        ipConfig = *config;
        m_calls.push_back("SetIPConfig");
        return 1;
    }
    int SetAdapterMediaStatus(TW_MEDIA_STATUS* status) override {
        media = status->state;
        return Note(status->state ? "Media 1" : "Media 0", 1);
    }
    int GetAdapterMediaStatus(TW_MEDIA_STATUS* status) override {
        status->state = media;
        return mediaQueryOk ? 1 : 0;
    }
    int ClearArpEntry() override { return Note("ClearArpEntry", 0); }
    int AddArpEntry(const TW_ARP_ENTRY*) override { return Note("AddArpEntry", 0); }
    int DelArpEntry(const TW_ARP_ENTRY*) override { return Note("DelArpEntry", 0); }
    int AddArpProxy(const TW_ARP_PROXY* proxy) override {
        std::lock_guard<std::mutex> g(m_lock);
        arpProxy = *proxy;
        m_calls.push_back("AddArpProxy");
        return 0;
    }
    int AddSystemRoute() override { return Note("AddSystemRoute", 1); }
    int TestProxyInform(TW_TEST_PROXY_REQUEST* request) override {
        std::lock_guard<std::mutex> g(m_lock);
        testRequest = *request;
        m_calls.push_back("TestProxyInform");
        return 1;
    }
    int TestProxyInformEnd() override { return Note("TestProxyInformEnd", 1); }

    std::vector<std::string> Calls() const {
        std::lock_guard<std::mutex> g(m_lock);
        return m_calls;
    }
    std::size_t Count(const std::string& call) const {
        auto calls = Calls();
        return static_cast<std::size_t>(std::count(calls.begin(), calls.end(), call));
    }

    bool adapterPresent = true;
    std::uint64_t adapterFromTick = 0;
    bool captureOk = true;
    bool mediaQueryOk = true;
    std::atomic<bool> shareOk{true};  // false: the ring is held by another (START_SHARE refused)
    BYTE media = 0;
    CaptureStart capture;
    TW_IPCONFIG_REQUEST ipConfig{};
    TW_ARP_PROXY arpProxy{};
    TW_TEST_PROXY_REQUEST testRequest{};

private:
    int Note(const char* call, int rc) {
        std::lock_guard<std::mutex> g(m_lock);
        m_calls.emplace_back(call);
        return rc;
    }
    const platform::Clock& m_clock;
    mutable std::mutex m_lock;
    std::vector<std::string> m_calls;
};

class RecordingUi final : public UiSink {
public:
    void Callback(int code, const std::string& text) override {
        std::lock_guard<std::mutex> g(m_lock);
        m_events.push_back(std::to_string(code) + (text.empty() ? "" : ":" + text));
    }
    void MessageBox(const std::string&, const std::string&, UiBox) override {}
    // Recorded; answered with `answerYes`.
    bool AskYesNo(const std::string& text, const std::string&) override {
        std::lock_guard<std::mutex> g(m_lock);
        m_questions.push_back(text);
        return answerYes;
    }
    void TrayBalloon(const std::string&, const std::string& text) override {
        std::lock_guard<std::mutex> g(m_lock);
        m_balloons.push_back(text);
    }
    void CloseWindowByTitle(const std::string&) override {}
    std::vector<std::string> Balloons() const {
        std::lock_guard<std::mutex> g(m_lock);
        return m_balloons;
    }
    // Texts are their ids, so a test reads which text went with a code.
    std::string LanguageText(int id) override { return "t" + std::to_string(id); }
    std::vector<std::string> Events() const {
        std::lock_guard<std::mutex> g(m_lock);
        return m_events;
    }
    std::vector<std::string> Questions() const {
        std::lock_guard<std::mutex> g(m_lock);
        return m_questions;
    }
    std::atomic<bool> answerYes{false};

private:
    mutable std::mutex m_lock;
    std::vector<std::string> m_events;
    std::vector<std::string> m_questions;
    std::vector<std::string> m_balloons;
};

class NoLauncher final : public service::ClientLauncher {
public:
    bool Launch(const std::vector<std::string>&) override { return false; }
};

// A PC with one real adapter and the virtual one, and the privileged service (the service
// library's own command table and operations) answering the engine's pipe commands in-process.
//   eth0 (2) 203.0.113.5/24, default route through 203.0.113.1;  qel0 (7) the virtual adapter.
struct FakePc {
    FakePc() {
        platform::AdapterInfo eth;
        eth.index = 2;
        eth.name = "eth0";
        eth.macLength = 6;
        eth.mac = {0x52, 0x54, 0x00, 0x12, 0x34, 0x56};
        eth.up = eth.running = true;
        eth.addresses.push_back({Ip("203.0.113.5"), Ip("255.255.255.0"), true});
        adapters.Put(eth);
        platform::AdapterInfo tap;
        tap.index = 7;
        tap.name = "qel0";
        tap.macLength = 6;
        tap.mac = {0x00, 0xff, 0xff, 0xff, 0x00, 0x00};
        tap.up = tap.running = true;
        adapters.Put(tap);
        routes.SetRows({Row("0.0.0.0", "0.0.0.0", "203.0.113.1", 2),
                        Row("203.0.113.0", "255.255.255.0", "203.0.113.5", 2, 100, 3)});
        resolver.SetMachineServers({Ip("203.0.113.53")});
        facilities.network = {&routes, &adapters, &addresses, &resolver};
        facilities.links = &links;
        facilities.recreateAdapter = [] { return 0; };
        service::NetshOperationsOptions options;
        options.hardwareId = [] { return std::string("fp"); };
        options.flushResolverCache = [] { return true; };
        options.sleep = [](DWORD) {};
        options.tickMs = [this] { return fakeTick += 1000; };
        ops = std::make_unique<service::SystemNetshOperations>(facilities, launcher, options);
    }

    int Send(const std::string& command) {
        {
            std::lock_guard<std::mutex> g(lock);
            commands.push_back(command);
            if (!answer.empty()) return ClassifyNetshReply(answer);
        }
        const auto reply = service::DispatchNetshCommand(*ops, command);
        return ClassifyNetshReply(std::string(reply.begin(), reply.end()));
    }
    std::vector<std::string> Commands() {
        std::lock_guard<std::mutex> g(lock);
        return commands;
    }
    std::vector<platform::AdapterAddress> TapAddresses() {
        std::vector<platform::AdapterInfo> list;
        adapters.GetAdapters(&list);
        for (const auto& a : list) {
            if (a.index == 7) return a.addresses;
        }
        return {};
    }

    platform::fake::FakeRouteTable routes;
    platform::fake::FakeAdapterList adapters;
    platform::fake::FakeAddressConfig addresses{adapters};
    platform::fake::FakeResolver resolver;
    platform::fake::FakeLinkControl links;
    service::ServiceFacilities facilities;
    NoLauncher launcher;
    std::uint64_t fakeTick = 0;
    std::unique_ptr<service::SystemNetshOperations> ops;
    std::mutex lock;
    std::vector<std::string> commands;
    std::string answer;  // not empty: every command gets this reply instead of being served
};

}  // namespace engine::test
