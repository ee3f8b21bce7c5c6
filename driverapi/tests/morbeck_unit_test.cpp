// CMorbeck pieces that need no driver: frame parsing, byte swaps, texts.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <fstream>
#include <sstream>
#include <arpa/inet.h>

#include "morbeck/morbeck.h"
#include "testsupport/temp_root.h"
#include "testsupport/udp_frame.h"

namespace {

std::unique_ptr<_FWSHARED_MEMORY_BLOCK> BlockOf(const std::vector<std::uint8_t>& frame) {
    auto b = std::make_unique<_FWSHARED_MEMORY_BLOCK>();
    std::memset(b.get(), 0, sizeof(*b));
    b->length = static_cast<DWORD>(frame.size());
    std::memcpy(b->data, frame.data(), frame.size());
    return b;
}

TEST(MorbeckPacketInfo, FindsTheHeadersOfUdpDhcpDnsTcpIcmpAndArp) {
    const std::uint8_t mac[6] = {1, 2, 3, 4, 5, 6};
    auto frame = testsupport::UdpFrame(mac, mac, 0x0100a8c0, 0x0200a8c0, 67, 20, 0x5A);
    auto b = BlockOf(frame);
    _PACKET_INFO info{};
    ASSERT_EQ(CMorbeck::GetPacketInfo(b.get(), &info), 1);
    EXPECT_EQ(info.etherType, 0x0800);
    EXPECT_EQ(info.ipProtocol, 17);
    EXPECT_EQ(info.frame, b->data);
    EXPECT_EQ(info.ip, b->data + 14);
    EXPECT_EQ(info.udp, b->data + 34);
    EXPECT_EQ(info.dhcp, b->data + 42);
    EXPECT_EQ(info.dns, nullptr);

    frame = testsupport::UdpFrame(mac, mac, 1, 2, 53, 20, 0x5A);
    b = BlockOf(frame);
    ASSERT_EQ(CMorbeck::GetPacketInfo(b.get(), &info), 1);
    EXPECT_EQ(info.dns, b->data + 42);
    EXPECT_EQ(info.dhcp, nullptr);

    frame[23] = 6;  // TCP
    b = BlockOf(frame);
    CMorbeck::GetPacketInfo(b.get(), &info);
    EXPECT_EQ(info.tcp, b->data + 34);
    EXPECT_EQ(info.udp, nullptr);
    frame[23] = 1;  // ICMP
    b = BlockOf(frame);
    CMorbeck::GetPacketInfo(b.get(), &info);
    EXPECT_EQ(info.icmp, b->data + 34);

    frame[12] = 0x08;
    frame[13] = 0x06;
    b = BlockOf(frame);
    CMorbeck::GetPacketInfo(b.get(), &info);
    EXPECT_EQ(info.etherType, 0x0806);
    EXPECT_EQ(info.arp, b->data + 14);
    EXPECT_EQ(info.ip, nullptr);
    EXPECT_EQ(CMorbeck::GetPacketInfo(nullptr, &info), 0);
}

TEST(MorbeckPacketInfo, RandomAndShortFramesStayInsideTheBlock) {
    std::mt19937 rng(99);
    auto b = std::make_unique<_FWSHARED_MEMORY_BLOCK>();
    const auto* lo = reinterpret_cast<const BYTE*>(b.get());
    const auto* hi = lo + sizeof(*b);
    for (int round = 0; round < 5000; ++round) {
        auto* raw = reinterpret_cast<BYTE*>(b.get());
        for (size_t i = 0; i < sizeof(*b); ++i) raw[i] = static_cast<BYTE>(rng());
        if (round % 3 == 0) {
            b->data[12] = 0x08;
            b->data[13] = 0x00;
        }
        b->length = rng() % 4 == 0 ? rng() : rng() % 80;
        _PACKET_INFO info{};
        ASSERT_EQ(CMorbeck::GetPacketInfo(b.get(), &info), 1);
        for (const BYTE* p : {info.arp, info.ip, info.tcp, info.udp, info.icmp, info.dhcp, info.dns}) {
            if (p != nullptr) {
                EXPECT_GE(p, lo);
                EXPECT_LT(p, hi);
            }
        }
    }
}

TEST(MorbeckHelpers, ByteSwapsAndDottedText) {
    EXPECT_EQ((CMorbeck::htons)(0x1234), 0x3412);
    EXPECT_EQ((CMorbeck::ntohl)(0x11223344u), 0x44332211u);
    char buf[16];
    EXPECT_STREQ(CMorbeck::inet_ntoa(0x0100A8C0u, buf, sizeof(buf)), "192.168.0.1");
    EXPECT_STREQ(CMorbeck::inet_ntoa(0xFFFFFFFFu, buf, sizeof(buf)), "255.255.255.255");
    char small[8];
    EXPECT_STREQ(CMorbeck::inet_ntoa(1, small, sizeof(small)), "");
    EXPECT_STREQ(CMorbeck::RouteTypeName(3), "MIB_IPROUTE_TYPE_DIRECT");
    EXPECT_STREQ(CMorbeck::RouteTypeName(9), "Unknown");
    EXPECT_STREQ(CMorbeck::RouteProtoName(3), "MIB_IPPROTO_NETMGMT");
    EXPECT_STREQ(CMorbeck::RouteProtoName(10006), "MIB_IPPROTO_NT_STATIC");
    EXPECT_STREQ(CMorbeck::RouteProtoName(15), "Unknown");
}

}  // namespace

namespace {

std::string ReadText(const std::string& path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

TEST(MorbeckDns, NameServersAreRemovedAndAddedInTheResolverFile) {
    testsupport::TempRoot root{"morbeck-test"};
    const std::string path = root.Path() + "/resolv.conf";
    setenv("QEL_RESOLV_CONF", path.c_str(), 1);
    const std::string original = "search example.test\nnameserver 198.18.0.53\nnameserver 198.18.0.54\n";
    std::ofstream(path) << original;
    const DWORD loopback = htonl(0x7F000001u);
    const DWORD dns53 = htonl(0xC6120035u);  // 198.18.0.53
    const DWORD dns99 = htonl(0xC6120063u);  // 198.18.0.99
    CMorbeck m;
    ASSERT_EQ(m.DelInterfaceDns(loopback, dns99), 1);
    EXPECT_EQ(ReadText(path), original) << "a server not in the list leaves the list as it was";
    ASSERT_EQ(m.DelInterfaceDns(loopback, dns53), 1);
    EXPECT_EQ(ReadText(path), "search example.test\nnameserver 198.18.0.54\n");
    ASSERT_EQ(m.AddInterfaceDns(loopback, dns53), 1);
    ASSERT_EQ(m.AddInterfaceDns(loopback, dns53), 1);
    EXPECT_EQ(ReadText(path), "search example.test\nnameserver 198.18.0.54\nnameserver 198.18.0.53\n");
    // An address of no adapter here: nothing is touched.
    EXPECT_EQ(m.DelInterfaceDns(htonl(0xC6120001u), dns53), 0);
    EXPECT_EQ(ReadText(path), "search example.test\nnameserver 198.18.0.54\nnameserver 198.18.0.53\n");
    unsetenv("QEL_RESOLV_CONF");
}

}  // namespace
