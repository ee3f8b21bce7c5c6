// The shared packet ring as both of its sides see it: the 32-bit and 64-bit geometries, the block
// head in layout-independent form, checked block addressing and the index words' acquire/release
// access. The driver's ring, the driver access library and every test double use this one unit,
// so the two sides cannot drift apart. The records themselves are in filter_device.h.
//
// Nothing here owns memory: every call works on a mapping the caller holds. All calls are
// thread-safe in themselves; which side may write which index is the ring's protocol (the
// producer owns m_iWrite, the consumer m_iRead).
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/filter_device.h"

namespace platform {

enum class RingLayout { k32, k64 };

// The head of a block in layout-independent form.
struct RingRecord {
    std::uint32_t adapterId = 0;
    std::uint32_t direction = 0;
    std::uint32_t length = 0;
    std::uint32_t packetFlags = 0;
    std::uint32_t reserved = 0;
    std::uint32_t appCode = 0;
    std::uint64_t appContext = 0;  // the 32-bit layout keeps the low half
    std::uint8_t appArea[TW_APP_AREA] = {};
    // The 64-bit layout's adapter word is 64 bits wide: its upper half (0 from the driver; the
    // access library sign-extends its 32-bit handle value into it).
    std::uint32_t adapterIdHigh = 0;
};

// Where things lie: `shared` is the shared area's offset in the mapped block; the *Off members
// are offsets within one ring header; `dataOff` is the frame's offset within a block.
struct RingGeometry {
    std::size_t shared, headerSize, blockSize, readOff, writeOff, countOff, userBaseOff, userBaseSize,
        dataOff;
};
RingGeometry GeometryOf(RingLayout layout);
inline std::size_t BlockDataOffset(RingLayout layout) { return GeometryOf(layout).dataOff; }

// Writes a block's head from `r` and then r.length bytes of `data` (none when null; the caller
// bounds r.length by TW_FRAME_AREA). A signal block (keepAdapterWord) leaves word 0 as it was.
void WriteBlock(RingLayout layout, std::uint8_t* at, const RingRecord& r, const std::uint8_t* data,
                bool keepAdapterWord = false);

// Copies the head out of shared memory first, so later changes by the other side cannot affect
// the checks made on it. *data points at the frame; r->length is as found (unchecked).
void ReadBlockHead(RingLayout layout, const std::uint8_t* at, RingRecord* r, const std::uint8_t** data);

// The geometry a ring header announces (the same offsets in both layouts).
struct RingHeaderFields {
    std::int32_t blockSize = 0;
    std::int32_t blockCount = 0;
    std::int32_t baseOffset = 0;  // first block, from shared area + both headers
};
RingHeaderFields ReadRingHeader(const std::uint8_t* header);

// Block `index` of the ring whose header is at `header`, inside a shared area of `limit` bytes
// starting at `shared`; null when the header's numbers (as the other side wrote them) do not fit
// the layout or the mapping, or the index is out of range. Nothing is touched before the check.
std::uint8_t* RingBlockAt(std::uint8_t* shared, std::size_t limit, RingLayout layout,
                          const std::uint8_t* header, std::int32_t index);

// Index words: 32-bit, naturally aligned in every mapping of both layouts.
inline std::int32_t LoadIndex(const std::uint8_t* at) {
    return __atomic_load_n(reinterpret_cast<const std::int32_t*>(at), __ATOMIC_ACQUIRE);
}
inline void StoreIndex(std::uint8_t* at, std::int32_t v) {
    __atomic_store_n(reinterpret_cast<std::int32_t*>(at), v, __ATOMIC_RELEASE);
}

}  // namespace platform
