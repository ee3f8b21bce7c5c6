// Skarrow, the install checker: one switch per run, the answer in the exit code. The setup program
// runs it at fixed points of install and uninstall; the client runs it without a switch when the
// network service is not running.
//
// Services are looked at through the service layer. The filter services and the client service that
// Windows has do not exist on Linux; they always answer "not installed". The service control
// program that re-registration and restart launch is `qelsc` from the program folder.
//
// Threads: none of its own; one InstallChecker per run. Every delay comes from SkarrowTiming on the
// given clock. Nothing throws.
#pragma once
#include <string>
#include <vector>

#include "platform/adapter_list.h"
#include "platform/clock.h"
#include "platform/types.h"

namespace skarrow {

// Service states as the checker reports them.
constexpr int kStateRunning = 0;
constexpr int kStateUnreadable = 1;    // the service layer or the status could not be read
constexpr int kStateNotInstalled = 2;  // no such service
constexpr int kStateStopped = 3;       // installed but not running

constexpr const char* kLuntherService = "Lunther";
constexpr const char* kDriverService = "QelMini";
constexpr const char* kFilterService = "NdisFlt";
constexpr const char* kFilterHelperService = "NdisHelp";
constexpr const char* kClientService = "QelClnt";

constexpr const char* kCleanerEventName = "Global\\TerminateMorvaneBrevikEvent";
constexpr const char* kClientMutexName = "Global\\MorvaneQelCltRunning";
constexpr const char* kCleanerProgram = "Brevik";
constexpr const char* kServiceControlProgram = "qelsc";
constexpr const char* kRebootMarkerKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
constexpr const char* kRebootMarkerValue = "MVCheckPreInstReboot";
constexpr const char* kHardwareInfoKey = "SOFTWARE\\Morvane";
constexpr const char* kHardwareInfoValue = "HardwareInfo";

struct SkarrowTiming {
    DWORD roundMs = 500;  // CheckInstall / CheckUnInstall
    DWORD rounds = 20;
    DWORD reinstallRound = 6;  // the round (from 0) that re-registers Lunther
    DWORD afterRegisterMs = 500;
    DWORD afterStartMs = 1000;
    DWORD recountMs = 5000;         // second adapter count on a current system
    DWORD preInstallWaitMs = 3000;  // while Lunther is stopped
    DWORD preInstallWaits = 3;
    DWORD pollMs = 200;  // CheckPreUninstall and the start-pending poll
    DWORD killCleanerAfterMs = 5000;
    DWORD cleanerGiveUpMs = 10000;
    DWORD guiWaitMs = 30000;
    DWORD restartPauseMs = 2000;        // between stop and start
    DWORD startPendingLimitMs = 30000;  // bound of the start-pending poll
    DWORD commandLimitMs = 60000;       // bound of one launched service command
};

struct SkarrowOptions {
    SkarrowTiming timing;
    const platform::Clock* clock = nullptr;     // null: the system clock
    platform::AdapterList* adapters = nullptr;  // null: the machine's
    std::string programDir;                     // empty: the program's own folder
};

class InstallChecker {
public:
    explicit InstallChecker(SkarrowOptions options = {});

    // The whole program: argv[1..] as given; the exit code.
    int Run(const std::vector<std::string>& args);

    int EnsureService();
    int CheckInstall();
    int CheckUnInstall();
    int CheckPreInstall();
    int CheckPreUninstall();
    int GetHardwareInfo();
    int RestartLunther();

    // One service's state (0-3 above).
    int ServiceState(const std::string& name) const;
    // Adapters carrying the virtual adapter's MAC 00-FF-FF-FF-00-00; 0 when the list is unreadable.
    int CountVirtualAdapters() const;

private:
    void Pause(DWORD ms) const;
    bool LaunchAndWait(const std::vector<std::string>& argv, const char* tag) const;
    bool ReinstallLunther() const;

    SkarrowOptions m_options;
    const platform::Clock& m_clock;
    platform::AdapterList& m_adapters;
};

}  // namespace skarrow
