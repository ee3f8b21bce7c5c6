// The worker: the one door through which the user interface drives the connection engine. The GUI
// calls the setters below from its own thread; each only records a request and returns at once.
// One long-lived thread serves the requests one at a time, in this priority: inform-update logon,
// logon, logoff, relogon, adapter-closed logoff, exit, hardware-id logon. A request that arrives
// while another runs stays pending and is served in a later pass; a request made again while it
// is served (its flag is cleared before it acts) is served once more.
//
// The outcome reaches the GUI only through the UiSink (callback codes) and the status calls.
//
// Lifetime: construct, InitializeWorkerThread, ..., Exit, Join (or just destroy: the destructor
// asks for Exit when the thread still runs and joins it). Exit always ends with a full logoff.
// The worker also owns the relogon thread (at most one at a time) and the forced-logoff threads;
// Join and the destructor join all of them, so none outlives the connector. The connector, the
// sink, the timing and the clock must outlive the worker.
//
// Thread-safety: every public call may come from any thread.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/connector_control.h"
#include "engine/engine_timing.h"
#include "engine/net_check_thread.h"
#include "engine/relogon_thread.h"
#include "engine/ui_sink.h"
#include "platform/clock.h"

namespace engine {

class TwWorkerThread final : public ForcedLogoffHost, private RelogonHost {
public:
    // The commands, in the order in which pending ones are served.
    enum Command : unsigned {
        kInformUpdate = 1u << 0,
        kLogon = 1u << 1,
        kLogoff = 1u << 2,
        kRelogon = 1u << 3,
        kAdapterClosedLogoff = 1u << 4,
        kExit = 1u << 5,
        kHardIdLogon = 1u << 6,
    };

    TwWorkerThread(ConnectorControl& connector, UiSink& ui, const EngineTiming& timing = {},
                   const platform::Clock& clock = platform::SystemClock());
    ~TwWorkerThread();
    TwWorkerThread(const TwWorkerThread&) = delete;
    TwWorkerThread& operator=(const TwWorkerThread&) = delete;

    // Initialises the connector and starts the worker thread; false (no thread) when the connector
    // cannot be initialised or the thread cannot start. Call once.
    bool InitializeWorkerThread();

    // A logon with these credentials (copied here; the caller's strings may go at once). The
    // inform-update flag asks for an inform-update logon, else the hardware-id flag for a
    // hardware-id logon, else a normal logon. Refused by the worker while a logoff runs or when
    // online.
    bool Logon(const std::string& user, const std::string& password, int hardIdFlag, int informUpdateFlag);
    // Starts a relogon thread unless one runs already (the tunnel paths and the password dialog
    // call this when the tunnel dropped).
    bool Relogon();
    bool Logoff();
    // The bound adapter went away: log off without waiting for a running logon, restoring the
    // saved routes.
    bool AdapterClosedLogoff();
    // Ends the worker after a full logoff. Join then waits for it.
    bool Exit();
    // Cuts short every wait of a running logon or relogon and stops the relogon.
    bool Cancel();

    bool UserLoggedOn() override;
    bool SetWebLogonMode(bool on);
    bool SetInformUpdate();
    // The relogon password dialog: new password for the saved logon, and the status to take.
    bool SetRelogonPassword(const std::string& password, int status);

    // Waits for the worker thread (after Exit) and every thread it started.
    void Join();
    // True while no worker thread runs.
    bool Ended() const { return m_ended.load(); }
    // Read by the GUI's logon watchdog: whether the connector's logon runs now.
    bool LogonRunning() const { return m_logonRunning.load(); }

    // The status window's seven fields.
    struct StatusInfo {
        std::string server, gatewayName, onlineTime, virtualAddress, gatewayAddress, sent, received;
    };
    StatusInfo FormatStatusInfo();
    // Appends the session report (or "用户没有登录\n" when offline) to `out`.
    void AppendSessionReport(std::string* out);

    // ForcedLogoffHost: the network check found the adapter gone. Starts a forced-logoff thread
    // that asks for the adapter-closed logoff and then shows `text` (an empty text: the
    // catalogue's, none at all: the built-in one).
    void StartForcedLogoff(const std::string* text) override;

    // Formats a byte count as the status window shows it ("1024 B", "1.00 KB", ...).
    static std::string FormatBytes(std::uint64_t count);
    // Elapsed seconds as "%02d:%02d:%02d", with "%d Day(s) " in front from one day on.
    static std::string FormatDuration(std::uint64_t seconds);

private:
    // RelogonHost: what the relogon thread reads and runs.
    ConnectorControl& RelogonConnector() override { return m_connector; }
    UiSink& RelogonUi() override { return m_ui; }
    const EngineTiming& RelogonTiming() override { return m_timing; }
    const platform::Clock& RelogonClock() override { return m_clock; }
    bool RelogonCancelled() override { return m_cancelled.load(); }
    bool RelogonLogoffRequested() override { return m_logoffRequested.load(); }
    int RelogonLogon(const std::string& user, const std::string& password,
                     const std::string& session) override {
        return LogonUserToDomain(user, password, session, true, false);
    }

    void Post(unsigned command);
    void WorkerThreadProc();
    // Waits for the next pending command, clears its flag and returns it.
    unsigned TakeCommand();
    void ServeLogon(unsigned command);
    // The wrapper around the connector's logon; returns its last error number.
    int LogonUserToDomain(const std::string& user, const std::string& password, const std::string& extra,
                          bool relogon, bool hardId);
    void LogoffFromGateway();
    void AdapterClosedLogoffFromGateway();
    void BeginLogoff();
    void FinishLogoff(bool adapterClosed);
    void WaitForOtherLogoff();
    void StartRelogon();
    void StopHelpers();
    void JoinHelpers();
    void SleepMs(DWORD ms);

    ConnectorControl& m_connector;
    UiSink& m_ui;
    const EngineTiming m_timing;
    const platform::Clock& m_clock;

    std::mutex m_mutex;  // the board, the credentials and the helper threads
    std::condition_variable m_cv;
    unsigned m_pending = 0;
    std::string m_user, m_password;

    std::thread m_thread;
    std::atomic<bool> m_ended{true};
    std::atomic<bool> m_initialised{false};
    std::atomic<bool> m_cancelled{false};
    std::atomic<bool> m_logoffRequested{false};
    std::atomic<bool> m_logonRunning{false};
    std::atomic<long> m_logonThreadId{0};
    std::atomic<std::int64_t> m_logonTime{0};

    struct Helper;
    std::unique_ptr<Helper> m_relogon;              // under m_mutex
    std::vector<std::unique_ptr<Helper>> m_forced;  // under m_mutex
    std::mutex m_sleepMutex;
    std::condition_variable m_sleepCv;
};

}  // namespace engine
