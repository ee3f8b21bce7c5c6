// The epoll completion layer and the IO-context pool, below the session manager.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "io_context_pool.h"
#include "platform/completion_port.h"
#include "test_support.h"

namespace {

// A socketpair end that records every byte it reads and checks that its handler never runs on
// two threads at once.
// `edge`: it reads until the socket is empty and is watched edge-triggered.
class CountingSource : public platform::IoSource {
public:
    explicit CountingSource(int fd, bool edge = false) : m_fd(fd), m_edge(edge) {}
    std::atomic<int> inHandler{0};
    std::atomic<bool> overlapped{false};
    std::atomic<std::size_t> bytes{0};
    std::vector<unsigned char> seen;  // handler only
    std::atomic<bool> outOfOrder{false};
    std::atomic<int> refs{0};

protected:
    void OnIoReady(std::uint32_t) override {
        if (inHandler.fetch_add(1) != 0) overlapped = true;
        unsigned char buf[257];
        ssize_t n;
        do {
            n = recv(m_fd, buf, sizeof(buf), MSG_DONTWAIT);
            for (ssize_t i = 0; i < n; ++i) {
                if (!seen.empty() && buf[i] != static_cast<unsigned char>(seen.back() + 1)) outOfOrder = true;
                seen.push_back(buf[i]);
            }
            if (n > 0) bytes += static_cast<std::size_t>(n);
        } while (m_edge && n > 0);
        inHandler.fetch_sub(1);
    }
    std::uint32_t WantedEvents() override { return platform::kIoReadable; }
    bool ReadsUntilEmpty() override { return m_edge; }
    void IoAddRef() override { ++refs; }
    void IoRelease() override { --refs; }

private:
    int m_fd;
    bool m_edge;
};

// One-shot, and edge-triggered for a source that reads until the socket is empty (armed once,
// never re-armed: data that comes while its handler runs must still reach it).
class ReadinessPortModes : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(Modes, ReadinessPortModes, ::testing::Values(false, true));

TEST_P(ReadinessPortModes, OneHandlerAtATimeAndBytesInOrder) {
    platform::ReadinessPort port;
    ASSERT_TRUE(port.Valid());
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    platform::UniqueFd ours(sv[0]), theirs(sv[1]);
    CountingSource source(sv[1], GetParam());
    ASSERT_TRUE(port.Attach(sv[1], &source));
    std::atomic<bool> stop{false};
    std::vector<std::thread> workers;
    for (int i = 0; i < 8; ++i)
        workers.emplace_back([&] {
            while (!stop.load()) port.RunOnce(20);
        });
    constexpr std::size_t kTotal = 2'000'000;
    std::thread writer([&] {
        std::vector<unsigned char> data(kTotal);
        for (std::size_t i = 0; i < kTotal; ++i) data[i] = static_cast<unsigned char>(i);
        prendle_test::SendAll(sv[0], data.data(), data.size());
    });
    writer.join();
    EXPECT_TRUE(prendle_test::WaitUntil([&] { return source.bytes.load() == kTotal; }));
    port.Detach(&source);
    stop = true;
    port.WakeAll();
    for (auto& w : workers) w.join();
    EXPECT_FALSE(source.overlapped.load());
    EXPECT_FALSE(source.outOfOrder.load());
    EXPECT_EQ(source.refs.load(), 0);  // every reference the port took was given back
    ours.Reset();                      // only now that the source left the port
    theirs.Reset();
}

TEST(ReadinessPort, DetachedSourceIsNotCalledAgain) {
    platform::ReadinessPort port;
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    platform::UniqueFd ours(sv[0]), theirs(sv[1]);
    CountingSource source(sv[1]);
    ASSERT_TRUE(port.Attach(sv[1], &source));
    port.Detach(&source);
    prendle_test::SendAll(sv[0], "x", 1);
    EXPECT_FALSE(port.RunOnce(50));
    EXPECT_EQ(source.bytes.load(), 0u);
    ours.Reset();  // only now that the source left the port
    theirs.Reset();
}

TEST(CompletionQueue, KeepsOrderAndTimesOut) {
    platform::CompletionQueue queue;
    platform::CompletionQueue::Completion c;
    EXPECT_FALSE(queue.Get(&c, 0));
    int a = 1, b = 2;
    queue.Post({&a, nullptr, 1});
    queue.Post({&b, nullptr, 2});
    ASSERT_TRUE(queue.Get(&c, 0));
    EXPECT_EQ(c.key, &a);
    ASSERT_TRUE(queue.Get(&c, platform::kInfinite));
    EXPECT_EQ(c.bytes, 2u);
}

TEST(IoContextPool, BurstIsTrimmedByHalvesDownToTheFloor) {
    prendle::IoContextPool pool;
    std::vector<prendle::RecvContext*> taken;
    for (int i = 0; i < 40; ++i) taken.push_back(pool.GetRecv());
    EXPECT_EQ(pool.RecvCreated(), 40u);
    for (auto* c : taken) pool.ReturnRecv(c);
    EXPECT_EQ(pool.RecvFree(), 40u);
    pool.Trim();
    EXPECT_EQ(pool.RecvCreated(), 20u);  // 40 idle of 40: down to index 20
    pool.Trim();
    EXPECT_EQ(pool.RecvCreated(), 10u);
    pool.Trim();
    EXPECT_EQ(pool.RecvCreated(), 10u);  // 12 or fewer: never trimmed
}

TEST(IoContextPool, ContextsInUseAreNeverFreed) {
    prendle::IoContextPool pool;
    std::vector<prendle::SendContext*> taken;
    for (int i = 0; i < 30; ++i) taken.push_back(pool.GetSend());
    for (int i = 0; i < 20; ++i) pool.ReturnSend(taken[static_cast<std::size_t>(i)]);
    pool.Trim();  // 20 idle of 30: exactly two thirds, not more
    EXPECT_EQ(pool.SendCreated(), 30u);
    pool.ReturnSend(taken[20]);
    pool.Trim();  // 21 idle of 30
    EXPECT_EQ(pool.SendCreated(), 30u - 11u);
    for (int i = 21; i < 30; ++i) pool.ReturnSend(taken[static_cast<std::size_t>(i)]);
}

}  // namespace
