// The virtual-adapter driver's control device ("ndisfilter"): control codes, the records that
// cross it, the shared packet ring in both its layouts, and the client side that user mode
// opens. The driver daemon (Olvane) and the driver access library both include this header, so
// every record here is byte-exact and fixed-width.
//
// On Linux the device is an AF_UNIX SOCK_SEQPACKET socket in RuntimeDir(); one connection is one
// opened handle. The ring block travels as a memfd and the adapter-close event as an eventfd,
// both passed with SCM_RIGHTS.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/local_pipe.h"
#include "platform/types.h"
#include "platform/unique_fd.h"

// ---- Control codes: CTL_CODE(0x8000, function, METHOD_BUFFERED, FILE_ANY_ACCESS) ----
constexpr DWORD TwFilterCtlCode(DWORD function) { return 0x80000000u + (function << 2); }

constexpr DWORD IOCTL_NDIS_HOOK_GET_INFO = 0x80002000;
constexpr DWORD IOCTL_NDIS_HOOK_DUMP_GLOBAL = 0x80002004;
constexpr DWORD IOCTL_NDIS_FILTER_END_DIAG = 0x80002008;
constexpr DWORD IOCTL_NDIS_HOOK_SET_VALUE = 0x8000200c;
constexpr DWORD IOCTL_NDIS_FILTER_GET_VERSION = 0x80002320;
constexpr DWORD IOCTL_NDIS_FILTER_START_SHARE = 0x80002324;
constexpr DWORD IOCTL_NDIS_FILTER_STOP_SHARE = 0x80002328;
constexpr DWORD IOCTL_NDIS_FILTER_READ_SHARE = 0x8000232c;
constexpr DWORD IOCTL_NDIS_FILTER_WRITE_SHARE = 0x80002330;
constexpr DWORD IOCTL_NDIS_FILTER_GET_TCPIP_INTERFACES = 0x80002334;
constexpr DWORD IOCTL_NDIS_FILTER_GET_EVENT = 0x80002338;
constexpr DWORD IOCTL_NDIS_FILTER_CLEAR_EVENT = 0x8000233c;
constexpr DWORD IOCTL_NDIS_FILTER_START_ETHRLOG = 0x80002340;
constexpr DWORD IOCTL_NDIS_FILTER_STOP_ETHRLOG = 0x80002344;
constexpr DWORD IOCTL_NDIS_FILTER_SET_IPCONFIG = 0x80002348;
constexpr DWORD IOCTL_NDIS_FILTER_GET_IPCONFIG = 0x8000234c;
constexpr DWORD IOCTL_NDIS_FILTER_SET_MEDIA_STATUS = 0x80002350;
constexpr DWORD IOCTL_NDIS_FILTER_GET_MEDIA_STATUS = 0x80002354;
constexpr DWORD IOCTL_NDIS_FILTER_GET_DBGFLAG = 0x80002358;
constexpr DWORD IOCTL_NDIS_FILTER_SET_PACKET_DUMP = 0x8000235c;
constexpr DWORD IOCTL_NDIS_FILTER_GET_PACKET_DUMP = 0x80002360;
constexpr DWORD IOCTL_NDIS_FILTER_GET_ADAPTER = 0x80002364;
constexpr DWORD IOCTL_NDIS_FILTER_PUT_SHAREDMEMORYSIZE = 0x80002368;
constexpr DWORD IOCTL_NDIS_FILTER_DUMP_DEVICE_EXTENSION = 0x80002378;
constexpr DWORD IOCTL_NDIS_FILTER_SET_CONGESTION_CONTROL = 0x8000237c;
constexpr DWORD IOCTL_NDIS_FILTER_ENUM_ADAPTER = 0x80002384;
constexpr DWORD IOCTL_NDIS_FILTER_BIND_ADAPTERS = 0x80002388;
constexpr DWORD IOCTL_NDIS_FILTER_START_CAPTURE = 0x80002640;
constexpr DWORD IOCTL_NDIS_FILTER_STOP_CAPTURE = 0x80002644;
constexpr DWORD IOCTL_QEL_CLIENT_TEST_PROXY_DATA = 0x80002984;
constexpr DWORD IOCTL_QEL_CLIENT_TEST_PROXY_END = 0x80002988;
constexpr DWORD IOCTL_SET_ADAPTER_CLOSE_EVENT = 0x8000298c;
// This system's own code: the privileged service enables or restarts the virtual adapter with
// it. Every configured adapter whose device was deleted is made again. Root only; optional output
// u32: how many were made.
constexpr DWORD IOCTL_QEL_ENABLE_ADAPTER = 0x80002990;
// ARP, DHCP, DNS, firewall, NAT and route codes 0x800024b0..0x8000252c are sent by the access
// library but answered "not supported".
constexpr DWORD IOCTL_NDIS_FILTER_FIRST_UNSUPPORTED = 0x800024b0;
constexpr DWORD IOCTL_NDIS_FILTER_LAST_UNSUPPORTED = 0x8000252c;

