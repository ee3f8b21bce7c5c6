// CMorbeck: the object, the device and the control-code wrappers.
#include "morbeck/morbeck.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "dailylog/shared_daily_log.h"
#include "morbeck_internal.h"
#include "platform/debug_output.h"
#include "platform/errors.h"
#include "route_sync_thread.h"

CMorbeck::CMorbeck(const platform::NetworkFacilities& system) : m_system(system) { Init(); }
CMorbeck::CMorbeck(const char*, const platform::NetworkFacilities& system) : m_system(system) { Init(); }
CMorbeck::CMorbeck(const char*, const MorbeckTiming& timing, const platform::Clock& clock,
                   const platform::NetworkFacilities& system)
    : m_system(system), m_timing(timing), m_clock(clock) {
    Init();
}

void CMorbeck::Init() {
    m_GeneralOverlapped = TW_OVERLAPPED{};
    m_StopShareOverlapped = TW_OVERLAPPED{};
    m_ReadOverlapped = TW_OVERLAPPED{};
}

CMorbeck::~CMorbeck() {
    StopRouteSyncThread();
    StopShare();
    CloseFilterHandler();
}

void CMorbeck::StartDriverWatch() {
    StopDriverWatch();
    std::lock_guard<std::mutex> w(m_WatchLock);
    platform::UniqueFd connection;
    {
        std::lock_guard<std::mutex> g(m_DeviceLock);
        // Our own descriptor of the connection: the handle may be closed while we watch.
        if (m_hFileHandle) connection.Reset(::fcntl(m_hFileHandle->ConnectionFd(), F_DUPFD_CLOEXEC, 0));
    }
    if (!connection) return;
    platform::UniqueFd stop(::eventfd(0, EFD_CLOEXEC));
    if (!stop) return;
    const int stopFd = stop.Get();
    m_watchStopFd = std::move(stop);
    m_watchThread = std::thread(
        [this, c = std::move(connection), stopFd]() mutable { DriverWatch(std::move(c), stopFd); });
}

void CMorbeck::StopDriverWatch() {
    std::lock_guard<std::mutex> w(m_WatchLock);
    if (!m_watchThread.joinable()) return;
    const std::uint64_t one = 1;
    (void)!::write(m_watchStopFd.Get(), &one, sizeof(one));
    m_watchThread.join();
    m_watchStopFd.Reset();
}

void CMorbeck::DriverWatch(platform::UniqueFd connection, int stopFd) {
    const int connectionFd = connection.Get();
    // No events asked of the connection: replies are read by the caller; only its hang-up (or an
    // error) is reported here.
    pollfd fds[2] = {{connectionFd, 0, 0}, {stopFd, POLLIN, 0}};
    for (;;) {
        const int n = ::poll(fds, 2, -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || fds[1].revents != 0) break;
        if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) == 0) continue;
        m_bDriverGone.store(1);
        m_bDriverReady.store(0);
        m_bStopped.store(1);
        TW_LOG(LOG_CLIENT_DATA, 5, "[DriverWatch] the driver's control device closed the connection");
        std::lock_guard<std::mutex> g(m_CloseEventLock);
        if (m_hAdapterCloseEvent) m_hAdapterCloseEvent->Set();
        break;
    }
}

int CMorbeck::OpenFilterHandler() {
    // A handle whose daemon has gone is of no use: it is dropped and the device opened again.
    if (m_bDriverGone.load() != 0) CloseFilterHandler();
    std::lock_guard<std::mutex> g(m_DeviceLock);
    if (m_hFileHandle) return 1;
    m_bDriverGone.store(0);
    const std::string path = platform::FilterDevicePath();
    platform::DebugPrintf("CMorbeck pszFullName %s", path.c_str());
    m_bDriverReady.store(0);
    m_hFileHandle = platform::FilterDevice::Open(path);
    TW_LOG(LOG_CLIENT_DATA, 4, "[OpenFilterHandler] CreateFile, m_hFileHandle = %d", m_hFileHandle ? 1 : -1);
    Init();
    if (!m_hFileHandle) {
        TW_LOG(LOG_CLIENT_DATA, 5, "[OpenFilterHandler] fail, lasterror=%d",
               static_cast<int>(platform::GetLastError()));
        return 1;
    }
    m_hGeneralEvent = std::make_unique<platform::Event>(true, false);
    m_hStopShareEvent = std::make_unique<platform::Event>(true, false);
    m_hReadEvent = std::make_unique<platform::Event>(true, false);
    m_hStopReadEvent = std::make_unique<platform::Event>(true, true);
    m_GeneralOverlapped.hEvent = m_hGeneralEvent.get();
    m_StopShareOverlapped.hEvent = m_hStopShareEvent.get();
    m_ReadOverlapped.hEvent = m_hReadEvent.get();
    if (m_hGeneralEvent->Valid() && m_hStopShareEvent->Valid() && m_hReadEvent->Valid() &&
        m_hStopReadEvent->Valid()) {
        m_bDriverReady.store(1);
    }
    return 1;
}

