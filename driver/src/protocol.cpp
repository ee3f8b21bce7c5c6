// The protocol side: after its start delay it opens the driver's own virtual adapters (by their
// exported device names), one per attempt, and lists the real Ethernet adapters (their frames
// are never captured). Bind attempts run on the work queue, one at a time.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "diagnostics.h"
#include "filter_core.h"
#include "miniport_global.h"
#include "trace.h"

namespace olvane {

namespace {

bool SameNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

AdapterEntry* NewEntry(TwMiniportGlobal* g) {
    auto e = std::make_unique<AdapterEntry>();
    e->m_PacketPool = std::make_unique<TwPacketPool>(g->m_NumberOfPacketDescriptors, &g->m_Packets);
    AdapterEntry* raw = e.get();
    std::unique_lock<std::shared_mutex> lock(g->m_BoundLock);
    g->m_AllEntries.push_back(std::move(e));
    return raw;
}

void TellOpened(TwMiniportGlobal* g, AdapterEntry* e) {
    e->m_bIsNdisWanIp = std::memcmp(e->m_CurrentAddress + 3, "RAS", 3) == 0 ? 1 : 0;
    DbgTrace(kDbgInit, " - pAdapter = 0x%p\n", static_cast<void*>(e));
    if (DebugOn(kDbgInit)) DumpAdapterEntry(e);
    if ((g->m_NdisHookAPI.m_Flags & 1) && g->m_NdisHookAPI.Filter_AdapterOpened != nullptr) {
        try {
            g->m_NdisHookAPI.Filter_AdapterOpened(e);
        } catch (...) {
            DbgPrint("FLT_AdapterOpened: exception, code = %d\n", -1);
        }
    }
    e->m_bFilterInitialized = true;
    e->m_bValid.store(true);
    e->m_bInitialized = true;
}

// Opens one of our virtual adapters: the three queries, then the filter half is told.
void BindVirtual(TwMiniportGlobal* g, TwVirtualAdapter* va) {
    AdapterEntry* e = NewEntry(g);
    e->m_bOwnAdapter = true;  // before the bound list shows the entry to anyone
    e->m_pDeviceName = va->Config().exportName;
    e->m_pRootDeviceName = va->Config().exportName;
    e->m_AdapterName = va->Config().vendorDescription;
    e->m_NetCfgInstanceId = va->Config().netCfgInstanceId;
    e->m_IfName = va->Nic() != nullptr ? va->Nic()->IfName() : std::string();
    e->m_IfIndex = va->Nic() != nullptr ? va->Nic()->IfIndex() : 0;
    e->m_Medium = NdisMedium802_3;
    // The adapter starts disconnected. That is set before anyone can find the adapter: a client
    // that connects it as soon as it appears is not undone by the bind.
    std::uint32_t media = 1, read = 0, needed = 0;
    e->m_MediaState.store(media);
    va->SetInformation(OID_GEN_MEDIA_CONNECT_STATUS, &media, 4, &read, &needed);
    {
        std::unique_lock<std::shared_mutex> lock(g->m_BoundLock);
        g->m_BoundAdapterList.push_back(e);
    }
    std::uint32_t mtu = 0, written = 0;
    e->m_usMTU =
        va->QueryInformation(OID_GEN_MAXIMUM_FRAME_SIZE, &mtu, 4, &written, &needed) == NDIS_STATUS_SUCCESS
            ? static_cast<std::uint16_t>(mtu)
            : 1500;
    e->m_bMaximumTransferUnitCompleted = true;
    e->m_bPermanentAddressCompleted = va->QueryInformation(OID_802_3_PERMANENT_ADDRESS, e->m_PermanentAddress,
                                                           6, &written, &needed) == NDIS_STATUS_SUCCESS;
    e->m_bCurrentAddressCompleted = va->QueryInformation(OID_802_3_CURRENT_ADDRESS, e->m_CurrentAddress, 6,
                                                         &written, &needed) == NDIS_STATUS_SUCCESS;
    e->m_pProto = va;
    va->m_FilterAdapter.store(e);
    TellOpened(g, e);
    std::uint32_t filter = 0x0B;
    va->SetInformation(OID_GEN_CURRENT_PACKET_FILTER, &filter, 4, &read, &needed);
}

void BindReal(TwMiniportGlobal* g, const RealLink& link) {
    AdapterEntry* e = NewEntry(g);
    e->m_pDeviceName = "\\DEVICE\\" + link.name;
    e->m_pRootDeviceName = e->m_pDeviceName;
    e->m_AdapterName = link.name;
    e->m_IfName = link.name;
    e->m_IfIndex = link.ifIndex;
    e->m_usMTU = static_cast<std::uint16_t>(link.mtu > 0 && link.mtu <= 0xFFFF ? link.mtu : 1500);
    std::memcpy(e->m_CurrentAddress, link.mac, 6);
    std::memcpy(e->m_PermanentAddress, link.mac, 6);
    e->m_MediaState.store(link.carrier ? 0 : 1);
    e->m_bCurrentAddressCompleted = e->m_bPermanentAddressCompleted = e->m_bMaximumTransferUnitCompleted =
        true;
    {
        std::unique_lock<std::shared_mutex> lock(g->m_BoundLock);
        g->m_BoundAdapterList.push_back(e);
    }
    TellOpened(g, e);
}

void UnbindEntry(TwMiniportGlobal* g, AdapterEntry* e) {
    DbgPrint("QelMiniProtoUnbindAdapter, pAdapter=0x%p\n", static_cast<void*>(e));
    {
        std::unique_lock<std::shared_mutex> lock(g->m_BoundLock);
        std::erase(g->m_BoundAdapterList, e);
    }
    e->m_bValid.store(false);
    DbgPrint("QelMiniFreeAdapter 0x%p\n", static_cast<void*>(e));
    if ((g->m_NdisHookAPI.m_Flags & 1) && g->m_NdisHookAPI.Filter_AdapterClosed != nullptr) {
        try {
            g->m_NdisHookAPI.Filter_AdapterClosed(e);
        } catch (...) {
            DbgPrint("FLT_AdapterClosed: exception, code = %d\n", -1);
        }
    }
    if (e->m_PacketPool) e->m_PacketPool->Close();
}

void ProtocolTimerProc() {
    DbgPrint("QelMiniTryBindAdapter\n");
    const bool done = QelMiniProtoBindToAdapters();
    SyncRealAdapters();
    if (!done) {
        DbgPrint("Try QelMiniTryBindAdapter Later\n");
        if (TwMiniportGlobal* g = Globals()) ArmProtocolTimer(g->m_config.timing.retryDelayMs);
    }
}

}  // namespace

void ArmProtocolTimer(std::uint32_t ms) {
    TwMiniportGlobal* g = Globals();
    if (g == nullptr) return;
    std::lock_guard<std::mutex> lock(g->m_TimerLock);
    if (g->m_ProtocolStartTimer != 0) g->m_Work.Cancel(g->m_ProtocolStartTimer);
    g->m_ProtocolStartTimer = g->m_Work.Queue(ProtocolTimerProc, ms);
}

void QelMiniTryStartProtocol() {
    DbgPrint("Enter QelMiniTryStartProtocol\n");
    if (TwMiniportGlobal* g = Globals()) ArmProtocolTimer(g->m_config.timing.explicitStartMs);
}

bool QelMiniProtoBindToAdapters() {
    TwMiniportGlobal* g = Globals();
    if (g == nullptr) return true;
    if (!g->m_ProtocolRegistered) {
        g->m_ProtocolRegistered = true;
        DbgPrint("QelMiniProto registered\n");
    }
    std::vector<TwVirtualAdapter*> adapters;
    {
        std::lock_guard<std::mutex> lock(g->m_AdapterListLock);
        for (auto& a : g->m_Adapters) adapters.push_back(a.get());
    }
    for (TwVirtualAdapter* va : adapters) {
        if (va->Flags() & kFlagHalting) continue;
        bool bound = false;
        {
            std::shared_lock<std::shared_mutex> lock(g->m_BoundLock);
            for (AdapterEntry* e : g->m_BoundAdapterList)
                bound = bound || SameNoCase(e->m_pDeviceName, va->Config().exportName);
        }
        if (bound) continue;
        BindVirtual(g, va);
        return false;
    }
    return true;
}

void SyncRealAdapters() {
    TwMiniportGlobal* g = Globals();
    if (g == nullptr || !g->m_config.linkLister || !g->m_ProtocolRegistered) return;
    std::vector<RealLink> links = g->m_config.linkLister();
    std::vector<std::string> ours;
    {
        std::lock_guard<std::mutex> lock(g->m_AdapterListLock);
        for (auto& a : g->m_Adapters) {
            if (a->Nic() != nullptr) ours.push_back(a->Nic()->IfName());
        }
    }
    std::vector<AdapterEntry*> bound;
    {
        std::shared_lock<std::shared_mutex> lock(g->m_BoundLock);
        bound = g->m_BoundAdapterList;
    }
    for (AdapterEntry* e : bound) {
        if (e->m_pProto != nullptr) continue;
        const bool present = std::any_of(links.begin(), links.end(),
                                         [e](const RealLink& l) { return l.ifIndex == e->m_IfIndex; });
        if (!present) UnbindEntry(g, e);
    }
    for (const RealLink& l : links) {
        if (std::find(ours.begin(), ours.end(), l.name) != ours.end()) continue;
        const bool known = std::any_of(bound.begin(), bound.end(), [&l](AdapterEntry* e) {
            return e->m_pProto == nullptr && e->m_IfIndex == l.ifIndex;
        });
        if (!known) BindReal(g, l);
    }
}

}  // namespace olvane
