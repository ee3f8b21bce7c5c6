/* The driver's exported Filter_* interface: status codes, enumerations and the packet, adapter
 * and support functions that packet-filter modules (and the driver itself) call. Plain C types;
 * no function lets an exception out. Handles are opaque pointers that the driver hands out:
 * adapter handles carry the tag "PADA", NDIS request handles the tag "QERN".
 * Thread-safety: every function may be called from any thread while the driver runs. */
#pragma once
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t FILTER_STATUS;

#define FILTER_STATUS_SUCCESS 0
#define FILTER_ERROR_INVALID_ARGUMENT (-1)
#define FILTER_ERROR_INVALID_HANDLE (-2)
#define FILTER_ERROR_ADAPTER_NOT_OPEN (-3)
#define FILTER_ERROR_INTERNAL_ERROR (-4)
#define FILTER_ERROR_NO_FREE_ADAPTER_CONTEXT (-5)
#define FILTER_ERROR_INVALID_ADAPTER_CONTEXT (-6)
#define FILTER_ERROR_INVALID_ADAPTER_HANDLE (-7)
#define FILTER_ERROR_UNSUPPORTED_API_VERSION (-8)
#define FILTER_ERROR_DRIVER_ALREADY_REGISTERED (-9)
#define FILTER_ERROR_INVALID_DRIVER_HANDLE (-10)
#define FILTER_ERROR_BUFFER_TOO_SMALL (-11)
#define FILTER_ERROR_DRIVER_NOT_FOUND (-12)
#define FILTER_ERROR_EVENT_HANDLER_ALREADY_REGISTERED (-13)
#define FILTER_ERROR_EVENT_HANDLER_NOT_FOUND (-14)
#define FILTER_ERROR_INVALID_EVENT_HANDLER_OWNER (-15)
#define FILTER_ERROR_INVALID_CONTEXT_OWNER (-16)
#define FILTER_ERROR_INVALID_EVENT_HANDLER (-17)
#define FILTER_ERROR_ADAPTER_NOT_FOUND (-18)
#define FILTER_ERROR_INTERFACE_NOT_ACTIVE (-19)
#define FILTER_ERROR_OUT_OF_MEMORY (-20)
#define FILTER_ERROR_INVALID_NDIS_REQUEST (-21)
#define FILTER_ERROR_EXCEPTION (-22)
#define FILTER_ERROR_FILTER_ALREADY_REGISTERED (-23)
#define FILTER_ERROR_INVALID_PACKET_FILTER (-24)
#define FILTER_ERROR_FILTER_NOT_FOUND (-25)
#define FILTER_ERROR_INVALID_FILTER_OWNER (-26)
#define FILTER_ERROR_INTERFACE_ALREADY_REGISTERED (-27)
#define FILTER_ERROR_INTERFACE_NOT_FOUND (-28)
#define FILTER_ERROR_INVALID_FILTER_INTERFACE (-29)
#define FILTER_ERROR_INVALID_INTERFACE_REFERENCE_OWNER (-30)
#define FILTER_ERROR_INTERFACE_REFERENCE_NOT_FOUND (-31)
#define FILTER_ERROR_INVALID_INTERFACE_OWNER (-32)
#define FILTER_ERROR_INTERFACE_ARE_REFERENCED (-33)
#define FILTER_ERROR_INTERFACE_ARE_INVALID (-34)
#define FILTER_ERROR_INVALID_MEMORY_POINTER (-35)
#define FILTER_ERROR_INVALID_TIMER_HANDLE (-36)
#define FILTER_ERROR_INVALID_TIMER_HANDLER_OWNER (-37)
#define FILTER_ERROR_TIMER_HANDLER_NOT_FOUND (-38)
#define FILTER_ERROR_IOCTL_HANDLER_ALREADY_REGISTERED (-39)
#define FILTER_ERROR_INVALID_IOCTL_HANDLER (-40)
#define FILTER_ERROR_INVALID_IOCTL_HANDLER_OWNER (-41)
#define FILTER_ERROR_IOCTL_HANDLER_NOT_FOUND (-42)
#define FILTER_ERROR_UNSUPPORTED_PROTOCOL (-43)
#define FILTER_ERROR_INVALID_FILTER_TYPE (-44)
#define FILTER_ERROR_DRIVER_DIAG_IN_PROGRESS (-45)

