// The data path's busy-poll: when it spins, and that it stops at its budget.
#include "platform/busy_poll.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/packet_ring.h"
#include "platform/unique_fd.h"

namespace {

using platform::BusyPoll;
using platform::BusyPollTiming;

// A clock the test moves; every look at it also moves it on by g_step, as a spinning loop's time
// passes.
std::atomic<std::int64_t> g_now{1'000'000'000};
std::atomic<std::int64_t> g_step{0};
std::int64_t FakeNow() { return g_now.fetch_add(g_step.load()); }

constexpr BusyPollTiming kTiming = {50'000, 1'000'000};

// Yields until `done` holds; false after 5 s (a failure bound, not a measurement).
template <class Done>
bool WaitFor(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return done();
        std::this_thread::yield();
    }
    return true;
}

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

    // A spinner that finds it was off the CPU between two looks stops, and spins again only once
    // the traffic has said so anew.
    g_step = 100'000;
    looks = 0;
    EXPECT_FALSE(spin.Spin([&] { return ++looks < 0; }));
    EXPECT_EQ(looks, 1);
    g_step = 0;
    EXPECT_FALSE(spin.Spin([&] { return true; }));
    spin.Arrived();
    EXPECT_FALSE(spin.Spin([&] { return true; }));
    spin.Arrived();
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

// A reader off the CPU must have announced its sleep: a producer that finds it off the CPU and
// not announced rings no doorbell, and the frame waits for the reader's next turn on the CPU,
// which a loaded machine may give it milliseconds later. The producer here shares the reader's CPU
// at the same real-time priority, so it runs only while the reader is off the CPU: after a yield
// or once the reader sleeps. Every frame it writes must find the reader announced asleep.
TEST(BusyPollOffTheCpu, AReaderThatLeavesTheCpuHasAnnouncedItsSleep) {
    if (::sysconf(_SC_NPROCESSORS_ONLN) < 2) GTEST_SKIP() << "needs two CPUs";
    cpu_set_t all;
    if (::sched_getaffinity(0, sizeof all, &all) != 0 || CPU_COUNT(&all) < 2)
        GTEST_SKIP() << "needs two CPUs";
    // One CPU for the reader and the producer (spread over the CPUs, for parallel runs), another
    // for this thread.
    std::vector<std::size_t> cpus;
    for (std::size_t c = 0; c < CPU_SETSIZE; ++c)
        if (CPU_ISSET(c, &all)) cpus.push_back(c);
    const std::size_t shared = cpus[static_cast<std::size_t>(::getpid()) % cpus.size()];
    cpu_set_t one, rest = all;
    CPU_ZERO(&one);
    CPU_SET(shared, &one);
    CPU_CLR(shared, &rest);
    ASSERT_EQ(::sched_setaffinity(0, sizeof rest, &rest), 0);

    alignas(4) std::uint32_t word = 0;  // the ring's sleeping word
    constexpr std::uint32_t kBit = platform::kRingInputReaderSleeping;
    const platform::UniqueFd bell(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    const platform::UniqueFd go(::eventfd(0, EFD_CLOEXEC));
    std::atomic<int> written{0}, taken{0}, unannounced{0}, failedSetup{0};
    std::atomic<bool> stop{false};
    auto realTime = [&] {
        sched_param p{};
        p.sched_priority = 1;
        if (::sched_setaffinity(0, sizeof one, &one) != 0 ||
            ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &p) != 0)
            failedSetup.fetch_add(1);
    };
    auto produce = [&] {
        written.fetch_add(1);
        if (platform::RingTakeWakeUp(reinterpret_cast<std::uint8_t*>(&word), kBit)) {
            platform::RingDoorbell(bell.Get());
            return true;
        }
        return false;
    };

    // As the data path's readers do: take what came, spin while it pays, else announce the sleep,
    // look once more and sleep on the doorbell.
    std::thread reader([&] {
        realTime();
        // A long budget, so that the producer is woken while the reader spins.
        platform::BusyPoll spin({10'000'000, 1'000'000'000});
        int seen = 0;
        bool dry = false;
        while (!stop.load()) {
            if (written.load() != seen) {
                seen = written.load();
                taken.store(seen);
                if (dry) spin.Arrived();
                dry = false;
                continue;
            }
            if (!dry) {
                dry = true;
                if (spin.Spin([&] { return written.load() != seen || stop.load(); })) {
                    dry = false;
                    continue;
                }
            }
            auto* w = reinterpret_cast<std::uint8_t*>(&word);
            platform::RingSetSleeping(w, kBit);
            if (written.load() == seen && !stop.load()) {
                pollfd p = {bell.Get(), POLLIN, 0};
                ::poll(&p, 1, -1);
                platform::DrainDoorbell(bell.Get());
            }
            platform::RingClearSleeping(w, kBit);
        }
    });
    // Runs each time it is let go, on the reader's CPU: it writes a frame while the reader is off
    // the CPU, and counts the frames that found it not announced.
    std::thread producer([&] {
        realTime();
        for (;;) {
            std::uint64_t n = 0;
            if (::read(go.Get(), &n, sizeof n) != sizeof n || stop.load()) return;
            if (!produce()) unannounced.fetch_add(1);
        }
    });

    constexpr int kRounds = 12;
    for (int round = 0; round < kRounds && failedSetup.load() == 0; ++round) {
        // Two frames close together make the reader spin once it has taken the second.
        for (int i = 0; i < 2; ++i) {
            const int want = written.load() + 1;
            produce();
            ASSERT_TRUE(WaitFor([&] { return taken.load() >= want; })) << "frame " << want;
        }
        const int want = written.load() + 1;
        platform::RingDoorbell(go.Get());
        ASSERT_TRUE(WaitFor([&] { return taken.load() >= want; })) << "the producer's frame " << want;
    }
    stop.store(true);
    produce();
    platform::RingDoorbell(go.Get());
    reader.join();
    producer.join();
    if (failedSetup.load() != 0) GTEST_SKIP() << "no real-time priority here";
    EXPECT_EQ(unannounced.load(), 0) << "frames written while the reader was off the CPU, unannounced";
}

}  // namespace