static_assert(TwFilterCtlCode(0x8c8) == IOCTL_NDIS_FILTER_GET_VERSION);

// ---- Request statuses (NT and NDIS status values) ----
constexpr DWORD STATUS_SUCCESS = 0x00000000;
constexpr DWORD STATUS_UNSUCCESSFUL = 0xC0000001;
constexpr DWORD STATUS_NOT_SUPPORTED = 0xC00000BB;
constexpr DWORD STATUS_INVALID_PARAMETER = 0xC000000D;
constexpr DWORD STATUS_INVALID_PARAMETER_2 = 0xC00000F0;
constexpr DWORD STATUS_INVALID_HANDLE = 0xC0000008;
constexpr DWORD STATUS_ACCESS_DENIED = 0xC0000022;
constexpr DWORD STATUS_BUFFER_TOO_SMALL = 0xC0000023;
constexpr DWORD STATUS_NO_MEMORY = 0xC0000017;
constexpr DWORD STATUS_INTERNAL_ERROR = 0xC00000E5;
constexpr DWORD STATUS_INSUFFICIENT_RESOURCES = 0xC000009A;
constexpr DWORD NDIS_STATUS_ADAPTER_NOT_FOUND = 0xC0010006;

// ---- Records (little-endian, packed) ----
#pragma pack(push, 1)

enum _PACKET_DIRECTION : DWORD {
    PACKET_DIRECTION_INCOMING = 1,  // received on an adapter, travelling up
    PACKET_DIRECTION_OUTGOING = 2,  // sent by the stack, travelling down
    PACKET_DIRECTION_LOOPBACK = 3,  // handed straight back to user mode
};

struct _DriverVersion {
    BYTE major;  // 1
    BYTE minor;  // 0
};
static_assert(sizeof(_DriverVersion) == 2);

constexpr int TW_IPCONFIG_MAX = 8;

struct TW_IP_TRIPLE {
    DWORD IpAddress;  // addresses as they stand in IP headers
    DWORD Netmask;
    DWORD Broadcast;
};

struct TW_IPCONFIG {
    DWORD m_Reserved;  // kept and returned as given
    DWORD m_nIP;       // 0..8
    TW_IP_TRIPLE m_IP[TW_IPCONFIG_MAX];
    DWORD m_nGW;
    DWORD RouterAddr[TW_IPCONFIG_MAX];
    DWORD m_nDHCP;
    DWORD DhcpServer[TW_IPCONFIG_MAX];
    DWORD m_nDNS;
    DWORD DnsServer[TW_IPCONFIG_MAX];
    DWORD WinsServer1;
    DWORD WinsServer2;
};
static_assert(sizeof(TW_IPCONFIG) == 220);
static_assert(offsetof(TW_IPCONFIG, m_nGW) == 104 && offsetof(TW_IPCONFIG, m_nDHCP) == 140);
static_assert(offsetof(TW_IPCONFIG, m_nDNS) == 176 && offsetof(TW_IPCONFIG, WinsServer1) == 212);

// SET_IPCONFIG input and GET_IPCONFIG output.
struct TW_IPCONFIG_REQUEST {
    DWORD adapterId;
    TW_IPCONFIG config;
};
static_assert(sizeof(TW_IPCONFIG_REQUEST) == 224);

struct TW_MEDIA_STATUS {
    BYTE mac[6];
    BYTE state;  // 1 connected, 0 disconnected
};
static_assert(sizeof(TW_MEDIA_STATUS) == 7);

struct TW_ADAPTER_BY_MAC {  // GET_ADAPTER output
    BYTE mac[6];
    DWORD adapterId;
};
static_assert(sizeof(TW_ADAPTER_BY_MAC) == 10);

// 278 bytes of interface data per adapter of the TCP/IP interface list.
struct TW_INTERFACE_DATA {
    DWORD medium;  // NDIS medium number (0 = 802.3)
    WORD mtu;
    DWORD zero;
    BYTE permanentAddress[6];
    BYTE currentAddress[6];
    char name[256];  // device name without its "\DEVICE\" prefix, NUL-terminated
};
static_assert(sizeof(TW_INTERFACE_DATA) == 278);

struct TW_TCPIP_INTERFACE {
    DWORD adapterId;
    TW_INTERFACE_DATA data;
};
static_assert(sizeof(TW_TCPIP_INTERFACE) == 282);

constexpr int TW_MAX_BOUND_ADAPTERS = 32;

