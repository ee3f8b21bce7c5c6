// ARP and DHCP answers of the receive thread. Frames come from the virtual adapter, so from any
// program of this machine: every offset is checked against the frame's length before it is read.
#include "engine/local_answers.h"

#include <arpa/inet.h>

#include <cstring>

#include "engine/capture_device.h"

namespace engine {

namespace {

constexpr std::size_t kEth = 14;
constexpr std::size_t kArpBody = 28;
constexpr std::size_t kBootpFixed = 236;  // up to the magic cookie
constexpr std::size_t kOptionsAt = 240;
constexpr std::size_t kMinOptions = 60;
constexpr DWORD kMagicCookie = 0x63825363;

WORD Get16(const std::uint8_t* p) { return static_cast<WORD>((p[0] << 8) | p[1]); }
DWORD Get32(const std::uint8_t* p) {
    return (static_cast<DWORD>(p[0]) << 24) | (static_cast<DWORD>(p[1]) << 16) |
           (static_cast<DWORD>(p[2]) << 8) | p[3];
}
void Put16(std::uint8_t* p, WORD v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}
void Put32(std::uint8_t* p, DWORD v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}
// Network-order values are kept as they lie in memory.
DWORD GetRaw32(const std::uint8_t* p) {
    DWORD v;
    std::memcpy(&v, p, 4);
    return v;
}
void PutRaw32(std::uint8_t* p, DWORD v) { std::memcpy(p, &v, 4); }

std::uint32_t SumWords(const std::uint8_t* p, std::size_t n, std::uint32_t sum) {
    for (std::size_t i = 0; i + 1 < n; i += 2) sum += Get16(p + i);
    if (n & 1) sum += static_cast<std::uint32_t>(p[n - 1]) << 8;
    return sum;
}
WORD Fold(std::uint32_t sum) {
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<WORD>(~sum);
}

// One DHCP option of the answer.
struct Option {
    BYTE code;
    BYTE length;
    const BYTE* value;  // network order bytes
    bool enabled;
};

// What a DHCP request asks: the address of option 50 and the answer's message type from option
// 53 (2 offer for a discover, 5 ack for a request or inform, 0 for anything else).
struct DhcpRequestOptions {
    DWORD requested = 0;
    int type = 0;
};

DhcpRequestOptions ReadDhcpRequestOptions(const std::uint8_t* frame, std::size_t at, std::size_t end) {
    DhcpRequestOptions asked;
    while (at < end) {
        const BYTE code = frame[at];
        if (code == 255) break;
        if (code == 0) {  // pad
            ++at;
            continue;
        }
        if (at + 2 > end) break;
        const std::size_t len = frame[at + 1];
        if (at + 2 + len > end) break;
        const std::uint8_t* v = frame + at + 2;
        if (code == 50 && len >= 4) asked.requested = GetRaw32(v);
        if (code == 53 && len >= 1) {
            if (v[0] == 1) asked.type = 2;
            if (v[0] == 3 || v[0] == 8) asked.type = 5;
        }
        at += 2 + len;
    }
    return asked;
}

// The option values of an answer, in network order.
struct DhcpAnswerValues {
    BYTE offerType;
    BYTE nakType = 6;
    BYTE node = 4;
    BYTE t1[4], t2[4], lease[4], dns[8], wins[8], mask[4], router[4], server[4];

