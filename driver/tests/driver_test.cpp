// The driver over fake NICs: binding after the start delay, the hook table, OIDs, the send path
// into the ring, the ring thread and the injected-packet threads up to the right adapter, media
// state and the adapter-close event.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <unistd.h>

#include "platform/unique_fd.h"
#include "control_device.h"
#include "filter_core.h"
#include "miniport_global.h"
#include "olvane/filter_api.h"
#include "platform/event.h"
#include "platform/fake/manual_clock.h"
#include "support/client_session.h"
#include "support/fake_nic.h"
#include "support/ring_client.h"
#include "testsupport/spin_race.h"
#include "testsupport/udp_frame.h"

namespace olvane {
namespace {

const std::uint8_t kMac0[6] = {0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x00};
const std::uint8_t kMac1[6] = {0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x01};
const std::uint8_t kFar[6] = {0x00, 0xFF, 0xFF, 0xFF, 0x01, 0x00};

TwVirtualAdapter* Virtual(std::size_t i) {
    TwMiniportGlobal* g = Globals();
    std::lock_guard<std::mutex> lock(g->m_AdapterListLock);
    return g->m_Adapters[i].get();
}

test::RingClient Client() {
    TwFilterExtension* ext = FilterExtension();
    return test::RingClient(ext->Ring()->Mapped() + ext->Ring()->SharedOffset(),
                            ext->m_Layout == RingLayout::k64);
}

TEST(HookTable, LayoutAndBinding) {
    EXPECT_EQ(sizeof(NdisHookApi), 176u);
    test::FakeDriver driver(1);
    ASSERT_TRUE(driver.running);
    NdisHookApi* hooks = MiniportHooks();
    ASSERT_NE(hooks, nullptr);
    EXPECT_EQ(hooks->m_Size, 176u);
    EXPECT_EQ(hooks->m_Flags & 1, 1u);
    EXPECT_NE(hooks->Filter_AdapterOpened, nullptr);
    EXPECT_TRUE(HookBound(FilterExtension()));
    AdapterEntry* e = driver.Entry(0);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->m_Tag, kAdapterTag);
    EXPECT_EQ(std::memcmp(e->m_CurrentAddress, kMac0, 6), 0);
    EXPECT_EQ(e->m_usMTU, 1500);
    EXPECT_EQ(e->m_bIsNdisWanIp, 0);
    EXPECT_EQ(e->m_pDeviceName, "\\Device\\{TEST-0}");
    FILTER_ADAPTER found = nullptr;
    EXPECT_EQ(Filter_FindAdapterByMacAddress(kMac0, &found), FILTER_STATUS_SUCCESS);
    EXPECT_EQ(found, e);
    EXPECT_EQ(Filter_FindAdapterByNetCfgInstanceId("{", &found), FILTER_STATUS_SUCCESS);
    EXPECT_EQ(Filter_FindAdapterByMacAddress(kFar, &found), FILTER_ERROR_ADAPTER_NOT_FOUND);
}

// The protocol side's default delays, on a manual clock: no bind before the start delay,
// then one adapter per attempt, the next attempt a retry delay later.
TEST(HookTable, ProtocolWaitsForItsStartDelayAndBindsOneAdapterPerAttempt) {
    testsupport::TempRoot root;
    test::InstallAdapters(2);
    auto nics = std::make_shared<test::FakeNics>();
    platform::fake::ManualClock clock;
    DriverConfig config;
    config.clock = &clock;
    config.nicFactory = test::MakeFakeNicFactory(nics);
    ASSERT_TRUE(DriverEntry(config));
    struct Unload {  // before the clock goes
        ~Unload() { DriverUnload(); }
    } unload;
    const ProtocolTiming timing;
    ASSERT_TRUE(clock.WaitForWaiters(1)) << "no protocol start timer";
    clock.Advance(timing.startDelayMs - 1);
    ASSERT_TRUE(Globals()->m_Work.Drain(10000));
    EXPECT_EQ(Filter_GetFirstAdapter(), nullptr) << "nothing bound before the delay";
    EXPECT_EQ(Virtual(0)->m_FilterAdapter.load(), nullptr);
    clock.Advance(1);
    ASSERT_TRUE(Globals()->m_Work.Drain(10000));
    EXPECT_NE(Virtual(0)->m_FilterAdapter.load(), nullptr);
    EXPECT_EQ(Virtual(1)->m_FilterAdapter.load(), nullptr) << "one adapter per attempt";
    clock.Advance(timing.retryDelayMs - 1);
    ASSERT_TRUE(Globals()->m_Work.Drain(10000));
    EXPECT_EQ(Virtual(1)->m_FilterAdapter.load(), nullptr) << "retried before its delay";
    clock.Advance(1);
    ASSERT_TRUE(Globals()->m_Work.Drain(10000));
    EXPECT_NE(Virtual(1)->m_FilterAdapter.load(), nullptr);
}

// A client connects the adapter the moment it can find it (here: from the filter's opened event,
// the earliest point). The bind's own "starts disconnected" must already be behind it, or the
// link is left without carrier and the stack's frames never leave it.
TEST(HookTable, AConnectAsSoonAsTheAdapterIsFoundIsNotUndoneByTheBind) {
    testsupport::TempRoot root;
    test::InstallAdapters(1);
    auto nics = std::make_shared<test::FakeNics>();
    platform::fake::ManualClock clock;
    DriverConfig config;
    config.clock = &clock;
    config.nicFactory = test::MakeFakeNicFactory(nics);
    ASSERT_TRUE(DriverEntry(config));
    struct Unload {  // before the clock goes
        ~Unload() { DriverUnload(); }
    } unload;
    ASSERT_TRUE(clock.WaitForWaiters(1)) << "no protocol start timer";
    static std::atomic<int> connects{0};
    connects = 0;
    TwFilterExtension* ext = FilterExtension();
    {
        std::lock_guard<std::recursive_mutex> lock(ext->m_AdapterListLock);
        ext->m_EventHandlerList.push_back(
            TwEventHandler{nullptr, nullptr,
                           [](void*, void*, std::uint32_t event, void*, FILTER_ADAPTER) {
                               if (event == FILTER_ADAPTER_OPENED &&
                                   Filter_SetAdapterMediaStateByMac(kMac0, 1) == FILTER_STATUS_SUCCESS)
                                   ++connects;
                           },
                           nullptr});
    }
    clock.Advance(ProtocolTiming{}.startDelayMs);
    ASSERT_TRUE(Globals()->m_Work.Drain(10000));
    ASSERT_EQ(connects.load(), 1) << "the opened event did not find the adapter";
    EXPECT_TRUE(nics->Get(0)->Carrier()) << "the bind took the carrier away again";
    std::uint8_t state = 0;
    ASSERT_EQ(Filter_GetAdapterMediaStateByMac(kMac0, &state), FILTER_STATUS_SUCCESS);
    EXPECT_EQ(state, 1);
    std::uint32_t v = 1, written = 0, needed = 0;
    ASSERT_EQ(Virtual(0)->QueryInformation(OID_GEN_MEDIA_CONNECT_STATUS, &v, 4, &written, &needed),
              NDIS_STATUS_SUCCESS);
    EXPECT_EQ(v, 0u) << "connected";
    {
        std::lock_guard<std::recursive_mutex> lock(ext->m_AdapterListLock);
        ext->m_EventHandlerList.clear();
    }
}

TEST(HookTable, NdisRequestsReachTheVirtualAdapterExceptTaskOffload) {
    test::FakeDriver driver(1);
    AdapterEntry* e = driver.Entry(0);
    FILTER_REQUEST req = nullptr;
    ASSERT_EQ(Filter_AllocateNdisRequest(&req), FILTER_STATUS_SUCCESS);
    ASSERT_TRUE(Filter_IsValidNdisRequest(req));
    auto* r = static_cast<TwNdisRequest*>(req);
    std::uint32_t value = 0;
    r->m_RequestType = 1;
    r->m_Oid = OID_TCP_TASK_OFFLOAD;
    r->m_InformationBuffer = &value;
    r->m_InformationBufferLength = 4;
    EXPECT_EQ(MiniportHooks()->Hook_MakeNdisRequest(e, r, nullptr), NDIS_STATUS_NOT_SUPPORTED);
    r->m_RequestType = 0;
    r->m_Oid = OID_GEN_VENDOR_ID;
    EXPECT_EQ(Filter_MakeNdisRequest(e, req, 0), FILTER_STATUS_SUCCESS);
    EXPECT_EQ(value, 0xFFFFFFu);
    EXPECT_EQ(Filter_FreeNdisRequest(req), FILTER_STATUS_SUCCESS);
    int bogus = 0;
    EXPECT_FALSE(Filter_IsValidNdisRequest(&bogus));
}

TEST(Miniport, InformationRequestsAnswerFromTheAdaptersData) {
    test::FakeDriver driver(1);
    TwVirtualAdapter* va = Virtual(0);
    std::uint8_t buf[256];
    std::uint32_t written = 0, needed = 0, read = 0;
    ASSERT_EQ(va->QueryInformation(OID_GEN_SUPPORTED_LIST, buf, sizeof(buf), &written, &needed),
              NDIS_STATUS_SUCCESS);
    EXPECT_EQ(written, 188u);
    EXPECT_EQ(va->QueryInformation(OID_GEN_SUPPORTED_LIST, buf, 10, &written, &needed),
              NDIS_STATUS_BUFFER_TOO_SHORT);
    EXPECT_EQ(needed, 188u);
    EXPECT_EQ(va->QueryInformation(OID_GEN_XMIT_OK, buf, 4, &written, &needed), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(written, 4u);
    EXPECT_EQ(va->QueryInformation(OID_GEN_XMIT_OK, buf, 8, &written, &needed), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(written, 8u);
    EXPECT_EQ(va->QueryInformation(OID_GEN_PROTOCOL_OPTIONS, buf, 8, &written, &needed),
              NDIS_STATUS_NOT_SUPPORTED);
    EXPECT_EQ(va->QueryInformation(OID_GEN_MAXIMUM_TOTAL_SIZE, buf, 4, &written, &needed),
              NDIS_STATUS_SUCCESS);
    std::uint32_t v;
    std::memcpy(&v, buf, 4);
    EXPECT_EQ(v, 1514u);
    v = 0x40;
    EXPECT_EQ(va->SetInformation(OID_GEN_CURRENT_PACKET_FILTER, &v, 4, &read, &needed),
              NDIS_STATUS_NOT_SUPPORTED);
    v = 0x2F;
    EXPECT_EQ(va->SetInformation(OID_GEN_CURRENT_PACKET_FILTER, &v, 4, &read, &needed), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(va->SetInformation(OID_GEN_CURRENT_PACKET_FILTER, &v, 3, &read, &needed),
              NDIS_STATUS_INVALID_LENGTH);
    std::uint8_t list[198] = {};
    EXPECT_EQ(va->SetInformation(OID_802_3_MULTICAST_LIST, list, 198, &read, &needed),
              NDIS_STATUS_MULTICAST_FULL);
    EXPECT_EQ(needed, 192u);
    EXPECT_EQ(va->SetInformation(OID_802_3_MULTICAST_LIST, list, 7, &read, &needed),
              NDIS_STATUS_INVALID_LENGTH);
    EXPECT_EQ(va->SetInformation(OID_GEN_VENDOR_ID, &v, 4, &read, &needed), NDIS_STATUS_INVALID_OID);
    EXPECT_EQ(va->Reset(), NDIS_STATUS_SUCCESS);
}

TEST(Miniport, MediaStateFollowsTheFilterCallAndTheCarrier) {
    test::FakeDriver driver(1);
    TwVirtualAdapter* va = Virtual(0);
    std::uint32_t v = 0, written = 0, needed = 0;
    ASSERT_EQ(va->QueryInformation(OID_GEN_MEDIA_CONNECT_STATUS, &v, 4, &written, &needed),
              NDIS_STATUS_SUCCESS);
    EXPECT_EQ(v, 1u) << "fresh adapter is disconnected";
    EXPECT_FALSE(driver.Nic(0)->Carrier());
    ASSERT_EQ(Filter_SetAdapterMediaStateByMac(kMac0, 1), FILTER_STATUS_SUCCESS);
    EXPECT_TRUE(driver.Nic(0)->Carrier());
    std::uint8_t state = 0;
    ASSERT_EQ(Filter_GetAdapterMediaStateByMac(kMac0, &state), FILTER_STATUS_SUCCESS);
    EXPECT_EQ(state, 1);
    ASSERT_EQ(Filter_SetAdapterMediaStateByMac(kMac0, 0), FILTER_STATUS_SUCCESS);
    EXPECT_FALSE(driver.Nic(0)->Carrier());
    EXPECT_EQ(Filter_SetAdapterMediaStateByMac(kFar, 1), FILTER_ERROR_ADAPTER_NOT_FOUND);
}

TEST(Miniport, StackFramesReachTheOutputRingWithTheAdaptersId) {
    test::FakeDriver driver(1);
    test::ClientSession session;
    ASSERT_TRUE(session.Claimed());
    auto frame = testsupport::UdpFrame(kFar, kMac0, 0x0100000A, 0x0200000A, 4000, 100);
    ASSERT_TRUE(driver.Nic(0)->StackSends(frame));
    test::RingClient client = session.Ring();
    test::UserBlock b;
    ASSERT_TRUE(testsupport::WaitFor("a block in the shared ring", [&] { return client.Read(&b); }));
    std::uint32_t id = 0;
    Filter_AdapterToId(driver.Entry(0), &id);
    EXPECT_EQ(b.adapterId, id);
    EXPECT_EQ(b.direction, static_cast<std::uint32_t>(PACKET_DIRECTION_OUTGOING));
    EXPECT_EQ(b.data, frame);
    EXPECT_EQ(Virtual(0)->XmitOk(), 1u);
}

TEST(Miniport, ASendWhileHaltingWritesNothing) {
    test::FakeDriver driver(1);
    TwVirtualAdapter* va = Virtual(0);
    va->SetFlag(kFlagHalting);
    auto frame = testsupport::UdpFrame(kFar, kMac0, 1, 2, 9, 10);
    EXPECT_EQ(va->SendFrame(frame.data(), static_cast<std::uint32_t>(frame.size())), NDIS_STATUS_SUCCESS);
    EXPECT_TRUE(FilterExtension()->Ring()->OutputEmpty());
}

TEST(Miniport, OversizeInjectionIsRefused) {
    test::FakeDriver driver(1);
    TwPacket* p = Filter_AllocatePacketp(driver.Entry(0), __FILE__, __LINE__);
    ASSERT_NE(p, nullptr);
    p->m_DataLength = 1515;
    EXPECT_EQ(MiniportHooks()->Hook_InjectPacketToProtocol(driver.Entry(0), p), NDIS_STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(driver.Entry(0)->m_PacketPool->InUse(), 0u) << "released";
}

TEST(FilterCore, RingFramesGoUpTheAdapterTheyNameWithTheFarSideAddress) {
    test::FakeDriver driver(2);
    ASSERT_NE(driver.Entry(1), nullptr);
    std::uint32_t id0 = 0, id1 = 0;
    Filter_AdapterToId(driver.Entry(0), &id0);
    Filter_AdapterToId(driver.Entry(1), &id1);
    test::RingClient client = Client();
    const std::uint8_t anyDst[6] = {1, 2, 3, 4, 5, 6};
    // Adapter 1 opened last; a frame for adapter 0 must still reach adapter 0.
    auto frame = testsupport::UdpFrame(anyDst, anyDst, 0x0100000A, 0x0200000A, 5000, 50);
    ASSERT_TRUE(
        client.Write(id0, PACKET_DIRECTION_OUTGOING, frame.data(), static_cast<std::uint32_t>(frame.size())));
    SetRingEvent(FilterExtension());
    auto got = driver.Nic(0)->WaitIndicated(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(std::memcmp(got[0].data(), kMac0, 6), 0) << "destination: the adapter's own address";
    EXPECT_EQ(std::memcmp(got[0].data() + 6, kFar, 6), 0) << "source: the far side";
    EXPECT_EQ(driver.Nic(1)->WaitIndicated(1, 50).size(), 0u);
    ASSERT_TRUE(
        client.Write(id1, PACKET_DIRECTION_INCOMING, frame.data(), static_cast<std::uint32_t>(frame.size())));
    SetRingEvent(FilterExtension());
    auto got1 = driver.Nic(1)->WaitIndicated(1);
    ASSERT_EQ(got1.size(), 1u);
    EXPECT_EQ(std::memcmp(got1[0].data(), kMac1, 6), 0);
}

// The client rings the ring thread's doorbell only when the thread has announced its sleep; a
// block written just as the thread's spin gives up must still be taken.
TEST(FilterCore, ABlockAtTheRingThreadsSpinEndIsNeverMissed) {
    test::FakeDriver driver(1);
    std::uint32_t id = 0;
    Filter_AdapterToId(driver.Entry(0), &id);
    const std::shared_ptr<TwSharedRing> ring = FilterExtension()->Ring();
    test::RingClient client = Client();
    std::uint8_t* word = platform::RingSleepWord(ring->Mapped(), ring->MappedSize());
    const std::uint8_t anyDst[6] = {1, 2, 3, 4, 5, 6};
    const auto frame = testsupport::UdpFrame(anyDst, anyDst, 0x0100000A, 0x0200000A, 5000, 20);
    EXPECT_TRUE(testsupport::RaceAgainstSpin(
        1500,
        [&](int) {
            ASSERT_TRUE(client.Write(id, PACKET_DIRECTION_OUTGOING, frame.data(),
                                     static_cast<std::uint32_t>(frame.size())));
            if (platform::RingTakeWakeUp(word, platform::kRingInputReaderSleeping))
                platform::RingDoorbell(ring->InputDoorbellFd());
        },
        [&] { return static_cast<int>(driver.Nic(0)->IndicatedCount()); }));
}

TEST(FilterCore, BadBlocksAreDroppedCountedAndTheRingFlowsOn) {
    test::FakeDriver driver(1);
    std::uint32_t id = 0;
    Filter_AdapterToId(driver.Entry(0), &id);
    test::RingClient client = Client();
    std::vector<std::uint8_t> frame(1520, 0);
    ASSERT_TRUE(client.Write(77, PACKET_DIRECTION_OUTGOING, frame.data(), 60));    // unknown id
    ASSERT_TRUE(client.Write(id, PACKET_DIRECTION_OUTGOING, frame.data(), 1600));  // too long
    ASSERT_TRUE(client.Write(id, 9, frame.data(), 60));                            // bad direction
    ASSERT_TRUE(client.Write(id, PACKET_DIRECTION_OUTGOING, frame.data(), 60));
    SetRingEvent(FilterExtension());
    ASSERT_EQ(driver.Nic(0)->WaitIndicated(1).size(), 1u);
    RingCounters& c = FilterExtension()->Ring()->Counters();
    EXPECT_EQ(c.inputUnknownAdapter.load(), 1u);
    EXPECT_EQ(c.inputOversize.load(), 1u);
    EXPECT_TRUE(testsupport::WaitFor("every packet of the pool to come back",
                                     [&] { return driver.Entry(0)->m_PacketPool->InUse() == 0; }));
}

TEST(FilterCore, LoopbackBlocksComeStraightBack) {
    test::FakeDriver driver(1);
    test::ClientSession session;
    ASSERT_TRUE(session.Claimed());
    std::uint32_t id = 0;
    Filter_AdapterToId(driver.Entry(0), &id);
    test::RingClient client = session.Ring();
    std::vector<std::uint8_t> frame(80, 0x5A);
    ASSERT_TRUE(client.Write(id, PACKET_DIRECTION_LOOPBACK, frame.data(), 80));
    SetRingEvent(FilterExtension());
    test::UserBlock b;
    ASSERT_TRUE(testsupport::WaitFor("a block in the shared ring", [&] { return client.Read(&b); }));
    EXPECT_EQ(b.direction, static_cast<std::uint32_t>(PACKET_DIRECTION_LOOPBACK));
    EXPECT_EQ(b.data, frame);
}

TEST(FilterCore, InvokeWithAnUnknownTypeReleasesThePacket) {
    test::FakeDriver driver(1);
    TwPacket* p = Filter_AllocatePacketp(driver.Entry(0), __FILE__, __LINE__);
    ASSERT_NE(p, nullptr);
    Filter_InvokeFilters(4, p);
    EXPECT_EQ(driver.Entry(0)->m_PacketPool->InUse(), 0u);
    EXPECT_EQ(driver.Nic(0)->WaitIndicated(1, 20).size(), 0u);
}

TEST(FilterCore, PacketsOfOneAddressPairKeepTheirOrder) {
    test::FakeDriver driver(1);
    AdapterEntry* e = driver.Entry(0);
    for (int i = 0; i < 50; ++i) {
        TwPacket* p = Filter_AllocatePacketp(e, __FILE__, __LINE__);
        auto frame = testsupport::UdpFrame(kMac0, kFar, 0x0100000A, 0x0200000A, 7, 4);
        frame.back() = static_cast<std::uint8_t>(i);
        std::memcpy(p->m_Data, frame.data(), frame.size());
        p->m_DataLength = p->m_BytesHeld = static_cast<std::uint32_t>(frame.size());
        ParseHeaders(p);
        ASSERT_EQ(Filter_IndicatePacketFromAdapter(e, p), FILTER_STATUS_SUCCESS);
    }
    auto got = driver.Nic(0)->WaitIndicated(50);
    ASSERT_EQ(got.size(), 50u);
    for (int i = 0; i < 50; ++i) EXPECT_EQ(got[static_cast<std::size_t>(i)].back(), i);
    EXPECT_EQ(Filter_IndicatePacketFromAdapter(e, nullptr), FILTER_ERROR_INVALID_ARGUMENT);
}

TEST(FilterCore, UnknownMediaStatusReachesNoHandler) {
    test::FakeDriver driver(1);
    struct Log {
        int calls = 0;
    } log;
    auto proc = [](void*, void*, std::uint32_t, void* ctx, FILTER_ADAPTER) {
        ++static_cast<Log*>(ctx)->calls;
    };
    {
        std::lock_guard<std::recursive_mutex> lock(FilterExtension()->m_AdapterListLock);
        FilterExtension()->m_EventHandlerList.push_back({nullptr, nullptr, proc, &log});
    }
    NdisFilter_AdapterStatusChanged(driver.Entry(0), 0x40010099);
    EXPECT_EQ(log.calls, 0);
    NdisFilter_AdapterStatusChanged(driver.Entry(0), NDIS_STATUS_MEDIA_CONNECT);
    EXPECT_EQ(log.calls, 1);
    std::lock_guard<std::recursive_mutex> lock(FilterExtension()->m_AdapterListLock);
    FilterExtension()->m_EventHandlerList.clear();
}

void SetCloseEventFd(int fd) {
    TwFileObject fo{1, 1, 0};
    DWORD handle = static_cast<DWORD>(fd);
    IoRequest req;
    req.code = IOCTL_SET_ADAPTER_CLOSE_EVENT;
    req.in = reinterpret_cast<const std::uint8_t*>(&handle);
    req.inLength = 4;
    platform::UniqueFd passed(::dup(fd));
    req.passedFd = passed.Get();
    IoResult r = NdisFilterIoControl(&fo, req, nullptr);
    if (req.passedFd < 0) passed.Release();  // the driver took it
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 0u);
}

TEST(FilterCore, ClosingAnAdapterSetsTheCloseEventOnlyWhileCapturing) {
    test::FakeDriver driver(1);
    platform::Event event(true, false);
    SetCloseEventFd(event.Fd());
    driver.Nic(0)->RemoveLink();  // capture flag is 0
    ASSERT_TRUE(testsupport::WaitFor("the adapter entry to go", [&] { return driver.Entry(0) == nullptr; }));
    EXPECT_FALSE(event.IsSet());
    driver.Stop();

    test::FakeDriver second(1);
    platform::Event event2(true, false);
    SetCloseEventFd(event2.Fd());
    FilterExtension()->m_CaptureFlag.store(1);
    second.Nic(0)->RemoveLink();
    EXPECT_EQ(event2.Wait(5000), platform::kWaitObject0);
}

}  // namespace
}  // namespace olvane

#include "olvane_daemon.h"

namespace olvane {
namespace {

TEST(Protocol, RealAdaptersAreListedAndLeaveWhenTheirLinkGoes) {
    testsupport::TempRoot root;
    test::InstallAdapters(1);
    auto nics = std::make_shared<test::FakeNics>();
    auto links = std::make_shared<std::vector<RealLink>>();
    auto lock = std::make_shared<std::mutex>();
    RealLink eth;
    eth.ifIndex = 7;
    eth.name = "eth7";
    eth.mac[0] = 0x02;
    eth.mac[5] = 0x07;
    eth.carrier = true;
    links->push_back(eth);
    DriverConfig config;
    config.timing = ProtocolTiming{0, 0, 0};
    config.nicFactory = test::MakeFakeNicFactory(nics);
    config.linkLister = [links, lock] {
        std::lock_guard<std::mutex> l(*lock);
        return *links;
    };
    ASSERT_TRUE(DriverEntry(config));
    FILTER_ADAPTER a = nullptr;
    // Found by its MAC as soon as the filter half hears of it, valid only once that is done.
    ASSERT_TRUE(testsupport::WaitFor("the adapter to be found by its MAC address and valid", [&] {
        return Filter_FindAdapterByMacAddress(eth.mac, &a) == FILTER_STATUS_SUCCESS &&
               static_cast<AdapterEntry*>(a)->m_bValid.load();
    }));
    auto* e = static_cast<AdapterEntry*>(a);
    EXPECT_EQ(e->m_pProto, nullptr);
    EXPECT_EQ(e->m_pDeviceName, "\\DEVICE\\eth7");
    EXPECT_EQ(e->m_MediaState.load(), 0u);
    // A frame injected toward a real adapter is released, never sent anywhere.
    TwPacket* p = Filter_AllocatePacketp(e, __FILE__, __LINE__);
    ASSERT_NE(p, nullptr);
    p->m_DataLength = 60;
    EXPECT_EQ(MiniportHooks()->Hook_InjectPacketToProtocol(e, p), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(e->m_PacketPool->InUse(), 0u);
    {
        std::lock_guard<std::mutex> l(*lock);
        links->clear();
    }
    Globals()->m_Work.Queue(SyncRealAdapters);
    EXPECT_TRUE(testsupport::WaitFor("the adapter to be gone", [&] {
        return Filter_FindAdapterByMacAddress(eth.mac, &a) != FILTER_STATUS_SUCCESS;
    }));
    DriverUnload();
}

TEST(Daemon, StopRequestEndsWaitAndStopJoinsEverything) {
    testsupport::TempRoot root;
    auto nics = std::make_shared<test::FakeNics>();
    DaemonOptions options;
    options.driver.timing = ProtocolTiming{0, 0, 0};
    options.driver.nicFactory = test::MakeFakeNicFactory(nics);
    options.listRealAdapters = false;
    options.devicePath = root.Path() + "/ndisfilter";
    TwOlvaneDaemon daemon;
    std::string error;
    ASSERT_TRUE(daemon.Start(options, &error)) << error;
    EXPECT_NE(nics->Get(0), nullptr) << "the default adapter instance was installed";
    EXPECT_FALSE(daemon.Wait(10));
    std::thread stopper([&] { daemon.RequestStop(); });
    EXPECT_TRUE(daemon.Wait(5000));
    stopper.join();
    daemon.Stop();
    EXPECT_EQ(Globals(), nullptr);
    EXPECT_EQ(FilterExtension(), nullptr);
    EXPECT_NE(::access(options.devicePath.c_str(), F_OK), 0);
}

}  // namespace
}  // namespace olvane
