// The timer queue and the periodic timer, driven by a manual clock: what runs, in which order,
// and never before its time.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "platform/fake/manual_clock.h"
#include "platform/periodic_timer.h"
#include "platform/timer_queue.h"

namespace platform {
namespace {

constexpr std::uint32_t kSettleMs = 10000;

// What ran, in order, and a bounded wait for a given count.
class Journal {
public:
    void Add(const std::string& what) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_entries.push_back(what);
        m_changed.notify_all();
    }
    std::vector<std::string> Entries() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_entries;
    }
    ::testing::AssertionResult WaitForCount(std::size_t count) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_changed.wait_for(lock, std::chrono::seconds(10), [&] { return m_entries.size() >= count; })) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure()
               << "waited 10 s for " << count << " entries, saw " << m_entries.size();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_entries;
};

using Entries = std::vector<std::string>;

TEST(TimerQueueTest, ItemsRunInDueOrderOnlyOnceTheClockPassesThem) {
    fake::ManualClock clock;
    Journal journal;
    TimerQueue queue(clock);
    queue.Queue([&] { journal.Add("late"); }, 5000);
    queue.Queue([&] { journal.Add("early"); }, 1000);
    const TimerQueue::Id cancelled = queue.Queue([&] { journal.Add("cancelled"); }, 2000);
    queue.Queue([&] { journal.Add("now"); });
    ASSERT_TRUE(journal.WaitForCount(1));
    ASSERT_TRUE(queue.Drain(kSettleMs));
    EXPECT_EQ(journal.Entries(), Entries{"now"});

    EXPECT_TRUE(queue.Cancel(cancelled));
    EXPECT_FALSE(queue.Cancel(cancelled));
    ASSERT_TRUE(clock.WaitForWaiters(1)) << "the queue never waited for its next item";
    clock.Advance(999);
    ASSERT_TRUE(queue.Drain(kSettleMs));
    EXPECT_EQ(journal.Entries(), Entries{"now"}) << "an item ran before its time";
    clock.Advance(1);
    ASSERT_TRUE(journal.WaitForCount(2));
    clock.Advance(10000);
    ASSERT_TRUE(journal.WaitForCount(3));
    ASSERT_TRUE(queue.Drain(kSettleMs));
    EXPECT_EQ(journal.Entries(), (Entries{"now", "early", "late"}));
}

TEST(TimerQueueTest, AnItemQueuedFromAnItemAndStopDropsWhatIsLeft) {
    fake::ManualClock clock;
    Journal journal;
    TimerQueue queue(clock);
    queue.Queue([&] {
        journal.Add("first");
        queue.Queue([&] { journal.Add("second"); }, 100);
    });
    queue.Queue([&] { journal.Add("never"); }, 60000);
    ASSERT_TRUE(journal.WaitForCount(1));
    ASSERT_TRUE(clock.WaitForWaiters(1));
    clock.Advance(100);
    ASSERT_TRUE(journal.WaitForCount(2));
    queue.Stop();
    EXPECT_EQ(queue.Queue([&] { journal.Add("after stop"); }), 0u);
    clock.Advance(60000);
    EXPECT_EQ(journal.Entries(), (Entries{"first", "second"}));
}

TEST(PeriodicTimerTest, TicksAtOnceThenOncePerPeriodOfTheClock) {
    fake::ManualClock clock;
    Journal journal;
    PeriodicTimer timer(clock);
    ASSERT_TRUE(timer.Start(std::chrono::milliseconds(5000), [&] { journal.Add("tick"); }));
    EXPECT_FALSE(timer.Start(std::chrono::milliseconds(5000), [] {})) << "started twice";
    ASSERT_TRUE(journal.WaitForCount(1));
    for (std::size_t n = 2; n <= 4; ++n) {
        ASSERT_TRUE(clock.WaitForWaiters(1)) << "the timer never waited for tick " << n;
        clock.Advance(4999);
        ASSERT_TRUE(clock.WaitForWaiters(1)) << "tick " << n << " came early";
        EXPECT_EQ(journal.Entries().size(), n - 1);
        clock.Advance(1);
        ASSERT_TRUE(journal.WaitForCount(n));
    }
    // Stop does not wait for the next period.
    timer.Stop();
    EXPECT_FALSE(timer.Running());
    EXPECT_EQ(journal.Entries().size(), 4u);
}

}  // namespace
}  // namespace platform
