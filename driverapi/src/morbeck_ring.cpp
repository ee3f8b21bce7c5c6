// CMorbeck: the shared packet ring in its 32-bit and 64-bit layouts.
//
// Both ring descriptors sit at the start of the shared area; the blocks of a ring start at
// (shared area + both descriptors + the ring's base offset). The output ring is read here and
// written by the driver; the input ring is written here and read by the driver. Each side owns
// one index per ring and publishes it only after the block is complete (write) or copied out
// (read).
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "dailylog/shared_daily_log.h"
#include "morbeck/morbeck.h"
#include "morbeck_internal.h"
#include "platform/errors.h"

namespace {

using morbeck::Field;
using morbeck::LoadIndex;
using morbeck::StoreIndex;

// Byte offsets inside one ring descriptor.
struct Layout {
    std::size_t header;  // one descriptor: 32 or 40
    std::size_t read, write, count, puBase;
    std::size_t blockHead;  // bytes of a block before its packet area: 156 or 164
    std::size_t blockSize;  // 1676 or 1684
};
constexpr Layout k32{sizeof(TW_RING_HEADER32), 20, 24, 28, 12, offsetof(_FWSHARED_MEMORY_BLOCK32, data),
                     sizeof(_FWSHARED_MEMORY_BLOCK32)};
constexpr Layout k64{sizeof(TW_RING_HEADER64), 28, 32, 36, 12, offsetof(_FWSHARED_MEMORY_BLOCK64, data),
                     sizeof(_FWSHARED_MEMORY_BLOCK64)};

constexpr std::int32_t kMaxBlocks = 65536;

// Block i of the ring whose descriptor is at `ring`, or null when the descriptor's geometry does
// not fit the mapping (the driver's numbers are checked before any block is touched).
std::uint8_t* BlockAt(std::uint8_t* shared, std::uint8_t* ring, const Layout& l, std::size_t limit, std::int32_t i) {
    const auto size = Field<std::int32_t>(ring + 0);
    const auto count = Field<std::int32_t>(ring + 4);
    const auto base = Field<std::int32_t>(ring + 8);
    if (size < static_cast<std::int32_t>(l.blockSize) || size > (1 << 16) || count < 2 || count > kMaxBlocks ||
        base < 0 || i < 0 || i >= count) {
        return nullptr;
    }
    const std::size_t end = 2 * l.header + static_cast<std::size_t>(base) +
                            static_cast<std::size_t>(count) * static_cast<std::size_t>(size);
    if (end > limit) return nullptr;
    return shared + 2 * l.header + static_cast<std::size_t>(base) + static_cast<std::size_t>(i) * static_cast<std::size_t>(size);
}

// Sign extension of a 32-bit handle value to the 64-bit layout's field.
std::uint64_t Widen(DWORD v) { return static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int32_t>(v))); }

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
    if (m_pSharedMemory.load() != nullptr) return 1;
    // The ring layout is the driver's: its mapping size tells which one it uses.
    DWORD size = 0, returned = 0;
    DeviceIoControl(IOCTL_NDIS_FILTER_PUT_SHAREDMEMORYSIZE, nullptr, 0, &size, 4, &returned, nullptr);
    m_bWide = size != sizeof(TW_MAPPED_BLOCK32);
    std::uint64_t shared = 0;
    if (!m_bWide) {
        DWORD address = 0;
        if (!DeviceIoControl(IOCTL_NDIS_FILTER_START_SHARE, nullptr, 0, &address, 4, &returned, nullptr)) {
            TW_LOG(LOG_CLIENT_DATA, 5, "[StartShare] DeviceIoControl IOCTL_NDIS_FILTER_START_SHARE  lastError 0x%x",
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
            TW_LOG(LOG_CLIENT_DATA, 5, "[StartShare] DeviceIoControl IOCTL_NDIS_FILTER_START_SHARE  lastError 0x%x",
                   platform::GetLastError());
            return 0;
        }
    }
    std::uint8_t* header = nullptr;
    {
        std::lock_guard<std::mutex> g(m_DeviceLock);
        if (!m_hFileHandle || m_hFileHandle->MappedBlock() == nullptr) return 0;
        auto* base = static_cast<std::uint8_t*>(m_hFileHandle->MappedBlock());
        header = reinterpret_cast<std::uint8_t*>(static_cast<std::uintptr_t>(shared));
        if (header < base || header >= base + m_hFileHandle->MappedSize()) return 0;
        m_mappedLimit = m_hFileHandle->MappedSize() - static_cast<std::size_t>(header - base);
    }
    const Layout& l = m_bWide ? k64 : k32;
    if (m_mappedLimit < 2 * l.header) return 0;
    for (int ring = 0; ring < 2; ++ring) {
        std::uint8_t* d = header + ring * l.header;
        const std::uint64_t blocks =
            reinterpret_cast<std::uintptr_t>(header) + 2 * l.header + static_cast<std::uint32_t>(Field<std::int32_t>(d + 8));
        if (m_bWide) {
            std::memcpy(d + l.puBase, &blocks, 8);
        } else {
            const DWORD low = static_cast<DWORD>(blocks);
            std::memcpy(d + l.puBase, &low, 4);
        }
    }
    m_pSharedMemory.store(header);
    m_bStopped.store(0);
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
        ok = DeviceIoControl(IOCTL_NDIS_FILTER_STOP_SHARE, nullptr, 0, nullptr, 0, &returned, &m_StopShareOverlapped);
    }
    m_pSharedMemory.store(nullptr);
    return ok ? 1 : 0;
}

int CMorbeck::StopFilterRead() {
    if (m_hStopReadEvent) m_hStopReadEvent->Set();
    return 1;
}

