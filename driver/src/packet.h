// Packet records, the per-adapter packet pool with leak tracing, header parsing and frame copy.
// A record is allocated, used by one path at a time and released exactly once.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "olvane/filter_api.h"

namespace olvane {
struct AdapterEntry;
class TwPacketPool;
constexpr std::size_t kPacketDataSize = 1648;
constexpr std::uint32_t kHeaderCopyBytes = 54;  // Ethernet + IP + TCP headers
}  // namespace olvane

// The driver's packet record (FILTER_PACKET of the exported interface).
struct TwPacket {
    TwPacket* m_QueueNext = nullptr;  // injected-packet queue link
    TwPacket* m_TracePrev = nullptr;  // driver-wide trace list
    TwPacket* m_TraceNext = nullptr;
    olvane::AdapterEntry* m_AllocAdapter = nullptr;
    const char* m_File = nullptr;
    int m_Line = 0;
    const char* m_Owner = "Unknown";
    std::uint8_t m_IpProtocol = 0;
    std::uint8_t* m_Frame = nullptr;
    std::uint8_t* m_Arp = nullptr;
    std::uint8_t* m_Ip = nullptr;
    std::uint8_t* m_Tcp = nullptr;
    std::uint8_t* m_Udp = nullptr;
    std::uint8_t* m_Icmp = nullptr;
    std::uint8_t* m_Dhcp = nullptr;
    std::uint8_t* m_Dns = nullptr;
    std::uint32_t m_InjectKind = 0;
    void* m_InjectFilter = nullptr;
    FILTER_PACKET_RELEASE_CALLBACK m_ReleaseCallback = nullptr;
    void* m_ReleaseContext = nullptr;
    // The source frame a record made from it may still read lazily (nullptr once copied).
    const std::uint8_t* m_Original = nullptr;
    std::uint32_t m_OriginalLength = 0;
    bool m_Dirty = false;
    std::uint32_t m_BytesHeld = 0;
    olvane::AdapterEntry* m_Adapter = nullptr;
    std::uint32_t m_Direction = 0;
    std::uint32_t m_DataLength = 0;
    std::uint32_t m_PacketFlags = 0;
    std::uint32_t m_Reserved = 0;
    std::uint32_t m_AppCode = 0;
    std::uint64_t m_AppContext = 0;
    std::uint8_t m_AppArea[128] = {};
    std::uint8_t m_Data[olvane::kPacketDataSize] = {};
    // Pool bookkeeping.
    olvane::TwPacketPool* m_Pool = nullptr;
    bool m_InUse = false;
};

namespace olvane {

// Driver-wide accounting of packet records: counts and the trace list of live records.
class TwPacketTracker {
public:
    void Add(TwPacket* p);
    void Remove(TwPacket* p);
    std::uint32_t AllocateCount() const { return m_allocated.load(); }
    std::uint32_t FreeCount() const { return m_freed.load(); }
    std::uint32_t Outstanding() const { return m_allocated.load() - m_freed.load(); }
    // Calls fn for every live record, under the trace lock.
    template <class Fn>
    void ForEach(Fn fn) {
        std::lock_guard<std::mutex> lock(m_lock);
        for (TwPacket* p = m_head; p != nullptr; p = p->m_TraceNext) fn(p);
    }

private:
    std::mutex m_lock;
    TwPacket* m_head = nullptr;
    std::atomic<std::uint32_t> m_allocated{0};
    std::atomic<std::uint32_t> m_freed{0};
};

// Packet descriptors of one adapter entry (2,048 by default), made on demand up to the limit.
class TwPacketPool {
public:
    TwPacketPool(std::size_t capacity, TwPacketTracker* tracker);
    ~TwPacketPool();
    // null when exhausted or released.
    TwPacket* Allocate(AdapterEntry* adapter, const char* file, int line);
    void Free(TwPacket* p, const char* file, int line);
    std::size_t InUse() const;
    // From now on allocations fail (the pool is being released).
    void Close();

private:
    mutable std::mutex m_lock;
    std::vector<std::unique_ptr<TwPacket>> m_all;
    std::vector<TwPacket*> m_free;
    std::size_t m_capacity;
    std::size_t m_inUse = 0;
    bool m_closed = false;
    TwPacketTracker* m_tracker;
};

// Clears and re-sets the header pointers from the frame (start: null = the data buffer).
void ParseHeaders(TwPacket* p, std::uint8_t* start = nullptr);

// Copies a frame into the record: up to `limit` bytes, but a frame at most 15 bytes longer than
// the limit whole. Returns the bytes copied; *total gets the frame's length.
std::uint32_t CopyFrame(const std::uint8_t* frame, std::uint32_t length, TwPacket* p, std::uint32_t limit,
                        std::uint32_t* total);

// "00-FF-FF-FF-00-00" into 18 bytes.
void MacToText(const std::uint8_t* mac, char out[18]);

// Read and write of big-endian words in frames.
inline std::uint16_t Be16(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }

}  // namespace olvane