struct TW_TCPIP_INTERFACE_LIST {  // GET_TCPIP_INTERFACES output
    DWORD count;
    TW_TCPIP_INTERFACE entries[TW_MAX_BOUND_ADAPTERS];
};
static_assert(sizeof(TW_TCPIP_INTERFACE_LIST) == 9028);

struct TW_TEST_PROXY_DATA {
    DWORD enabled;
    DWORD resourceAddress;
    DWORD virtualAddress;
    DWORD udpPort;
    DWORD resourceCounters[4];
    DWORD virtualCounters[4];
};
static_assert(sizeof(TW_TEST_PROXY_DATA) == 48);

struct TW_TEST_PROXY_REQUEST {  // TEST_PROXY_DATA input
    DWORD udpPort;
    DWORD resourceAddress;
    DWORD virtualAddress;
};
static_assert(sizeof(TW_TEST_PROXY_REQUEST) == 12);

// ---- The shared packet ring ----
constexpr int TW_RING_BLOCK_COUNT = 512;
constexpr int TW_MAX_FRAME = 1514;   // one Ethernet frame without FCS
constexpr int TW_FRAME_AREA = 1520;  // room for it in a block
constexpr int TW_APP_AREA = 128;

// 64-bit layout (the driver on a 64-bit system).
struct TW_RING_HEADER64 {
    LONG m_iBlockSize;
    LONG m_iBlockCount;
    LONG m_iBaseOffset;  // first block, from shared area + header size
    std::uint64_t m_puBlockBase;
    std::uint64_t m_pkBlockBase;
    LONG m_iRead;   // consumer's index
    LONG m_iWrite;  // producer's index
    LONG m_nCount;
};
static_assert(sizeof(TW_RING_HEADER64) == 40);
static_assert(offsetof(TW_RING_HEADER64, m_iRead) == 28 && offsetof(TW_RING_HEADER64, m_nCount) == 36);

struct _FWSHARED_MEMORY_BLOCK64 {
    DWORD adapterId;  // ids start at 1
    DWORD zero;
    DWORD direction;  // _PACKET_DIRECTION
    DWORD length;
    DWORD packetFlags;
    DWORD reserved;
    DWORD appCode;
    std::uint64_t appContext;
    BYTE appArea[TW_APP_AREA];
    BYTE data[TW_FRAME_AREA];
};
static_assert(sizeof(_FWSHARED_MEMORY_BLOCK64) == 1684);
static_assert(offsetof(_FWSHARED_MEMORY_BLOCK64, appContext) == 28);
static_assert(offsetof(_FWSHARED_MEMORY_BLOCK64, data) == 164);

struct TW_SHARED_AREA64 {
    TW_RING_HEADER64 KernelModeOutput;  // driver writes, user mode reads
    TW_RING_HEADER64 KernelModeInput;   // user mode writes, driver reads
    _FWSHARED_MEMORY_BLOCK64 output[TW_RING_BLOCK_COUNT];
    _FWSHARED_MEMORY_BLOCK64 input[TW_RING_BLOCK_COUNT];
};
static_assert(sizeof(TW_SHARED_AREA64) == 1724496);
static_assert(offsetof(TW_SHARED_AREA64, input) == 862288);

struct TW_MAPPED_BLOCK64 {
    std::uint64_t m_pUserModeVirtualAddress;
    std::uint64_t m_pMdl;
    DWORD m_SharedSize;  // 1,724,496
    TW_SHARED_AREA64 shared;
    DWORD spare;
};
static_assert(sizeof(TW_MAPPED_BLOCK64) == 1724520);
static_assert(offsetof(TW_MAPPED_BLOCK64, shared) == 20);

// 32-bit layout (the driver and client on a 32-bit system): pointers are 32 bits.
struct TW_RING_HEADER32 {
    LONG m_iBlockSize;
    LONG m_iBlockCount;
    LONG m_iBaseOffset;
    DWORD m_puBlockBase;
    DWORD m_pkBlockBase;
    LONG m_iRead;
    LONG m_iWrite;
    LONG m_nCount;
};
static_assert(sizeof(TW_RING_HEADER32) == 32);
static_assert(offsetof(TW_RING_HEADER32, m_iRead) == 20);

struct _FWSHARED_MEMORY_BLOCK32 {
    DWORD adapterId;
    DWORD direction;
    DWORD length;
    DWORD packetFlags;
    DWORD reserved;
    DWORD appCode;
    DWORD appContext;
    BYTE appArea[TW_APP_AREA];
    BYTE data[TW_FRAME_AREA];
};
static_assert(sizeof(_FWSHARED_MEMORY_BLOCK32) == 1676);
static_assert(offsetof(_FWSHARED_MEMORY_BLOCK32, appArea) == 28);
static_assert(offsetof(_FWSHARED_MEMORY_BLOCK32, data) == 156);