void CMorbeck::CloseEvents() {
    m_GeneralOverlapped = m_StopShareOverlapped = m_ReadOverlapped = TW_OVERLAPPED{};
    m_hGeneralEvent.reset();
    m_hStopShareEvent.reset();
    m_hReadEvent.reset();
    m_hStopReadEvent.reset();
}

int CMorbeck::CloseFilterHandler() {
    StopFilterRead();
    StopShare();
    // Readers and writers leave their locks before the mapping goes away with the handle.
    std::lock_guard<std::mutex> r(m_ReadLock);
    std::lock_guard<std::mutex> w(m_WriteLock);
    std::lock_guard<std::mutex> g(m_DeviceLock);
    if (m_hFileHandle) {
        m_hFileHandle.reset();
        TW_LOG(LOG_CLIENT_DATA, 4, "[CloseFilterHandler] CloseHandle, m_hFileHandle = INVALID_HANDLE_VALUE");
    }
    m_bDriverReady.store(0);
    CloseEvents();
    return 1;
}

BOOL CMorbeck::DeviceIoControl(DWORD code, const void* in, DWORD inLen, void* out, DWORD outLen,
                               DWORD* returned, TW_OVERLAPPED* ov) {
    std::lock_guard<std::mutex> g(m_DeviceLock);
    if (!m_hFileHandle) {
        TW_LOG(LOG_CLIENT_DATA, 5, "[DeviceIoControl] m_hFileHandle == INVALID_HANDLE_VALUE");
        return FALSE;
    }
    DWORD* count = returned != nullptr ? returned : &m_dwBytesReturned;
    TW_OVERLAPPED* done = ov != nullptr ? ov : &m_GeneralOverlapped;
    const BOOL ok = m_hFileHandle->DeviceIoControl(code, in, inLen, out, outLen, count);
    // The call completes before it returns; its completion record says so.
    if (done->hEvent != nullptr) done->hEvent->Set();
    if (!ok && code != IOCTL_NDIS_FILTER_READ_SHARE) {
        TW_LOG(LOG_CLIENT_DATA, 5,
               "[DeviceIoControl]Ret=%d, dwService=0x%x, BuffOut=%p, size =%d, *SizeRet =%d, lasterror=%d",
               ok, code, out, static_cast<int>(outLen), static_cast<int>(*count),
               static_cast<int>(platform::GetLastError()));
    }
    return ok;
}

int CMorbeck::CancelIo() {
    if (m_hReadEvent) m_hReadEvent->Set();
    if (m_hStopShareEvent) m_hStopShareEvent->Set();
    if (m_hGeneralEvent) m_hGeneralEvent->Set();
    return 1;
}

WORD(CMorbeck::htons)(WORD v) { return static_cast<WORD>((v >> 8) | (v << 8)); }
WORD(CMorbeck::ntohs)(WORD v) { return static_cast<WORD>((v >> 8) | (v << 8)); }
DWORD(CMorbeck::htonl)(DWORD v) { return __builtin_bswap32(v); }
DWORD(CMorbeck::ntohl)(DWORD v) { return __builtin_bswap32(v); }

