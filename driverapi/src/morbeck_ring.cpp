// CMorbeck: the shared packet ring in its 32-bit and 64-bit layouts.
//
// Both ring descriptors sit at the start of the shared area; the blocks of a ring start at
// (shared area + both descriptors + the ring's base offset). The output ring is read here and
// written by the driver; the input ring is written here and read by the driver. Each side owns
// one index per ring and publishes it only after the block is complete (write) or copied out
// (read).
#include <fcntl.h>
#include <poll.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "dailylog/shared_daily_log.h"
#include "morbeck/morbeck.h"
#include "morbeck_internal.h"
#include "platform/errors.h"
#include "platform/packet_ring.h"

namespace {

using morbeck::Field;
using platform::GeometryOf;
using platform::LoadIndex;
using platform::RingGeometry;
using platform::RingLayout;
using platform::RingRecord;
using platform::StoreIndex;

// Sign extension of a 32-bit handle value to the 64-bit layout's field.
std::uint64_t Widen(DWORD v) {
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int32_t>(v)));
}

// Block `index` of the ring at `header` (RingBlockAt's checks) and, in *count, the ring's block
// count as read once for the next index: the daemon may rewrite the header at any time, and a
// count read again after the check could be 0.
std::uint8_t* CheckedBlock(std::uint8_t* shared, std::size_t limit, RingLayout layout,
                           const std::uint8_t* header, std::int32_t index, std::int32_t* count) {
    *count = platform::ReadRingHeader(header).blockCount;
    if (*count < 2) return nullptr;
    return platform::RingBlockAt(shared, limit, layout, header, index);
}

// The ring's block at `src` as the callers' view, whatever the ring's layout: the head is read
// once and the frame left where it is.
void ViewBlock(RingLayout layout, const std::uint8_t* src, TW_RING_BLOCK_VIEW* view) {
    RingRecord rec;
    platform::ReadBlockHead(layout, src, &rec, &view->data);
    view->adapterId = rec.adapterId;
    view->direction = rec.direction;
    view->length = rec.length > TW_MAX_FRAME ? TW_MAX_FRAME : rec.length;
    view->packetFlags = rec.packetFlags;
    view->reserved = rec.reserved;
    view->appCode = rec.appCode;
    view->appContext = static_cast<DWORD>(rec.appContext);
    std::memcpy(view->appArea, rec.appArea, TW_APP_AREA);
}

// A view's block into the callers' 32-bit block.
void CopyOutView(void* block, const TW_RING_BLOCK_VIEW& view) {
    CopyRingBlockView(view, static_cast<_FWSHARED_MEMORY_BLOCK*>(block));
}

// The ring's block at `src` into the callers' 32-bit block, whatever the ring's layout.
void CopyOutBlock(RingLayout layout, const std::uint8_t* src, _FWSHARED_MEMORY_BLOCK* block) {
    TW_RING_BLOCK_VIEW view;
    ViewBlock(layout, src, &view);
    CopyOutView(block, view);
}

}  // namespace

void* CMorbeck::GetFreeVirtualMem_X64() {
    DWORD size = 0;
    DWORD returned = 0;
    if (!DeviceIoControl(IOCTL_NDIS_FILTER_PUT_SHAREDMEMORYSIZE, nullptr, 0, &size, 4, &returned, nullptr) ||
        size == 0) {
        return nullptr;
    }
    // The first gap of the address space (below 4 GiB, as the request carries 32 bits) that
    // holds the mapping.
    std::ifstream maps("/proc/self/maps");
    std::string line;
    std::uint64_t cursor = 0x10000;
    while (std::getline(maps, line)) {
        std::uint64_t lo = 0, hi = 0;
        char dash = 0;
        std::istringstream in(line);
        if (!(in >> std::hex >> lo >> dash >> hi)) continue;
        if (lo >= cursor && lo - cursor >= size) break;
        if (hi > cursor) cursor = hi;
    }
    if (cursor + size > 0xFFFFFFFFull) return nullptr;
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(cursor));
}

