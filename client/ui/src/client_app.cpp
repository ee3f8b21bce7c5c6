#include "platform/client_settings.h"
#include "vorn/client_app.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>

#include "dailylog/shared_daily_log.h"
#include "platform/clock_wait.h"
#include "platform/process.h"
#include "vorn/client_dialogs.h"
#include "vorn/instance_link.h"
#include "vorn/logon_update_check.h"
#include "vorn/main_dialog.h"
#include "vorn/qt_services.h"
#include "vorn/ui_bridge.h"
#include "vorn/web_logon_gateway.h"

namespace vorn {

namespace {

constexpr int kContinue = -1;
constexpr std::size_t kPasswordLineMax = 512;
constexpr DWORD kStdinWaitMs = 5000;

// Who holds a named object the start-up meets: nobody (any more), the user or root, or somebody
// the client does not trust. Named objects are open to every local user, so a holder is not
// necessarily one of the suite's programs.
enum class Holder { kNone, kTrusted, kOther };

Holder HolderOf(const char* name, platform::NamedObjectHolder* holder) {
    if (!platform::FindNamedObjectHolder(name, holder)) return Holder::kNone;
    const bool trusted = platform::HeldByUserOrRoot(*holder);
    TW_LOG(LOG_CLIENT_LOGIN, 1, "[InitInstance] %s is held by pid %ld (%s) of user %s", name, holder->pid,
           holder->program.c_str(), holder->user.c_str());
    return trusted ? Holder::kTrusted : Holder::kOther;
}

// What holds `name`, what an administrator can do, and `advice`: what the user can do.
std::string HeldText(bool chineseUi, const char* name, const platform::NamedObjectHolder& h,
                     const std::string& advice) {
    const std::string file = platform::NamedObjectFile(name);
    std::string who;
    if (h.pid == 0) {
        who = chineseUi ? std::string("“") + name + "”被一个系统未给出的程序占用。"
                        : std::string("\"") + name + "\" is held by a program that the system does not name.";
    } else if (chineseUi) {
        who = std::string("“") + name + "”被用户 " + (h.user.empty() ? "?" : h.user) + " 的进程 " +
              std::to_string(h.pid) + "（" + (h.program.empty() ? "?" : h.program) +
              "）占用，它不是您的程序。";
    } else {
        who = std::string("\"") + name + "\" is held by process " + std::to_string(h.pid) + " (" +
              (h.program.empty() ? "?" : h.program) + ") of user " + (h.user.empty() ? "?" : h.user) +
              ", not by a program of yours.";
    }
    const std::string admin = chineseUi
                                  ? "管理员可结束占用文件 " + file + " 的进程。"
                                  : "An administrator can end the process that holds the file " + file + ".";
    return who + "\n" + admin + "\n\n" + advice;
}

}  // namespace

int CSarvelApp::RefuseHeldRunningMark(const platform::NamedObjectHolder& holder) {
    const bool cn = m_env.chineseUi;
    const std::string advice = cn ? "请该用户退出其客户端，然后再启动客户端。"
                                  : "Ask that user to quit their client, then start the client again.";
    m_env.prompter->Message(m_texts->Text(111) + "\n\n" + HeldText(cn, kRunningMutex, holder, advice),
                            m_table.MakeErrorCaption(), BoxIcon::kError);
    return 0;
}

CSarvelApp::CSarvelApp(AppEnvironment env) : m_env(std::move(env)) {}

CSarvelApp::~CSarvelApp() {
    m_running.reset();
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[~CSarvelApp] return");
}

int CSarvelApp::Fail(int textId) {
    m_env.prompter->Message(m_texts->Text(textId), m_table.MakeErrorCaption(), BoxIcon::kError);
    return 0;
}

int CSarvelApp::SendLogoffMsg(std::uint32_t dwData) {
    platform::SettingsStore& store = *m_env.store;
    if (store.OpenKey(kClientKey) != platform::kRegOk) {
        TW_LOG(LOG_CLIENT_LOGIN, 1, "[SendLogoffMsg] the settings key cannot be opened");
        return 0;
    }
    DWORD window = 0;
    if (store.GetDword(kClientKey, platform::client_settings::kMainWindow, &window) != platform::kRegOk) {
        TW_LOG(LOG_CLIENT_LOGIN, 1, "[SendLogoffMsg] no MainWindow");
        return 0;
    }
    if (window == 0) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[SendLogoffMsg] no client window");
        return 1;
    }
    LinkRequest request;
    request.kind = kLinkCopyData;
    request.data = dwData;
    request.bytes = "needlogoff";
    std::int32_t reply = -1;
    const SendResult r = SendToRunningClient(window, request, m_env.timing.handoverReplyMs, &reply);
    if (r != SendResult::kOk)
        TW_LOG(LOG_CLIENT_LOGIN, 1, "[SendLogoffMsg] the client was not reached (%d)", static_cast<int>(r));
    return r == SendResult::kOk && reply == 0 ? 1 : 0;
}

