// Segmenting what a device with TCP offload hands up and coalescing what is written to it: every
// frame checked byte for byte, with checksums verified by a sum of our own here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <random>
#include <vector>

#include "platform/packet_offload.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using platform::GsoSegmenter;
using platform::kVnetHeaderSize;
using platform::OffloadFault;
using platform::TcpCoalescer;

constexpr std::size_t kEth = 14;
constexpr std::size_t kMaxFrame = 1514;

std::uint32_t Be16(const std::uint8_t* p) { return std::uint32_t{p[0]} << 8 | p[1]; }
std::uint32_t Be32(const std::uint8_t* p) { return Be16(p) << 16 | Be16(p + 2); }

// A plain word-by-word ones'-complement sum, independent of the library's.
std::uint32_t Sum(const std::uint8_t* p, std::size_t n, std::uint32_t sum = 0) {
    for (std::size_t i = 0; i + 1 < n; i += 2) sum += Be16(p + i);
    if (n % 2) sum += std::uint32_t{p[n - 1]} << 8;
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return sum;
}

// The checksum field for a sum; 0 and 0xFFFF check alike, and 0xFFFF is what the library writes.
std::uint32_t Finish(std::uint32_t sum) {
    const std::uint32_t c = ~sum & 0xFFFF;
    return c == 0 ? 0xFFFF : c;
}

bool TcpValid(const std::uint8_t* ip, bool v6, std::size_t ipHeader, std::size_t tcpLength) {
    std::uint32_t pseudo = v6 ? Sum(ip + 8, 32) : Sum(ip + 12, 8);
    pseudo += 6 + static_cast<std::uint32_t>(tcpLength);
    return Sum(ip + ipHeader, tcpLength, pseudo) == 0xFFFF;
}

struct Flow {
    std::size_t link = kEth;
    bool v6 = false;
    std::size_t options = 12;        // TCP options (a timestamp's worth)
    std::uint32_t seq = 0xFFFFF000;  // wraps inside the super-frame
    std::uint16_t id = 0xFFFE;       // so does the IPv4 id
    std::uint8_t flags = 0x18;       // ACK|PSH
};

std::size_t IpHeader(const Flow& f) { return f.v6 ? 40 : 20; }
std::size_t Headers(const Flow& f) { return f.link + IpHeader(f) + 20 + f.options; }

// One TCP packet of `payload` bytes (the payload's bytes count on from `start`), checksums
// complete: a frame as a peer sends it, or the body of a super-frame.
Bytes MakePacket(const Flow& f, std::size_t payload, std::size_t start = 0) {
    Bytes b(Headers(f) + payload, 0);
    if (f.link == kEth) {
        const std::uint8_t eth[kEth] = {2, 0, 0, 0, 0, 1, 2, 0, 0, 0, 0, 2, 0x08, 0x00};
        std::memcpy(b.data(), eth, kEth);
        if (f.v6) b[12] = 0x86, b[13] = 0xDD;
    }
    std::uint8_t* ip = b.data() + f.link;
    const std::size_t tcpLength = b.size() - f.link - IpHeader(f);
    if (f.v6) {
        ip[0] = 0x60;
        ip[4] = static_cast<std::uint8_t>(tcpLength >> 8), ip[5] = static_cast<std::uint8_t>(tcpLength);
        ip[6] = 6, ip[7] = 64;
        for (int i = 0; i < 32; ++i) ip[8 + i] = static_cast<std::uint8_t>(0x20 + i);
    } else {
        const std::size_t total = b.size() - f.link;
        ip[0] = 0x45, ip[2] = static_cast<std::uint8_t>(total >> 8), ip[3] = static_cast<std::uint8_t>(total);
        ip[4] = static_cast<std::uint8_t>(f.id >> 8), ip[5] = static_cast<std::uint8_t>(f.id);
        ip[6] = 0x40, ip[8] = 64, ip[9] = 6;
        const std::uint8_t addresses[8] = {198, 18, 0, 2, 203, 0, 113, 10};
        std::memcpy(ip + 12, addresses, 8);
        const std::uint32_t c = Finish(Sum(ip, 20));
        ip[10] = static_cast<std::uint8_t>(c >> 8), ip[11] = static_cast<std::uint8_t>(c);
    }
    std::uint8_t* tcp = ip + IpHeader(f);
    tcp[0] = 0x9C, tcp[1] = 0x40, tcp[2] = 0x14, tcp[3] = 0x51;
    for (int i = 0; i < 4; ++i) tcp[4 + i] = static_cast<std::uint8_t>(f.seq >> (24 - 8 * i));
    tcp[8] = 0x11, tcp[9] = 0x22, tcp[10] = 0x33, tcp[11] = 0x44;
    tcp[12] = static_cast<std::uint8_t>((20 + f.options) / 4 << 4);
    tcp[13] = f.flags;
    tcp[14] = 0x01, tcp[15] = 0xF6;
    for (std::size_t i = 0; i < f.options; ++i)
        tcp[20 + i] = static_cast<std::uint8_t>(i == 0 ? 1 : 0x80 + i);
    for (std::size_t i = 0; i < payload; ++i)
        tcp[20 + f.options + i] = static_cast<std::uint8_t>((start + i) * 7);
    std::uint32_t pseudo =
        (f.v6 ? Sum(ip + 8, 32) : Sum(ip + 12, 8)) + 6 + static_cast<std::uint32_t>(tcpLength);
    const std::uint32_t c = Finish(Sum(tcp, tcpLength, pseudo));
    tcp[16] = static_cast<std::uint8_t>(c >> 8), tcp[17] = static_cast<std::uint8_t>(c);
    return b;
}