int CMorbeck::StartShare() {
    platform::DebugPrintf("[StartShare] enter");
    if (m_bDriverGone.load() != 0) return 0;
    if (m_pSharedMemory.load() != nullptr) return 1;
    // The ring layout is the driver's: its mapping size tells which one it uses.
    DWORD size = 0, returned = 0;
    DeviceIoControl(IOCTL_NDIS_FILTER_PUT_SHAREDMEMORYSIZE, nullptr, 0, &size, 4, &returned, nullptr);
    m_bWide = size != sizeof(TW_MAPPED_BLOCK32);
    std::uint64_t shared = 0;
    if (!m_bWide) {
        DWORD address = 0;
        if (!DeviceIoControl(IOCTL_NDIS_FILTER_START_SHARE, nullptr, 0, &address, 4, &returned, nullptr)) {
            TW_LOG(LOG_CLIENT_DATA, 5,
                   "[StartShare] DeviceIoControl IOCTL_NDIS_FILTER_START_SHARE  lastError 0x%x",
                   platform::GetLastError());
            return 0;
        }
        if (returned == 0) {
            TW_LOG(LOG_CLIENT_DATA, 5, "[StartShare]  cbBytesRet==0 ");
            return 0;
        }
        shared = address;
    } else {
        void* hint = GetFreeVirtualMem_X64();
        if (hint == nullptr) return 0;
        const DWORD address = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(hint));
        if (!DeviceIoControl(IOCTL_NDIS_FILTER_START_SHARE, &address, 4, &shared, 8, &returned, nullptr) ||
            returned < 8) {
            TW_LOG(LOG_CLIENT_DATA, 5,
                   "[StartShare] DeviceIoControl IOCTL_NDIS_FILTER_START_SHARE  lastError 0x%x",
                   platform::GetLastError());
            return 0;
        }
    }
    std::uint8_t* header = nullptr;
    std::uint8_t* sleepWord = nullptr;
    std::shared_ptr<RingBells> bells;
    {
        std::lock_guard<std::mutex> g(m_DeviceLock);
        if (!m_hFileHandle || m_hFileHandle->MappedBlock() == nullptr) return 0;
        auto* base = static_cast<std::uint8_t*>(m_hFileHandle->MappedBlock());
        header = reinterpret_cast<std::uint8_t*>(static_cast<std::uintptr_t>(shared));
        if (header < base || header >= base + m_hFileHandle->MappedSize()) return 0;
        m_mappedLimit = m_hFileHandle->MappedSize() - static_cast<std::size_t>(header - base);
        // A driver that hands over doorbells keeps its side of the sleeping word; without them
        // we poll as before.
        if (m_hFileHandle->OutputDoorbellFd() >= 0 && m_hFileHandle->InputDoorbellFd() >= 0) {
            bells = std::make_shared<RingBells>();
            bells->output.Reset(::fcntl(m_hFileHandle->OutputDoorbellFd(), F_DUPFD_CLOEXEC, 0));
            bells->input.Reset(::fcntl(m_hFileHandle->InputDoorbellFd(), F_DUPFD_CLOEXEC, 0));
            if (bells->output && bells->input) {
                sleepWord = platform::RingSleepWord(base, m_hFileHandle->MappedSize());
            } else {
                bells.reset();
            }
        }
    }
    const RingGeometry g = GeometryOf(m_bWide ? RingLayout::k64 : RingLayout::k32);
    if (m_mappedLimit < 2 * g.headerSize) return 0;
    for (std::size_t ring = 0; ring < 2; ++ring) {
        std::uint8_t* d = header + ring * g.headerSize;
        const std::uint64_t blocks = reinterpret_cast<std::uintptr_t>(header) + 2 * g.headerSize +
                                     static_cast<std::uint32_t>(platform::ReadRingHeader(d).baseOffset);
        // The user address of block 0; in the 64-bit layout the upper half stays 0 (below 4 GiB).
        std::memcpy(d + g.userBaseOff, &blocks, g.userBaseSize);
    }
    {
        std::lock_guard<std::mutex> b(m_BellLock);
        m_bells = std::move(bells);
    }
    m_pSleepWord.store(sleepWord);
    m_pSharedMemory.store(header);
    m_bStopped.store(0);
    StartDriverWatch();
    platform::DebugPrintf("[StartShare] succeed");
    return 1;
}

