#include "platform/packet_offload.h"

#include <linux/if_tun.h>
#include <sys/ioctl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <bit>
#include <cstring>

namespace platform {

namespace {

constexpr std::uint8_t kTcpFin = 0x01;
constexpr std::uint8_t kTcpPsh = 0x08;
constexpr std::uint8_t kTcpAck = 0x10;
constexpr std::uint8_t kTcpCwr = 0x80;
constexpr std::size_t kIpv4Header = 20;
constexpr std::size_t kIpv6Header = 40;
constexpr std::size_t kTcpHeader = 20;
constexpr std::size_t kMaxIpLength = 65535;

std::uint16_t Read16(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }
std::uint32_t Read32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}
void Write16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}
void Write32(std::uint8_t* p, std::uint32_t v) {
    Write16(p, v >> 16);
    Write16(p + 2, v & 0xFFFF);
}
std::uint16_t ReadLe16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
void WriteLe16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

std::uint32_t Fold(std::uint64_t sum) {
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint32_t>(sum);
}

// Two 64-bit lanes: a GNU vector the compiler maps to the machine's SIMD registers, or to plain
// words where there are none.
using Lanes = std::uint64_t __attribute__((vector_size(16)));

// The ones'-complement sum of `length` bytes (copied to `dst` on the way when kCopy), folded to
// 16 bits in network order. Summed as 32-bit words in the machine's order, each into a 64-bit
// lane whose upper half gathers the carries (no lane can overflow below 16 GiB), folded at the
// end; byte order only swaps the folded result.
template <bool kCopy>
std::uint32_t SumSpan(std::uint8_t* dst, const std::uint8_t* src, std::size_t length) {
    const Lanes low = {0xFFFFFFFF, 0xFFFFFFFF};
    Lanes lo0 = {0, 0}, hi0 = {0, 0}, lo1 = {0, 0}, hi1 = {0, 0};
    std::size_t i = 0;
    for (; i + 32 <= length; i += 32) {
        Lanes x, y;
        std::memcpy(&x, src + i, 16);
        std::memcpy(&y, src + i + 16, 16);
        if constexpr (kCopy) {
            std::memcpy(dst + i, &x, 16);
            std::memcpy(dst + i + 16, &y, 16);
        }
        lo0 += x & low;
        hi0 += x >> 32;
        lo1 += y & low;
        hi1 += y >> 32;
    }
    const Lanes total = lo0 + hi0 + lo1 + hi1;
    std::uint64_t acc = total[0] + total[1];
    for (; i + 4 <= length; i += 4) {
        std::uint32_t word;
        std::memcpy(&word, src + i, 4);
        if constexpr (kCopy) std::memcpy(dst + i, &word, 4);
        acc += word;
    }
    if (i < length) {
        // Padded with zeros to a whole word: an odd last byte then stands where the sum of
        // 16-bit words puts it (the high byte of its word in network order) in either byte order.
        std::uint32_t word = 0;
        std::memcpy(&word, src + i, length - i);
        if constexpr (kCopy) std::memcpy(dst + i, src + i, length - i);
        acc += word;
    }
    std::uint32_t folded = Fold(acc);
    if constexpr (std::endian::native == std::endian::little) folded = ((folded & 0xFF) << 8) | (folded >> 8);
    return folded;
}

// A sum taken over a part that starts `offset` bytes into what is summed: a part starting at an
// odd byte has every byte in the other half of its 16-bit word, so its sum is byte-swapped.
std::uint32_t AtOffset(std::uint32_t sum, std::size_t offset) {
    return offset % 2 == 0 ? sum : ((sum & 0xFF) << 8) | (sum >> 8);
}

// The TCP pseudo-header's sum: addresses, protocol and the TCP length.
std::uint32_t PseudoSum(const std::uint8_t* ip, bool v6, std::size_t tcpLength) {
    const std::uint32_t addresses = v6 ? ChecksumAdd(ip + 8, 32) : ChecksumAdd(ip + 12, 8);
    return Fold(std::uint64_t{addresses} + 6 + (tcpLength >> 16) + (tcpLength & 0xFFFF));
}

// Whether a TCP segment's checksum holds, from its header and its payload's sum (taken apart, as
// the payload was copied).
bool TcpChecksumValid(const std::uint8_t* ip, bool v6, const std::uint8_t* tcp, std::size_t tcpHeader,
                      std::size_t tcpLength, std::uint32_t payloadSum) {
    const std::uint32_t headerSum = ChecksumAdd(tcp, tcpHeader, PseudoSum(ip, v6, tcpLength));
    return Fold(std::uint64_t{headerSum} + AtOffset(payloadSum, tcpHeader)) == 0xFFFF;
}