// What the device hands up: the virtio header asking for segmentation, then the packet with
// its TCP checksum left partial (garbage here: the segmenter must not rely on it).
Bytes MakeSuperFrame(const Flow& f, std::size_t payload, std::uint16_t mss) {
    Bytes packet = MakePacket(f, payload);
    packet[f.link + IpHeader(f) + 16] ^= 0x5A;
    platform::VnetHeader h;
    h.flags = platform::kVnetFlagNeedsCsum;
    h.gsoType = f.v6 ? platform::kVnetGsoTcpV6 : platform::kVnetGsoTcpV4;
    h.headerLength = static_cast<std::uint16_t>(Headers(f));
    h.gsoSize = mss;
    h.checksumStart = static_cast<std::uint16_t>(f.link + IpHeader(f));
    h.checksumOffset = 16;
    Bytes out(kVnetHeaderSize);
    platform::WriteVnetHeader(h, out.data());
    out.insert(out.end(), packet.begin(), packet.end());
    return out;
}

std::vector<Bytes> Segment(GsoSegmenter& s, Bytes read, OffloadFault* fault = nullptr) {
    const OffloadFault f = s.Load(read.data(), read.size());
    if (fault) *fault = f;
    std::vector<Bytes> frames;
    while (s.Pending()) {
        Bytes out(kMaxFrame);
        const std::size_t n = s.Next(out.data(), out.size());
        EXPECT_LE(n, out.size());
        out.resize(n);
        frames.push_back(out);
    }
    return frames;
}

// Every segment of a super-frame: its headers the super-frame's with length, id, seq, flags and
// checksums set as a sender that segments itself would set them, its payload the next slice.
void CheckSegments(const Flow& f, const std::vector<Bytes>& frames, std::size_t payload, std::size_t mss) {
    ASSERT_EQ(frames.size(), (payload + mss - 1) / mss);
    const Bytes original = MakePacket(f, payload);
    const std::size_t ipHeader = IpHeader(f), headers = Headers(f);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE(i);
        const Bytes& b = frames[i];
        const bool last = i + 1 == frames.size();
        const std::size_t chunk = last ? payload - i * mss : mss;
        ASSERT_EQ(b.size(), headers + chunk);
        EXPECT_EQ(0, std::memcmp(b.data(), original.data(), f.link));
        const std::uint8_t* ip = b.data() + f.link;
        const std::uint8_t* tcp = ip + ipHeader;
        if (f.v6) {
            EXPECT_EQ(Be16(ip + 4), b.size() - f.link - 40);
            EXPECT_EQ(0, std::memcmp(ip + 6, original.data() + f.link + 6, 34));
        } else {
            EXPECT_EQ(Be16(ip + 2), b.size() - f.link);
            EXPECT_EQ(Be16(ip + 4), (f.id + i) & 0xFFFF);
            EXPECT_EQ(Sum(ip, 20), 0xFFFFu) << "IPv4 header checksum";
            EXPECT_EQ(0, std::memcmp(ip + 12, original.data() + f.link + 12, 8));
        }
        EXPECT_EQ(Be32(tcp + 4), static_cast<std::uint32_t>(f.seq + i * mss));
        const std::uint8_t expected =
            static_cast<std::uint8_t>(f.flags & (last ? 0xFF : ~0x09) & (i == 0 ? 0xFF : ~0x80));
        EXPECT_EQ(tcp[13], expected);
        EXPECT_EQ(0, std::memcmp(tcp + 8, original.data() + f.link + ipHeader + 8, 5));  // ack, offset
        EXPECT_EQ(0, std::memcmp(tcp + 20, original.data() + f.link + ipHeader + 20, f.options));
        EXPECT_TRUE(TcpValid(ip, f.v6, ipHeader, b.size() - f.link - ipHeader)) << "TCP checksum";
        EXPECT_EQ(0, std::memcmp(b.data() + headers, original.data() + headers + i * mss, chunk));
    }
}

