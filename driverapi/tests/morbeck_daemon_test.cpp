// CMorbeck against the real Olvane daemon, in a network namespace of the test's own, with the
// ring in both layouts.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/socket.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/unique_fd.h"
#include "morbeck/morbeck.h"
#include "platform/event.h"
#include "platform/fake/manual_clock.h"
#include "testsupport/command.h"
#include "testsupport/netns.h"
#include "testsupport/temp_root.h"
#include "testsupport/udp_frame.h"
#include "testsupport/wait.h"

namespace {

using testsupport::WaitFor;

const BYTE kMac0[6] = {0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x00};
const BYTE kFar[6] = {0x00, 0xFF, 0xFF, 0xFF, 0x01, 0x00};

DWORD Ip(const char* text) {
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

class MorbeckDaemon : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        if (const std::string why = testsupport::OlvaneInNetns::Unavailable(); !why.empty())
            GTEST_SKIP() << why;
        m_daemon = std::make_unique<testsupport::OlvaneInNetns>(std::vector<std::string>{GetParam()});
        ASSERT_TRUE(m_daemon->NamespaceOk());
        ASSERT_GT(m_daemon->Pid(), 0);
        m_morbeck = std::make_unique<CMorbeck>("ndisfilter", MorbeckTiming{}, m_clock);
        ASSERT_TRUE(WaitFor(
            "the driver to be loaded",
            [&] {
                m_morbeck->OpenFilterHandler();
                return m_morbeck->IsDriverLoaded() == 1;
            },
            10000))
            << "the control device did not appear";
        void* handle = nullptr;
        ASSERT_TRUE(WaitFor(
            "the adapter handle by MAC address",
            [&] { return m_morbeck->GetAdapterHandleByMacAddress(kMac0, &handle) == 1; }, 10000));
        m_adapter = handle;
    }
    void TearDown() override {
        m_morbeck.reset();
        m_daemon.reset();
    }
    bool Wide() const { return std::strcmp(GetParam(), "--ring-layout=64") == 0; }

    testsupport::TempRoot m_root{"morbeck-test"};
    platform::fake::ManualClock m_clock;  // the route sync's settle delay runs on it
    std::unique_ptr<testsupport::OlvaneInNetns> m_daemon;
    std::unique_ptr<CMorbeck> m_morbeck;
    void* m_adapter = nullptr;
};

