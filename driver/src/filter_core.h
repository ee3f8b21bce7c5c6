// The filter half: its global block (the filter device extension), the adapter callbacks that
// the miniport half calls through the hook table, packet routing and the two injected-packet
// threads, the adapter id table and the kernel side of the shared ring.
//
// One extension per driver (process-wide like the kernel's): created by NdisFilterInitialize,
// destroyed by NdisFilterDeInitialize. The exported Filter_* functions work on it.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <utility>
#include <vector>

#include "adapter_entry.h"
#include "platform/event.h"
#include "platform/unique_fd.h"
#include "shared_ring.h"

namespace olvane {

// An opened handle of the control device (a file object).
struct TwFileObject {
    std::uint64_t id = 0;
    int pid = 0;
    unsigned uid = 0;
};

struct TwEventHandler {
    void* m_hFilterDriver;
    void* m_pDriverContext;
    void (*m_pfEventProc)(void* driver, void* driverContext, std::uint32_t event, void* eventContext,
                          FILTER_ADAPTER adapter);
    void* m_pEventContext;
};

struct TwInjectQueue {
    std::mutex m_Lock;
    TwPacket* m_Head = nullptr;
    TwPacket* m_Tail = nullptr;
    std::condition_variable m_Event;
    bool m_Signalled = false;
    std::thread m_Thread;
};

struct TwFilterExtension {
    std::shared_mutex m_HookAPILock;
    NdisHookApi m_NdisHookAPI{};

    // Shared ring. The ring in use is replaced, never reset in place, when its owner gives it up:
    // a former owner keeps a mapping of a block nobody uses any more, so it sees nothing of the
    // next session and cannot inject into it. Users take a reference (Ring()) for as long as
    // they touch the block.
    std::shared_ptr<TwSharedRing> Ring() const {
        std::lock_guard<std::mutex> lock(m_RingPtrLock);
        return m_CurrentRing;
    }
    mutable std::mutex m_RingPtrLock;
    std::shared_ptr<TwSharedRing> m_CurrentRing;
    std::atomic<std::uint64_t> m_FileObject{0};  // owner's id, 0 when nobody shares
    std::atomic<unsigned> m_OwnerUid{0};         // owner's peer uid while m_FileObject is set
    // The user whose session the virtual adapter carries: who started the capture or connected
    // the adapter's media (-1: none), through the handle m_SessionFo. It ends when that handle
    // closes or that user (or root) stops the capture or disconnects; nobody else claims it
    // meanwhile. While it is open, frames cross the ring only if its owner is that user (or
    // root): a ring another member took first carries nothing of the session. While none is
    // open, nothing the adapter sends is kept in the ring.
    std::mutex m_SessionLock;
    std::atomic<long long> m_SessionUid{-1};
    std::uint64_t m_SessionFo = 0;  // under m_SessionLock
    std::atomic<bool> m_bStopShare{false};
    std::mutex m_ReadRequestLock;
    // Wakes the ring thread (WRITE_SHARE, a new ring, stop); beside it the ring thread sleeps on
    // the input ring's doorbell.
    platform::UniqueFd m_RingEventFd;
    std::thread m_ShareMemoryThread;
    std::atomic<std::uint32_t> m_UserAddressRequest{0};
    RingLayout m_Layout = RingLayout::k64;

    // Adapter list and event handlers, walked under one lock.
    std::recursive_mutex m_AdapterListLock;
    TwBoundAdapterList m_AdapterList{};
    void* m_pContextDriver[16] = {};
    // No operation registers adapter-event handlers (the filter API has no such call), so this
    // stays empty: the walks over it that announce adapter events and IP changes call nobody.
    std::vector<TwEventHandler> m_EventHandlerList;

    // Injected-packet queues and their threads.
    TwInjectQueue m_Inject[2];
    std::atomic<std::uint32_t> m_InjectedCount{0};
    std::atomic<std::uint32_t> InjectPacketMax{512};
    std::atomic<std::uint32_t> m_PendingPacketLimit{0};
    std::atomic<int> m_nNdisHelperWorkThread{0};