/* Filter results, types, orders and methods. */
#define FILTER_RESULT_BYPASS 0
#define FILTER_RESULT_DISCARD 1
#define FILTER_RESULT_CONSUME 2
#define FILTER_RESULT_CAPTURE 3
#define FILTER_TYPE_INVALID (-1)
#define FILTER_TYPE_INCOMING_PACKET 0
#define FILTER_TYPE_OUTGOING_PACKET 1
#define FILTER_TYPE_INJECT_TO_ADAPTER 2
#define FILTER_TYPE_INJECT_TO_PROTOCOL 3
#define FILTER_ORDER_FIRST 0
#define FILTER_ORDER_LAST (-1)
#define FILTER_ORDER_NEXT (-2)
#define FILTER_METHOD_START_FROM_FIRST_FILTER 0
#define FILTER_METHOD_START_UNTIL_THIS_FILTER 1
#define FILTER_METHOD_STOP_AT_THIS_FILTER 2
#define FILTER_METHOD_START_FROM_THIS_FILTER 3
#define FILTER_METHOD_START_AFTER_THIS_FILTER 4

/* Adapter events passed to adapter event handlers. */
#define FILTER_ADAPTER_OPENED 0
#define FILTER_ADAPTER_CONNECTED 1
#define FILTER_ADAPTER_DISCONNECTED 2
#define FILTER_ADAPTER_CLOSED 3
#define FILTER_ADAPTER_IPCONFIG_CHANGED 4

typedef void* FILTER_ADAPTER;
typedef void* FILTER_REQUEST;
typedef struct TwPacket FILTER_PACKET;
typedef void (*FILTER_PACKET_RELEASE_CALLBACK)(FILTER_PACKET* packet, void* context);

/* A counted UTF-16 text as the kernel keeps names (lengths in bytes). */
typedef struct FILTER_UNICODE_STRING {
    uint16_t Length;
    uint16_t MaximumLength;
    uint16_t* Buffer;
} FILTER_UNICODE_STRING;

typedef struct FILTER_LOCK {
    volatile int32_t m_SpinLock;
    uint8_t m_OldIrql;
} FILTER_LOCK;

typedef struct FILTER_TIMER {
    uint32_t m_Tag; /* 0x54414738 */
    void* m_Timer;
    uint32_t m_MsToDelay;
} FILTER_TIMER;

typedef struct FILTER_DIAG {
    char* m_DriverName;
    int m_Argc;
    char** m_Argv;
    int m_BufferSize;
    int m_BufferUsed;
    int m_bInitialized;
    char m_Buffer[1];
} FILTER_DIAG;

/* Signal record written into the output ring without frame data (40 + 128 bytes). */
#pragma pack(push, 1)
typedef struct FILTER_SIGNAL {
    uint32_t m_AdapterId;
    uint32_t m_Zero;
    uint32_t m_Direction;
    uint32_t m_DataLength; /* set to 0 */
    uint32_t m_PacketFlags;
    uint32_t m_Reserved;
    uint32_t m_AppCode;
    uint64_t m_AppContext;
    uint8_t m_AppArea[128];
} FILTER_SIGNAL;
#pragma pack(pop)

/* ---- Support (names, time, memory, registry, locks, timers, diagnostics, ids) ---- */
const char* Filter_StatusString(FILTER_STATUS code);
const char* Filter_ResultString(int32_t value);
const char* Filter_TypeString(int32_t value);
const char* Filter_OrderString(int32_t value);
const char* Filter_MethodString(int32_t value);
uint64_t Filter_GetSystemTime(void);
uint64_t Filter_GetSystemTimeMs(void);
void* Filter_AllocateMemory(uint32_t size, uint32_t tag);
FILTER_STATUS Filter_FreeMemory(void* p);
FILTER_STATUS Filter_GetOsVersion(uint32_t* major, uint32_t* minor, uint32_t* build, uint32_t* checked);
/* Copies of the driver's settings path. Results are NTSTATUS values: 0 success,
 * FILTER_NT_INVALID_PARAMETER for a missing or malformed argument (a length beyond its maximum, a
 * suffix longer than the source), FILTER_NT_INSUFFICIENT_RESOURCES when no memory is left. The
 * copy's buffer holds the source's maximum length plus a terminating NUL character; it comes from
 * Filter_AllocateMemory and is released with Filter_FreeMemory. Replace: the same copy with its
 * last suffix->Length bytes replaced by the suffix (the length stays the source's). */
