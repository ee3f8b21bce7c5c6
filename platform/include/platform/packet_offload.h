// TCP offload in user space for TUN and TAP devices opened with IFF_VNET_HDR: every read and
// write carries a virtio-net header in front of the packet. Reads may hand up TCP super-frames of
// up to 64 KiB with their checksum left to us; GsoSegmenter cuts them back into frames the size
// the sender's MSS gives, checksums complete. Writes may carry many in-order segments of one flow
// as one super-frame; TcpCoalescer merges them so one write() stands for many frames.
//
// Both work on Ethernet frames (a TAP, link header 14) or bare IP packets (a TUN, link header 0).
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace platform {

// struct virtio_net_hdr, the size the kernel uses unless told otherwise (TUNSETVNETHDRSZ).
constexpr std::size_t kVnetHeaderSize = 10;
constexpr std::uint8_t kVnetFlagNeedsCsum = 1;
constexpr std::uint8_t kVnetGsoNone = 0;
constexpr std::uint8_t kVnetGsoTcpV4 = 1;
constexpr std::uint8_t kVnetGsoTcpV6 = 4;
constexpr std::uint8_t kVnetGsoEcn = 0x80;
// The largest read a device with TSO hands up: a 64 KiB IP packet, its link header and the
// virtio header, with room to see that a read was not cut short.
constexpr std::size_t kSuperFrameBuffer = 65536 + 14 + kVnetHeaderSize + 64;

struct VnetHeader {
    std::uint8_t flags = 0;
    std::uint8_t gsoType = kVnetGsoNone;
    std::uint16_t headerLength = 0;
    std::uint16_t gsoSize = 0;
    std::uint16_t checksumStart = 0;
    std::uint16_t checksumOffset = 0;
};
// Little-endian on the wire (a legacy virtio header on this kind of host).
VnetHeader ReadVnetHeader(const std::uint8_t* p);
void WriteVnetHeader(const VnetHeader& header, std::uint8_t* p);

// The ones'-complement sum of `length` bytes, folded to 16 bits, added to `sum`.
std::uint32_t ChecksumAdd(const std::uint8_t* data, std::size_t length, std::uint32_t sum = 0);
// Copies `length` bytes from `src` to `dst` (apart, as for memcpy) and returns what ChecksumAdd
// over them gives, in one pass. The sum counts from `src`'s first byte: a span that starts at an
// odd offset within what is summed adds its sum byte-swapped.
std::uint32_t ChecksumCopy(std::uint8_t* dst, const std::uint8_t* src, std::size_t length,
                           std::uint32_t sum = 0);
// The checksum field's value for a folded sum (never 0, which UDP reserves for "none").
std::uint16_t ChecksumFinish(std::uint32_t sum);

enum class OffloadFault {
    kNone,
    kTruncated,        // shorter than the virtio header and the headers it announces
    kCutShort,         // the read filled the buffer: the packet was longer than it
    kBadHeader,        // the IP or TCP header is not what the GSO type says
    kBadLength,        // the IP length disagrees with what was read
    kUnsupportedGso,   // a GSO type other than TCP over IPv4 or IPv6
    kBadSegmentSize,   // a segment size of 0 or one whose frames exceed the largest frame
    kBadChecksumSpan,  // the partial checksum's start or field lies outside the packet
};
const char* OffloadFaultText(OffloadFault fault);

// Cuts what one read returned into frames, one Next() at a time, so a super-frame costs no
// storage of its own: the frames are produced from the read buffer, which the caller keeps
// until Pending() is false.
class GsoSegmenter {
public:
    // `maxFrame`: the largest frame a segment may make (link header included).
    GsoSegmenter(std::size_t linkHeader, std::size_t maxFrame) : m_link(linkHeader), m_maxFrame(maxFrame) {}
    // One read (virtio header first). On a fault nothing is pending. The buffer is modified (a
    // frame without GSO gets its checksum completed in place).
    OffloadFault Load(std::uint8_t* data, std::size_t length);
    bool Pending() const { return m_data != nullptr; }
    // The next frame into `out` (`capacity` bytes): its length; 0 when nothing is pending or the
    // frame does not fit (it is then skipped).
    std::size_t Next(std::uint8_t* out, std::size_t capacity);
    void Clear() { m_data = nullptr; }

private:
    std::size_t m_link, m_maxFrame;
    std::uint8_t* m_data = nullptr;  // the frame, after the virtio header
    std::size_t m_length = 0;
    bool m_gso = false, m_v6 = false;
    std::size_t m_ipHeader = 0, m_headers = 0;  // IP header length; link + IP + TCP lengths
    std::size_t m_segment = 0, m_offset = 0;    // segment payload size; payload bytes produced
    std::uint32_t m_index = 0;                  // segments produced
};

// Merges consecutive in-order TCP segments of one flow (the same addresses, ports, ACK, window
// and options, ACK with nothing but PSH besides, every one the first's size but the last) into
// one super-frame with a virtio header that asks the kernel for segmentation offload. Anything
// else is not taken: the caller writes what is held first, then that frame alone.
class TcpCoalescer {
public:
    explicit TcpCoalescer(std::size_t linkHeader);
    // True when `frame` joined the run held (or started one); false when it cannot: write what
    // is held (if anything) first, then offer it again or write it alone.
    bool Add(const std::uint8_t* frame, std::size_t length);
    std::size_t Count() const { return m_count; }
    // What is held as one write (virtio header first); the run is then empty. With one frame
    // held, the frame as it came, behind a header that asks for nothing.
    const std::uint8_t* Take(std::size_t* length);

private:
    bool Start(const std::uint8_t* frame, std::size_t length);
    std::size_t m_link;
    std::vector<std::uint8_t> m_buffer;  // virtio header, then the first frame's headers and payloads
    std::size_t m_length = 0;            // bytes held after the virtio header
    std::size_t m_count = 0;
    bool m_v6 = false, m_closed = false;
    std::size_t m_ipHeader = 0, m_headers = 0, m_segment = 0, m_lastPayload = 0;
    std::uint32_t m_nextSeq = 0;
    std::uint16_t m_nextId = 0;
    std::uint8_t m_pushFlag = 0;
};

// ---- I/O on a TUN or TAP descriptor opened with IFF_VNET_HDR ----

// Sets the virtio header's size and asks for checksum and TCP segmentation offload. False (errno
// set) when the header size is refused; a kernel that refuses the offloads sends whole frames
// with their checksums done, which GsoSegmenter takes as they are.
bool EnableVnetOffloads(int fd);
// One read into `buffer` (kSuperFrameBuffer bytes), loaded into `segmenter`: >0 when its frames
// are pending, 0 for a malformed read (*fault says why; nothing pending), <0 with errno on a
// read error.
long ReadSuperFrame(int fd, std::vector<std::uint8_t>& buffer, GsoSegmenter& segmenter, OffloadFault* fault);
// One packet or frame behind a virtio header that asks for nothing.
bool WritePlain(int fd, const std::uint8_t* packet, std::size_t length);
// `length` bytes in one write (a TcpCoalescer's run, its virtio header first).
bool WriteWhole(int fd, const std::uint8_t* data, std::size_t length);

}  // namespace platform
