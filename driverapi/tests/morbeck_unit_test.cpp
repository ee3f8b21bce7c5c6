// CMorbeck pieces that need no driver: frame parsing, byte swaps, texts.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <fstream>
#include <sstream>
#include <arpa/inet.h>

#include "morbeck/morbeck.h"
#include "platform/fake/fake_adapters.h"
#include "platform/fake/fake_resolver.h"
#include "platform/fake/fake_route_table.h"
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
        b->length = static_cast<DWORD>(rng() % 4 == 0 ? rng() : rng() % 80);
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
    platform::ResolverOptions options;
    options.file = root.Path() + "/resolv.conf";
    options.journalDir = root.Path() + "/resolver";
    options.resolvconf = "-";
    platform::LinuxResolver resolver(options);
    platform::fake::FakeAdapterList adapters;
    platform::AdapterInfo tun;
    tun.index = 9;
    tun.name = "tun0";
    tun.addresses.push_back({htonl(0xC6120002u), htonl(0xFFFFFF00u), true});  // 198.18.0.2/24
    adapters.Put(tun);
    platform::NetworkFacilities system;
    system.adapters = &adapters;
    system.resolver = &resolver;

    const std::string path = options.file;
    const std::string original = "search example.test\nnameserver 198.18.0.53\nnameserver 198.18.0.54\n";
    std::ofstream(path) << original;
    const DWORD local = htonl(0xC6120002u);
    const DWORD dns53 = htonl(0xC6120035u);  // 198.18.0.53
    const DWORD dns99 = htonl(0xC6120063u);  // 198.18.0.99
    CMorbeck m(system);
    ASSERT_EQ(m.DelInterfaceDns(local, dns99), 1);
    EXPECT_EQ(ReadText(path), original) << "a server not in the list leaves the list as it was";
    ASSERT_EQ(m.DelInterfaceDns(local, dns53), 1);
    EXPECT_EQ(ReadText(path), "search example.test\nnameserver 198.18.0.54\n");
    ASSERT_EQ(m.AddInterfaceDns(local, dns53), 1);
    ASSERT_EQ(m.AddInterfaceDns(local, dns53), 1);
    EXPECT_EQ(ReadText(path), "search example.test\nnameserver 198.18.0.54\nnameserver 198.18.0.53\n");
    // An address of no adapter here: nothing is touched.
    EXPECT_EQ(m.DelInterfaceDns(htonl(0xC6120001u), dns53), 0);
    EXPECT_EQ(ReadText(path), "search example.test\nnameserver 198.18.0.54\nnameserver 198.18.0.53\n");
    // The tunnel's changes are undone as one.
    ASSERT_EQ(resolver.Restore(), platform::kErrorSuccess);
    EXPECT_EQ(ReadText(path), original);
}

}  // namespace

namespace {

// Static configuration over in-memory adapters, routes and resolver: the order of the steps and
// that a refused step stops the ones after it.
class MorbeckConfigure : public ::testing::Test {
protected:
    void SetUp() override {
        platform::AdapterInfo tun;
        tun.index = 7;
        tun.name = "tun0";
        tun.macLength = 6;
        std::memcpy(tun.mac.data(), kMac, 6);
        tun.addresses.push_back({htonl(0xC6120002u), htonl(0xFFFFFF00u), true});
        m_adapters.Put(tun);
        m_resolver.SetMachineServers({htonl(0xCB00714Du)});
        m_system.routes = &m_routes;
        m_system.adapters = &m_adapters;
        m_system.addresses = &m_addresses;
        m_system.resolver = &m_resolver;
    }
    std::vector<platform::AdapterAddress> Addresses() {
        std::vector<platform::AdapterInfo> all;
        m_adapters.GetAdapters(&all);
        return all.at(0).addresses;
    }

