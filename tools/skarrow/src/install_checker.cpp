// The install checker's switches.
#include "skarrow/install_checker.h"

#include <signal.h>
#include <strings.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "dailylog/shared_daily_log.h"
#include "platform/clock_wait.h"
#include "platform/debug_output.h"
#include "platform/named_objects.h"
#include "platform/process.h"
#include "platform/service_control.h"
#include "platform/settings_store.h"
#include "service/hardware_id.h"

namespace skarrow {
namespace {

// The Windows services that have no counterpart on Linux: they are never installed,
// whatever a record of that name in the service layer might say.
bool AbsentHere(const std::string& name) {
    return name == kFilterService || name == kFilterHelperService || name == kClientService;
}

std::string ServiceRecordKey(const std::string& name) {
    return "SYSTEM\\CurrentControlSet\\Services\\" + name;
}

// This system is always a current one: the checks meant for systems after Windows 7 apply.
bool IsOSVerHigherThanWin7() {
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[IsOSVerHigherThanWin7] a current system: true");
    return true;
}

}  // namespace

InstallChecker::InstallChecker(SkarrowOptions options)
    : m_options(std::move(options)),
      m_clock(m_options.clock != nullptr ? *m_options.clock : platform::SystemClock()),
      m_adapters(m_options.adapters != nullptr ? *m_options.adapters : platform::SystemAdapterList()) {
    if (m_options.programDir.empty()) m_options.programDir = platform::ProgramDir();
}

void InstallChecker::Pause(DWORD ms) const { platform::SleepOn(m_clock, ms); }

int InstallChecker::ServiceState(const std::string& name) const {
    if (AbsentHere(name) || !platform::ServiceInstalled(name)) return kStateNotInstalled;
    platform::SERVICE_STATUS st{};
    const DWORD rc = platform::QueryServiceStatusByName(name, &st);
    if (rc == platform::kErrorServiceDoesNotExist) return kStateNotInstalled;
    if (rc != platform::kErrorSuccess) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[skarrow-main] QueryServiceStatus(%s) failed (%u)", name.c_str(), rc);
        return kStateUnreadable;
    }
    return st.dwCurrentState == platform::SERVICE_RUNNING ? kStateRunning : kStateStopped;
}

int InstallChecker::CountVirtualAdapters() const {
    std::vector<platform::AdapterInfo> list;
    const DWORD rc = m_adapters.GetAdapters(&list);
    if (rc != platform::kErrorSuccess) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[skarrow-main] GetAdaptersInfo failed (%u)", rc);
        return 0;
    }
    static constexpr BYTE kVirtualMac[6] = {0x00, 0xff, 0xff, 0xff, 0x00, 0x00};
    int count = 0;
    for (const auto& a : list) {
        if (a.macLength != 6) continue;
        bool same = true;
        for (int i = 0; i < 6; ++i) same = same && a.mac[static_cast<std::size_t>(i)] == kVirtualMac[i];
        if (same) ++count;
    }
    return count;
}

bool InstallChecker::LaunchAndWait(const std::vector<std::string>& argv, const char* tag) const {
    platform::SpawnOptions spawn;
    spawn.quietOutput = true;
    const pid_t pid = platform::Spawn(argv, spawn);
    if (pid < 0) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "%s %s could not be launched (errno %d)", tag, argv[0].c_str(), errno);
        return false;
    }
    // Waited for, so that a start never overtakes the stop before it.
    int code = -1;
    if (platform::WaitProcess(pid, m_options.timing.commandLimitMs, &code) != platform::kWaitObject0) {
        platform::KillProcess(pid, SIGKILL);
        platform::WaitProcess(pid, 5000, &code);
        TW_LOG(LOG_CLIENT_LOGIN, 4, "%s %s did not end in time", tag, argv[0].c_str());
        return true;
    }
    TW_LOG(LOG_CLIENT_LOGIN, 4, "%s %s %s: exit code %d", tag, argv[0].c_str(),
           argv.size() > 1 ? argv[1].c_str() : "", code);
    return true;
}

bool InstallChecker::ReinstallLunther() const {
    const std::string dir = m_options.programDir;
    if (!LaunchAndWait({dir + "/" + kLuntherService, "-i"}, "[ReinstallLunther]")) return false;
    Pause(m_options.timing.afterRegisterMs);
    if (!LaunchAndWait({dir + "/" + kServiceControlProgram, "start", kLuntherService}, "[ReinstallLunther]"))
        return false;
    Pause(m_options.timing.afterStartMs);
    return true;
}