TEST(ChecksumTest, SumsMatchAPlainWordSumAndCopyingSumsAsItCopies) {
    std::mt19937 rng(20261210);
    Bytes src(2000 + 16), dst(2000 + 32);
    for (int round = 0; round < 3000; ++round) {
        // Random bytes, and all-ones that carry out of every word, and zeros.
        const int pattern = round % 5;
        for (auto& byte : src)
            byte = pattern == 3 ? 0xFF : pattern == 4 ? 0 : static_cast<std::uint8_t>(rng());
        const std::size_t length = rng() % 2001, from = rng() % 8, to = 8 + rng() % 8;
        const std::uint32_t start = round % 2 ? rng() % 0x10000 : 0;
        SCOPED_TRACE("length " + std::to_string(length) + " from " + std::to_string(from) + " to " +
                     std::to_string(to) + " start " + std::to_string(start));
        const std::uint8_t* p = src.data() + from;
        const std::uint32_t sum = platform::ChecksumAdd(p, length, start);
        ASSERT_EQ(sum, Sum(p, length, start));
        std::fill(dst.begin(), dst.end(), std::uint8_t{0xA5});
        ASSERT_EQ(platform::ChecksumCopy(dst.data() + to, p, length, start), sum);
        ASSERT_EQ(0, std::memcmp(dst.data() + to, p, length));
        ASSERT_EQ(Bytes(dst.begin(), dst.begin() + static_cast<std::ptrdiff_t>(to)), Bytes(to, 0xA5));
        ASSERT_EQ(Bytes(dst.begin() + static_cast<std::ptrdiff_t>(to + length), dst.end()),
                  Bytes(dst.size() - to - length, 0xA5));
        // A part that starts at an odd byte of what is summed adds its sum byte-swapped.
        const std::size_t split = length == 0 ? 0 : rng() % length;
        std::uint32_t tail = platform::ChecksumAdd(p + split, length - split);
        if (split % 2) tail = ((tail & 0xFF) << 8) | (tail >> 8);
        ASSERT_EQ(platform::ChecksumAdd(p, split, start + tail), Sum(p, length, start));
    }
}

TEST(GsoSegmenterTest, SuperFramesBecomeTheFramesASegmentingSenderWouldSend) {
    {
        SCOPED_TRACE("IPv4 over Ethernet, options, a short last segment, PSH|FIN|CWR");
        Flow f;
        f.flags = 0x99;  // CWR|ACK|PSH|FIN
        GsoSegmenter s(kEth, kMaxFrame);
        CheckSegments(f, Segment(s, MakeSuperFrame(f, 5000, 1448)), 5000, 1448);
    }
    {
        SCOPED_TRACE("IPv6 on a TUN, the payload a whole number of segments");
        Flow f;
        f.link = 0;
        f.v6 = true;
        f.options = 0;
        GsoSegmenter s(0, 1500);
        CheckSegments(f, Segment(s, MakeSuperFrame(f, 1440 * 3, 1440)), 1440 * 3, 1440);
    }
    {
        SCOPED_TRACE("the largest super-frame, many small segments");
        Flow f;
        const std::size_t payload = 65535 - 20 - 32;
        GsoSegmenter s(kEth, kMaxFrame);
        CheckSegments(f, Segment(s, MakeSuperFrame(f, payload, 536)), payload, 536);
    }
    {
        SCOPED_TRACE("a super-frame no longer than one segment");
        Flow f;
        GsoSegmenter s(kEth, kMaxFrame);
        CheckSegments(f, Segment(s, MakeSuperFrame(f, 100, 1448)), 100, 1448);
    }
}

