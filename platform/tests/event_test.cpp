// eventfd events: manual and auto reset, descriptors made only when needed, adoption of a
// descriptor, and WaitForAny on the system clock and on a manual clock.
#include "platform/event.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "platform/fake/manual_clock.h"

namespace platform {
namespace {

constexpr DWORD kBound = 10000;

std::size_t OpenDescriptors() {
    std::size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++n;
    }
    return n;
}

TEST(EventTest, ManualResetStaysSetUntilReset) {
    Event e(true, false);
    ASSERT_TRUE(e.Valid());
    EXPECT_FALSE(e.IsSet());
    EXPECT_EQ(e.Wait(0), kWaitTimeout);
    EXPECT_TRUE(e.Set());
    EXPECT_TRUE(e.Set());
    EXPECT_TRUE(e.IsSet());
    EXPECT_EQ(e.Wait(0), kWaitObject0);
    EXPECT_EQ(e.Wait(0), kWaitObject0);
    EXPECT_TRUE(e.Reset());
    EXPECT_FALSE(e.IsSet());
    Event initially(true, true);
    EXPECT_EQ(initially.Wait(0), kWaitObject0);
}

TEST(EventTest, AutoResetIsTakenOnceEvenWhenSetTwice) {
    Event e(false, true);
    EXPECT_EQ(e.Wait(0), kWaitObject0);
    EXPECT_EQ(e.Wait(0), kWaitTimeout);
    e.Set();
    e.Set();
    EXPECT_EQ(e.Wait(0), kWaitObject0);
    EXPECT_EQ(e.Wait(0), kWaitTimeout);
}

TEST(EventTest, TimedWaitLastsAboutItsTime) {
    Event e(false, false);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(e.Wait(40), kWaitTimeout);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(40));
    EXPECT_LT(took, std::chrono::milliseconds(kBound));
}

TEST(EventTest, AdoptedDescriptorIsTheSameEvent) {
    Event sender(false, false);
    int copy = ::dup(sender.Fd());
    ASSERT_GE(copy, 0);
    Event receiver(copy, false);
    ASSERT_TRUE(receiver.Valid());
    sender.Set();
    EXPECT_EQ(receiver.Wait(kBound), kWaitObject0);
    EXPECT_EQ(sender.Wait(0), kWaitTimeout);  // consumed through the other descriptor
    Event broken(-1, true);
    EXPECT_FALSE(broken.Valid());
    EXPECT_FALSE(broken.Set());
    EXPECT_EQ(broken.Wait(0), kWaitFailed);
}

TEST(EventTest, WaitForAnyGivesTheLowestSignalledIndex) {
    Event a(true, false);
    Event b(false, false);
    Event c(true, false);
    Event* all[] = {&a, &b, &c};
    EXPECT_EQ(WaitForAny(all, 3, 10), kWaitTimeout);
    c.Set();
    b.Set();
    EXPECT_EQ(WaitForAny(all, 3, 0), kWaitObject0 + 1);  // b, consumed
    EXPECT_EQ(WaitForAny(all, 3, 0), kWaitObject0 + 2);  // c, manual, stays
    EXPECT_EQ(WaitForAny(all, 3, 0), kWaitObject0 + 2);
    EXPECT_EQ(WaitForAny(all, 0, 0), kWaitFailed);
    EXPECT_EQ(WaitForAny(nullptr, 1, 0), kWaitFailed);
    Event* withNull[] = {&a, nullptr};
    EXPECT_EQ(WaitForAny(withNull, 2, 0), kWaitFailed);
}

TEST(EventTest, WaitForAnyWakesWhenAnotherThreadSets) {
    Event stop(true, false);
    Event work(false, false);
    Event* both[] = {&stop, &work};
    std::thread setter([&] { work.Set(); });
    EXPECT_EQ(WaitForAny(both, 2, kBound), kWaitObject0 + 1);
    setter.join();
}

