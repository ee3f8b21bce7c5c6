// Driver entry and unload, adapter initialisation from the settings store, halt, and the
// miniport-side entries of the hook table.
#include "miniport_global.h"

#include <algorithm>

#include <chrono>
#include <cstring>
#include <sys/utsname.h>
#include <thread>

#include "diagnostics.h"
#include "filter_core.h"
#include "platform/settings_store.h"
#include "trace.h"

namespace olvane {

namespace {

std::atomic<TwMiniportGlobal*> g_globals{nullptr};

TwPacket* Hook_AllocatePacket(AdapterEntry* entry, const char* file, int line) {
    TwMiniportGlobal* g = Globals();
    if (entry == nullptr || g == nullptr || !entry->m_PacketPool) return nullptr;
    if (g->m_bFreePacketPool.load()) {
        DbgPrint("pFilterGlobal->m_bFreePacketPool==true, IRQL=%d\n", 0);
        return nullptr;
    }
    TwPacket* p = entry->m_PacketPool->Allocate(entry, file, line);
    if (p != nullptr) Filter_DumpPacket("NN QelMiniAllocatePacket", p);
    return p;
}

void Hook_FreePacket(TwPacket* p, const char* file, int line) {
    if (p == nullptr || !p->m_InUse || p->m_Pool == nullptr) return;
    Filter_DumpPacket("XX QelMiniFreePacket", p);
    if (p->m_ReleaseCallback != nullptr) {
        try {
            p->m_ReleaseCallback(p, p->m_ReleaseContext);
        } catch (...) {
            DbgPrint("QelMiniFreePacket: free packet callback, exception, code = %d\n", -1);
        }
    }
    p->m_Pool->Free(p, file, line);
}

NDIS_STATUS Hook_InjectPacketToAdapter(AdapterEntry*, TwPacket* p) {
    Filter_ReleasePacketp(p, __FILE__, __LINE__);
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS Hook_InjectPacketToProtocol(AdapterEntry* entry, TwPacket* p) {
    if (p == nullptr) return STATUS_INVALID_PARAMETER;
    if (entry == nullptr || !entry->m_bValid.load()) {
        Filter_ReleasePacketp(p, __FILE__, __LINE__);
        return STATUS_INVALID_PARAMETER;
    }
    TwVirtualAdapter* va = entry->m_pProto;
    if (va == nullptr) {  // a real adapter: its frames are never touched
        Filter_ReleasePacketp(p, __FILE__, __LINE__);
        return NDIS_STATUS_SUCCESS;
    }
    return va->IndicateReceive(p);
}

std::uint32_t Hook_GetOsVersion(std::uint32_t* major, std::uint32_t* minor, std::uint32_t* build,
                                std::uint32_t* checked) {
    TwMiniportGlobal* g = Globals();
    if (g == nullptr) return 1;
    if (major != nullptr) *major = g->m_OsMajorVersion;
    if (minor != nullptr) *minor = g->m_OsMinorVersion;
    if (build != nullptr) *build = 0;
    if (checked != nullptr) *checked = 0;
    return 0;
}

TwNdisRequest* Hook_AllocateRequest() {
    TwMiniportGlobal* g = Globals();
    if (g == nullptr) return nullptr;
    try {
        std::lock_guard<std::mutex> lock(g->m_RequestLock);
        g->m_Requests.push_back(std::make_unique<TwNdisRequest>());
        return g->m_Requests.back().get();
    } catch (...) {
        return nullptr;  // out of memory: the exported caller reports it
    }
}

void Hook_FreeRequest(TwNdisRequest* r) {
    TwMiniportGlobal* g = Globals();
    if (g == nullptr || r == nullptr) return;
    std::lock_guard<std::mutex> lock(g->m_RequestLock);
    for (auto it = g->m_Requests.begin(); it != g->m_Requests.end(); ++it) {
        if (it->get() == r) {
            r->m_Tag = 0;
            g->m_Requests.erase(it);
            return;
        }
    }
}

// The request stays with its owner whatever the outcome: the owner frees it.
NDIS_STATUS Hook_MakeNdisRequest(AdapterEntry* entry, TwNdisRequest* r,
                                 void (*routine)(TwNdisRequest*, NDIS_STATUS)) {
    if (r == nullptr) return STATUS_INVALID_PARAMETER;
    if (entry == nullptr || !entry->m_bValid.load()) return STATUS_UNSUCCESSFUL;
    if (r->m_RequestType == 1 && r->m_Oid == OID_TCP_TASK_OFFLOAD) {
        DbgPrint(" !!! ignore SET OID_TCP_TASK_OFFLOAD NDIS REQUEST for adapter 0x%p\n",
                 static_cast<void*>(entry));
        return NDIS_STATUS_NOT_SUPPORTED;
    }
    r->m_Adapter = entry;
    r->m_Completion = routine;
    TwVirtualAdapter* va = entry->m_pProto;
    if (va == nullptr) return NDIS_STATUS_NOT_SUPPORTED;  // real adapters are never changed
    NDIS_STATUS st =
        r->m_RequestType == 1
            ? va->SetInformation(r->m_Oid, r->m_InformationBuffer, r->m_InformationBufferLength,
                                 &r->m_BytesDone, &r->m_BytesNeeded)
            : va->QueryInformation(r->m_Oid, r->m_InformationBuffer, r->m_InformationBufferLength,
                                   &r->m_BytesDone, &r->m_BytesNeeded);
    r->m_Status = st;
    return st;
}

AdapterEntry* FindBoundByMac(TwMiniportGlobal* g, const std::uint8_t* mac) {
    std::shared_lock<std::shared_mutex> lock(g->m_BoundLock);
    for (AdapterEntry* e : g->m_BoundAdapterList) {
        if (MacEqual(e->m_CurrentAddress, mac)) return e;
    }
    return nullptr;
}

NDIS_STATUS Hook_SetAdapterStatus(const std::uint8_t* mac, std::uint8_t state) {
    TwMiniportGlobal* g = Globals();
    if (g == nullptr || mac == nullptr) return NDIS_STATUS_ADAPTER_NOT_FOUND;
    char text[18];
    MacToText(mac, text);
    DbgTrace(kDbgFilterApi, " - MacAddress = %s\n", text);
    AdapterEntry* e = FindBoundByMac(g, mac);
    if (e == nullptr) return NDIS_STATUS_ADAPTER_NOT_FOUND;
    std::uint32_t media = state == 1 ? 0 : 1;
    e->m_MediaState.store(media);
    if (e->m_pProto != nullptr) {
        std::uint32_t read = 0, needed = 0;
        e->m_pProto->SetInformation(OID_GEN_MEDIA_CONNECT_STATUS, &media, 4, &read, &needed);
    }
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS Hook_GetAdapterStatus(const std::uint8_t* mac, std::uint8_t* connected) {
    TwMiniportGlobal* g = Globals();
    if (g == nullptr || mac == nullptr || connected == nullptr) return NDIS_STATUS_ADAPTER_NOT_FOUND;
    AdapterEntry* e = FindBoundByMac(g, mac);
    if (e == nullptr) return NDIS_STATUS_ADAPTER_NOT_FOUND;
    if (e->m_pProto != nullptr) {
        std::uint32_t media = 0, written = 0, needed = 0;
        if (e->m_pProto->QueryInformation(OID_GEN_MEDIA_CONNECT_STATUS, &media, 4, &written, &needed) ==
            NDIS_STATUS_SUCCESS) {
            e->m_MediaState.store(media);
        }
    }
    *connected = e->m_MediaState.load() == 0 ? 1 : 0;
    return NDIS_STATUS_SUCCESS;
}

std::uint32_t Hook_GetTcpIpBoundAdapters(TwBoundAdapterList* list) {
    TwMiniportGlobal* g = Globals();
    if (list == nullptr) return 0;
    DbgTrace(kDbgFilterApi, "--> QelMiniGetTcpIpBoundAdapters\n");
    list->count = 0;
    if (g != nullptr) {
        std::shared_lock<std::shared_mutex> lock(g->m_BoundLock);
        // Our own adapters first: with more links than the list holds, the one the client needs
        // is never the one left out.
        std::vector<AdapterEntry*> order;
        order.reserve(g->m_BoundAdapterList.size());
        for (AdapterEntry* e : g->m_BoundAdapterList) {
            if (e->m_bOwnAdapter) order.push_back(e);
        }
        for (AdapterEntry* e : g->m_BoundAdapterList) {
            if (!e->m_bOwnAdapter) order.push_back(e);
        }
        for (AdapterEntry* e : order) {
            if (list->count >= TW_MAX_BOUND_ADAPTERS) break;
            DbgTrace(kDbgFilterApi, "WalkThroughList Adapter List\n");
            TwBoundAdapterRecord& r = list->entries[list->count++];
            std::memset(&r, 0, sizeof(r));
            r.hAdapter = reinterpret_cast<std::uint64_t>(e);
            r.data.medium = e->m_Medium;
            r.data.mtu = e->m_usMTU;
            std::memcpy(r.data.permanentAddress, e->m_PermanentAddress, 6);
            std::memcpy(r.data.currentAddress, e->m_CurrentAddress, 6);
            const std::string& dev = e->m_pDeviceName;
            const std::string name = dev.size() > 8 ? dev.substr(8) : std::string();
            std::strncpy(r.data.name, name.c_str(), sizeof(r.data.name) - 1);
        }
    }
    DbgTrace(kDbgFilterApi, "<-- QelMiniGetTcpIpBoundAdapters\n");
    return 0;
}

DWORD Hook_MmMapLockedPages(void*, std::uint64_t, void*) { return STATUS_NOT_SUPPORTED; }
DWORD Hook_MmUnmapLockedPages(void* mdl, void* address) {
    return (mdl == nullptr || address == nullptr) ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
}

void QelMiniBindFilterInterface(TwMiniportGlobal* g) {
    DbgPrint("Enter QelMiniBindFilterInterface\n");
    NdisHookApi& t = g->m_NdisHookAPI;
    std::memset(&t, 0, sizeof(t));
    t.m_Size = sizeof(NdisHookApi);
    t.m_MajorVersion = 1;
    t.m_MinorVersion = 0;
    t.Hook_GetOsVersion = Hook_GetOsVersion;
    t.Hook_HandleIoControl = Hook_HandleIoControl;
    t.Hook_AllocatePacket = Hook_AllocatePacket;
    t.Hook_FreePacket = Hook_FreePacket;
    t.Hook_InjectPacketToAdapter = Hook_InjectPacketToAdapter;
    t.Hook_InjectPacketToProtocol = Hook_InjectPacketToProtocol;
    t.Hook_AllocateRequest = Hook_AllocateRequest;
    t.Hook_MakeNdisRequest = Hook_MakeNdisRequest;
    t.Hook_FreeRequest = Hook_FreeRequest;
    t.Hook_SetAdapterStatus = Hook_SetAdapterStatus;
    t.Hook_GetAdapterStatus = Hook_GetAdapterStatus;
    t.Hook_GetTcpIpBoundAdapters = Hook_GetTcpIpBoundAdapters;
    t.Hook_MmMapLockedPages = Hook_MmMapLockedPages;
    t.Hook_MmUnmapLockedPages = Hook_MmUnmapLockedPages;
    t.QelMiniTryStartProtocol = QelMiniTryStartProtocol;
    NdisFilterBindHookInterface(&t);
    DbgPrint("Leave QelMiniBindFilterInterface\n");
}

// The instances of our component in the network adapter class key, in key order.
std::vector<std::string> AdapterInstanceKeys(platform::SettingsStore& store) {
    std::vector<std::string> names, keys;
    store.EnumKeys(kAdapterClassKey, &names);
    for (const std::string& n : names) {
        const std::string key = std::string(kAdapterClassKey) + "\\" + n;
        std::string component;
        if (store.GetString(key, "ComponentId", &component) != platform::kRegOk) continue;
        for (char& c : component) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (component.find(kComponentId) != std::string::npos) keys.push_back(key);
    }
    return keys;
}

void MPInitialize(TwMiniportGlobal* g, platform::SettingsStore& store, const std::string& key, int instance) {
    VirtualAdapterConfig cfg;
    NDIS_STATUS st = ReadAdapterConfiguration(store, key, instance, &cfg);
    if (st != NDIS_STATUS_SUCCESS) {
        DbgPrint("MPInitialize: configuration of %s fails, status 0x%x\n", key.c_str(), st);
        return;
    }
    const std::string ifName = g->m_config.ifNamePrefix + std::to_string(instance);
    std::string error;
    std::unique_ptr<TwNicBackend> nic =
        g->m_config.nicFactory ? g->m_config.nicFactory(ifName, cfg.mac, cfg.maximumFrameSize, &error)
                               : OpenTapDevice(ifName, cfg.mac, cfg.maximumFrameSize, &error);
    if (!nic) {
        DbgPrint("MPInitialize: %s cannot be created: %s\n", ifName.c_str(), error.c_str());
        return;
    }
    auto va = std::make_unique<TwVirtualAdapter>(instance, cfg, std::move(nic));
    va->SetStatusIndication([](TwVirtualAdapter* a, NDIS_STATUS status) {
        TwMiniportGlobal* gg = Globals();
        if (gg == nullptr) return;
        gg->m_Work.Queue([a, status] {
            AdapterEntry* e = a->m_FilterAdapter.load();
            if (e == nullptr) return;
            e->m_GeneralStatus.store(status);
            NdisHookApi* hooks = MiniportHooks();
            if (hooks != nullptr && (hooks->m_Flags & 1) && hooks->Filter_AdapterStatusChanged != nullptr) {
                hooks->Filter_AdapterStatusChanged(e, status);
            }
            if (status == NDIS_STATUS_MEDIA_CONNECT) e->m_MediaState.store(0);
            if (status == NDIS_STATUS_MEDIA_DISCONNECT) e->m_MediaState.store(1);
        });
    });
    TwVirtualAdapter* raw = va.get();
    {
        std::lock_guard<std::mutex> lock(g->m_AdapterListLock);
        g->m_Adapters.push_back(std::move(va));
    }
    raw->StartSendPath([](TwVirtualAdapter* a) {
        if (TwMiniportGlobal* gg = Globals()) gg->m_Work.Queue([a] { MPHalt(a); });
    });
    // Every initialised adapter (re)arms the protocol start, so a late one is bound too.
    DbgPrint("Bind filter interface completed, start QelMini Protocol in 10 seconds\n");
    ArmProtocolTimer(g->m_config.timing.startDelayMs);
}

}  // namespace

TwMiniportGlobal* Globals() { return g_globals.load(std::memory_order_acquire); }

NdisHookApi* MiniportHooks() {
    TwMiniportGlobal* g = Globals();
    return g != nullptr ? &g->m_NdisHookAPI : nullptr;
}

std::size_t VirtualAdapterCount() {
    TwMiniportGlobal* g = Globals();
    if (g == nullptr) return 0;
    std::lock_guard<std::mutex> lock(g->m_AdapterListLock);
    return g->m_Adapters.size();
}

void FlushVirtualAdapterWrites() {
    TwMiniportGlobal* g = Globals();
    if (g == nullptr) return;
    std::lock_guard<std::mutex> lock(g->m_AdapterListLock);
    for (const auto& a : g->m_Adapters)
        if (TwNicBackend* nic = a->Nic()) nic->FlushWrites();
}

bool AdapterListed(const TwVirtualAdapter* adapter) {
    TwMiniportGlobal* g = Globals();
    if (g == nullptr) return false;
    std::lock_guard<std::mutex> lock(g->m_AdapterListLock);
    for (const auto& a : g->m_Adapters) {
        if (a.get() == adapter) return true;
    }
    return false;
}

bool DriverEntry(DriverConfig config) {
    if (Globals() != nullptr) return false;
    auto* g = new TwMiniportGlobal(std::move(config));
    g->m_RegistryPath = kServiceKey;
    SetDebugFlags(Filter_GetGlobalDebugFlag(kServiceKey, 0));
    if (!NdisFilterInitialize(g->m_config.ringLayout)) {
        delete g;
        return false;
    }
    utsname u{};
    if (::uname(&u) == 0) std::sscanf(u.release, "%u.%u", &g->m_OsMajorVersion, &g->m_OsMinorVersion);
    g_globals.store(g, std::memory_order_release);
    QelMiniBindFilterInterface(g);
    try {
        std::shared_ptr<platform::SettingsStore> store = platform::SettingsStore::Machine();
        for (const std::string& key : AdapterInstanceKeys(*store))
            MPInitialize(g, *store, key, g->m_NextInstance++);
    } catch (...) {
        DbgPrint("MPInitialize: the settings store cannot be read\n");
    }
    DbgPrint("NdisMRegisterUnloadHandler MPUnload\n");
    return true;
}

int RecreateVirtualAdapters() {
    TwMiniportGlobal* g = Globals();
    if (g == nullptr) return -1;
    std::lock_guard<std::mutex> serial(g->m_RecreateLock);
    std::vector<bool> live;
    {
        // Halted adapters leave the list (they stay allocated until unload: queued work may
        // still name them); their instances are free to be made again.
        std::lock_guard<std::mutex> lock(g->m_AdapterListLock);
        for (auto it = g->m_Adapters.begin(); it != g->m_Adapters.end();) {
            if ((*it)->Flags() & kFlagHalting) {
                g->m_RetiredAdapters.push_back(std::move(*it));
                it = g->m_Adapters.erase(it);
                continue;
            }
            const auto i = static_cast<std::size_t>((*it)->Instance());
            if (live.size() <= i) live.resize(i + 1, false);
            live[i] = true;
            ++it;
        }
    }
    int made = 0;
    try {
        std::shared_ptr<platform::SettingsStore> store = platform::SettingsStore::Machine();
        const std::vector<std::string> keys = AdapterInstanceKeys(*store);
        // Instance numbers follow the key order, as at driver entry; only instances that were
        // given out then are made again, under the same interface name and address.
        const std::size_t known = std::min(keys.size(), static_cast<std::size_t>(g->m_NextInstance));
        for (std::size_t i = 0; i < known; ++i) {
            if (i < live.size() && live[i]) continue;
            const std::size_t before = VirtualAdapterCount();
            MPInitialize(g, *store, keys[i], static_cast<int>(i));
            if (VirtualAdapterCount() > before) ++made;
        }
    } catch (...) {
        DbgPrint("MPInitialize: the settings store cannot be read\n");
        return -1;
    }
    DbgPrint("QelMini: %d virtual adapter(s) made again\n", made);
    return made;
}

void DriverUnload() {
    TwMiniportGlobal* g = Globals();
    if (g == nullptr) return;
    DbgPrint("---> MPUnload\n");
    g->m_Work.Stop();
    std::vector<TwVirtualAdapter*> adapters;
    {
        std::lock_guard<std::mutex> lock(g->m_AdapterListLock);
        for (auto& a : g->m_Adapters) adapters.push_back(a.get());
    }
    for (TwVirtualAdapter* a : adapters) MPHalt(a);
    {
        // Real adapters: unbind what is left.
        std::vector<AdapterEntry*> bound;
        {
            std::shared_lock<std::shared_mutex> lock(g->m_BoundLock);
            bound = g->m_BoundAdapterList;
        }
        for (AdapterEntry* e : bound) {
            {
                std::unique_lock<std::shared_mutex> lock(g->m_BoundLock);
                std::erase(g->m_BoundAdapterList, e);
            }
            e->m_bValid.store(false);
            if ((g->m_NdisHookAPI.m_Flags & 1) && g->m_NdisHookAPI.Filter_AdapterClosed) {
                g->m_NdisHookAPI.Filter_AdapterClosed(e);
            }
        }
    }
    DbgPrint("QelMiniUnBindFilterInterface ...\n");
    NdisFilterUnBindHookInterface(&g->m_NdisHookAPI);
    DbgPrint("QelMiniProtoStop ...\n");
    NdisFilterDeInitialize();
    g->m_bFreePacketPool.store(true);
    g_globals.store(nullptr, std::memory_order_release);
    {
        std::lock_guard<std::mutex> lock(g->m_AdapterListLock);
        g->m_Adapters.clear();  // closes every TAP device
        g->m_RetiredAdapters.clear();
    }
    delete g;
    DbgPrint("<--- MPUnload\n");
}

void MPHalt(TwVirtualAdapter* adapter) {
    TwMiniportGlobal* g = Globals();
    if (g == nullptr || adapter == nullptr) return;
    if (adapter->Flags() & kFlagHalting) return;
    adapter->SetFlag(kFlagHalting);
    adapter->StopSendPath();
    DbgPrint("MPHalt: m_PacketAllocateCount %u, m_PacketFreeCount %u\n", g->m_Packets.AllocateCount(),
             g->m_Packets.FreeCount());
    DbgPrint("Remove protocol to adapter binding\n");
    AdapterEntry* e = adapter->m_FilterAdapter.load();
    if (e != nullptr) {
        {
            std::unique_lock<std::shared_mutex> lock(g->m_BoundLock);
            std::erase(g->m_BoundAdapterList, e);
        }
        DbgPrint("NdisCloseAdapter(NdisBindingHandle=0x%p)\n", static_cast<void*>(e));
        e->m_bValid.store(false);
        adapter->m_FilterAdapter.store(nullptr);
        if ((g->m_NdisHookAPI.m_Flags & 1) && g->m_NdisHookAPI.Filter_AdapterClosed != nullptr) {
            try {
                g->m_NdisHookAPI.Filter_AdapterClosed(e);
            } catch (...) {
                DbgPrint("FLT_AdapterClosed: exception, code = %d\n", -1);
            }
        }
        // Outstanding packets of this adapter are waited for, with a bound.
        if (e->m_PacketPool) {
            e->m_PacketPool->Close();
            if (e->m_PacketPool->InUse() != 0) DbgPrint("Waiting for outstanding packets been freed\n");
            for (int i = 0; i < 200 && e->m_PacketPool->InUse() != 0; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        e->m_pProto = nullptr;
    }
    g->m_Packets.ForEach([](TwPacket* p) {
        if (p->m_AllocAdapter == nullptr || p->m_AllocAdapter->m_pProto == nullptr) return;
        DumpLeakedPacket(p);
    });
}

void DumpMiniportGlobal() {
    TwMiniportGlobal* g = Globals();
    if (g == nullptr) return;
    DbgPrint("====> Dump NdisHook Device Extension ====\n");
    DbgPrint("- BuildTime = %s %s\n", __DATE__, __TIME__);
    DbgPrint("- Type = NDIS_HOOK_GLOBAL\n");
    DbgPrint("- Size = %zu\n", sizeof(TwMiniportGlobal));
    DbgPrint("- Address = 0x%p\n", static_cast<void*>(g));
    DbgPrint("- m_OsMajorVersion = %u\n- m_OsMinorVersion = %u\n", g->m_OsMajorVersion, g->m_OsMinorVersion);
    {
        std::shared_lock<std::shared_mutex> lock(g->m_BoundLock);
        DbgPrint("- m_BoundAdapterList\n");
        for (AdapterEntry* e : g->m_BoundAdapterList) DumpAdapterEntry(e);
    }
    DbgPrint("- m_NumberOfPacketDescriptors = %u\n", g->m_NumberOfPacketDescriptors);
    DbgPrint("- m_NumberOfBufferDescriptors = %u\n", g->m_NumberOfBufferDescriptors);
    DbgPrint("- m_ProtocolReservedLength = %u\n", g->m_ProtocolReservedLength);
    DbgPrint("- m_PacketAllocateCount = %u\n", g->m_Packets.AllocateCount());
    DbgPrint("- m_PacketFreeCount = %u\n", g->m_Packets.FreeCount());
    DbgPrint("- m_PacketTraceList\n");
    g->m_Packets.ForEach([](TwPacket* p) { DumpLeakedPacket(p); });
    const NdisHookApi& t = g->m_NdisHookAPI;
    DbgPrint("- m_NdisHookAPI\n");
    DbgPrint("  - m_Size = %u\n  - m_Flags = 0x%x\n  - m_MajorVersion = %u\n  - m_MinorVersion = %u\n",
             t.m_Size, t.m_Flags, t.m_MajorVersion, t.m_MinorVersion);
    DbgPrint("  - Filter_AdapterOpened = %s\n", t.Filter_AdapterOpened ? "set" : "null");
    DbgPrint("  - Hook_HandleIoControl = %s\n", t.Hook_HandleIoControl ? "set" : "null");
}

}  // namespace olvane