TEST(GsoSegmenterTest, FramesWithoutSegmentationPassWithTheirChecksumCompleted) {
    GsoSegmenter s(kEth, kMaxFrame);
    // An ARP request: no virtio flags, so it passes byte for byte.
    Bytes arp(kVnetHeaderSize + 42, 0);
    for (std::size_t i = kVnetHeaderSize; i < arp.size(); ++i) arp[i] = static_cast<std::uint8_t>(i);
    auto frames = Segment(s, arp);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], Bytes(arp.begin() + kVnetHeaderSize, arp.end()));

    // A UDP datagram whose checksum field holds the pseudo-header's sum only, odd length.
    Bytes udp(kVnetHeaderSize + kEth + 20 + 8 + 33, 0);
    std::uint8_t* ip = udp.data() + kVnetHeaderSize + kEth;
    udp[kVnetHeaderSize + 12] = 0x08;
    ip[0] = 0x45, ip[9] = 17, ip[12] = 10, ip[15] = 1, ip[16] = 10, ip[19] = 2;
    std::uint8_t* u = ip + 20;
    u[5] = 8 + 33;
    for (int i = 0; i < 33; ++i) u[8 + i] = static_cast<std::uint8_t>(0xF0 + i);
    const std::uint32_t pseudo = Sum(ip + 12, 8) + 17 + 8 + 33;
    u[6] = static_cast<std::uint8_t>(pseudo >> 8), u[7] = static_cast<std::uint8_t>(pseudo);
    platform::VnetHeader h;
    h.flags = platform::kVnetFlagNeedsCsum;
    h.checksumStart = kEth + 20;
    h.checksumOffset = 6;
    platform::WriteVnetHeader(h, udp.data());
    frames = Segment(s, udp);
    ASSERT_EQ(frames.size(), 1u);
    const std::uint8_t* got = frames[0].data() + kEth + 20;
    EXPECT_EQ(Sum(got, 8 + 33, Sum(ip + 12, 8) + 17 + 8 + 33), 0xFFFFu);
    EXPECT_EQ(0, std::memcmp(frames[0].data(), udp.data() + kVnetHeaderSize, kEth + 20 + 6));
}

