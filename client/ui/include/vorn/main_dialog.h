// TwLogonVpn: the client's main window. It holds the logon form (tab 0 the logon page, tab 1 the
// proxy page), drives the engine only through the worker's setters and learns its state only
// through the UI bridge's callbacks. It owns the tray icon, the monitor and watchdog threads, the
// quit paths and the answer to a second client.
//
// Threading: a widget is touched on the UI thread only. EngineStatus and PostDialogMessage may be
// called from any thread; the status and the flags the engine threads read are atomics. Every
// other call is for the UI thread.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <QDialog>

#include "engine/connector_control.h"
#include "engine/engine_timing.h"
#include "engine/worker_thread.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "platform/named_objects.h"
#include "platform/settings_store.h"
#include "vorn/page_views.h"
#include "vorn/text_source.h"
#include "vorn/ui_services.h"
#include "vorn/ui_timing.h"

class QLabel;
class QPushButton;
class QTabWidget;
class QTimer;

namespace vorn {

class UiBridge;
class InstanceServer;
class MonitorThread;
class WatchdogThread;
class SleepWatcher;

// The dialog's states (m_Status).
constexpr int UPDATE_STATUS_ONLINE = 0;
constexpr int UPDATE_STATUS_OFFLINE = 1;
constexpr int UPDATE_STATUS_CAN_CANCEL = 2;
constexpr int UPDATE_STATUS_CANNOT_CANCEL = 3;

// The messages of the dialog's interface (WM_USER + 1000 ...).
constexpr int kMsgTrayNotify = 2024;
constexpr int kMsgQuit = 2025;
constexpr int kMsgAutoLogon = 2026;
constexpr int kMsgRefreshStatus = 2027;
constexpr int kMsgPopMessage = 2028;
constexpr int kMsgRegHardIdQuery = 2029;
constexpr int kMsgInputPassword = 2030;
constexpr int kMsgWebQuit = 2031;

// Power events as the system reports them.
constexpr int PBT_APMSUSPEND = 4;
constexpr int PBT_APMRESUMESUSPEND = 7;
constexpr int PBT_APMRESUMEAUTOMATIC = 18;

// Window titles that close at a state change: preferences, status, change password.
constexpr int kTitlePreferences = 130;
constexpr int kTitleStatus = 135;
constexpr int kTitleChangePassword = 131;

constexpr const char* kStopClientEvent = "Global\\StopMorvaneVornClientEvent";
constexpr const char* kNetworkService = "Lunther";
constexpr const char* kDriverService = "QelMini";

enum class TrayMouse { kLeftDoubleClick, kRightButtonUp };

// The stored-password scrambling of the settings (the TLS library's algorithm and key).
std::string Scramble(const std::string& plain);
std::string Unscramble(const std::string& scrambled);

class TwLogonVpn;

// What the dialog is built from. References must outlive the dialog.
struct DialogDeps {
    engine::ConnectorControl* connector = nullptr;
    UiBridge* bridge = nullptr;
    const TextSource* texts = nullptr;
    const UiTextTable* table = nullptr;
    Prompter* prompter = nullptr;
    TrayIcon* tray = nullptr;
    Launcher* launcher = nullptr;
    ServiceProbe* services = nullptr;
    std::shared_ptr<platform::SettingsStore> store;
    std::unique_ptr<LogonPageView> logonPage;
    std::unique_ptr<ProxyPageView> proxyPage;
    UiTiming timing;
    engine::EngineTiming engineTiming;
    const platform::Clock* clock = &platform::SystemClock();
    // The update check before a logon: true lets the logon go on. Unset: always true.
    std::function<bool(TwLogonVpn&)> updateCheck;
    // The hardware logon device: true with user name and password when it answers. Unset: the
    // library named by `LogonHelper`.
    std::function<bool(std::string* user, std::string* password)> hardwareDevice;
    // Dialogs the tray opens (preferences, status, change password, about, password re-entry);
    // unset ones are not offered. Each runs modally on the UI thread.
    std::function<void(TwLogonVpn&, int command)> runChildDialog;
    // Gets every state change and display text as a line (the headless client prints them).
    std::function<void(const std::string&)> report;
    // Starts the sleep watcher (logind); off in tests.
    bool watchSleep = false;
};

class TwLogonVpn final : public QDialog {
public:
    explicit TwLogonVpn(DialogDeps deps, QWidget* parent = nullptr);
    ~TwLogonVpn() override;

    // The command line's modes, applied before InitDialog.
    void SetApiMode() { m_apiMode = true; }
    void SetLogonMode(const std::string& user, const std::string& scrambledPassword);
    void SetWebLogon(const std::string& address, const std::string& port, const std::string& session,
                     const std::string& user, const std::string& version);
    void SetAutoLogonPreset() { m_autoLogon = true; }

    // OnInitDialog: false when the client cannot run (the message was shown).
    bool InitDialog();