int CMorbeck::StopShare() {
    platform::DebugPrintf("[StopShare] enter");
    m_bStopped.store(1);
    // A reader or writer inside its lock finishes its block before the mapping can go.
    std::lock_guard<std::mutex> r(m_ReadLock);
    std::lock_guard<std::mutex> w(m_WriteLock);
    BOOL ok = FALSE;
    bool open;
    {
        std::lock_guard<std::mutex> g(m_DeviceLock);
        open = static_cast<bool>(m_hFileHandle);
    }
    if (open) {
        DWORD returned = 0;
        ok = DeviceIoControl(IOCTL_NDIS_FILTER_STOP_SHARE, nullptr, 0, nullptr, 0, &returned,
                             &m_StopShareOverlapped);
    }
    m_pSharedMemory.store(nullptr);
    m_pSleepWord.store(nullptr);
    {
        std::lock_guard<std::mutex> b(m_BellLock);
        m_bells.reset();  // a sleeping reader keeps its own reference until it wakes
    }
    WakeRingReader();
    StopDriverWatch();
    return ok ? 1 : 0;
}

int CMorbeck::StopFilterRead() {
    if (m_hStopReadEvent) m_hStopReadEvent->Set();
    return 1;
}

int CMorbeck::IsShareStarted() const {
    return (m_pSharedMemory.load() != nullptr && m_bStopped.load() == 0) ? 1 : 0;
}

_FWSHARED_MEMORY_BLOCK* CMorbeck::Read(int wait) {
    std::uint8_t* shared = m_pSharedMemory.load();
    if (shared == nullptr || m_bStopped.load() != 0) return nullptr;
    const RingLayout layout = m_bWide ? RingLayout::k64 : RingLayout::k32;
    const RingGeometry g = GeometryOf(layout);
    {
        std::lock_guard<std::mutex> lock(m_ReadLock);
        shared = m_pSharedMemory.load();
        if (shared == nullptr || m_bStopped.load() != 0) return nullptr;
        std::uint8_t* out = shared;
        const std::int32_t r = LoadIndex(out + g.readOff);
        const std::int32_t w = LoadIndex(out + g.writeOff);
        if (r != w) {
            platform::DebugPrintf("[CMorbeck::Read] _CHECK_SHARED_BLOCKS_ enter");
            std::int32_t count = 0;
            const std::uint8_t* src = CheckedBlock(shared, m_mappedLimit, layout, out, r, &count);
            if (src == nullptr) return nullptr;
            auto* block = static_cast<_FWSHARED_MEMORY_BLOCK*>(std::malloc(sizeof(_FWSHARED_MEMORY_BLOCK)));
            if (block == nullptr) {
                platform::DebugPrintf("[CMorbeck::Read] pBlock != NULL不成立 return NULL");
                return nullptr;
            }
            platform::DebugPrintf("[CMorbeck::Read] pBlock != NULL ");
            CopyOutBlock(layout, src, block);
            platform::DebugPrintf("[CMorbeck::Read] ReadLength=%d ", static_cast<int>(block->length));
            StoreIndex(out + g.readOff, (r + 1) % count);
            return block;
        }
    }
    if (wait != 1) return nullptr;
    // The driver's read request never waits: it completes at once, so there is nothing to wait
    // for here and the caller polls again.
    if (m_hReadEvent) m_hReadEvent->Reset();
    DWORD returned = 0;
    DeviceIoControl(IOCTL_NDIS_FILTER_READ_SHARE, nullptr, 0, nullptr, 0, &returned, &m_ReadOverlapped);
    return nullptr;
}

int CMorbeck::ReadInto(_FWSHARED_MEMORY_BLOCK* block) {
    return block == nullptr ? 0 : ReadInPlace(CopyOutView, block);
}