TEST(GsoSegmenterTest, MalformedReadsAreRejectedWithTheirReason) {
    const Flow f;
    const Bytes good = MakeSuperFrame(f, 3000, 1448);
    const std::size_t ip = kVnetHeaderSize + kEth, tcp = ip + 20;
    struct Case {
        const char* what;
        OffloadFault fault;
        std::function<void(Bytes&)> spoil;
    };
    const std::vector<Case> cases = {
        {"shorter than a virtio header", OffloadFault::kTruncated, [](Bytes& b) { b.resize(9); }},
        {"virtio header alone", OffloadFault::kTruncated, [](Bytes& b) { b.resize(kVnetHeaderSize); }},
        {"cut inside the TCP header", OffloadFault::kTruncated, [&](Bytes& b) { b.resize(tcp + 10); }},
        {"cut inside the options", OffloadFault::kBadLength, [&](Bytes& b) { b.resize(tcp + 24); }},
        {"UDP segmentation", OffloadFault::kUnsupportedGso, [](Bytes& b) { b[1] = 3; }},
        {"unknown GSO type", OffloadFault::kUnsupportedGso, [](Bytes& b) { b[1] = 0x42; }},
        {"segment size 0", OffloadFault::kBadSegmentSize, [](Bytes& b) { b[4] = b[5] = 0; }},
        {"segments larger than a frame", OffloadFault::kBadSegmentSize,
         [](Bytes& b) { b[4] = 0xB0, b[5] = 5; }},
        {"IPv4 type, IPv6 frame", OffloadFault::kBadHeader, [](Bytes& b) { b[kVnetHeaderSize + 12] = 0x86; }},
        {"not IPv4 inside", OffloadFault::kBadHeader, [&](Bytes& b) { b[ip] = 0x65; }},
        {"IPv4 header length 4", OffloadFault::kBadHeader, [&](Bytes& b) { b[ip] = 0x44; }},
        {"UDP inside", OffloadFault::kBadHeader, [&](Bytes& b) { b[ip + 9] = 17; }},
        {"a fragment", OffloadFault::kBadHeader, [&](Bytes& b) { b[ip + 6] = 0x20; }},
        {"TCP data offset 4", OffloadFault::kBadHeader, [&](Bytes& b) { b[tcp + 12] = 0x40; }},
        {"TCP data offset past the end", OffloadFault::kTruncated,
         [&](Bytes& b) {
             b[tcp + 12] = 0xF0, b.resize(tcp + 40);
             b[ip + 2] = 0, b[ip + 3] = 60;
         }},
        {"IP length too long", OffloadFault::kBadLength, [&](Bytes& b) { ++b[ip + 2]; }},
        {"IP length too short", OffloadFault::kBadLength, [](Bytes& b) { b.pop_back(); }},
        {"no payload", OffloadFault::kBadLength,
         [&](Bytes& b) {
             b.resize(tcp + 32);
             b[ip + 2] = 0, b[ip + 3] = 52;
         }},
        {"checksum start past the end", OffloadFault::kBadChecksumSpan,
         [](Bytes& b) { b[1] = 0, b[6] = 0xFF, b[7] = 0xFF; }},
        {"checksum field past the end", OffloadFault::kBadChecksumSpan,
         [&](Bytes& b) {
             b[1] = 0;
             const std::size_t start = b.size() - kVnetHeaderSize - 3;
             b[6] = static_cast<std::uint8_t>(start), b[7] = static_cast<std::uint8_t>(start >> 8);
             b[8] = 2, b[9] = 0;
         }},
    };
    GsoSegmenter s(kEth, kMaxFrame);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes b = good;
        c.spoil(b);
        EXPECT_EQ(s.Load(b.data(), b.size()), c.fault);
        EXPECT_FALSE(s.Pending());
        std::uint8_t out[kMaxFrame];
        EXPECT_EQ(s.Next(out, sizeof out), 0u);
        EXPECT_STRNE(platform::OffloadFaultText(c.fault), "unknown fault");
    }
    // A frame larger than the caller's buffer is skipped, never written past it.
    Bytes b = good;
    ASSERT_EQ(s.Load(b.data(), b.size()), OffloadFault::kNone);
    std::vector<std::uint8_t> small(100);
    while (s.Pending()) EXPECT_EQ(s.Next(small.data(), small.size()), 0u);
}

TEST(GsoSegmenterTest, RandomAndTruncatedReadsNeverOverrunAndYieldOnlySoundSegments) {
    std::mt19937 rng(2812);
    GsoSegmenter s(kEth, kMaxFrame);
    for (int round = 0; round < 3000; ++round) {
        Flow f;
        f.v6 = round % 3 == 0;
        f.options = static_cast<std::size_t>(rng() % 11) * 4;
        const std::size_t payload = 1 + rng() % 9000;
        Bytes b =
            MakeSuperFrame(f, payload, static_cast<std::uint16_t>(1 + rng() % (kMaxFrame - Headers(f))));
        switch (round % 4) {
            case 0: b.resize(rng() % b.size()); break;
            case 1:
                for (int i = 0; i < 4; ++i)
                    b[rng() % std::min<std::size_t>(b.size(), 120)] ^= static_cast<std::uint8_t>(rng());
                break;
            case 2:
                for (auto& byte : b) byte = static_cast<std::uint8_t>(rng());
                b.resize(rng() % b.size());
                break;
            default: break;
        }
        const bool intact = round % 4 == 3;
        // The read sits at the end of its own allocation, so a read past it is a fault to ASan.
        std::vector<std::uint8_t> read(b.begin(), b.end());
        const OffloadFault fault = s.Load(read.data(), read.size());
        if (intact) {
            EXPECT_EQ(fault, OffloadFault::kNone);
        }
        std::size_t produced = 0;
        while (s.Pending()) {
            std::vector<std::uint8_t> out(kMaxFrame);
            const std::size_t n = s.Next(out.data(), out.size());
            ASSERT_LE(n, kMaxFrame);
            produced += n > 0;
            if (intact) {
                const std::size_t ipHeader = f.v6 ? 40 : 20;
                EXPECT_TRUE(TcpValid(out.data() + kEth, f.v6, ipHeader, n - kEth - ipHeader));
            }
        }
        if (fault != OffloadFault::kNone) {
            EXPECT_EQ(produced, 0u);
        }
    }
}

