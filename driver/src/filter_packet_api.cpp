// The exported packet functions: allocation and release, lazy read, checksums, clone, and the
// routes a packet can take (down to an adapter, up to the protocols, into the injected-packet
// queues, out to the client through the ring). A function that takes a packet owns it from
// then on, also when it fails.
#include <cstring>

#include "diagnostics.h"
#include "filter_core.h"
#include "trace.h"

using namespace olvane;

namespace {

void Enter(const char* name) { DbgTrace(kDbgPacketApi, "Enter %s\n", name); }
FILTER_STATUS Leave(const char* name, FILTER_STATUS st) {
    if (st != FILTER_STATUS_SUCCESS) DbgTrace(kDbgPacketApi, "Error: %d - %s\n", st, Filter_StatusString(st));
    DbgTrace(kDbgPacketApi, "%s, %d - %s\n", name, st, Filter_StatusString(st));
    return st;
}

// RFC 1071 sum of little-endian words as they lie in memory.
std::uint32_t SumWords(const std::uint8_t* p, std::uint32_t len, std::uint32_t sum) {
    for (std::uint32_t i = 0; i + 1 < len; i += 2) sum += static_cast<std::uint32_t>(p[i] | (p[i + 1] << 8));
    if (len & 1) sum += p[len - 1];
    return sum;
}
std::uint16_t Fold(std::uint32_t sum) {
    sum = (sum & 0xFFFF) + (sum >> 16);
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

FILTER_STATUS QueueWith(AdapterEntry* adapter, TwPacket* packet, std::uint32_t direction, std::uint32_t kind,
                        void* filter, bool setAdapter) {
    if (packet == nullptr) return FILTER_ERROR_INVALID_ARGUMENT;
    TwFilterExtension* ext = FilterExtension();
    if ((setAdapter && adapter == nullptr) || ext == nullptr) {
        Filter_ReleasePacketp(packet, __FILE__, __LINE__);
        return FILTER_ERROR_INVALID_ARGUMENT;
    }
    if (setAdapter) packet->m_Adapter = adapter;
    packet->m_Direction = direction;
    packet->m_InjectKind = kind;
    packet->m_InjectFilter = filter;
    if (packet->m_Ip == nullptr) ParseHeaders(packet, packet->m_Frame);
    QueueInjectedPacket(ext, packet);
    return FILTER_STATUS_SUCCESS;
}

FILTER_STATUS HookInject(const char* name, const char* label, bool toAdapter, AdapterEntry* adapter,
                         TwPacket* packet) {
    Enter(name);
    if (packet == nullptr) return Leave(name, FILTER_ERROR_INVALID_ARGUMENT);
    if (adapter == nullptr) {
        Filter_ReleasePacketp(packet, __FILE__, __LINE__);
        return Leave(name, FILTER_ERROR_INVALID_ARGUMENT);
    }
    TwFilterExtension* ext = FilterExtension();
    auto hook = HookBound(ext) ? (toAdapter ? ext->m_NdisHookAPI.Hook_InjectPacketToAdapter
                                            : ext->m_NdisHookAPI.Hook_InjectPacketToProtocol)
                               : nullptr;
    if (hook == nullptr) {
        Filter_ReleasePacketp(packet, __FILE__, __LINE__);
        return Leave(name, FILTER_ERROR_INTERFACE_NOT_ACTIVE);
    }
    packet->m_Adapter = adapter;
    Filter_DumpPacket(label, packet);
    NDIS_STATUS st = hook(adapter, packet);
    return Leave(name,
                 (st & 0xC0000000u) == 0xC0000000u ? FILTER_ERROR_INTERNAL_ERROR : FILTER_STATUS_SUCCESS);
}

}  // namespace

extern "C" {

FILTER_PACKET* Filter_AllocatePacketp(FILTER_ADAPTER adapter, const char* file, int line) {
    TwFilterExtension* ext = FilterExtension();
    if (!HookBound(ext) || ext->m_NdisHookAPI.Hook_AllocatePacket == nullptr) return nullptr;
    return ext->m_NdisHookAPI.Hook_AllocatePacket(static_cast<AdapterEntry*>(adapter), file, line);
}

FILTER_STATUS Filter_ReleasePacketp(FILTER_PACKET* packet, const char* file, int line) {
    if (packet == nullptr) return FILTER_ERROR_INVALID_ARGUMENT;
    TwFilterExtension* ext = FilterExtension();
    if (HookBound(ext) && ext->m_NdisHookAPI.Hook_FreePacket != nullptr) {
        ext->m_NdisHookAPI.Hook_FreePacket(packet, file, line);
    } else if (packet->m_Pool != nullptr && packet->m_InUse) {
        packet->m_Pool->Free(packet, file, line);  // never leaked, even after unbind
    }
    return FILTER_STATUS_SUCCESS;
}

FILTER_STATUS Filter_TransferPacketData(FILTER_PACKET* packet) {
    Enter("Filter_TransferPacketData");
    if (packet == nullptr) return Leave("Filter_TransferPacketData", FILTER_ERROR_INVALID_ARGUMENT);
    if (packet->m_Original == nullptr) {
        DbgTrace(kDbgPacketApi, "Empty packet, no data to read\n");
        return Leave("Filter_TransferPacketData", FILTER_STATUS_SUCCESS);
    }
    if (packet->m_BytesHeld == packet->m_OriginalLength) {
        DbgTrace(kDbgPacketApi, "Full packet, no data to read\n");
        return Leave("Filter_TransferPacketData", FILTER_STATUS_SUCCESS);
    }
    DbgTrace(kDbgPacketApi, "Read packet data from outgoing packet\n");
    std::uint32_t n = packet->m_OriginalLength < kPacketDataSize
                          ? packet->m_OriginalLength
                          : static_cast<std::uint32_t>(kPacketDataSize);
    std::memcpy(packet->m_Data, packet->m_Original, n);
    DbgTrace(kDbgPacketApi, "Filter_TransferPacketData, lazy read %u, total %u\n", n - packet->m_BytesHeld,
             n);
    packet->m_BytesHeld = n;
    packet->m_DataLength = n;
    return Leave("Filter_TransferPacketData", FILTER_STATUS_SUCCESS);
}

FILTER_STATUS Filter_ModifyPacket(FILTER_PACKET* packet) {
    Enter("Filter_ModifyPacket");
    if (packet == nullptr) return Leave("Filter_ModifyPacket", FILTER_ERROR_INVALID_ARGUMENT);
    if (packet->m_Dirty) {
        DbgTrace(kDbgPacketApi, "Dirty packet, no data to read\n");
        return Leave("Filter_ModifyPacket", FILTER_STATUS_SUCCESS);
    }
    packet->m_Dirty = true;
    return Leave("Filter_ModifyPacket", Filter_TransferPacketData(packet));
}

void Filter_SetPacketReleaseCallback(FILTER_PACKET* packet, FILTER_PACKET_RELEASE_CALLBACK cb,
                                     void* context) {
    if (packet == nullptr) return;
    packet->m_ReleaseCallback = cb;
    packet->m_ReleaseContext = context;
}

void Filter_ClearPacketReleaseCallback(FILTER_PACKET* packet) {
    Filter_SetPacketReleaseCallback(packet, nullptr, nullptr);
}

FILTER_STATUS Filter_CalculatePacketCheckSum(uint8_t* ip, uint32_t protocol) {
    Enter("Filter_CalculatePacketCheckSum");
    if (ip == nullptr) return Leave("Filter_CalculatePacketCheckSum", FILTER_ERROR_INVALID_ARGUMENT);
    if (protocol != 0 && protocol != 1 && protocol != 6 && protocol != 17) {
        return Leave("Filter_CalculatePacketCheckSum", FILTER_ERROR_UNSUPPORTED_PROTOCOL);
    }
    const std::uint32_t ihl = (ip[0] & 0x0F) * 4u;
    if (protocol == 0) {
        ip[10] = ip[11] = 0;
        std::uint16_t c = Fold(SumWords(ip, ihl, 0));
        std::memcpy(ip + 10, &c, 2);
        return Leave("Filter_CalculatePacketCheckSum", FILTER_STATUS_SUCCESS);
    }
    const std::uint32_t total = Be16(ip + 2);
    if (total < ihl) return Leave("Filter_CalculatePacketCheckSum", FILTER_ERROR_INVALID_ARGUMENT);
    const std::uint32_t len = total - ihl;
    std::uint8_t* l4 = ip + ihl;
    const std::uint32_t at = protocol == 1 ? 2 : protocol == 6 ? 16 : 6;
    if (len < at + 2) return Leave("Filter_CalculatePacketCheckSum", FILTER_ERROR_INVALID_ARGUMENT);
    l4[at] = l4[at + 1] = 0;
    std::uint32_t sum = 0;
    if (protocol != 1) {
        sum = SumWords(ip + 12, 8, 0);
        const std::uint32_t pseudo = len + protocol;  // byte-swapped into network order
        sum += ((pseudo & 0xFF) << 8) | ((pseudo >> 8) & 0xFF);
    }
    std::uint16_t c = Fold(SumWords(l4, len, sum));
    std::memcpy(l4 + at, &c, 2);
    return Leave("Filter_CalculatePacketCheckSum", FILTER_STATUS_SUCCESS);
}

int Filter_VerifyPacketCheckSum(FILTER_PACKET* packet) {
    if (packet == nullptr || packet->m_Ip == nullptr) return 1;
    std::uint16_t stored;
    std::memcpy(&stored, packet->m_Ip + 10, 2);
    Filter_CalculatePacketCheckSum(packet->m_Ip, 0);
    std::uint16_t now;
    std::memcpy(&now, packet->m_Ip + 10, 2);
    if (now != stored) {
        DbgTrace(kDbgPacketApi, "Invalid IP checksum, pPacket=0x%p\n", static_cast<void*>(packet));
        return 0;
    }
    return 1;
}

FILTER_STATUS Filter_ClonePacket(FILTER_PACKET* packet, FILTER_PACKET** clone) {
    Enter("Filter_ClonePacket");
    if (packet == nullptr || clone == nullptr)
        return Leave("Filter_ClonePacket", FILTER_ERROR_INVALID_ARGUMENT);
    TwPacket* c = Filter_AllocatePacketp(packet->m_Adapter, __FILE__, __LINE__);
    if (c == nullptr) return Leave("Filter_ClonePacket", FILTER_ERROR_OUT_OF_MEMORY);
    c->m_Adapter = packet->m_Adapter;
    c->m_Direction = packet->m_Direction;
    c->m_DataLength = packet->m_DataLength;
    c->m_PacketFlags = packet->m_PacketFlags;
    c->m_Reserved = packet->m_Reserved;
    c->m_AppCode = packet->m_AppCode;
    c->m_AppContext = packet->m_AppContext;
    std::memcpy(c->m_AppArea, packet->m_AppArea, sizeof(c->m_AppArea));
    std::memcpy(c->m_Data, packet->m_Data, sizeof(c->m_Data));
    c->m_BytesHeld = packet->m_BytesHeld;
    c->m_Original = packet->m_Original;
    c->m_OriginalLength = packet->m_OriginalLength;
    if (c->m_Original != nullptr) Filter_TransferPacketData(c);
    c->m_Original = nullptr;
    c->m_OriginalLength = 0;
    c->m_Dirty = false;
    std::uint8_t* start = c->m_Data;
    if (packet->m_Frame != nullptr && packet->m_Frame != packet->m_Data)
        start = c->m_Data + (packet->m_Frame - packet->m_Data);
    ParseHeaders(c, start);
    *clone = c;
    return Leave("Filter_ClonePacket", FILTER_STATUS_SUCCESS);
}

FILTER_STATUS Filter_InjectPacketToAdapterEx(FILTER_ADAPTER adapter, FILTER_PACKET* packet) {
    return HookInject("Filter_InjectPacketToAdapterEx", "VV Inject To Adapter", true,
                      static_cast<AdapterEntry*>(adapter), packet);
}

FILTER_STATUS Filter_IndicatePacketToProtocolEx(FILTER_ADAPTER adapter, FILTER_PACKET* packet) {
    return HookInject("Filter_IndicatePacketToProtocolEx", "AA Indicate To Protocol", false,
                      static_cast<AdapterEntry*>(adapter), packet);
}

FILTER_STATUS Filter_InjectPacketToAdapter(FILTER_ADAPTER adapter, FILTER_PACKET* packet) {
    if (packet == nullptr) return FILTER_ERROR_INVALID_ARGUMENT;
    if (adapter == nullptr) {
        Filter_ReleasePacketp(packet, __FILE__, __LINE__);
        return FILTER_ERROR_INVALID_ARGUMENT;
    }
    packet->m_Adapter = static_cast<AdapterEntry*>(adapter);
    packet->m_Direction = PACKET_DIRECTION_OUTGOING;
    Filter_InvokeFilters(FILTER_TYPE_INJECT_TO_ADAPTER, packet);
    return FILTER_STATUS_SUCCESS;
}

FILTER_STATUS Filter_IndicatePacketToProtocol(FILTER_ADAPTER adapter, FILTER_PACKET* packet) {
    if (packet == nullptr) return FILTER_ERROR_INVALID_ARGUMENT;
    if (adapter == nullptr) {
        Filter_ReleasePacketp(packet, __FILE__, __LINE__);
        return FILTER_ERROR_INVALID_ARGUMENT;
    }
    packet->m_Adapter = static_cast<AdapterEntry*>(adapter);
    packet->m_Direction = PACKET_DIRECTION_INCOMING;
    Filter_InvokeFilters(FILTER_TYPE_INJECT_TO_PROTOCOL, packet);
    return FILTER_STATUS_SUCCESS;
}

FILTER_STATUS Filter_IndicatePacketFromAdapter(FILTER_ADAPTER adapter, FILTER_PACKET* packet) {
    return QueueWith(static_cast<AdapterEntry*>(adapter), packet, PACKET_DIRECTION_INCOMING, 0, nullptr,
                     true);
}

FILTER_STATUS Filter_InjectPacketFromProtocol(FILTER_ADAPTER adapter, FILTER_PACKET* packet) {
    return QueueWith(static_cast<AdapterEntry*>(adapter), packet, PACKET_DIRECTION_OUTGOING, 0, nullptr,
                     true);
}

FILTER_STATUS Filter_InjectPacketFromFilter(uint32_t method, void* filter, FILTER_PACKET* packet) {
    if (packet == nullptr) return FILTER_ERROR_INVALID_ARGUMENT;
    if (filter == nullptr) {
        Filter_ReleasePacketp(packet, __FILE__, __LINE__);
        return FILTER_ERROR_INVALID_ARGUMENT;
    }
    return QueueWith(packet->m_Adapter, packet, packet->m_Direction, method | 0x80000000u, filter, false);
}

FILTER_STATUS Filter_InjectPacketFromApplication(FILTER_ADAPTER adapter, FILTER_PACKET* packet,
                                                 uint32_t direction) {
    return QueueWith(static_cast<AdapterEntry*>(adapter), packet, direction, 1, nullptr, true);
}

FILTER_STATUS Filter_IndicatePacketToApplication(FILTER_PACKET* packet, uint32_t appCode,
                                                 uint64_t appContext) {
    Enter("Filter_IndicatePacketToApplication");
    if (packet == nullptr) return Leave("Filter_IndicatePacketToApplication", FILTER_ERROR_INVALID_ARGUMENT);
    packet->m_AppCode = appCode;
    packet->m_AppContext = appContext;
    Filter_DumpPacket("<< Indicate to Application", packet);
    NdisFilter_WriteShareMemory(packet, true);  // a full ring drops the frame
    return Leave("Filter_IndicatePacketToApplication", FILTER_STATUS_SUCCESS);
}

FILTER_STATUS Filter_IndicateSignalToApplication(FILTER_SIGNAL* signal) {
    if (signal == nullptr) return FILTER_ERROR_INVALID_ARGUMENT;
    signal->m_DataLength = 0;
    return NdisFilter_WriteSignalPacket(signal) ? FILTER_STATUS_SUCCESS : FILTER_ERROR_OUT_OF_MEMORY;
}

uint32_t Filter_GetInjectPacketCount(void) {
    TwFilterExtension* ext = FilterExtension();
    return ext != nullptr ? ext->m_InjectedCount.load() : 0;
}

FILTER_STATUS Filter_InvokeFilters(int32_t type, FILTER_PACKET* packet) {
    if (packet == nullptr) return FILTER_STATUS_SUCCESS;
    DbgTrace(kDbgPacketApi, "Filter_InvokeFilters: FILTER_RESULT_BYPASS, pPacket=0x%p\n",
             static_cast<void*>(packet));
    switch (type) {
        case FILTER_TYPE_INCOMING_PACKET:
        case FILTER_TYPE_INJECT_TO_PROTOCOL:
            return Filter_IndicatePacketToProtocolEx(packet->m_Adapter, packet);
        case FILTER_TYPE_OUTGOING_PACKET:
        case FILTER_TYPE_INJECT_TO_ADAPTER: return Filter_InjectPacketToAdapterEx(packet->m_Adapter, packet);
        default: Filter_ReleasePacketp(packet, __FILE__, __LINE__); return FILTER_ERROR_INVALID_FILTER_TYPE;
    }
}

FILTER_STATUS Filter_InvokeFiltersEx(void* /*a*/, void* /*b*/, FILTER_PACKET* packet) {
    if (packet != nullptr) Filter_ReleasePacketp(packet, __FILE__, __LINE__);
    return FILTER_STATUS_SUCCESS;
}

void Filter_SetPendingPacketLimit(uint32_t limit) {
    TwFilterExtension* ext = FilterExtension();
    if (ext != nullptr) ext->m_PendingPacketLimit.store(limit);
}

}  // extern "C"
