// The shared ring, kernel side against a user side, in both layouts: initial headers, full and
// empty, wrap-around, and a hostile client writing whatever it likes into the block.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <thread>
#include <unistd.h>

#include "shared_ring.h"
#include "support/ring_client.h"

namespace olvane {
namespace {

class RingTest : public ::testing::TestWithParam<RingLayout> {
protected:
    void SetUp() override {
        ring = TwSharedRing::Create(GetParam());
        ASSERT_TRUE(ring);
        client = std::make_unique<test::RingClient>(ring->Mapped() + ring->SharedOffset(), Wide());
    }
    bool Wide() const { return GetParam() == RingLayout::k64; }
    RingRecord Rec(std::uint32_t id, std::uint32_t len) {
        RingRecord r;
        r.adapterId = id;
        r.direction = 2;
        r.length = len;
        r.appContext = 0x1122334455667788ULL;
        return r;
    }
    std::unique_ptr<TwSharedRing> ring;
    std::unique_ptr<test::RingClient> client;
};

TEST_P(RingTest, HeadersAndSizesAreByteExact) {
    const std::uint8_t* m = ring->Mapped();
    if (Wide()) {
        EXPECT_EQ(ring->MappedSize(), 1724520u);
        EXPECT_EQ(ring->SharedOffset(), 20u);
        TW_MAPPED_BLOCK64 head;
        std::memcpy(&head, m, 20 + 80);
        EXPECT_EQ(head.m_SharedSize, 1724496u);
        EXPECT_EQ(head.shared.KernelModeOutput.m_iBlockSize, 1684);
        EXPECT_EQ(head.shared.KernelModeOutput.m_iBlockCount, 512);
        EXPECT_EQ(head.shared.KernelModeOutput.m_iBaseOffset, 0);
        EXPECT_EQ(head.shared.KernelModeInput.m_iBaseOffset, 862208);
        EXPECT_EQ(head.shared.KernelModeOutput.m_nCount, 512);
        EXPECT_EQ(head.shared.KernelModeInput.m_nCount, 512);
        EXPECT_EQ(head.shared.KernelModeOutput.m_puBlockBase, 0u);
    } else {
        EXPECT_EQ(ring->MappedSize(), 1716304u);
        EXPECT_EQ(ring->SharedOffset(), 12u);
        TW_MAPPED_BLOCK32 head;
        std::memcpy(&head, m, 12 + 64);
        EXPECT_EQ(head.m_SharedSize, 1716288u);
        EXPECT_EQ(head.shared.KernelModeOutput.m_iBlockSize, 1676);
        EXPECT_EQ(head.shared.KernelModeInput.m_iBaseOffset, 512 * 1676);
    }
    EXPECT_TRUE(ring->OutputEmpty());
}

TEST_P(RingTest, OutputHoldsAtMost511BlocksAndCountsEachWrite) {
    std::vector<std::uint8_t> frame(60, 0xAB);
    for (int i = 0; i < 511; ++i) ASSERT_TRUE(ring->WriteOutput(Rec(1, 60), frame.data())) << i;
    EXPECT_FALSE(ring->OutputHasRoom());
    EXPECT_FALSE(ring->WriteOutput(Rec(1, 60), frame.data())) << "the 512th block is dropped";
    EXPECT_EQ(ring->Counters().outputFull.load(), 1u);
    std::int32_t count;
    std::memcpy(&count, client->OutHeader() + (Wide() ? 36 : 28), 4);
    EXPECT_EQ(count, 512 + 511);
    test::UserBlock b;
    ASSERT_TRUE(client->Read(&b));
    EXPECT_EQ(b.adapterId, 1u);
    EXPECT_EQ(b.length, 60u);
    EXPECT_EQ(b.data, frame);
    EXPECT_EQ(b.appContext, Wide() ? 0x1122334455667788ULL : 0x55667788ULL);
    EXPECT_TRUE(ring->OutputHasRoom());
    EXPECT_TRUE(ring->WriteOutput(Rec(1, 60), frame.data()));
}

// The doorbells ring only a side that said it sleeps, once per sleep, and the input side's
// sleep is refused while blocks wait.
TEST_P(RingTest, DoorbellsRingOnlyASleepingReader) {
    auto pending = [](int fd) {
        std::uint64_t n = 0;
        return ::read(fd, &n, sizeof n) == static_cast<ssize_t>(sizeof n) ? n : 0;
    };
    std::uint8_t* word = platform::RingSleepWord(ring->Mapped(), ring->MappedSize());
    ASSERT_EQ(word, ring->Mapped() + ring->MappedSize() - 4) << "the block's spare word";
    std::vector<std::uint8_t> frame(60, 0xAB);
    ASSERT_TRUE(ring->WriteOutput(Rec(1, 60), frame.data()));
    EXPECT_EQ(pending(ring->OutputDoorbellFd()), 0u) << "an awake reader is not rung";
    platform::RingSetSleeping(word, platform::kRingOutputReaderSleeping);
    ASSERT_TRUE(ring->WriteOutput(Rec(1, 60), frame.data()));
    ASSERT_TRUE(ring->WriteOutput(Rec(1, 60), frame.data()));
    EXPECT_EQ(pending(ring->OutputDoorbellFd()), 1u) << "rung once for one sleep";
    EXPECT_EQ(ring->Counters().outputDoorbells.load(), 1u);

    EXPECT_TRUE(ring->PrepareInputSleep());
    EXPECT_TRUE(platform::RingTakeWakeUp(word, platform::kRingInputReaderSleeping));
    EXPECT_FALSE(platform::RingTakeWakeUp(word, platform::kRingInputReaderSleeping)) << "taken once";
    ring->InputAwake();
    ASSERT_TRUE(client->Write(1, 2, frame.data(), static_cast<std::uint32_t>(frame.size())));
    EXPECT_FALSE(ring->PrepareInputSleep()) << "a waiting block keeps the ring thread awake";
    EXPECT_FALSE(platform::RingTakeWakeUp(word, platform::kRingInputReaderSleeping));
}

TEST_P(RingTest, BothRingsWrapAroundKeepingOrder) {
    std::vector<std::uint8_t> frame(100);
    for (int i = 0; i < 1500; ++i) {
        frame[0] = static_cast<std::uint8_t>(i);
        ASSERT_TRUE(ring->WriteOutput(Rec(static_cast<std::uint32_t>(i), 100), frame.data()));
        test::UserBlock b;
        ASSERT_TRUE(client->Read(&b));
        ASSERT_EQ(b.adapterId, static_cast<std::uint32_t>(i));
        ASSERT_TRUE(client->Write(static_cast<std::uint32_t>(i), 3, frame.data(), 100));
        RingRecord rec;
        const std::uint8_t* data = nullptr;
        ASSERT_EQ(ring->PeekInput(&rec, &data), TwSharedRing::Peek::kBlock);
        ASSERT_EQ(rec.adapterId, static_cast<std::uint32_t>(i));
        ASSERT_EQ(data[0], static_cast<std::uint8_t>(i));
        ring->ConsumeInput();
    }
    EXPECT_TRUE(ring->OutputEmpty());
    RingRecord rec;
    const std::uint8_t* data = nullptr;
    EXPECT_EQ(ring->PeekInput(&rec, &data), TwSharedRing::Peek::kEmpty);
}

TEST_P(RingTest, OversizeBlocksAreDroppedAndTheRingKeepsFlowing) {
    std::vector<std::uint8_t> frame(1520, 7);
    ASSERT_TRUE(client->Write(1, 2, frame.data(), 1515));
    ASSERT_TRUE(client->Write(1, 2, frame.data(), 0xFFFFFFFFu));
    ASSERT_TRUE(client->Write(2, 2, frame.data(), 1514));
    RingRecord rec;
    const std::uint8_t* data = nullptr;
    ASSERT_EQ(ring->PeekInput(&rec, &data), TwSharedRing::Peek::kBlock);
    EXPECT_EQ(rec.adapterId, 2u);
    EXPECT_EQ(rec.length, 1514u);
    EXPECT_EQ(ring->Counters().inputOversize.load(), 2u);
}

TEST_P(RingTest, HostileIndicesAndHeaderFieldsAreNotTrusted) {
    std::vector<std::uint8_t> frame(64, 1);
    // Client scribbles over the header fields it does not own and over our indices.
    std::int32_t garbage = -12345;
    for (std::size_t off = 0; off < client->HeaderSize(); off += 4) {
        if (off == client->WriteOff()) continue;
        std::memcpy(client->InHeader() + off, &garbage, 4);
        if (off != client->ReadOff()) std::memcpy(client->OutHeader() + off, &garbage, 4);
    }
    // A bad write index of the input ring: counted, nothing read.
    client->Store(client->InHeader() + client->WriteOff(), 9999);
    RingRecord rec;
    const std::uint8_t* data = nullptr;
    EXPECT_EQ(ring->PeekInput(&rec, &data), TwSharedRing::Peek::kBadIndex);
    EXPECT_EQ(ring->Counters().inputBadIndex.load(), 1u);
    // A bad read index of the output ring: the frame is dropped and counted.
    client->Store(client->OutHeader() + client->ReadOff(), -1);
    EXPECT_FALSE(ring->WriteOutput(Rec(1, 64), frame.data()));
    EXPECT_EQ(ring->Counters().outputBadIndex.load(), 1u);
    // Once the client's indices are sane again, both rings work from our own indices.
    client->Store(client->OutHeader() + client->ReadOff(), 0);
    client->Store(client->InHeader() + client->WriteOff(), 1);
    EXPECT_TRUE(ring->WriteOutput(Rec(5, 64), frame.data()));
    EXPECT_EQ(ring->OutputWriteIndex(), 1);
    EXPECT_EQ(ring->PeekInput(&rec, &data), TwSharedRing::Peek::kBlock);
    ring->ConsumeInput();
    EXPECT_EQ(ring->InputReadIndex(), 1);
}

TEST_P(RingTest, RandomClientScribblingNeverBreaksTheKernelSide) {
    std::mt19937 rng(1234);
    std::vector<std::uint8_t> frame(1514, 3);
    for (int round = 0; round < 2000; ++round) {
        // Random bytes anywhere in both headers and the first input blocks.
        for (int k = 0; k < 8; ++k) {
            std::size_t off = rng() % (2 * client->HeaderSize() + 4 * client->BlockSize());
            std::uint8_t* p = client->OutHeader() + off;
            *p = static_cast<std::uint8_t>(rng());
        }
        RingRecord rec;
        const std::uint8_t* data = nullptr;
        if (ring->PeekInput(&rec, &data) == TwSharedRing::Peek::kBlock) {
            ASSERT_LE(rec.length, 1514u);
            ring->ConsumeInput();
        }
        ring->WriteOutput(Rec(1, static_cast<std::uint32_t>(rng() % 1515)), frame.data());
        ASSERT_GE(ring->OutputWriteIndex(), 0);
        ASSERT_LT(ring->OutputWriteIndex(), 512);
        ASSERT_LT(ring->InputReadIndex(), 512);
    }
}

TEST_P(RingTest, TheBlockCannotBeShrunkByAHolderOfItsDescriptor) {
    EXPECT_NE(::ftruncate(ring->MemFd(), 4096), 0);
}

TEST_P(RingTest, ConcurrentProducerAndConsumerSeeEveryBlockInOrder) {
    constexpr int kCount = 20000;
    std::thread producer([&] {
        std::vector<std::uint8_t> frame(64);
        for (int i = 0; i < kCount;) {
            std::memcpy(frame.data(), &i, 4);
            if (ring->WriteOutput(Rec(1, 64), frame.data())) {
                ++i;
            } else {
                std::this_thread::yield();
            }
        }
    });
    int expected = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (expected < kCount && std::chrono::steady_clock::now() < deadline) {
        test::UserBlock b;
        if (!client->Read(&b)) {
            std::this_thread::yield();
            continue;
        }
        int got;
        std::memcpy(&got, b.data.data(), 4);
        EXPECT_EQ(got, expected);
        if (got != expected) break;
        ++expected;
    }
    // A failed check must not leave the producer spinning forever: drain what it still writes.
    test::UserBlock drain;
    for (int spins = 0; expected < kCount && spins < 1000000; ++spins) {
        if (client->Read(&drain)) ++expected;
    }
    producer.join();
    EXPECT_EQ(expected, kCount);
}

INSTANTIATE_TEST_SUITE_P(Layouts, RingTest, ::testing::Values(RingLayout::k64, RingLayout::k32),
                         [](const auto& p) { return p.param == RingLayout::k64 ? "Wide64" : "Narrow32"; });

}  // namespace
}  // namespace olvane
