// The miniport half's global block (NDIS_HOOK_GLOBAL): the virtual adapters, the protocol side
// that opens them (and lists the real adapters), the adapter entries, the packet accounting, the
// hook table and the delayed work queue. One per driver, process-wide like the kernel's.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "adapter_entry.h"
#include "miniport.h"
#include "shared_ring.h"
#include "platform/clock.h"
#include "platform/timer_queue.h"

namespace olvane {

// A real (non-virtual) Ethernet link as rtnetlink lists it.
struct RealLink {
    int ifIndex = 0;
    std::string name;
    std::uint8_t mac[6] = {};
    std::uint32_t mtu = 1500;
    bool carrier = false;
};
using LinkLister = std::function<std::vector<RealLink>()>;

// Delays of the protocol side, shrinkable by tests (or run on a manual clock).
struct ProtocolTiming {
    std::uint32_t startDelayMs = 5000;     // after the first virtual adapter initialises
    std::uint32_t retryDelayMs = 5000;     // after an attempt that left adapters unbound
    std::uint32_t explicitStartMs = 1000;  // BIND_ADAPTERS, resume
};

struct DriverConfig {
    RingLayout ringLayout = RingLayout::k64;
    ProtocolTiming timing;
    NicFactory nicFactory;  // empty: the TAP device
    LinkLister linkLister;  // empty: no real adapters are listed
    std::string ifNamePrefix = "qelmini";
    const platform::Clock* clock = &platform::SystemClock();  // the timers' clock; outlives the driver
};

class TwMiniportGlobal {
public:
    explicit TwMiniportGlobal(DriverConfig config) : m_config(std::move(config)) {}

    DriverConfig m_config;
    std::string m_RegistryPath;
    std::uint32_t m_OsMajorVersion = 0;
    std::uint32_t m_OsMinorVersion = 0;

    std::mutex m_AdapterListLock;  // the virtual adapters
    std::vector<std::unique_ptr<TwVirtualAdapter>> m_Adapters;
    std::vector<std::unique_ptr<TwVirtualAdapter>> m_RetiredAdapters;  // halted, kept until unload
    int m_NextInstance = 0;
    std::mutex m_RecreateLock;  // one re-creation at a time

    std::shared_mutex m_BoundLock;  // bound entries and those awaiting destruction
    std::vector<AdapterEntry*> m_BoundAdapterList;
    std::vector<std::unique_ptr<AdapterEntry>> m_AllEntries;  // kept until unload: ids never dangle

    std::uint32_t m_NumberOfPacketDescriptors = 2048;
    std::uint32_t m_NumberOfBufferDescriptors = 4096;
    std::uint32_t m_ProtocolReservedLength = 2392;
    TwPacketTracker m_Packets;
    std::atomic<bool> m_bFreePacketPool{false};

    NdisHookApi m_NdisHookAPI{};
    bool m_ProtocolRegistered = false;
    std::mutex m_TimerLock;
    platform::TimerQueue::Id m_ProtocolStartTimer = 0;
    std::mutex m_RequestLock;
    std::vector<std::unique_ptr<TwNdisRequest>> m_Requests;
    std::uint32_t m_SetValue = 16;
    std::uint32_t m_Setting256 = 256;

    platform::TimerQueue m_Work{*m_config.clock};  // the delayed work queue and the timers
};

TwMiniportGlobal* Globals();
// The miniport's hook table while the driver runs, else null.
NdisHookApi* MiniportHooks();
bool AdapterListed(const TwVirtualAdapter* adapter);
// Virtual adapters that initialised (their TAP devices exist).
std::size_t VirtualAdapterCount();
// Writes out what every virtual adapter's device holds back to merge (see TwNicBackend::WriteHeld).
void FlushVirtualAdapterWrites();

// Makes every configured virtual adapter whose device has gone (its link was deleted and the
// adapter halted) again, with its instance's name and MAC, as enabling the adapter does. Returns
// how many were made, -1 when the driver does not run or its configuration cannot be read.
int RecreateVirtualAdapters();

// Driver entry: filter half, virtual adapters from the settings store, hook table, protocol
// timer. false (and nothing left running) when it fails.
bool DriverEntry(DriverConfig config);
// Unload: halts every adapter, unbinds, tears down both halves; every thread is joined.
void DriverUnload();

// Protocol side.
void QelMiniTryStartProtocol();
// (Re)arms the protocol-start timer: a bind attempt after `ms`.
void ArmProtocolTimer(std::uint32_t ms);
bool QelMiniProtoBindToAdapters();  // true when every virtual adapter is bound
void SyncRealAdapters();
// Halts one virtual adapter (link removed or unload): unbinds the protocol from it.
void MPHalt(TwVirtualAdapter* adapter);

// The second-level control-code handler installed in the hook table.
DWORD Hook_HandleIoControl(DWORD code, const std::uint8_t* in, DWORD inLen, std::uint8_t* out, DWORD outLen,
                           DWORD* bytes);
// Dump of this block ("NDIS_HOOK_GLOBAL").
void DumpMiniportGlobal();

}  // namespace olvane