TEST_P(MorbeckDaemon, EveryControlCode) {
    CMorbeck& m = *m_morbeck;
    _DriverVersion v{};
    ASSERT_EQ(m.GetVersion(&v), 1);
    EXPECT_EQ(v.major, 1);
    EXPECT_EQ(v.minor, 0);

    auto list = std::make_unique<TW_TCPIP_INTERFACE_LIST>();
    ASSERT_EQ(m.GetTcpipBoundAdaptersInfo(list.get()), 1);
    bool seen = false;
    for (DWORD i = 0; i < list->count && i < TW_MAX_BOUND_ADAPTERS; ++i) {
        seen = seen || std::memcmp(list->entries[i].data.currentAddress, kMac0, 6) == 0;
    }
    EXPECT_TRUE(seen) << "the virtual adapter is not in the bound list";

    EXPECT_EQ(m.ClearEvent(), 1);
    std::vector<BYTE> event(1036);
    EXPECT_EQ(m.GetEvent(event.data()), 0) << "not supported by this driver";
    EXPECT_EQ(m.StartEthrLog(), 1);
    EXPECT_EQ(m.StopEthrLog(), 1);
    EXPECT_EQ(m.LoadDebugFlag(), 0) << "answered not supported";

    TW_MEDIA_STATUS media{};
    std::memcpy(media.mac, kMac0, 6);
    media.state = 1;
    ASSERT_EQ(m.SetAdapterMediaStatus(&media), 1);
    media.state = 9;
    ASSERT_EQ(m.GetAdapterMediaStatus(&media), 1);
    EXPECT_EQ(media.state, 1);
    TW_MEDIA_STATUS dump{};
    std::memcpy(dump.mac, kMac0, 6);
    dump.state = 1;
    ASSERT_EQ(m.SetAdapterPacketDump(&dump), 1);
    dump.state = 0;
    ASSERT_EQ(m.GetAdapterPacketDump(&dump), 1);
    EXPECT_EQ(dump.state, 1);
    TW_MEDIA_STATUS unknown{};
    std::memset(unknown.mac, 0x42, 6);
    EXPECT_EQ(m.SetAdapterMediaStatus(&unknown), 0);

    TW_IPCONFIG_REQUEST set{};
    set.adapterId = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(m_adapter));
    set.config.m_nIP = 1;
    set.config.m_IP[0] = {Ip("198.18.0.1"), Ip("255.255.255.0"), Ip("198.18.0.255")};
    set.config.m_nDNS = 1;
    set.config.DnsServer[0] = Ip("198.18.0.53");
    ASSERT_EQ(m.SetIPConfig(&set), 1);
    TW_IPCONFIG_REQUEST got{};
    got.adapterId = set.adapterId;
    ASSERT_EQ(m.GetIPConfig(&got), 1);
    EXPECT_EQ(std::memcmp(&got.config, &set.config, sizeof(TW_IPCONFIG)), 0);

    EXPECT_EQ(m.EnumOpenedAdapter(), 1);
    EXPECT_EQ(m.BindAdaptersList(), 1);

    // The codes this driver answers "not supported".
    BYTE record[600] = {};
    TW_DRIVER_ROUTE_ENTRY route{};
    DWORD natCount = 0;
    char name[TW_DNS_NAME_SIZE] = {};
    EXPECT_EQ(m.AddArpEntry(record), 0);
    EXPECT_EQ(m.DelArpEntry(record), 0);
    EXPECT_EQ(m.ClearArpEntry(), 0);
    EXPECT_EQ(m.AddArpProxy(record), 0);
    EXPECT_EQ(m.DelArpProxy(record), 0);
    EXPECT_EQ(m.ClearArpProxy(), 0);
    EXPECT_EQ(m.AddDhcpEntry(record), 0);
    EXPECT_EQ(m.DelDhcpEntry(record), 0);
    EXPECT_EQ(m.ClearDhcpEntry(), 0);
    EXPECT_EQ(m.AddDhcpServer(record), 0);
    EXPECT_EQ(m.DelDhcpServer(record), 0);
    EXPECT_EQ(m.ClearDhcpServer(), 0);
    EXPECT_EQ(m.ClearDnsEntry(), 0);
    EXPECT_EQ(m.AddFirewallPolicy(record, 1), 0);
    EXPECT_EQ(m.DelFirewallPolicy(nullptr), 0);
    EXPECT_EQ(m.AddFirewallRule(record), 0);
    EXPECT_EQ(m.DelFirewallRule(record), 0);
    EXPECT_EQ(m.ClearFirewallPolicy(), 0);
    EXPECT_EQ(m.AddNatEntry(record, 1), 0);
    EXPECT_EQ(m.DelNatEntry(record), 0);
    EXPECT_EQ(m.ClearNatEntry(), 0);
    EXPECT_EQ(m.AddRouteEntry(&route), 0);
    EXPECT_EQ(m.DelRouteEntry(&route), 0);
    EXPECT_EQ(m.ClearRouteEntry(), 0);
    EXPECT_EQ(m.EnableFirewallEvent(), 0);
    EXPECT_EQ(m.DisableFirewallEvent(), 0);
    EXPECT_EQ(m.GetNatEntryCount(&natCount), 0);
    EXPECT_EQ(m.GetNatEntry(0, record, 64), 0);
    EXPECT_EQ(m.ClearNatStatistic(0, record, 64), 0);
    EXPECT_EQ(m.SetFirewallAction(record), 0);
    EXPECT_EQ(m.GetFirewallAction(record), 0);
    EXPECT_EQ(m.FindDnsEntryByIp(Ip("198.18.0.53"), name), 0);

    TW_TEST_PROXY_REQUEST proxy{htons(5555), Ip("198.18.0.2"), Ip("198.18.0.1")};
    EXPECT_EQ(m.TestProxyInform(&proxy), 1);
    EXPECT_EQ(m.TestProxyInformEnd(), 1);

    platform::Event closeEvent(true, false);
    EXPECT_EQ(m.SetAdapterCloseEvent(&closeEvent), 1);
    // Capture start and stop go straight through DeviceIoControl.
    DWORD returned = 7;
    EXPECT_TRUE(m.DeviceIoControl(IOCTL_NDIS_FILTER_START_CAPTURE, nullptr, 0, nullptr, 0, &returned));
    EXPECT_EQ(returned, 0u);
    // With capture on, the adapter going away sets the close event.
    ASSERT_EQ(testsupport::Run({"ip", "link", "del", "qelmini0"}), 0);
    EXPECT_EQ(closeEvent.Wait(5000), platform::kWaitObject0) << "the adapter-close event was not set";
    EXPECT_TRUE(m.DeviceIoControl(IOCTL_NDIS_FILTER_STOP_CAPTURE, nullptr, 0, nullptr, 0));
    EXPECT_EQ(m.DeviceIoControl(0x80009990, nullptr, 0, nullptr, 0), FALSE) << "unknown code";

    EXPECT_EQ(m.CloseFilterHandler(), 1);
    EXPECT_EQ(m.IsDriverLoaded(), 0);
    EXPECT_EQ(m.GetVersion(&v), 0) << "closed handle";
    EXPECT_EQ(m.CloseFilterHandler(), 1) << "safe twice";
}

