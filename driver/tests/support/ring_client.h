// The user side of the shared ring, as the driver access library would drive it: reads the
// output ring, writes the input ring, publishing its own index with release stores. For tests
// and the benchmark.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/filter_device.h"
#include "platform/packet_ring.h"

namespace olvane::test {

using platform::GeometryOf;
using platform::LoadIndex;
using platform::RingGeometry;
using platform::RingLayout;
using platform::RingRecord;
using platform::StoreIndex;

// A block as the user side read it: its head and a copy of its frame.
struct UserBlock : RingRecord {
    std::vector<std::uint8_t> data;
};

class RingClient {
public:
    // `shared` points at the shared area (what START_SHARE reported).
    RingClient(void* shared, bool wide)
        : m_base(static_cast<std::uint8_t*>(shared)),
          m_layout(wide ? RingLayout::k64 : RingLayout::k32),
          m_geometry(GeometryOf(m_layout)) {}

    std::size_t HeaderSize() const { return m_geometry.headerSize; }
    std::size_t BlockSize() const { return m_geometry.blockSize; }
    std::uint8_t* OutHeader() const { return m_base; }
    std::uint8_t* InHeader() const { return m_base + HeaderSize(); }
    std::size_t ReadOff() const { return m_geometry.readOff; }
    std::size_t WriteOff() const { return m_geometry.writeOff; }
    std::int32_t Load(std::uint8_t* p) const { return LoadIndex(p); }
    void Store(std::uint8_t* p, std::int32_t v) const { StoreIndex(p, v); }
    // Block i of a ring, from the header's own numbers (as user mode finds it).
    std::uint8_t* Block(std::uint8_t* header, int i) const {
        return platform::RingBlockAt(
            m_base, m_geometry.blockSize * 2 * TW_RING_BLOCK_COUNT + 2 * HeaderSize(), m_layout, header, i);
    }

    bool Read(UserBlock* b) {
        const std::int32_t r = Load(OutHeader() + ReadOff());
        if (r == Load(OutHeader() + WriteOff())) return false;
        const std::uint8_t* data = nullptr;
        platform::ReadBlockHead(m_layout, Block(OutHeader(), r), b, &data);
        const std::uint32_t n = b->length < TW_MAX_FRAME ? b->length : TW_MAX_FRAME;
        b->data.assign(data, data + n);
        Store(OutHeader() + ReadOff(), (r + 1) % TW_RING_BLOCK_COUNT);
        return true;
    }

    // false when the input ring is full. `length` may exceed the frame area only up to it.
    bool Write(std::uint32_t adapterId, std::uint32_t direction, const std::uint8_t* data,
               std::uint32_t length) {
        const std::int32_t w = Load(InHeader() + WriteOff());
        if ((w + 1) % TW_RING_BLOCK_COUNT == Load(InHeader() + ReadOff())) return false;
        std::uint8_t* at = Block(InHeader(), w);
        RingRecord head;
        head.adapterId = adapterId;
        head.direction = direction;
        head.length = length;
        platform::WriteBlock(m_layout, at, head, nullptr);
        const std::uint32_t copy = length < TW_FRAME_AREA ? length : TW_FRAME_AREA;
        std::memcpy(at + platform::BlockDataOffset(m_layout), data, copy);
        Store(InHeader() + WriteOff(), (w + 1) % TW_RING_BLOCK_COUNT);
        return true;
    }

private:
    std::uint8_t* m_base;
    RingLayout m_layout;
    RingGeometry m_geometry;
};

}  // namespace olvane::test