    int Status() const { return m_Status.load(); }
    bool InAction() const { return m_InAction.load(); }
    bool WebLogonMode() const { return m_webLogon.load(); }
    // Back to the client's own logon (after a refused required update).
    void LeaveWebLogonMode();
    bool Quitting() const { return m_quitting.load(); }
    bool DetailedLog() const { return m_detailedLog; }
    std::string DisplayText() const { return m_displayText; }
    const std::string& UserName() const { return m_userName; }
    std::string ServerAddr() const { return m_szServerAddr; }
    int ServerPort() const { return m_serverPort; }
    const std::string& Version() const { return m_Version; }
    engine::TwWorkerThread* Worker() { return m_worker.get(); }
    engine::ConnectorControl& Connector() { return *m_deps.connector; }
    LogonPageView& LogonPage() { return *m_deps.logonPage; }
    ProxyPageView& ProxyPage() { return *m_deps.proxyPage; }
    const TextSource& Texts() const { return *m_deps.texts; }
    const UiTextTable& Table() const { return *m_deps.table; }
    Prompter& Prompts() { return *m_deps.prompter; }
    platform::SettingsStore& Store() { return *m_deps.store; }
    const platform::Event* CancelLogonEvent() const { return m_CancelLogonEvent.get(); }
    QPushButton* ActionButton() { return m_actionButton; }
    QLabel* StatusLabel() { return m_statusLabel; }
    QTabWidget* Tabs() { return m_tabs; }
    bool QuitQuestionShowing() const { return m_quitQuestion; }
    bool DelayedQuit() const { return m_delayedQuit; }

    // Any thread: the state part of callback codes 0-3 (the rest is posted).
    void EngineStatus(int code);
    // UI thread: a callback code as it was posted by the bridge.
    void HandleCallback(int code, const std::string& text);
    // Any thread: one of the dialog's messages 2025-2031, handled later on the UI thread.
    void PostDialogMessage(int message);
    void HandleDialogMessage(int message);

    // The logon command (the action button, Enter, tray command 3).
    void OnOK();
    bool SSLClientSaveConfig();
    int CheckNetshSvc(const std::string& service);
    void OnCheckHardwareKey();

    void OnQelQuit();
    void OnCancel();
    void OnQuit();
    void OnWebQuit();
    void OnAutoLogon();
    void OnTimer();
    int OnReceiveData(std::uint32_t dwData, const std::string& bytes);
    int OnPowerBroadcast(int event);
    void RequestLogoff();
    void RefreshControls();

    // The update check before a logon: cancellable with its progress text while it runs, the
    // display text cleared after it.
    void BeginUpdateCheck();
    void EndUpdateCheck();
    // What the update program restarts the client with: "-logon user" (the scrambled password
    // then comes on its standard input) or the browser logon's arguments.
    std::vector<std::string> RestartArguments(std::string* scrambledPassword) const;

    // The tray (icon 200).
    void TrayMessage(int operation, const std::string& tip, int icon, const std::string& balloon);
    void OnTrayNotification(TrayMouse mouse);
    std::vector<MenuItem> BuildTrayMenu();
    void HandleMenu(int command, const std::string& itemText);
    void OpenResourcePage();

    // The 600 s cut, on the monitor thread: cancels the logon, waits a bounded time for it,
    // goes offline and asks the user; the client then quits.
    void CutLongLogon();

protected:
    void reject() override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool event(QEvent* event) override;

private:
    void SetupWidgets();
    void RefreshFor(int state);
    void SetStopEvent();
    int HandleLink(std::uint32_t kind, std::uint32_t word, const std::string& bytes);
    void ShowPage(int index);
    void Report(const std::string& line);
    std::string T(int id) const;
    void CloseChildWindows();
    void SetOffline();
    void SaveAutoLogonChoice();
    bool LogonWebMode();
    bool LogonClientMode();
    void LoadCredentials();
    bool SaveWebLogonConfig();
    bool SaveProxy();
    void FailOnPage(int tab, int messageId, BoxIcon icon, bool errorCaption);
    void ShowWindowNormal();
    void CentreWindow();
    void StartOneShotLogon();
    bool WaitForService(DWORD pollMs, DWORD polls);
    void RunCleanCachePolicy();
    void ToggleLogLevel();
    void FinishQuit();
    void StartTrayAnimation();
    void StopTrayAnimation();
    bool ReadMenuExtensions(std::vector<std::pair<int, std::string>>* items);

    DialogDeps m_deps;
    std::unique_ptr<engine::TwWorkerThread> m_worker;
    std::unique_ptr<MonitorThread> m_monitor;
    std::unique_ptr<WatchdogThread> m_watchdog;
    std::unique_ptr<SleepWatcher> m_sleep;
    std::unique_ptr<InstanceServer> m_link;
    std::unique_ptr<platform::NamedEvent> m_logonEvent;

    QLabel* m_banner = nullptr;
    QLabel* m_statusLabel = nullptr;
    QTabWidget* m_tabs = nullptr;
    QPushButton* m_actionButton = nullptr;
    QTimer* m_timer0 = nullptr;
    QTimer* m_trayTimer = nullptr;
    QTimer* m_quitWait = nullptr;
    unsigned m_trayTicks = 0;

    std::atomic<int> m_Status{UPDATE_STATUS_OFFLINE};
    std::atomic<bool> m_InAction{false};
    std::atomic<bool> m_webLogon{false};
    std::atomic<bool> m_quitting{false};
    bool m_apiMode = false, m_logonMode = false, m_autoLogon = false, m_rememberPassword = false;
    bool m_hardwareKeyLogon = false;
    bool m_quitQuestion = false, m_delayedQuit = false, m_detailedLog = false, m_initialised = false;
    bool m_quitStarted = false;
    std::uint64_t m_delayedQuitSince = 0;
    std::string m_userName, m_password;
    std::string m_gatewayAddress, m_gatewayPort, m_sessionId, m_gatewayUser, m_gatewayVersion;
    std::string m_Version, m_szServerAddr;
    int m_serverPort = 443;
    std::string m_displayText, m_popText;
    std::unique_ptr<platform::Event> m_CancelLogonEvent;
    // Power events: the state at suspend (0 online) and the session id kept for a web relogon.
    int m_wasOnlineAtSuspend = 1;
    DWORD m_savedSessionId = 0;
};

}  // namespace vorn
