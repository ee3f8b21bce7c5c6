// The ring's control side: who owns the mapped block, and the producer paths into the output
// ring. The block is handed to its owner as a descriptor by the control device; the address the
// owner asked for is only recorded.
#include <cstring>

#include "filter_core.h"
#include "trace.h"

namespace olvane {

bool RingServesSession(const TwFilterExtension* ext) {
    const long long session = ext->m_SessionUid.load();
    if (session < 0) return true;
    // A session's frames are never kept for whoever takes the ring next.
    if (ext->m_FileObject.load() == 0) return false;
    const unsigned owner = ext->m_OwnerUid.load();
    return owner == 0 || session == static_cast<long long>(owner);
}

bool RingTakesOutput(const TwFilterExtension* ext) {
    // Without an open session nobody is there to read what the adapter sends: a frame kept now
    // would wait for whoever takes the ring next (a member, in the window between a client's
    // death and the service restoring its routes).
    return ext->m_SessionUid.load() >= 0 && RingServesSession(ext);
}

void EndSessionOf(TwFilterExtension* ext, const TwFileObject* fo) {
    std::lock_guard<std::mutex> lock(ext->m_SessionLock);
    if (fo->id == 0 || ext->m_SessionFo != fo->id) return;
    ext->m_SessionFo = 0;
    ext->m_SessionUid.store(-1);
}

bool NdisFilter_StartShare(TwFileObject* fo, std::uint64_t requestedAddress, std::uint64_t* sharedAddress) {
    TwFilterExtension* ext = FilterExtension();
    std::shared_ptr<TwSharedRing> ring = ext != nullptr ? ext->Ring() : nullptr;
    if (!ring) {
        DbgTrace(kDbgInit, "MappedMemory is not allocated\n");
        return false;
    }
    std::uint64_t expected = 0;
    if (!ext->m_FileObject.compare_exchange_strong(expected, fo->id)) {
        DbgTrace(kDbgInit, "SharedMemory is opened by another FileObject 0x%X\n",
                 static_cast<unsigned>(expected));
        return false;
    }
    ext->m_OwnerUid.store(fo->uid);
    const long long session = ext->m_SessionUid.load();
    if (session < 0 || (fo->uid != 0 && session != static_cast<long long>(fo->uid))) {
        // No session is open, or another user's is (its client died, say): whatever the ring
        // kept is not for this owner, who starts on a fresh block.
        NdisFilter_RenewRing(ext);
        ring = ext->Ring();
        if (!ring) {
            ext->m_FileObject.store(0);
            return false;
        }
    }
    ext->m_UserAddressRequest.store(static_cast<std::uint32_t>(requestedAddress));
    ring->SetUserAddress(requestedAddress);
    DbgTrace(kDbgInit, "UserMode SharedMemory = 0x%llx\n", static_cast<unsigned long long>(requestedAddress));
    DbgTrace(kDbgInit, "MappedMemory mapped to FileObject 0x%llx as 0x%llx\n",
             static_cast<unsigned long long>(fo->id), static_cast<unsigned long long>(requestedAddress));
    *sharedAddress = requestedAddress + ring->SharedOffset();
    return true;
}

void NdisFilter_RenewRing(TwFilterExtension* ext) {
    std::shared_ptr<TwSharedRing> fresh;
    {
        std::lock_guard<std::mutex> lock(ext->m_RingPtrLock);
        if (!ext->m_CurrentRing) return;  // the driver runs without a ring
        fresh = TwSharedRing::Create(ext->m_CurrentRing->Layout());
        if (!fresh) DbgPrint("ExAllocatePoolWithTag fails\n");
        ext->m_CurrentRing.swap(fresh);
    }
    SetRingEvent(ext);  // the ring thread may sleep on the old ring's doorbell
    // The old block goes when its last user lets go of it (here, normally).
}

void NdisFilter_StopShare(TwFileObject* fo) {
    TwFilterExtension* ext = FilterExtension();
    if (ext == nullptr || !ext->Ring()) {
        DbgTrace(kDbgInit, "MappedMemory is not allocated\n");
        return;
    }
    std::uint64_t expected = fo->id;
    if (fo->id != 0 && ext->m_FileObject.load() == fo->id) {
        // The block the owner mapped is retired before anyone else can take the ring: it keeps
        // its mapping (we cannot unmap another process), but nothing reads or writes it again.
        NdisFilter_RenewRing(ext);
        ext->m_FileObject.compare_exchange_strong(expected, 0);
        DbgTrace(kDbgInit, "SharedMemory is released by FileObject 0x%llx\n",
                 static_cast<unsigned long long>(fo->id));
    } else {
        DbgTrace(kDbgInit, "SharedMemory is not opened by FileObject 0x%llx\n",
                 static_cast<unsigned long long>(fo->id));
    }
}

DWORD NdisFilter_ReadShare(TwFileObject* fo) {
    TwFilterExtension* ext = FilterExtension();
    if (ext == nullptr || fo->id == 0 || ext->m_FileObject.load() != fo->id) {
        DbgTrace(kDbgRing, "SharedMemory is not opened by FileObject 0x%llx\n",
                 static_cast<unsigned long long>(fo->id));
        return STATUS_UNSUCCESSFUL;
    }
    std::lock_guard<std::mutex> lock(ext->m_ReadRequestLock);
    const std::shared_ptr<TwSharedRing> ring = ext->Ring();
    if (!ring || !ring->OutputEmpty()) return STATUS_SUCCESS;
    return STATUS_UNSUCCESSFUL;
}

DWORD NdisFilter_WriteShare(TwFileObject* fo) {
    TwFilterExtension* ext = FilterExtension();
    if (ext == nullptr || fo->id == 0 || ext->m_FileObject.load() != fo->id) {
        DbgTrace(kDbgRing, "SharedMemory is not opened by FileObject 0x%llx\n",
                 static_cast<unsigned long long>(fo->id));
        return STATUS_UNSUCCESSFUL;
    }
    SetRingEvent(ext);
    return STATUS_SUCCESS;
}

bool NdisFilter_OutputRingHasRoom() {
    TwFilterExtension* ext = FilterExtension();
    if (ext == nullptr || ext->m_FileObject.load() == 0 || ext->m_bStopShare.load()) return true;
    // A ring that takes no frames (no session, or not the session's) is never waited for: its
    // holder may never read it, and what the adapter sends is dropped anyway.
    if (!RingTakesOutput(ext)) return true;
    const std::shared_ptr<TwSharedRing> ring = ext->Ring();
    return !ring || ring->OutputHasRoom();
}

void NdisFilter_CountOutputWait() {
    TwFilterExtension* ext = FilterExtension();
    const std::shared_ptr<TwSharedRing> ring = ext != nullptr ? ext->Ring() : nullptr;
    if (ring) ring->Counters().outputWaits.fetch_add(1, std::memory_order_relaxed);
}

bool NdisFilter_WriteShareMemory(TwPacket* packet, bool complete) {
    TwFilterExtension* ext = FilterExtension();
    const std::shared_ptr<TwSharedRing> ring = ext != nullptr ? ext->Ring() : nullptr;
    if (!ring || ext->m_bStopShare.load()) {
        DbgTrace(kDbgRing, "IRQL=%d, I/O shared memory is not initialized\n", 0);
        DbgTrace(kDbgRing, "Leave NdisFilter_WriteShareMemory(), fails, IRQL=%d\n", 0);
        return false;
    }
    if (packet->m_DataLength > TW_MAX_FRAME) return false;
    if (!RingTakesOutput(ext)) {
        DbgTrace(kDbgRing, "NdisFilter_WriteShareMemory: no session, or not its ring: frame dropped\n");
        ring->Counters().outputNotSession.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    CountTestPacket(packet, 2);
    RingRecord rec;
    if (Filter_AdapterToId(packet->m_Adapter, &rec.adapterId) != FILTER_STATUS_SUCCESS) {
        DbgTrace(kDbgRing, "Err: Filter_AdapterToId return failure.\n");
        return false;
    }
    rec.direction = packet->m_Direction;
    rec.length = packet->m_DataLength;
    rec.packetFlags = packet->m_PacketFlags;
    rec.reserved = packet->m_Reserved;
    rec.appCode = packet->m_AppCode;
    rec.appContext = packet->m_AppContext;
    std::memcpy(rec.appArea, packet->m_AppArea, sizeof(rec.appArea));
    const std::uint8_t* frame = packet->m_Frame != nullptr ? packet->m_Frame : packet->m_Data;
    if (frame + rec.length > packet->m_Data + kPacketDataSize) return false;
    DbgTrace(kDbgRing, "NdisFilter_WriteShareMemory, complete %d\n", complete ? 1 : 0);
    if (!ring->WriteOutput(rec, frame)) return false;
    CountTestPacket(packet, 3);
    return true;
}

bool NdisFilter_WriteSignalPacket(const FILTER_SIGNAL* signal) {
    TwFilterExtension* ext = FilterExtension();
    const std::shared_ptr<TwSharedRing> ring = ext != nullptr ? ext->Ring() : nullptr;
    if (!ring || ext->m_bStopShare.load()) {
        DbgTrace(kDbgRing, "IRQL=%d, I/O shared memory is not initialized\n", 0);
        return false;
    }
    if (!RingTakesOutput(ext)) return false;
    RingRecord rec;
    rec.direction = signal->m_Direction;
    rec.length = 0;
    rec.packetFlags = signal->m_PacketFlags;
    rec.reserved = signal->m_Reserved;
    rec.appCode = signal->m_AppCode;
    rec.appContext = signal->m_AppContext;
    std::memcpy(rec.appArea, signal->m_AppArea, sizeof(rec.appArea));
    return ring->WriteOutput(rec, nullptr, true);
}

}  // namespace olvane
