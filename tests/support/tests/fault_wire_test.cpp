// The fault wire must be repeatable from its seed and do exactly the damage it reports, or a
// test built on it cannot be trusted when it fails.
#include "testsupport/fault_wire.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <numeric>
#include <string>
#include <thread>

#include "testsupport/net.h"

using namespace testsupport;

namespace {

std::vector<std::uint8_t> Bytes(std::size_t n) {
    std::vector<std::uint8_t> bytes(n);
    std::iota(bytes.begin(), bytes.end(), static_cast<std::uint8_t>(0));
    return bytes;
}

std::vector<std::uint8_t> Joined(const std::vector<WirePiece>& pieces) {
    std::vector<std::uint8_t> all;
    for (auto& piece : pieces) all.insert(all.end(), piece.bytes.begin(), piece.bytes.end());
    return all;
}

std::vector<std::vector<std::uint8_t>> Damage(const FaultPlan& plan, int rounds) {
    FaultWire wire(plan);
    std::vector<std::vector<std::uint8_t>> seen;
    auto input = Bytes(1000);
    for (int i = 0; i < rounds; ++i)
        for (auto& piece : wire.Pass(input.data(), input.size())) seen.push_back(piece.bytes);
    return seen;
}

TEST(FaultWire, SameSeedSameDamageOtherSeedOtherDamage) {
    FaultPlan plan;
    plan.seed = 42;
    plan.split = 0.5;
    plan.drop = 0.1;
    plan.corrupt = 0.2;
    EXPECT_EQ(Damage(plan, 20), Damage(plan, 20));
    FaultPlan other = plan;
    other.seed = 43;
    EXPECT_NE(Damage(plan, 20), Damage(other, 20));
}

TEST(FaultWire, DoesExactlyTheDamageItCounts) {
    auto input = Bytes(5000);
    FaultPlan splitOnly;
    splitOnly.split = 0.9;
    FaultWire splitter(splitOnly);
    std::size_t pieceCount = 0;
    for (int round = 0; round < 20; ++round) {
        auto pieces = splitter.Pass(input.data(), input.size());
        EXPECT_EQ(Joined(pieces), input) << "splitting alone must not change a byte";
        pieceCount += pieces.size();
    }
    EXPECT_GT(splitter.Counts().splits, 0u);
    EXPECT_EQ(pieceCount, splitter.Counts().splits + 20);

    FaultPlan corruptAll;
    corruptAll.corrupt = 1.0;
    FaultWire corrupter(corruptAll);
    auto damaged = Joined(corrupter.Pass(input.data(), input.size()));
    ASSERT_EQ(damaged.size(), input.size());
    std::size_t changed = 0;
    for (std::size_t i = 0; i < input.size(); ++i) changed += damaged[i] != input[i];
    EXPECT_EQ(changed, corrupter.Counts().corruptions);
    EXPECT_EQ(changed, 1u);

    FaultPlan dropAll;
    dropAll.drop = 1.0;
    dropAll.split = 0.5;
    FaultWire dropper(dropAll);
    for (int round = 0; round < 20; ++round) EXPECT_TRUE(dropper.Pass(input.data(), input.size()).empty());
    EXPECT_EQ(dropper.Counts().drops, dropper.Counts().splits + 20);

    FaultPlan slow;
    slow.maxDelay = std::chrono::milliseconds(7);
    slow.split = 0.5;
    FaultWire delayer(slow);
    for (auto& piece : delayer.Pass(input.data(), input.size())) EXPECT_LE(piece.delay.count(), 7);
}

TEST(FaultWire, EmptyAndTinyInputs) {
    FaultPlan plan;
    plan.split = 1.0;
    FaultWire wire(plan);
    EXPECT_TRUE(wire.Pass(nullptr, 0).empty());
    std::uint8_t one = 9;
    auto pieces = wire.Pass(&one, 1);
    ASSERT_EQ(pieces.size(), 1u);
    EXPECT_EQ(pieces[0].bytes, std::vector<std::uint8_t>{9});
}

// An echo server behind the relay: what the client gets back crossed the wire twice.
struct EchoServer {
    LoopbackListener listener;
    std::thread thread;
    EchoServer() {
        thread = std::thread([this] {
            const platform::UniqueFd fd(listener.Accept());
            if (!fd) return;
            char buffer[4096];
            for (;;) {
                ssize_t n = ::recv(fd.Get(), buffer, sizeof buffer, 0);
                if (n <= 0 || !SendAll(fd.Get(), buffer, static_cast<std::size_t>(n))) break;
            }
        });
    }
    ~EchoServer() {
        // A connection that never came: wake the accept with one of our own.
        // Closed before the join: the echo loop ends on its end of stream.
        platform::UniqueFd(ConnectLoopback(listener.port)).Reset();
        thread.join();
    }
};

// What an echo behind a relay with these wires sends back for `text`, and the relay's counts.
std::string EchoThrough(const FaultPlan& toTarget, const FaultPlan& toClient, const std::string& text,
                        FaultCounts* up, FaultCounts* down) {
    EchoServer echo;
    FaultRelay relay(echo.listener.port, toTarget, toClient);
    EXPECT_TRUE(relay.Ok());
    platform::UniqueFd fd(ConnectLoopback(relay.Port()));
    EXPECT_TRUE(fd.Valid());
    std::string back(text.size(), '\0');
    EXPECT_TRUE(SendAll(fd.Get(), text.data(), text.size()) &&
                RecvAll(fd.Get(), back.data(), back.size(), 5000));
    fd.Reset();
    *up = relay.ToTarget();
    *down = relay.ToClient();
    return back;
}

TEST(FaultRelay, SplitsOnTheWayAndCorruptsWhenTold) {
    const std::string text(20000, 'q');
    FaultCounts up, down;
    FaultPlan split;
    split.split = 0.7;
    split.seed = 5;
    EXPECT_EQ(EchoThrough(split, split, text, &up, &down), text);
    EXPECT_GT(up.splits, 0u);
    EXPECT_GT(down.splits, 0u);

    FaultPlan corrupt;
    corrupt.corrupt = 1.0;
    EXPECT_NE(EchoThrough(corrupt, FaultPlan{}, text, &up, &down), text);
    EXPECT_GT(up.corruptions, 0u);
    EXPECT_EQ(down.corruptions, 0u);
}

}  // namespace
