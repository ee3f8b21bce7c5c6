// Support functions of the exported interface: names, time, memory, registry, locks, timers,
// diagnostics and the adapter id table.
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "filter_core.h"
#include "platform/settings_store.h"
#include "trace.h"

using namespace olvane;

namespace {

const char* const kStatusNames[] = {"FILTER_STATUS_SUCCESS",
                                    "FILTER_ERROR_INVALID_ARGUMENT",
                                    "FILTER_ERROR_INVALID_HANDLE",
                                    "FILTER_ERROR_ADAPTER_NOT_OPEN",
                                    "FILTER_ERROR_INTERNAL_ERROR",
                                    "FILTER_ERROR_NO_FREE_ADAPTER_CONTEXT",
                                    "FILTER_ERROR_INVALID_ADAPTER_CONTEXT",
                                    "FILTER_ERROR_INVALID_ADAPTER_HANDLE",
                                    "FILTER_ERROR_UNSUPPORTED_API_VERSION",
                                    "FILTER_ERROR_DRIVER_ALREADY_REGISTERED",
                                    "FILTER_ERROR_INVALID_DRIVER_HANDLE",
                                    "FILTER_ERROR_BUFFER_TOO_SMALL",
                                    "FILTER_ERROR_DRIVER_NOT_FOUND",
                                    "FILTER_ERROR_EVENT_HANDLER_ALREADY_REGISTERED",
                                    "FILTER_ERROR_EVENT_HANDLER_NOT_FOUND",
                                    "FILTER_ERROR_INVALID_EVENT_HANDLER_OWNER",
                                    "FILTER_ERROR_INVALID_CONTEXT_OWNER",
                                    "FILTER_ERROR_INVALID_EVENT_HANDLER",
                                    "FILTER_ERROR_ADAPTER_NOT_FOUND",
                                    "FILTER_ERROR_INTERFACE_NOT_ACTIVE",
                                    "FILTER_ERROR_OUT_OF_MEMORY",
                                    "FILTER_ERROR_INVALID_NDIS_REQUEST",
                                    "FILTER_ERROR_EXCEPTION",
                                    "FILTER_ERROR_FILTER_ALREADY_REGISTERED",
                                    "FILTER_ERROR_INVALID_PACKET_FILTER",
                                    "FILTER_ERROR_FILTER_NOT_FOUND",
                                    "FILTER_ERROR_INVALID_FILTER_OWNER",
                                    "FILTER_ERROR_INTERFACE_ALREADY_REGISTERED",
                                    "FILTER_ERROR_INTERFACE_NOT_FOUND",
                                    "FILTER_ERROR_INVALID_FILTER_INTERFACE",
                                    "FILTER_ERROR_INVALID_INTERFACE_REFERENCE_OWNER",
                                    "FILTER_ERROR_INTERFACE_REFERENCE_NOT_FOUND",
                                    "FILTER_ERROR_INVALID_INTERFACE_OWNER",
                                    "FILTER_ERROR_INTERFACE_ARE_REFERENCED",
                                    "FILTER_ERROR_INTERFACE_ARE_INVALID",
                                    "FILTER_ERROR_INVALID_MEMORY_POINTER",
                                    "FILTER_ERROR_INVALID_TIMER_HANDLE",
                                    "FILTER_ERROR_INVALID_TIMER_HANDLER_OWNER",
                                    "FILTER_ERROR_TIMER_HANDLER_NOT_FOUND",
                                    "FILTER_ERROR_IOCTL_HANDLER_ALREADY_REGISTERED",
                                    "FILTER_ERROR_INVALID_IOCTL_HANDLER",
                                    "FILTER_ERROR_INVALID_IOCTL_HANDLER_OWNER",
                                    "FILTER_ERROR_IOCTL_HANDLER_NOT_FOUND",
                                    "FILTER_ERROR_UNSUPPORTED_PROTOCOL",
                                    "FILTER_ERROR_INVALID_FILTER_TYPE",
                                    "FILTER_ERROR_DRIVER_DIAG_IN_PROGRESS"};
static_assert(sizeof(kStatusNames) / sizeof(kStatusNames[0]) == 46);

constexpr std::uint32_t kMemoryTag = 0x54414737;  // "7GAT"
constexpr std::uint32_t kTimerTag = 0x54414738;   // "8GAT"

#pragma pack(push, 1)
struct MemoryHeader {
    std::uint32_t m_Size;  // requested + 12
    std::uint32_t m_Tag;
    std::uint32_t m_PoolTag;
};
#pragma pack(pop)
static_assert(sizeof(MemoryHeader) == 12);

void Enter(const char* name) { DbgTrace(kDbgSupport, "Enter %s\n", name); }
FILTER_STATUS Leave(const char* name, FILTER_STATUS st) {
    if (st != FILTER_STATUS_SUCCESS) DbgTrace(kDbgSupport, "  Error: %d - %s\n", st, Filter_StatusString(st));
    DbgTrace(kDbgSupport, "Leave %s, %d-%s\n", name, st, Filter_StatusString(st));
    return st;
}

// 100 ns units since 1601-01-01.
std::uint64_t SystemTime100ns() {
    using namespace std::chrono;
    const auto unix100ns = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100;
    return static_cast<std::uint64_t>(unix100ns) + 116444736000000000ULL;
}

}  // namespace

