#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "util/fifo.h"

namespace {

FIFO_MSG* MakeMsg(std::int32_t type, std::uint32_t size, unsigned char fill = 0) {
    auto* msg = static_cast<FIFO_MSG*>(std::malloc(sizeof(FIFO_MSG) + size));
    msg->type = type;
    msg->size = size;
    std::memset(msg->Payload(), fill, size);
    return msg;
}

struct Tagged {
    int producer;
    int sequence;
};

FIFO_MSG* MakeTagged(int producer, int sequence) {
    FIFO_MSG* msg = MakeMsg(0, sizeof(Tagged));
    Tagged tag{producer, sequence};
    std::memcpy(msg->Payload(), &tag, sizeof(tag));
    return msg;
}

TEST(FifoTest, EmptyQueueTimesOutAtOnceWithZero) {
    SharedObjectPtr<FIFO> q(new FIFO);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(q->DeptQ(0), nullptr);
    // No wait at all; a machine under load still answers well within seconds.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(q->DeptQ(30), nullptr);
    EXPECT_STREQ(q->Name(), "FIFO");
}

TEST(FifoTest, FrontInsertionComesOutFirstThenOrder) {
    SharedObjectPtr<FIFO> q(new FIFO);
    q->EntQ(MakeMsg(1, 10));
    q->EntQ(MakeMsg(2, 20));
    q->EntQ(MakeMsg(3, 30));
    q->EntQAtFront(MakeMsg(0, 5));
    EXPECT_EQ(q->QSize(), 4);
    EXPECT_EQ(q->GetMsgSize(), 65UL);
    for (int expected = 0; expected < 4; ++expected) {
        FIFO_MSG* msg = q->DeptQ(0);
        ASSERT_NE(msg, nullptr);
        EXPECT_EQ(msg->type, expected);
        std::free(msg);
    }
    EXPECT_EQ(q->GetMsgSize(), 0UL);
    EXPECT_EQ(q->QSize(), 0);
    EXPECT_EQ(q->DeptQ(0), nullptr);
    // After draining, both ends work again.
    q->EntQAtFront(MakeMsg(7, 0));
    q->EntQ(MakeMsg(8, 0));
    FIFO_MSG* a = q->DeptQ(0);
    FIFO_MSG* b = q->DeptQ(0);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->type, 7);
    EXPECT_EQ(b->type, 8);
    std::free(a);
    std::free(b);
}

TEST(FifoTest, ZeroSizeRecordQueuesLikeAnyOther) {
    SharedObjectPtr<FIFO> q(new FIFO);
    q->EntQ(MakeMsg(1, 0));
    EXPECT_EQ(q->GetMsgSize(), 0UL);
    FIFO_MSG* msg = q->DeptQ(0);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(msg->type, 1);
    std::free(msg);
}

TEST(FifoTest, CountBeyondSixteenBitsDoesNotStrandConsumer) {
    SharedObjectPtr<FIFO> q(new FIFO);
    constexpr int kRecords = 65536 + 10;
    for (int i = 0; i < kRecords; ++i) q->EntQ(MakeMsg(i, 1));
    EXPECT_EQ(q->QSize(), kRecords);
    EXPECT_EQ(q->GetMsgSize(), static_cast<unsigned long>(kRecords));
    for (int i = 0; i < kRecords; ++i) {
        FIFO_MSG* msg = q->DeptQ(0);
        ASSERT_NE(msg, nullptr) << "record " << i;
        ASSERT_EQ(msg->type, i);
        std::free(msg);
    }
    EXPECT_EQ(q->QSize(), 0);
}

TEST(FifoTest, ConsumerWaitsForProducer) {
    SharedObjectPtr<FIFO> q(new FIFO);
    std::thread producer([&] { q->EntQ(MakeMsg(5, 3)); });
    FIFO_MSG* msg = q->DeptQ(5000);
    producer.join();
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(msg->type, 5);
    std::free(msg);
}

TEST(FifoTest, NotifyWakesWithoutSpinningOrInventingRecords) {
    SharedObjectPtr<FIFO> q(new FIFO);
    q->Notify();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(q->DeptQ(100), nullptr);
    auto waited = std::chrono::steady_clock::now() - start;
    // The whole time-out is honoured, and no more.
    EXPECT_GE(waited, std::chrono::milliseconds(90));
    EXPECT_LT(waited, std::chrono::milliseconds(2000));
}

TEST(FifoTest, LastReleaseFreesQueuedRecords) {
    const int before = FIFO::nFifo.load();
    {
        SharedObjectPtr<FIFO> q(new FIFO);
        q->SetName("send queue");
        EXPECT_STREQ(q->QueueName(), "send queue");
        for (int i = 0; i < 100; ++i) q->EntQ(MakeMsg(i, 64));
    }  // the leak checker sees any record left behind
    EXPECT_EQ(FIFO::nFifo.load(), before + 1);
}

// Several producers and consumers at once: every record arrives exactly once and each
// producer's records keep their order.
TEST(FifoTest, ManyProducersAndConsumersKeepEveryRecordInOrder) {
    constexpr int kProducers = 4;
    constexpr int kConsumers = 3;
    constexpr int kPerProducer = 5000;
    SharedObjectPtr<FIFO> q(new FIFO);
    std::vector<std::vector<Tagged>> received(kConsumers);
    std::vector<std::thread> threads;
    for (std::size_t c = 0; c < kConsumers; ++c) {
        threads.emplace_back([&, c] {
            for (;;) {
                FIFO_MSG* msg = q->DeptQ(10000);
                if (!msg) return;      // bounded: a stuck queue ends the test instead of hanging it
                if (msg->type == 1) {  // end marker
                    std::free(msg);
                    return;
                }
                Tagged tag;
                std::memcpy(&tag, msg->Payload(), sizeof(tag));
                std::free(msg);
                received[c].push_back(tag);
            }
        });
    }
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < kPerProducer; ++i) q->EntQ(MakeTagged(p, i));
        });
    }
    for (auto& t : producers) t.join();
    for (int c = 0; c < kConsumers; ++c) q->EntQ(MakeMsg(1, 0));
    for (auto& t : threads) t.join();

    std::set<std::pair<int, int>> seen;
    for (const auto& list : received) {
        std::vector<int> last(kProducers, -1);
        for (const Tagged& tag : list) {
            int& previous = last.at(static_cast<std::size_t>(tag.producer));
            EXPECT_GT(tag.sequence, previous) << "order broken for producer " << tag.producer;
            previous = tag.sequence;
            EXPECT_TRUE(seen.insert({tag.producer, tag.sequence}).second);
        }
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kProducers * kPerProducer));
    EXPECT_EQ(q->QSize(), 0);
}

}  // namespace
