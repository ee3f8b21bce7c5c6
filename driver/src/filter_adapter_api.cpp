// The exported adapter functions: handle checks, addresses, media state, names, look-ups, NDIS
// requests, the TCP/IP-bound list, the stored IP configuration and per-adapter flags.
#include <cstdio>
#include <cstring>
#include <string>

#include "diagnostics.h"
#include "filter_core.h"
#include "trace.h"

using namespace olvane;

namespace {

void Enter(const char* name) { DbgTrace(kDbgFilterApi, "Enter %s\n", name); }
FILTER_STATUS Leave(const char* name, FILTER_STATUS st) {
    if (st != FILTER_STATUS_SUCCESS)
        DbgTrace(kDbgFilterApi, "  Error: %d - %s\n", st, Filter_StatusString(st));
    DbgTrace(kDbgFilterApi, "Leave %s, %d-%s\n", name, st, Filter_StatusString(st));
    return st;
}

// The common shape: null arguments, then the handle check.
FILTER_STATUS Check(FILTER_ADAPTER adapter, const void* out) {
    if (adapter == nullptr || out == nullptr) return FILTER_ERROR_INVALID_ARGUMENT;
    if (!Filter_IsValidAdapter(adapter)) return FILTER_ERROR_INVALID_ADAPTER_HANDLE;
    return FILTER_STATUS_SUCCESS;
}

AdapterEntry* Entry(FILTER_ADAPTER a) { return static_cast<AdapterEntry*>(a); }

FILTER_STATUS MapHookStatus(NDIS_STATUS st) {
    if (st == NDIS_STATUS_ADAPTER_NOT_FOUND) return FILTER_ERROR_ADAPTER_NOT_FOUND;
    if (st == NDIS_STATUS_RESOURCES) return FILTER_ERROR_OUT_OF_MEMORY;
    return FILTER_STATUS_SUCCESS;
}

TwNdisRequest* RequestBlock(FILTER_REQUEST h) { return static_cast<TwNdisRequest*>(h); }

void TraceIpConfig(const TwIpConfigRecord& r) {
    if (!DebugOn(kDbgFilterApi)) return;
    auto dotted = [](std::uint32_t a, char* out) {
        std::snprintf(out, 16, "%u.%u.%u.%u", a & 0xFF, (a >> 8) & 0xFF, (a >> 16) & 0xFF, a >> 24);
    };
    char a[16], b[16], c[16];
    DbgPrint("- hAdapter = 0x%llx\n", static_cast<unsigned long long>(r.hAdapter));
    DbgPrint("- m_nIP    = %u\n", r.config.m_nIP);
    for (std::uint32_t i = 0; i < r.config.m_nIP && i < TW_IPCONFIG_MAX; ++i) {
        dotted(r.config.m_IP[i].IpAddress, a);
        dotted(r.config.m_IP[i].Netmask, b);
        dotted(r.config.m_IP[i].Broadcast, c);
        DbgPrint("- IpAddress[%u] = %s\n", i, a);
        DbgPrint("- Netmask[%u]   = %s\n", i, b);
        DbgPrint("- Broadcast[%u] = %s\n", i, c);
    }
    DbgPrint("- m_nGW    = %u\n", r.config.m_nGW);
    for (std::uint32_t i = 0; i < r.config.m_nGW && i < TW_IPCONFIG_MAX; ++i) {
        dotted(r.config.RouterAddr[i], a);
        DbgPrint("- RouterAddr[%u] = %s\n", i, a);
    }
    DbgPrint("- m_nDHCP  = %u\n", r.config.m_nDHCP);
    for (std::uint32_t i = 0; i < r.config.m_nDHCP && i < TW_IPCONFIG_MAX; ++i) {
        dotted(r.config.DhcpServer[i], a);
        DbgPrint("- DhcpServer[%u] = %s\n", i, a);
    }
    DbgPrint("- m_nDNS   = %u\n", r.config.m_nDNS);
    for (std::uint32_t i = 0; i < r.config.m_nDNS && i < TW_IPCONFIG_MAX; ++i) {
        dotted(r.config.DnsServer[i], a);
        DbgPrint("- DnsServer[%u] = %s\n", i, a);
    }
    dotted(r.config.WinsServer1, a);
    dotted(r.config.WinsServer2, b);
    DbgPrint("- WinsServer1 = %s\n", a);
    DbgPrint("- WinsServer2 = %s\n", b);
}

template <class Fn>
FILTER_STATUS ByMac(const char* name, const uint8_t* mac, Fn fn) {
    Enter(name);
    if (mac == nullptr) return Leave(name, FILTER_ERROR_INVALID_ARGUMENT);
    FILTER_ADAPTER a = nullptr;
    FILTER_STATUS st = Filter_FindAdapterByMacAddress(mac, &a);
    if (st == FILTER_STATUS_SUCCESS) fn(Entry(a));
    return Leave(name, st);
}

}  // namespace