// The IP version an Ethernet type or (without a link header) the first nibble names: 4, 6 or 0.
int IpVersion(const std::uint8_t* frame, std::size_t link) {
    if (link == 0) return frame[0] >> 4;
    const std::uint16_t type = Read16(frame + link - 2);
    return type == 0x0800 ? 4 : type == 0x86DD ? 6 : 0;
}

}  // namespace

VnetHeader ReadVnetHeader(const std::uint8_t* p) {
    VnetHeader h;
    h.flags = p[0];
    h.gsoType = p[1];
    h.headerLength = ReadLe16(p + 2);
    h.gsoSize = ReadLe16(p + 4);
    h.checksumStart = ReadLe16(p + 6);
    h.checksumOffset = ReadLe16(p + 8);
    return h;
}

void WriteVnetHeader(const VnetHeader& header, std::uint8_t* p) {
    p[0] = header.flags;
    p[1] = header.gsoType;
    WriteLe16(p + 2, header.headerLength);
    WriteLe16(p + 4, header.gsoSize);
    WriteLe16(p + 6, header.checksumStart);
    WriteLe16(p + 8, header.checksumOffset);
}

std::uint32_t ChecksumAdd(const std::uint8_t* data, std::size_t length, std::uint32_t sum) {
    return Fold(std::uint64_t{SumSpan<false>(nullptr, data, length)} + sum);
}

std::uint32_t ChecksumCopy(std::uint8_t* dst, const std::uint8_t* src, std::size_t length,
                           std::uint32_t sum) {
    return Fold(std::uint64_t{SumSpan<true>(dst, src, length)} + sum);
}

std::uint16_t ChecksumFinish(std::uint32_t sum) {
    const auto value = static_cast<std::uint16_t>(~Fold(sum));
    return value == 0 ? 0xFFFF : value;
}

const char* OffloadFaultText(OffloadFault fault) {
    switch (fault) {
        case OffloadFault::kNone: return "no fault";
        case OffloadFault::kTruncated: return "shorter than its headers";
        case OffloadFault::kCutShort: return "longer than the read buffer";
        case OffloadFault::kBadHeader: return "IP or TCP header unlike its GSO type";
        case OffloadFault::kBadLength: return "IP length unlike the read's";
        case OffloadFault::kUnsupportedGso: return "GSO type not handled";
        case OffloadFault::kBadSegmentSize: return "segment size out of range";
        case OffloadFault::kBadChecksumSpan: return "partial checksum outside the packet";
    }
    return "unknown fault";
}

// ---- segmenting what the device reads ----