int InstallChecker::EnsureService() {
    const int state = ServiceState(kLuntherService);
    if (state == kStateRunning) return 1;
    if (state == kStateNotInstalled) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[CheckNetshSvc] OpenService failed (%u)",
               platform::kErrorServiceDoesNotExist);
        return 0;
    }
    auto store = platform::SettingsStore::Machine();
    DWORD startType = 0;
    const std::string key = ServiceRecordKey(kLuntherService);
    if (store && (store->GetDword(key, "Start", &startType) != platform::kRegOk ||
                  startType != platform::SERVICE_AUTO_START)) {
        const LONG rc = store->SetDword(key, "Start", platform::SERVICE_AUTO_START);
        if (rc != platform::kRegOk)
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[CheckNetshSvc]ChangeServiceConfig failed (%d)\n", rc);
    }
    const DWORD rc = platform::StartServiceByName(kLuntherService, m_options.timing.startPendingLimitMs);
    if (rc == platform::kErrorSuccess) {
        const platform::ClockDeadline limit(m_clock, m_options.timing.startPendingLimitMs);
        platform::SERVICE_STATUS st{};
        while (!limit.Expired() &&
               platform::QueryServiceStatusByName(kLuntherService, &st) == platform::kErrorSuccess &&
               st.dwCurrentState == platform::SERVICE_START_PENDING) {
            Pause(m_options.timing.pollMs);
        }
        return 1;
    }
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[CheckNetshSvc] StartService failed (%u)", rc);
    return rc == platform::kErrorServiceAlreadyRunning ? 1 : 0;
}

int InstallChecker::CheckInstall() {
    const SkarrowTiming& t = m_options.timing;
    bool up = false;
    for (DWORD round = 0; round < t.rounds && !up; ++round) {
        if (ServiceState(kLuntherService) == kStateRunning) {
            TW_LOG(LOG_ALWAYS_40, 4, "[skarrow-main]Lunther is OK");
            up = true;
            break;
        }
        TW_LOG(LOG_ALWAYS_40, 4, "[skarrow-main]Lunther is not OK");
        if (round == t.reinstallRound && !ReinstallLunther()) {
            TW_LOG(LOG_ALWAYS_40, 4, "[skarrow-main]ReinstallLunther Failed");
        }
        Pause(t.roundMs);
    }
    if (!up) return 2;
    up = false;
    for (DWORD round = 0; round < t.rounds; ++round) {
        const int state = ServiceState(kDriverService);
        if (state == kStateRunning) {
            up = true;
            break;
        }
        if (state == kStateNotInstalled) TW_LOG(LOG_ALWAYS_40, 4, "[skarrow-main]QelMini is not installed");
        Pause(t.roundMs);
    }
    if (!up) {
        TW_LOG(LOG_ALWAYS_40, 4, "[skarrow-main]QelMini is not OK");
        return 1;
    }
    int count = CountVirtualAdapters();
    if (IsOSVerHigherThanWin7()) {
        Pause(t.recountMs);
        count = CountVirtualAdapters();
    }
    TW_LOG(LOG_ALWAYS_40, 4, "[skarrow-main]virtual adapters: %d", count);
    return count >= 2 ? 3 : 0;
}

int InstallChecker::CheckUnInstall() {
    const SkarrowTiming& t = m_options.timing;
    int count = 0;
    for (DWORD round = 0; round < t.rounds; ++round) {
        count = CountVirtualAdapters();
        bool gone = count == 0;
        for (const char* name :
             {kClientService, kDriverService, kFilterService, kFilterHelperService, kLuntherService})
            gone = gone && ServiceState(name) == kStateNotInstalled;
        if (gone) return 0;
        Pause(t.roundMs);
    }
    if (count > 0) {
        TW_LOG(LOG_ALWAYS_40, 4, "[skarrow-main]CheckUnInstall: %d virtual adapters remain", count);
        return 2;
    }
    TW_LOG(LOG_ALWAYS_40, 4, "[skarrow-main]CheckUnInstall: QelMini state %d, Lunther state %d",
           ServiceState(kDriverService), ServiceState(kLuntherService));
    return 1;
}