const char* CMorbeck::inet_ntoa(DWORD address, char* out, int len) {
    static const char kEmpty[1] = "";
    if (out == nullptr || len < 16) return kEmpty;
    const auto* b = reinterpret_cast<const BYTE*>(&address);
    std::snprintf(out, static_cast<size_t>(len), "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return out;
}

int CMorbeck::Simple(DWORD code, const void* in, DWORD inLen, void* out, DWORD outLen, bool needBytes) {
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(code, in, inLen, out, outLen, &returned, nullptr);
    if (!ok) return 0;
    return (!needBytes || returned > 0) ? 1 : 0;
}

int CMorbeck::GetVersion(_DriverVersion* v) {
    return v != nullptr ? Simple(IOCTL_NDIS_FILTER_GET_VERSION, nullptr, 0, v, 2, true) : 0;
}
int CMorbeck::GetTcpipBoundAdaptersInfo(TW_TCPIP_INTERFACE_LIST* list) {
    if (list == nullptr) return 0;
    return Simple(IOCTL_NDIS_FILTER_GET_TCPIP_INTERFACES, list, sizeof(*list), list, sizeof(*list), true);
}
int CMorbeck::GetEvent(void* e) {
    return e != nullptr ? Simple(IOCTL_NDIS_FILTER_GET_EVENT, e, 1036, e, 1036, true) : 0;
}
int CMorbeck::ClearEvent() { return Simple(IOCTL_NDIS_FILTER_CLEAR_EVENT, nullptr, 0, nullptr, 0); }
int CMorbeck::StartEthrLog() { return Simple(IOCTL_NDIS_FILTER_START_ETHRLOG, nullptr, 0, nullptr, 0); }
int CMorbeck::StopEthrLog() { return Simple(IOCTL_NDIS_FILTER_STOP_ETHRLOG, nullptr, 0, nullptr, 0); }
int CMorbeck::SetIPConfig(TW_IPCONFIG_REQUEST* c) {
    return c != nullptr ? Simple(IOCTL_NDIS_FILTER_SET_IPCONFIG, c, sizeof(*c), nullptr, 0) : 0;
}
int CMorbeck::GetIPConfig(TW_IPCONFIG_REQUEST* c) {
    return c != nullptr ? Simple(IOCTL_NDIS_FILTER_GET_IPCONFIG, c, sizeof(*c), c, sizeof(*c)) : 0;
}
int CMorbeck::SetAdapterMediaStatus(TW_MEDIA_STATUS* s) {
    return s != nullptr ? Simple(IOCTL_NDIS_FILTER_SET_MEDIA_STATUS, s, 7, nullptr, 0) : 0;
}
int CMorbeck::GetAdapterMediaStatus(TW_MEDIA_STATUS* s) {
    return s != nullptr ? Simple(IOCTL_NDIS_FILTER_GET_MEDIA_STATUS, s, 7, s, 7) : 0;
}
int CMorbeck::LoadDebugFlag() { return Simple(IOCTL_NDIS_FILTER_GET_DBGFLAG, nullptr, 0, nullptr, 0); }
int CMorbeck::SetAdapterPacketDump(TW_MEDIA_STATUS* d) {
    return d != nullptr ? Simple(IOCTL_NDIS_FILTER_SET_PACKET_DUMP, d, 7, nullptr, 0) : 0;
}
int CMorbeck::GetAdapterPacketDump(TW_MEDIA_STATUS* d) {
    return d != nullptr ? Simple(IOCTL_NDIS_FILTER_GET_PACKET_DUMP, d, 7, d, 7) : 0;
}

int CMorbeck::GetAdapterHandleByMacAddress(const BYTE* mac, void** handle) {
    if (mac == nullptr || handle == nullptr) return 0;
    TW_ADAPTER_BY_MAC rec{};
    std::memcpy(rec.mac, mac, 6);
    DWORD returned = 0;
    if (!DeviceIoControl(IOCTL_NDIS_FILTER_GET_ADAPTER, &rec, sizeof(rec), &rec, sizeof(rec), &returned,
                         nullptr)) {
        TW_LOG(LOG_CLIENT_DATA, 5,
               "[GetAdapterHandleByMacAddress] GetAdapterHandleByMacAddress DeviceIoControl Failed, %d.",
               static_cast<int>(platform::GetLastError()));
        return 0;
    }
    TW_LOG(LOG_CLIENT_DATA, 4,
           "[GetAdapterHandleByMacAddress] GetAdapterHandleByMacAddress DeviceIoControl success!");
    DWORD id = 0;
    std::memcpy(&id, reinterpret_cast<const BYTE*>(&rec) + 6, 4);
    *handle = reinterpret_cast<void*>(static_cast<std::uintptr_t>(id));
    return 1;
}

int CMorbeck::EnumOpenedAdapter() {
    TW_LOG(LOG_CLIENT_DATA, 4, "[EnumOpenedAdapter] enter EnumOpenedAdapter");
    if (Simple(IOCTL_NDIS_FILTER_ENUM_ADAPTER, nullptr, 0, nullptr, 0) == 1) return 1;
    TW_LOG(LOG_CLIENT_DATA, 5, "[EnumOpenedAdapter] EnumOpenedAdapter DeviceIoControl Failed, %d.",
           static_cast<int>(platform::GetLastError()));
    return 0;
}

int CMorbeck::BindAdaptersList() {
    TW_LOG(LOG_CLIENT_DATA, 4, "[BindAdaptersList] enter BindAdaptersList");
    if (Simple(IOCTL_NDIS_FILTER_BIND_ADAPTERS, nullptr, 0, nullptr, 0) == 1) return 1;
    TW_LOG(LOG_CLIENT_DATA, 5, "[BindAdaptersList] BindAdaptersList DeviceIoControl Failed, %d.",
           static_cast<int>(platform::GetLastError()));
    return 0;
}

// The codes below are answered "not supported" by this driver build; callers treat their
// failure as harmless. Records are passed through with their fixed sizes.
int CMorbeck::AddArpEntry(const void* e) {
    return e ? Simple(0x800024b0, e, TW_ARP_ENTRY_SIZE, nullptr, 0) : 0;
}
int CMorbeck::DelArpEntry(const void* e) {
    return e ? Simple(0x800024b4, e, TW_ARP_ENTRY_SIZE, nullptr, 0) : 0;
}
int CMorbeck::ClearArpEntry() { return Simple(0x800024b8, nullptr, 0, nullptr, 0); }
int CMorbeck::AddArpProxy(const void* p) {
    return p ? Simple(0x800024bc, p, TW_ARP_PROXY_SIZE, nullptr, 0) : 0;
}
int CMorbeck::DelArpProxy(const void* p) {
    return p ? Simple(0x800024c0, p, TW_ARP_PROXY_SIZE, nullptr, 0) : 0;
}
int CMorbeck::ClearArpProxy() { return Simple(0x800024c4, nullptr, 0, nullptr, 0); }
int CMorbeck::AddDhcpEntry(const void* e) {
    if (e == nullptr) return 0;
    if (Simple(0x800024c8, e, TW_DHCP_ENTRY_SIZE, nullptr, 0) == 1) return 1;
    TW_LOG(LOG_CLIENT_DATA, 5, "[AddDhcpEntry] DeviceIoControl lastError 0x%x", platform::GetLastError());
    return 0;
}
int CMorbeck::DelDhcpEntry(const void* e) {
    return e ? Simple(0x800024cc, e, TW_DHCP_ENTRY_SIZE, nullptr, 0) : 0;
}
int CMorbeck::ClearDhcpEntry() { return Simple(0x800024d0, nullptr, 0, nullptr, 0); }
int CMorbeck::AddDhcpServer(const void* s) {
    return s ? Simple(0x800024d4, s, TW_DHCP_SERVER_SIZE, nullptr, 0) : 0;
}
int CMorbeck::DelDhcpServer(const void* s) {
    return s ? Simple(0x800024d8, s, TW_DHCP_SERVER_SIZE, nullptr, 0) : 0;
}
int CMorbeck::ClearDhcpServer() { return Simple(0x800024dc, nullptr, 0, nullptr, 0); }
int CMorbeck::ClearDnsEntry() { return Simple(0x800024e0, nullptr, 0, nullptr, 0); }
int CMorbeck::AddFirewallPolicy(const void* policy, DWORD ruleCount) {
    if (policy == nullptr || ruleCount > 200) return 0;
    const DWORD size = ruleCount == 0 ? 310 : 36 + 274 * ruleCount;
    return Simple(0x800024e4, policy, size, nullptr, 0);
}
int CMorbeck::DelFirewallPolicy(void* id) {
    const DWORD value = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(id));
    return Simple(0x800024e8, &value, 4, nullptr, 0);
}
int CMorbeck::AddFirewallRule(const void* r) {
    return r ? Simple(0x800024ec, r, TW_FIREWALL_RULE_SIZE, nullptr, 0) : 0;
}
int CMorbeck::DelFirewallRule(const void* r) {
    return r ? Simple(0x800024f0, r, TW_FIREWALL_RULE_SIZE, nullptr, 0) : 0;
}
int CMorbeck::ClearFirewallPolicy() { return Simple(0x800024f4, nullptr, 0, nullptr, 0); }
int CMorbeck::AddNatEntry(const void* e, DWORD count) {
    if (e == nullptr || count > 1000) return 0;
    return Simple(0x800024f8, e, count < 2 ? 64 : 44 + 20 * count, nullptr, 0);
}
int CMorbeck::DelNatEntry(const void* e) { return e ? Simple(0x800024fc, e, 64, nullptr, 0) : 0; }
int CMorbeck::ClearNatEntry() { return Simple(0x80002500, nullptr, 0, nullptr, 0); }
int CMorbeck::AddRouteEntry(const TW_DRIVER_ROUTE_ENTRY* e) {
    return e ? Simple(0x80002504, e, 28, nullptr, 0) : 0;
}
int CMorbeck::DelRouteEntry(const TW_DRIVER_ROUTE_ENTRY* e) {
    return e ? Simple(0x80002508, e, 28, nullptr, 0) : 0;
}
int CMorbeck::ClearRouteEntry() { return Simple(0x8000250c, nullptr, 0, nullptr, 0); }
int CMorbeck::EnableFirewallEvent() { return Simple(0x80002510, nullptr, 0, nullptr, 0); }
int CMorbeck::DisableFirewallEvent() { return Simple(0x80002514, nullptr, 0, nullptr, 0); }
int CMorbeck::GetNatEntryCount(DWORD* count) { return count ? Simple(0x80002518, nullptr, 0, count, 4) : 0; }
int CMorbeck::GetNatEntry(DWORD index, void* entry, DWORD size) {
    return entry ? Simple(0x8000251c, &index, 4, entry, size) : 0;
}
int CMorbeck::ClearNatStatistic(DWORD index, void* entry, DWORD size) {
    return entry ? Simple(0x80002520, &index, 4, entry, size) : 0;
}
int CMorbeck::SetFirewallAction(const void* a) {
    return a ? Simple(0x80002524, a, TW_FIREWALL_ACTION_SIZE, nullptr, 0) : 0;
}
int CMorbeck::GetFirewallAction(void* a) {
    return a ? Simple(0x8000252c, a, TW_FIREWALL_ACTION_SIZE, a, TW_FIREWALL_ACTION_SIZE) : 0;
}
int CMorbeck::FindDnsEntryByIp(DWORD ip, char* name) {
    return name ? Simple(0x80002528, &ip, 4, name, TW_DNS_NAME_SIZE) : 0;
}

