// The user side of the shared ring, as the driver access library would drive it: reads the
// output ring, writes the input ring, publishing its own index with release stores. For tests
// and the benchmark.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/filter_device.h"

namespace olvane::test {

struct UserBlock {
    std::uint32_t adapterId = 0;
    std::uint32_t direction = 0;
    std::uint32_t length = 0;
    std::uint32_t packetFlags = 0;
    std::uint32_t reserved = 0;
    std::uint32_t appCode = 0;
    std::uint64_t appContext = 0;
    std::vector<std::uint8_t> data;
};

class RingClient {
public:
    // `shared` points at the shared area (what START_SHARE reported).
    RingClient(void* shared, bool wide) : m_base(static_cast<std::uint8_t*>(shared)), m_wide(wide) {}

    std::size_t HeaderSize() const { return m_wide ? sizeof(TW_RING_HEADER64) : sizeof(TW_RING_HEADER32); }
    std::size_t BlockSize() const { return m_wide ? sizeof(_FWSHARED_MEMORY_BLOCK64) : sizeof(_FWSHARED_MEMORY_BLOCK32); }
    std::uint8_t* OutHeader() const { return m_base; }
    std::uint8_t* InHeader() const { return m_base + HeaderSize(); }
    std::size_t ReadOff() const { return m_wide ? offsetof(TW_RING_HEADER64, m_iRead) : offsetof(TW_RING_HEADER32, m_iRead); }
    std::size_t WriteOff() const {
        return m_wide ? offsetof(TW_RING_HEADER64, m_iWrite) : offsetof(TW_RING_HEADER32, m_iWrite);
    }
    std::int32_t Load(std::uint8_t* p) const { return __atomic_load_n(reinterpret_cast<std::int32_t*>(p), __ATOMIC_ACQUIRE); }
    void Store(std::uint8_t* p, std::int32_t v) const {
        __atomic_store_n(reinterpret_cast<std::int32_t*>(p), v, __ATOMIC_RELEASE);
    }
    // Block i of a ring, from the header's own base offset (as user mode finds it).
    std::uint8_t* Block(std::uint8_t* header, int i) const {
        std::int32_t base;
        std::memcpy(&base, header + 8, 4);
        return m_base + 2 * HeaderSize() + static_cast<std::size_t>(base) + static_cast<std::size_t>(i) * BlockSize();
    }

    bool Read(UserBlock* b) {
        const std::int32_t r = Load(OutHeader() + ReadOff());
        if (r == Load(OutHeader() + WriteOff())) return false;
        const std::uint8_t* at = Block(OutHeader(), r);
        if (m_wide) {
            _FWSHARED_MEMORY_BLOCK64 h;
            std::memcpy(&h, at, offsetof(_FWSHARED_MEMORY_BLOCK64, data));
            *b = UserBlock{h.adapterId, h.direction, h.length, h.packetFlags, h.reserved, h.appCode, h.appContext, {}};
            const std::uint32_t n = h.length < TW_MAX_FRAME ? h.length : TW_MAX_FRAME;
            b->data.assign(at + offsetof(_FWSHARED_MEMORY_BLOCK64, data), at + offsetof(_FWSHARED_MEMORY_BLOCK64, data) + n);
        } else {
            _FWSHARED_MEMORY_BLOCK32 h;
            std::memcpy(&h, at, offsetof(_FWSHARED_MEMORY_BLOCK32, data));
            *b = UserBlock{h.adapterId, h.direction, h.length, h.packetFlags, h.reserved, h.appCode, h.appContext, {}};
            const std::uint32_t n = h.length < TW_MAX_FRAME ? h.length : TW_MAX_FRAME;
            b->data.assign(at + offsetof(_FWSHARED_MEMORY_BLOCK32, data), at + offsetof(_FWSHARED_MEMORY_BLOCK32, data) + n);
        }
        Store(OutHeader() + ReadOff(), (r + 1) % TW_RING_BLOCK_COUNT);
        return true;
    }

    // false when the input ring is full. `length` may exceed the frame area only up to it.
    bool Write(std::uint32_t adapterId, std::uint32_t direction, const std::uint8_t* data, std::uint32_t length) {
        const std::int32_t w = Load(InHeader() + WriteOff());
        if ((w + 1) % TW_RING_BLOCK_COUNT == Load(InHeader() + ReadOff())) return false;
        std::uint8_t* at = Block(InHeader(), w);
        const std::uint32_t copy = length < TW_FRAME_AREA ? length : TW_FRAME_AREA;
        if (m_wide) {
            _FWSHARED_MEMORY_BLOCK64 h{};
            h.adapterId = adapterId;
            h.direction = direction;
            h.length = length;
            std::memcpy(at, &h, offsetof(_FWSHARED_MEMORY_BLOCK64, data));
            std::memcpy(at + offsetof(_FWSHARED_MEMORY_BLOCK64, data), data, copy);
        } else {
            _FWSHARED_MEMORY_BLOCK32 h{};
            h.adapterId = adapterId;
            h.direction = direction;
            h.length = length;
            std::memcpy(at, &h, offsetof(_FWSHARED_MEMORY_BLOCK32, data));
            std::memcpy(at + offsetof(_FWSHARED_MEMORY_BLOCK32, data), data, copy);
        }
        Store(InHeader() + WriteOff(), (w + 1) % TW_RING_BLOCK_COUNT);
        return true;
    }

private:
    std::uint8_t* m_base;
    bool m_wide;
};

}  // namespace olvane::test
