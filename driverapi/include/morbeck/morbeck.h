// CMorbeck: the user-mode door to the virtual-adapter driver (Olvane). It opens the driver's
// control device, wraps every control code as one method, maps the driver's shared packet ring
// and moves frames through it in either ring layout, and carries the adapter configuration and
// route synchronisation helpers.
//
// Results are int 1/0 (success/failure) unless stated. Nothing throws.
// Threads: one reader (Read/Free) and any number of writers (Write, serialised by the write lock)
// may work at once; control calls are serialised on the device by an internal lock. StopShare
// may come from any thread; a reader or writer already inside its lock finishes its block.
// While a ring is mapped, a watch thread notices the daemon's end (its connection closes): the
// driver no longer counts as loaded, Read and Write fail, and the adapter-close event given to
// SetAdapterCloseEvent is set here, so the caller's forced-logoff path runs. OpenFilterHandler
// then connects afresh.
// Records and control codes are those of platform/filter_device.h.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/clock.h"
#include "platform/event.h"
#include "platform/filter_device.h"
#include "platform/unique_fd.h"
#include "platform/network_facilities.h"
#include "platform/types.h"

// The block handed to callers: always the 32-bit view, 1676 bytes.
using _FWSHARED_MEMORY_BLOCK = _FWSHARED_MEMORY_BLOCK32;

// An output block where it lies in the shared ring, for ReadInPlace's callback: the head as it
// was read once (the length bounded by TW_MAX_FRAME) and the frame's bytes in the mapping. The
// daemon may write the frame bytes at any time, so a caller reads each byte it decides on once;
// `data` is valid only until the callback returns.
struct TW_RING_BLOCK_VIEW {
    DWORD adapterId;
    DWORD direction;
    DWORD length;
    DWORD packetFlags;
    DWORD reserved;
    DWORD appCode;
    DWORD appContext;
    BYTE appArea[TW_APP_AREA];
    const BYTE* data;
};
using TW_RING_BLOCK_VISITOR = void (*)(void* context, const TW_RING_BLOCK_VIEW& block);

// A caller's block as a view of it (the length as the block has it; `data` points into the block).
inline TW_RING_BLOCK_VIEW RingBlockView(const _FWSHARED_MEMORY_BLOCK& block) {
    TW_RING_BLOCK_VIEW view;
    view.adapterId = block.adapterId;
    view.direction = block.direction;
    view.length = block.length;
    view.packetFlags = block.packetFlags;
    view.reserved = block.reserved;
    view.appCode = block.appCode;
    view.appContext = block.appContext;
    std::memcpy(view.appArea, block.appArea, TW_APP_AREA);
    view.data = block.data;
    return view;
}

// A view's block into a caller's block, its frame copied (the view's length fits the frame area).
inline void CopyRingBlockView(const TW_RING_BLOCK_VIEW& view, _FWSHARED_MEMORY_BLOCK* block) {
    block->adapterId = view.adapterId;
    block->direction = view.direction;
    block->length = view.length;
    block->packetFlags = view.packetFlags;
    block->reserved = view.reserved;
    block->appCode = view.appCode;
    block->appContext = view.appContext;
    std::memcpy(block->appArea, view.appArea, TW_APP_AREA);
    std::memcpy(block->data, view.data, view.length);
}

// What GetPacketInfo finds in a block's frame (pointers into the block; null where absent).
struct _PACKET_INFO {
    WORD etherType;  // host order
    BYTE ipProtocol;
    const BYTE* frame;
    const BYTE* arp;
    const BYTE* ip;
    const BYTE* tcp;
    const BYTE* udp;
    const BYTE* icmp;
    const BYTE* dhcp;
    const BYTE* dns;
};

#pragma pack(push, 1)
struct _FWSHARED_MEMORY_INFO {
    DWORD outRead, outWrite, outCount;
    DWORD inRead, inWrite, inCount;
};
static_assert(sizeof(_FWSHARED_MEMORY_INFO) == 24);

// The driver's route entry (AddRouteEntry / DelRouteEntry input).
struct TW_DRIVER_ROUTE_ENTRY {
    DWORD destination;
    DWORD mask;
    DWORD nextHop;
    DWORD zero1;
    DWORD zero2;
    DWORD metric;
    DWORD reserved;
};
static_assert(sizeof(TW_DRIVER_ROUTE_ENTRY) == 28);
#pragma pack(pop)

