// The relogon on a manual clock: its schedule, the deconfiguration before the sixth try, cancel,
// the end by a logoff, a refusal that no retry can cure, and one relogon at a time.
#include "engine/relogon_thread.h"

#include <gtest/gtest.h>

#include "engine/worker_thread.h"
#include "fake_connector.h"
#include "platform/fake/manual_clock.h"
#include "testsupport/temp_root.h"
#include "testsupport/wait.h"

namespace engine {
namespace {

using test::FakeConnector;
using test::LogonCall;
using test::RecordingUi;
using testsupport::WaitFor;

class RelogonTest : public ::testing::Test {
protected:
    RelogonTest() {
        timing = test::QuickTiming();
        conn.status = TW_CLT_STATUS_TUNNEL_LOST;
        // Every try fails the way a gateway that is away fails it, until `onlineAt`.
        conn.onLogon = [this](const LogonCall&) {
            if (static_cast<int>(conn.Logons().size()) >= onlineAt) return true;
            conn.SetLastError(TW_ERROR_RELOGON_FAILED, "", false);
            conn.status = TW_CLT_STATUS_GW_RELOGON_INIT;
            return false;
        };
    }
    // The worker's exit waits, on the manual clock, for a relogon thread that has reported its end
    // but not yet returned; its destructor would wait for ever, since nothing moves the clock then.
    ::testing::AssertionResult EndWorker(TwWorkerThread& w) {
        w.Exit();
        auto ended = DriveUntil("the worker to end", [&] { return w.Ended(); });
        if (ended) w.Join();
        return ended;
    }
    void TearDown() override {
        if (worker) {
            EXPECT_TRUE(EndWorker(*worker));
        }
    }
    void Start() {
        worker = std::make_unique<TwWorkerThread>(conn, ui, timing, clock);
        ASSERT_TRUE(worker->InitializeWorkerThread());
        worker->Relogon();
    }
    // Moves the clock by `ms` once the relogon waits, then waits for try number `n`.
    ::testing::AssertionResult NextTry(std::uint64_t ms, std::size_t n) {
        if (!clock.WaitForWaiters(1)) return ::testing::AssertionFailure() << "the relogon never paused";
        clock.Advance(ms);
        return WaitFor("try " + std::to_string(n), [&] { return conn.Logons().size() == n; });
    }
    // Moves the clock in small steps whenever something waits on it, until `done`.
    ::testing::AssertionResult DriveUntil(const std::string& what, const std::function<bool()>& done) {
        return WaitFor(
            what,
            [&] {
                if (done()) return true;
                if (clock.Waiters() > 0) clock.Advance(100);
                return done();
            },
            10000);
    }
    std::uint64_t TickOf(std::size_t n) { return conn.Logons().at(n - 1).tick - start; }

