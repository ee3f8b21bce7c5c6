#include "ring_layout.h"

#include <cstring>

namespace olvane {

namespace {

// Layout traits: the header and block records and where things lie in the mapped block.
struct Layout64 {
    using Mapped = TW_MAPPED_BLOCK64;
    using Header = TW_RING_HEADER64;
    using Block = _FWSHARED_MEMORY_BLOCK64;
    static constexpr std::size_t kShared = offsetof(TW_MAPPED_BLOCK64, shared);
    static constexpr std::size_t kHeaders = 2 * sizeof(Header);
};
struct Layout32 {
    using Mapped = TW_MAPPED_BLOCK32;
    using Header = TW_RING_HEADER32;
    using Block = _FWSHARED_MEMORY_BLOCK32;
    static constexpr std::size_t kShared = offsetof(TW_MAPPED_BLOCK32, shared);
    static constexpr std::size_t kHeaders = 2 * sizeof(Header);
};

constexpr std::size_t kReadOff64 = offsetof(TW_RING_HEADER64, m_iRead);
constexpr std::size_t kWriteOff64 = offsetof(TW_RING_HEADER64, m_iWrite);
constexpr std::size_t kCountOff64 = offsetof(TW_RING_HEADER64, m_nCount);
constexpr std::size_t kReadOff32 = offsetof(TW_RING_HEADER32, m_iRead);
constexpr std::size_t kWriteOff32 = offsetof(TW_RING_HEADER32, m_iWrite);
constexpr std::size_t kCountOff32 = offsetof(TW_RING_HEADER32, m_nCount);
// Index words must be naturally aligned in the mapping for the atomics.
static_assert((Layout64::kShared + kReadOff64) % 4 == 0 && (Layout64::kShared + 40 + kWriteOff64) % 4 == 0);
static_assert((Layout32::kShared + kReadOff32) % 4 == 0 && (Layout32::kShared + 32 + kWriteOff32) % 4 == 0);

}  // namespace

RingGeometry GeometryOf(RingLayout layout) {
    if (layout == RingLayout::k64) {
        return {Layout64::kShared, sizeof(TW_RING_HEADER64), sizeof(_FWSHARED_MEMORY_BLOCK64), kReadOff64, kWriteOff64,
                kCountOff64};
    }
    return {Layout32::kShared, sizeof(TW_RING_HEADER32), sizeof(_FWSHARED_MEMORY_BLOCK32), kReadOff32, kWriteOff32,
            kCountOff32};
}

namespace {

template <class L>
void WriteBlockAs(std::uint8_t* at, const RingRecord& r, const std::uint8_t* data, bool keepAdapterWord);

template <>
void WriteBlockAs<Layout64>(std::uint8_t* at, const RingRecord& r, const std::uint8_t* data, bool keepAdapterWord) {
    _FWSHARED_MEMORY_BLOCK64 head;
    constexpr std::size_t kHead = offsetof(_FWSHARED_MEMORY_BLOCK64, data);
    head.adapterId = r.adapterId;
    head.zero = 0;
    head.direction = r.direction;
    head.length = r.length;
    head.packetFlags = r.packetFlags;
    head.reserved = r.reserved;
    head.appCode = r.appCode;
    head.appContext = r.appContext;
    std::memcpy(head.appArea, r.appArea, TW_APP_AREA);
    const std::size_t skip = keepAdapterWord ? 4 : 0;
    std::memcpy(at + skip, reinterpret_cast<const std::uint8_t*>(&head) + skip, kHead - skip);
    if (data != nullptr && r.length > 0) std::memcpy(at + kHead, data, r.length);
}

template <>
void WriteBlockAs<Layout32>(std::uint8_t* at, const RingRecord& r, const std::uint8_t* data, bool keepAdapterWord) {
    _FWSHARED_MEMORY_BLOCK32 head;
    constexpr std::size_t kHead = offsetof(_FWSHARED_MEMORY_BLOCK32, data);
    head.adapterId = r.adapterId;
    head.direction = r.direction;
    head.length = r.length;
    head.packetFlags = r.packetFlags;
    head.reserved = r.reserved;
    head.appCode = r.appCode;
    head.appContext = static_cast<std::uint32_t>(r.appContext);
    std::memcpy(head.appArea, r.appArea, TW_APP_AREA);
    const std::size_t skip = keepAdapterWord ? 4 : 0;
    std::memcpy(at + skip, reinterpret_cast<const std::uint8_t*>(&head) + skip, kHead - skip);
    if (data != nullptr && r.length > 0) std::memcpy(at + kHead, data, r.length);
}

}  // namespace

std::size_t BlockDataOffset(RingLayout layout) {
    return layout == RingLayout::k64 ? offsetof(_FWSHARED_MEMORY_BLOCK64, data) : offsetof(_FWSHARED_MEMORY_BLOCK32, data);
}

void WriteBlock(RingLayout layout, std::uint8_t* at, const RingRecord& r, const std::uint8_t* data, bool keepAdapterWord) {
    if (layout == RingLayout::k64) {
        WriteBlockAs<Layout64>(at, r, data, keepAdapterWord);
    } else {
        WriteBlockAs<Layout32>(at, r, data, keepAdapterWord);
    }
}

void ReadBlockHead(RingLayout layout, const std::uint8_t* at, RingRecord* r, const std::uint8_t** data) {
    if (layout == RingLayout::k64) {
        _FWSHARED_MEMORY_BLOCK64 head;
        std::memcpy(&head, at, offsetof(_FWSHARED_MEMORY_BLOCK64, data));
        *r = RingRecord{head.adapterId, head.direction, head.length, head.packetFlags, head.reserved, head.appCode,
                        head.appContext, {}};
        std::memcpy(r->appArea, head.appArea, TW_APP_AREA);
        *data = at + offsetof(_FWSHARED_MEMORY_BLOCK64, data);
    } else {
        _FWSHARED_MEMORY_BLOCK32 head;
        std::memcpy(&head, at, offsetof(_FWSHARED_MEMORY_BLOCK32, data));
        *r = RingRecord{head.adapterId, head.direction, head.length, head.packetFlags, head.reserved, head.appCode,
                        head.appContext, {}};
        std::memcpy(r->appArea, head.appArea, TW_APP_AREA);
        *data = at + offsetof(_FWSHARED_MEMORY_BLOCK32, data);
    }
}


}  // namespace olvane
