#include "control_device.h"

#include <climits>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "diagnostics.h"
#include "miniport_global.h"
#include "trace.h"

namespace olvane {

namespace {

// Users with an adapter-close event of their own (the device admits only root and one group).
constexpr std::size_t kMaxCloseEvents = 16;

DWORD TooSmall(bool input) {
    DbgTrace(kDbgInit,
             input ? "Input Buffer Length are too small\n" : "Output Buffer Length are too small\n");
    return STATUS_BUFFER_TOO_SMALL;
}

template <class T>
T ReadIn(const std::uint8_t* in) {
    T v;
    std::memcpy(&v, in, sizeof(T));
    return v;
}

bool IsEventFd(int fd) {
    if (fd < 0) return false;
    char path[64];
    std::snprintf(path, sizeof(path), "/proc/self/fd/%d", fd);
    char target[64] = {};
    ssize_t n = ::readlink(path, target, sizeof(target) - 1);
    return n > 0 && std::strcmp(target, "anon_inode:[eventfd]") == 0 &&
           (::fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDWR;
}

DWORD StartShare(TwFilterExtension* ext, TwFileObject* fo, const IoRequest& req, std::uint8_t* out,
                 IoResult* r) {
    const bool wide = ext->m_Layout == RingLayout::k64;
    const DWORD outNeed = wide ? 8 : 4;
    if (req.outLength < outNeed) return TooSmall(false);
    std::uint64_t address = 0;
    if (wide) {
        if (req.inLength < 4) return TooSmall(true);
        address = ReadIn<DWORD>(req.in);
        if (address == 0) {
            DbgTrace(kDbgInit, "User Virtual Address is error\n");
            return STATUS_INVALID_PARAMETER_2;
        }
    } else if (req.inLength >= 4) {
        address = ReadIn<DWORD>(req.in);
    }
    std::uint64_t shared = 0;
    r->bytes = outNeed;
    if (!NdisFilter_StartShare(fo, address, &shared)) {
        DbgTrace(kDbgInit, "NdisFilter_StartShare() fails\n");
        std::memset(out, 0, outNeed);
        return STATUS_INTERNAL_ERROR;
    }
    DbgTrace(kDbgInit, "NdisFilter_StartShare() success\n");
    std::memcpy(out, &shared, outNeed);
    // The ring this caller now owns: it stays in place until the caller gives it up.
    std::shared_ptr<TwSharedRing> ring = ext->Ring();
    r->replyFd = ring->MemFd();
    r->replyExtraFds[0] = ring->OutputDoorbellFd();
    r->replyExtraFds[1] = ring->InputDoorbellFd();
    r->keep = std::move(ring);
    return STATUS_SUCCESS;
}

DWORD GetTcpIpInterfaces(const IoRequest& req, std::uint8_t* out, IoResult* r) {
    if (req.outLength < sizeof(TW_TCPIP_INTERFACE_LIST)) return TooSmall(false);
    auto work = std::make_unique<TwBoundAdapterList>();
    std::memset(out, 0, sizeof(TW_TCPIP_INTERFACE_LIST));
    if (Filter_GetTcpIpBoundAdapters(work.get()) != FILTER_STATUS_SUCCESS) return STATUS_INTERNAL_ERROR;
    TW_TCPIP_INTERFACE_LIST list{};
    const std::uint32_t count = work->count < TW_MAX_BOUND_ADAPTERS ? work->count : TW_MAX_BOUND_ADAPTERS;
    // A link that finds no free id is left out of this answer; the rest (our own adapters come
    // first) is listed.
    std::uint32_t listed = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t id = 0;  // records are packed: the id is copied in, never written through
        if (Filter_AdapterToId(reinterpret_cast<FILTER_ADAPTER>(work->entries[i].hAdapter), &id) !=
            FILTER_STATUS_SUCCESS) {
            DbgTrace(kDbgInit, "call Filter_AdapterToId func failure.\n");
            continue;
        }
        list.entries[listed].adapterId = id;
        list.entries[listed].data = work->entries[i].data;
        list.entries[listed].data.name[sizeof(list.entries[listed].data.name) - 1] = '\0';
        ++listed;
    }
    list.count = listed;
    std::memcpy(out, &list, sizeof(list));
    r->bytes = sizeof(list);
    return STATUS_SUCCESS;
}

DWORD SetIpConfig(const IoRequest& req) {
    if (req.inLength < sizeof(TW_IPCONFIG_REQUEST)) return TooSmall(true);
    const auto in = ReadIn<TW_IPCONFIG_REQUEST>(req.in);
    FILTER_ADAPTER adapter = nullptr;
    if (Filter_IdToAdapter(in.adapterId, &adapter) != FILTER_STATUS_SUCCESS) {
        DbgTrace(kDbgInit, "Input Buffer adapter argument error\n");
        return STATUS_INVALID_PARAMETER;
    }
    if (in.config.m_nIP > TW_IPCONFIG_MAX || in.config.m_nGW > TW_IPCONFIG_MAX ||
        in.config.m_nDHCP > TW_IPCONFIG_MAX || in.config.m_nDNS > TW_IPCONFIG_MAX) {
        return STATUS_INVALID_PARAMETER;
    }
    TwIpConfigRecord record{reinterpret_cast<std::uint64_t>(adapter), in.config};
    if (Filter_SetIPConfig(&record) != FILTER_STATUS_SUCCESS) return NDIS_STATUS_ADAPTER_NOT_FOUND;
    return STATUS_SUCCESS;
}

DWORD GetIpConfig(const IoRequest& req, std::uint8_t* out, IoResult* r) {
    if (req.inLength < 4) return TooSmall(true);
    if (req.outLength < sizeof(TW_IPCONFIG_REQUEST)) return TooSmall(false);
    FILTER_ADAPTER adapter = nullptr;
    if (Filter_IdToAdapter(ReadIn<DWORD>(req.in), &adapter) != FILTER_STATUS_SUCCESS)
        return STATUS_INVALID_PARAMETER;
    TwIpConfigRecord record{};
    if (Filter_GetIPConfig(adapter, &record) == nullptr) return NDIS_STATUS_ADAPTER_NOT_FOUND;
    TW_IPCONFIG_REQUEST reply{};
    std::uint32_t id = 0;
    if (Filter_AdapterToId(adapter, &id) != FILTER_STATUS_SUCCESS) {
        DbgTrace(kDbgInit, "call Filter_AdapterToId func failure.\n");
        return STATUS_INTERNAL_ERROR;
    }
    reply.adapterId = id;
    reply.config = record.config;
    std::memcpy(out, &reply, sizeof(reply));
    r->bytes = sizeof(reply);
    return STATUS_SUCCESS;
}

DWORD MacRecord(const IoRequest& req, std::uint8_t* out, IoResult* r) {
    if (req.inLength < 7) return TooSmall(true);
    const std::uint8_t* mac = req.in;
    switch (req.code) {
        case IOCTL_NDIS_FILTER_SET_MEDIA_STATUS:
            return Filter_SetAdapterMediaStateByMac(mac, req.in[6]) == FILTER_STATUS_SUCCESS
                       ? STATUS_SUCCESS
                       : NDIS_STATUS_ADAPTER_NOT_FOUND;
        case IOCTL_NDIS_FILTER_SET_PACKET_DUMP:
            return Filter_SetAdapterPacketDump(mac, req.in[6]) == FILTER_STATUS_SUCCESS
                       ? STATUS_SUCCESS
                       : NDIS_STATUS_ADAPTER_NOT_FOUND;
        default: break;
    }
    if (req.outLength < 7) return TooSmall(false);
    std::uint8_t value = 0;
    FILTER_STATUS st = req.code == IOCTL_NDIS_FILTER_GET_MEDIA_STATUS
                           ? Filter_GetAdapterMediaStateByMac(mac, &value)
                           : Filter_GetAdapterPacketDump(mac, &value);
    if (st != FILTER_STATUS_SUCCESS) return NDIS_STATUS_ADAPTER_NOT_FOUND;
    std::memmove(out, mac, 6);
    out[6] = value;
    r->bytes = 7;
    return STATUS_SUCCESS;
}

DWORD GetAdapter(const IoRequest& req, std::uint8_t* out, IoResult* r) {
    if (req.inLength < 6) return TooSmall(true);
    if (req.outLength < sizeof(TW_ADAPTER_BY_MAC)) return TooSmall(false);
    TW_ADAPTER_BY_MAC reply{};
    std::memcpy(reply.mac, req.in, 6);
    FILTER_ADAPTER adapter = nullptr;
    std::uint32_t id = 0;
    if (Filter_FindAdapterByMacAddress(reply.mac, &adapter) != FILTER_STATUS_SUCCESS ||
        Filter_AdapterToId(adapter, &id) != FILTER_STATUS_SUCCESS) {
        return STATUS_INTERNAL_ERROR;
    }
    reply.adapterId = id;
    std::memcpy(out, &reply, sizeof(reply));
    r->bytes = sizeof(reply);
    return STATUS_SUCCESS;
}

void TraceCounters(const TW_TEST_PROXY_DATA& t) {
    DbgTrace(kDbgInit, "resource counters %u,%u,%u,%u; virtual counters %u,%u,%u,%u\n", t.resourceCounters[0],
             t.resourceCounters[1], t.resourceCounters[2], t.resourceCounters[3], t.virtualCounters[0],
             t.virtualCounters[1], t.virtualCounters[2], t.virtualCounters[3]);
}

DWORD TestProxy(TwFilterExtension* ext, const IoRequest& req, std::uint8_t* out, IoResult* r) {
    std::lock_guard<std::mutex> lock(ext->m_TestLock);
    TW_TEST_PROXY_DATA& t = ext->m_TestProxy;
    if (req.code == IOCTL_QEL_CLIENT_TEST_PROXY_DATA) {
        if (req.inLength < sizeof(TW_TEST_PROXY_REQUEST)) return TooSmall(true);
        const auto in = ReadIn<TW_TEST_PROXY_REQUEST>(req.in);
        DbgTrace(kDbgInit, "TEST_PROXY_DATA port 0x%x, resource 0x%x, virtual 0x%x\n", in.udpPort,
                 in.resourceAddress, in.virtualAddress);
        std::memset(t.resourceCounters, 0, sizeof(t.resourceCounters));
        std::memset(t.virtualCounters, 0, sizeof(t.virtualCounters));
        t.udpPort = in.udpPort;
        t.resourceAddress = in.resourceAddress;
        t.virtualAddress = in.virtualAddress;
        t.enabled = 1;
        ext->m_TestEnabled.store(true);
        return STATUS_SUCCESS;
    }
    t.enabled = 0;
    ext->m_TestEnabled.store(false);
    TraceCounters(t);
    if (req.outLength < sizeof(TW_TEST_PROXY_DATA)) return TooSmall(false);
    std::memcpy(out, &t, sizeof(t));
    r->bytes = sizeof(t);
    return STATUS_SUCCESS;
}

// The client's event, given as a descriptor. Failure is reported, never passed off as success.
// Each user has its own slot: a caller replaces the event of its own user only, and while the
// ring is shared only its owner's user (or root) may set one, so that no other caller can take
// away the sharing client's forced logoff.
DWORD SetCloseEvent(TwFilterExtension* ext, TwFileObject* fo, IoRequest& req) {
    if (req.inLength < 4) return STATUS_INVALID_PARAMETER;
    if (!IsEventFd(req.passedFd)) {
        DbgTrace(kDbgInit, "ObReferenceObjectByHandle failed\n");
        return STATUS_INVALID_HANDLE;
    }
    if (fo->uid != 0 && ext->m_FileObject.load() != 0 && ext->m_OwnerUid.load() != fo->uid) {
        DbgTrace(kDbgInit, "SetAdapterCloseEvent: the ring is shared by another user (uid %u)\n", fo->uid);
        return STATUS_ACCESS_DENIED;
    }
    auto event = std::make_unique<platform::Event>(req.passedFd, true);
    req.passedFd = -1;
    std::lock_guard<std::mutex> lock(ext->m_CloseEventLock);
    auto& slots = ext->m_pAdapterCloseEvents;
    for (auto& slot : slots) {
        if (slot.first == fo->uid) {
            slot.second = std::move(event);
            return STATUS_SUCCESS;
        }
    }
    if (slots.size() >= kMaxCloseEvents) return STATUS_INSUFFICIENT_RESOURCES;
    slots.emplace_back(fo->uid, std::move(event));
    return STATUS_SUCCESS;
}

// Device changes are the service's (root's) business, not a client's.
DWORD EnableAdapter(TwFileObject* fo, const IoRequest& req, std::uint8_t* out, IoResult* r) {
    if (fo->uid != 0) return STATUS_ACCESS_DENIED;
    const int made = RecreateVirtualAdapters();
    if (made < 0) return STATUS_UNSUCCESSFUL;
    if (req.outLength >= 4) {
        const DWORD n = static_cast<DWORD>(made);
        std::memcpy(out, &n, 4);
        r->bytes = 4;
    }
    return STATUS_SUCCESS;
}

// The session's user (see TwFilterExtension::m_SessionUid). Starting the capture or connecting the
// adapter's media claims the session, unless another user's session is open; stopping the capture
// or disconnecting ends it, for its own user only. Root may do either at any time (the service
// ends a dead client's session).
DWORD SessionGate(TwFilterExtension* ext, const TwFileObject* fo, const IoRequest& req) {
    bool claim = false;
    switch (req.code) {
        case IOCTL_NDIS_FILTER_START_CAPTURE: claim = true; break;
        case IOCTL_NDIS_FILTER_STOP_CAPTURE: break;
        case IOCTL_NDIS_FILTER_SET_MEDIA_STATUS:
            if (req.inLength < 7) return STATUS_SUCCESS;  // refused by its handler
            claim = req.in[6] != 0;
            break;
        default: return STATUS_SUCCESS;
    }
    std::lock_guard<std::mutex> lock(ext->m_SessionLock);
    const long long holder = ext->m_SessionUid.load();
    const long long caller = static_cast<long long>(fo->uid);
    if (fo->uid != 0 && holder >= 0 && holder != caller) {
        DbgTrace(kDbgInit, "code 0x%x refused: the session is another user's (uid %u)\n", req.code, fo->uid);
        return STATUS_ACCESS_DENIED;
    }
    ext->m_SessionUid.store(claim ? caller : -1);
    ext->m_SessionFo = claim ? fo->id : 0;
    return STATUS_SUCCESS;
}

// First-level codes; false when the code belongs to the second level.
bool FirstLevel(TwFilterExtension* ext, TwFileObject* fo, IoRequest& req, std::uint8_t* out, IoResult* r) {
    switch (req.code) {
        case IOCTL_NDIS_FILTER_GET_VERSION:
            if (req.outLength < sizeof(_DriverVersion)) {
                r->status = TooSmall(false);
            } else {
                out[0] = 1;
                out[1] = 0;
                r->bytes = 2;
            }
            return true;
        case IOCTL_NDIS_FILTER_START_SHARE: r->status = StartShare(ext, fo, req, out, r); return true;
        case IOCTL_NDIS_FILTER_STOP_SHARE: NdisFilter_StopShare(fo); return true;
        case IOCTL_NDIS_FILTER_READ_SHARE: r->status = NdisFilter_ReadShare(fo); return true;
        case IOCTL_NDIS_FILTER_WRITE_SHARE: r->status = NdisFilter_WriteShare(fo); return true;
        case IOCTL_NDIS_FILTER_GET_TCPIP_INTERFACES: r->status = GetTcpIpInterfaces(req, out, r); return true;
        case IOCTL_NDIS_FILTER_GET_EVENT: r->status = STATUS_NOT_SUPPORTED; return true;
        case IOCTL_NDIS_FILTER_CLEAR_EVENT: DbgTrace(kDbgInit, "IOCTL_NDIS_FILTER_GET_EVENT\n"); return true;
        case IOCTL_NDIS_FILTER_START_ETHRLOG:
        case IOCTL_NDIS_FILTER_STOP_ETHRLOG: return true;
        case IOCTL_NDIS_FILTER_SET_IPCONFIG: r->status = SetIpConfig(req); return true;
        case IOCTL_NDIS_FILTER_GET_IPCONFIG: r->status = GetIpConfig(req, out, r); return true;
        case IOCTL_NDIS_FILTER_SET_MEDIA_STATUS:
        case IOCTL_NDIS_FILTER_GET_MEDIA_STATUS:
        case IOCTL_NDIS_FILTER_SET_PACKET_DUMP:
        case IOCTL_NDIS_FILTER_GET_PACKET_DUMP: r->status = MacRecord(req, out, r); return true;
        case IOCTL_NDIS_FILTER_GET_ADAPTER: r->status = GetAdapter(req, out, r); return true;
        case IOCTL_NDIS_FILTER_PUT_SHAREDMEMORYSIZE:
            if (req.outLength < 4) {
                r->status = TooSmall(false);
            } else {
                const std::shared_ptr<TwSharedRing> ring = ext->Ring();
                const DWORD size = ring ? static_cast<DWORD>(ring->MappedSize()) : 0;
                std::memcpy(out, &size, 4);
                r->bytes = 4;
            }
            return true;
        case IOCTL_NDIS_FILTER_SET_CONGESTION_CONTROL:
            DbgPrint("IOCTL_NDIS_FILTER_SET_CONGESTION_CONTROL\n");
            if (req.inLength < 4) {
                r->status = TooSmall(true);
            } else {
                ext->InjectPacketMax.store(ReadIn<DWORD>(req.in));
                DbgPrint("- InjectPacketMax = %u\n", ext->InjectPacketMax.load());
            }
            return true;
        case IOCTL_NDIS_FILTER_ENUM_ADAPTER:
            DbgPrint("IOCTL_NDIS_FILTER_ENUM_ADAPTER\n");
            NdisFilter_EnumOpenedAdapter();
            return true;
        case IOCTL_NDIS_FILTER_BIND_ADAPTERS:
            DbgPrint("IOCTL_NDIS_FILTER_BIND_ADAPTERS\n");
            if (HookBound(ext) && ext->m_NdisHookAPI.QelMiniTryStartProtocol != nullptr) {
                ext->m_NdisHookAPI.QelMiniTryStartProtocol();
            }
            return true;
        case IOCTL_QEL_CLIENT_TEST_PROXY_DATA:
        case IOCTL_QEL_CLIENT_TEST_PROXY_END: r->status = TestProxy(ext, req, out, r); return true;
        case IOCTL_SET_ADAPTER_CLOSE_EVENT: r->status = SetCloseEvent(ext, fo, req); return true;
        case IOCTL_QEL_ENABLE_ADAPTER: r->status = EnableAdapter(fo, req, out, r); return true;
        case IOCTL_NDIS_FILTER_DUMP_DEVICE_EXTENSION: DumpFilterExtension(); return false;
        default: return false;
    }
}

}  // namespace

IoResult NdisFilterIoControl(TwFileObject* fo, IoRequest& req, std::uint8_t* out) {
    IoResult r;
    TwFilterExtension* ext = FilterExtension();
    DbgTrace(kDbgInit, "Enter NdisFilterIoControl\n");
    DbgTrace(kDbgInit, "- ControlCode - 0x%x\n", req.code);
    DbgTrace(kDbgInit, "- InputBufferLength - 0x%x\n", req.inLength);
    DbgTrace(kDbgInit, "- OutputBufferLength - 0x%x\n", req.outLength);
    if (ext == nullptr) {
        r.status = STATUS_UNSUCCESSFUL;
        return r;
    }
    if (const DWORD gate = SessionGate(ext, fo, req); gate != STATUS_SUCCESS) {
        r.status = gate;
        return r;
    }
    if (!FirstLevel(ext, fo, req, out, &r)) {
        r.status = STATUS_NOT_SUPPORTED;
        r.bytes = 0;
        auto hook = HookBound(ext) ? ext->m_NdisHookAPI.Hook_HandleIoControl : nullptr;
        if (hook != nullptr) {
            // The second level sees one system buffer: the input, with room for the output.
            std::vector<std::uint8_t> system(req.inLength > req.outLength ? req.inLength : req.outLength);
            if (req.inLength > 0) std::memcpy(system.data(), req.in, req.inLength);
            DWORD bytes = 0;
            try {
                DWORD st = hook(req.code, system.data(), req.inLength, system.data(), req.outLength, &bytes);
                r.status = st;
                if (st != STATUS_NOT_SUPPORTED) r.bytes = bytes;
            } catch (...) {
                DbgPrint("NdisFilterIoControl: exception in hook, code = %d\n", -1);
                r.status = STATUS_NOT_SUPPORTED;
                r.bytes = 0;
            }
            if (r.bytes > req.outLength) r.bytes = req.outLength;
            if (r.bytes > 0) std::memcpy(out, system.data(), r.bytes);
        }
    }
    if (r.bytes > req.outLength) r.bytes = req.outLength;
    DbgTrace(kDbgInit, "Leave NdisFilterIoControl\n");
    return r;
}

void NdisFilterCleanup(TwFileObject* fo) {
    DbgTrace(kDbgInit, "NICDispatch IRP_MJ_CLEANUP\n");
    NdisFilter_StopShare(fo);
    if (TwFilterExtension* ext = FilterExtension()) EndSessionOf(ext, fo);
}

DWORD Hook_HandleIoControl(DWORD code, const std::uint8_t* in, DWORD inLen, std::uint8_t* out, DWORD outLen,
                           DWORD* bytes) {
    *bytes = 0;
    TwMiniportGlobal* g = Globals();
    TwFilterExtension* ext = FilterExtension();
    switch (code) {
        case IOCTL_NDIS_HOOK_GET_INFO: {
            if (outLen < 4) return STATUS_BUFFER_TOO_SMALL;
            const DWORD four = 4;
            std::memcpy(out, &four, 4);
            *bytes = 4;
            return STATUS_SUCCESS;
        }
        case IOCTL_NDIS_HOOK_DUMP_GLOBAL:
        case IOCTL_NDIS_FILTER_DUMP_DEVICE_EXTENSION:
            DumpMiniportGlobal();
            return code == IOCTL_NDIS_HOOK_DUMP_GLOBAL ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
        case IOCTL_NDIS_FILTER_END_DIAG: {
            if (ext != nullptr) ext->m_DiagInProgress.store(0);
            // The record's header is 40 bytes; its used length (at +28) counts the text after it.
            if (in == nullptr || inLen < 40 || outLen < 40) {
                DbgTrace(kDbgSupport, "Error: %d - %s\n", -1, "FILTER_ERROR_INVALID_ARGUMENT");
                return STATUS_SUCCESS;
            }
            std::int32_t used;
            std::memcpy(&used, in + 28, 4);
            if (used < 0) used = 0;
            const DWORD room = (inLen < outLen ? inLen : outLen) - 40;
            *bytes = 40 + (static_cast<DWORD>(used) < room ? static_cast<DWORD>(used) : room);
            return STATUS_SUCCESS;
        }
        case IOCTL_NDIS_HOOK_SET_VALUE:
            if (inLen == 4 && g != nullptr) std::memcpy(&g->m_SetValue, in, 4);
            return STATUS_NOT_SUPPORTED;
        case IOCTL_NDIS_FILTER_GET_DBGFLAG:
            if (g != nullptr && !g->m_RegistryPath.empty()) {
                g->m_Work.Queue([] {
                    if (TwMiniportGlobal* gg = Globals()) {
                        SetDebugFlags(Filter_GetGlobalDebugFlag(gg->m_RegistryPath.c_str(), DebugFlags()));
                    }
                });
            }
            return STATUS_NOT_SUPPORTED;
        case IOCTL_NDIS_FILTER_START_CAPTURE:
            if (ext != nullptr) ext->m_CaptureFlag.store(1);
            return STATUS_SUCCESS;
        case IOCTL_NDIS_FILTER_STOP_CAPTURE:
            if (ext != nullptr) ext->m_CaptureFlag.store(0);
            return STATUS_SUCCESS;
        default: return STATUS_NOT_SUPPORTED;
    }
}

}  // namespace olvane