// Completion record of a control call: its event is set when the call completed.
struct TW_OVERLAPPED {
    platform::Event* hEvent = nullptr;
};

// Record sizes of the codes this driver build answers "not supported"; their contents are the
// callers' and are passed through as they stand.
constexpr DWORD TW_ARP_ENTRY_SIZE = 18;
constexpr DWORD TW_ARP_PROXY_SIZE = 26;
constexpr DWORD TW_DHCP_ENTRY_SIZE = 42;
constexpr DWORD TW_DHCP_SERVER_SIZE = 24;
constexpr DWORD TW_FIREWALL_RULE_SIZE = 282;
constexpr DWORD TW_FIREWALL_ACTION_SIZE = 22;
constexpr DWORD TW_DNS_NAME_SIZE = 512;

class RouteSyncThread;

// The delays of the driver access object; the defaults are the service's.
struct MorbeckTiming {
    DWORD routeSettleMs = 5000;   // from a route or address change notice to the copy into the driver
    DWORD syncStopWaitMs = 6000;  // how long stopping the sync thread waits for it
};

class CMorbeck {
public:
    // `system`: the routes, adapters, addresses and resolver the configuration helpers change
    // (the machine's by default; they must outlive the object).
    explicit CMorbeck(const platform::NetworkFacilities& system = {});
    // The name is not used: the device is always "ndisfilter" in the runtime folder.
    explicit CMorbeck(const char* deviceName, const platform::NetworkFacilities& system = {});
    // The delays run on `clock`, which must outlive the object.
    CMorbeck(const char* deviceName, const MorbeckTiming& timing,
             const platform::Clock& clock = platform::SystemClock(),
             const platform::NetworkFacilities& system = {});
    virtual ~CMorbeck();
    CMorbeck(const CMorbeck&) = delete;
    CMorbeck& operator=(const CMorbeck&) = delete;

    // Device. OpenFilterHandler always answers 1: callers test IsDriverLoaded.
    int OpenFilterHandler();
    int CloseFilterHandler();
    int IsDriverLoaded() const { return m_bDriverReady.load(); }
    // Sends one control code. `returned` null: the member count is used; `ov` null: the general
    // completion record. TRUE on success.
    BOOL DeviceIoControl(DWORD code, const void* in, DWORD inLen, void* out, DWORD outLen,
                         DWORD* returned = nullptr, TW_OVERLAPPED* ov = nullptr);
    DWORD GetBytesReturned() const { return m_dwBytesReturned; }
    int CancelIo();

    // Byte swaps (parenthesised: the C library may define these names as macros).
    static WORD(htons)(WORD v);
    static WORD(ntohs)(WORD v);
    static DWORD(htonl)(DWORD v);
    static DWORD(ntohl)(DWORD v);
    // Dotted text of a network-order address; needs len >= 16, else returns a shared empty text.
    static const char* inet_ntoa(DWORD address, char* out, int len);

    // Shared ring.
    void* GetFreeVirtualMem_X64();
    int StartShare();
    int StopShare();
    int StopFilterRead();
    int IsShareStarted() const;
    bool IsWideLayout() const { return m_bWide; }
    _FWSHARED_MEMORY_BLOCK* Read(int wait);
    int Write(void* adapter, _PACKET_DIRECTION direction, DWORD value, const char* packet, LONG length,
              int signal);
    int Write(const _FWSHARED_MEMORY_BLOCK* block, int signal);
    int Free(_FWSHARED_MEMORY_BLOCK* block);
    int GetSharedMemoryInfo(_FWSHARED_MEMORY_INFO* info);