    DhcpAnswerValues(const DhcpInfo& info, BYTE type) : offerType(type) {
        Put32(t1, 345600);
        Put32(t2, 604800);
        Put32(lease, 691200);
        PutRaw32(mask, info.mask);
        PutRaw32(router, info.router);
        PutRaw32(server, info.server);
        PutRaw32(dns, info.dns1);
        PutRaw32(dns + 4, info.dns2);
        PutRaw32(wins, info.wins1);
        PutRaw32(wins + 4, info.wins2);
    }
};

// The answer's Ethernet, IP, UDP (checksum left 0) and BOOTP heads into the zeroed `reply`.
void WriteDhcpReplyHeads(const DhcpInfo& info, const std::uint8_t* ip, const std::uint8_t* bootp,
                         std::size_t options, DWORD offered, std::uint8_t* reply) {
    std::memcpy(reply, bootp + 28, 6);  // chaddr
    std::memcpy(reply + 6, kTunnelPeerMac, 6);
    Put16(reply + 12, 0x0800);
    std::uint8_t* rip = reply + kEth;
    // The request's first 20 header bytes, but always as a 20-byte header: the request's own IP
    // options are not copied, so its IHL must not be either.
    std::memcpy(rip, ip, 20);
    rip[0] = static_cast<std::uint8_t>((ip[0] & 0xF0) | 5);
    Put16(rip + 2, static_cast<WORD>(options + 268));
    Put16(rip + 4, static_cast<WORD>(Get16(ip + 4) + 0x5000));
    Put16(rip + 6, 0);  // no fragment bits of the request
    PutRaw32(rip + 12, info.server);
    Put32(rip + 16, 0xFFFFFFFFu);
    Put16(rip + 10, 0);
    Put16(rip + 10, CalcPacketChecksum(rip, 20, 0));
    std::uint8_t* udp = rip + 20;
    Put16(udp, 67);
    Put16(udp + 2, 68);
    Put16(udp + 4, static_cast<WORD>(options + 248));
    std::uint8_t* b = udp + 8;
    b[0] = 2;
    b[1] = 1;
    b[2] = 6;
    std::memcpy(b + 4, bootp + 4, 4);  // xid
    PutRaw32(b + 16, offered);
    PutRaw32(b + 20, info.server);
    std::memcpy(b + 28, bootp + 28, 6);
    Put32(b + kBootpFixed, kMagicCookie);
}

// The list's enabled options from `o` on, then the end option.
void WriteDhcpOptions(const Option* list, std::size_t count, std::uint8_t* o) {
    for (std::size_t i = 0; i < count; ++i) {
        if (!list[i].enabled) continue;
        o[0] = list[i].code;
        o[1] = list[i].length;
        std::memcpy(o + 2, list[i].value, list[i].length);
        o += 2 + list[i].length;
    }
    *o = 255;
}

}  // namespace

ArpProxyInfo SetArpProxyInfo(DWORD ownAddress, DWORD mask) {
    ArpProxyInfo p;
    p.rangeStart = ownAddress & mask;
    p.rangeEnd = (ownAddress & mask) | ~mask;
    p.mask = mask;
    std::memcpy(p.mac, kTunnelPeerMac, 6);
    p.ownAddress = ntohl(ownAddress);
    return p;
}

int arp_MatchArpProxyByIp(const ArpProxyInfo& proxy, DWORD target, ArpProxyInfo* out) {
    const DWORD t = ntohl(target);
    if (t == proxy.ownAddress) return 0;
    if (t < ntohl(proxy.rangeStart) || t > ntohl(proxy.rangeEnd)) return 0;
    if (out != nullptr) *out = proxy;
    return 1;
}

ArpResult BuildArpReply(const ArpProxyInfo& proxy, const std::uint8_t* frame, std::size_t length,
                        std::uint8_t* reply, std::size_t* replyLength) {
    if (frame == nullptr || length < kEth || Get16(frame + 12) != 0x0806) return ArpResult::kNotArp;
    if (length < kEth + kArpBody) return ArpResult::kNotArp;
    const std::uint8_t* arp = frame + kEth;
    if (Get16(arp) != 1 || Get16(arp + 2) != 0x0800 || arp[4] != 6 || arp[5] != 4) {
        return ArpResult::kUnknownPacket;
    }
    const WORD op = Get16(arp + 6);
    if (op == 2) return ArpResult::kResponse;
    if (op != 1) return ArpResult::kUnknownOpcode;
    const DWORD target = GetRaw32(arp + 24);
    ArpProxyInfo match;
    if (!arp_MatchArpProxyByIp(proxy, target, &match)) return ArpResult::kNotFound;

    std::memcpy(reply, frame, length);
    std::uint8_t* r = reply + kEth;
    std::memcpy(reply, arp + 8, 6);  // to the requester's hardware address
    std::memcpy(reply + 6, match.mac, 6);
    Put16(reply + 12, 0x0806);
    Put16(r + 6, 2);
    std::memcpy(r + 8, match.mac, 6);
    PutRaw32(r + 14, target);
    std::memcpy(r + 18, arp + 8, 6);
    std::memcpy(r + 24, arp + 14, 4);
    *replyLength = length;
    return ArpResult::kAnswered;
}

DhcpInfo SetDhcpInfo(DWORD address, DWORD mask, DWORD dns1, DWORD dns2, DWORD wins1, DWORD wins2) {
    DhcpInfo d;
    d.address = address;
    d.mask = mask;
    d.router = 0;
    d.server = address;
    d.dns1 = dns1;
    d.dns2 = dns2;
    d.wins1 = wins1;
    d.wins2 = wins2;
    return d;
}

WORD CalcPacketChecksum(const std::uint8_t* ip, std::size_t length, int kind) {
    if (ip == nullptr || length < 20) return 0;
    const std::size_t ihl = static_cast<std::size_t>(ip[0] & 0x0F) * 4;
    if (ihl < 20 || ihl > length) return 0;
    if (kind == 0) return Fold(SumWords(ip, ihl, 0));
    const std::uint8_t* t = ip + ihl;
    const std::size_t n = length - ihl;
    if (kind == 1) return Fold(SumWords(t, n, 0));
    if (kind != 6 && kind != 17) return 0;
    std::uint32_t sum = SumWords(ip + 12, 8, 0);
    sum += static_cast<std::uint32_t>(kind);
    sum += static_cast<std::uint32_t>(n);
    return Fold(SumWords(t, n, sum));
}

DhcpResult BuildDhcpReply(const DhcpInfo& info, const std::uint8_t* frame, std::size_t length,
                          std::uint8_t* reply, std::size_t* replyLength) {
    if (frame == nullptr || length < kEth + 20 || Get16(frame + 12) != 0x0800) return DhcpResult::kMalformed;
    const std::uint8_t* ip = frame + kEth;
    const std::size_t ihl = static_cast<std::size_t>(ip[0] & 0x0F) * 4;
    if (ihl < 20 || ip[9] != 17) return DhcpResult::kMalformed;
    // The end of the datagram: the IP total length, within the frame (Ethernet may pad).
    std::size_t end = length;
    const std::size_t total = Get16(ip + 2);
    if (total >= ihl + 8 && kEth + total < end) end = kEth + total;
    const std::size_t bootpAt = kEth + ihl + 8;
    if (bootpAt + kOptionsAt > end) return DhcpResult::kMalformed;
    const std::uint8_t* bootp = frame + bootpAt;
    if (Get32(bootp + kBootpFixed) != kMagicCookie) return DhcpResult::kBadCookie;
    if (bootp[0] != 1) return DhcpResult::kNotRequest;

    const DhcpRequestOptions asked = ReadDhcpRequestOptions(frame, bootpAt + kOptionsAt, end);
    if (asked.type == 0) return DhcpResult::kBypass;

    const DhcpAnswerValues v(info, static_cast<BYTE>(asked.type));
    const DWORD ciaddr = GetRaw32(bootp + 12);
    DWORD offered = info.address;
    bool nak = false;
    if (asked.type == 5 &&
        ((ciaddr != 0 && ciaddr != offered) || (asked.requested != 0 && asked.requested != offered))) {
        nak = true;
        offered = 0;
    }
    const Option offer[] = {
        {53, 1, &v.offerType, true},
        {1, 4, v.mask, info.mask != 0},
        {58, 4, v.t1, true},
        {59, 4, v.t2, true},
        {51, 4, v.lease, true},
        {3, 4, v.router, info.router != 0},
        {54, 4, v.server, info.server != 0},
        {6, static_cast<BYTE>(info.dns2 != 0 ? 8 : 4), v.dns, info.dns1 != 0},
        {44, static_cast<BYTE>(info.wins2 != 0 ? 8 : 4), v.wins, info.wins1 != 0},
        {46, 1, &v.node, true},
    };
    const Option nakList[] = {
        {53, 1, &v.nakType, true},
        {54, 4, v.server, true},
    };
    const Option* list = nak ? nakList : offer;
    const std::size_t count = nak ? 2 : sizeof(offer) / sizeof(offer[0]);
    std::size_t options = 1;  // the end option
    for (std::size_t i = 0; i < count; ++i) {
        if (list[i].enabled) options += 2u + list[i].length;
    }
    if (options < kMinOptions) options = kMinOptions;
    const std::size_t replyLen = options + 282;
    if (replyLen > kDhcpReplyRoom) return DhcpResult::kMalformed;

    std::memset(reply, 0, replyLen);
    WriteDhcpReplyHeads(info, ip, bootp, options, offered, reply);
    std::uint8_t* rip = reply + kEth;
    std::uint8_t* udp = rip + 20;
    WriteDhcpOptions(list, count, udp + 8 + kOptionsAt);
    WORD sum = CalcPacketChecksum(rip, options + 268, 17);
    if (sum == 0) sum = 0xFFFF;  // zero would mean "no checksum"
    Put16(udp + 6, sum);
    *replyLength = replyLen;
    if (nak) return DhcpResult::kNak;
    return asked.type == 2 ? DhcpResult::kOffer : DhcpResult::kAck;
}

}  // namespace engine