OffloadFault GsoSegmenter::Load(std::uint8_t* data, std::size_t length) {
    m_data = nullptr;
    if (length < kVnetHeaderSize) return OffloadFault::kTruncated;
    const VnetHeader h = ReadVnetHeader(data);
    std::uint8_t* frame = data + kVnetHeaderSize;
    const std::size_t n = length - kVnetHeaderSize;
    const std::uint8_t type = h.gsoType & static_cast<std::uint8_t>(~kVnetGsoEcn);
    if (type == kVnetGsoNone) {
        if (n == 0) return OffloadFault::kTruncated;
        if (h.flags & kVnetFlagNeedsCsum) {
            // The kernel left the pseudo-header's sum in the field: the sum from the start over
            // the rest, field included, is what the field must hold the complement of.
            const std::size_t start = h.checksumStart;
            const std::size_t field = start + h.checksumOffset;
            if (start >= n || field + 2 > n) return OffloadFault::kBadChecksumSpan;
            Write16(frame + field, ChecksumFinish(ChecksumAdd(frame + start, n - start)));
        }
        m_gso = false;
        m_data = frame;
        m_length = n;
        return OffloadFault::kNone;
    }
    if (type != kVnetGsoTcpV4 && type != kVnetGsoTcpV6) return OffloadFault::kUnsupportedGso;
    const bool v6 = type == kVnetGsoTcpV6;
    if (n < m_link + (v6 ? kIpv6Header : kIpv4Header) + kTcpHeader) return OffloadFault::kTruncated;
    if (IpVersion(frame, m_link) != (v6 ? 6 : 4)) return OffloadFault::kBadHeader;
    const std::uint8_t* ip = frame + m_link;
    std::size_t ipHeader;
    if (v6) {
        if ((ip[0] >> 4) != 6 || ip[6] != 6) return OffloadFault::kBadHeader;  // no extension headers
        ipHeader = kIpv6Header;
        if (Read16(ip + 4) != n - m_link - ipHeader) return OffloadFault::kBadLength;
    } else {
        ipHeader = std::size_t{ip[0] & 15u} * 4;
        if ((ip[0] >> 4) != 4 || ipHeader < kIpv4Header || ip[9] != 6 || (Read16(ip + 6) & 0x3FFF) != 0)
            return OffloadFault::kBadHeader;
        if (n < m_link + ipHeader + kTcpHeader) return OffloadFault::kTruncated;
        if (Read16(ip + 2) != n - m_link) return OffloadFault::kBadLength;
    }
    const std::size_t tcpHeader = std::size_t{ip[ipHeader + 12]} / 16 * 4;
    if (tcpHeader < kTcpHeader) return OffloadFault::kBadHeader;
    const std::size_t headers = m_link + ipHeader + tcpHeader;
    if (headers > n) return OffloadFault::kTruncated;
    if (headers == n) return OffloadFault::kBadLength;  // a super-frame without payload
    if (h.gsoSize == 0 || headers + h.gsoSize > m_maxFrame) return OffloadFault::kBadSegmentSize;
    m_gso = true;
    m_v6 = v6;
    m_ipHeader = ipHeader;
    m_headers = headers;
    m_segment = h.gsoSize;
    m_offset = 0;
    m_index = 0;
    m_data = frame;
    m_length = n;
    return OffloadFault::kNone;
}

std::size_t GsoSegmenter::Next(std::uint8_t* out, std::size_t capacity) {
    if (m_data == nullptr) return 0;
    if (!m_gso) {
        const std::uint8_t* frame = m_data;
        m_data = nullptr;
        if (m_length > capacity) return 0;
        std::memcpy(out, frame, m_length);
        return m_length;
    }
    const std::size_t payload = m_length - m_headers;
    const std::size_t chunk = std::min(m_segment, payload - m_offset);
    const bool first = m_index == 0, last = m_offset + chunk == payload;
    const std::size_t size = m_headers + chunk;
    if (size <= capacity) {
        std::memcpy(out, m_data, m_headers);
        // The payload is summed as it is copied; the headers, changed below, are summed after.
        const std::uint32_t payloadSum = ChecksumCopy(out + m_headers, m_data + m_headers + m_offset, chunk);
        std::uint8_t* ip = out + m_link;
        std::uint8_t* tcp = ip + m_ipHeader;
        const std::size_t tcpLength = size - m_link - m_ipHeader;
        if (m_v6) {
            Write16(ip + 4, static_cast<std::uint32_t>(tcpLength));
        } else {
            Write16(ip + 2, static_cast<std::uint32_t>(m_ipHeader + tcpLength));
            Write16(ip + 4, (Read16(ip + 4) + m_index) & 0xFFFF);
            Write16(ip + 10, 0);
            Write16(ip + 10, ChecksumFinish(ChecksumAdd(ip, m_ipHeader)));
        }
        Write32(tcp + 4, Read32(tcp + 4) + static_cast<std::uint32_t>(m_offset));
        if (!last) tcp[13] &= static_cast<std::uint8_t>(~(kTcpFin | kTcpPsh));
        if (!first) tcp[13] &= static_cast<std::uint8_t>(~kTcpCwr);
        Write16(tcp + 16, 0);
        const std::size_t tcpHeader = tcpLength - chunk;
        const std::uint32_t headerSum = ChecksumAdd(tcp, tcpHeader, PseudoSum(ip, m_v6, tcpLength));
        Write16(tcp + 16, ChecksumFinish(Fold(std::uint64_t{headerSum} + AtOffset(payloadSum, tcpHeader))));
    }
    m_offset += chunk;
    ++m_index;
    if (last) m_data = nullptr;
    return size <= capacity ? size : 0;
}

// ---- coalescing what is written to the device ----

TcpCoalescer::TcpCoalescer(std::size_t linkHeader)
    : m_link(linkHeader), m_buffer(kVnetHeaderSize + linkHeader + kIpv6Header + kMaxIpLength) {}