    testsupport::TempRoot root;
    platform::fake::ManualClock clock;
    const std::uint64_t start = clock.TickMs();
    FakeConnector conn{clock};
    RecordingUi ui;
    EngineTiming timing;
    int onlineAt = 1000000;
    std::unique_ptr<TwWorkerThread> worker;
};

TEST_F(RelogonTest, TriesAtOnceThenEveryFiveSecondsThenEveryMinuteUntilOnline) {
    onlineAt = 9;  // the ninth try gets through
    Start();
    ASSERT_TRUE(WaitFor("the first try", [&] { return conn.Logons().size() == 1; }));
    EXPECT_TRUE(conn.Logons()[0].relogon);
    EXPECT_EQ(conn.Logons()[0].user, "alice");
    EXPECT_EQ(conn.Logons()[0].domain, "session-7");
    ASSERT_TRUE(clock.WaitForWaiters(1));
    clock.Advance(4999);
    ASSERT_TRUE(clock.WaitForWaiters(1));
    EXPECT_EQ(conn.Logons().size(), 1u) << "no try before the pause is over";
    clock.Advance(1);
    ASSERT_TRUE(WaitFor("try 2", [&] { return conn.Logons().size() == 2; }));
    for (std::size_t n = 3; n <= 6; ++n) ASSERT_TRUE(NextTry(5000, n));
    for (std::size_t n = 7; n <= 9; ++n) ASSERT_TRUE(NextTry(60000, n));
    const std::uint64_t expected[] = {0, 5000, 10000, 15000, 20000, 25000, 85000, 145000, 205000};
    for (std::size_t n = 1; n <= 9; ++n) EXPECT_EQ(TickOf(n), expected[n - 1]) << "try " << n;
    ASSERT_TRUE(WaitFor("the relogon to end online", [&] { return conn.relogonFinished.load(); }));
    // The adapter is taken down once, after the fifth try and before the sixth.
    EXPECT_EQ(conn.Count("LogoffConfigAdapter(1)"), 1);
    int fifth = -1;
    for (int i = 0; i < 5; ++i) fifth = conn.IndexOf("LogonUserToDomain", fifth);
    const int down = conn.IndexOf("LogoffConfigAdapter(1)");
    EXPECT_GT(down, fifth);
    EXPECT_LT(down, conn.IndexOf("LogonUserToDomain", fifth));
    EXPECT_EQ(conn.status.load(), TW_CLT_STATUS_GW_CERTIFIED);
}

TEST_F(RelogonTest, GivesUpAfterTheLastTry) {
    timing.relogonMaxTries = 3;
    Start();
    ASSERT_TRUE(WaitFor("the first try", [&] { return conn.Logons().size() == 1; }));
    ASSERT_TRUE(NextTry(5000, 2));
    ASSERT_TRUE(NextTry(5000, 3));
    ASSERT_TRUE(WaitFor("the relogon to give up", [&] { return conn.relogonFinished.load(); }));
    EXPECT_EQ(conn.Logons().size(), 3u);
    EXPECT_EQ(conn.status.load(), TW_CLT_STATUS_OFFLINE);
    EXPECT_EQ(ui.Count(UPDATE_STATUS_OFFLINE), 1);
    EXPECT_EQ(ui.Count(UI_CODE_CLEAN_CACHE), 1);
}

TEST_F(RelogonTest, CancelEndsTheWaitAtOnceAndUnconfiguresOnlyWhileTheAdapterIsStillSetUp) {
    for (const bool slow : {false, true}) {
        SCOPED_TRACE(slow ? "during a slow pause" : "during a fast pause");
        FakeConnector fresh{clock};
        fresh.status = TW_CLT_STATUS_TUNNEL_LOST;
        fresh.onLogon = [&](const LogonCall&) {
            fresh.SetLastError(TW_ERROR_RELOGON_FAILED, "", false);
            return false;
        };
        timing.relogonFastTries = 2;  // the second try already comes after the adapter went down
        TwWorkerThread w(fresh, ui, timing, clock);
        ASSERT_TRUE(w.InitializeWorkerThread());
        w.Relogon();
        ASSERT_TRUE(WaitFor("the first try", [&] { return fresh.Logons().size() == 1; }));
        if (slow) {
            ASSERT_TRUE(clock.WaitForWaiters(1));
            clock.Advance(5000);
            ASSERT_TRUE(WaitFor("the second try", [&] { return fresh.Logons().size() == 2; }));
        }
        ASSERT_TRUE(clock.WaitForWaiters(1));
        w.Cancel();  // the clock does not move: the pause must end by itself
        ASSERT_TRUE(WaitFor("the relogon to end", [&] { return fresh.relogonFinished.load(); }));
        EXPECT_EQ(fresh.Count("LogoffConfigAdapter(0)"), slow ? 0 : 1);
        EXPECT_EQ(fresh.status.load(), TW_CLT_STATUS_OFFLINE);
        EXPECT_EQ(fresh.Logons().size(), slow ? 2u : 1u);
        ASSERT_TRUE(EndWorker(w));
    }
}

TEST_F(RelogonTest, ALogoffDuringAPauseEndsTheRelogonWithoutAnotherTry) {
    Start();
    ASSERT_TRUE(WaitFor("the first try", [&] { return conn.Logons().size() == 1; }));
    ASSERT_TRUE(clock.WaitForWaiters(1));
    worker->Logoff();
    ASSERT_TRUE(WaitFor("the relogon to end", [&] { return conn.relogonFinished.load(); }));
    ASSERT_TRUE(DriveUntil("the logoff to finish", [&] { return conn.Count("SetStatus(0)") == 1; }));
    EXPECT_EQ(conn.Logons().size(), 1u);
    // The relogon left the session in relogon state; the logoff's relogon branch took it down.
    EXPECT_EQ(conn.Count("LogoffConfigAdapter(0)"), 1);
    EXPECT_EQ(conn.Count("Logoff"), 0);
    EXPECT_EQ(conn.status.load(), TW_CLT_STATUS_OFFLINE);
}

TEST_F(RelogonTest, ALogoffDuringATryWaitsForItAndNoFurtherTryRuns) {
    conn.onLogon = [&](const LogonCall&) {
        if (conn.waitLogon.Wait(10000) == platform::kWaitObject0)
            conn.SetLastError(TW_ERROR_USER_CANCELLED, "", false);
        return false;
    };
    Start();
    ASSERT_TRUE(WaitFor("the first try to run", [&] { return worker->LogonRunning(); }));
    worker->Logoff();
    ASSERT_TRUE(DriveUntil("the logoff to finish", [&] { return conn.Count("SetStatus(0)") == 1; }));
    EXPECT_TRUE(conn.relogonFinished.load());
    EXPECT_EQ(conn.Logons().size(), 1u);
    EXPECT_EQ(conn.status.load(), TW_CLT_STATUS_OFFLINE);
}

TEST_F(RelogonTest, ARefusalStopsTheRelogonWithItsMessage) {
    conn.onLogon = [&](const LogonCall&) {
        conn.SetLastError(38, "password expired", true);
        conn.status = TW_CLT_STATUS_OFFLINE;
        return false;
    };
    Start();
    ASSERT_TRUE(WaitFor("the relogon to end", [&] { return conn.relogonFinished.load(); }));
    EXPECT_EQ(conn.Logons().size(), 1u);
    EXPECT_TRUE(ui.Has(UI_CODE_MESSAGE, "password expired"));
    EXPECT_EQ(conn.status.load(), TW_CLT_STATUS_OFFLINE);
    EXPECT_EQ(ui.Count(UPDATE_STATUS_OFFLINE), 1);
    EXPECT_EQ(clock.Waiters(), 0u);
}

TEST_F(RelogonTest, ASecondRequestWhileOneRunsStartsNoSecondRelogon) {
    Start();
    ASSERT_TRUE(WaitFor("the first try", [&] { return conn.Logons().size() == 1; }));
    worker->Relogon();
    worker->Relogon();
    worker->Exit();
    ASSERT_TRUE(DriveUntil("the worker to end", [&] { return worker->Ended(); }));
    worker->Join();
    EXPECT_EQ(conn.Count("Disconnect"), 1) << "each relogon starts by closing the tunnel";
    EXPECT_EQ(conn.Logons().size(), 1u);
}

}  // namespace
}  // namespace engine
