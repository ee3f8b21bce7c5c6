// Machine identity, table look-ups and capture files of the utility library.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "testsupport/command.h"
#include "testsupport/netns.h"
#include "testsupport/temp_root.h"
#include "util/ethr_log.h"
#include "util/machine_identity.h"
#include "util/mib_lookup.h"

namespace {

DWORD Ip(const char* text) {
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

TEST(HardDriveId, SerialDigitsAndLettersFoldIntoADecimalNumber) {
    EXPECT_EQ(HardDriveIdFromText("123", "Generic"), 600000123);
    EXPECT_EQ(HardDriveIdFromText("A1", "Generic"), 600000101);  // A = 10, then *10 + 1
    EXPECT_EQ(HardDriveIdFromText("z", "Generic"), 600000035);
    EXPECT_EQ(HardDriveIdFromText("0", "Generic"), 600000000);
    EXPECT_EQ(HardDriveIdFromText("1 2", "Generic"), 600000102) << "a blank inside multiplies, adds 0";
    EXPECT_EQ(HardDriveIdFromText("", ""), 600000000);
}

TEST(HardDriveId, HyphensAreSkippedAndWdSerialsStartAtTheSixthCharacter) {
    EXPECT_EQ(HardDriveIdFromText("12-34", "Generic"), HardDriveIdFromText("1234", "Generic"));
    EXPECT_EQ(HardDriveIdFromText("WD-WCAV12345678", "WDC WD5000"),
              HardDriveIdFromText("AV12345678", "WDC WD5000"));
    EXPECT_EQ(HardDriveIdFromText("  99  ", " Generic "), 600000099) << "blanks around are ignored";
}

TEST(HardDriveId, ModelAddsItsMakerBand) {
    EXPECT_EQ(HardDriveIdFromText("7", "IBM-DTLA-307030"), 300000007);
    EXPECT_EQ(HardDriveIdFromText("7", "MAXTOR 6L040J2"), 400000007);
    EXPECT_EQ(HardDriveIdFromText("7", "Maxtor 6Y080L0"), 400000007);
    EXPECT_EQ(HardDriveIdFromText("7", "WDC WD400BB"), 500000007);
    EXPECT_EQ(HardDriveIdFromText("7", "ST3160815AS"), 600000007);
}

TEST(HardDriveId, KeptBelowOneHundredMillionForLongSerials) {
    const LONG v = HardDriveIdFromText("ZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZ", "Generic");
    EXPECT_GE(v, 600000000);
    EXPECT_LT(v, 700000000);
    // Only the last eight decimal places survive, as the fold is taken modulo 10^8.
    EXPECT_EQ(HardDriveIdFromText("9123456789", "x"), 600000000 + 23456789);
}

TEST(HardDriveId, SerialFieldKeepsItsLeftPadding) {
    EXPECT_EQ(SerialFieldText("  WD123  "), "  WD123");
    EXPECT_EQ(SerialFieldText("  WD123\n"), "  WD123");
    EXPECT_EQ(SerialFieldText("WD123"), "WD123");
    EXPECT_EQ(SerialFieldText(" \t\n"), "");
    EXPECT_EQ(SerialFieldText(""), "");
    // The numeric identifier does not depend on the padding.
    EXPECT_EQ(HardDriveIdFromText(SerialFieldText("  WD123  "), "x"), HardDriveIdFromText("WD123", "x"));
    EXPECT_EQ(
        SerialFromUdevRecord("S:disk/by-id/x\nE:ID_MODEL=m\nE:ID_SERIAL_SHORT=  WD123  \nE:ID_BUS=ata\n"),
        "  WD123");
    EXPECT_EQ(SerialFromUdevRecord("E:ID_SERIAL=x\n"), "");
}

TEST(HardDriveId, ThisMachinesDiskGivesAStableValue) {
    const LONG first = getHardDriveComputerID();
    std::string serial, model;
    LastHardDriveIdentity(&serial, &model);
    EXPECT_EQ(first, HardDriveIdFromText(serial, model));
    EXPECT_EQ(getHardDriveComputerID(), first);
    EXPECT_GE(first, 300000000);
    EXPECT_LT(first, 700000000);
}

std::vector<unsigned char> ReadAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<unsigned char>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

DWORD Word(const std::vector<unsigned char>& b, size_t at) {
    DWORD v = 0;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}

class CaptureFile : public ::testing::Test {
protected:
    std::string Path(const char* name) { return m_root.Path() + "/" + name; }
    testsupport::TempRoot m_root{"tavish-test"};
};

TEST_F(CaptureFile, HeaderAndRecordsAreByteExact) {
    const std::string path = Path("a.pcap");
    void* log = EthrOpenLog(path.c_str(), 0);
    ASSERT_NE(log, nullptr);
    const unsigned char p1[3] = {1, 2, 3};
    std::vector<unsigned char> p2(60);
    for (size_t i = 0; i < p2.size(); ++i) p2[i] = static_cast<unsigned char>(0xA0 + i);
    const auto before =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    EthrLogPacket(log, p1, 3);
    EthrLogPacket(log, p2.data(), static_cast<DWORD>(p2.size()));
    EthrCloseLog(log);

    const auto b = ReadAll(path);
    ASSERT_EQ(b.size(), 24u + 16 + 3 + 16 + 60);
    const unsigned char header[24] = {0xD4, 0xC3, 0xB2, 0xA1, 2,    0,    4, 0, 0, 0, 0, 0,
                                      0,    0,    0,    0,    0xFF, 0xFF, 0, 0, 1, 0, 0, 0};
    EXPECT_EQ(std::memcmp(b.data(), header, 24), 0);
    EXPECT_GE(static_cast<long long>(Word(b, 24)), before);
    EXPECT_LT(Word(b, 28), 1000000u);
    EXPECT_EQ(Word(b, 32), 3u);
    EXPECT_EQ(Word(b, 36), 3u);
    EXPECT_EQ(std::memcmp(b.data() + 40, p1, 3), 0);
    EXPECT_EQ(Word(b, 43 + 8), 60u);
    EXPECT_EQ(Word(b, 43 + 12), 60u);
    EXPECT_EQ(std::memcmp(b.data() + 59, p2.data(), 60), 0);

    void* reader = EthrReadLog(path.c_str());
    ASSERT_NE(reader, nullptr);
    unsigned char buf[100];
    DWORD size = sizeof(buf);
    ASSERT_EQ(EthrReadPacket(reader, buf, &size), 1);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(std::memcmp(buf, p1, 3), 0);
    size = 10;  // too small for the second packet: skipped
    EXPECT_EQ(EthrReadPacket(reader, buf, &size), 0);
    EXPECT_EQ(size, 0u);
    size = sizeof(buf);
    EXPECT_EQ(EthrReadPacket(reader, buf, &size), 0) << "end of file";
    EthrCloseLog(reader);
}

TEST_F(CaptureFile, LimitHoldsThePacketsWrittenWhileBelowIt) {
    const std::string path = Path("limit.pcap");
    void* log = EthrOpenLog(path.c_str(), 100);
    ASSERT_NE(log, nullptr);
    const std::vector<unsigned char> packet(40, 0x55);
    for (int i = 0; i < 5; ++i) EthrLogPacket(log, packet.data(), 40);
    EthrCloseLog(log);
    // 0 and 56 bytes written before the first two packets, 112 before the third: two kept.
    EXPECT_EQ(ReadAll(path).size(), 24u + 2 * 56);
}

TEST_F(CaptureFile, OtherMagicMissingOrShortFilesAreRefused) {
    EXPECT_EQ(EthrReadLog(Path("missing.pcap").c_str()), nullptr);
    EXPECT_EQ(EthrReadLog(nullptr), nullptr);
    const std::string path = Path("other.pcap");
    void* log = EthrOpenLog(path.c_str(), 0);
    EthrCloseLog(log);
    auto b = ReadAll(path);
    b[0] = 0x4D;  // nanosecond magic A1B23C4D
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(b.data()), static_cast<long>(b.size()));
    EXPECT_EQ(EthrReadLog(path.c_str()), nullptr);
    std::ofstream(path, std::ios::binary | std::ios::trunc).write("\xD4\xC3\xB2\xA1\x02\x00", 6);
    EXPECT_EQ(EthrReadLog(path.c_str()), nullptr);
    EthrLogPacket(nullptr, "x", 1);
    EthrCloseLog(nullptr);
    DWORD size = 4;
    EXPECT_EQ(EthrReadPacket(nullptr, nullptr, &size), 0);
    EXPECT_EQ(EthrReadPacket(nullptr, nullptr, nullptr), 0);
}

TEST_F(CaptureFile, RandomAndTruncatedFilesNeverDeliverBytesBeyondTheFile) {
    // A valid capture as the base.
    const std::string good = Path("good.pcap");
    void* log = EthrOpenLog(good.c_str(), 0);
    std::mt19937 rng(1234);
    for (int i = 0; i < 20; ++i) {
        std::vector<unsigned char> p(rng() % 200);
        for (auto& c : p) c = static_cast<unsigned char>(rng());
        EthrLogPacket(log, p.data(), static_cast<DWORD>(p.size()));
    }
    EthrCloseLog(log);
    const auto base = ReadAll(good);
    const std::string path = Path("fuzz.pcap");
    std::vector<unsigned char> buf(70000);
    for (int round = 0; round < 400; ++round) {
        std::vector<unsigned char> data = base;
        if (round % 2 == 0) {
            data.resize(rng() % data.size());  // truncated
        } else {
            for (int k = 0; k < 8; ++k)
                data[24 + rng() % (data.size() - 24)] = static_cast<unsigned char>(rng());
        }
        std::ofstream(path, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(data.data()), static_cast<long>(data.size()));
        void* reader = EthrReadLog(path.c_str());
        if (reader == nullptr) {
            EXPECT_LT(data.size(), 24u);
            continue;
        }
        size_t delivered = 0;
        for (int reads = 0; reads < 1000; ++reads) {
            DWORD size = static_cast<DWORD>(buf.size());
            const int got = EthrReadPacket(reader, buf.data(), &size);
            if (got == 0 && size == 0) {
                // Either a skipped packet or the end; a few more reads must also stay bounded.
                if (reads > 40) break;
                continue;
            }
            ASSERT_EQ(got, 1);
            delivered += 16 + size;
        }
        EXPECT_LE(24 + delivered, data.size());
        EthrCloseLog(reader);
    }
}

class MibNetns : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::IsRoot()) GTEST_SKIP() << "needs root for a network namespace";
        m_ns = std::make_unique<testsupport::NetnsScope>();
        ASSERT_TRUE(m_ns->Ok());
        using testsupport::Run;
        ASSERT_EQ(Run({"ip", "link", "add", "v0", "address", "02:00:00:00:00:01", "type", "veth", "peer",
                       "name", "v1"}),
                  0);
        ASSERT_EQ(Run({"ip", "addr", "add", "198.51.100.1/24", "dev", "v0"}), 0);
        ASSERT_EQ(Run({"ip", "link", "set", "v0", "up"}), 0);
        ASSERT_EQ(Run({"ip", "link", "set", "v1", "up"}), 0);
        ASSERT_EQ(Run({"ip", "neigh", "add", "198.51.100.7", "lladdr", "02:00:00:00:00:07", "dev", "v0"}), 0);
        ASSERT_EQ(Run({"ip", "route", "add", "198.18.0.0/16", "via", "198.51.100.2"}), 0);
        ASSERT_EQ(Run({"ip", "route", "add", "198.18.0.0/24", "via", "198.51.100.3"}), 0);
    }
    void TearDown() override { m_ns.reset(); }
    std::unique_ptr<testsupport::NetnsScope> m_ns;
};