int CMorbeck::IsShareStarted() const { return (m_pSharedMemory.load() != nullptr && m_bStopped.load() == 0) ? 1 : 0; }

_FWSHARED_MEMORY_BLOCK* CMorbeck::Read(int wait) {
    std::uint8_t* shared = m_pSharedMemory.load();
    if (shared == nullptr || m_bStopped.load() != 0) return nullptr;
    const Layout& l = m_bWide ? k64 : k32;
    {
        std::lock_guard<std::mutex> g(m_ReadLock);
        shared = m_pSharedMemory.load();
        if (shared == nullptr || m_bStopped.load() != 0) return nullptr;
        std::uint8_t* out = shared;
        const std::int32_t r = LoadIndex(out + l.read);
        const std::int32_t w = LoadIndex(out + l.write);
        if (r != w) {
            platform::DebugPrintf("[CMorbeck::Read] _CHECK_SHARED_BLOCKS_ enter");
            const std::uint8_t* src = BlockAt(shared, out, l, m_mappedLimit, r);
            if (src == nullptr) return nullptr;
            auto* block = static_cast<_FWSHARED_MEMORY_BLOCK*>(std::malloc(sizeof(_FWSHARED_MEMORY_BLOCK)));
            if (block == nullptr) {
                platform::DebugPrintf("[CMorbeck::Read] pBlock != NULL不成立 return NULL");
                return nullptr;
            }
            platform::DebugPrintf("[CMorbeck::Read] pBlock != NULL ");
            auto* dst = reinterpret_cast<std::uint8_t*>(block);
            if (!m_bWide) {
                std::memcpy(dst, src, l.blockHead);
            } else {
                // Field by field into the 32-bit view.
                const DWORD head[7] = {Field<DWORD>(src + 0),  Field<DWORD>(src + 8),  Field<DWORD>(src + 12),
                                       Field<DWORD>(src + 16), Field<DWORD>(src + 20), Field<DWORD>(src + 24),
                                       static_cast<DWORD>(Field<std::uint64_t>(src + 28))};
                std::memcpy(dst, head, sizeof(head));
                std::memcpy(dst + offsetof(_FWSHARED_MEMORY_BLOCK32, appArea), src + 36, TW_APP_AREA);
            }
            DWORD length = Field<DWORD>(dst + 8);
            if (length > TW_MAX_FRAME) length = TW_MAX_FRAME;
            std::memcpy(dst + 8, &length, 4);
            std::memcpy(dst + offsetof(_FWSHARED_MEMORY_BLOCK32, data), src + l.blockHead, length);
            platform::DebugPrintf("[CMorbeck::Read] ReadLength=%d ", static_cast<int>(length));
            const std::int32_t count = Field<std::int32_t>(out + 4);
            StoreIndex(out + l.read, (r + 1) % count);
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
int CMorbeck::WriteParts(const _FWSHARED_MEMORY_BLOCK32& head, const std::uint8_t* packet, int signal) {
    std::uint8_t* shared = m_pSharedMemory.load();
    if (shared == nullptr || m_bStopped.load() != 0) return 0;
    const Layout& l = m_bWide ? k64 : k32;
    const auto* h = reinterpret_cast<const std::uint8_t*>(&head);
    const DWORD length = Field<DWORD>(h + 8);
    bool fullNow;
    {
        std::lock_guard<std::mutex> g(m_WriteLock);
        shared = m_pSharedMemory.load();
        if (shared == nullptr || m_bStopped.load() != 0) return 0;
        std::uint8_t* in = shared + l.header;
        const std::int32_t w = LoadIndex(in + l.write);
        const std::int32_t r = LoadIndex(in + l.read);
        std::uint8_t* dst = BlockAt(shared, in, l, m_mappedLimit, w);
        if (dst == nullptr) return 0;
        const std::int32_t count = Field<std::int32_t>(in + 4);
        const bool full = (w + 1) % count == r;
        fullNow = full;
        if (!full) {
            if (!m_bWide) {
                std::memcpy(dst, h, offsetof(_FWSHARED_MEMORY_BLOCK32, data));
            } else {
                const std::uint64_t adapter = Widen(Field<DWORD>(h + 0));
                const std::uint64_t context = Widen(Field<DWORD>(h + 24));
                std::memcpy(dst + 0, &adapter, 8);
                std::memcpy(dst + 8, h + 4, 20);  // direction, length, flags, reserved, app code
                std::memcpy(dst + 28, &context, 8);
                std::memcpy(dst + 36, h + offsetof(_FWSHARED_MEMORY_BLOCK32, appArea), TW_APP_AREA);
            }
            if (length > 0) std::memcpy(dst + l.blockHead, packet, length);
            const std::int32_t n = Field<std::int32_t>(in + l.count) + 1;
            std::memcpy(in + l.count, &n, 4);
            if (!m_bWide) {
                platform::DebugPrintf("[CMorbeck::Write] PacketSize=%d, m_pSharedMemory->uo.m_nCount=%d",
                                      static_cast<int>(length), n);
            }
            const std::int32_t next = (w + 1) % count;
            StoreIndex(in + l.write, next);
            fullNow = (next + 1) % count == LoadIndex(in + l.read);
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
    const Layout& l = m_bWide ? k64 : k32;
    std::uint8_t* in = shared + l.header;
    info->outRead = static_cast<DWORD>(LoadIndex(shared + l.read));
    info->outWrite = static_cast<DWORD>(LoadIndex(shared + l.write));
    info->outCount = static_cast<DWORD>(LoadIndex(shared + l.count));
    info->inRead = static_cast<DWORD>(LoadIndex(in + l.read));
    info->inWrite = static_cast<DWORD>(LoadIndex(in + l.write));
    info->inCount = static_cast<DWORD>(LoadIndex(in + l.count));
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
