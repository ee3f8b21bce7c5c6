#include "packet.h"

#include <cstring>

namespace olvane {

void TwPacketTracker::Add(TwPacket* p) {
    std::lock_guard<std::mutex> lock(m_lock);
    p->m_TracePrev = nullptr;
    p->m_TraceNext = m_head;
    if (m_head != nullptr) m_head->m_TracePrev = p;
    m_head = p;
    m_allocated.fetch_add(1);
}

void TwPacketTracker::Remove(TwPacket* p) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (p->m_TracePrev != nullptr) {
        p->m_TracePrev->m_TraceNext = p->m_TraceNext;
    } else if (m_head == p) {
        m_head = p->m_TraceNext;
    }
    if (p->m_TraceNext != nullptr) p->m_TraceNext->m_TracePrev = p->m_TracePrev;
    p->m_TracePrev = p->m_TraceNext = nullptr;
    m_freed.fetch_add(1);
}

TwPacketPool::TwPacketPool(std::size_t capacity, TwPacketTracker* tracker)
    : m_capacity(capacity), m_tracker(tracker) {}

TwPacketPool::~TwPacketPool() = default;

TwPacket* TwPacketPool::Allocate(AdapterEntry* adapter, const char* file, int line) {
    TwPacket* p = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_closed) return nullptr;
        if (!m_free.empty()) {
            p = m_free.back();
            m_free.pop_back();
        } else if (m_all.size() < m_capacity) {
            m_all.push_back(std::make_unique<TwPacket>());
            p = m_all.back().get();
        } else {
            return nullptr;
        }
        ++m_inUse;
    }
    // The driver fields up to the application area start clean; the data buffer is overwritten
    // by whoever fills the record.
    p->m_QueueNext = nullptr;
    p->m_AllocAdapter = adapter;
    p->m_File = file;
    p->m_Line = line;
    p->m_Owner = "Unknown";
    p->m_IpProtocol = 0;
    p->m_Frame = p->m_Data;
    p->m_Arp = p->m_Ip = p->m_Tcp = p->m_Udp = p->m_Icmp = p->m_Dhcp = p->m_Dns = nullptr;
    p->m_InjectKind = 0;
    p->m_InjectFilter = nullptr;
    p->m_ReleaseCallback = nullptr;
    p->m_ReleaseContext = nullptr;
    p->m_Original = nullptr;
    p->m_OriginalLength = 0;
    p->m_Dirty = false;
    p->m_BytesHeld = 0;
    p->m_Adapter = adapter;
    p->m_Direction = p->m_DataLength = p->m_PacketFlags = p->m_Reserved = p->m_AppCode = 0;
    p->m_AppContext = 0;
    std::memset(p->m_AppArea, 0, sizeof(p->m_AppArea));
    p->m_Pool = this;
    p->m_InUse = true;
    if (m_tracker != nullptr) m_tracker->Add(p);
    return p;
}

void TwPacketPool::Free(TwPacket* p, const char* file, int line) {
    if (m_tracker != nullptr) m_tracker->Remove(p);
    p->m_File = file;
    p->m_Line = line;
    p->m_InUse = false;
    std::lock_guard<std::mutex> lock(m_lock);
    m_free.push_back(p);
    --m_inUse;
}

std::size_t TwPacketPool::InUse() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_inUse;
}

void TwPacketPool::Close() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_closed = true;
}

void ParseHeaders(TwPacket* p, std::uint8_t* start) {
    p->m_Frame = start != nullptr ? start : p->m_Data;
    p->m_Arp = p->m_Ip = p->m_Tcp = p->m_Udp = p->m_Icmp = p->m_Dhcp = p->m_Dns = nullptr;
    p->m_IpProtocol = 0;
    // Only what the record holds may be parsed.
    const std::uint8_t* end = p->m_Data + kPacketDataSize;
    std::uint32_t held = p->m_BytesHeld != 0 ? p->m_BytesHeld : p->m_DataLength;
    if (p->m_Frame + held < end) end = p->m_Frame + held;
    if (p->m_Frame + 14 > end) return;
    std::uint16_t type = Be16(p->m_Frame + 12);
    if (type == 0x0806) {
        if (p->m_Frame + 14 + 28 <= end) p->m_Arp = p->m_Frame + 14;
        return;
    }
    if (type != 0x0800 || p->m_Frame + 34 > end) return;
    std::uint8_t* ip = p->m_Frame + 14;
    p->m_Ip = ip;
    p->m_IpProtocol = ip[9];
    std::uint32_t ihl = (ip[0] & 0x0F) * 4u;
    if (ihl < 20 || (Be16(ip + 6) & 0x1FFF) != 0) return;  // fragments carry no transport header
    std::uint8_t* l4 = ip + ihl;
    switch (p->m_IpProtocol) {
        case 17:
            if (l4 + 8 > end) return;
            p->m_Udp = l4;
            if (Be16(l4 + 2) == 67 || Be16(l4 + 2) == 68) p->m_Dhcp = l4 + 8;
            if (Be16(l4 + 2) == 53 || Be16(l4) == 53) p->m_Dns = l4 + 8;
            break;
        case 6:
            if (l4 + 20 <= end) p->m_Tcp = l4;
            break;
        case 1:
            if (l4 + 8 <= end) p->m_Icmp = l4;
            break;
        default: break;
    }
}

std::uint32_t CopyFrame(const std::uint8_t* frame, std::uint32_t length, TwPacket* p, std::uint32_t limit,
                        std::uint32_t* total) {
    if (total != nullptr) *total = length;
    std::uint32_t n = length <= limit + 15 ? length : limit;
    if (n > kPacketDataSize) n = kPacketDataSize;
    std::memcpy(p->m_Data, frame, n);
    p->m_BytesHeld = n;
    return n;
}

void MacToText(const std::uint8_t* mac, char out[18]) {
    static const char kDigits[] = "0123456789ABCDEF";
    for (int i = 0; i < 6; ++i) {
        out[i * 3] = kDigits[mac[i] >> 4];
        out[i * 3 + 1] = kDigits[mac[i] & 0x0F];
        out[i * 3 + 2] = i < 5 ? '-' : '\0';
    }
}

}  // namespace olvane