#define FILTER_NT_INVALID_PARAMETER 0xC000000Du
#define FILTER_NT_INSUFFICIENT_RESOURCES 0xC000009Au
uint32_t Filter_SaveDriverRegistryPath(const FILTER_UNICODE_STRING* source, FILTER_UNICODE_STRING* out);
uint32_t Filter_ReplaceDriverRegistryPath(const FILTER_UNICODE_STRING* source,
                                          const FILTER_UNICODE_STRING* suffix, FILTER_UNICODE_STRING* out);
uint32_t Filter_RegGetDwordValue(const char* keyPath, const char* valueName, uint32_t defaultValue);
int Filter_RegGetStringValue(const char* keyPath, const char* valueName, char* out, uint32_t outSize);
uint32_t Filter_GetGlobalDebugFlag(const char* keyPath, uint32_t defaultValue);
uint32_t Filter_GetPendingPacketLimit(const char* keyPath, uint32_t defaultValue);
FILTER_STATUS Filter_InitializeLock(FILTER_LOCK* lock);
FILTER_STATUS Filter_AcquireLock(FILTER_LOCK* lock);
FILTER_STATUS Filter_ReleaseLock(FILTER_LOCK* lock);
FILTER_STATUS Filter_FreeLock(FILTER_LOCK* lock);
int Filter_IsValidTimer(FILTER_TIMER* timer);
FILTER_STATUS Filter_StartTimer(FILTER_TIMER* timer, uint32_t ms);
FILTER_STATUS Filter_StopTimer(FILTER_TIMER* timer);
uint32_t SubnetBroadcastAddress(uint32_t address, uint32_t mask);
int IsBroadcastAddress(uint32_t address);
int Filter_CompareString(const FILTER_UNICODE_STRING* a, const FILTER_UNICODE_STRING* b);
FILTER_STATUS Filter_BeginDiag(const char* buffer, int length, FILTER_DIAG* record, int argvSize,
                               FILTER_DIAG** out);