int CMorbeck::TestProxyInform(TW_TEST_PROXY_REQUEST* request) {
    if (request == nullptr) return 0;
    if (Simple(IOCTL_QEL_CLIENT_TEST_PROXY_DATA, request, 12, nullptr, 0) == 1) {
        TW_LOG(LOG_CLIENT_DATA, 4, "[TestProxyInform] succeed");
        return 1;
    }
    TW_LOG(LOG_CLIENT_DATA, 5, "[TestProxyInform] DeviceIoControl Failed, %d",
           static_cast<int>(platform::GetLastError()));
    return 0;
}

int CMorbeck::TestProxyInformEnd() {
    auto* data = static_cast<TW_TEST_PROXY_DATA*>(std::calloc(1, sizeof(TW_TEST_PROXY_DATA)));
    if (data == nullptr) {
        TW_LOG(LOG_CLIENT_DATA, 5, "[TestProxyInformEnd] malloc失败");
        return 0;
    }
    if (Simple(IOCTL_QEL_CLIENT_TEST_PROXY_END, nullptr, 0, data, sizeof(*data)) != 1) {
        TW_LOG(LOG_CLIENT_DATA, 5, "[TestProxyInformEnd] DeviceIoControl Failed, %d",
               static_cast<int>(platform::GetLastError()));
        std::free(data);
        return 0;
    }
    DWORD c[8];
    std::memcpy(c, reinterpret_cast<const BYTE*>(data) + 16, sizeof(c));
    TW_LOG(LOG_CLIENT_DATA, 4, "[TestProxyInformEnd] driver resip计数%d,%d,%d,%d; virip计数%d,%d,%d,%d",
           static_cast<int>(c[0]), static_cast<int>(c[1]), static_cast<int>(c[2]), static_cast<int>(c[3]),
           static_cast<int>(c[4]), static_cast<int>(c[5]), static_cast<int>(c[6]), static_cast<int>(c[7]));
    std::free(data);
    return 1;
}

int CMorbeck::SetAdapterCloseEvent(platform::Event* event) {
    if (event == nullptr || !event->Valid()) return 0;
    // The handle value of this system: the event's descriptor number, passed to the driver.
    const DWORD handle = static_cast<DWORD>(event->Fd());
    if (Simple(IOCTL_SET_ADAPTER_CLOSE_EVENT, &handle, 4, nullptr, 0) == 1) {
        // Kept here too: should the daemon go away, nobody would set the driver's copy.
        const int copy = ::fcntl(event->Fd(), F_DUPFD_CLOEXEC, 0);
        if (copy >= 0) {
            std::lock_guard<std::mutex> g(m_CloseEventLock);
            m_hAdapterCloseEvent = std::make_unique<platform::Event>(copy, true);
        }
        TW_LOG(LOG_CLIENT_DATA, 4, "[SetAdapterCloseEvent] succeed");
        return 1;
    }
    TW_LOG(LOG_CLIENT_DATA, 5, "[SetAdapterCloseEvent] DeviceIoControl Failed, %d",
           static_cast<int>(platform::GetLastError()));
    return 0;
}