bool TcpCoalescer::Start(const std::uint8_t* frame, std::size_t length) {
    if (length < m_link + kIpv4Header + kTcpHeader) return false;
    const int version = IpVersion(frame, m_link);
    const std::uint8_t* ip = frame + m_link;
    if (version != (ip[0] >> 4)) return false;
    const bool v6 = version == 6;
    std::size_t ipHeader;
    if (v6) {
        ipHeader = kIpv6Header;
        if (length < m_link + ipHeader + kTcpHeader || ip[6] != 6 ||
            Read16(ip + 4) != length - m_link - ipHeader)
            return false;
    } else if (version == 4) {
        // Options would have to match frame by frame; a plain header is what TCP senders use.
        ipHeader = kIpv4Header;
        if (ip[0] != 0x45 || ip[9] != 6 || Read16(ip + 2) != length - m_link ||
            (Read16(ip + 6) & 0x3FFF) != 0 || ChecksumAdd(ip, ipHeader) != 0xFFFF)
            return false;
    } else {
        return false;
    }
    const std::uint8_t* tcp = ip + ipHeader;
    const std::size_t tcpHeader = std::size_t{tcp[12]} / 16 * 4;
    const std::size_t headers = m_link + ipHeader + tcpHeader;
    if (tcpHeader < kTcpHeader || (tcp[12] & 0x0F) != 0 || headers >= length ||
        (tcp[13] & ~kTcpPsh) != kTcpAck || Read16(tcp + 18) != 0)
        return false;
    // The kernel is told the checksum still has to be made: a segment that arrived damaged must
    // not be passed off as sound, so it is written alone and the stack drops it.
    // The payload is summed as it is copied; nothing is held until the sum proves sound.
    std::uint8_t* held = m_buffer.data() + kVnetHeaderSize;
    std::memcpy(held, frame, headers);
    const std::uint32_t payloadSum = ChecksumCopy(held + headers, frame + headers, length - headers);
    if (!TcpChecksumValid(ip, v6, tcp, tcpHeader, length - m_link - ipHeader, payloadSum)) return false;
    m_length = length;
    m_count = 1;
    m_v6 = v6;
    m_ipHeader = ipHeader;
    m_headers = headers;
    m_segment = length - headers;
    m_lastPayload = m_segment;
    m_nextSeq = Read32(tcp + 4) + static_cast<std::uint32_t>(m_segment);
    m_nextId = static_cast<std::uint16_t>(Read16(ip + 4) + 1);
    m_pushFlag = tcp[13] & kTcpPsh;
    m_closed = m_pushFlag != 0;
    return true;
}

bool TcpCoalescer::Add(const std::uint8_t* frame, std::size_t length) {
    if (m_count == 0) return Start(frame, length);
    if (m_closed || length <= m_headers) return false;
    const std::uint8_t* held = m_buffer.data() + kVnetHeaderSize;
    const std::uint8_t* ip = frame + m_link;
    const std::uint8_t* heldIp = held + m_link;
    const std::uint8_t* tcp = ip + m_ipHeader;
    const std::uint8_t* heldTcp = heldIp + m_ipHeader;
    const std::size_t payload = length - m_headers;
    if (payload > m_segment || std::memcmp(frame, held, m_link) != 0) return false;
    if (m_v6) {
        if (std::memcmp(ip, heldIp, 4) != 0 || Read16(ip + 4) != length - m_link - m_ipHeader ||
            std::memcmp(ip + 6, heldIp + 6, 34) != 0)
            return false;
    } else {
        if (std::memcmp(ip, heldIp, 2) != 0 || Read16(ip + 2) != length - m_link ||
            Read16(ip + 4) != m_nextId || std::memcmp(ip + 6, heldIp + 6, 4) != 0 ||
            std::memcmp(ip + 12, heldIp + 12, 8) != 0 || ChecksumAdd(ip, m_ipHeader) != 0xFFFF)
            return false;
    }
    // Ports, ACK, header length, window, urgent pointer and options as the run's; flags may
    // differ by PSH alone.
    const std::size_t tcpHeader = m_headers - m_link - m_ipHeader;
    if (std::memcmp(tcp, heldTcp, 4) != 0 || Read32(tcp + 4) != m_nextSeq ||
        std::memcmp(tcp + 8, heldTcp + 8, 5) != 0 || (tcp[13] & ~kTcpPsh) != kTcpAck ||
        std::memcmp(tcp + 14, heldTcp + 14, 2) != 0 ||
        std::memcmp(tcp + 18, heldTcp + 18, tcpHeader - 18) != 0)
        return false;
    if (m_length - m_link + payload > kMaxIpLength + (m_v6 ? m_ipHeader : 0)) return false;
    // Copied past what is held while its sum is taken: a damaged segment leaves the bytes there
    // uncounted, and the run as it was.
    const std::uint32_t payloadSum =
        ChecksumCopy(m_buffer.data() + kVnetHeaderSize + m_length, frame + m_headers, payload);
    if (!TcpChecksumValid(ip, m_v6, tcp, tcpHeader, length - m_link - m_ipHeader, payloadSum)) return false;
    m_length += payload;
    ++m_count;
    m_nextSeq += static_cast<std::uint32_t>(payload);
    ++m_nextId;
    m_lastPayload = payload;
    m_pushFlag = tcp[13] & kTcpPsh;
    m_closed = payload < m_segment || m_pushFlag != 0;
    return true;
}