    // The data path's ring calls: no allocation, no log line, no control round trip per frame.
    // ReadInto copies the next output block into the caller's block: 1, or 0 when the ring is
    // empty or not shared. WaitRingReadable sleeps until the driver rings the reader's doorbell
    // (it does so only while the ring's reader-sleeping word is set), WakeRingReader is called,
    // or `timeoutMs` passed on the object's clock: 1 when woken, 0 on time-out. WriteQuiet writes
    // one frame into the input ring without telling the driver: 1, or 0 when nothing was written
    // (a full ring, unlike Write, is reported, and the driver is told to drain it, so that the
    // caller can wait and write again instead of losing the frame); SignalInput tells it, by
    // its doorbell while its ring thread sleeps, or by the write code when the driver has none.
    int ReadInto(_FWSHARED_MEMORY_BLOCK* block);
    // ReadInto without the copy: hands the next output block to `visit` where it lies and only
    // then releases it to the driver (the read index moves on). The read lock is held throughout,
    // so the mapping stays while `visit` runs; `visit` may write into the input ring and make
    // control calls, but must not stop the share or read the ring. 1 when a block was visited.
    int ReadInPlace(TW_RING_BLOCK_VISITOR visit, void* context);
    int WaitRingReadable(DWORD timeoutMs);
    // 1 when WaitRingReadable sleeps on the driver's doorbell (the ring is shared with its
    // doorbells and the clock is real), so that only a frame or WakeRingReader ends it early;
    // 0 when it can only sleep out its time-out.
    int RingReaderIsRung();
    void WakeRingReader();
    int WriteQuiet(void* adapter, _PACKET_DIRECTION direction, const char* packet, LONG length);
    // WriteQuiet with the frame's source address (bytes 6..11) replaced by `source` in the ring's
    // block, not in `packet`; `length` must hold an Ethernet header (14 or more).
    int WriteQuiet(void* adapter, _PACKET_DIRECTION direction, const char* packet, LONG length,
                   const BYTE source[6]);
    int SignalInput();
    // 1 while the driver's ring thread has announced its sleep in the sleeping word (and so waits
    // for SignalInput's doorbell), else 0; for diagnostics and tests.
    int InputReaderSleeping();
    static int GetPacketInfo(const _FWSHARED_MEMORY_BLOCK* block, _PACKET_INFO* info);
    platform::Event* StopReadEvent() const { return m_hStopReadEvent.get(); }

    // Control codes.
    int GetVersion(_DriverVersion* version);
    int GetTcpipBoundAdaptersInfo(TW_TCPIP_INTERFACE_LIST* list);
    int GetEvent(void* event1036);
    int ClearEvent();
    int StartEthrLog();
    int StopEthrLog();
    int SetIPConfig(TW_IPCONFIG_REQUEST* config);
    int GetIPConfig(TW_IPCONFIG_REQUEST* config);
    int SetAdapterMediaStatus(TW_MEDIA_STATUS* status);
    int GetAdapterMediaStatus(TW_MEDIA_STATUS* status);
    int LoadDebugFlag();
    int SetAdapterPacketDump(TW_MEDIA_STATUS* dump);
    int GetAdapterPacketDump(TW_MEDIA_STATUS* dump);
    int GetAdapterHandleByMacAddress(const BYTE* mac, void** handle);
    int EnumOpenedAdapter();
    int BindAdaptersList();
    int AddArpEntry(const void* entry);
    int DelArpEntry(const void* entry);
    int ClearArpEntry();
    int AddArpProxy(const void* proxy);
    int DelArpProxy(const void* proxy);
    int ClearArpProxy();
    int AddDhcpEntry(const void* entry);
    int DelDhcpEntry(const void* entry);
    int ClearDhcpEntry();
    int AddDhcpServer(const void* server);
    int DelDhcpServer(const void* server);
    int ClearDhcpServer();
    int ClearDnsEntry();
    // The policy is a 36-byte head followed by `ruleCount` rules of 274 bytes.
    int AddFirewallPolicy(const void* policy, DWORD ruleCount);
    int DelFirewallPolicy(void* id);
    int AddFirewallRule(const void* rule);
    int DelFirewallRule(const void* rule);
    int ClearFirewallPolicy();
    // A NAT entry is 64 bytes when `count` < 2, else 44 + 20 x count.
    int AddNatEntry(const void* entry, DWORD count);
    int DelNatEntry(const void* entry);
    int ClearNatEntry();
    int AddRouteEntry(const TW_DRIVER_ROUTE_ENTRY* entry);
    int DelRouteEntry(const TW_DRIVER_ROUTE_ENTRY* entry);
    int ClearRouteEntry();
    int EnableFirewallEvent();
    int DisableFirewallEvent();
    int GetNatEntryCount(DWORD* count);
    int GetNatEntry(DWORD index, void* entry, DWORD size);
    int ClearNatStatistic(DWORD index, void* entry, DWORD size);
    int SetFirewallAction(const void* action);
    int GetFirewallAction(void* action);
    int FindDnsEntryByIp(DWORD ip, char* name512);
    int TestProxyInform(TW_TEST_PROXY_REQUEST* request);
    int TestProxyInformEnd();
    int SetAdapterCloseEvent(platform::Event* event);