extern "C" {

const char* Filter_StatusString(FILTER_STATUS code) {
    if (code > 0 || code < -45) return "Unknown";
    return kStatusNames[-code];
}

const char* Filter_ResultString(int32_t value) {
    switch (value) {
        case 0: return "FILTER_RESULT_BYPASS";
        case 1: return "FILTER_RESULT_DISCARD";
        case 2: return "FILTER_RESULT_CONSUME";
        case 3: return "FILTER_RESULT_CAPTURE";
        default: return "Unknown";
    }
}

const char* Filter_TypeString(int32_t value) {
    switch (value) {
        case -1: return "FILTER_TYPE_INVALID";
        case 0: return "FILTER_TYPE_INCOMING_PACKET";
        case 1: return "FILTER_TYPE_OUTGOING_PACKET";
        case 2: return "FILTER_TYPE_INJECT_TO_ADAPTER";
        case 3: return "FILTER_TYPE_INJECT_TO_PROTOCOL";
        default: return "Unknown";
    }
}

const char* Filter_OrderString(int32_t value) {
    switch (value) {
        case 0: return "FILTER_ORDER_FIRST";
        case -1: return "FILTER_ORDER_LAST";
        case -2: return "FILTER_ORDER_NEXT";
        default: return "FILTER_ORDER_FIXED";
    }
}

const char* Filter_MethodString(int32_t value) {
    switch (value) {
        case 0: return "FILTER_METHOD_START_FROM_FIRST_FILTER";
        case 1: return "FILTER_METHOD_START_UNTIL_THIS_FILTER";
        case 2: return "FILTER_METHOD_STOP_AT_THIS_FILTER";
        case 3: return "FILTER_METHOD_START_FROM_THIS_FILTER";
        case 4: return "FILTER_METHOD_START_AFTER_THIS_FILTER";
        default: return "Unknown";
    }
}

uint64_t Filter_GetSystemTime(void) { return SystemTime100ns() / 10000000ULL; }
uint64_t Filter_GetSystemTimeMs(void) { return SystemTime100ns() / 10000ULL; }

void* Filter_AllocateMemory(uint32_t size, uint32_t tag) {
    Enter("Filter_AllocateMemory");
    if (size > 0xFFFFFFFFu - sizeof(MemoryHeader)) return nullptr;
    auto* h = static_cast<MemoryHeader*>(std::calloc(1, size + sizeof(MemoryHeader)));
    if (h == nullptr) {
        DbgTrace(kDbgSupport, "  NdisAllocateMemory(size=%u) fails\n", size);
        return nullptr;
    }
    h->m_Size = size + 12;
    h->m_Tag = kMemoryTag;
    h->m_PoolTag = tag;
    void* area = h + 1;
    DbgTrace(kDbgSupport, "Leave Filter_AllocateMemory, 0x%p\n", area);
    return area;
}

FILTER_STATUS Filter_FreeMemory(void* p) {
    Enter("Filter_FreeMemory");
    if (p == nullptr) {
        DbgTrace(kDbgSupport, "  ppVirtualAddress == NULL\n");
        return Leave("Filter_FreeMemory", FILTER_ERROR_INVALID_ARGUMENT);
    }
    auto* h = static_cast<MemoryHeader*>(p) - 1;
    if (h->m_Tag != kMemoryTag) {
        DbgTrace(kDbgSupport, "  pFilterMemory->m_Tag != FILTER_MEMORY_TAG\n");
        return Leave("Filter_FreeMemory", FILTER_ERROR_INVALID_MEMORY_POINTER);
    }
    h->m_Tag = 0;
    std::free(h);
    return Leave("Filter_FreeMemory", FILTER_STATUS_SUCCESS);
}

FILTER_STATUS Filter_GetOsVersion(uint32_t* major, uint32_t* minor, uint32_t* build, uint32_t* checked) {
    Enter("Filter_GetOsVersion");
    if (major == nullptr && minor == nullptr && build == nullptr && checked == nullptr) {
        return Leave("Filter_GetOsVersion", FILTER_ERROR_INVALID_ARGUMENT);
    }
    TwFilterExtension* ext = FilterExtension();
    if (!HookBound(ext) || ext->m_NdisHookAPI.Hook_GetOsVersion == nullptr) {
        return Leave("Filter_GetOsVersion", FILTER_ERROR_INTERFACE_NOT_ACTIVE);
    }
    if (ext->m_NdisHookAPI.Hook_GetOsVersion(major, minor, build, checked) != 0) {
        return Leave("Filter_GetOsVersion", FILTER_ERROR_INTERNAL_ERROR);
    }
    return Leave("Filter_GetOsVersion", FILTER_STATUS_SUCCESS);
}

namespace {

constexpr std::uint32_t kRegistryPathTag = 0x54414739;  // "9GAT"

bool WellFormed(const FILTER_UNICODE_STRING* s) {
    return s != nullptr && s->Length <= s->MaximumLength && (s->Length % 2) == 0 &&
           (s->Buffer != nullptr || s->Length == 0);
}

std::uint32_t CopyRegistryPath(const FILTER_UNICODE_STRING* source, const FILTER_UNICODE_STRING* suffix,
                               FILTER_UNICODE_STRING* out) {
    if (out == nullptr || !WellFormed(source) || source->MaximumLength > 0xFFFFu - 2u)
        return FILTER_NT_INVALID_PARAMETER;
    if (suffix != nullptr && (!WellFormed(suffix) || suffix->Length > source->Length))
        return FILTER_NT_INVALID_PARAMETER;
    const std::uint32_t size = source->MaximumLength + 2u;
    auto* buffer = static_cast<std::uint16_t*>(Filter_AllocateMemory(size, kRegistryPathTag));
    if (buffer == nullptr) return FILTER_NT_INSUFFICIENT_RESOURCES;
    if (source->Length != 0) std::memcpy(buffer, source->Buffer, source->Length);
    if (suffix != nullptr && suffix->Length != 0) {
        std::memcpy(reinterpret_cast<std::uint8_t*>(buffer) + (source->Length - suffix->Length),
                    suffix->Buffer, suffix->Length);
    }
    buffer[source->Length / 2] = 0;
    out->Buffer = buffer;
    out->Length = source->Length;
    out->MaximumLength = static_cast<std::uint16_t>(size);
    return 0;
}

}  // namespace

uint32_t Filter_SaveDriverRegistryPath(const FILTER_UNICODE_STRING* source, FILTER_UNICODE_STRING* out) {
    return CopyRegistryPath(source, nullptr, out);
}

uint32_t Filter_ReplaceDriverRegistryPath(const FILTER_UNICODE_STRING* source,
                                          const FILTER_UNICODE_STRING* suffix, FILTER_UNICODE_STRING* out) {
    if (suffix == nullptr) return FILTER_NT_INVALID_PARAMETER;
    return CopyRegistryPath(source, suffix, out);
}

uint32_t Filter_RegGetDwordValue(const char* keyPath, const char* valueName, uint32_t defaultValue) {
    if (keyPath == nullptr || valueName == nullptr) return defaultValue;
    DWORD value = 0;
    LONG rc = platform::kRegGeneralFailure;
    try {
        rc = platform::SettingsStore::Machine()->GetDword(keyPath, valueName, &value);
    } catch (...) {
    }
    if (rc != platform::kRegOk) {
        DbgPrint("RtlQueryRegistryValues %s\\%s fail, error = 0x%X\n", keyPath, valueName,
                 static_cast<unsigned>(rc));
        return defaultValue;
    }
    DbgPrint("RtlQueryRegistryValues %s\\%s success, Value = 0x%X\n", keyPath, valueName, value);
    return value;
}

int Filter_RegGetStringValue(const char* keyPath, const char* valueName, char* out, uint32_t outSize) {
    if (keyPath == nullptr || valueName == nullptr || out == nullptr || outSize == 0) return 0;
    std::string value;
    LONG rc = platform::kRegGeneralFailure;
    try {
        rc = platform::SettingsStore::Machine()->GetString(keyPath, valueName, &value);
    } catch (...) {
    }
    if (rc != platform::kRegOk) {
        DbgPrint("RtlQueryRegistryValues %s\\%s fail, error = 0x%X\n", keyPath, valueName,
                 static_cast<unsigned>(rc));
        out[0] = '\0';
        return 0;
    }
    std::snprintf(out, outSize, "%s", value.c_str());
    DbgPrint("RtlQueryRegistryValues %s\\%s success, Value = %s\n", keyPath, valueName, out);
    return 1;
}

uint32_t Filter_GetGlobalDebugFlag(const char* keyPath, uint32_t defaultValue) {
    return Filter_RegGetDwordValue(keyPath, "GlobalDebugFlag", defaultValue);
}

uint32_t Filter_GetPendingPacketLimit(const char* keyPath, uint32_t defaultValue) {
    return Filter_RegGetDwordValue(keyPath, "PendingPacketLimit", defaultValue);
}

FILTER_STATUS Filter_InitializeLock(FILTER_LOCK* lock) {
    Enter("Filter_InitializeLock");
    if (lock == nullptr) return Leave("Filter_InitializeLock", FILTER_ERROR_INVALID_ARGUMENT);
    __atomic_store_n(&lock->m_SpinLock, 0, __ATOMIC_RELEASE);
    lock->m_OldIrql = 0;
    return Leave("Filter_InitializeLock", FILTER_STATUS_SUCCESS);
}

FILTER_STATUS Filter_AcquireLock(FILTER_LOCK* lock) {
    Enter("Filter_AcquireLock");
    if (lock == nullptr) return Leave("Filter_AcquireLock", FILTER_ERROR_INVALID_ARGUMENT);
    while (__atomic_exchange_n(&lock->m_SpinLock, 1, __ATOMIC_ACQUIRE) != 0) {
        while (__atomic_load_n(&lock->m_SpinLock, __ATOMIC_RELAXED) != 0) __builtin_ia32_pause();
    }
    lock->m_OldIrql = 0;
    return Leave("Filter_AcquireLock", FILTER_STATUS_SUCCESS);
}

FILTER_STATUS Filter_ReleaseLock(FILTER_LOCK* lock) {
    Enter("Filter_ReleaseLock");
    if (lock == nullptr) return Leave("Filter_ReleaseLock", FILTER_ERROR_INVALID_ARGUMENT);
    __atomic_store_n(&lock->m_SpinLock, 0, __ATOMIC_RELEASE);
    return Leave("Filter_ReleaseLock", FILTER_STATUS_SUCCESS);
}

FILTER_STATUS Filter_FreeLock(FILTER_LOCK* lock) {
    Enter("Filter_FreeLock");
    return Leave("Filter_FreeLock", lock == nullptr ? FILTER_ERROR_INVALID_ARGUMENT : FILTER_STATUS_SUCCESS);
}

int Filter_IsValidTimer(FILTER_TIMER* timer) {
    if (timer != nullptr && timer->m_Tag == kTimerTag) return 1;
    DbgPrint("Filter_IsValidTimer: Invalid Handle 0x%p, bad tag 0x%x\n", static_cast<void*>(timer),
             timer != nullptr ? timer->m_Tag : 0xFFFFFFFFu);
    return 0;
}

FILTER_STATUS Filter_StartTimer(FILTER_TIMER* timer, uint32_t ms) {
    Enter("Filter_StartTimer");
    if (timer == nullptr) return Leave("Filter_StartTimer", FILTER_ERROR_INVALID_ARGUMENT);
    if (!Filter_IsValidTimer(timer)) return Leave("Filter_StartTimer", FILTER_ERROR_INVALID_TIMER_HANDLE);
    timer->m_MsToDelay = ms;  // no operation of this driver creates a timer to fire
    return Leave("Filter_StartTimer", FILTER_STATUS_SUCCESS);
}

FILTER_STATUS Filter_StopTimer(FILTER_TIMER* timer) {
    Enter("Filter_StopTimer");
    if (timer == nullptr) return Leave("Filter_StopTimer", FILTER_ERROR_INVALID_ARGUMENT);
    if (!Filter_IsValidTimer(timer)) return Leave("Filter_StopTimer", FILTER_ERROR_INVALID_TIMER_HANDLE);
    return Leave("Filter_StopTimer", FILTER_STATUS_SUCCESS);
}

uint32_t SubnetBroadcastAddress(uint32_t address, uint32_t mask) { return (address & mask) | ~mask; }

int IsBroadcastAddress(uint32_t address) {
    // Network order in memory: the last octet is the highest byte on a little-endian host.
    return ((address >> 24) & 0xFF) == 255 ? 1 : 0;
}

int Filter_CompareString(const FILTER_UNICODE_STRING* a, const FILTER_UNICODE_STRING* b) {
    if (a == nullptr || b == nullptr || a->Length < b->Length) return -1;
    if (a->Length > b->Length) return 1;
    if (a->Length == 0) return 0;
    if (a->Buffer == nullptr || b->Buffer == nullptr) return -1;
    return std::memcmp(a->Buffer, b->Buffer, a->Length) == 0 ? 0 : 1;
}

FILTER_STATUS Filter_BeginDiag(const char* buffer, int length, FILTER_DIAG* record, int argvSize,
                               FILTER_DIAG** out) {
    if (buffer == nullptr || record == nullptr || out == nullptr) {
        DbgTrace(kDbgSupport, "Invalid arguments: buffer are NULL\n");
        return FILTER_ERROR_INVALID_ARGUMENT;
    }
    if (length == 0 || argvSize == 0) {
        DbgTrace(kDbgSupport, "Invalid arguments: length is 0 or argv buffer size is 0\n");
        return FILTER_ERROR_INVALID_ARGUMENT;
    }
    if (static_cast<unsigned>(length) + 1u > 1024u) {
        DbgTrace(kDbgSupport, "Buffer too small, copy buffer size is less than input buffer\n");
        return FILTER_ERROR_BUFFER_TOO_SMALL;
    }
    *out = record;
    DbgTrace(kDbgSupport, " - driver = %s\n",
             record->m_DriverName != nullptr ? record->m_DriverName : "NULL");
    DbgTrace(kDbgSupport, " - argc = %d\n", record->m_Argc);
    for (int i = 0; record->m_Argv != nullptr && i < record->m_Argc && i < argvSize; ++i) {
        DbgTrace(kDbgSupport, " - argv[%d] = %s\n", i,
                 record->m_Argv[i] != nullptr ? record->m_Argv[i] : "NULL");
    }
    DbgTrace(kDbgSupport, "pDiag->m_BufferSize = %d\n", record->m_BufferSize);
    DbgTrace(kDbgSupport, "pDiag->m_BufferUsed = %d\n", record->m_BufferUsed);
    DbgTrace(kDbgSupport, "pDiag->m_bInitialized = %s\n", record->m_bInitialized ? "Yes" : "No");
    return FILTER_STATUS_SUCCESS;
}

FILTER_STATUS Filter_DiagPrint(FILTER_DIAG* record, const char* format, ...) {
    if (record == nullptr || format == nullptr) return FILTER_ERROR_INVALID_ARGUMENT;
    if (record->m_BufferUsed < 0 || record->m_BufferSize - 1 <= record->m_BufferUsed)
        return FILTER_ERROR_BUFFER_TOO_SMALL;
    const auto room = static_cast<std::size_t>(record->m_BufferSize - record->m_BufferUsed);
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(record->m_Buffer + record->m_BufferUsed, room, format, args);
    va_end(args);
    if (n < 0) return FILTER_ERROR_INTERNAL_ERROR;
    // A text that does not fit is cut at the end of the buffer (its NUL kept).
    const int written = static_cast<std::size_t>(n) < room ? n : static_cast<int>(room) - 1;
    record->m_BufferUsed += written;
    return FILTER_STATUS_SUCCESS;
}

namespace {

bool IdInUse(const TwFilterExtension* ext, std::uint32_t id) {
    for (std::uint32_t i = 0; i < ext->m_IdCount; ++i) {
        if (ext->m_Ids[i] == id) return true;
    }
    return false;
}

// The next id no live adapter holds. Numbers are not handed out twice in a row: a ring block that
// still names a closed adapter's id reaches no later adapter.
std::uint32_t TakeNextId(TwFilterExtension* ext) {
    for (;;) {
        const std::uint32_t id = ext->m_NextId++;
        if (ext->m_NextId == 0) ext->m_NextId = 1;
        if (id != 0 && !IdInUse(ext, id)) return id;
    }
}

}  // namespace

FILTER_STATUS Filter_AdapterToId(FILTER_ADAPTER adapter, uint32_t* id) {
    TwFilterExtension* ext = FilterExtension();
    if (ext == nullptr || adapter == nullptr || id == nullptr) return FILTER_ERROR_INVALID_ARGUMENT;
    {
        std::shared_lock<std::shared_mutex> lock(ext->m_IdLock);
        for (std::uint32_t i = 0; i < ext->m_IdCount; ++i) {
            if (ext->m_IdAdapters[i] == adapter) {
                *id = ext->m_Ids[i];
                return FILTER_STATUS_SUCCESS;
            }
        }
    }
    // Searched again under the write lock: two callers asking for the same new adapter at once
    // must get one id.
    std::unique_lock<std::shared_mutex> lock(ext->m_IdLock);
    for (std::uint32_t i = 0; i < ext->m_IdCount; ++i) {
        if (ext->m_IdAdapters[i] == adapter) {
            *id = ext->m_Ids[i];
            return FILTER_STATUS_SUCCESS;
        }
    }
    // A closed adapter named late (a frame still on its way) is given no id: it would keep a place
    // that nobody gives back.
    if (static_cast<const AdapterEntry*>(adapter)->m_bIdReleased) return FILTER_ERROR_ADAPTER_NOT_OPEN;
    std::uint32_t slot = ext->m_IdCount;
    if (slot >= TW_MAX_BOUND_ADAPTERS) {
        // Full of live links: our own adapter, which carries every session, takes the place of
        // the real link that came last; that link is left out of lists until an id is free.
        if (!static_cast<const AdapterEntry*>(adapter)->m_bOwnAdapter) return FILTER_ERROR_INTERNAL_ERROR;
        slot = TW_MAX_BOUND_ADAPTERS;
        for (std::uint32_t i = ext->m_IdCount; i-- > 0;) {
            if (!static_cast<const AdapterEntry*>(ext->m_IdAdapters[i])->m_bOwnAdapter) {
                slot = i;
                break;
            }
        }
        if (slot == TW_MAX_BOUND_ADAPTERS) return FILTER_ERROR_INTERNAL_ERROR;
    } else {
        ++ext->m_IdCount;
    }
    ext->m_IdAdapters[slot] = adapter;
    ext->m_Ids[slot] = TakeNextId(ext);
    *id = ext->m_Ids[slot];
    return FILTER_STATUS_SUCCESS;
}

FILTER_STATUS Filter_IdToAdapter(uint32_t id, FILTER_ADAPTER* adapter) {
    TwFilterExtension* ext = FilterExtension();
    if (ext == nullptr || adapter == nullptr) return FILTER_ERROR_INVALID_ARGUMENT;
    std::shared_lock<std::shared_mutex> lock(ext->m_IdLock);
    for (std::uint32_t i = 0; i < ext->m_IdCount; ++i) {
        if (ext->m_Ids[i] == id) {
            *adapter = ext->m_IdAdapters[i];
            return FILTER_STATUS_SUCCESS;
        }
    }
    return FILTER_ERROR_INVALID_ARGUMENT;
}

}  // extern "C"

namespace olvane {

void ReleaseAdapterId(FILTER_ADAPTER adapter) {
    TwFilterExtension* ext = FilterExtension();
    if (ext == nullptr || adapter == nullptr) return;
    std::unique_lock<std::shared_mutex> lock(ext->m_IdLock);
    static_cast<AdapterEntry*>(adapter)->m_bIdReleased = true;
    for (std::uint32_t i = 0; i < ext->m_IdCount; ++i) {
        if (ext->m_IdAdapters[i] != adapter) continue;
        for (std::uint32_t j = i + 1; j < ext->m_IdCount; ++j) {
            ext->m_IdAdapters[j - 1] = ext->m_IdAdapters[j];
            ext->m_Ids[j - 1] = ext->m_Ids[j];
        }
        --ext->m_IdCount;
        ext->m_IdAdapters[ext->m_IdCount] = nullptr;
        ext->m_Ids[ext->m_IdCount] = 0;
        return;
    }
}

}  // namespace olvane