// ---- coalescing ----

// Segments of one flow as a peer would send them: full-size but the last.
std::vector<Bytes> Segments(Flow f, std::size_t count, std::size_t mss, std::size_t last,
                            std::size_t start = 0) {
    std::vector<Bytes> frames;
    for (std::size_t i = 0; i < count; ++i) {
        f.flags = i + 1 == count ? 0x18 : 0x10;
        const std::size_t size = i + 1 == count ? last : mss;
        frames.push_back(MakePacket(f, size, start));
        f.seq += static_cast<std::uint32_t>(size);
        f.id = static_cast<std::uint16_t>(f.id + 1);
        start += size;
    }
    return frames;
}

// What the coalescer gives to write, segmented again as the kernel would: the frames it took.
std::vector<Bytes> Resegment(std::size_t link, const std::uint8_t* data, std::size_t length) {
    Bytes copy(data, data + length);
    GsoSegmenter s(link, 1514);
    return Segment(s, copy);
}

TEST(TcpCoalescerTest, InOrderSegmentsBecomeOneWriteThatSegmentsBackToThem) {
    for (const bool v6 : {false, true}) {
        for (const std::size_t link : {kEth, std::size_t{0}}) {
            SCOPED_TRACE(std::string(v6 ? "IPv6" : "IPv4") + (link ? " over Ethernet" : " bare"));
            Flow f;
            f.v6 = v6;
            f.link = link;
            const auto frames = Segments(f, 7, 1448 - (v6 ? 20 : 0), 300);
            TcpCoalescer c(link);
            for (const Bytes& b : frames) ASSERT_TRUE(c.Add(b.data(), b.size()));
            EXPECT_EQ(c.Count(), 7u);
            std::size_t n = 0;
            const std::uint8_t* out = c.Take(&n);
            EXPECT_EQ(c.Count(), 0u);
            const platform::VnetHeader h = platform::ReadVnetHeader(out);
            EXPECT_EQ(h.flags, platform::kVnetFlagNeedsCsum);
            EXPECT_EQ(h.gsoType, v6 ? platform::kVnetGsoTcpV6 : platform::kVnetGsoTcpV4);
            EXPECT_EQ(h.gsoSize, 1448 - (v6 ? 20 : 0));
            EXPECT_EQ(h.headerLength, Headers(f));
            EXPECT_EQ(h.checksumStart, link + IpHeader(f));
            EXPECT_EQ(h.checksumOffset, 16);
            const std::uint8_t* ip = out + kVnetHeaderSize + link;
            if (!v6) {
                EXPECT_EQ(Sum(ip, 20), 0xFFFFu) << "the super-frame's own IPv4 checksum";
            }
            // The partial checksum holds the pseudo-header's sum over the whole TCP length.
            const std::size_t tcpLength = n - kVnetHeaderSize - link - IpHeader(f);
            const std::uint32_t pseudo =
                Sum(v6 ? ip + 8 : ip + 12, v6 ? 32 : 8, 6 + static_cast<std::uint32_t>(tcpLength));
            EXPECT_EQ(Be16(ip + IpHeader(f) + 16), pseudo);
            EXPECT_EQ(Resegment(link, out, n), frames);
        }
    }
}

