// The answers the receive thread gives in place of a neighbour and a DHCP server that do not
// exist: ARP replies for the virtual subnet and DHCP OFFER/ACK/NAK for the virtual address.
// Pure functions over frames: no I/O, no allocation, every length checked before it is read.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/types.h"

namespace engine {

// The ARP proxy entry, from SetArpProxyInfo(own address, mask); addresses in network order.
struct ArpProxyInfo {
    DWORD rangeStart = 0, rangeEnd = 0, mask = 0;
    BYTE mac[6] = {};
    DWORD ownAddress = 0;  // host order
};
ArpProxyInfo SetArpProxyInfo(DWORD ownAddressNetworkOrder, DWORD maskNetworkOrder);

// 1 and *out = the entry when `target` (network order) lies in the range and is not the own
// address; 0 otherwise.
int arp_MatchArpProxyByIp(const ArpProxyInfo& proxy, DWORD target, ArpProxyInfo* out);

enum class ArpResult {
    kNotArp,         // no ARP frame, or too short for its header
    kUnknownPacket,  // hardware or protocol type or sizes not Ethernet/IPv4
    kResponse,       // an ARP reply: nothing to do
    kUnknownOpcode,
    kNotFound,  // a request for an address we do not stand for
    kAnswered,  // *replyLength bytes of reply in `reply`
};
// Builds the reply to an ARP request into `reply` (at least `length` bytes, and 42).
ArpResult BuildArpReply(const ArpProxyInfo& proxy, const std::uint8_t* frame, std::size_t length,
                        std::uint8_t* reply, std::size_t* replyLength);

// The DHCP answer values, from SetDhcpInfo (network order).
struct DhcpInfo {
    DWORD address = 0, mask = 0, router = 0, server = 0;
    DWORD dns1 = 0, dns2 = 0, wins1 = 0, wins2 = 0;
};
DhcpInfo SetDhcpInfo(DWORD address, DWORD mask, DWORD dns1, DWORD dns2, DWORD wins1, DWORD wins2);

enum class DhcpResult {
    kMalformed,   // too short for what its headers announce, or not UDP/IPv4
    kBadCookie,   // not answered
    kNotRequest,  // op code not 1
    kBypass,      // no DISCOVER, REQUEST or INFORM
    kOffer,
    kAck,
    kNak,
};
constexpr std::size_t kDhcpReplyRoom = 1514;
// Builds the answer to a DHCP request into `reply` (kDhcpReplyRoom bytes) for kOffer/kAck/kNak.
DhcpResult BuildDhcpReply(const DhcpInfo& info, const std::uint8_t* frame, std::size_t length,
                          std::uint8_t* reply, std::size_t* replyLength);

// The Internet checksum of an IPv4 packet at `ip` of `length` bytes: kind 0 the header, 1 ICMP,
// 6 TCP, 17 UDP (over the pseudo-header). The checksum field is taken as it stands (zero it to
// compute, keep it to verify: a valid packet then sums to 0). 0 when the lengths do not fit.
WORD CalcPacketChecksum(const std::uint8_t* ip, std::size_t length, int kind);

}  // namespace engine
