// The exported support and adapter functions: names, memory, diagnostics, adapter ids (also
// under contention), checksums, handle checks and the stored IP configuration.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "adapter_entry.h"
#include "filter_core.h"
#include "olvane/filter_api.h"
#include "support/fake_nic.h"
#include "support/ring_client.h"
#include "testsupport/udp_frame.h"

namespace olvane {
namespace {

TEST(FilterSupport, NamesOfStatusesAndEnumerations) {
    EXPECT_STREQ(Filter_StatusString(-18), "FILTER_ERROR_ADAPTER_NOT_FOUND");
    EXPECT_STREQ(Filter_StatusString(-45), "FILTER_ERROR_DRIVER_DIAG_IN_PROGRESS");
    EXPECT_STREQ(Filter_StatusString(0), "FILTER_STATUS_SUCCESS");
    EXPECT_STREQ(Filter_StatusString(1), "Unknown");
    EXPECT_STREQ(Filter_StatusString(-46), "Unknown");
    EXPECT_STREQ(Filter_OrderString(5), "FILTER_ORDER_FIXED");
    EXPECT_STREQ(Filter_OrderString(-2), "FILTER_ORDER_NEXT");
    EXPECT_STREQ(Filter_TypeString(-1), "FILTER_TYPE_INVALID");
    EXPECT_STREQ(Filter_ResultString(4), "Unknown");
    EXPECT_STREQ(Filter_MethodString(4), "FILTER_METHOD_START_AFTER_THIS_FILTER");
}

TEST(FilterSupport, MemoryBlocksCarryTheirTag) {
    void* p = Filter_AllocateMemory(100, 0x1234);
    ASSERT_NE(p, nullptr);
    std::uint32_t header[3];
    std::memcpy(header, static_cast<std::uint8_t*>(p) - 12, 12);
    EXPECT_EQ(header[0], 112u);
    EXPECT_EQ(header[1], 0x54414737u);
    EXPECT_EQ(Filter_FreeMemory(p), FILTER_STATUS_SUCCESS);
    EXPECT_EQ(Filter_FreeMemory(nullptr), FILTER_ERROR_INVALID_ARGUMENT);
    std::uint8_t fake[64] = {};
    EXPECT_EQ(Filter_FreeMemory(fake + 12), FILTER_ERROR_INVALID_MEMORY_POINTER);
}

TEST(FilterSupport, RegistryPathCopies) {
    auto wide = [](const char* text) {
        std::vector<std::uint16_t> w;
        for (const char* c = text; *c != '\0'; ++c) w.push_back(static_cast<std::uint8_t>(*c));
        return w;
    };
    auto narrow = [](const FILTER_UNICODE_STRING& s) {
        std::string out;
        for (unsigned i = 0; i < s.Length / 2u; ++i) out += static_cast<char>(s.Buffer[i]);
        return out;
    };
    std::vector<std::uint16_t> path = wide("Services\\Olvane\\Parameters");
    path.resize(path.size() + 4, 0xAAAA);  // room the source's maximum length counts beyond its text
    const FILTER_UNICODE_STRING source{static_cast<std::uint16_t>(26 * 2),
                                       static_cast<std::uint16_t>(path.size() * 2), path.data()};
    FILTER_UNICODE_STRING copy{};
    ASSERT_EQ(Filter_SaveDriverRegistryPath(&source, &copy), 0u);
    EXPECT_EQ(narrow(copy), "Services\\Olvane\\Parameters");
    EXPECT_EQ(copy.Length, source.Length);
    EXPECT_EQ(copy.MaximumLength, source.MaximumLength + 2);
    EXPECT_EQ(copy.Buffer[copy.Length / 2], 0u);
    EXPECT_NE(copy.Buffer, source.Buffer);
    EXPECT_EQ(Filter_FreeMemory(copy.Buffer), FILTER_STATUS_SUCCESS);

    std::vector<std::uint16_t> tail = wide("Linkage");
    const FILTER_UNICODE_STRING suffix{static_cast<std::uint16_t>(tail.size() * 2),
                                       static_cast<std::uint16_t>(tail.size() * 2), tail.data()};
    // "Parameters" ends the source: its last seven characters give way to "Linkage".
    ASSERT_EQ(Filter_ReplaceDriverRegistryPath(&source, &suffix, &copy), 0u);
    EXPECT_EQ(narrow(copy), "Services\\Olvane\\ParLinkage");
    EXPECT_EQ(copy.Length, source.Length);
    EXPECT_EQ(copy.Buffer[copy.Length / 2], 0u);
    EXPECT_EQ(Filter_FreeMemory(copy.Buffer), FILTER_STATUS_SUCCESS);

    // Missing and malformed arguments leave the output alone.
    FILTER_UNICODE_STRING untouched{};
    EXPECT_EQ(Filter_SaveDriverRegistryPath(nullptr, &untouched), FILTER_NT_INVALID_PARAMETER);
    EXPECT_EQ(Filter_SaveDriverRegistryPath(&source, nullptr), FILTER_NT_INVALID_PARAMETER);
    const FILTER_UNICODE_STRING overlong{8, 4, path.data()};
    EXPECT_EQ(Filter_SaveDriverRegistryPath(&overlong, &untouched), FILTER_NT_INVALID_PARAMETER);
    const FILTER_UNICODE_STRING noBuffer{4, 4, nullptr};
    EXPECT_EQ(Filter_SaveDriverRegistryPath(&noBuffer, &untouched), FILTER_NT_INVALID_PARAMETER);
    const FILTER_UNICODE_STRING huge{2, 0xFFFF, path.data()};
    EXPECT_EQ(Filter_SaveDriverRegistryPath(&huge, &untouched), FILTER_NT_INVALID_PARAMETER);
    EXPECT_EQ(Filter_ReplaceDriverRegistryPath(&source, nullptr, &untouched), FILTER_NT_INVALID_PARAMETER);
    EXPECT_EQ(Filter_ReplaceDriverRegistryPath(&suffix, &source, &untouched), FILTER_NT_INVALID_PARAMETER)
        << "a suffix longer than the source";
    EXPECT_EQ(untouched.Buffer, nullptr);

    const FILTER_UNICODE_STRING empty{0, 0, nullptr};
    ASSERT_EQ(Filter_SaveDriverRegistryPath(&empty, &copy), 0u);
    EXPECT_EQ(copy.Length, 0u);
    EXPECT_EQ(copy.Buffer[0], 0u);
    EXPECT_EQ(Filter_FreeMemory(copy.Buffer), FILTER_STATUS_SUCCESS);
}

TEST(FilterSupport, DiagnosticsBoundsAndText) {
    std::vector<char> storage(sizeof(FILTER_DIAG) + 64);
    auto* d = reinterpret_cast<FILTER_DIAG*>(storage.data());
    d->m_BufferSize = 8;
    FILTER_DIAG* out = nullptr;
    std::vector<char> buffer(2048, 'x');
    EXPECT_EQ(Filter_BeginDiag(buffer.data(), 1023, d, 1, &out), FILTER_STATUS_SUCCESS);
    EXPECT_EQ(out, d);
    EXPECT_EQ(Filter_BeginDiag(buffer.data(), 1024, d, 1, &out), FILTER_ERROR_BUFFER_TOO_SMALL);
    EXPECT_EQ(Filter_BeginDiag(buffer.data(), 0, d, 1, &out), FILTER_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(Filter_BeginDiag(nullptr, 10, d, 1, &out), FILTER_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(Filter_DiagPrint(d, "%s", "abc"), FILTER_STATUS_SUCCESS);
    EXPECT_EQ(d->m_BufferUsed, 3);
    EXPECT_EQ(Filter_DiagPrint(d, "%s", "defghijk"), FILTER_STATUS_SUCCESS);
    EXPECT_EQ(d->m_BufferUsed, 7) << "a text that does not fit is cut, never overruns";
    EXPECT_STREQ(d->m_Buffer, "abcdefg");
    EXPECT_EQ(Filter_DiagPrint(d, "%s", "z"), FILTER_ERROR_BUFFER_TOO_SMALL);
}

TEST(FilterSupport, ChecksumsFollowTheInternetChecksum) {
    const std::uint8_t mac[6] = {};
    auto frame = testsupport::UdpFrame(mac, mac, 0x0100000A, 0x0200000A, 9, 3);  // odd payload
    std::uint8_t* ip = frame.data() + 14;
    std::vector<std::uint8_t> before(ip, ip + 31);
    EXPECT_EQ(Filter_CalculatePacketCheckSum(ip, 2), FILTER_ERROR_UNSUPPORTED_PROTOCOL);
    EXPECT_EQ(std::vector<std::uint8_t>(ip, ip + 31), before) << "unchanged";
    EXPECT_EQ(Filter_CalculatePacketCheckSum(ip, 0), FILTER_STATUS_SUCCESS);
    EXPECT_EQ(std::vector<std::uint8_t>(ip, ip + 20),
              std::vector<std::uint8_t>(before.begin(), before.begin() + 20))
        << "a correct header checksum is recomputed to the same value";
    EXPECT_EQ(Filter_CalculatePacketCheckSum(ip, 17), FILTER_STATUS_SUCCESS);
    // Verify: the ones' complement sum over pseudo header and datagram folds to 0xFFFF.
    std::uint32_t sum = 0;
    auto add = [&](const std::uint8_t* p, std::size_t n) {
        for (std::size_t i = 0; i + 1 < n; i += 2) sum += static_cast<std::uint32_t>((p[i] << 8) | p[i + 1]);
        if (n & 1) sum += static_cast<std::uint32_t>(p[n - 1] << 8);
    };
    add(ip + 12, 8);
    sum += 17 + 11;
    add(ip + 20, 11);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    EXPECT_EQ(sum, 0xFFFFu);
    EXPECT_EQ(Filter_CalculatePacketCheckSum(nullptr, 0), FILTER_ERROR_INVALID_ARGUMENT);
}

TEST(FilterSupport, SubnetBroadcast) {
    EXPECT_EQ(SubnetBroadcastAddress(0x0164120Au, 0x00FFFFFFu), 0xFF64120Au);
    EXPECT_TRUE(IsBroadcastAddress(0xFF64120Au));
    EXPECT_FALSE(IsBroadcastAddress(0x0164120Au));
}

class DriverApi : public ::testing::Test {
protected:
    testsupport::TempRoot root;
};

TEST_F(DriverApi, AdapterIdsStartAtOneAndAreNeverReassigned) {
    ASSERT_TRUE(NdisFilterInitialize(RingLayout::k64));
    std::vector<AdapterEntry> entries(34);
    std::uint32_t id = 0;
    ASSERT_EQ(Filter_AdapterToId(&entries[0], &id), FILTER_STATUS_SUCCESS);
    EXPECT_EQ(id, 1u);
    ASSERT_EQ(Filter_AdapterToId(&entries[1], &id), FILTER_STATUS_SUCCESS);
    EXPECT_EQ(id, 2u);
    ASSERT_EQ(Filter_AdapterToId(&entries[0], &id), FILTER_STATUS_SUCCESS);
    EXPECT_EQ(id, 1u);
    for (int i = 2; i < 32; ++i) ASSERT_EQ(Filter_AdapterToId(&entries[static_cast<std::size_t>(i)], &id), 0);
    EXPECT_EQ(Filter_AdapterToId(&entries[32], &id), FILTER_ERROR_INTERNAL_ERROR);
    FILTER_ADAPTER a = nullptr;
    ASSERT_EQ(Filter_IdToAdapter(2, &a), 0);
    EXPECT_EQ(a, &entries[1]);
    EXPECT_EQ(Filter_IdToAdapter(99, &a), -1);
    NdisFilterDeInitialize();
}

TEST_F(DriverApi, AClosedAdapterGivesItsIdBackAndOurOwnAdapterAlwaysHasOne) {
    ASSERT_TRUE(NdisFilterInitialize(RingLayout::k64));
    std::vector<AdapterEntry> links(33);
    AdapterEntry own;
    own.m_bOwnAdapter = true;
    std::uint32_t id = 0;
    for (int i = 0; i < 32; ++i) ASSERT_EQ(Filter_AdapterToId(&links[static_cast<std::size_t>(i)], &id), 0);
    EXPECT_EQ(Filter_AdapterToId(&links[32], &id), FILTER_ERROR_INTERNAL_ERROR);
    // Full of real links: our adapter takes the place of the last one, which loses its id.
    ASSERT_EQ(Filter_AdapterToId(&own, &id), FILTER_STATUS_SUCCESS);
    EXPECT_EQ(id, 33u);
    FILTER_ADAPTER a = nullptr;
    EXPECT_EQ(Filter_IdToAdapter(32, &a), -1);
    EXPECT_EQ(Filter_AdapterToId(&links[31], &id), FILTER_ERROR_INTERNAL_ERROR);
    // A closed link gives its place back; its number is not handed out again, and the closed link
    // itself gets none later.
    ReleaseAdapterId(&links[0]);
    EXPECT_EQ(Filter_IdToAdapter(1, &a), -1);
    ASSERT_EQ(Filter_AdapterToId(&links[32], &id), FILTER_STATUS_SUCCESS);
    EXPECT_EQ(id, 34u);
    ReleaseAdapterId(&links[1]);
    EXPECT_EQ(Filter_AdapterToId(&links[1], &id), FILTER_ERROR_ADAPTER_NOT_OPEN);
    ASSERT_EQ(Filter_AdapterToId(&own, &id), FILTER_STATUS_SUCCESS);
    EXPECT_EQ(id, 33u);
    NdisFilterDeInitialize();
}

TEST_F(DriverApi, ConcurrentCallersForOneAdapterGetOneId) {
    ASSERT_TRUE(NdisFilterInitialize(RingLayout::k64));
    for (int round = 0; round < 30; ++round) {
        std::vector<AdapterEntry> entries(1);
        std::atomic<int> go{0};
        std::vector<std::uint32_t> ids(8);
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&, t] {
                while (go.load() == 0) {
                }
                Filter_AdapterToId(&entries[0], &ids[static_cast<std::size_t>(t)]);
            });
        }
        go.store(1);
        for (auto& th : threads) th.join();
        EXPECT_EQ(std::set<std::uint32_t>(ids.begin(), ids.end()).size(), 1u) << "round " << round;
        NdisFilterDeInitialize();
        ASSERT_TRUE(NdisFilterInitialize(RingLayout::k64));
    }
    NdisFilterDeInitialize();
}

TEST_F(DriverApi, HandlesWithoutTheAdapterTagAreRefused) {
    AdapterEntry e;
    std::uint8_t mac[6];
    EXPECT_EQ(Filter_GetAdapterCurrentAddress(&e, mac), FILTER_ERROR_INVALID_ADAPTER_HANDLE);
    EXPECT_EQ(Filter_GetAdapterCurrentAddress(nullptr, mac), FILTER_ERROR_INVALID_ARGUMENT);
    e.m_Tag = kAdapterTag;
    EXPECT_EQ(Filter_GetAdapterCurrentAddress(&e, mac), FILTER_STATUS_SUCCESS);
    EXPECT_EQ(Filter_GetAdapterPPPSrcMacAddress(&e, mac), FILTER_ERROR_ADAPTER_NOT_OPEN);
    const std::uint8_t ppp[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(Filter_SetAdapterPPPSrcMacAddress(&e, ppp), FILTER_STATUS_SUCCESS);
    EXPECT_EQ(Filter_GetAdapterPPPSrcMacAddress(&e, mac), FILTER_STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(mac, ppp, 6), 0);
    std::uint16_t mtu = 0;
    EXPECT_EQ(Filter_GetAdapterMtu(&e, &mtu), FILTER_STATUS_SUCCESS);
    EXPECT_EQ(mtu, 1500);
}

struct EventLog {
    std::vector<std::uint32_t> events;
};
void RecordEvent(void*, void*, std::uint32_t event, void* context, FILTER_ADAPTER) {
    static_cast<EventLog*>(context)->events.push_back(event);
}

TEST_F(DriverApi, SetIpConfigNotifiesOnlyOnChangeAndBoundsItsCounts) {
    ASSERT_TRUE(NdisFilterInitialize(RingLayout::k64));
    EventLog log;
    FilterExtension()->m_EventHandlerList.push_back({nullptr, nullptr, RecordEvent, &log});
    AdapterEntry e;
    e.m_Tag = kAdapterTag;
    TwIpConfigRecord r{};
    r.hAdapter = reinterpret_cast<std::uint64_t>(&e);
    r.config.m_nIP = 1;
    r.config.m_IP[0].IpAddress = 0x0A641264;  // 100.18.100.10 as it lies in memory
    r.config.m_IP[0].Netmask = 0x00FFFFFF;
    EXPECT_EQ(Filter_SetIPConfig(&r), FILTER_STATUS_SUCCESS);
    EXPECT_EQ(e.m_IPConfig.config.m_IP[0].Broadcast, 0xFF641264u);
    EXPECT_EQ(log.events, std::vector<std::uint32_t>{FILTER_ADAPTER_IPCONFIG_CHANGED});
    EXPECT_EQ(Filter_SetIPConfig(&r), FILTER_STATUS_SUCCESS);
    EXPECT_EQ(log.events.size(), 1u) << "unchanged record notifies nobody";
    r.config.m_nIP = 9;
    EXPECT_EQ(Filter_SetIPConfig(&r), FILTER_ERROR_INVALID_ARGUMENT);
    r.config.m_nIP = 0x7FFFFFFF;
    EXPECT_EQ(Filter_SetIPConfig(&r), FILTER_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(log.events.size(), 1u);
    TwIpConfigRecord back{};
    EXPECT_NE(Filter_GetIPConfig(&e, &back), nullptr);
    EXPECT_EQ(back.config.m_nIP, 1u);
    FilterExtension()->m_EventHandlerList.clear();
    NdisFilterDeInitialize();
}

TEST_F(DriverApi, ReleaseOfANullPacketFreesNothing) {
    EXPECT_EQ(Filter_ReleasePacketp(nullptr, __FILE__, __LINE__), FILTER_ERROR_INVALID_ARGUMENT);
}

}  // namespace
}  // namespace olvane