const std::uint8_t* TcpCoalescer::Take(std::size_t* length) {
    *length = 0;
    if (m_count == 0) return nullptr;
    VnetHeader h;
    if (m_count > 1) {
        std::uint8_t* ip = m_buffer.data() + kVnetHeaderSize + m_link;
        std::uint8_t* tcp = ip + m_ipHeader;
        const std::size_t tcpLength = m_length - m_link - m_ipHeader;
        if (m_v6) {
            Write16(ip + 4, static_cast<std::uint32_t>(tcpLength));
        } else {
            Write16(ip + 2, static_cast<std::uint32_t>(m_ipHeader + tcpLength));
            Write16(ip + 10, 0);
            Write16(ip + 10, ChecksumFinish(ChecksumAdd(ip, m_ipHeader)));
        }
        tcp[13] = static_cast<std::uint8_t>(tcp[13] | m_pushFlag);
        // A partial checksum holds the pseudo-header's sum; the kernel adds the rest per segment.
        Write16(tcp + 16, PseudoSum(ip, m_v6, tcpLength));
        h.flags = kVnetFlagNeedsCsum;
        h.gsoType = m_v6 ? kVnetGsoTcpV6 : kVnetGsoTcpV4;
        h.headerLength = static_cast<std::uint16_t>(m_headers);
        h.gsoSize = static_cast<std::uint16_t>(m_segment);
        h.checksumStart = static_cast<std::uint16_t>(m_link + m_ipHeader);
        h.checksumOffset = 16;
    }
    WriteVnetHeader(h, m_buffer.data());
    *length = kVnetHeaderSize + m_length;
    m_count = 0;
    m_length = 0;
    return m_buffer.data();
}

namespace {

bool WriteAll(int fd, const iovec* iov, int count, std::size_t length) {
    ssize_t n;
    do {
        n = ::writev(fd, iov, count);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(length);
}

}  // namespace

bool EnableVnetOffloads(int fd) {
    int headerSize = static_cast<int>(kVnetHeaderSize);
    if (::ioctl(fd, TUNSETVNETHDRSZ, &headerSize) != 0) return false;
    if (::ioctl(fd, TUNSETOFFLOAD, TUN_F_CSUM | TUN_F_TSO4 | TUN_F_TSO6) != 0)
        (void)::ioctl(fd, TUNSETOFFLOAD, 0);
    return true;
}

long ReadSuperFrame(int fd, std::vector<std::uint8_t>& buffer, GsoSegmenter& segmenter, OffloadFault* fault) {
    ssize_t n;
    do {
        n = ::read(fd, buffer.data(), buffer.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0) return -1;
    const auto got = static_cast<std::size_t>(n);
    // A read that filled the buffer may have lost the packet's end.
    *fault = got == buffer.size() ? OffloadFault::kCutShort : segmenter.Load(buffer.data(), got);
    return *fault == OffloadFault::kNone ? 1 : 0;
}

bool WritePlain(int fd, const std::uint8_t* packet, std::size_t length) {
    static const std::uint8_t kPlain[kVnetHeaderSize] = {};
    const iovec iov[2] = {{const_cast<std::uint8_t*>(kPlain), sizeof kPlain},
                          {const_cast<std::uint8_t*>(packet), length}};
    return WriteAll(fd, iov, 2, sizeof kPlain + length);
}

bool WriteWhole(int fd, const std::uint8_t* data, std::size_t length) {
    const iovec iov = {const_cast<std::uint8_t*>(data), length};
    return WriteAll(fd, &iov, 1, length);
}

}  // namespace platform