int CMorbeck::ReadInPlace(TW_RING_BLOCK_VISITOR visit, void* context) {
    if (visit == nullptr) return 0;
    std::uint8_t* shared = m_pSharedMemory.load(std::memory_order_acquire);
    if (shared == nullptr || m_bStopped.load(std::memory_order_relaxed) != 0) return 0;
    const RingLayout layout = m_bWide ? RingLayout::k64 : RingLayout::k32;
    const RingGeometry g = GeometryOf(layout);
    // Held until the block is released: StopShare and CloseFilterHandler take it before the
    // mapping goes.
    std::lock_guard<std::mutex> lock(m_ReadLock);
    shared = m_pSharedMemory.load();
    if (shared == nullptr || m_bStopped.load() != 0) return 0;
    const std::int32_t r = LoadIndex(shared + g.readOff);
    if (r == LoadIndex(shared + g.writeOff)) return 0;
    std::int32_t count = 0;
    const std::uint8_t* src = CheckedBlock(shared, m_mappedLimit, layout, shared, r, &count);
    if (src == nullptr) return 0;
    // RingBlockAt checked the whole block (head and frame area) lies in the mapping; the view's
    // length stays within the frame area.
    TW_RING_BLOCK_VIEW view;
    ViewBlock(layout, src, &view);
    visit(context, view);
    // The driver may write into the slot only once the index passed it.
    StoreIndex(shared + g.readOff, (r + 1) % count);
    return 1;
}

std::shared_ptr<CMorbeck::RingBells> CMorbeck::Bells() {
    std::lock_guard<std::mutex> b(m_BellLock);
    return m_bells;
}

int CMorbeck::WaitRingReadable(DWORD timeoutMs) {
    const std::shared_ptr<RingBells> bells = Bells();
    const int wakeFd = m_hRingWakeEvent->Fd();
    if (!bells || wakeFd < 0 || m_clock.Manual()) {
        return m_hRingWakeEvent->Wait(timeoutMs, m_clock) == platform::kWaitObject0 ? 1 : 0;
    }
    const RingGeometry g = GeometryOf(m_bWide ? RingLayout::k64 : RingLayout::k32);
    {
        // Under the read lock the mapping cannot go while we touch it.
        std::lock_guard<std::mutex> lock(m_ReadLock);
        std::uint8_t* shared = m_pSharedMemory.load();
        std::uint8_t* word = m_pSleepWord.load();
        if (shared == nullptr || word == nullptr || m_bStopped.load() != 0) return 0;
        platform::RingSetSleeping(word, platform::kRingOutputReaderSleeping);
        if (LoadIndex(shared + g.readOff) != LoadIndex(shared + g.writeOff)) {
            platform::RingClearSleeping(word, platform::kRingOutputReaderSleeping);
            return 1;
        }
    }
    pollfd p[2] = {{bells->output.Get(), POLLIN, 0}, {wakeFd, POLLIN, 0}};
    const int rc = ::poll(p, 2, timeoutMs == platform::kInfinite ? -1 : static_cast<int>(timeoutMs));
    // Drained only when rung (an unrung doorbell's read returns EAGAIN); a ring that comes after
    // the poll stays counted, and the next sleep sees it at once.
    if (rc > 0 && (p[0].revents & POLLIN) != 0) platform::DrainDoorbell(bells->output.Get());
    if (rc > 0 && (p[1].revents & POLLIN) != 0) m_hRingWakeEvent->Wait(0, m_clock);
    {
        std::lock_guard<std::mutex> lock(m_ReadLock);
        std::uint8_t* word = m_pSleepWord.load();
        if (word != nullptr) platform::RingClearSleeping(word, platform::kRingOutputReaderSleeping);
    }
    return rc > 0 ? 1 : 0;
}

void CMorbeck::WakeRingReader() { m_hRingWakeEvent->Set(); }

int CMorbeck::RingReaderIsRung() {
    return Bells() && m_hRingWakeEvent->Fd() >= 0 && !m_clock.Manual() ? 1 : 0;
}

int CMorbeck::WriteQuiet(void* adapter, _PACKET_DIRECTION direction, const char* packet, LONG length) {
    if (length < 0 || length > TW_MAX_FRAME || (length > 0 && packet == nullptr)) return 0;
    _FWSHARED_MEMORY_BLOCK32 head{};
    head.adapterId = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(adapter));
    head.direction = direction;
    head.length = static_cast<DWORD>(length);
    bool written = false;
    return WriteParts(head, reinterpret_cast<const std::uint8_t*>(packet), 0, true, &written) == 1 && written
               ? 1
               : 0;
}

