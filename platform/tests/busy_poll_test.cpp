// The data path's busy-poll: when it spins, and that it stops at its budget.
#include "platform/busy_poll.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

using platform::BusyPoll;
using platform::BusyPollTiming;

// A clock the test moves; every look at it also moves it on by g_step, as a spinning loop's time
// passes.
std::atomic<std::int64_t> g_now{1'000'000'000};
std::atomic<std::int64_t> g_step{0};
std::int64_t FakeNow() { return g_now.fetch_add(g_step.load()); }

constexpr BusyPollTiming kTiming = {50'000, 1'000'000};

class BusyPollTest : public ::testing::Test {
protected:
    void SetUp() override { g_step = 0; }
    static void Advance(std::int64_t ns) { g_now += ns; }
};

TEST_F(BusyPollTest, SpinsOnlyWhileFramesComeCloseTogetherAndRecently) {
    BusyPoll spin(kTiming, FakeNow);
    int looks = 0;
    auto found = [&] { return ++looks > 0; };
    EXPECT_FALSE(spin.Spin(found)) << "nothing has arrived yet";
    spin.Arrived();
    EXPECT_FALSE(spin.Spin(found)) << "one arrival tells nothing of the traffic";
    Advance(200'000);
    spin.Arrived();
    EXPECT_TRUE(spin.Spin(found)) << "two arrivals 200 us apart";
    EXPECT_EQ(looks, 1);

    Advance(2'000'000);
    EXPECT_FALSE(spin.Spin(found)) << "the last arrival is older than the window";
    spin.Arrived();
    EXPECT_FALSE(spin.Spin(found)) << "this arrival came long after the one before";
    Advance(10'000);
    spin.Arrived();
    EXPECT_TRUE(spin.Spin(found)) << "traffic again";
    EXPECT_EQ(looks, 2) << "no look at the source while spinning does not pay";
}

TEST_F(BusyPollTest, ASpinThatFindsNothingEndsAtItsBudget) {
    BusyPoll spin(kTiming, FakeNow);
    spin.Arrived();
    Advance(1'000);
    spin.Arrived();
    g_step = 1'000;  // each look at the clock: 1 us later
    int looks = 0;
    const std::int64_t start = g_now.load();
    EXPECT_FALSE(spin.Spin([&] { return ++looks < 0; }));
    const std::int64_t spent = g_now.load() - start;
    EXPECT_GE(spent, kTiming.budgetNs);
    EXPECT_LE(spent, kTiming.budgetNs + 3'000);
    EXPECT_GE(looks, 20);

    // A found frame counts as an arrival: the spin that found it keeps the next one spinning.
    g_step = 0;
    looks = 0;
    EXPECT_TRUE(spin.Spin([&] { return ++looks == 3; }));
    EXPECT_TRUE(spin.Spin([&] { return true; }));
}

TEST_F(BusyPollTest, ABudgetOfNothingNeverSpins) {
    BusyPoll spin({0, 1'000'000}, FakeNow);
    spin.Arrived();
    spin.Arrived();
    bool looked = false;
    EXPECT_FALSE(spin.Spin([&] { return looked = true; }));
    EXPECT_FALSE(looked);
}

}  // namespace
