// Packet records and the packet pool: allocation limits, reuse, leak accounting, header
// parsing and the frame copy rule.
#include <gtest/gtest.h>

#include <cstring>

#include "packet.h"
#include "support/ring_client.h"
#include "testsupport/udp_frame.h"

namespace olvane {
namespace {

const std::uint8_t kMacA[6] = {0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x00};
const std::uint8_t kMacB[6] = {0x00, 0xFF, 0xFF, 0xFF, 0x01, 0x00};

TwPacket* Filled(TwPacketPool& pool, const std::vector<std::uint8_t>& frame) {
    TwPacket* p = pool.Allocate(nullptr, __FILE__, __LINE__);
    std::uint32_t total = 0;
    CopyFrame(frame.data(), static_cast<std::uint32_t>(frame.size()), p, TW_MAX_FRAME, &total);
    p->m_DataLength = total;
    return p;
}

TEST(PacketPool, ExhaustsAtCapacityAndReusesFreedRecords) {
    TwPacketTracker tracker;
    TwPacketPool pool(3, &tracker);
    TwPacket* a = pool.Allocate(nullptr, "f", 1);
    TwPacket* b = pool.Allocate(nullptr, "f", 2);
    TwPacket* c = pool.Allocate(nullptr, "f", 3);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(pool.Allocate(nullptr, "f", 4), nullptr);
    EXPECT_EQ(tracker.Outstanding(), 3u);
    b->m_AppCode = 77;
    pool.Free(b, "g", 9);
    EXPECT_EQ(b->m_File, std::string("g"));  // the free site overwrites the allocation site
    TwPacket* d = pool.Allocate(nullptr, "f", 5);
    EXPECT_EQ(d, b);
    EXPECT_EQ(d->m_AppCode, 0u) << "driver fields start clean";
    EXPECT_EQ(d->m_Frame, d->m_Data);
    int live = 0;
    tracker.ForEach([&](TwPacket*) { ++live; });
    EXPECT_EQ(live, 3);
    pool.Free(a, "g", 1);
    pool.Free(c, "g", 1);
    pool.Free(d, "g", 1);
    EXPECT_EQ(tracker.AllocateCount(), 4u);
    EXPECT_EQ(tracker.FreeCount(), 4u);
    EXPECT_EQ(pool.InUse(), 0u);
}

TEST(PacketPool, ClosedPoolRefusesAllocations) {
    TwPacketPool pool(4, nullptr);
    pool.Close();
    EXPECT_EQ(pool.Allocate(nullptr, "f", 1), nullptr);
}

TEST(PacketCopy, CopiesWholeFramesUpToFifteenBytesOverTheLimit) {
    TwPacket p;
    std::vector<std::uint8_t> f60(60, 1), f100(100, 2), f70(70, 3);
    std::uint32_t total = 0;
    EXPECT_EQ(CopyFrame(f60.data(), 60, &p, kHeaderCopyBytes, &total), 60u);
    EXPECT_EQ(CopyFrame(f100.data(), 100, &p, kHeaderCopyBytes, &total), 54u);
    EXPECT_EQ(total, 100u);
    EXPECT_EQ(CopyFrame(f70.data(), 70, &p, kHeaderCopyBytes, &total), 54u);
    EXPECT_EQ(CopyFrame(f70.data(), 69, &p, kHeaderCopyBytes, &total), 69u);
}

TEST(PacketHeaders, ArpGetsOnlyTheArpPointer) {
    TwPacketPool pool(1, nullptr);
    std::vector<std::uint8_t> arp(42, 0);
    arp[12] = 0x08;
    arp[13] = 0x06;
    TwPacket* p = Filled(pool, arp);
    ParseHeaders(p);
    EXPECT_EQ(p->m_Arp, p->m_Data + 14);
    EXPECT_EQ(p->m_Ip, nullptr);
    EXPECT_EQ(p->m_Udp, nullptr);
    pool.Free(p, "", 0);
}

TEST(PacketHeaders, UdpToPort53GetsDnsAndPort67GetsDhcp) {
    TwPacketPool pool(2, nullptr);
    TwPacket* p = Filled(pool, testsupport::UdpFrame(kMacA, kMacB, 0x01020304, 0x05060708, 53, 20));
    ParseHeaders(p);
    ASSERT_NE(p->m_Ip, nullptr);
    EXPECT_EQ(p->m_IpProtocol, 17);
    EXPECT_EQ(p->m_Udp, p->m_Data + 34);
    EXPECT_EQ(p->m_Dns, p->m_Data + 42);
    EXPECT_EQ(p->m_Dhcp, nullptr);
    TwPacket* q = Filled(pool, testsupport::UdpFrame(kMacA, kMacB, 1, 2, 67, 20));
    ParseHeaders(q);
    EXPECT_EQ(q->m_Dhcp, q->m_Data + 42);
    EXPECT_EQ(q->m_Dns, nullptr);
    pool.Free(p, "", 0);
    pool.Free(q, "", 0);
}

TEST(PacketHeaders, FragmentsAndTruncatedFramesGetNoTransportHeader) {
    TwPacketPool pool(2, nullptr);
    auto frame = testsupport::UdpFrame(kMacA, kMacB, 1, 2, 53, 20);
    frame[14 + 7] = 0x10;  // fragment offset 16
    TwPacket* p = Filled(pool, frame);
    ParseHeaders(p);
    EXPECT_NE(p->m_Ip, nullptr);
    EXPECT_EQ(p->m_Udp, nullptr);
    frame[14 + 7] = 0;
    frame.resize(38);  // IP header, half a UDP header
    TwPacket* q = Filled(pool, frame);
    ParseHeaders(q);
    EXPECT_NE(q->m_Ip, nullptr);
    EXPECT_EQ(q->m_Udp, nullptr);
    pool.Free(p, "", 0);
    pool.Free(q, "", 0);
}

TEST(PacketHeaders, MacTextIsUpperCaseWithDashes) {
    char text[18];
    MacToText(kMacB, text);
    EXPECT_STREQ(text, "00-FF-FF-FF-01-00");
}

}  // namespace
}  // namespace olvane