    std::atomic<std::uint32_t> m_DiagInProgress{0};
    std::atomic<std::uint32_t> m_CaptureFlag{0};
    std::mutex m_TestLock;
    std::atomic<bool> m_TestEnabled{false};  // mirrors m_TestProxy.enabled for the packet paths
    TW_TEST_PROXY_DATA m_TestProxy{};
    // Adapter-close events, one per user that set one: a caller replaces only its own user's
    // event (root any), so nobody can suppress another user's forced logoff. All are set.
    std::mutex m_CloseEventLock;
    std::vector<std::pair<unsigned, std::unique_ptr<platform::Event>>> m_pAdapterCloseEvents;

    // Adapter id table.
    std::shared_mutex m_IdLock;
    FILTER_ADAPTER m_IdAdapters[TW_MAX_BOUND_ADAPTERS] = {};
    std::uint32_t m_Ids[TW_MAX_BOUND_ADAPTERS] = {};
    std::uint32_t m_IdCount = 0;
    std::uint32_t m_NextId = 1;

    std::atomic<AdapterEntry*> m_MostRecentlyOpened{nullptr};
    std::uint64_t m_StartTimeMs = 0;
};

// Frames may cross the ring now: no user's session is open, or the ring's owner is root or the
// session's user. A ring nobody holds keeps nothing of an open session.
bool RingServesSession(const TwFilterExtension* ext);
// What the adapter sends may be queued for the ring's owner: a session is open and the ring
// serves it. Nothing waits in the ring for a holder yet to come.
bool RingTakesOutput(const TwFilterExtension* ext);
// The handle `fo` closes: a session claimed through it ends.
void EndSessionOf(TwFilterExtension* ext, const TwFileObject* fo);

// Gives the adapter's id back (a closed adapter): a later adapter may take its place in the table.
void ReleaseAdapterId(FILTER_ADAPTER adapter);

// The driver's extension, or null before initialisation / after unload.
TwFilterExtension* FilterExtension();

// Creates the extension, the ring (in `layout`) and the three threads. false when already made.
bool NdisFilterInitialize(RingLayout layout);
void NdisFilterDeInitialize();

void NdisFilterBindHookInterface(NdisHookApi* table);
void NdisFilterUnBindHookInterface(NdisHookApi* table);
bool HookBound(TwFilterExtension* ext);

// Adapter callbacks (hook table, filter side).
void NdisFilter_AdapterOpened(AdapterEntry* adapter);
void NdisFilter_AdapterStatusChanged(AdapterEntry* adapter, NDIS_STATUS status);
void NdisFilter_AdapterClosed(AdapterEntry* adapter);
void NdisFilter_FilterReceivedPacket(TwPacket* packet);
void NdisFilter_FilterSendPacket(TwPacket* packet);
void NdisFilter_EnumOpenedAdapter();

// Ring, kernel side.
bool NdisFilter_StartShare(TwFileObject* fo, std::uint64_t requestedAddress, std::uint64_t* sharedAddress);
void NdisFilter_StopShare(TwFileObject* fo);
DWORD NdisFilter_ReadShare(TwFileObject* fo);
DWORD NdisFilter_WriteShare(TwFileObject* fo);
bool NdisFilter_WriteShareMemory(TwPacket* packet, bool complete);
// False only while a client owns the ring and its output half is full: the adapter's reader then
// leaves frames in the TAP's queue instead of reading them only to drop them here.
bool NdisFilter_OutputRingHasRoom();
// True on the ring thread, which flushes the adapters' held writes whenever the ring runs dry.
bool NdisFilter_OnRingThread();
void NdisFilter_CountOutputWait();
bool NdisFilter_WriteSignalPacket(const FILTER_SIGNAL* signal);
// Puts a fresh ring in place of the current one (null when none can be made). Not while the
// ring is owned.
void NdisFilter_RenewRing(TwFilterExtension* ext);
void SetRingEvent(TwFilterExtension* ext);

// Queues a packet for the injected-packet threads.
void QueueInjectedPacket(TwFilterExtension* ext, TwPacket* packet);

// Test counters of the tunnel's UDP traffic (counter 1..3).
void CountTestPacket(TwPacket* packet, int counter);

}  // namespace olvane
