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

// ---- Doorbells ----
// Each ring half has a doorbell (an eventfd the driver hands over with the block at START_SHARE:
// the output ring's, which the driver rings, then the input ring's, which the client rings). A
// reader that is about to sleep sets its bit in the sleeping word, looks at the ring once more
// and only then sleeps on its doorbell; a writer, after publishing its index, rings only when it
// finds the bit set, and clears it as it rings, so an idle reader costs nothing and a busy one is
// never rung. The word is the mapped block's last 32 bits (its spare word in both layouts), so a
// side that knows nothing of it leaves it 0 and is simply never rung.
constexpr std::uint32_t kRingOutputReaderSleeping = 1;  // the client's receive thread
constexpr std::uint32_t kRingInputReaderSleeping = 2;   // the driver's ring thread

// The sleeping word of a mapped block of `mappedSize` bytes; null when it is too small.
inline std::uint8_t* RingSleepWord(std::uint8_t* mappedBlock, std::size_t mappedSize) {
    return mappedBlock != nullptr && mappedSize >= 8 ? mappedBlock + ((mappedSize - 4) & ~std::size_t{3})
                                                     : nullptr;
}
// The reader: announces its sleep. Ordered before its last look at the ring.
inline void RingSetSleeping(std::uint8_t* word, std::uint32_t bit) {
    __atomic_fetch_or(reinterpret_cast<std::uint32_t*>(word), bit, __ATOMIC_SEQ_CST);
}
inline void RingClearSleeping(std::uint8_t* word, std::uint32_t bit) {
    __atomic_fetch_and(reinterpret_cast<std::uint32_t*>(word), ~bit, __ATOMIC_SEQ_CST);
}
// The writer, after publishing its index: true when the reader sleeps and this call took the
// duty of ringing it (the bit is cleared, so one wake-up is rung once).
inline bool RingTakeWakeUp(std::uint8_t* word, std::uint32_t bit) {
    auto* w = reinterpret_cast<std::uint32_t*>(word);
    // A read-modify-write, not a plain load: it orders the index just published before the look
    // at the word (as a full fence would, which the thread sanitizer cannot follow).
    if ((__atomic_fetch_or(w, 0u, __ATOMIC_SEQ_CST) & bit) == 0) return false;
    return (__atomic_fetch_and(w, ~bit, __ATOMIC_SEQ_CST) & bit) != 0;
}
// Rings / drains a doorbell (an eventfd); both never block.
void RingDoorbell(int fd);
void DrainDoorbell(int fd);

}  // namespace platform