// A UDP datagram from the namespace reaches the output ring; a frame written into the input
// ring reaches a socket in the namespace.
TEST_P(MorbeckDaemon, FramesBothWaysThroughTheRing) {
    CMorbeck& m = *m_morbeck;
    EXPECT_EQ(m.Read(0), nullptr) << "no ring yet";
    ASSERT_EQ(m.StartShare(), 1);
    EXPECT_EQ(m.IsWideLayout(), Wide());
    EXPECT_EQ(m.IsShareStarted(), 1);
    EXPECT_EQ(m.StartShare(), 1) << "already mapped";
    EXPECT_EQ(m.Read(0), nullptr) << "empty ring";
    EXPECT_EQ(m.Read(1), nullptr) << "the read request never waits";

    TW_MEDIA_STATUS media{};
    std::memcpy(media.mac, kMac0, 6);
    media.state = 1;
    ASSERT_EQ(m.SetAdapterMediaStatus(&media), 1);
    using testsupport::Run;
    ASSERT_EQ(Run({"ip", "addr", "add", "198.18.0.1/24", "dev", "qelmini0"}), 0);
    ASSERT_EQ(Run({"ip", "link", "set", "qelmini0", "up"}), 0);
    ASSERT_EQ(Run({"ip", "neigh", "replace", "198.18.0.2", "lladdr", "00:ff:ff:ff:01:00", "dev", "qelmini0"}),
              0);

    const platform::UniqueFd outSocket(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const platform::UniqueFd inSocket(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const int out = outSocket.Get();
    const int in = inSocket.Get();
    ASSERT_GE(out, 0);
    ASSERT_GE(in, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(6666);
    local.sin_addr.s_addr = Ip("198.18.0.1");
    ASSERT_EQ(bind(in, reinterpret_cast<sockaddr*>(&local), sizeof(local)), 0);
    timeval tv{5, 0};
    setsockopt(in, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(5555);
    to.sin_addr.s_addr = Ip("198.18.0.2");
    const char payload[] = "to-the-ring";
    ASSERT_GT(sendto(out, payload, sizeof(payload), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)), 0);
    _FWSHARED_MEMORY_BLOCK* found = nullptr;
    ASSERT_TRUE(WaitFor("the adapter to be found", [&] {
        while (_FWSHARED_MEMORY_BLOCK* b = m.Read(0)) {
            const BYTE* f = b->data;
            if (found == nullptr && b->length >= 42 && f[12] == 0x08 && f[23] == 17 &&
                std::memcmp(f + 30, &to.sin_addr, 4) == 0) {
                found = b;
            } else {
                m.Free(b);
            }
        }
        return found != nullptr;
    })) << "the datagram did not reach the ring";
    EXPECT_EQ(found->adapterId, static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(m_adapter)));
    EXPECT_EQ(found->direction, static_cast<DWORD>(PACKET_DIRECTION_OUTGOING));
    EXPECT_EQ(found->length, 42u + sizeof(payload));
    EXPECT_EQ(std::memcmp(found->data, kFar, 6), 0);
    EXPECT_EQ(std::memcmp(found->data + 6, kMac0, 6), 0);
    EXPECT_EQ(std::memcmp(found->data + 42, payload, sizeof(payload)), 0);
    _PACKET_INFO info{};
    ASSERT_EQ(CMorbeck::GetPacketInfo(found, &info), 1);
    EXPECT_EQ(info.etherType, 0x0800);
    EXPECT_EQ(info.ipProtocol, 17);
    EXPECT_EQ(info.udp, found->data + 34);
    m.Free(found);

    // Input ring: the frame form and the block form.
    const BYTE any[6] = {2, 2, 2, 2, 2, 2};
    auto frame = testsupport::UdpFrame(any, any, Ip("198.18.0.2"), Ip("198.18.0.1"), 6666, 16, 0x5A);
    ASSERT_EQ(m.Write(m_adapter, PACKET_DIRECTION_OUTGOING, 0, reinterpret_cast<const char*>(frame.data()),
                      static_cast<LONG>(frame.size()), 1),
              1);
    char got[64];
    ASSERT_EQ(recv(in, got, sizeof(got), 0), 16) << "the written frame was not delivered";
    auto block = std::make_unique<_FWSHARED_MEMORY_BLOCK>();
    std::memset(block.get(), 0, sizeof(*block));
    block->adapterId = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(m_adapter));
    block->direction = PACKET_DIRECTION_OUTGOING;
    auto second = testsupport::UdpFrame(any, any, Ip("198.18.0.2"), Ip("198.18.0.1"), 6666, 24, 0x5A);
    block->length = static_cast<DWORD>(second.size());
    std::memcpy(block->data, second.data(), second.size());
    ASSERT_EQ(m.Write(block.get(), 1), 1);
    ASSERT_EQ(recv(in, got, sizeof(got), 0), 24);

    _FWSHARED_MEMORY_INFO counters{};
    ASSERT_EQ(m.GetSharedMemoryInfo(&counters), 1);
    EXPECT_GE(counters.inCount, 2u);
    EXPECT_LT(counters.outRead, static_cast<DWORD>(TW_RING_BLOCK_COUNT));

    // A frame longer than the packet area is refused.
    std::vector<char> huge(TW_MAX_FRAME + 1, 0);
    EXPECT_EQ(
        m.Write(m_adapter, PACKET_DIRECTION_OUTGOING, 0, huge.data(), static_cast<LONG>(huge.size()), 1), 0);
    EXPECT_EQ(m.Write(m_adapter, PACKET_DIRECTION_OUTGOING, 0, huge.data(), -1, 1), 0);

    // After StopShare every ring call refuses until the next StartShare.
    EXPECT_EQ(m.StopShare(), 1);
    EXPECT_EQ(m.IsShareStarted(), 0);
    EXPECT_EQ(m.Read(0), nullptr);
    EXPECT_EQ(m.Write(m_adapter, PACKET_DIRECTION_OUTGOING, 0, reinterpret_cast<const char*>(frame.data()),
                      static_cast<LONG>(frame.size()), 1),
              0);
    EXPECT_EQ(m.GetSharedMemoryInfo(&counters), 0);
    ASSERT_EQ(m.StartShare(), 1);
    EXPECT_EQ(m.Write(m_adapter, PACKET_DIRECTION_OUTGOING, 0, reinterpret_cast<const char*>(frame.data()),
                      static_cast<LONG>(frame.size()), 1),
              1);
    ASSERT_EQ(recv(in, got, sizeof(got), 0), 16);
}

TEST_P(MorbeckDaemon, AdapterConfigurationReachesTheDriver) {
    CMorbeck& m = *m_morbeck;
    using testsupport::Run;
    ASSERT_EQ(Run({"ip", "addr", "add", "198.18.4.1/22", "dev", "qelmini0"}), 0);
    ASSERT_EQ(m.SetAdaptersIpConfig(), 1);
    TW_IPCONFIG_REQUEST got{};
    got.adapterId = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(m_adapter));
    ASSERT_EQ(m.GetIPConfig(&got), 1);
    ASSERT_EQ(got.config.m_nIP, 1u);
    EXPECT_EQ(got.config.m_IP[0].IpAddress, Ip("198.18.4.1"));
    EXPECT_EQ(got.config.m_IP[0].Netmask, Ip("255.255.252.0"));
    EXPECT_EQ(got.config.m_IP[0].Broadcast, Ip("198.18.7.255"));
    // The route copy only logs: this driver answers the route codes "not supported".
    EXPECT_EQ(m.AddSystemRoute(), 1);

    // The sync thread follows an address change, after its settle delay. It settles only once a
    // change notice came; meanwhile the test puts a stale copy into the driver, which only a copy
    // made after the notice can mend, and which stays until the delay has passed.
    ASSERT_EQ(m.StartRouteSyncThread(), 1);
    EXPECT_EQ(m.StartRouteSyncThread(), 1) << "one thread at most";
    ASSERT_EQ(Run({"ip", "addr", "add", "198.18.9.1/24", "dev", "qelmini0"}), 0);
    ASSERT_TRUE(m_clock.WaitForWaiters(1)) << "no change notice reached the sync thread";
    TW_IPCONFIG_REQUEST stale = got;
    ASSERT_EQ(m.SetIPConfig(&stale), 1);
    auto addresses = [&] {
        TW_IPCONFIG_REQUEST now{};
        now.adapterId = got.adapterId;
        return m.GetIPConfig(&now) == 1 ? now.config.m_nIP : 0xFFFFFFFFu;
    };
    m_clock.Advance(MorbeckTiming{}.routeSettleMs - 1);
    ASSERT_TRUE(m_clock.WaitForWaiters(1)) << "the settle delay ended early";
    EXPECT_EQ(addresses(), 1u) << "copied before the settle delay passed";
    // A route notice (the new address brings a local route) may be settled before the address one,
    // so every settle that begins is let pass until the copy arrives.
    EXPECT_TRUE(WaitFor(
        "the IP configuration to show both addresses",
        [&] {
            if (addresses() == 2u) return true;
            if (m_clock.Waiters() > 0) m_clock.Advance(MorbeckTiming{}.routeSettleMs);
            return false;
        },
        10000))
        << "the address change was not copied to the driver after its notice";
    EXPECT_EQ(m.StopRouteSyncThread(), 1);
}

INSTANTIATE_TEST_SUITE_P(Layouts, MorbeckDaemon, ::testing::Values("--ring-layout=64", "--ring-layout=32"));

TEST(MorbeckAbsent, OpenWithoutTheDriverLeavesItUnloaded) {
    testsupport::TempRoot root{"morbeck-test"};
    CMorbeck m;
    EXPECT_EQ(m.OpenFilterHandler(), 1);
    EXPECT_EQ(m.IsDriverLoaded(), 0);
    _DriverVersion v{};
    EXPECT_EQ(m.GetVersion(&v), 0);
    EXPECT_EQ(m.StartShare(), 0);
    EXPECT_EQ(m.Read(0), nullptr);
    EXPECT_EQ(m.CloseFilterHandler(), 1);
}

}  // namespace
