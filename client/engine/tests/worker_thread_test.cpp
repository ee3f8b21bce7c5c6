// The worker against a fake connector: the order in which pending requests are served, the guards
// that refuse a logon, the logoff's branches and waits, exit, and the status texts.
#include "engine/worker_thread.h"

#include <gtest/gtest.h>

#include "fake_connector.h"
#include "platform/fake/manual_clock.h"
#include "testsupport/temp_root.h"
#include "testsupport/wait.h"

namespace engine {
namespace {

using test::FakeConnector;
using test::LogonCall;
using test::QuickTiming;
using test::RecordingUi;
using testsupport::WaitFor;

// A door the fake logon waits at until the test opens it.
class Gate {
public:
    void Open() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
        m_cv.notify_all();
    }
    void Arrive() {
        std::unique_lock<std::mutex> lock(m_mutex);
        ++m_arrived;
        m_cv.notify_all();
        m_cv.wait_for(lock, std::chrono::seconds(10), [this] { return m_open; });
    }
    bool WaitArrived(int n) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::seconds(10), [&] { return m_arrived >= n; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_open = false;
    int m_arrived = 0;
};

class WorkerTest : public ::testing::Test {
protected:
    testsupport::TempRoot root;
    FakeConnector conn;
    RecordingUi ui;
    EngineTiming timing = QuickTiming();
};

TEST_F(WorkerTest, PendingRequestsAreServedByPriorityWithTheirOwnCopyOfTheCredentials) {
    TwWorkerThread worker(conn, ui, timing);
    {
        std::string user = "bob", password = "pw1";
        worker.Logoff();
        worker.Logon(user, password, 0, 0);
        user.assign("XXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX");
        password.assign(40, 'Y');
    }
    // Both requests are pending when the thread starts: the logon runs first, then the logoff.
    ASSERT_TRUE(worker.InitializeWorkerThread());
    ASSERT_TRUE(WaitFor("the logoff after the logon", [&] { return ui.Count(UI_CODE_CLEAN_CACHE) == 1; }));
    const auto logons = conn.Logons();
    ASSERT_EQ(logons.size(), 1u);
    EXPECT_EQ(logons[0].user, "bob");
    EXPECT_EQ(logons[0].password, "pw1");
    EXPECT_FALSE(logons[0].hardId);
    EXPECT_EQ(logons[0].logonInProgress, 1);
    EXPECT_LT(conn.IndexOf("LogonUserToDomain"), conn.IndexOf("Logoff"));
    // The full logoff: notice, disconnect, adapter, then offline and the cache policy.
    const int notice = conn.IndexOf("Logoff");
    EXPECT_LT(notice, conn.IndexOf("Disconnect", notice));
    EXPECT_LT(conn.IndexOf("Disconnect", notice), conn.IndexOf("LogoffConfigAdapter(0)"));
    EXPECT_EQ(conn.status.load(), TW_CLT_STATUS_OFFLINE);
    EXPECT_EQ(conn.logoffInProgress.load(), 0);
    EXPECT_EQ(conn.logonInProgress.load(), 0);
    const auto calls = ui.Calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[calls.size() - 2].first, UPDATE_STATUS_OFFLINE);
    EXPECT_EQ(calls.back().first, UI_CODE_CLEAN_CACHE);
    EXPECT_EQ(ui.Closed(), (std::vector<std::string>{"text130", "text135", "text131"}));
}

TEST_F(WorkerTest, InformUpdateGoesBeforeALogonAndHardwareIdLogonComesLast) {
    TwWorkerThread worker(conn, ui, timing);
    conn.onLogon = [&](const LogonCall& c) {
        if (c.informUpdate) conn.informUpdate = false;  // the inform path ends offline
        return !c.informUpdate && !c.hardId;
    };
    worker.Logon("u", "p", 1, 0);  // hardware id
    worker.Logon("u", "p", 0, 1);  // inform update
    ASSERT_TRUE(worker.InitializeWorkerThread());
    ASSERT_TRUE(WaitFor("two logons", [&] { return conn.Logons().size() == 2; }));
    const auto logons = conn.Logons();
    EXPECT_TRUE(logons[0].informUpdate);
    EXPECT_TRUE(logons[1].hardId);
    EXPECT_EQ(logons[1].logonInProgress, 1) << "the hardware-id logon takes the guard";
}

TEST_F(WorkerTest, LogonsAreRefusedWhileOnlineOrWhileALogoffRuns) {
    struct Case {
        int hardId, status, logoffInProgress;
    };
    for (const Case c : {Case{0, TW_CLT_STATUS_GW_CERTIFIED, 0}, Case{1, TW_CLT_STATUS_GW_CERTIFIED, 0},
                         Case{0, TW_CLT_STATUS_OFFLINE, 1}, Case{1, TW_CLT_STATUS_OFFLINE, 1}}) {
        SCOPED_TRACE(testing::Message() << "hardId " << c.hardId << " status " << c.status);
        FakeConnector fresh;
        fresh.status = c.status;
        fresh.logoffInProgress = c.logoffInProgress;
        TwWorkerThread worker(fresh, ui, timing);
        worker.Logon("u", "p", c.hardId, 0);
        worker.Exit();  // served after the logon request
        ASSERT_TRUE(worker.InitializeWorkerThread());
        worker.Join();
        EXPECT_TRUE(fresh.Logons().empty());
        EXPECT_EQ(fresh.logonInProgress.load(), 0);
    }
}

TEST_F(WorkerTest, LogoffWhileOfflineOnlyResetsTheLogonDoneEvent) {
    TwWorkerThread worker(conn, ui, timing);
    conn.logonDone.Set();
    worker.Logoff();
    ASSERT_TRUE(worker.InitializeWorkerThread());
    ASSERT_TRUE(WaitFor("the logon-done event to be reset", [&] { return !conn.logonDone.IsSet(); }));
    worker.Exit();
    worker.Join();
    EXPECT_EQ(conn.Count("Disconnect"), 0);
    EXPECT_EQ(ui.Count(UPDATE_STATUS_OFFLINE), 0);
}

TEST_F(WorkerTest, ASecondLogoffWaitsForTheFirstAndTearsNothingDown) {
    platform::fake::ManualClock clock;
    timing.logoffOtherPollMs = 200;
    TwWorkerThread worker(conn, ui, timing, clock);
    conn.status = TW_CLT_STATUS_GW_CERTIFIED;
    conn.logoffInProgress = 1;  // another logoff runs
    worker.Logoff();
    ASSERT_TRUE(worker.InitializeWorkerThread());
    ASSERT_TRUE(clock.WaitForWaiters(1));
    clock.Advance(200);
    ASSERT_TRUE(clock.WaitForWaiters(1));
    conn.status = TW_CLT_STATUS_OFFLINE;
    conn.logoffInProgress = 0;
    clock.Advance(200);
    worker.Exit();
    worker.Join();
    EXPECT_EQ(conn.Count("Disconnect"), 0);
    EXPECT_EQ(conn.Count("ForgetSession"), 0);
}

TEST_F(WorkerTest, CancelCutsARunningLogonAndExitWhileOnlineLogsOffFirst) {
    conn.onLogon = [&](const LogonCall&) {
        if (conn.waitLogon.Wait(10000) != platform::kWaitObject0) return true;
        conn.SetLastError(TW_ERROR_USER_CANCELLED, "cancelled", false);
        return false;
    };
    TwWorkerThread worker(conn, ui, timing);
    ASSERT_TRUE(worker.InitializeWorkerThread());
    worker.Logon("u", "p", 0, 0);
    ASSERT_TRUE(WaitFor("the logon to run", [&] { return worker.LogonRunning(); }));
    worker.Cancel();
    ASSERT_TRUE(
        WaitFor("the cut logon to end", [&] { return !worker.LogonRunning() && conn.logonInProgress == 0; }));
    ASSERT_TRUE(WaitFor("the switch to client mode", [&] { return conn.Count("CloseCaptureDevice") == 1; }));
    EXPECT_TRUE(ui.Has(UI_CODE_SWITCH_TO_CLIENT_LOGON, ""));

    conn.onLogon = nullptr;
    worker.Logon("u", "p", 0, 0);
    ASSERT_TRUE(WaitFor("online", [&] { return worker.UserLoggedOn(); }));
    worker.Exit();
    worker.Join();
    EXPECT_TRUE(worker.Ended());
    EXPECT_EQ(conn.Count("Logoff"), 1);
    EXPECT_EQ(conn.status.load(), TW_CLT_STATUS_OFFLINE);
}

TEST_F(WorkerTest, ALogoffDuringALogonWaitsForItThenTearsDown) {
    Gate gate;
    conn.onLogon = [&](const LogonCall&) {
        gate.Arrive();
        return true;
    };
    TwWorkerThread worker(conn, ui, timing);
    ASSERT_TRUE(worker.InitializeWorkerThread());
    worker.Logon("u", "p", 0, 0);
    ASSERT_TRUE(gate.WaitArrived(1));
    worker.Logoff();
    gate.Open();
    ASSERT_TRUE(WaitFor("the logoff", [&] { return ui.Count(UI_CODE_CLEAN_CACHE) == 1; }));
    EXPECT_EQ(conn.status.load(), TW_CLT_STATUS_OFFLINE);
}

// A logon waiting (for its address, the gateway, a proxy) is cut at once by a logoff and by a
// quit, as by the user's cancel: nothing waits for a limit of its own first.
TEST_F(WorkerTest, ALogoffAndAQuitCutTheWaitsOfARunningLogon) {
    for (const bool quit : {false, true}) {
        SCOPED_TRACE(quit ? "quit" : "logoff");
        conn.waitLogon.Reset();
        std::atomic<int> cut{-1};
        conn.onLogon = [&](const LogonCall&) {
            // The bound only keeps a missing cut from hanging the test.
            cut = conn.waitLogon.Wait(20000) == platform::kWaitObject0 ? 1 : 0;
            conn.SetLastError(TW_ERROR_USER_CANCELLED, "cancelled", false);
            return false;
        };
        TwWorkerThread worker(conn, ui, timing);
        ASSERT_TRUE(worker.InitializeWorkerThread());
        worker.Logon("u", "p", 0, 0);
        ASSERT_TRUE(WaitFor("the logon to run", [&] { return worker.LogonRunning(); }));
        if (quit) {
            worker.Exit();
        } else {
            worker.Logoff();
        }
        ASSERT_TRUE(WaitFor(
            "the logon to end", [&] { return cut.load() >= 0; }, 30000));
        EXPECT_EQ(cut.load(), 1) << "the logon's wait ran to its bound";
        if (quit) {
            worker.Join();
            EXPECT_TRUE(worker.Ended());
        } else {
            worker.Exit();
            worker.Join();
        }
    }
}

TEST_F(WorkerTest, EveryTeardownForgetsTheStoredSession) {
    struct Case {
        const char* name;
        int status;
        bool adapterClosed;
    };
    const Case cases[] = {
        {"full logoff", TW_CLT_STATUS_GW_CERTIFIED, false},
        {"logoff during a relogon", TW_CLT_STATUS_GW_RELOGON_INIT, false},
        {"adapter closed", TW_CLT_STATUS_GW_CERTIFIED, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeConnector fresh;
        RecordingUi freshUi;
        fresh.status = c.status;
        TwWorkerThread worker(fresh, freshUi, timing);
        ASSERT_TRUE(worker.InitializeWorkerThread());
        if (c.adapterClosed)
            worker.AdapterClosedLogoff();
        else
            worker.Logoff();
        ASSERT_TRUE(WaitFor("the teardown", [&] { return freshUi.Count(UPDATE_STATUS_OFFLINE) == 1; }));
        EXPECT_EQ(fresh.Count("ForgetSession"), 1);
        EXPECT_EQ(fresh.status.load(), TW_CLT_STATUS_OFFLINE);
        worker.Exit();
        worker.Join();
    }
}

// The adapter closes under the session and the quit comes while the forced logoff is restoring:
// the quit is served after that logoff, which withdraws the tunnel's name servers; nothing is torn
// down twice.
TEST_F(WorkerTest, AQuitDuringAForcedLogoffWaitsForItsRestore) {
    Gate gate;
    conn.onCall = [&](const std::string& name) {
        if (name == "LogoffRecoverAdapterRoute(0)") gate.Arrive();
    };
    TwWorkerThread worker(conn, ui, timing);
    ASSERT_TRUE(worker.InitializeWorkerThread());
    worker.Logon("u", "p", 0, 0);
    ASSERT_TRUE(WaitFor("online", [&] { return worker.UserLoggedOn(); }));
    const std::string text = "the adapter is gone";
    worker.StartForcedLogoff(&text);
    ASSERT_TRUE(gate.WaitArrived(1));
    worker.Exit();
    gate.Open();
    worker.Join();
    EXPECT_TRUE(worker.Ended());
    const int released = conn.IndexOf("ReleaseClosedAdapter");
    ASSERT_GE(released, 0);
    EXPECT_LT(released, conn.IndexOf("LogoffRecoverAdapterRoute(0)"));
    EXPECT_EQ(conn.Count("ReleaseClosedAdapter"), 1);
    EXPECT_EQ(conn.Count("Disconnect"), 1);
    EXPECT_EQ(conn.Count("LogoffConfigAdapter(0)"), 0);
    EXPECT_EQ(conn.status.load(), TW_CLT_STATUS_OFFLINE);
    EXPECT_EQ(conn.logoffInProgress.load(), 0);
    EXPECT_TRUE(ui.Has(UI_CODE_MESSAGE, text));
    // An end the user did not ask for carries its reason.
    EXPECT_EQ(conn.LastError(), TW_ERROR_ADAPTER_CLOSED);
    EXPECT_EQ(conn.LastErrorText(), text);
}

TEST(WorkerTexts, ByteCountsAndDurations) {
    EXPECT_EQ(TwWorkerThread::FormatBytes(0), "0 B");
    EXPECT_EQ(TwWorkerThread::FormatBytes(1024), "1024 B");
    EXPECT_EQ(TwWorkerThread::FormatBytes(1025), "1.00 KB");
    EXPECT_EQ(TwWorkerThread::FormatBytes(1024u * 1024u), "1024.00 KB");
    EXPECT_EQ(TwWorkerThread::FormatBytes(1024u * 1024u + 11000u), "1.01 MB");
    EXPECT_EQ(TwWorkerThread::FormatBytes(5ull * 1024 * 1024 * 1024), "5.00 GB");
    EXPECT_EQ(TwWorkerThread::FormatBytes(3000ull * 1024 * 1024 * 1024), "3000.00 GB");
    EXPECT_EQ(TwWorkerThread::FormatDuration(0), "00:00:00");
    EXPECT_EQ(TwWorkerThread::FormatDuration(3661), "01:01:01");
    EXPECT_EQ(TwWorkerThread::FormatDuration(2 * 86400 + 59), "2 Day(s) 00:00:59");
}

TEST_F(WorkerTest, SessionReportAndStatusFields) {
    TwWorkerThread worker(conn, ui, timing);
    std::string report;
    worker.AppendSessionReport(&report);
    EXPECT_EQ(report, "用户没有登录\n");

    conn.status = TW_CLT_STATUS_GW_CERTIFIED;
    conn.session.serverAddress = "vpn.example";
    conn.session.serverPort = 443;
    conn.session.virtualIp = 0xC6120005;  // 198.18.0.5
    conn.session.mask = 0xFFFFFF00;
    conn.session.dns2 = 0xC6120001;
    conn.session.sent = 2048;
    conn.session.onlineSeconds = 61;
    report.clear();
    worker.AppendSessionReport(&report);
    EXPECT_NE(report.find("服务器地址: vpn.example:443\n"), std::string::npos);
    EXPECT_NE(report.find("动态地址: 198.18.0.5\n子网掩码: 255.255.255.0\n"), std::string::npos);
    EXPECT_EQ(report.find("主DNS服务器"), std::string::npos);
    EXPECT_NE(report.find("备DNS服务器: 198.18.0.1\n"), std::string::npos);
    const auto info = worker.FormatStatusInfo();
    EXPECT_EQ(info.server, "vpn.example:443");
    EXPECT_EQ(info.virtualAddress, "198.18.0.5");
    EXPECT_EQ(info.sent, "2.00 KB");
    EXPECT_EQ(info.onlineTime, "00:01:01");
}

}  // namespace
}  // namespace engine