int CMorbeck::WriteQuiet(void* adapter, _PACKET_DIRECTION direction, const char* packet, LONG length,
                         const BYTE source[6]) {
    if (length < 14 || length > TW_MAX_FRAME || packet == nullptr || source == nullptr) return 0;
    _FWSHARED_MEMORY_BLOCK32 head{};
    head.adapterId = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(adapter));
    head.direction = direction;
    head.length = static_cast<DWORD>(length);
    bool written = false;
    return WriteParts(head, reinterpret_cast<const std::uint8_t*>(packet), 0, true, &written, source) == 1 &&
                   written
               ? 1
               : 0;
}

int CMorbeck::SignalInput() {
    if (m_pSharedMemory.load() == nullptr) return 0;
    const std::shared_ptr<RingBells> bells = Bells();
    if (bells) {
        bool ring = false;
        {
            std::lock_guard<std::mutex> lock(m_WriteLock);
            std::uint8_t* word = m_pSleepWord.load();
            ring = word != nullptr && platform::RingTakeWakeUp(word, platform::kRingInputReaderSleeping);
        }
        if (ring) platform::RingDoorbell(bells->input.Get());
        return 1;
    }
    DWORD returned = 0;
    DeviceIoControl(IOCTL_NDIS_FILTER_WRITE_SHARE, nullptr, 0, nullptr, 0, &returned, nullptr);
    return 1;
}

int CMorbeck::InputReaderSleeping() {
    std::lock_guard<std::mutex> lock(m_WriteLock);
    std::uint8_t* word = m_pSleepWord.load();
    if (word == nullptr) return 0;
    return (__atomic_load_n(reinterpret_cast<const std::uint32_t*>(word), __ATOMIC_ACQUIRE) &
            platform::kRingInputReaderSleeping) != 0
               ? 1
               : 0;
}

int CMorbeck::Free(_FWSHARED_MEMORY_BLOCK* block) {
    if (block == nullptr) return 0;
    std::free(block);
    return 1;
}

int CMorbeck::Write(void* adapter, _PACKET_DIRECTION direction, DWORD value, const char* packet, LONG length,
                    int signal) {
    // The packet area holds one Ethernet frame; a longer or negative length is refused rather
    // than written past the block.
    if (length < 0 || length > TW_MAX_FRAME || (length > 0 && packet == nullptr)) return 0;
    _FWSHARED_MEMORY_BLOCK32 head{};
    head.adapterId = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(adapter));
    head.direction = direction;
    head.length = static_cast<DWORD>(length);
    head.packetFlags = value;
    return WriteParts(head, reinterpret_cast<const std::uint8_t*>(packet), signal);
}

int CMorbeck::Write(const _FWSHARED_MEMORY_BLOCK* block, int signal) {
    if (block == nullptr) return 0;
    const DWORD length = Field<DWORD>(reinterpret_cast<const std::uint8_t*>(block) + 8);
    if (length > TW_MAX_FRAME) return 0;
    return WriteParts(*block, block->data, signal);
}

