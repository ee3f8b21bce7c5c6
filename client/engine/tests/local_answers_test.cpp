// The receive thread's ARP and DHCP answers.
#include "engine/local_answers.h"

#include <gtest/gtest.h>

#include <random>

#include "datapath_fakes.h"
#include "engine/capture_device.h"

namespace {

using enginetest::Bytes;
using enginetest::Ip;
using namespace engine;

const BYTE kPcMac[6] = {0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x00};

Bytes ArpRequest(DWORD sender, DWORD target, WORD op = 1) {
    BYTE f[42] = {};
    std::memset(f, 0xFF, 6);
    std::memcpy(&f[6], kPcMac, 6);
    f[12] = 0x08;
    f[13] = 0x06;
    f[15] = 1;     // Ethernet
    f[16] = 0x08;  // IPv4
    f[18] = 6;
    f[19] = 4;
    f[21] = static_cast<BYTE>(op);
    std::memcpy(&f[22], kPcMac, 6);
    std::memcpy(&f[28], &sender, 4);
    std::memcpy(&f[38], &target, 4);
    return Bytes(f, f + sizeof f);
}

TEST(ArpAnswer, SubnetAddressesAreAnsweredButNotOurOwn) {
    const ArpProxyInfo proxy = SetArpProxyInfo(Ip("198.18.0.2"), Ip("255.255.255.0"));
    Bytes reply(64);
    std::size_t n = 0;
    for (const char* target : {"198.18.0.1", "198.18.0.0", "198.18.0.255", "198.18.0.77"}) {
        const Bytes req = ArpRequest(Ip("198.18.0.2"), Ip(target));
        ASSERT_EQ(BuildArpReply(proxy, req.data(), req.size(), reply.data(), &n), ArpResult::kAnswered)
            << target;
        ASSERT_EQ(n, req.size());
        EXPECT_EQ(0, std::memcmp(reply.data(), kPcMac, 6));
        EXPECT_EQ(0, std::memcmp(&reply[6], kTunnelPeerMac, 6));
        EXPECT_EQ(reply[21], 2);
        EXPECT_EQ(0, std::memcmp(&reply[22], kTunnelPeerMac, 6));
        EXPECT_EQ(0, std::memcmp(&reply[28], &req[38], 4));  // sender = the asked-for address
        EXPECT_EQ(0, std::memcmp(&reply[32], kPcMac, 6));
        EXPECT_EQ(0, std::memcmp(&reply[38], &req[28], 4));
    }
    const Bytes own = ArpRequest(Ip("198.18.0.9"), Ip("198.18.0.2"));
    EXPECT_EQ(BuildArpReply(proxy, own.data(), own.size(), reply.data(), &n), ArpResult::kNotFound);
    const Bytes outside = ArpRequest(Ip("198.18.0.2"), Ip("198.18.1.1"));
    EXPECT_EQ(BuildArpReply(proxy, outside.data(), outside.size(), reply.data(), &n), ArpResult::kNotFound);
}

TEST(ArpAnswer, OtherPacketsAreLeftAlone) {
    const ArpProxyInfo proxy = SetArpProxyInfo(Ip("198.18.0.2"), Ip("255.255.255.0"));
    Bytes reply(64);
    std::size_t n = 0;
    Bytes f = ArpRequest(Ip("198.18.0.2"), Ip("198.18.0.1"), 2);
    EXPECT_EQ(BuildArpReply(proxy, f.data(), f.size(), reply.data(), &n), ArpResult::kResponse);
    f = ArpRequest(Ip("198.18.0.2"), Ip("198.18.0.1"), 9);
    EXPECT_EQ(BuildArpReply(proxy, f.data(), f.size(), reply.data(), &n), ArpResult::kUnknownOpcode);
    f = ArpRequest(Ip("198.18.0.2"), Ip("198.18.0.1"));
    f[18] = 8;
    EXPECT_EQ(BuildArpReply(proxy, f.data(), f.size(), reply.data(), &n), ArpResult::kUnknownPacket);
    f = ArpRequest(Ip("198.18.0.2"), Ip("198.18.0.1"));
    for (std::size_t len = 0; len < f.size(); ++len) {
        EXPECT_EQ(BuildArpReply(proxy, f.data(), len, reply.data(), &n), ArpResult::kNotArp) << len;
    }
}

// A DHCP request (client port 68 -> 67) of `type`, with IP options of `ipOptionWords` words.
Bytes DhcpRequest(BYTE type, DWORD ciaddr = 0, DWORD requested = 0, int ipOptionWords = 0) {
    const std::size_t ihl = 20 + 4 * static_cast<std::size_t>(ipOptionWords);
    Bytes opts = {53, 1, type};
    if (requested != 0) {
        opts.insert(opts.end(), {50, 4});
        opts.insert(opts.end(), reinterpret_cast<BYTE*>(&requested), reinterpret_cast<BYTE*>(&requested) + 4);
    }
    opts.insert(opts.end(), {0, 0, 12, 3, 'p', 'c', '1', 255});
    const std::size_t bootp = 240 + opts.size();
    const std::size_t length = 14 + ihl + 8 + bootp;
    BYTE f[1600] = {};
    std::memset(f, 0xFF, 6);
    std::memcpy(&f[6], kPcMac, 6);
    f[12] = 0x08;
    BYTE* ip = f + 14;
    ip[0] = static_cast<BYTE>(0x40 | (ihl / 4));
    const std::size_t total = ihl + 8 + bootp;
    ip[2] = static_cast<BYTE>(total >> 8);
    ip[3] = static_cast<BYTE>(total);
    ip[4] = 0x12;
    ip[5] = 0x34;
    ip[8] = 128;
    ip[9] = 17;
    std::memset(ip + 16, 0xFF, 4);
    for (std::size_t i = 20; i < ihl; ++i) ip[i] = 1;  // NOP options
    BYTE* udp = ip + ihl;
    udp[1] = 68;
    udp[3] = 67;
    BYTE* b = udp + 8;
    b[0] = 1;
    b[1] = 1;
    b[2] = 6;
    b[4] = 0xDE;
    b[5] = 0xAD;
    b[6] = 0xBE;
    b[7] = 0xEF;
    std::memcpy(b + 12, &ciaddr, 4);
    std::memcpy(b + 28, kPcMac, 6);
    b[236] = 0x63;
    b[237] = 0x82;
    b[238] = 0x53;
    b[239] = 0x63;
    std::memcpy(b + 240, opts.data(), opts.size());
    return Bytes(f, f + length);
}

// The option codes of a reply, in order, up to the end option; checks the framing on the way.
std::vector<int> ReplyOptions(const Bytes& r, std::size_t n) {
    std::vector<int> codes;
    EXPECT_GE(n, 282u + 60u);
    EXPECT_EQ(r[14], 0x45);  // a 20-byte header, whatever the request had
    EXPECT_EQ(std::size_t((r[16] << 8) | r[17]), n - 14);
    EXPECT_EQ(std::size_t((r[38] << 8) | r[39]), n - 34);
    EXPECT_EQ(CalcPacketChecksum(&r[14], 20, 0), 0);       // header checksum verifies
    EXPECT_EQ(CalcPacketChecksum(&r[14], n - 14, 17), 0);  // and so does the UDP one
    for (std::size_t at = 282; at < n && r[at] != 255; at += 2 + std::size_t{r[at + 1]})
        codes.push_back(r[at]);
    return codes;
}

TEST(DhcpAnswer, DiscoverGetsAnOfferWithTheVirtualAddress) {
    const DhcpInfo info = SetDhcpInfo(Ip("198.18.0.2"), Ip("255.255.255.0"), Ip("198.18.0.53"), 0, 0, 0);
    const Bytes req = DhcpRequest(1);
    Bytes r(kDhcpReplyRoom);
    std::size_t n = 0;
    ASSERT_EQ(BuildDhcpReply(info, req.data(), req.size(), r.data(), &n), DhcpResult::kOffer);
    EXPECT_EQ(n, 282u + 60u);  // padded to 60 option bytes
    EXPECT_EQ(0, std::memcmp(r.data(), kPcMac, 6));
    EXPECT_EQ(0, std::memcmp(&r[6], kTunnelPeerMac, 6));
    EXPECT_EQ(r[18], 0x12 + 0x50);  // identification + 0x5000
    EXPECT_EQ(ReplyOptions(r, n), (std::vector<int>{53, 1, 58, 59, 51, 54, 6, 46}));
    const DWORD yiaddr = Ip("198.18.0.2");
    EXPECT_EQ(0, std::memcmp(&r[42 + 16], &yiaddr, 4));
    EXPECT_EQ(r[42 + 4], 0xDE);  // xid
    EXPECT_EQ(r[284], 2);        // OFFER
}

TEST(DhcpAnswer, RequestsAndInformGetAckOrNak) {
    const DhcpInfo info = SetDhcpInfo(Ip("198.18.0.2"), Ip("255.255.255.0"), Ip("198.18.0.53"),
                                      Ip("198.18.0.54"), Ip("198.18.0.60"), 0);
    Bytes r(kDhcpReplyRoom);
    std::size_t n = 0;
    Bytes req = DhcpRequest(3, 0, Ip("198.18.0.2"));
    ASSERT_EQ(BuildDhcpReply(info, req.data(), req.size(), r.data(), &n), DhcpResult::kAck);
    EXPECT_EQ(ReplyOptions(r, n), (std::vector<int>{53, 1, 58, 59, 51, 54, 6, 44, 46}));
    EXPECT_EQ(r[282 + 3 + 6 + 6 + 6 + 6 + 6 + 1], 8);  // two name servers
    req = DhcpRequest(8);
    EXPECT_EQ(BuildDhcpReply(info, req.data(), req.size(), r.data(), &n), DhcpResult::kAck);
    req = DhcpRequest(3, 0, Ip("198.18.0.9"));
    ASSERT_EQ(BuildDhcpReply(info, req.data(), req.size(), r.data(), &n), DhcpResult::kNak);
    EXPECT_EQ(ReplyOptions(r, n), (std::vector<int>{53, 54}));
    EXPECT_EQ(r[284], 6);
    EXPECT_EQ(0u, (r[58] | r[59] | r[60] | r[61]));  // yiaddr 0
    req = DhcpRequest(3, Ip("198.18.0.9"));
    EXPECT_EQ(BuildDhcpReply(info, req.data(), req.size(), r.data(), &n), DhcpResult::kNak);
}

TEST(DhcpAnswer, RequestWithIpOptionsGetsAWellFormedReply) {
    const DhcpInfo info = SetDhcpInfo(Ip("198.18.0.2"), Ip("255.255.255.0"), 0, 0, 0, 0);
    const Bytes req = DhcpRequest(1, 0, 0, 3);
    Bytes r(kDhcpReplyRoom);
    std::size_t n = 0;
    ASSERT_EQ(BuildDhcpReply(info, req.data(), req.size(), r.data(), &n), DhcpResult::kOffer);
    EXPECT_EQ(ReplyOptions(r, n), (std::vector<int>{53, 1, 58, 59, 51, 54, 46}));
    EXPECT_EQ(r[42 + 4], 0xDE);  // the request's BOOTP was found behind its options
}

TEST(DhcpAnswer, BadCookieOpCodeAndTypeAreNotAnswered) {
    const DhcpInfo info = SetDhcpInfo(Ip("198.18.0.2"), Ip("255.255.255.0"), 0, 0, 0, 0);
    Bytes r(kDhcpReplyRoom);
    std::size_t n = 0;
    Bytes req = DhcpRequest(1);
    req[42 + 236] = 0;
    EXPECT_EQ(BuildDhcpReply(info, req.data(), req.size(), r.data(), &n), DhcpResult::kBadCookie);
    req = DhcpRequest(1);
    req[42] = 2;
    EXPECT_EQ(BuildDhcpReply(info, req.data(), req.size(), r.data(), &n), DhcpResult::kNotRequest);
    req = DhcpRequest(7);  // RELEASE
    EXPECT_EQ(BuildDhcpReply(info, req.data(), req.size(), r.data(), &n), DhcpResult::kBypass);
}

TEST(DhcpAnswer, TruncatedAndRandomRequestsAreReadWithinTheirLength) {
    const DhcpInfo info = SetDhcpInfo(Ip("198.18.0.2"), Ip("255.255.255.0"), 0, 0, 0, 0);
    Bytes r(kDhcpReplyRoom);
    std::size_t n = 0;
    const Bytes req = DhcpRequest(3, 0, Ip("198.18.0.2"), 2);
    for (std::size_t len = 0; len < req.size(); ++len) {
        // A copy of exactly `len` bytes, so the sanitizers see any read past it.
        const Bytes cut(req.begin(), req.begin() + static_cast<long>(len));
        const DhcpResult res = BuildDhcpReply(info, cut.data(), cut.size(), r.data(), &n);
        if (len < 14 + 28 + 8 + 240) {
            EXPECT_EQ(res, DhcpResult::kMalformed) << len;
        }
    }
    // An option whose length runs past the end is not read.
    Bytes bad = DhcpRequest(1);
    bad[14 + 20 + 8 + 240 + 1] = 200;
    const Bytes exact(bad.begin(), bad.end());
    EXPECT_EQ(BuildDhcpReply(info, exact.data(), exact.size(), r.data(), &n), DhcpResult::kBypass);
    std::mt19937 rng(3);
    for (int i = 0; i < 2000; ++i) {
        Bytes f = req;
        for (int k = 0; k < 4; ++k) f[rng() % f.size()] = static_cast<BYTE>(rng());
        f.resize(rng() % (f.size() + 1));
        BuildDhcpReply(info, f.data(), f.size(), r.data(), &n);
    }
}

}  // namespace
