#include "filter_core.h"

#include <poll.h>
#include <sys/eventfd.h>

#include <chrono>
#include <cstring>

#include "diagnostics.h"
#include "miniport_global.h"
#include "trace.h"
#include "platform/busy_poll.h"
#include "platform/clock.h"

namespace olvane {

namespace {

std::atomic<TwFilterExtension*> g_filter{nullptr};
constexpr std::uint8_t kFarSideMac[6] = {0x00, 0xFF, 0xFF, 0xFF, 0x01, 0x00};

void EnterThread(TwFilterExtension* ext) { ext->m_nNdisHelperWorkThread.fetch_add(1); }
void LeaveThread(TwFilterExtension* ext) { ext->m_nNdisHelperWorkThread.fetch_sub(1); }

void CallHandlers(TwFilterExtension* ext, std::uint32_t event, AdapterEntry* adapter) {
    for (const TwEventHandler& h : ext->m_EventHandlerList) {
        if (h.m_pfEventProc != nullptr) {
            h.m_pfEventProc(h.m_hFilterDriver, h.m_pDriverContext, event, h.m_pEventContext, adapter);
        }
    }
}

// Rebuilds the adapter list from the miniport half's bound entries.
void RefreshAdapterList(TwFilterExtension* ext) {
    std::lock_guard<std::recursive_mutex> lock(ext->m_AdapterListLock);
    ext->m_AdapterList.count = 0;
    if (HookBound(ext) && ext->m_NdisHookAPI.Hook_GetTcpIpBoundAdapters != nullptr) {
        ext->m_NdisHookAPI.Hook_GetTcpIpBoundAdapters(&ext->m_AdapterList);
    }
}

// The close handler: a closing adapter while capturing is a forced logoff for the client.
void qel_AdapterEventHandler(TwFilterExtension* ext, AdapterEntry* adapter) {
    std::uint8_t mac[6];
    FILTER_STATUS st = Filter_GetAdapterCurrentAddress(adapter, mac);
    if (st != FILTER_STATUS_SUCCESS) {
        DbgPrint("qel_AdapterEventHandler: GetAdapterCurrentAddress(hAdapter 0x%p) fail, status 0x%x\n",
                 static_cast<void*>(adapter), static_cast<unsigned>(st));
        return;
    }
    char text[18];
    MacToText(mac, text);
    DbgPrint("qel_AdapterEventHandler: adapter %s\n", text);
    DbgPrint("qel_AdapterEventHandler: FILTER_ADAPTER_CLOSED, force logoff ...\n");
    if (ext->m_CaptureFlag.load() == 1) {
        std::lock_guard<std::mutex> lock(ext->m_CloseEventLock);
        for (auto& entry : ext->m_pAdapterCloseEvents) {
            entry.second->Set();
            DbgPrint("qel_AdapterEventHandler: FILTER_ADAPTER_CLOSED, KeSetEvent m_pAdapterCloseEvent\n");
        }
    }
}

// Sleeps until the ring event or the input ring's doorbell; the client rings the doorbell only
// while the ring says we sleep, so a busy ring costs it no system call.
void WaitRingEvent(TwFilterExtension* ext) {
    const std::shared_ptr<TwSharedRing> ring = ext->Ring();
    if (ext->m_bStopShare.load()) return;
    if (ring && !ring->PrepareInputSleep()) return;
    pollfd p[2] = {{ext->m_RingEventFd.Get(), POLLIN, 0}, {ring ? ring->InputDoorbellFd() : -1, POLLIN, 0}};
    ::poll(p, 2, 0x0FFFFFFF);
    // Only a descriptor that was rung is drained: reading the other would only return EAGAIN.
    if ((p[0].revents & POLLIN) != 0) platform::DrainDoorbell(ext->m_RingEventFd.Get());
    if (ring) ring->InputAwake((p[1].revents & POLLIN) != 0);
}

// The kernel consumer of the input ring. Blocks naming no live adapter are dropped.
TwPacket* ReadSharedMemory(TwFilterExtension* ext) {
    const std::shared_ptr<TwSharedRing> ring = ext->Ring();
    if (!ring || ext->m_bStopShare.load()) {
        DbgTrace(kDbgRing, "IRQL=%d, I/O shared memory is not initialized\n", 0);
        return nullptr;
    }
    RingRecord rec;
    const std::uint8_t* data = nullptr;
    for (;;) {
        TwSharedRing::Peek peek = ring->PeekInput(&rec, &data);
        if (peek != TwSharedRing::Peek::kBlock) {
            DbgTrace(kDbgRing, "IRQL=%d, input shared blocks are empty\n", 0);
            return nullptr;
        }
        if (!RingServesSession(ext)) {
            // Written by a holder of the ring that is not the session's user: never injected.
            DbgTrace(kDbgRing, "IRQL=%d, the ring is not the session's, block dropped\n", 0);
            ring->Counters().inputNotSession.fetch_add(1, std::memory_order_relaxed);
            ring->ConsumeInput();
            continue;
        }
        FILTER_ADAPTER adapter = nullptr;
        auto* entry = static_cast<AdapterEntry*>(adapter);
        if (Filter_IdToAdapter(rec.adapterId, &adapter) == 0) entry = static_cast<AdapterEntry*>(adapter);
        if (entry == nullptr || !entry->m_bValid.load()) {
            DbgTrace(kDbgRing, "IRQL=%d, packet buffer adapter error, func Filter_IdToAdapter ret fails\n",
                     0);
            ring->Counters().inputUnknownAdapter.fetch_add(1, std::memory_order_relaxed);
            ring->ConsumeInput();
            continue;
        }
        TwPacket* p = Filter_AllocatePacketp(entry, __FILE__, __LINE__);
        if (p == nullptr) {
            DbgTrace(kDbgRing, "IRQL=%d, allocate packet buffer fails\n", 0);
            return nullptr;  // the block stays for the next attempt
        }
        p->m_Direction = rec.direction;
        p->m_DataLength = rec.length;
        p->m_PacketFlags = rec.packetFlags;
        p->m_Reserved = rec.reserved;
        p->m_AppCode = rec.appCode;
        p->m_AppContext = rec.appContext;
        std::memcpy(p->m_AppArea, rec.appArea, sizeof(p->m_AppArea));
        std::memcpy(p->m_Data, data, rec.length);
        p->m_BytesHeld = rec.length;
        ring->ConsumeInput();
        return p;
    }
}

void HandleInjectedBlock(TwPacket* p) {
    switch (p->m_Direction) {
        case PACKET_DIRECTION_INCOMING:
        case PACKET_DIRECTION_OUTGOING: {
            // The frame goes up the adapter its block names, never to whichever adapter
            // happened to open last.
            AdapterEntry* adapter = p->m_Adapter;
            if (adapter == nullptr) {
                Filter_ReleasePacketp(p, __FILE__, __LINE__);
                return;
            }
            ParseHeaders(p);
            Filter_DumpPacket(">> Injected Packet", p);
            if (p->m_DataLength >= 12) {
                std::memcpy(p->m_Data, adapter->m_CurrentAddress, 6);
                std::memcpy(p->m_Data + 6, kFarSideMac, 6);
            }
            // Indicated up on this thread: the frame goes to the adapter without waiting for an
            // injected-packet thread to wake (Filter_IndicatePacketFromAdapter's path otherwise).
            p->m_Adapter = adapter;
            p->m_Direction = PACKET_DIRECTION_INCOMING;
            p->m_InjectKind = 0;
            p->m_InjectFilter = nullptr;
            Filter_InvokeFilters(FILTER_TYPE_INCOMING_PACKET, p);
            return;
        }
        case PACKET_DIRECTION_LOOPBACK:
            NdisFilter_WriteShareMemory(p, true);
            Filter_ReleasePacketp(p, __FILE__, __LINE__);
            return;
        default: Filter_ReleasePacketp(p, __FILE__, __LINE__); return;
    }
}

thread_local bool t_ringThread = false;

void ShareMemoryThread(TwFilterExtension* ext) {
    EnterThread(ext);
    t_ringThread = true;
    platform::BusyPoll spin;
    bool dry = false;
    while (!ext->m_bStopShare.load()) {
        TwPacket* p = ReadSharedMemory(ext);
        if (p == nullptr) {
            // The frames this pass held back to merge go out before the thread spins or waits.
            FlushVirtualAdapterWrites();
            // Only the ring in use is looked at; a new ring or a stop comes with the ring event,
            // which the sleep below sees.
            const std::shared_ptr<TwSharedRing> ring = dry ? nullptr : ext->Ring();
            dry = true;
            if (ring && spin.Spin([&] { return ring->InputWaiting() || ext->m_bStopShare.load(); })) {
                dry = false;  // the spin noted the arrival
                continue;
            }
            WaitRingEvent(ext);
            continue;
        }
        if (dry) spin.Arrived();
        dry = false;
        HandleInjectedBlock(p);
    }
    LeaveThread(ext);
}

TwPacket* TakeHead(TwInjectQueue& q) {
    TwPacket* p = q.m_Head;
    if (p != nullptr) {
        q.m_Head = p->m_QueueNext;
        if (q.m_Head == nullptr) q.m_Tail = nullptr;
        p->m_QueueNext = nullptr;
    }
    return p;
}

void InjectedPacketThread(TwFilterExtension* ext, int i) {
    EnterThread(ext);
    TwInjectQueue& q = ext->m_Inject[i];
    while (!ext->m_bStopShare.load()) {
        {
            std::unique_lock<std::mutex> lock(q.m_Lock);
            // The stop signals every queue, so an idle queue sleeps without a time-out.
            q.m_Event.wait(lock, [&] { return q.m_Signalled || ext->m_bStopShare.load(); });
        }
        for (;;) {
            TwPacket* p;
            {
                std::lock_guard<std::mutex> lock(q.m_Lock);
                p = TakeHead(q);
                if (p == nullptr) {
                    q.m_Signalled = false;
                    break;
                }
            }
            ext->m_InjectedCount.fetch_sub(1);
            ParseHeaders(p);
            p->m_Direction = PACKET_DIRECTION_INCOMING;
            Filter_InvokeFilters(FILTER_TYPE_INCOMING_PACKET, p);
        }
    }
    LeaveThread(ext);
}

void ReleaseQueued(TwFilterExtension* ext, TwInjectQueue& q) {
    std::lock_guard<std::mutex> lock(q.m_Lock);
    while (TwPacket* p = TakeHead(q)) {
        ext->m_InjectedCount.fetch_sub(1);
        Filter_ReleasePacketp(p, __FILE__, __LINE__);
    }
}

}  // namespace

bool NdisFilter_OnRingThread() { return t_ringThread; }

TwFilterExtension* FilterExtension() { return g_filter.load(std::memory_order_acquire); }

bool HookBound(TwFilterExtension* ext) { return ext != nullptr && (ext->m_NdisHookAPI.m_Flags & 1) != 0; }

bool NdisFilterInitialize(RingLayout layout) {
    DbgPrint("Enter NdisFilterInitialize\n");
    if (FilterExtension() != nullptr) return false;
    auto* ext = new TwFilterExtension();
    ext->m_StartTimeMs = platform::GetTickCount64();
    ext->m_Layout = layout;
    ext->m_NdisHookAPI.m_Size = sizeof(NdisHookApi);
    ext->m_NdisHookAPI.m_MajorVersion = 1;
    ext->m_NdisHookAPI.m_MinorVersion = 0;
    ext->m_NdisHookAPI.Filter_AdapterOpened = NdisFilter_AdapterOpened;
    ext->m_NdisHookAPI.Filter_AdapterStatusChanged = NdisFilter_AdapterStatusChanged;
    ext->m_NdisHookAPI.Filter_AdapterClosed = NdisFilter_AdapterClosed;
    ext->m_NdisHookAPI.Filter_FilterReceivedPacket = NdisFilter_FilterReceivedPacket;
    ext->m_NdisHookAPI.Filter_FilterSendPacket = NdisFilter_FilterSendPacket;
    DbgTrace(kDbgInit, "NDIS Hook APi Initialized\n");
    ext->m_RingEventFd.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    ext->m_CurrentRing = TwSharedRing::Create(layout);
    if (!ext->m_CurrentRing) {
        DbgPrint("ExAllocatePoolWithTag fails\n");
    } else {
        DbgTrace(kDbgInit, "Mapped Memory Initialized\n");
    }
    g_filter.store(ext, std::memory_order_release);
    if (ext->m_CurrentRing) {
        ext->m_ShareMemoryThread = std::thread(ShareMemoryThread, ext);
        DbgTrace(kDbgInit, "PsCreateSystemThread(ShareMemoryThread) success\n");
        DbgTrace(kDbgInit, "Shared Memory Initialized\n");
    }
    for (int i = 0; i < 2; ++i) {
        ext->m_Inject[i].m_Thread = std::thread(InjectedPacketThread, ext, i);
        DbgTrace(kDbgInit, "PsCreateSystemThread(InjectedPacketThread) success\n");
    }
    DbgTrace(kDbgInit, "Injected packet list Initialized\n");
    DbgTrace(kDbgInit, "IOCTL handler list Initialized\n");
    DbgTrace(kDbgInit, "Leave NdisFilterInitialize\n");
    return true;
}

void NdisFilterDeInitialize() {
    TwFilterExtension* ext = FilterExtension();
    if (ext == nullptr) return;
    // Terminate share: every thread of the filter half watches m_bStopShare.
    ext->m_bStopShare.store(true);
    SetRingEvent(ext);
    for (auto& q : ext->m_Inject) {
        {
            std::lock_guard<std::mutex> lock(q.m_Lock);
            q.m_Signalled = true;
        }
        q.m_Event.notify_all();
    }
    if (ext->m_ShareMemoryThread.joinable()) ext->m_ShareMemoryThread.join();
    for (auto& q : ext->m_Inject) {
        if (q.m_Thread.joinable()) q.m_Thread.join();
    }
    {
        std::lock_guard<std::recursive_mutex> lock(ext->m_AdapterListLock);
        ext->m_EventHandlerList.clear();
    }
    for (auto& q : ext->m_Inject) ReleaseQueued(ext, q);
    {
        std::lock_guard<std::mutex> lock(ext->m_CloseEventLock);
        ext->m_pAdapterCloseEvents.clear();
    }
    g_filter.store(nullptr, std::memory_order_release);
    delete ext;
}

void NdisFilterBindHookInterface(NdisHookApi* table) {
    TwFilterExtension* ext = FilterExtension();
    if (ext == nullptr || table == nullptr) return;
    {
        std::unique_lock<std::shared_mutex> lock(ext->m_HookAPILock);
        table->Filter_AdapterOpened = ext->m_NdisHookAPI.Filter_AdapterOpened;
        table->Filter_AdapterStatusChanged = ext->m_NdisHookAPI.Filter_AdapterStatusChanged;
        table->Filter_AdapterClosed = ext->m_NdisHookAPI.Filter_AdapterClosed;
        table->Filter_FilterReceivedPacket = ext->m_NdisHookAPI.Filter_FilterReceivedPacket;
        table->Filter_FilterSendPacket = ext->m_NdisHookAPI.Filter_FilterSendPacket;
        NdisHookApi& mine = ext->m_NdisHookAPI;
        mine.Hook_GetOsVersion = table->Hook_GetOsVersion;
        mine.Hook_HandleIoControl = table->Hook_HandleIoControl;
        mine.Hook_AllocatePacket = table->Hook_AllocatePacket;
        mine.Hook_FreePacket = table->Hook_FreePacket;
        mine.Hook_InjectPacketToAdapter = table->Hook_InjectPacketToAdapter;
        mine.Hook_InjectPacketToProtocol = table->Hook_InjectPacketToProtocol;
        mine.Hook_AllocateRequest = table->Hook_AllocateRequest;
        mine.Hook_MakeNdisRequest = table->Hook_MakeNdisRequest;
        mine.Hook_FreeRequest = table->Hook_FreeRequest;
        mine.Hook_SetAdapterStatus = table->Hook_SetAdapterStatus;
        mine.Hook_GetAdapterStatus = table->Hook_GetAdapterStatus;
        mine.Hook_GetTcpIpBoundAdapters = table->Hook_GetTcpIpBoundAdapters;
        mine.Hook_MmMapLockedPages = table->Hook_MmMapLockedPages;
        mine.Hook_MmUnmapLockedPages = table->Hook_MmUnmapLockedPages;
        mine.QelMiniTryStartProtocol = table->QelMiniTryStartProtocol;
        table->m_Flags |= 1;
        mine.m_Flags |= 1;
    }
    NdisFilter_EnumOpenedAdapter();
}

void NdisFilterUnBindHookInterface(NdisHookApi* table) {
    TwFilterExtension* ext = FilterExtension();
    if (ext == nullptr || table == nullptr) return;
    std::unique_lock<std::shared_mutex> lock(ext->m_HookAPILock);
    table->m_Flags &= ~1u;
    table->Filter_AdapterOpened = nullptr;
    table->Filter_AdapterStatusChanged = nullptr;
    table->Filter_AdapterClosed = nullptr;
    table->Filter_FilterReceivedPacket = nullptr;
    table->Filter_FilterSendPacket = nullptr;
    NdisHookApi& mine = ext->m_NdisHookAPI;
    mine.m_Flags &= ~1u;
    mine.Hook_GetOsVersion = nullptr;
    mine.Hook_HandleIoControl = nullptr;
    mine.Hook_AllocatePacket = nullptr;
    mine.Hook_FreePacket = nullptr;
    mine.Hook_InjectPacketToAdapter = nullptr;
    mine.Hook_InjectPacketToProtocol = nullptr;
    mine.Hook_AllocateRequest = nullptr;
    mine.Hook_MakeNdisRequest = nullptr;
    mine.Hook_FreeRequest = nullptr;
    mine.Hook_SetAdapterStatus = nullptr;
    mine.Hook_GetAdapterStatus = nullptr;
    mine.Hook_GetTcpIpBoundAdapters = nullptr;
    mine.Hook_MmMapLockedPages = nullptr;
    mine.Hook_MmUnmapLockedPages = nullptr;
    mine.QelMiniTryStartProtocol = nullptr;
}

void NdisFilter_AdapterOpened(AdapterEntry* adapter) {
    TwFilterExtension* ext = FilterExtension();
    if (ext == nullptr || adapter == nullptr) return;
    DbgTrace(kDbgAdapterEvents, "NdisFilter_AdapterOpened, hAdapter 0x%p\n", static_cast<void*>(adapter));
    ext->m_MostRecentlyOpened.store(adapter);
    adapter->m_Tag = kAdapterTag;
    RefreshAdapterList(ext);
    std::lock_guard<std::recursive_mutex> lock(ext->m_AdapterListLock);
    CallHandlers(ext, FILTER_ADAPTER_OPENED, adapter);
}

void NdisFilter_AdapterStatusChanged(AdapterEntry* adapter, NDIS_STATUS status) {
    TwFilterExtension* ext = FilterExtension();
    if (ext == nullptr) return;
    std::uint32_t event;
    if (status == NDIS_STATUS_MEDIA_CONNECT) {
        event = FILTER_ADAPTER_CONNECTED;
    } else if (status == NDIS_STATUS_MEDIA_DISCONNECT) {
        event = FILTER_ADAPTER_DISCONNECTED;
    } else {
        DbgTrace(kDbgAdapterEvents, "Unknown adapter status 0x%x\n", status);
        return;
    }
    std::lock_guard<std::recursive_mutex> lock(ext->m_AdapterListLock);
    CallHandlers(ext, event, adapter);
}

void NdisFilter_AdapterClosed(AdapterEntry* adapter) {
    TwFilterExtension* ext = FilterExtension();
    if (ext == nullptr || adapter == nullptr) return;
    DbgTrace(kDbgAdapterEvents, "NdisFilter_AdapterClosed, hAdapter 0x%p\n", static_cast<void*>(adapter));
    for (void*& slot : adapter->m_pContext) slot = nullptr;
    AdapterEntry* expected = adapter;
    ext->m_MostRecentlyOpened.compare_exchange_strong(expected, nullptr);
    RefreshAdapterList(ext);
    qel_AdapterEventHandler(ext, adapter);
    ReleaseAdapterId(adapter);
}

void NdisFilter_EnumOpenedAdapter() {
    TwFilterExtension* ext = FilterExtension();
    if (ext == nullptr) return;
    RefreshAdapterList(ext);
    std::lock_guard<std::recursive_mutex> lock(ext->m_AdapterListLock);
    for (std::uint32_t i = 0; i < ext->m_AdapterList.count && i < TW_MAX_BOUND_ADAPTERS; ++i) {
        auto* entry = reinterpret_cast<AdapterEntry*>(ext->m_AdapterList.entries[i].hAdapter);
        if (entry == nullptr) continue;
        entry->m_Tag = kAdapterTag;
        CallHandlers(ext, FILTER_ADAPTER_OPENED, entry);
    }
}

void NdisFilter_FilterReceivedPacket(TwPacket* packet) {
    if (packet == nullptr) return;
    ParseHeaders(packet);
    packet->m_Direction = PACKET_DIRECTION_INCOMING;
    Filter_DumpPacket("/\\ Incoming Packet", packet);
    Filter_InvokeFilters(FILTER_TYPE_INCOMING_PACKET, packet);
}

void NdisFilter_FilterSendPacket(TwPacket* packet) {
    if (packet == nullptr) return;
    ParseHeaders(packet);
    packet->m_Direction = PACKET_DIRECTION_OUTGOING;
    Filter_DumpPacket("\\/ Outgoing Packet", packet);
    Filter_InvokeFilters(FILTER_TYPE_OUTGOING_PACKET, packet);
}

void QueueInjectedPacket(TwFilterExtension* ext, TwPacket* packet) {
    int i = 0;
    if (packet->m_Ip != nullptr) {
        std::uint32_t src, dst;
        std::memcpy(&src, packet->m_Ip + 12, 4);
        std::memcpy(&dst, packet->m_Ip + 16, 4);
        i = static_cast<int>((static_cast<std::uint64_t>(src) + dst) % 2);
    }
    TwInjectQueue& q = ext->m_Inject[i];
    {
        std::lock_guard<std::mutex> lock(q.m_Lock);
        packet->m_QueueNext = nullptr;
        if (q.m_Tail != nullptr) {
            q.m_Tail->m_QueueNext = packet;
        } else {
            q.m_Head = packet;
        }
        q.m_Tail = packet;
        ext->m_InjectedCount.fetch_add(1);
        q.m_Signalled = true;
    }
    q.m_Event.notify_one();
}

void SetRingEvent(TwFilterExtension* ext) { platform::RingDoorbell(ext->m_RingEventFd.Get()); }

void CountTestPacket(TwPacket* packet, int counter) {
    TwFilterExtension* ext = FilterExtension();
    if (ext == nullptr || packet == nullptr || counter < 1 || counter > 3 || !ext->m_TestEnabled.load())
        return;
    std::lock_guard<std::mutex> lock(ext->m_TestLock);
    TW_TEST_PROXY_DATA& t = ext->m_TestProxy;
    if (t.enabled == 0 || packet->m_DataLength < 14 + 20 + 8) return;
    const std::uint8_t* f = packet->m_Frame != nullptr ? packet->m_Frame : packet->m_Data;
    if (Be16(f + 12) != 0x0800 || f[14 + 9] != 17) return;
    const std::uint32_t ihl = (f[14] & 0x0F) * 4u;
    if (ihl < 20 || 14 + ihl + 8 > packet->m_DataLength) return;
    std::uint16_t portWord;
    std::uint32_t dst;
    std::memcpy(&portWord, f + 14 + ihl + 2, 2);
    std::memcpy(&dst, f + 14 + 16, 4);
    if (portWord != static_cast<std::uint16_t>(t.udpPort)) return;
    if (dst == t.resourceAddress) ++t.resourceCounters[counter - 1];
    if (dst == t.virtualAddress) ++t.virtualCounters[counter - 1];
}

}  // namespace olvane