TEST(TcpCoalescerTest, OnlyTheRightNextSegmentJoinsARun) {
    Flow f;
    // Three segments of a run still open (no PSH yet), which the right fourth joins.
    auto run = Segments(f, 4, 1448, 1448);
    run.pop_back();
    Flow next = f;
    next.seq += 3 * 1448;
    next.id = static_cast<std::uint16_t>(f.id + 3);
    next.flags = 0x10;
    struct Case {
        const char* what;
        std::function<void(Flow&)> flow;
        std::function<void(Bytes&)> bytes;
        std::size_t payload = 1448;
    };
    auto fixTcp = [](Bytes& b, std::size_t ipHeader) {
        std::uint8_t* ip = b.data() + kEth;
        std::uint8_t* tcp = ip + ipHeader;
        tcp[16] = tcp[17] = 0;
        const std::size_t len = b.size() - kEth - ipHeader;
        const std::uint32_t c = Finish(Sum(tcp, len, Sum(ip + 12, 8) + 6 + static_cast<std::uint32_t>(len)));
        tcp[16] = static_cast<std::uint8_t>(c >> 8), tcp[17] = static_cast<std::uint8_t>(c);
    };
    const std::vector<Case> cases = {
        {"a gap in the sequence", [](Flow& g) { g.seq += 1; }, {}},
        {"a resent segment", [](Flow& g) { g.seq -= 1448; }, {}},
        {"an IPv4 id out of step", [](Flow& g) { g.id = static_cast<std::uint16_t>(g.id + 2); }, {}},
        {"FIN", [](Flow& g) { g.flags = 0x11; }, {}},
        {"SYN", [](Flow& g) { g.flags = 0x12; }, {}},
        {"RST", [](Flow& g) { g.flags = 0x14; }, {}},
        {"URG", [](Flow& g) { g.flags = 0x30; }, {}},
        {"ECE", [](Flow& g) { g.flags = 0x50; }, {}},
        {"no ACK", [](Flow& g) { g.flags = 0x08; }, {}},
        {"longer than the first", {}, {}, 1449},
        {"pure ACK", {}, {}, 0},
        {"other options (timestamp)", {}, [&](Bytes& b) { b[kEth + 20 + 25] ^= 1, fixTcp(b, 20); }},
        {"other ACK", {}, [&](Bytes& b) { b[kEth + 20 + 11] ^= 1, fixTcp(b, 20); }},
        {"other window", {}, [&](Bytes& b) { b[kEth + 20 + 15] ^= 1, fixTcp(b, 20); }},
        {"other port", {}, [&](Bytes& b) { b[kEth + 20 + 1] ^= 1, fixTcp(b, 20); }},
        {"other MAC", {}, [](Bytes& b) { b[5] ^= 1; }},
        {"damaged payload", {}, [](Bytes& b) { b.back() ^= 0x40; }},
        {"damaged TCP checksum", {}, [](Bytes& b) { b[kEth + 20 + 17] ^= 1; }},
        {"damaged IPv4 header", {}, [](Bytes& b) { b[kEth + 8] ^= 1; }},
        {"IPv4 length unlike the frame's", {}, [](Bytes& b) { b.push_back(0); }},
    };
    {
        TcpCoalescer coalescer(kEth);
        for (const Bytes& b : run) ASSERT_TRUE(coalescer.Add(b.data(), b.size()));
        const Bytes right = MakePacket(next, 1448);
        EXPECT_TRUE(coalescer.Add(right.data(), right.size()));
        EXPECT_EQ(coalescer.Count(), 4u);
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TcpCoalescer coalescer(kEth);
        for (const Bytes& b : run) ASSERT_TRUE(coalescer.Add(b.data(), b.size()));
        Flow g = next;
        if (c.flow) c.flow(g);
        Bytes b = MakePacket(g, c.payload);
        if (c.bytes) c.bytes(b);
        EXPECT_FALSE(coalescer.Add(b.data(), b.size()));
        EXPECT_EQ(coalescer.Count(), 3u);
        std::size_t n = 0;
        const std::uint8_t* out = coalescer.Take(&n);
        EXPECT_EQ(Resegment(kEth, out, n), run);
    }
    {
        SCOPED_TRACE("nothing after a short segment or a PSH");
        TcpCoalescer coalescer(kEth);
        auto shortRun = Segments(f, 2, 1448, 700);
        shortRun[1][kEth + 20 + 13] = 0x10;
        fixTcp(shortRun[1], 20);
        for (const Bytes& b : shortRun) ASSERT_TRUE(coalescer.Add(b.data(), b.size()));
        Flow g = f;
        g.seq += 1448 + 700;
        g.id = static_cast<std::uint16_t>(g.id + 2);
        const Bytes after = MakePacket(g, 700);
        EXPECT_FALSE(coalescer.Add(after.data(), after.size()));
        std::size_t n = 0;
        coalescer.Take(&n);
        const auto pushed = Segments(f, 1, 1448, 1448);  // one segment with PSH
        ASSERT_TRUE(coalescer.Add(pushed[0].data(), pushed[0].size()));
        Flow h = f;
        h.seq += 1448;
        h.id = static_cast<std::uint16_t>(h.id + 1);
        h.flags = 0x10;
        const Bytes more = MakePacket(h, 1448);
        EXPECT_FALSE(coalescer.Add(more.data(), more.size()));
    }
    {
        SCOPED_TRACE("what cannot start a run, and a run of one, written as it came");
        TcpCoalescer coalescer(kEth);
        Bytes udp = MakePacket(f, 100);
        udp[kEth + 9] = 17;
        EXPECT_FALSE(coalescer.Add(udp.data(), udp.size()));
        Bytes options = MakePacket(f, 100);
        options[kEth] = 0x46;
        EXPECT_FALSE(coalescer.Add(options.data(), options.size()));
        Bytes arp(42, 0);
        arp[12] = 0x08, arp[13] = 0x06;
        EXPECT_FALSE(coalescer.Add(arp.data(), arp.size()));
        EXPECT_FALSE(coalescer.Add(arp.data(), 20));
        Bytes damaged = MakePacket(f, 501);
        damaged.back() ^= 0x40;
        EXPECT_FALSE(coalescer.Add(damaged.data(), damaged.size()));
        EXPECT_EQ(coalescer.Count(), 0u);
        std::size_t n = 1;
        EXPECT_EQ(coalescer.Take(&n), nullptr);
        EXPECT_EQ(n, 0u);
        const Bytes one = MakePacket(f, 500);
        ASSERT_TRUE(coalescer.Add(one.data(), one.size()));
        const std::uint8_t* out = coalescer.Take(&n);
        ASSERT_EQ(n, kVnetHeaderSize + one.size());
        EXPECT_EQ(Bytes(out, out + kVnetHeaderSize), Bytes(kVnetHeaderSize, 0));
        EXPECT_EQ(Bytes(out + kVnetHeaderSize, out + n), one);
    }
}

