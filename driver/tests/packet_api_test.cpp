// The exported packet functions on a running driver: lazy read, clone, signals, and writes into
// a full output ring.
#include <gtest/gtest.h>

#include <cstring>

#include "filter_core.h"
#include "miniport_global.h"
#include "olvane/filter_api.h"
#include "support/client_session.h"
#include "support/fake_nic.h"
#include "support/ring_client.h"
#include "testsupport/udp_frame.h"

namespace olvane {
namespace {

const std::uint8_t kMac0[6] = {0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x00};

TEST(PacketApi, ModifyTransfersTheOriginalOnceAndCloneCopiesIt) {
    test::FakeDriver driver(1);
    TwPacket* p = Filter_AllocatePacketp(driver.Entry(0), __FILE__, __LINE__);
    ASSERT_NE(p, nullptr);
    auto frame = testsupport::UdpFrame(kMac0, kMac0, 0x0100000A, 0x0200000A, 53, 200);
    std::uint32_t total = 0;
    CopyFrame(frame.data(), static_cast<std::uint32_t>(frame.size()), p, kHeaderCopyBytes, &total);
    p->m_Original = frame.data();
    p->m_OriginalLength = total;
    p->m_DataLength = kHeaderCopyBytes;
    EXPECT_EQ(p->m_BytesHeld, 54u);
    EXPECT_EQ(Filter_ModifyPacket(p), FILTER_STATUS_SUCCESS);
    EXPECT_EQ(p->m_BytesHeld, total);
    EXPECT_EQ(std::memcmp(p->m_Data, frame.data(), total), 0);
    p->m_Data[100] ^= 0xFF;  // a change the second call must not undo
    EXPECT_EQ(Filter_ModifyPacket(p), FILTER_STATUS_SUCCESS);
    EXPECT_NE(p->m_Data[100], frame[100]);
    FILTER_PACKET* c = nullptr;
    ParseHeaders(p);
    ASSERT_EQ(Filter_ClonePacket(p, &c), FILTER_STATUS_SUCCESS);
    EXPECT_EQ(c->m_DataLength, p->m_DataLength);
    EXPECT_EQ(std::memcmp(c->m_Data, p->m_Data, total), 0);
    EXPECT_EQ(c->m_Dns, c->m_Data + 42);
    EXPECT_FALSE(c->m_Dirty);
    EXPECT_EQ(c->m_Original, nullptr);
    EXPECT_EQ(Filter_ClonePacket(nullptr, &c), FILTER_ERROR_INVALID_ARGUMENT);
    Filter_ReleasePacketp(c, __FILE__, __LINE__);
    Filter_ReleasePacketp(p, __FILE__, __LINE__);
    EXPECT_EQ(driver.Entry(0)->m_PacketPool->InUse(), 0u);
}

void OnRelease(FILTER_PACKET*, void* context) { ++*static_cast<int*>(context); }

TEST(PacketApi, ReleaseCallsTheReleaseCallbackOnce) {
    test::FakeDriver driver(1);
    TwPacket* p = Filter_AllocatePacketp(driver.Entry(0), __FILE__, __LINE__);
    ASSERT_NE(p, nullptr);
    int count = 0;
    Filter_SetPacketReleaseCallback(p, OnRelease, &count);
    Filter_ReleasePacketp(p, __FILE__, __LINE__);
    EXPECT_EQ(count, 1);
}

TEST(PacketApi, SignalsAndAFullOutputRing) {
    test::FakeDriver driver(1);
    test::ClientSession session;
    ASSERT_TRUE(session.Claimed());
    TwFilterExtension* ext = FilterExtension();
    test::RingClient client = session.Ring();
    FILTER_SIGNAL s{};
    s.m_Direction = 3;
    s.m_DataLength = 999;
    s.m_AppCode = 42;
    EXPECT_EQ(Filter_IndicateSignalToApplication(&s), FILTER_STATUS_SUCCESS);
    EXPECT_EQ(s.m_DataLength, 0u);
    test::UserBlock b;
    ASSERT_TRUE(client.Read(&b));
    EXPECT_EQ(b.length, 0u);
    EXPECT_EQ(b.appCode, 42u);
    TwPacket* p = Filter_AllocatePacketp(driver.Entry(0), __FILE__, __LINE__);
    ASSERT_NE(p, nullptr);
    p->m_DataLength = p->m_BytesHeld = 60;
    for (int i = 0; i < 511; ++i)
        ASSERT_EQ(Filter_IndicatePacketToApplication(p, 0, 0), FILTER_STATUS_SUCCESS);
    EXPECT_EQ(Filter_IndicatePacketToApplication(p, 0, 0), FILTER_STATUS_SUCCESS) << "dropped, still 0";
    EXPECT_EQ(ext->Ring()->Counters().outputFull.load(), 1u);
    EXPECT_EQ(Filter_IndicateSignalToApplication(&s), FILTER_ERROR_OUT_OF_MEMORY);
    EXPECT_EQ(Filter_IndicatePacketToApplication(nullptr, 0, 0), FILTER_ERROR_INVALID_ARGUMENT);
    Filter_ReleasePacketp(p, __FILE__, __LINE__);
}

}  // namespace
}  // namespace olvane
