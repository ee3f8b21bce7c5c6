// The shared ring's layout, as both of its sides see it: the 32-bit and 64-bit geometries, the
// block head in layout-independent form, and the index words' acquire/release access. The
// driver's ring (shared_ring.h) and the user-side test client use these, so the two sides
// cannot drift apart.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/filter_device.h"

namespace olvane {

enum class RingLayout { k32, k64 };

// The head of a block in layout-independent form.
struct RingRecord {
    std::uint32_t adapterId = 0;
    std::uint32_t direction = 0;
    std::uint32_t length = 0;
    std::uint32_t packetFlags = 0;
    std::uint32_t reserved = 0;
    std::uint32_t appCode = 0;
    std::uint64_t appContext = 0;
    std::uint8_t appArea[TW_APP_AREA] = {};
};

// Where things lie: `shared` is the shared area's offset in the mapped block; the rest are sizes
// and offsets within a ring header.
struct RingGeometry {
    std::size_t shared, headerSize, blockSize, readOff, writeOff, countOff;
};
RingGeometry GeometryOf(RingLayout layout);

// Offset of the frame within a block.
std::size_t BlockDataOffset(RingLayout layout);

// Writes a block's head from `r` and then r.length bytes of `data` (none when null). A signal
// block (keepAdapterWord) leaves word 0 as it was.
void WriteBlock(RingLayout layout, std::uint8_t* at, const RingRecord& r, const std::uint8_t* data,
                bool keepAdapterWord = false);

// Copies the head out of shared memory first, so later changes by the other side cannot affect
// the checks made on it. *data points at the frame.
void ReadBlockHead(RingLayout layout, const std::uint8_t* at, RingRecord* r, const std::uint8_t** data);

inline std::int32_t LoadAcquire(const std::uint8_t* p) {
    return __atomic_load_n(reinterpret_cast<const std::int32_t*>(p), __ATOMIC_ACQUIRE);
}
inline void StoreRelease(std::uint8_t* p, std::int32_t v) {
    __atomic_store_n(reinterpret_cast<std::int32_t*>(p), v, __ATOMIC_RELEASE);
}

}  // namespace olvane
