// The GUI client's update check before logon, and the start of the update program when the user
// accepted an update. The GUI owns the texts (string ids below), the dialog state and the message
// pump; this class owns the check thread and its time limit.
//
// Threads: Run() is called on the GUI thread and pumps through the UI while the check runs on a
// thread of its own; the UI's ShowCheckText/AskYesNo/ShowMessage are called from that thread
// (AskYesNo must block until answered; the GUI posts it to its own thread, which keeps pumping).
// After the time limit Run() returns 0 and the thread, left to end by itself within the
// network time-outs, makes no further UI call; the destructor joins it. The cancel flag given to
// Run() must outlive this object.
#pragma once
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "glimrow/glimrow.h"
#include "platform/clock.h"

class GLIMROW_API ClientUpdateUi {
public:
    virtual ~ClientUpdateUi() = default;
    // Display text (UpdateUICallback code 4): 241 connecting, 240 fetching the list, 239 parsing,
    // 238 comparing.
    virtual void ShowCheckText(int stringId) = 0;
    // System-modal Yes/No with the information icon, caption 235: 243 required, 242 full setup,
    // 237 available; 234 (caption "Update tips") when the server could not be recorded.
    virtual bool AskYesNo(int stringId) = 0;
    // Information box: 236 (caption 235) after a refused required update; 230 (caption
    // "Update tips") when the update program could not be started.
    virtual void ShowMessage(int stringId) = 0;
    // Called every pump interval on the GUI thread while the check runs: dispatch pending events.
    virtual void Pump() = 0;
};

struct ClientUpdateTiming {
    DWORD limitMs = 300000;
    DWORD pumpMs = 100;
    GlimrowTiming net;
};

struct ClientUpdateRequest {
    std::string server;
    unsigned short port = 0;
    std::string version;  // the client's own version
    // Where "Quistral" is, and "UpdateList.txt" goes for root's client; a member's goes into its
    // own place (platform/user_place.h).
    std::string programDir;
    // The client's arguments after the update: {"-logon", user} or
    // {"-browserlogon", gateway, port, session, user}.
    std::vector<std::string> clientArgs;
    // Given to the update program on its standard input, never on its command line; the update
    // program gives it to the restarted client the same way.
    std::string password;
};

class GLIMROW_API TwClientUpdateCheck {
public:
    explicit TwClientUpdateCheck(ClientUpdateUi& ui, ClientUpdateTiming timing = {},
                                 const platform::Clock& clock = platform::SystemClock());
    ~TwClientUpdateCheck();

    // SSLClientCheckUpdate without the dialog's own state: false when an update program runs
    // already; otherwise the check. Result in *result: 0 go on with the logon, 1 an update is due
    // and the update program was started (the client then quits: set
    // "Global\\StopMorvaneVornClientEvent"), -1 do not log on (refused required update, server
    // not recorded, cancel, or the update program failed to start). Returns true when the logon
    // goes on (*result 0).
    bool Run(const ClientUpdateRequest& request, const std::atomic<bool>& cancel, int* result);

    // After Run: the user refused a required update (the -1 that also ends web logon mode).
    bool RequiredUpdateRefused() const { return m_lastRefused; }

    // The check itself (the thread's body): 0, 1 or -1 as above, before the program start.
    int CheckUpdate(const ClientUpdateRequest& request, const std::atomic<bool>& cancel);

    // A process "Quistral" or "UpdateSetup.exe" (any case) of this installation runs: one whose
    // executable lies in programDir, or whose executable cannot be read (another user's). A
    // program of that name elsewhere (another installation or machine root) does not count, nor
    // does a process that calls itself otherwise (its task name): a fork of the update program
    // that never execs, such as the service layer's monitor of a service the update restarted.
    static bool UpdateProgramRunning(const std::string& programDir);
    // <programDir>/Quistral Client <clientArgs...>, the password on its standard input.
    static bool StartUpdateProgram(const ClientUpdateRequest& request);

private:
    ClientUpdateUi& m_ui;
    ClientUpdateTiming m_timing;
    const platform::Clock& m_clock;
    std::thread m_thread;
    std::shared_ptr<std::atomic<bool>> m_abandoned;
    std::shared_ptr<std::atomic<bool>> m_refusedRequired;  // set by the check thread
    bool m_lastRefused = false;                            // Run's caller's thread
};