// Writes the head and area of `head` and `head.length` bytes of `packet` into the input ring.
int CMorbeck::WriteParts(const _FWSHARED_MEMORY_BLOCK32& head, const std::uint8_t* packet, int signal,
                         bool quiet, bool* written, const BYTE* source) {
    std::uint8_t* shared = m_pSharedMemory.load();
    if (shared == nullptr || m_bStopped.load() != 0) return 0;
    const RingLayout layout = m_bWide ? RingLayout::k64 : RingLayout::k32;
    const RingGeometry g = GeometryOf(layout);
    RingRecord rec;
    rec.adapterId = head.adapterId;
    rec.direction = head.direction;
    rec.length = head.length;
    rec.packetFlags = head.packetFlags;
    rec.reserved = head.reserved;
    rec.appCode = head.appCode;
    std::memcpy(rec.appArea, head.appArea, TW_APP_AREA);
    if (m_bWide) {
        // Handle-sized fields are sign-extended, as a 32-bit caller's handle values are.
        rec.adapterIdHigh = static_cast<std::uint32_t>(Widen(head.adapterId) >> 32);
        rec.appContext = Widen(head.appContext);
    } else {
        rec.appContext = head.appContext;
    }
    bool fullNow;
    {
        std::lock_guard<std::mutex> lock(m_WriteLock);
        shared = m_pSharedMemory.load();
        if (shared == nullptr || m_bStopped.load() != 0) return 0;
        std::uint8_t* in = shared + g.headerSize;
        const std::int32_t w = LoadIndex(in + g.writeOff);
        const std::int32_t r = LoadIndex(in + g.readOff);
        std::int32_t count = 0;
        std::uint8_t* dst = CheckedBlock(shared, m_mappedLimit, layout, in, w, &count);
        if (dst == nullptr) return 0;
        const bool full = (w + 1) % count == r;
        fullNow = full;
        if (written != nullptr) *written = !full;
        if (!full) {
            platform::WriteBlock(layout, dst, rec, packet);
            // Before the index is published: the driver never sees the frame's own address.
            if (source != nullptr) std::memcpy(dst + g.dataOff + 6, source, 6);
            const std::int32_t n = Field<std::int32_t>(in + g.countOff) + 1;
            std::memcpy(in + g.countOff, &n, 4);
            if (!m_bWide && !quiet) {
                platform::DebugPrintf("[CMorbeck::Write] PacketSize=%d, m_pSharedMemory->uo.m_nCount=%d",
                                      static_cast<int>(rec.length), n);
            }
            const std::int32_t next = (w + 1) % count;
            StoreIndex(in + g.writeOff, next);
            fullNow = (next + 1) % count == LoadIndex(in + g.readOff);
        }
    }
    if (signal != 1 && !fullNow) return 1;
    if (!m_bWide) platform::DebugPrintf("[CMorbeck::Write] DeviceIoControl IOCTL_NDIS_FILTER_WRITE_SHARE");
    DWORD returned = 0;
    DeviceIoControl(IOCTL_NDIS_FILTER_WRITE_SHARE, nullptr, 0, nullptr, 0, &returned, nullptr);
    return 1;
}

int CMorbeck::GetSharedMemoryInfo(_FWSHARED_MEMORY_INFO* info) {
    std::uint8_t* shared = m_pSharedMemory.load();
    if (info == nullptr || shared == nullptr) return 0;
    const RingGeometry g = GeometryOf(m_bWide ? RingLayout::k64 : RingLayout::k32);
    std::uint8_t* in = shared + g.headerSize;
    info->outRead = static_cast<DWORD>(LoadIndex(shared + g.readOff));
    info->outWrite = static_cast<DWORD>(LoadIndex(shared + g.writeOff));
    info->outCount = static_cast<DWORD>(LoadIndex(shared + g.countOff));
    info->inRead = static_cast<DWORD>(LoadIndex(in + g.readOff));
    info->inWrite = static_cast<DWORD>(LoadIndex(in + g.writeOff));
    info->inCount = static_cast<DWORD>(LoadIndex(in + g.countOff));
    return 1;
}

int CMorbeck::GetPacketInfo(const _FWSHARED_MEMORY_BLOCK* block, _PACKET_INFO* info) {
    if (block == nullptr || info == nullptr) return 0;
    *info = _PACKET_INFO{};
    const BYTE* f = block->data;
    DWORD length = Field<DWORD>(reinterpret_cast<const std::uint8_t*>(block) + 8);
    if (length > TW_MAX_FRAME) length = TW_MAX_FRAME;
    info->frame = f;
    if (length < 14) return 1;
    info->etherType = static_cast<WORD>((f[12] << 8) | f[13]);
    if (info->etherType == 0x0806) {
        info->arp = f + 14;
    } else if (info->etherType == 0x0800 && length >= 14 + 20) {
        info->ip = f + 14;
        info->ipProtocol = f[23];
        const std::size_t ihl = static_cast<std::size_t>(f[14] & 0x0F) * 4;
        if (ihl < 20 || 14 + ihl >= length) return 1;
        const BYTE* t = f + 14 + ihl;
        const std::size_t rest = length - 14 - ihl;
        if (info->ipProtocol == 17 && rest >= 8) {
            info->udp = t;
            const int port = (t[2] << 8) | t[3];
            if (port == 67 || port == 68) {
                info->dhcp = t + 8;
            } else if (port == 53) {
                info->dns = t + 8;
            }
        } else if (info->ipProtocol == 6) {
            info->tcp = t;
        } else if (info->ipProtocol == 1) {
            info->icmp = t;
        }
    }
    return 1;
}
