// CSarvelApp: the client's start-up. InitInstance chooses the language, installs the crash
// report, reads the command line, makes sure only one client runs (or hands the work over to the
// one that runs), and then runs the main dialog until it quits.
//
// The process-wide objects (the running mutex, the catalogue) belong to the application object
// and go with it. Everything here runs on the UI thread before any other thread of the client
// exists.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/connector_control.h"
#include "engine/engine_timing.h"
#include "engine/ui_sink.h"
#include "glimrow/client_update_check.h"
#include "platform/clock.h"
#include "platform/named_objects.h"
#include "platform/settings_store.h"
#include "vorn/command_line.h"
#include "vorn/connector_factory.h"
#include "vorn/text_source.h"
#include "vorn/ui_services.h"
#include "vorn/ui_timing.h"

namespace vorn {

constexpr const char* kRunningMutex = "Global\\MorvaneQelCltRunning";
constexpr const char* kUpdateMutex = "Global\\MorvaneQelCltUpdMutex";

class TwLogonVpn;
struct DialogDeps;

struct AppEnvironment {
    std::vector<std::string> args;
    bool chineseUi = false;
    // Loads the catalogue of the language; null (with the reason in *error) when it cannot.
    std::function<std::unique_ptr<TextSource>(bool chineseUi, std::string* error)> loadCatalogue;
    // The connector; it sends password changes and delivers their answers through the tunnel.
    std::function<std::unique_ptr<engine::ConnectorControl>(engine::UiSink&, const engine::EngineTiming&,
                                                            ConnectorPasswordTunnel&)>
        makeConnector;
    Prompter* prompter = nullptr;
    ServiceProbe* services = nullptr;
    Launcher* launcher = nullptr;
    std::shared_ptr<platform::SettingsStore> store;
    UiTiming timing;
    engine::EngineTiming engineTiming;
    ClientUpdateTiming updateTiming;  // the update check before a logon
    std::string updateProgramDir;     // "UpdateList.txt" and the update program; empty: ours
    const platform::Clock* clock = &platform::SystemClock();
    int stdinFd = 0;  // "-logon user": the scrambled password comes from here
    bool installCrashReport = true;
    bool watchSleep = true;
    std::function<void(const std::string&)> report;  // the headless client prints state changes
    // Called with the dialog once it runs (the client wires signals and the tray to it).
    std::function<void(TwLogonVpn&)> onDialog;
};

class CSarvelApp {
public:
    explicit CSarvelApp(AppEnvironment env);
    ~CSarvelApp();

    // Runs the whole client; the process's exit code.
    int Run();
    // The hand-over: 1 delivered (or no client window to deliver to), 0 failed.
    int SendLogoffMsg(std::uint32_t dwData);

    const UiTextTable& Table() const { return m_table; }

private:
    int InitInstance();
    // InitInstance's steps; each answers kContinue (-1) or the code to end with (false: 0).
    bool LoadLanguage();
    int WaitForUpdate();
    int TakeRunningMark(const StartOptions& options);
    int Fail(int textId);
    bool WaitForOldClient();
    // The running mark is held by somebody the client does not trust: says who and what to do; 0.
    int RefuseHeldRunningMark(const platform::NamedObjectHolder& holder);
    std::string ReadStdinLine();

    AppEnvironment m_env;
    std::unique_ptr<TextSource> m_texts;
    UiTextTable m_table;
    std::unique_ptr<platform::NamedMutex> m_running;
};

// The crash report: a fatal signal writes a report with the stack into <folder>/Dump (<folder>:
// the user's own place for a member, `installDir` for root), tells the
// user on the standard error, leaves a marker for the next start and ends the process.
void InstallCrashReport(const std::string& installDir, bool chineseUi);
// The next start: the path of the report of the user's last crash, its marker removed; empty when
// there was none.
std::string TakeCrashReport(const std::string& installDir);
// What the user is shown about it (caption: "ERROR", or "错误" in the Chinese interface).
std::string CrashReportMessage(bool chineseUi, const std::string& reportPath);

// The catalogue the client has built in (the ids the main dialog and the tray use).
std::unique_ptr<TextSource> BuiltInTexts(bool chineseUi);

}  // namespace vorn