bool CSarvelApp::WaitForOldClient() {
    // Without a time limit, as a browser logon must take over once the old client is gone; but
    // not for a holder that is no client of this user's: that one need never let go.
    while (platform::NamedObjectExists(kRunningMutex)) {
        platform::NamedObjectHolder holder;
        if (HolderOf(kRunningMutex, &holder) == Holder::kOther) return RefuseHeldRunningMark(holder), false;
        platform::SleepOn(*m_env.clock, m_env.timing.handoverPollMs);
    }
    m_running = platform::NamedMutex::Create(kRunningMutex);
    if (!m_running) return Fail(111), false;
    if (m_running->AlreadyExisted()) {
        m_running.reset();
        return false;
    }
    return true;
}

std::string CSarvelApp::ReadStdinLine() {
    struct stat st {};
    if (::fstat(m_env.stdinFd, &st) != 0 || S_ISCHR(st.st_mode)) return {};  // a terminal sends nothing
    std::string line;
    const platform::ClockDeadline deadline(*m_env.clock, kStdinWaitMs);
    while (line.size() < kPasswordLineMax && line.find('\n') == std::string::npos) {
        pollfd p{m_env.stdinFd, POLLIN, 0};
        if (::poll(&p, 1, deadline.RemainingMs()) <= 0) break;
        char buf[128];
        const ssize_t n = ::read(m_env.stdinFd, buf, sizeof(buf));
        if (n <= 0) break;
        line.append(buf, static_cast<std::size_t>(n));
    }
    line = line.substr(0, line.find('\n'));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line.substr(0, kPasswordLineMax);
}