// Many threads wait on one auto-reset event; every Set lets exactly one of them through.
TEST(EventTest, AutoResetConsumedByExactlyOneWaiterUnderContention) {
    Event e(false, false);
    Event stop(true, false);
    constexpr int kThreads = 8;
    constexpr int kSets = 200;
    std::atomic<int> taken{0};
    std::vector<std::thread> waiters;
    for (int t = 0; t < kThreads; ++t) {
        waiters.emplace_back([&] {
            Event* both[] = {&stop, &e};
            for (;;) {
                DWORD r = WaitForAny(both, 2, kBound);
                if (r != kWaitObject0 + 1) {
                    return;
                }
                ++taken;
            }
        });
    }
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBound);
    for (int i = 0; i < kSets; ++i) {
        e.Set();
        // The next Set only after this one was taken, so no two Sets merge into one.
        while (taken.load() <= i && std::chrono::steady_clock::now() < until) {
            std::this_thread::yield();
        }
    }
    stop.Set();
    for (auto& t : waiters) {
        t.join();
    }
    EXPECT_EQ(taken.load(), kSets);
    EXPECT_EQ(e.Wait(0), kWaitTimeout);
}

TEST(EventTest, DescriptorOnlyOnceSomebodyNeedsIt) {
    const std::size_t before = OpenDescriptors();
    std::vector<std::unique_ptr<Event>> quiet;
    for (int i = 0; i < 64; ++i) {
        quiet.push_back(std::make_unique<Event>(i % 2 == 0, i % 3 == 0));
        quiet.back()->Set();
        quiet.back()->Reset();
        quiet.back()->Set();
        EXPECT_TRUE(quiet.back()->IsSet());
    }
    EXPECT_EQ(OpenDescriptors(), before) << "Set, Reset and IsSet made descriptors";

    // The state kept without a descriptor carries over into the one made later.
    Event manual(true, false);
    manual.Set();
    const int fd = manual.Fd();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(manual.Fd(), fd);
    EXPECT_EQ(OpenDescriptors(), before + 1);
    pollfd p{fd, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 0), 1);
    Event autoReset(false, true);
    EXPECT_EQ(autoReset.Wait(0), kWaitObject0);
    EXPECT_EQ(autoReset.Wait(0), kWaitTimeout);
    Event reset(true, true);
    reset.Reset();
    EXPECT_EQ(reset.Wait(0), kWaitTimeout);
}

// The first wait makes the descriptor while another thread sets the event: no Set may be lost in
// the change from the flag to the descriptor.
TEST(EventTest, SetRacingTheFirstWaitIsNeverLost) {
    for (int round = 0; round < 300; ++round) {
        auto e = std::make_unique<Event>(round % 2 == 0, false);
        std::thread setter([&] { e->Set(); });
        EXPECT_EQ(e->Wait(kBound), kWaitObject0) << "round " << round;
        setter.join();
    }
}

TEST(EventTest, WaitOnAManualClockEndsWhenTheClockPassesTheDeadline) {
    fake::ManualClock clock;
    Event stop(true, false);
    Event work(false, false);
    Event* both[] = {&stop, &work};
    auto waited = std::async(std::launch::async, [&] { return WaitForAny(both, 2, 1000, clock); });
    ASSERT_TRUE(clock.WaitForWaiters(1)) << "the wait never blocked on the clock";
    clock.Advance(999);
    ASSERT_TRUE(clock.WaitForWaiters(1)) << "the wait ended before its deadline";
    EXPECT_EQ(waited.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    clock.Advance(1);
    EXPECT_EQ(waited.get(), kWaitTimeout);
    EXPECT_EQ(clock.Waiters(), 0u);

    // A Set ends it at once, whatever the clock does; an infinite wait never times out.
    auto signalled = std::async(std::launch::async, [&] { return WaitForAny(both, 2, kInfinite, clock); });
    ASSERT_TRUE(clock.WaitForWaiters(1));
    clock.Advance(1000000);
    ASSERT_TRUE(clock.WaitForWaiters(1));
    work.Set();
    EXPECT_EQ(signalled.get(), kWaitObject0 + 1);
    EXPECT_EQ(work.Wait(0, clock), kWaitTimeout) << "a zero wait needs no advance";
}

}  // namespace
}  // namespace platform