int InstallChecker::CheckPreInstall() {
    const SkarrowTiming& t = m_options.timing;
    auto store = platform::SettingsStore::Machine();
    if (store && store->QueryValue(kRebootMarkerKey, kRebootMarkerValue, nullptr, nullptr, nullptr) ==
                     platform::kRegOk) {
        TW_LOG(LOG_ALWAYS_40, 4, "[skarrow-main]CheckPreInstall: a reboot is pending");
        return 1;
    }
    for (DWORD i = 0; i < t.preInstallWaits && ServiceState(kLuntherService) == kStateStopped; ++i) {
        Pause(t.preInstallWaitMs);
    }
    const int client = ServiceState(kClientService);
    const int driver = ServiceState(kDriverService);
    const int filter = ServiceState(kFilterService);
    const int helper = ServiceState(kFilterHelperService);
    const int count = CountVirtualAdapters();
    const bool filterBit = (filter == kStateNotInstalled || filter == kStateStopped) &&
                           (driver == kStateRunning || client == kStateRunning || helper == kStateRunning);
    const bool adapterBit = count >= 2;
    char line[160];
    std::snprintf(line, sizeof(line),
                  "[skarrow-main]CheckPreInstall %d%d adapters=%d QelClnt=%d QelMini=%d "
                  "NdisFlt=%d NdisHelp=%d\n",
                  adapterBit ? 1 : 0, filterBit ? 1 : 0, count, client, driver, filter, helper);
    TW_LOG(LOG_ALWAYS_40, 4, "%s", line);
    platform::DebugOutput(line);
    return (adapterBit ? 2 : 0) + (filterBit ? 1 : 0);
}

int InstallChecker::CheckPreUninstall() {
    const SkarrowTiming& t = m_options.timing;
    TW_LOG(LOG_ALWAYS_40, 4, "[CheckPreUninstall]enter");
    const std::uint64_t start = m_clock.TickMs();
    // Only our own cleaner, from our own folder, is ever ended: never a stranger that shares its name.
    const std::string cleaner = m_options.programDir + "/" + kCleanerProgram;
    bool killed = false;
    for (;;) {
        const std::uint64_t elapsed = m_clock.TickMs() - start;
        if (elapsed > t.killCleanerAfterMs && !killed) {
            for (const auto& p : platform::ListProcesses()) {
                if (::strcasecmp(p.name.c_str(), kCleanerProgram) != 0 || p.path != cleaner) continue;
                TW_LOG(LOG_ALWAYS_40, 4, "[CheckPreUninstall]terminate Brevik pid=%d",
                       static_cast<int>(p.pid));
                platform::KillProcess(p.pid, SIGKILL);
                killed = true;
                break;
            }
        }
        if (!platform::NamedObjectExists(kCleanerEventName)) break;
        if (elapsed > t.cleanerGiveUpMs) {
            TW_LOG(LOG_ALWAYS_40, 4, "[CheckPreUninstall]the cleaner did not end: time-out");
            break;
        }
        Pause(t.pollMs);
    }
    // Asked without creating it: a client starting now must not find the name taken by us.
    if (!platform::NamedObjectExists(kClientMutexName)) return 0;
    const platform::ClockDeadline limit(m_clock, t.guiWaitMs);
    while (!limit.Expired()) {
        Pause(t.pollMs);
        if (!platform::NamedObjectExists(kClientMutexName)) return 0;
    }
    TW_LOG(LOG_ALWAYS_40, 4, "[CheckPreUninstall]the client still runs");
    return 1;
}

int InstallChecker::GetHardwareInfo() {
    const std::string id = service::GetHardwareID(m_adapters);
    auto store = platform::SettingsStore::Machine();
    LONG rc = store ? store->CreateKey(kHardwareInfoKey) : platform::kRegGeneralFailure;
    // The text with its own length: no bytes of an unused buffer behind it.
    if (rc == platform::kRegOk) rc = store->SetString(kHardwareInfoKey, kHardwareInfoValue, id);
    TW_LOG(LOG_ALWAYS_40, 4, "[skarrow-main]GetHardwareInfo %s (%d)", id.c_str(), static_cast<int>(rc));
    return 0;
}

int InstallChecker::RestartLunther() {
    const std::string sc = m_options.programDir + "/" + kServiceControlProgram;
    if (!LaunchAndWait({sc, "stop", kLuntherService}, "[RestartLunther]")) return 1;
    Pause(m_options.timing.restartPauseMs);
    if (!LaunchAndWait({sc, "start", kLuntherService}, "[RestartLunther]")) return 2;
    return 0;
}

int InstallChecker::Run(const std::vector<std::string>& args) {
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[skarrow-main] enter, %zu arguments", args.size());
    int rc = -1;
    if (args.size() == 1) {
        const std::string& sw = args[0];
        if (sw == "CheckInstall")
            rc = CheckInstall();
        else if (sw == "CheckUnInstall")
            rc = CheckUnInstall();
        else if (sw == "CheckPreInstall")
            rc = CheckPreInstall();
        else if (sw == "CheckPreUninstall")
            rc = CheckPreUninstall();
        else if (sw == "GetHardwareInfo")
            rc = GetHardwareInfo();
        else if (sw == "RestartLunther")
            rc = RestartLunther();
    }
    if (rc < 0) rc = EnsureService();
    TW_LOG(LOG_ALWAYS_40, 4, "[skarrow-main] %s: exit code %d", args.size() == 1 ? args[0].c_str() : "-", rc);
    return rc;
}

}  // namespace skarrow