int CSarvelApp::Run() {
    const int early = InitInstance();
    if (early != kContinue) return early;
    const StartOptions options = ParseCommandLine(m_env.args);

    // The dialog and what it is built from; the bridge outlives the connector, both the dialog.
    UiBridge bridge(*m_texts);
    ConnectorPasswordTunnel passwords;
    std::unique_ptr<engine::ConnectorControl> connector =
        m_env.makeConnector(bridge, m_env.engineTiming, passwords);
    LogonUpdateCheck updateCheck(
        bridge, *m_texts, m_env.updateTiming,
        m_env.updateProgramDir.empty() ? platform::ProgramDir() : m_env.updateProgramDir, *m_env.clock);
    TwLogonVpn* dialogPtr = nullptr;
    QtTrayIcon tray(
        [&dialogPtr](bool doubleClick) {
            if (dialogPtr) {
                dialogPtr->OnTrayNotification(doubleClick ? TrayMouse::kLeftDoubleClick
                                                          : TrayMouse::kRightButtonUp);
            }
        },
        m_env.report);
    DialogDeps deps;
    deps.connector = connector.get();
    deps.bridge = &bridge;
    deps.texts = m_texts.get();
    deps.table = &m_table;
    deps.prompter = m_env.prompter;
    deps.tray = &tray;
    deps.launcher = m_env.launcher;
    deps.services = m_env.services;
    deps.store = m_env.store;
    ClientDialogs children(
        DialogContext{m_texts.get(), &m_table, m_env.prompter, m_env.launcher, m_env.store}, passwords);
    const auto ok = [&dialogPtr] {
        if (dialogPtr) dialogPtr->OnOK();
    };
    deps.logonPage = children.MakeLogonPage(ok);
    deps.proxyPage = children.MakeProxyPage(ok);
    deps.runChildDialog = [&children](TwLogonVpn& dialog, int command) { children.Run(dialog, command); };
    deps.timing = m_env.timing;
    deps.engineTiming = m_env.engineTiming;
    deps.clock = m_env.clock;
    deps.report = m_env.report;
    deps.updateCheck = [&updateCheck](TwLogonVpn& dialog) { return updateCheck.Check(dialog); };
    deps.watchSleep = m_env.watchSleep;
    int code = 0;
    {
        TwLogonVpn dialog(std::move(deps));
        dialogPtr = &dialog;
        if (options.api) dialog.SetApiMode();
        if (options.logonMode) {
            const std::string scrambled =
                options.passwordOnStdin ? ReadStdinLine() : options.logonScrambledPassword;
            dialog.SetLogonMode(options.logonUser, scrambled);
        } else if (options.browserLogon) {
            dialog.SetWebLogon(options.gatewayAddress, options.gatewayPort, options.sessionId,
                               options.gatewayUser, options.gatewayVersion);
        } else if (options.autoLogon) {
            for (DWORD i = 0; i < m_env.timing.autoLogonServicePolls; ++i) {
                if (m_env.services->Status(kNetworkService) == 0) break;
                platform::SleepOn(*m_env.clock, m_env.timing.autoLogonServicePollMs);
            }
            dialog.SetAutoLogonPreset();
        }
        // A stop request left by an earlier client must not end this one.
        if (auto stop = platform::NamedEvent::Open(kStopClientEvent)) stop->Reset();
        if (dialog.InitDialog()) {
            if (m_env.onDialog) m_env.onDialog(dialog);
            code = QApplication::exec();
        }
        dialogPtr = nullptr;
    }
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[InitInstance] return");
    return code == 0 ? 0 : code;
}

bool CSarvelApp::LoadLanguage() {
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[InitInstance] Chinese interface: %d", m_env.chineseUi ? 1 : 0);
    std::string error;
    m_texts =
        m_env.loadCatalogue ? m_env.loadCatalogue(m_env.chineseUi, &error) : BuiltInTexts(m_env.chineseUi);
    if (!m_texts) {
        TW_LOG(LOG_CLIENT_LOGIN, 1, "[InitInstance] the language catalogue did not load: %s", error.c_str());
        if (m_env.chineseUi) {
            m_env.prompter->Message("加载简体中文语言包失败，请重新安装客户端。", "MorvaneSSL-VPN客户端",
                                    BoxIcon::kError);
        } else {
            m_env.prompter->Message(
                "Unable to load language dll, please reinstall SSL-VPN Client and then try again.",
                "Morvane SSL-VPN Client", BoxIcon::kError);
        }
        return false;
    }
    return true;
}

int CSarvelApp::WaitForUpdate() {
    platform::NamedObjectHolder updater;
    switch (HolderOf(kUpdateMutex, &updater)) {
        case Holder::kNone: break;
        case Holder::kTrusted: return Fail(156);
        case Holder::kOther: {
            const bool cn = m_env.chineseUi;
            const std::string advice =
                cn ? "如果没有正在进行的客户端升级，您可以照常启动客户端。是否启动？"
                   : "If no update of the client runs, you can start the client anyway. "
                     "Start it?";
            if (!m_env.prompter->AskYesNo(
                    m_texts->Text(156) + "\n\n" + HeldText(cn, kUpdateMutex, updater, advice),
                    m_table.MakeInfoCaption(), BoxIcon::kWarning))
                return 0;
            break;
        }
    }
    return kContinue;
}