FILTER_STATUS Filter_DiagPrint(FILTER_DIAG* record, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
FILTER_STATUS Filter_AdapterToId(FILTER_ADAPTER adapter, uint32_t* id);
FILTER_STATUS Filter_IdToAdapter(uint32_t id, FILTER_ADAPTER* adapter);

/* ---- Adapters ---- */
int Filter_IsValidAdapter(FILTER_ADAPTER adapter);
FILTER_STATUS Filter_GetAdapterCurrentAddress(FILTER_ADAPTER adapter, uint8_t* mac);
FILTER_STATUS Filter_GetAdapterPermentAddress(FILTER_ADAPTER adapter, uint8_t* mac);
FILTER_STATUS Filter_GetAdapterMediaState(FILTER_ADAPTER adapter, uint32_t* state);
FILTER_STATUS Filter_GetAdapterMediumType(FILTER_ADAPTER adapter, uint32_t* medium);
FILTER_STATUS Filter_GetAdapterName(FILTER_ADAPTER adapter, FILTER_UNICODE_STRING** name);
FILTER_STATUS Filter_FindAdapterByMacAddress(const uint8_t* mac, FILTER_ADAPTER* adapter);
FILTER_STATUS Filter_FindAdapterByNetCfgInstanceId(const char* id, FILTER_ADAPTER* adapter);
FILTER_ADAPTER Filter_GetFirstAdapter(void);
void Filter_EnumOpenedAdapter(void);
FILTER_STATUS Filter_AllocateNdisRequest(FILTER_REQUEST* request);
int Filter_IsValidNdisRequest(FILTER_REQUEST request);
FILTER_STATUS Filter_MakeNdisRequest(FILTER_ADAPTER adapter, FILTER_REQUEST request, uint64_t argument);
FILTER_STATUS Filter_FreeNdisRequest(FILTER_REQUEST request);
FILTER_STATUS Filter_GetTcpIpBoundAdapters(void* list);
FILTER_STATUS Filter_SetIPConfig(void* record); /* {u64 adapter handle, TW_IPCONFIG} */
void* Filter_GetIPConfig(FILTER_ADAPTER adapter, void* out228);
FILTER_STATUS Filter_GetAdapterMediaStateByMac(const uint8_t* mac, uint8_t* state);
FILTER_STATUS Filter_SetAdapterMediaStateByMac(const uint8_t* mac, uint8_t state);
FILTER_STATUS Filter_GetAdapterPacketDump(const uint8_t* mac, uint8_t* flag);
FILTER_STATUS Filter_SetAdapterPacketDump(const uint8_t* mac, uint8_t flag);
FILTER_STATUS Filter_GetAdapterMtu(FILTER_ADAPTER adapter, uint16_t* mtu);
FILTER_STATUS Filter_IsNdisWanAdapter(FILTER_ADAPTER adapter, uint8_t* flag);
FILTER_STATUS Filter_GetAdapterPPPSrcMacAddress(FILTER_ADAPTER adapter, uint8_t* mac);
FILTER_STATUS Filter_GetAdapterPPPDstMacAddress(FILTER_ADAPTER adapter, uint8_t* mac);
FILTER_STATUS Filter_SetAdapterPPPSrcMacAddress(FILTER_ADAPTER adapter, const uint8_t* mac);
FILTER_STATUS Filter_SetAdapterPPPDstMacAddress(FILTER_ADAPTER adapter, const uint8_t* mac);
FILTER_STATUS Filter_SetAdapterCongestionControl(FILTER_ADAPTER adapter, uint8_t flag);

/* ---- Packets ---- */
#define Filter_AllocatePacket(adapter) Filter_AllocatePacketp((adapter), __FILE__, __LINE__)
#define Filter_ReleasePacket(packet) Filter_ReleasePacketp((packet), __FILE__, __LINE__)
FILTER_PACKET* Filter_AllocatePacketp(FILTER_ADAPTER adapter, const char* file, int line);
FILTER_STATUS Filter_ReleasePacketp(FILTER_PACKET* packet, const char* file, int line);
FILTER_STATUS Filter_TransferPacketData(FILTER_PACKET* packet);
FILTER_STATUS Filter_ModifyPacket(FILTER_PACKET* packet);
void Filter_SetPacketReleaseCallback(FILTER_PACKET* packet, FILTER_PACKET_RELEASE_CALLBACK cb, void* context);
void Filter_ClearPacketReleaseCallback(FILTER_PACKET* packet);
FILTER_STATUS Filter_CalculatePacketCheckSum(uint8_t* ipHeader, uint32_t protocol);
int Filter_VerifyPacketCheckSum(FILTER_PACKET* packet);
FILTER_STATUS Filter_ClonePacket(FILTER_PACKET* packet, FILTER_PACKET** clone);
FILTER_STATUS Filter_InjectPacketToAdapterEx(FILTER_ADAPTER adapter, FILTER_PACKET* packet);
FILTER_STATUS Filter_IndicatePacketToProtocolEx(FILTER_ADAPTER adapter, FILTER_PACKET* packet);
FILTER_STATUS Filter_InjectPacketToAdapter(FILTER_ADAPTER adapter, FILTER_PACKET* packet);
FILTER_STATUS Filter_IndicatePacketToProtocol(FILTER_ADAPTER adapter, FILTER_PACKET* packet);
FILTER_STATUS Filter_IndicatePacketFromAdapter(FILTER_ADAPTER adapter, FILTER_PACKET* packet);
FILTER_STATUS Filter_InjectPacketFromProtocol(FILTER_ADAPTER adapter, FILTER_PACKET* packet);
FILTER_STATUS Filter_InjectPacketFromFilter(uint32_t method, void* filter, FILTER_PACKET* packet);
FILTER_STATUS Filter_InjectPacketFromApplication(FILTER_ADAPTER adapter, FILTER_PACKET* packet,
                                                 uint32_t direction);
FILTER_STATUS Filter_IndicatePacketToApplication(FILTER_PACKET* packet, uint32_t appCode,
                                                 uint64_t appContext);
FILTER_STATUS Filter_IndicateSignalToApplication(FILTER_SIGNAL* signal);
uint32_t Filter_GetInjectPacketCount(void);
FILTER_STATUS Filter_InvokeFilters(int32_t type, FILTER_PACKET* packet);
FILTER_STATUS Filter_InvokeFiltersEx(void* a, void* b, FILTER_PACKET* packet);
void Filter_SetPendingPacketLimit(uint32_t limit);

#ifdef __cplusplus
}
#endif