extern "C" {

int Filter_IsValidAdapter(FILTER_ADAPTER adapter) {
    std::uint32_t tag = 0xFFFFFFFFu;
    if (adapter != nullptr) {
        std::memcpy(&tag, adapter, 4);
        if (tag == kAdapterTag) return 1;
    }
    DbgPrint("Filter_IsValidAdapter: Invalid Handle 0x%p, bad tag 0x%x\n", adapter, tag);
    return 0;
}

FILTER_STATUS Filter_GetAdapterCurrentAddress(FILTER_ADAPTER adapter, uint8_t* out) {
    Enter("Filter_GetAdapterCurrentAddress");
    FILTER_STATUS st = Check(adapter, out);
    if (st == FILTER_STATUS_SUCCESS) std::memcpy(out, Entry(adapter)->m_CurrentAddress, 6);
    return Leave("Filter_GetAdapterCurrentAddress", st);
}

FILTER_STATUS Filter_GetAdapterPermentAddress(FILTER_ADAPTER adapter, uint8_t* out) {
    Enter("Filter_GetAdapterPermentAddress");
    FILTER_STATUS st = Check(adapter, out);
    if (st == FILTER_STATUS_SUCCESS) std::memcpy(out, Entry(adapter)->m_PermanentAddress, 6);
    return Leave("Filter_GetAdapterPermentAddress", st);
}

FILTER_STATUS Filter_GetAdapterMediaState(FILTER_ADAPTER adapter, uint32_t* out) {
    Enter("Filter_GetAdapterState");
    FILTER_STATUS st = Check(adapter, out);
    if (st == FILTER_STATUS_SUCCESS) *out = Entry(adapter)->m_MediaState.load();
    return Leave("Filter_GetAdapterMediaState", st);
}

FILTER_STATUS Filter_GetAdapterMediumType(FILTER_ADAPTER adapter, uint32_t* out) {
    Enter("Filter_GetAdapterMediumType");
    FILTER_STATUS st = Check(adapter, out);
    if (st == FILTER_STATUS_SUCCESS) *out = Entry(adapter)->m_Medium;
    return Leave("Filter_GetAdapterMediumType", st);
}

FILTER_STATUS Filter_GetAdapterName(FILTER_ADAPTER adapter, FILTER_UNICODE_STRING** out) {
    Enter("Filter_GetAdapterName");
    FILTER_STATUS st = Check(adapter, out);
    if (st == FILTER_STATUS_SUCCESS) {
        const std::string& name = Entry(adapter)->m_AdapterName;
        const std::size_t units = name.size() < 32000 ? name.size() : 32000;
        void* block = Filter_AllocateMemory(
            static_cast<uint32_t>(sizeof(FILTER_UNICODE_STRING) + units * 2 + 2), 0x6441664E);
        if (block == nullptr) {
            st = FILTER_ERROR_OUT_OF_MEMORY;
        } else {
            auto* u = static_cast<FILTER_UNICODE_STRING*>(block);
            u->Buffer = reinterpret_cast<uint16_t*>(u + 1);
            for (std::size_t i = 0; i < units; ++i) u->Buffer[i] = static_cast<unsigned char>(name[i]);
            u->Buffer[units] = 0;
            u->Length = static_cast<uint16_t>(units * 2);
            u->MaximumLength = static_cast<uint16_t>(units * 2 + 2);
            *out = u;
        }
    }
    return Leave("Filter_GetAdapterName", st);
}

FILTER_STATUS Filter_FindAdapterByMacAddress(const uint8_t* mac, FILTER_ADAPTER* adapter) {
    Enter("Filter_FindAdapterByMacAddress");
    TwFilterExtension* ext = FilterExtension();
    if (mac == nullptr || adapter == nullptr || ext == nullptr) {
        return Leave("Filter_FindAdapterByMacAddress", FILTER_ERROR_INVALID_ARGUMENT);
    }
    std::lock_guard<std::recursive_mutex> lock(ext->m_AdapterListLock);
    DbgTrace(kDbgFilterApi, "Filter_FindAdapterByMacAddress adapter count, %u\n", ext->m_AdapterList.count);
    for (std::uint32_t i = 0; i < ext->m_AdapterList.count && i < TW_MAX_BOUND_ADAPTERS; ++i) {
        if (MacEqual(ext->m_AdapterList.entries[i].data.currentAddress, mac)) {
            *adapter = reinterpret_cast<FILTER_ADAPTER>(ext->m_AdapterList.entries[i].hAdapter);
            return Leave("Filter_FindAdapterByMacAddress", FILTER_STATUS_SUCCESS);
        }
    }
    return Leave("Filter_FindAdapterByMacAddress", FILTER_ERROR_ADAPTER_NOT_FOUND);
}

FILTER_STATUS Filter_FindAdapterByNetCfgInstanceId(const char* id, FILTER_ADAPTER* adapter) {
    Enter("Filter_FindAdapterByNetCfgInstanceId");
    TwFilterExtension* ext = FilterExtension();
    if (id == nullptr || id[0] == '\0' || adapter == nullptr || ext == nullptr) {
        return Leave("Filter_FindAdapterByNetCfgInstanceId", FILTER_ERROR_INVALID_ARGUMENT);
    }
    const std::size_t len = std::strlen(id);
    std::lock_guard<std::recursive_mutex> lock(ext->m_AdapterListLock);
    for (std::uint32_t i = 0; i < ext->m_AdapterList.count && i < TW_MAX_BOUND_ADAPTERS; ++i) {
        auto* e = reinterpret_cast<AdapterEntry*>(ext->m_AdapterList.entries[i].hAdapter);
        if (e != nullptr && e->m_NetCfgInstanceId.compare(0, len, id) == 0 &&
            e->m_NetCfgInstanceId.size() >= len) {
            DbgTrace(kDbgFilterApi, "Find Filter_FindAdapterByNetCfgInstanceId\n");
            *adapter = e;
            return Leave("Filter_FindAdapterByNetCfgInstanceId", FILTER_STATUS_SUCCESS);
        }
    }
    return Leave("Filter_FindAdapterByNetCfgInstanceId", FILTER_ERROR_ADAPTER_NOT_FOUND);
}

FILTER_ADAPTER Filter_GetFirstAdapter(void) {
    TwFilterExtension* ext = FilterExtension();
    if (ext == nullptr) return nullptr;
    std::lock_guard<std::recursive_mutex> lock(ext->m_AdapterListLock);
    if (ext->m_AdapterList.count == 0) return nullptr;
    return reinterpret_cast<FILTER_ADAPTER>(ext->m_AdapterList.entries[0].hAdapter);
}

void Filter_EnumOpenedAdapter(void) { NdisFilter_EnumOpenedAdapter(); }

FILTER_STATUS Filter_AllocateNdisRequest(FILTER_REQUEST* request) {
    Enter("Filter_AllocateNdisRequest");
    if (request == nullptr) return Leave("Filter_AllocateNdisRequest", FILTER_ERROR_INVALID_ARGUMENT);
    TwFilterExtension* ext = FilterExtension();
    if (!HookBound(ext) || ext->m_NdisHookAPI.Hook_AllocateRequest == nullptr) {
        return Leave("Filter_AllocateNdisRequest", FILTER_ERROR_INTERFACE_NOT_ACTIVE);
    }
    TwNdisRequest* r = ext->m_NdisHookAPI.Hook_AllocateRequest();
    if (r == nullptr) return Leave("Filter_AllocateNdisRequest", FILTER_ERROR_OUT_OF_MEMORY);
    r->m_Tag = kRequestTag;
    *request = r;
    return Leave("Filter_AllocateNdisRequest", FILTER_STATUS_SUCCESS);
}

int Filter_IsValidNdisRequest(FILTER_REQUEST request) {
    if (request == nullptr) {
        DbgPrint("Filter_IsValidNdisRequest: Invalid Handle 0x%p, NULL pointer\n", request);
        return 0;
    }
    if (RequestBlock(request)->m_Tag != kRequestTag) {
        DbgPrint("Filter_IsValidNdisRequest: Invalid Handle 0x%p, bad tag 0x%x\n", request,
                 RequestBlock(request)->m_Tag);
        return 0;
    }
    return 1;
}

FILTER_STATUS Filter_MakeNdisRequest(FILTER_ADAPTER adapter, FILTER_REQUEST request, uint64_t argument) {
    Enter("Filter_MakeNdisRequest");
    FILTER_STATUS st = Check(adapter, request);
    if (st != FILTER_STATUS_SUCCESS) return Leave("Filter_MakeNdisRequest", st);
    if (!Filter_IsValidNdisRequest(request))
        return Leave("Filter_MakeNdisRequest", FILTER_ERROR_INVALID_NDIS_REQUEST);
    TwFilterExtension* ext = FilterExtension();
    if (!HookBound(ext) || ext->m_NdisHookAPI.Hook_MakeNdisRequest == nullptr) {
        return Leave("Filter_MakeNdisRequest", FILTER_ERROR_INTERFACE_NOT_ACTIVE);
    }
    RequestBlock(request)->m_Argument = argument;
    ext->m_NdisHookAPI.Hook_MakeNdisRequest(Entry(adapter), RequestBlock(request), nullptr);
    return Leave("Filter_MakeNdisRequest", FILTER_STATUS_SUCCESS);
}

FILTER_STATUS Filter_FreeNdisRequest(FILTER_REQUEST request) {
    Enter("Filter_FreeNdisRequest");
    if (request == nullptr) return Leave("Filter_FreeNdisRequest", FILTER_ERROR_INVALID_ARGUMENT);
    if (!Filter_IsValidNdisRequest(request))
        return Leave("Filter_FreeNdisRequest", FILTER_ERROR_INVALID_NDIS_REQUEST);
    TwFilterExtension* ext = FilterExtension();
    if (!HookBound(ext) || ext->m_NdisHookAPI.Hook_FreeRequest == nullptr) {
        return Leave("Filter_FreeNdisRequest", FILTER_ERROR_INTERFACE_NOT_ACTIVE);
    }
    ext->m_NdisHookAPI.Hook_FreeRequest(RequestBlock(request));
    return Leave("Filter_FreeNdisRequest", FILTER_STATUS_SUCCESS);
}

FILTER_STATUS Filter_GetTcpIpBoundAdapters(void* list) {
    Enter("Filter_GetTcpIpBoundAdapters");
    if (list == nullptr) return Leave("Filter_GetTcpIpBoundAdapters", FILTER_ERROR_INVALID_ARGUMENT);
    TwFilterExtension* ext = FilterExtension();
    if (!HookBound(ext) || ext->m_NdisHookAPI.Hook_GetTcpIpBoundAdapters == nullptr) {
        return Leave("Filter_GetTcpIpBoundAdapters", FILTER_ERROR_INTERFACE_NOT_ACTIVE);
    }
    ext->m_NdisHookAPI.Hook_GetTcpIpBoundAdapters(static_cast<TwBoundAdapterList*>(list));
    return Leave("Filter_GetTcpIpBoundAdapters", FILTER_STATUS_SUCCESS);
}

FILTER_STATUS Filter_SetIPConfig(void* record) {
    Enter("Filter_SetIPConfig");
    if (record == nullptr) return Leave("Filter_SetIPConfig", FILTER_ERROR_INVALID_ARGUMENT);
    TwIpConfigRecord r;
    std::memcpy(&r, record, sizeof(r));
    auto* adapter = reinterpret_cast<AdapterEntry*>(r.hAdapter);
    if (!Filter_IsValidAdapter(adapter))
        return Leave("Filter_SetIPConfig", FILTER_ERROR_INVALID_ADAPTER_HANDLE);
    // The record's counts index arrays of eight: a larger count is refused, not followed.
    if (r.config.m_nIP > TW_IPCONFIG_MAX || r.config.m_nGW > TW_IPCONFIG_MAX ||
        r.config.m_nDHCP > TW_IPCONFIG_MAX || r.config.m_nDNS > TW_IPCONFIG_MAX) {
        return Leave("Filter_SetIPConfig", FILTER_ERROR_INVALID_ARGUMENT);
    }
    for (std::uint32_t i = 0; i < r.config.m_nIP; ++i) {
        r.config.m_IP[i].Broadcast =
            SubnetBroadcastAddress(r.config.m_IP[i].IpAddress, r.config.m_IP[i].Netmask);
    }
    std::memcpy(record, &r, sizeof(r));
    {
        std::lock_guard<std::mutex> lock(adapter->m_IPConfigLock);
        if (std::memcmp(&adapter->m_IPConfig, &r, sizeof(r)) == 0) {
            DbgTrace(kDbgFilterApi, "No IP Address change, ignore\n");
            return Leave("Filter_SetIPConfig", FILTER_STATUS_SUCCESS);
        }
        adapter->m_IPConfig = r;
    }
    TraceIpConfig(r);
    TwFilterExtension* ext = FilterExtension();
    if (ext != nullptr) {
        std::lock_guard<std::recursive_mutex> lock(ext->m_AdapterListLock);
        for (const TwEventHandler& h : ext->m_EventHandlerList) {
            if (h.m_pfEventProc != nullptr) {
                h.m_pfEventProc(h.m_hFilterDriver, h.m_pDriverContext, FILTER_ADAPTER_IPCONFIG_CHANGED,
                                h.m_pEventContext, adapter);
            }
        }
    }
    return Leave("Filter_SetIPConfig", FILTER_STATUS_SUCCESS);
}

void* Filter_GetIPConfig(FILTER_ADAPTER adapter, void* out228) {
    if (!Filter_IsValidAdapter(adapter)) {
        DbgTrace(kDbgFilterApi, "Leave Filter_GetIPConfig, Invalid adapter\n");
        return nullptr;
    }
    AdapterEntry* e = Entry(adapter);
    {
        std::lock_guard<std::mutex> lock(e->m_IPConfigLock);
        if (out228 != nullptr) std::memcpy(out228, &e->m_IPConfig, sizeof(e->m_IPConfig));
    }
    DbgTrace(kDbgFilterApi, "Leave Filter_GetIPConfig, 0x%p\n", static_cast<void*>(&e->m_IPConfig));
    return &e->m_IPConfig;
}

FILTER_STATUS Filter_GetAdapterMediaStateByMac(const uint8_t* mac, uint8_t* state) {
    Enter("Filter_GetAdapterMediaStateByMac");
    if (mac == nullptr || state == nullptr)
        return Leave("Filter_GetAdapterMediaStateByMac", FILTER_ERROR_INVALID_ARGUMENT);
    TwFilterExtension* ext = FilterExtension();
    if (!HookBound(ext) || ext->m_NdisHookAPI.Hook_GetAdapterStatus == nullptr) {
        return Leave("Filter_GetAdapterMediaStateByMac", FILTER_ERROR_INTERFACE_NOT_ACTIVE);
    }
    return Leave("Filter_GetAdapterMediaStateByMac",
                 MapHookStatus(ext->m_NdisHookAPI.Hook_GetAdapterStatus(mac, state)));
}

FILTER_STATUS Filter_SetAdapterMediaStateByMac(const uint8_t* mac, uint8_t state) {
    Enter("Filter_SetAdapterMediaStateByMac");
    if (mac == nullptr) return Leave("Filter_SetAdapterMediaStateByMac", FILTER_ERROR_INVALID_ARGUMENT);
    TwFilterExtension* ext = FilterExtension();
    if (!HookBound(ext) || ext->m_NdisHookAPI.Hook_SetAdapterStatus == nullptr) {
        return Leave("Filter_SetAdapterMediaStateByMac", FILTER_ERROR_INTERFACE_NOT_ACTIVE);
    }
    return Leave("Filter_SetAdapterMediaStateByMac",
                 MapHookStatus(ext->m_NdisHookAPI.Hook_SetAdapterStatus(mac, state)));
}

FILTER_STATUS Filter_GetAdapterPacketDump(const uint8_t* mac, uint8_t* flag) {
    if (flag == nullptr) return FILTER_ERROR_INVALID_ARGUMENT;
    return ByMac("Filter_GetAdapterPacketDump", mac,
                 [flag](AdapterEntry* e) { *flag = e->m_bDumpPacket.load(); });
}

FILTER_STATUS Filter_SetAdapterPacketDump(const uint8_t* mac, uint8_t flag) {
    return ByMac("Filter_SetAdapterPacketDump", mac,
                 [flag](AdapterEntry* e) { e->m_bDumpPacket.store(flag); });
}

FILTER_STATUS Filter_GetAdapterMtu(FILTER_ADAPTER adapter, uint16_t* mtu) {
    Enter("Filter_GetAdapterMtu");
    if (adapter != nullptr && !Filter_IsValidAdapter(adapter)) {
        DbgTrace(kDbgFilterApi, "Leave Filter_GetAdapterMtu, Invalid adapter\n");
        return FILTER_ERROR_INVALID_ADAPTER_HANDLE;
    }
    if (adapter == nullptr || mtu == nullptr) {
        DbgTrace(kDbgFilterApi, "Leave Filter_GetAdapterMtu, Invalid argument\n");
        return FILTER_ERROR_INVALID_ARGUMENT;
    }
    *mtu = Entry(adapter)->m_usMTU;
    DbgTrace(kDbgFilterApi, "Leave Filter_GetAdapterMtu, %d\n", *mtu);
    return FILTER_STATUS_SUCCESS;
}

FILTER_STATUS Filter_IsNdisWanAdapter(FILTER_ADAPTER adapter, uint8_t* out) {
    Enter("Filter_IsNdisWanAdapter");
    FILTER_STATUS st = Check(adapter, out);
    if (st == FILTER_STATUS_SUCCESS) *out = Entry(adapter)->m_bIsNdisWanIp;
    return Leave("Filter_IsNdisWanAdapter", st);
}

static FILTER_STATUS GetPpp(const char* name, FILTER_ADAPTER adapter, uint8_t* out, bool src) {
    Enter(name);
    FILTER_STATUS st = Check(adapter, out);
    if (st == FILTER_STATUS_SUCCESS) {
        const std::uint8_t* mac =
            src ? Entry(adapter)->m_PPPSrcMacAddress : Entry(adapter)->m_PPPDstMacAddress;
        std::memcpy(out, mac, 6);
        static const std::uint8_t kZero[6] = {};
        if (MacEqual(mac, kZero)) st = FILTER_ERROR_ADAPTER_NOT_OPEN;
    }
    return Leave(name, st);
}

static FILTER_STATUS SetPpp(const char* name, FILTER_ADAPTER adapter, const uint8_t* mac, bool src) {
    Enter(name);
    FILTER_STATUS st = Check(adapter, mac);
    if (st == FILTER_STATUS_SUCCESS) {
        std::memcpy(src ? Entry(adapter)->m_PPPSrcMacAddress : Entry(adapter)->m_PPPDstMacAddress, mac, 6);
        DbgTrace(kDbgFilterApi, "Set %s = %2.2x-%2.2x-%2.2x-%2.2x-%2.2x-%2.2x\n",
                 src ? "PPPSrcMacAddress" : "PPPDstMacAddress", mac[0], mac[1], mac[2], mac[3], mac[4],
                 mac[5]);
    }
    return Leave(name, st);
}

FILTER_STATUS Filter_GetAdapterPPPSrcMacAddress(FILTER_ADAPTER adapter, uint8_t* mac) {
    return GetPpp("Filter_GetAdapterPPPSrcMacAddress", adapter, mac, true);
}
FILTER_STATUS Filter_GetAdapterPPPDstMacAddress(FILTER_ADAPTER adapter, uint8_t* mac) {
    return GetPpp("Filter_GetAdapterPPPDstMacAddress", adapter, mac, false);
}
FILTER_STATUS Filter_SetAdapterPPPSrcMacAddress(FILTER_ADAPTER adapter, const uint8_t* mac) {
    return SetPpp("Filter_SetAdapterPPPSrcMacAddress", adapter, mac, true);
}
FILTER_STATUS Filter_SetAdapterPPPDstMacAddress(FILTER_ADAPTER adapter, const uint8_t* mac) {
    return SetPpp("Filter_SetAdapterPPPDstMacAddress", adapter, mac, false);
}

FILTER_STATUS Filter_SetAdapterCongestionControl(FILTER_ADAPTER adapter, uint8_t flag) {
    Enter("Filter_SetAdapterCongestionControl");
    FILTER_STATUS st = Check(adapter, &flag);
    if (st == FILTER_STATUS_SUCCESS) Entry(adapter)->m_bCongestionControl.store(flag);
    return Leave("Filter_SetAdapterCongestionControl", st);
}

}  // extern "C"