int CSarvelApp::TakeRunningMark(const StartOptions& options) {
    platform::SettingsStore& store = *m_env.store;
    m_running = platform::NamedMutex::Create(kRunningMutex);
    if (!m_running) {
        TW_LOG(LOG_CLIENT_LOGIN, 1, "[InitInstance] the running mutex cannot be made");
        return Fail(111);
    }
    if (m_running->AlreadyExisted()) {
        if (options.browserLogon) {
            if (SendLogoffMsg(0) == 0) return Fail(157);
            m_running.reset();
            if (!WaitForOldClient()) return 0;
        } else {
            DWORD window = 0;
            bool shown = false;
            if (store.GetDword(kClientKey, platform::client_settings::kMainWindow, &window) ==
                    platform::kRegOk &&
                window != 0 && !options.api) {
                LinkRequest show;
                show.kind = kLinkShow;
                std::int32_t reply = 0;
                shown = SendToRunningClient(window, show, m_env.timing.handoverReplyMs, &reply) ==
                        SendResult::kOk;
            }
            // No window of the user's own came up: a mark somebody else holds is told, never
            // ended on silently.
            platform::NamedObjectHolder holder;
            const bool foreign = !shown && HolderOf(kRunningMutex, &holder) == Holder::kOther;
            m_running.reset();
            return foreign ? RefuseHeldRunningMark(holder) : 0;
        }
    }
    return kContinue;
}

int CSarvelApp::InitInstance() {
    platform::SettingsStore& store = *m_env.store;
    // 1. The language.
    if (!LoadLanguage()) return 0;
    m_table = UiTextTable::Build(m_env.chineseUi, store);

    // 3. The crash report.
    if (m_env.installCrashReport) InstallCrashReport(m_table.installPath, m_env.chineseUi);

    // 4. The command line.
    const StartOptions options = ParseCommandLine(m_env.args);
    if (options.config) return 0;
    if (options.debug) TW_LOG(LOG_CLIENT_LOGIN, 4, "[InitInstance] -debug: output stays on the terminal");
    if (options.exit) {
        if (SendLogoffMsg(1) == 0) Fail(155);
        return 0;
    }
    // Before the running client is told to log off: the page may have named any gateway, and a
    // session that is online ends only when the user says so.
    if (options.browserLogon) {
        const std::string inUse =
            platform::NamedObjectExists(kRunningMutex) ? GatewayInUse(store) : std::string();
        if (!ConfirmWebLogonGateway(store, *m_env.prompter, m_table.MakeInfoCaption(), m_env.chineseUi,
                                    options.gatewayAddress, options.gatewayPort, inUse))
            return 0;
    }

    // 5. An update runs: the user's own or root's is waited for. The mark of somebody else is no
    // update of this user's to wait for; the user is told whose it is and may start anyway.
    if (const int early = WaitForUpdate(); early != kContinue) return early;

    // 6. and 7. One client only.
    if (const int early = TakeRunningMark(options); early != kContinue) return early;

    // The last run's crash, told now that this is the one client (the dying one could not).
    if (m_env.installCrashReport && !options.api) {
        const std::string report = TakeCrashReport(m_table.installPath);
        if (!report.empty()) {
            TW_LOG(LOG_CLIENT_LOGIN, 1, "[InitInstance] the last run crashed: %s", report.c_str());
            m_env.prompter->Message(CrashReportMessage(m_env.chineseUi, report),
                                    m_env.chineseUi ? "错误" : "ERROR", BoxIcon::kInformation);
        }
    }

    // 8. The program folder is the current folder.
    if (::chdir(platform::ProgramDir().c_str()) != 0)
        TW_LOG(LOG_CLIENT_LOGIN, 2, "[InitInstance] chdir failed");
    return kContinue;
}

}  // namespace vorn