    // Adapter configuration and route synchronisation.
    int SetAdapterIpConfig(const BYTE mac[6], TW_TCPIP_INTERFACE_LIST* list);
    int SetAdaptersIpConfig();
    // The resolver's name servers: remove `dns` from / add it to the resolver configuration
    // (platform/resolver.h) for the adapter that has `address` (network order). 1 when the
    // change was made, 0 when no adapter has the address or the resolver refused.
    int DelInterfaceDns(DWORD address, DWORD dns);
    int AddInterfaceDns(DWORD address, DWORD dns);
    // Configures the adapter with that MAC statically: its IPv4 addresses become `address`/`mask`,
    // its default route goes through `gateway` with metric 1 (none when 0), and the resolver's
    // name servers become dns1, dns2 (those not 0). The domain is not used. 1 when every step
    // worked.
    int ConfigureInterfaceInfo(const BYTE mac[6], DWORD address, DWORD mask, DWORD gateway, DWORD dns1,
                               DWORD dns2, const char* domain);
    int AddSystemRoute();
    // Copies the machine's route table into the driver (AddSystemRoute without the clear).
    int SyncSystemRoute();
    int StartRouteSyncThread();
    int StopRouteSyncThread();

    // Route type and protocol names used in the route logs.
    static const char* RouteTypeName(DWORD type);
    static const char* RouteProtoName(DWORD proto);

private:
    void Init();
    void CloseEvents();
    // One control code with fixed lengths; "bytes": the result also needs returned bytes.
    int Simple(DWORD code, const void* in, DWORD inLen, void* out, DWORD outLen, bool needBytes = false);
    // `quiet`: the data path's write, without the debugger line.
    // *written (when given): whether the block went in (the result is 1 for a full ring too).
    // `source` (when given): the frame's source address, put into the block in place of bytes 6..11.
    int WriteParts(const _FWSHARED_MEMORY_BLOCK32& head, const std::uint8_t* packet, int signal,
                   bool quiet = false, bool* written = nullptr, const BYTE* source = nullptr);
    void StartDriverWatch();
    void StopDriverWatch();
    void DriverWatch(platform::UniqueFd connection, int stopFd);

    std::atomic<int> m_bDriverReady{0};
    std::unique_ptr<platform::Event> m_hGeneralEvent;
    std::unique_ptr<platform::Event> m_hStopShareEvent;
    std::unique_ptr<platform::Event> m_hReadEvent;
    std::unique_ptr<platform::Event> m_hStopReadEvent;
    // WakeRingReader's; auto-reset, lives as long as the object (a reader may wait on it while
    // the handle is closed).
    std::unique_ptr<platform::Event> m_hRingWakeEvent = std::make_unique<platform::Event>(false, false);
    // The ring's doorbells (our copies of what START_SHARE brought) and the sleeping word. A
    // waiter keeps its own reference to the doorbells while it sleeps.
    struct RingBells {
        platform::UniqueFd output, input;
    };
    std::mutex m_BellLock;
    std::shared_ptr<RingBells> m_bells;
    std::atomic<std::uint8_t*> m_pSleepWord{nullptr};
    std::shared_ptr<RingBells> Bells();
    TW_OVERLAPPED m_GeneralOverlapped, m_StopShareOverlapped, m_ReadOverlapped;
    std::unique_ptr<platform::FilterDevice> m_hFileHandle;
    std::mutex m_DeviceLock;
    DWORD m_dwBytesReturned = 0;
    std::atomic<int> m_bStopped{1};
    std::mutex m_ReadLock;
    std::mutex m_WriteLock;
    std::atomic<std::uint8_t*> m_pSharedMemory{nullptr};  // ring headers, either layout
    bool m_bWide = true;
    std::size_t m_mappedLimit = 0;  // bytes from the ring headers to the end of the mapping
    int EditInterfaceDns(DWORD address, DWORD dns, bool add);

    platform::NetworkFacilities m_system;
    std::unique_ptr<RouteSyncThread> m_pRouteSync;
    // The daemon's end, as the watch thread saw it; cleared by a fresh OpenFilterHandler.
    std::atomic<int> m_bDriverGone{0};
    std::mutex m_WatchLock;
    std::thread m_watchThread;
    platform::UniqueFd m_watchStopFd;
    std::mutex m_CloseEventLock;
    std::unique_ptr<platform::Event> m_hAdapterCloseEvent;  // our own handle of the caller's event
    std::mutex m_RouteSyncLock;
    MorbeckTiming m_timing;
    const platform::Clock& m_clock = platform::SystemClock();
};
