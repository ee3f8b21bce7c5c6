#include "platform/packet_ring.h"

#include <unistd.h>

#include <cerrno>

#include <cstring>

namespace platform {

namespace {

constexpr RingGeometry kGeometry64{
    offsetof(TW_MAPPED_BLOCK64, shared),       sizeof(TW_RING_HEADER64),
    sizeof(_FWSHARED_MEMORY_BLOCK64),          offsetof(TW_RING_HEADER64, m_iRead),
    offsetof(TW_RING_HEADER64, m_iWrite),      offsetof(TW_RING_HEADER64, m_nCount),
    offsetof(TW_RING_HEADER64, m_puBlockBase), 8,
    offsetof(_FWSHARED_MEMORY_BLOCK64, data)};
constexpr RingGeometry kGeometry32{
    offsetof(TW_MAPPED_BLOCK32, shared),       sizeof(TW_RING_HEADER32),
    sizeof(_FWSHARED_MEMORY_BLOCK32),          offsetof(TW_RING_HEADER32, m_iRead),
    offsetof(TW_RING_HEADER32, m_iWrite),      offsetof(TW_RING_HEADER32, m_nCount),
    offsetof(TW_RING_HEADER32, m_puBlockBase), 4,
    offsetof(_FWSHARED_MEMORY_BLOCK32, data)};

// Index words must be naturally aligned in a page-aligned mapping for the atomics.
constexpr bool Aligned(const RingGeometry& g) {
    return (g.shared + g.readOff) % 4 == 0 && (g.shared + g.writeOff) % 4 == 0 &&
           (g.shared + g.headerSize + g.readOff) % 4 == 0 && (g.shared + g.headerSize + g.writeOff) % 4 == 0;
}
static_assert(Aligned(kGeometry64) && Aligned(kGeometry32));
static_assert(offsetof(TW_RING_HEADER64, m_iBlockCount) == 4 &&
              offsetof(TW_RING_HEADER32, m_iBaseOffset) == 8);

// Bounds on what a header may announce: a block holds at least its layout's record, a ring
// at least two blocks (one always stays free).
constexpr std::int32_t kMaxBlockSize = 1 << 16;
constexpr std::int32_t kMaxBlocks = 1 << 16;

template <class Block>
void FillHead(Block* head, const RingRecord& r) {
    head->adapterId = r.adapterId;
    head->direction = r.direction;
    head->length = r.length;
    head->packetFlags = r.packetFlags;
    head->reserved = r.reserved;
    head->appCode = r.appCode;
    std::memcpy(head->appArea, r.appArea, TW_APP_AREA);
}

template <class Block>
void TakeHead(const Block& head, RingRecord* r) {
    r->adapterId = head.adapterId;
    r->direction = head.direction;
    r->length = head.length;
    r->packetFlags = head.packetFlags;
    r->reserved = head.reserved;
    r->appCode = head.appCode;
    std::memcpy(r->appArea, head.appArea, TW_APP_AREA);
}

// Copies the head (all but word 0 for a signal block) and the frame into `at`.
template <class Block>
void Place(std::uint8_t* at, const Block& head, const std::uint8_t* data, std::uint32_t length,
           bool keepAdapterWord) {
    constexpr std::size_t kHead = offsetof(Block, data);
    const std::size_t skip = keepAdapterWord ? 4 : 0;
    std::memcpy(at + skip, reinterpret_cast<const std::uint8_t*>(&head) + skip, kHead - skip);
    if (data != nullptr && length > 0) std::memcpy(at + kHead, data, length);
}

}  // namespace

RingGeometry GeometryOf(RingLayout layout) { return layout == RingLayout::k64 ? kGeometry64 : kGeometry32; }

void WriteBlock(RingLayout layout, std::uint8_t* at, const RingRecord& r, const std::uint8_t* data,
                bool keepAdapterWord) {
    if (layout == RingLayout::k64) {
        _FWSHARED_MEMORY_BLOCK64 head;
        FillHead(&head, r);
        head.zero = r.adapterIdHigh;
        head.appContext = r.appContext;
        Place(at, head, data, r.length, keepAdapterWord);
    } else {
        _FWSHARED_MEMORY_BLOCK32 head;
        FillHead(&head, r);
        head.appContext = static_cast<std::uint32_t>(r.appContext);
        Place(at, head, data, r.length, keepAdapterWord);
    }
}

void ReadBlockHead(RingLayout layout, const std::uint8_t* at, RingRecord* r, const std::uint8_t** data) {
    *r = RingRecord{};
    if (layout == RingLayout::k64) {
        _FWSHARED_MEMORY_BLOCK64 head;
        std::memcpy(&head, at, offsetof(_FWSHARED_MEMORY_BLOCK64, data));
        TakeHead(head, r);
        r->adapterIdHigh = head.zero;
        r->appContext = head.appContext;
    } else {
        _FWSHARED_MEMORY_BLOCK32 head;
        std::memcpy(&head, at, offsetof(_FWSHARED_MEMORY_BLOCK32, data));
        TakeHead(head, r);
        r->appContext = head.appContext;
    }
    *data = at + GeometryOf(layout).dataOff;
}

RingHeaderFields ReadRingHeader(const std::uint8_t* header) {
    RingHeaderFields f;
    std::memcpy(&f.blockSize, header + 0, 4);
    std::memcpy(&f.blockCount, header + 4, 4);
    std::memcpy(&f.baseOffset, header + 8, 4);
    return f;
}

std::uint8_t* RingBlockAt(std::uint8_t* shared, std::size_t limit, RingLayout layout,
                          const std::uint8_t* header, std::int32_t index) {
    const RingGeometry g = GeometryOf(layout);
    const RingHeaderFields f = ReadRingHeader(header);
    if (f.blockSize < static_cast<std::int32_t>(g.blockSize) || f.blockSize > kMaxBlockSize ||
        f.blockCount < 2 || f.blockCount > kMaxBlocks || f.baseOffset < 0 || index < 0 ||
        index >= f.blockCount) {
        return nullptr;
    }
    const std::size_t first = 2 * g.headerSize + static_cast<std::size_t>(f.baseOffset);
    const std::size_t end =
        first + static_cast<std::size_t>(f.blockCount) * static_cast<std::size_t>(f.blockSize);
    if (end > limit) return nullptr;
    return shared + first + static_cast<std::size_t>(index) * static_cast<std::size_t>(f.blockSize);
}

void RingDoorbell(int fd) {
    if (fd < 0) return;
    const std::uint64_t one = 1;
    ssize_t n;
    do {
        n = ::write(fd, &one, sizeof one);
    } while (n < 0 && errno == EINTR);
}

void DrainDoorbell(int fd) {
    if (fd < 0) return;
    std::uint64_t count = 0;
    ssize_t n;
    do {
        n = ::read(fd, &count, sizeof count);
    } while (n < 0 && errno == EINTR);
}

}  // namespace platform