TEST_F(MibNetns, LookupsAnswerFromTheKernelTables) {
    unsigned char mac[6] = {};
    ASSERT_EQ(snmp_GetMacAddrByIp(Ip("198.51.100.7"), mac), 1);
    const unsigned char neighbour[6] = {2, 0, 0, 0, 0, 7};
    EXPECT_EQ(std::memcmp(mac, neighbour, 6), 0);
    ASSERT_EQ(snmp_GetMacAddrByIp(Ip("198.51.100.1"), mac), 1) << "own address: the interface's MAC";
    const unsigned char own[6] = {2, 0, 0, 0, 0, 1};
    EXPECT_EQ(std::memcmp(mac, own, 6), 0);
    EXPECT_EQ(snmp_GetMacAddrByIp(Ip("198.51.100.99"), mac), 0);

    DWORD ifIndex = 0;
    ASSERT_EQ(snmp_GetAdapterIndexByIpAddr(Ip("198.51.100.1"), &ifIndex), 1);
    EXPECT_EQ(ifIndex, if_nametoindex("v0"));
    EXPECT_EQ(snmp_GetAdapterIndexByIpAddr(Ip("198.51.100.2"), &ifIndex), 0);

    DWORD hop = 0;
    ASSERT_EQ(snmp_GetRouteNextHopIp(Ip("198.18.0.0"), &hop), 1);
    EXPECT_TRUE(hop == Ip("198.51.100.2") || hop == Ip("198.51.100.3"));
    EXPECT_EQ(snmp_GetRouteNextHopIp(Ip("198.19.0.0"), &hop), 0);
    EXPECT_EQ(snmp_GetRouteNextHopIp(Ip("198.18.0.0"), nullptr), 0);
}

}  // namespace