    static constexpr BYTE kMac[6] = {0x02, 0, 0, 0, 0, 0xc0};
    platform::fake::FakeRouteTable m_routes;
    platform::fake::FakeAdapterList m_adapters;
    platform::fake::FakeAddressConfig m_addresses{m_adapters};
    platform::fake::FakeResolver m_resolver;
    platform::NetworkFacilities m_system;
};

TEST_F(MorbeckConfigure, AddressGatewayAndServersReplaceTheOldOnes) {
    MIB_IPFORWARDROW oldDefault{};
    oldDefault.dwForwardNextHop = htonl(0xC6120001u);
    oldDefault.dwForwardIfIndex = 7;
    oldDefault.dwForwardMetric1 = 5;
    MIB_IPFORWARDROW otherDefault = oldDefault;
    otherDefault.dwForwardIfIndex = 8;  // another adapter's default stays
    otherDefault.dwForwardMetric1 = 6;
    m_routes.SetRows({oldDefault, otherDefault});
    CMorbeck m(m_system);
    const DWORD addr = htonl(0xC6330007u), mask = htonl(0xFFFFFF80u), gw = htonl(0xC6330001u);
    const DWORD dns1 = htonl(0xC6330035u), dns2 = htonl(0xC6330036u);
    ASSERT_EQ(m.ConfigureInterfaceInfo(kMac, addr, mask, gw, dns1, dns2, "example.test"), 1);
    ASSERT_EQ(Addresses().size(), 1u);
    EXPECT_EQ(Addresses()[0].address, addr);
    const auto rows = m_routes.Rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].dwForwardIfIndex, 8u);
    EXPECT_EQ(rows[1].dwForwardNextHop, gw);
    EXPECT_EQ(rows[1].dwForwardIfIndex, 7u);
    EXPECT_EQ(rows[1].dwForwardMetric1, 1u);
    std::vector<DWORD> servers;
    m_resolver.GetNameServers(&servers);
    EXPECT_EQ(servers, (std::vector<DWORD>{dns1, dns2}));
    EXPECT_EQ(m_resolver.Calls().back(), "set tun0 2") << "servers are set for the adapter's name";

    // Only the second server: the zero is left out, not written as 0.0.0.0.
    ASSERT_EQ(m.ConfigureInterfaceInfo(kMac, addr, mask, 0, 0, dns2, nullptr), 1);
    m_resolver.GetNameServers(&servers);
    EXPECT_EQ(servers, (std::vector<DWORD>{dns2}));
    EXPECT_EQ(m_routes.Rows().size(), 1u) << "no gateway: the adapter's default route went";
}

TEST_F(MorbeckConfigure, ARefusedStepStopsTheRest) {
    CMorbeck m(m_system);
    const DWORD addr = htonl(0xC6330007u), mask = htonl(0xFFFFFF00u);
    const BYTE unknown[6] = {0x02, 0, 0, 0, 0, 0x99};
    EXPECT_EQ(m.ConfigureInterfaceInfo(unknown, addr, mask, 0, 1, 0, nullptr), 0);
    EXPECT_EQ(m.ConfigureInterfaceInfo(kMac, addr, htonl(0xFF00FF00u), 0, 1, 0, nullptr), 0);
    EXPECT_EQ(Addresses()[0].address, htonl(0xC6120002u)) << "refused requests changed nothing";

    m_addresses.writeError = platform::kErrorAccessDenied;
    EXPECT_EQ(m.ConfigureInterfaceInfo(kMac, addr, mask, htonl(0xC6330001u), 1, 0, nullptr), 0);
    EXPECT_TRUE(m_routes.Rows().empty()) << "no gateway after a failed address";
    EXPECT_FALSE(m_resolver.Changed());
    m_addresses.writeError = platform::kErrorSuccess;
    m_routes.readError = platform::kErrorGeneralFailure;
    EXPECT_EQ(m.ConfigureInterfaceInfo(kMac, addr, mask, htonl(0xC6330001u), 1, 0, nullptr), 0);
    EXPECT_FALSE(m_resolver.Changed()) << "no name servers after a failed gateway";
    m_routes.readError = platform::kErrorSuccess;
    m_resolver.FailChanges(platform::kErrorGeneralFailure);
    EXPECT_EQ(m.ConfigureInterfaceInfo(kMac, addr, mask, 0, htonl(0xC6330035u), 0, nullptr), 0);

    // Name servers of an address no adapter has: nothing reaches the resolver.
    m_resolver.FailChanges(platform::kErrorSuccess);
    const auto calls = m_resolver.Calls().size();
    EXPECT_EQ(m.AddInterfaceDns(htonl(0xC6120063u), htonl(0xC6330035u)), 0);
    EXPECT_EQ(m_resolver.Calls().size(), calls);
    EXPECT_EQ(m.AddInterfaceDns(addr, htonl(0xC6330035u)), 1);
    EXPECT_EQ(m_resolver.Calls().back(), "add tun0");
}

}  // namespace
