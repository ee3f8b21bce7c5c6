// The gateway's sending thread: batches leave in the order they were queued, each client's last
// batch of a hand-over flushes, a full queue holds the device thread back, and a stop sends
// everything queued before it.
#include "batch_sender.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "gateway_impl.h"
#include "testsupport/wait.h"

using namespace qelgw;

namespace {

struct Wire {
    std::mutex m;
    std::map<const Conn*, std::string> sent;     // by client, in the order it went out
    std::map<const Conn*, std::string> flushed;  // what had been flushed when the last flush came
    std::atomic<std::size_t> frames{0}, dropped{0};
    std::mutex gate;  // held by a test to stall the sending thread inside a send

    BatchSender::SendFn Send() {
        return [this](Conn& c, const std::uint8_t* d, std::size_t n, bool flush) {
            std::lock_guard<std::mutex> stall(gate);
            std::lock_guard<std::mutex> lock(m);
            sent[&c].append(reinterpret_cast<const char*>(d), n);
            if (flush) flushed[&c] = sent[&c];
            return true;
        };
    }
    BatchSender::CountFn Count() {
        return [this](std::size_t s, std::size_t d) {
            frames += s;
            dropped += d;
        };
    }
};

BatchSender::Item Batch(const std::shared_ptr<Conn>& conn, const std::string& text, std::size_t frames) {
    BatchSender::Item item;
    item.conn = conn;
    item.wire.assign(text.begin(), text.end());
    item.length = text.size();
    item.frames = frames;
    return item;
}

TEST(BatchSenderTest, TwoClientsBatchesKeepTheirOrderAndEndFlushed) {
    Wire wire;
    auto a = std::make_shared<Conn>(Session());
    auto b = std::make_shared<Conn>(Session());
    std::string wantA, wantB;
    {
        BatchSender sender(wire.Send(), wire.Count());
        // Two device threads' worth of batches racing a third that waits for idle now and then.
        std::thread other([&] {
            for (int i = 0; i < 2000; ++i) sender.Queue(Batch(b, "b" + std::to_string(i) + ";", 1));
        });
        for (int i = 0; i < 2000; ++i) {
            sender.Queue(Batch(a, "a" + std::to_string(i) + ";", 2));
            if (i % 500 == 0) {
                sender.WaitIdle();
                std::lock_guard<std::mutex> lock(wire.m);
                EXPECT_EQ(wire.sent[a.get()], wire.flushed[a.get()]) << "idle, yet records of a wait";
            }
        }
        other.join();
        for (int i = 0; i < 2000; ++i) {
            wantA += "a" + std::to_string(i) + ";";
            wantB += "b" + std::to_string(i) + ";";
        }
        sender.Stop();
    }
    EXPECT_EQ(wire.sent[a.get()], wantA);
    EXPECT_EQ(wire.sent[b.get()], wantB);
    EXPECT_EQ(wire.flushed[a.get()], wantA) << "the last batch of a was not flushed";
    EXPECT_EQ(wire.flushed[b.get()], wantB) << "the last batch of b was not flushed";
    EXPECT_EQ(wire.frames.load(), 6000u);
    EXPECT_EQ(wire.dropped.load(), 0u);
}

TEST(BatchSenderTest, AFullQueueHoldsTheReaderBackAndAStopLosesNothing) {
    Wire wire;
    auto a = std::make_shared<Conn>(Session());
    BatchSender sender(wire.Send(), wire.Count());
    std::atomic<int> queued{0};
    std::thread reader;
    {
        std::unique_lock<std::mutex> stall(wire.gate);
        reader = std::thread([&] {
            for (int i = 0; i < 3 * static_cast<int>(BatchSender::kMaxQueued); ++i) {
                sender.Queue(Batch(a, std::to_string(i) + ",", 1));
                ++queued;
            }
        });
        // With the sending thread stuck in its first send, the reader gets at most one queue's
        // worth (plus the batches that thread took) past it.
        EXPECT_TRUE(testsupport::WaitFor("a queue's worth of batches", [&] {
            return queued.load() >= static_cast<int>(BatchSender::kMaxQueued);
        }));
        EXPECT_LE(queued.load(), static_cast<int>(2 * BatchSender::kMaxQueued) + 1);
    }
    reader.join();
    sender.Stop();
    std::string want;
    for (int i = 0; i < 3 * static_cast<int>(BatchSender::kMaxQueued); ++i) want += std::to_string(i) + ",";
    EXPECT_EQ(wire.sent[a.get()], want);
    EXPECT_EQ(wire.flushed[a.get()], want);
    EXPECT_EQ(wire.frames.load(), 3 * BatchSender::kMaxQueued);
}

}  // namespace
