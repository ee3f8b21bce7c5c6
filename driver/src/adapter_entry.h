// Adapter entries (one per adapter the protocol side opened: the driver's own virtual adapters
// and the real adapters it lists) and the hook table that joins the miniport and filter halves.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "ndis_shim.h"
#include "olvane/filter_api.h"
#include "packet.h"
#include "platform/filter_device.h"

namespace olvane {

class TwVirtualAdapter;

constexpr std::uint32_t kAdapterTag = 0x41444150;  // "PADA" in memory
constexpr std::uint32_t kRequestTag = 0x4E524551;  // "QERN" in memory

#pragma pack(push, 1)
// {adapter handle, TW_IPCONFIG}: what SET_IPCONFIG hands to Filter_SetIPConfig.
struct TwIpConfigRecord {
    std::uint64_t hAdapter;
    TW_IPCONFIG config;
};
static_assert(sizeof(TwIpConfigRecord) == 228);

// One record of the bound-adapter list: {adapter handle, interface data}.
struct TwBoundAdapterRecord {
    std::uint64_t hAdapter;
    TW_INTERFACE_DATA data;
};
static_assert(sizeof(TwBoundAdapterRecord) == 286);

struct TwBoundAdapterList {
    std::uint32_t count;
    TwBoundAdapterRecord entries[TW_MAX_BOUND_ADAPTERS];
};
static_assert(sizeof(TwBoundAdapterList) == 9156);
#pragma pack(pop)

struct AdapterEntry {
    std::uint32_t m_Tag = 0;  // first word: the handle check reads it
    std::uint8_t m_CurrentAddress[6] = {};
    std::uint8_t m_PermanentAddress[6] = {};
    std::uint16_t m_usMTU = 1500;
    std::uint32_t m_Medium = NdisMedium802_3;
    std::atomic<std::uint32_t> m_MediaState{1};  // 0 connected, 1 disconnected
    std::uint8_t m_bSupportTaskOffload = 0;
    std::uint8_t m_bIsNdisWanIp = 0;
    std::uint8_t m_PPPSrcMacAddress[6] = {};
    std::uint8_t m_PPPDstMacAddress[6] = {};
    std::string m_AdapterName;  // instance (friendly) name
    std::string m_pDeviceName;  // "\DEVICE\..." as given at bind time
    std::string m_pRootDeviceName;
    std::string m_NetCfgInstanceId;
    std::string m_IfName;  // the Linux interface
    int m_IfIndex = 0;
    std::atomic<std::uint8_t> m_bDumpPacket{0};
    std::atomic<std::uint8_t> m_bCongestionControl{0};
    bool m_bFilterInitialized = false;
    void* m_pContext[3] = {};
    std::mutex m_IPConfigLock;
    TwIpConfigRecord m_IPConfig{};
    TwVirtualAdapter* m_pProto = nullptr;  // the virtual adapter this entry opened, else null
    // Set before the entry is announced and never changed: the entry opened one of our own
    // adapters (m_pProto is cleared at halt, this stays).
    bool m_bOwnAdapter = false;
    // Set under the id table's write lock when the adapter closed: it takes no id any more.
    bool m_bIdReleased = false;
    std::atomic<bool> m_bValid{false};
    bool m_bInitialized = false;
    bool m_bCurrentAddressCompleted = false;
    bool m_bPermanentAddressCompleted = false;
    bool m_bMaximumTransferUnitCompleted = false;
    std::atomic<std::uint32_t> m_GeneralStatus{0};  // written by the status work item, read by dumps
    std::uint32_t m_PowerState = 0;
    std::unique_ptr<TwPacketPool> m_PacketPool;
};

inline bool MacEqual(const std::uint8_t* a, const std::uint8_t* b) {
    for (int i = 0; i < 6; ++i) {
        if (a[i] != b[i]) return false;
    }
    return true;
}

// NDIS request record handed out by Hook_AllocateRequest.
struct TwNdisRequest {
    std::uint32_t m_Tag = kRequestTag;
    std::uint32_t m_RequestType = 0;  // 0 query, 1 set
    NDIS_OID m_Oid = 0;
    void* m_InformationBuffer = nullptr;
    std::uint32_t m_InformationBufferLength = 0;
    std::uint32_t m_BytesDone = 0;
    std::uint32_t m_BytesNeeded = 0;
    NDIS_STATUS m_Status = 0;
    AdapterEntry* m_Adapter = nullptr;
    void (*m_Completion)(TwNdisRequest*, NDIS_STATUS) = nullptr;
    std::uint64_t m_Argument = 0;
};

// The table joining the two halves: five filter-side entries filled by the filter half at bind,
// fifteen miniport-side entries filled by the miniport half.
struct NdisHookApi {
    std::uint32_t m_Size;
    std::uint32_t m_Flags;  // bit 0: interface bound
    std::uint16_t m_MajorVersion;
    std::uint16_t m_MinorVersion;
    // Filter side.
    void (*Filter_AdapterOpened)(AdapterEntry*);
    void (*Filter_AdapterStatusChanged)(AdapterEntry*, NDIS_STATUS);
    void (*Filter_AdapterClosed)(AdapterEntry*);
    void (*Filter_FilterReceivedPacket)(TwPacket*);
    void (*Filter_FilterSendPacket)(TwPacket*);
    // Miniport side.
    std::uint32_t (*Hook_GetOsVersion)(std::uint32_t*, std::uint32_t*, std::uint32_t*, std::uint32_t*);
    // The formatter wraps this declaration differently on every pass.
    // clang-format off
    DWORD (*Hook_HandleIoControl)(DWORD code, const std::uint8_t* in, DWORD inLen, std::uint8_t* out,
                                  DWORD outLen, DWORD* bytes);
    // clang-format on
    TwPacket* (*Hook_AllocatePacket)(AdapterEntry*, const char*, int);
    void (*Hook_FreePacket)(TwPacket*, const char*, int);
    NDIS_STATUS (*Hook_InjectPacketToAdapter)(AdapterEntry*, TwPacket*);
    NDIS_STATUS (*Hook_InjectPacketToProtocol)(AdapterEntry*, TwPacket*);
    TwNdisRequest* (*Hook_AllocateRequest)();
    NDIS_STATUS (*Hook_MakeNdisRequest)(AdapterEntry*, TwNdisRequest*, void (*)(TwNdisRequest*, NDIS_STATUS));
    void (*Hook_FreeRequest)(TwNdisRequest*);
    NDIS_STATUS (*Hook_SetAdapterStatus)(const std::uint8_t* mac, std::uint8_t state);
    NDIS_STATUS (*Hook_GetAdapterStatus)(const std::uint8_t* mac, std::uint8_t* connected);
    std::uint32_t (*Hook_GetTcpIpBoundAdapters)(TwBoundAdapterList*);
    DWORD (*Hook_MmMapLockedPages)(void*, std::uint64_t, void*);
    DWORD (*Hook_MmUnmapLockedPages)(void*, void*);
    void (*QelMiniTryStartProtocol)();
};
static_assert(sizeof(NdisHookApi) == 176);

}  // namespace olvane