struct TW_SHARED_AREA32 {
    TW_RING_HEADER32 KernelModeOutput;
    TW_RING_HEADER32 KernelModeInput;
    _FWSHARED_MEMORY_BLOCK32 output[TW_RING_BLOCK_COUNT];
    _FWSHARED_MEMORY_BLOCK32 input[TW_RING_BLOCK_COUNT];
};
static_assert(sizeof(TW_SHARED_AREA32) == 1716288);

struct TW_MAPPED_BLOCK32 {
    DWORD m_pUserModeVirtualAddress;
    DWORD m_pMdl;
    DWORD m_SharedSize;  // 1,716,288
    TW_SHARED_AREA32 shared;
    DWORD spare;
};
static_assert(sizeof(TW_MAPPED_BLOCK32) == 1716304);
static_assert(offsetof(TW_MAPPED_BLOCK32, shared) == 12);

// ---- The socket protocol of the device (one message each way per request) ----
constexpr DWORD TW_DEVICE_MAGIC = 0x44514C51;  // "QLQD"
constexpr DWORD TW_DEVICE_MAX_BUFFER = 65536;  // bound on input and output lengths

struct TW_DEVICE_REQUEST {
    DWORD magic;
    DWORD code;
    DWORD inLength;
    DWORD outLength;
    // followed by inLength bytes; SET_ADAPTER_CLOSE_EVENT carries the eventfd (SCM_RIGHTS)
};
static_assert(sizeof(TW_DEVICE_REQUEST) == 16);

struct TW_DEVICE_REPLY {
    DWORD magic;
    DWORD status;         // NT / NDIS status
    DWORD bytesReturned;  // never above the request's outLength
    DWORD reserved;
    // followed by bytesReturned bytes; START_SHARE carries the memfd of the mapped block
};
static_assert(sizeof(TW_DEVICE_REPLY) == 16);

#pragma pack(pop)

namespace platform {

// File name of the device socket inside RuntimeDir().
constexpr const char* kFilterDeviceName = "ndisfilter";
std::string FilterDevicePath();

// True when a status means the request failed (errors and warnings, as DeviceIoControl sees them).
inline bool FilterStatusFailed(DWORD status) { return (status & 0x80000000u) != 0; }
// The Windows error number DeviceIoControl leaves for a failed status.
DWORD WinErrorFromFilterStatus(DWORD status);

// One opened handle of the device. Not thread-safe: one request at a time per object (callers
// serialise, as they do with one synchronous handle).
class FilterDevice {
public:
    // Connects to the device; null when the daemon is absent (errno set; GetLastError 2).
    static std::unique_ptr<FilterDevice> Open(const std::string& path = FilterDevicePath());
    ~FilterDevice();
    FilterDevice(const FilterDevice&) = delete;
    FilterDevice& operator=(const FilterDevice&) = delete;

    // Sends one control code with the input and receives up to outLen bytes. Returns TRUE when
    // the status is a success; otherwise FALSE with SetLastError set. *returned (may be null)
    // receives the byte count. START_SHARE maps the received ring block into this process and
    // writes the address of the shared area into the output (4 bytes: mapped below 4 GiB).
    // SET_ADAPTER_CLOSE_EVENT passes the descriptor whose number the input holds (an eventfd).
    BOOL DeviceIoControl(DWORD code, const void* in, DWORD inLen, void* out, DWORD outLen, DWORD* returned);

    // The mapped ring block (from its first byte) and its size while sharing, else null / 0.
    void* MappedBlock() const { return m_mapped; }
    std::size_t MappedSize() const { return m_mappedSize; }
    // The ring block's descriptor received with START_SHARE (owned here), or -1.
    int SharedMemoryFd() const { return m_memFd.Get(); }
    // The ring's doorbells received with it (owned here), or -1 from a driver without them:
    // the output ring's (the driver rings it) and the input ring's (we ring it).
    int OutputDoorbellFd() const { return m_outBell.Get(); }
    int InputDoorbellFd() const { return m_inBell.Get(); }
    // The connection's descriptor (owned here), for noticing the daemon's end: it reports POLLHUP
    // once the daemon has gone.
    int ConnectionFd() const { return m_pipe.Get(); }
    void Close();

private:
    explicit FilterDevice(LocalPipeClient pipe) : m_pipe(std::move(pipe)) {}
    void Unmap();
    bool AdoptSharedBlock(UniqueFd& memFd, const void* in, DWORD inLen, void* out, DWORD bytes);

    LocalPipeClient m_pipe;
    UniqueFd m_memFd;
    UniqueFd m_outBell, m_inBell;
    void* m_mapped = nullptr;
    std::size_t m_mappedSize = 0;
    DWORD m_lastStatus = 0;
};

}  // namespace platform