TEST(TcpCoalescerTest, ARunStopsAtTheLargestIpPacket) {
    Flow f;
    f.options = 0;
    const auto frames = Segments(f, 60, 1460, 1460);
    TcpCoalescer c(kEth);
    std::size_t taken = 0;
    while (taken < frames.size() && c.Add(frames[taken].data(), frames[taken].size())) ++taken;
    EXPECT_EQ(taken, (65535 - 40) / 1460);
    std::size_t n = 0;
    const std::uint8_t* out = c.Take(&n);
    EXPECT_LE(Be16(out + kVnetHeaderSize + kEth + 2), 65535u);
    EXPECT_EQ(Resegment(kEth, out, n),
              std::vector<Bytes>(frames.begin(), frames.begin() + static_cast<long>(taken)));
}

// A stream of segments, some spoilt at random, fed as a writer feeds it (what is refused is
// written alone after what is held): what reaches the device, segmented again, is the stream.
TEST(TcpCoalescerTest, RandomStreamsReachTheDeviceUnchanged) {
    std::mt19937 rng(2828);
    for (int round = 0; round < 200; ++round) {
        Flow f;
        f.v6 = round % 2 == 1;
        f.link = round % 3 == 0 ? 0 : kEth;
        auto stream = Segments(f, 1 + rng() % 80, 1200, 1 + rng() % 1200);
        for (Bytes& b : stream) {
            const auto what = rng() % 16;
            if (what == 0) b[rng() % b.size()] ^= static_cast<std::uint8_t>(1 + rng() % 255);
            if (what == 1) b.resize(rng() % b.size());
        }
        TcpCoalescer c(f.link);
        std::vector<Bytes> written;
        auto flush = [&] {
            std::size_t n = 0;
            const std::uint8_t* out = c.Take(&n);
            if (out == nullptr) return;
            ASSERT_GE(n, kVnetHeaderSize);
            if (platform::ReadVnetHeader(out).gsoType == platform::kVnetGsoNone) {
                written.emplace_back(out + kVnetHeaderSize, out + n);
            } else {
                for (Bytes& s : Resegment(f.link, out, n)) written.push_back(std::move(s));
            }
        };
        for (const Bytes& b : stream) {
            if (c.Add(b.data(), b.size())) continue;
            flush();
            if (!c.Add(b.data(), b.size())) written.push_back(b);
        }
        flush();
        ASSERT_EQ(written, stream) << "round " << round;
    }
}

}  // namespace
