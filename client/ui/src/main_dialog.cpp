#include "platform/client_settings.h"
#include "vorn/main_dialog.h"

#include <QApplication>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindowStateChangeEvent>

#include "dailylog/shared_daily_log.h"
#include "platform/clock_wait.h"
#include "platform/process.h"
#include "tamberk/ssl_certificate_manager.h"
#include "vorn/connector_factory.h"
#include "vorn/dialog_threads.h"
#include "vorn/instance_link.h"
#include "vorn/sleep_watcher.h"
#include "vorn/ui_bridge.h"

namespace vorn {

namespace {

constexpr std::size_t kTextBufferMax = 511;  // the display and pop-up texts keep 512 bytes with the zero
constexpr const char* kLogonEventName = "QelClientLogon";
constexpr const char* kHardIdQuestion =
    "您的账号需要向管理员提交硬件信息，获得授权后才能登陆，是否立即提交申请?";

// Only the first dialog of the process may log on by itself with a stored choice.
std::atomic<bool> g_firstAutoLogon{true};

std::string Cut(const std::string& text, std::size_t max) {
    if (text.size() <= max) return text;
    std::size_t cut = max;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return text.substr(0, cut);
}

const char* StateName(int state) {
    switch (state) {
        case UPDATE_STATUS_ONLINE: return "online";
        case UPDATE_STATUS_OFFLINE: return "offline";
        case UPDATE_STATUS_CAN_CANCEL: return "logging on";
        case UPDATE_STATUS_CANNOT_CANCEL: return "logging on (past cancelling)";
    }
    return "unknown";
}

}  // namespace

std::string Unscramble(const std::string& scrambled) {
    if (scrambled.empty()) return {};
    std::vector<char> buf(scrambled.begin(), scrambled.end());
    buf.push_back('\0');
    TwSslCertificateManager::Decrypt(buf.data());
    return std::string(buf.data());
}

std::string Scramble(const std::string& plain) {
    char* s = TwSslCertificateManager::Encrypt(plain.c_str());
    if (!s) return {};
    std::string out(s);
    delete[] s;
    return out;
}

TwLogonVpn::TwLogonVpn(DialogDeps deps, QWidget* parent) : QDialog(parent), m_deps(std::move(deps)) {
    m_Version = m_deps.table->version;
    SetupWidgets();
}

TwLogonVpn::~TwLogonVpn() {
    // No engine thread reaches this dialog any more; a prompt still waiting gets its answer.
    if (m_deps.bridge) m_deps.bridge->Detach();
    m_quitting = true;
    if (m_watchdog) m_watchdog->Terminate();
    if (m_monitor) m_monitor->Stop();
    m_sleep.reset();
    m_link.reset();
    if (m_worker) {
        if (!m_worker->Ended()) {
            m_worker->Exit();
            for (DWORD i = 0; i < m_deps.timing.quitWorkerPolls && !m_worker->Ended(); ++i)
                platform::SleepOn(*m_deps.clock, m_deps.timing.quitWorkerPollMs);
        }
        if (!m_worker->Ended()) {
            // The worker is still inside the engine: nothing may be freed under it. It was asked to
            // end and has had its time; the process ends here without waiting longer.
            TW_LOG(LOG_CLIENT_LOGIN, 1, "[~TwLogonVpn] the worker did not end in time, the process ends");
            if (m_initialised) m_deps.store->SetDword(kClientKey, platform::client_settings::kMainWindow, 0);
            std::_Exit(0);
        }
        // The connector's threads may still ask for a relogon or a logoff; none reaches the
        // worker once it is gone.
        DetachWorker(*m_deps.connector);
        m_worker->Join();
        m_worker.reset();
    }
    if (m_initialised) m_deps.store->SetDword(kClientKey, platform::client_settings::kMainWindow, 0);
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[~TwLogonVpn] return");
}

void TwLogonVpn::SetLogonMode(const std::string& user, const std::string& scrambledPassword) {
    m_logonMode = true;
    m_deps.logonPage->SetUserName(user);
    m_deps.logonPage->SetPassword(scrambledPassword);  // unscrambled by InitDialog
}

void TwLogonVpn::SetWebLogon(const std::string& address, const std::string& port, const std::string& session,
                             const std::string& user, const std::string& version) {
    m_webLogon = true;
    m_gatewayAddress = address;
    m_gatewayPort = port;
    m_sessionId = session;
    m_gatewayUser = user;
    m_gatewayVersion = version;
}

void TwLogonVpn::LeaveWebLogonMode() {
    m_webLogon = false;
    if (m_worker) m_worker->SetWebLogonMode(false);
}

std::string TwLogonVpn::T(int id) const { return m_deps.texts->Text(id); }

void TwLogonVpn::Report(const std::string& line) {
    if (m_deps.report) m_deps.report(line);
}

void TwLogonVpn::SetupWidgets() {
    const UiTextTable& table = *m_deps.table;
    setWindowTitle(QString::fromStdString(table.appTitle + " " + table.version));
    setWindowIcon(QIcon());
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 8);

    m_banner = new QLabel(this);
    m_banner->setObjectName("banner");
    QPixmap banner(QString::fromStdString(table.installPath + "/" + table.logonBitmap));
    if (banner.isNull()) {
        // No picture installed: a plain banner with the title.
        banner = QPixmap(420, 90);
        QPainter p(&banner);
        QLinearGradient g(0, 0, 420, 90);
        g.setColorAt(0, QColor(0x12, 0x3e, 0x7a));
        g.setColorAt(1, QColor(0x2f, 0x7f, 0xc1));
        p.fillRect(banner.rect(), g);
        p.setPen(Qt::white);
        QFont f = p.font();
        f.setPointSize(15);
        f.setBold(true);
        p.setFont(f);
        p.drawText(banner.rect().adjusted(16, 0, 0, 0), Qt::AlignVCenter | Qt::AlignLeft,
                   QString::fromStdString(table.appTitle));
    }
    m_banner->setPixmap(banner);
    m_banner->setScaledContents(true);
    m_banner->setFixedHeight(90);
    layout->addWidget(m_banner);

    m_statusLabel = new QLabel(this);
    m_statusLabel->setObjectName("status");
    m_statusLabel->setWordWrap(true);
    m_statusLabel->setContentsMargins(12, 2, 12, 2);
    m_statusLabel->hide();
    layout->addWidget(m_statusLabel);

    m_tabs = new QTabWidget(this);
    m_tabs->setObjectName("tabs");
    layout->addWidget(m_tabs, 1);

    auto* buttons = new QHBoxLayout();
    buttons->addStretch(1);
    m_actionButton = new QPushButton(this);
    m_actionButton->setObjectName("action");
    m_actionButton->setDefault(true);
    m_actionButton->setMinimumWidth(110);
    buttons->addWidget(m_actionButton);
    buttons->addStretch(1);
    layout->addLayout(buttons);
    connect(m_actionButton, &QPushButton::clicked, this, [this] { OnOK(); });

    m_timer0 = new QTimer(this);
    connect(m_timer0, &QTimer::timeout, this, [this] { OnTimer(); });
    m_trayTimer = new QTimer(this);
    connect(m_trayTimer, &QTimer::timeout, this, [this] {
        ++m_trayTicks;
        TrayMessage(1, T(121), (m_trayTicks & 1) ? kIconOnline : kIconOffline, "");
    });
    m_quitWait = new QTimer(this);
    resize(440, 420);
}

// The user name, password and auto logon the dialog starts with: the command line's, else the
// remembered ones.
void TwLogonVpn::LoadCredentials() {
    platform::SettingsStore& store = *m_deps.store;
    LogonPageView& page = *m_deps.logonPage;
    if (m_logonMode) {
        page.SetPassword(Unscramble(page.Password()));
        m_userName = page.UserName();
        m_password = page.Password();
    }
    if (!m_logonMode && !m_webLogon) {
        std::string value;
        m_userName =
            store.GetString(kClientKey, platform::client_settings::kQelUsername, &value) == platform::kRegOk
                ? value
                : "";
        DWORD rem = 0;
        if (store.GetDword(kClientKey, platform::client_settings::kRemID, &rem) == platform::kRegOk &&
            rem != 0) {
            m_rememberPassword = true;
            if (store.GetString(kClientKey, platform::client_settings::kQelPassword, &value) ==
                platform::kRegOk) {
                m_password = Unscramble(value);
            } else {
                m_userName.clear();
                m_password.clear();
            }
        }
    }
    DWORD autoLogon = 0;
    if (store.GetDword(kClientKey, platform::client_settings::kAutoLogon, &autoLogon) == platform::kRegOk &&
        autoLogon != 0) {
        m_autoLogon = true;
    }
    if (g_firstAutoLogon.exchange(false)) {
        if (m_autoLogon && (!m_rememberPassword || m_userName.empty())) m_autoLogon = false;
        if (!m_autoLogon) m_password.clear();
    }
}

bool TwLogonVpn::InitDialog() {
    platform::SettingsStore& store = *m_deps.store;
    const UiTextTable& table = *m_deps.table;
    if (store.OpenKey(kClientKey) != platform::kRegOk) {
        m_deps.prompter->Message(T(110), table.MakeErrorCaption(), BoxIcon::kError);
        return false;
    }
    m_statusLabel->hide();
    m_logonEvent = platform::NamedEvent::Create(kLogonEventName, true, false);
    if (!m_logonEvent) {
        m_deps.prompter->Message(T(111), table.MakeErrorCaption(), BoxIcon::kError);
        return false;
    }

    m_deps.bridge->Attach(this);
    m_worker = std::make_unique<engine::TwWorkerThread>(*m_deps.connector, *m_deps.bridge,
                                                        m_deps.engineTiming, *m_deps.clock);
    AttachWorker(*m_deps.connector, *m_worker);
    if (!m_worker->InitializeWorkerThread())
        TW_LOG(LOG_CLIENT_LOGIN, 1, "[OnInitDialog] the worker did not start");

    TrayMessage(0, table.appTitle, kIconOffline, "");
    setWindowTitle(QString::fromStdString(table.appTitle + " " + m_Version));

    m_monitor = std::make_unique<MonitorThread>([this] { return m_worker->LogonRunning(); },
                                                [this] { CutLongLogon(); }, m_deps.timing, *m_deps.clock);
    m_monitor->Start();

    LoadCredentials();

    m_timer0->start(static_cast<int>(m_deps.timing.hardwareKeyTimerMs));

    m_watchdog = std::make_unique<WatchdogThread>(
        kStopClientEvent, [this] { PostDialogMessage(kMsgWebQuit); }, m_deps.timing);
    m_watchdog->Start();

    // The pages.
    if (QWidget* w = m_deps.logonPage->Widget()) {
        m_tabs->addTab(w, QString::fromUtf8(table.chineseUi ? "  账号  " : "Authentication"));
    }
    if (QWidget* w = m_deps.proxyPage->Widget()) {
        m_tabs->addTab(w, QString::fromUtf8(table.chineseUi ? "高级设置" : "Advanced settings"));
    }
    ShowPage(0);

    // A second start finds us through MainWindow and our socket.
    m_link = std::make_unique<InstanceServer>(
        [this](const LinkRequest& r) { return HandleLink(r.kind, r.data, r.bytes); });
    if (!m_link->Listen())
        TW_LOG(LOG_CLIENT_LOGIN, 1, "[OnInitDialog] a second client cannot reach this one");
    store.SetDword(kClientKey, platform::client_settings::kMainWindow, platform::CurrentProcessId());
    m_initialised = true;

    TW_LOG(LOG_CLIENT_LOGIN, 4, "[OnInitDialog] %s: %d, %s: %d", kNetworkService,
           m_deps.services->Status(kNetworkService), kDriverService, m_deps.services->Status(kDriverService));

    unsigned level1 = 4, level2 = 4;
    SharedDailyLog::Instance().ReadCategoryLevel(LOG_CLIENT_LOGIN, &level1);
    SharedDailyLog::Instance().ReadCategoryLevel(LOG_CLIENT_DATA, &level2);
    m_detailedLog = level1 > 3 && level2 > 3;

    if (m_deps.watchSleep) m_sleep = std::make_unique<SleepWatcher>(*this, m_deps.timing);

    RefreshFor(UPDATE_STATUS_OFFLINE);
    if (!m_apiMode && !m_webLogon) ShowWindowNormal();
    if (m_autoLogon || m_logonMode || m_webLogon) StartOneShotLogon();
    QTimer::singleShot(0, this, [this] { OnCheckHardwareKey(); });
    Report(std::string("state: ") + StateName(UPDATE_STATUS_OFFLINE));
    return true;
}

void TwLogonVpn::StartOneShotLogon() {
    // The logon starts from the event loop, once the window is up.
    QTimer::singleShot(0, this, [this] { OnOK(); });
}

void TwLogonVpn::ShowPage(int index) {
    if (index < m_tabs->count()) m_tabs->setCurrentIndex(index);
}

void TwLogonVpn::CentreWindow() {
    if (QScreen* screen = QApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - rect().center());
    }
}

void TwLogonVpn::ShowWindowNormal() {
    if (m_apiMode) return;
    showNormal();
    CentreWindow();
    raise();
    activateWindow();
}

void TwLogonVpn::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (m_apiMode) QTimer::singleShot(0, this, [this] { hide(); });
}

void TwLogonVpn::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    // Minimised, the client lives on in the tray.
    if (event->type() == QEvent::WindowStateChange && isMinimized())
        QTimer::singleShot(0, this, [this] { hide(); });
}

bool TwLogonVpn::event(QEvent* event) { return QDialog::event(event); }

void TwLogonVpn::reject() { OnCancel(); }

void TwLogonVpn::EngineStatus(int code) {
    if (code >= UPDATE_STATUS_ONLINE && code <= UPDATE_STATUS_CANNOT_CANCEL) m_Status = code;
}

void TwLogonVpn::CloseChildWindows() {
    for (int id : {kTitlePreferences, kTitleStatus, kTitleChangePassword}) CloseTopLevelByTitle(T(id));
}

void TwLogonVpn::HandleCallback(int code, const std::string& text) {
    switch (code) {
        case engine::UPDATE_STATUS_ONLINE:
        case engine::UPDATE_STATUS_OFFLINE:
        case engine::UPDATE_STATUS_CAN_CANCEL:
        case engine::UPDATE_STATUS_CANNOT_CANCEL:
            if (code != engine::UPDATE_STATUS_ONLINE) CloseChildWindows();
            if (code <= engine::UPDATE_STATUS_OFFLINE) {
                StopTrayAnimation();
            } else {
                StartTrayAnimation();
            }
            Report(std::string("state: ") + StateName(code));
            RefreshFor(code);
            break;
        case engine::UI_CODE_PROGRESS_TEXT:
            m_displayText = Cut(text, kTextBufferMax);
            m_statusLabel->setText(QString::fromStdString(m_displayText));
            m_statusLabel->show();
            Report("status: " + m_displayText);
            break;
        case engine::UI_CODE_MESSAGE:
            m_popText = Cut(text, kTextBufferMax);
            Report("message: " + m_popText);
            m_deps.prompter->Message(m_popText, m_deps.table->MakeInfoCaption(), BoxIcon::kError);
            break;
        case engine::UI_CODE_ASK_REGISTER_HARDWARE_ID:
            m_popText = kHardIdQuestion;
            if (m_deps.prompter->AskYesNo(m_popText, m_deps.table->MakeInfoCaption(), BoxIcon::kQuestion)) {
                m_worker->Logon(m_userName, m_password, 1, 0);
            }
            break;
        case engine::UI_CODE_NEED_PASSWORD:
            if (m_deps.runChildDialog) m_deps.runChildDialog(*this, kMsgInputPassword);
            break;
        case engine::UI_CODE_SWITCH_TO_CLIENT_LOGON:
            m_webLogon = false;
            m_worker->SetWebLogonMode(false);
            break;
        case engine::UI_CODE_CLEAN_CACHE: RunCleanCachePolicy(); break;
        default: break;
    }
}

void TwLogonVpn::StartTrayAnimation() {
    if (!m_trayTimer->isActive()) m_trayTimer->start(static_cast<int>(m_deps.timing.trayAnimationMs));
}

void TwLogonVpn::StopTrayAnimation() { m_trayTimer->stop(); }

void TwLogonVpn::RefreshControls() { RefreshFor(m_Status.load()); }

void TwLogonVpn::RefreshFor(int state) {
    LogonPageView& page = *m_deps.logonPage;
    ProxyPageView& proxy = *m_deps.proxyPage;
    switch (state) {
        case UPDATE_STATUS_ONLINE:
            m_actionButton->setText(QString::fromStdString(T(116)));
            m_actionButton->setEnabled(true);
            page.SetForgotLinkVisible(false);
            // The last progress text ("configuring the virtual adapter") is over once online.
            m_displayText.clear();
            m_statusLabel->clear();
            m_statusLabel->hide();
            page.SetFieldsEnabled(false);
            proxy.SetFieldsEnabled(false);
            page.UpdateIpHistoryList();
            page.SaveIpHistoryFile();
            SaveAutoLogonChoice();
            TrayMessage(1, T(119), kIconOnline, "");
            break;
        case UPDATE_STATUS_OFFLINE:
            m_actionButton->setText(QString::fromStdString(T(115)));
            m_actionButton->setEnabled(true);
            page.SetForgotLinkVisible(true);
            m_displayText.clear();
            m_statusLabel->clear();
            m_statusLabel->hide();
            page.SetFieldsEnabled(true);
            if (!proxy.UseProxy()) proxy.SetUseProxyAuth(false);
            proxy.SetFieldsEnabled(true);
            TrayMessage(1, T(120), kIconOffline, "");
            break;
        case UPDATE_STATUS_CAN_CANCEL:
            m_actionButton->setText(QString::fromStdString(T(247)));
            m_actionButton->setEnabled(true);
            page.SetForgotLinkVisible(false);
            page.SetFieldsEnabled(false);
            proxy.SetFieldsEnabled(false);
            TrayMessage(1, T(122), kIconOffline, "");
            break;
        case UPDATE_STATUS_CANNOT_CANCEL:
            m_actionButton->setEnabled(false);
            page.SetForgotLinkVisible(false);
            page.SetFieldsEnabled(false);
            proxy.SetFieldsEnabled(false);
            hide();
            TrayMessage(1, T(123), kIconOffline, T(122));
            break;
        default: break;
    }
}

void TwLogonVpn::SaveAutoLogonChoice() {
    platform::SettingsStore& store = *m_deps.store;
    LogonPageView& page = *m_deps.logonPage;
    if (page.AutoLogon()) {
        store.SetDword(kClientKey, platform::client_settings::kAutoLogon, 1);
        store.SetString(kClientKey, platform::client_settings::kQelUsername, page.UserName());
        store.SetString(kClientKey, platform::client_settings::kQelPassword, Scramble(page.Password()));
    } else {
        store.SetDword(kClientKey, platform::client_settings::kAutoLogon, 0);
    }
}

void TwLogonVpn::PostDialogMessage(int message) {
    QMetaObject::invokeMethod(
        this, [this, message] { HandleDialogMessage(message); }, Qt::QueuedConnection);
}

void TwLogonVpn::HandleDialogMessage(int message) {
    switch (message) {
        case kMsgQuit: OnQuit(); break;
        case kMsgAutoLogon: OnAutoLogon(); break;
        case kMsgWebQuit: OnWebQuit(); break;
        case kMsgRefreshStatus:
            m_statusLabel->setText(QString::fromStdString(m_displayText));
            m_statusLabel->show();
            break;
        default: TW_LOG(LOG_CLIENT_LOGIN, 2, "[TwLogonVpn] message %d ignored", message); break;
    }
}

int TwLogonVpn::HandleLink(std::uint32_t kind, std::uint32_t word, const std::string& bytes) {
    switch (kind) {
        case kLinkCopyData: return OnReceiveData(word, bytes);
        case kLinkShow: ShowWindowNormal(); return 0;
        case kLinkPost:
            // Only the messages that make the dialog's interface; the others carry our own state.
            if (word == kMsgQuit || word == kMsgAutoLogon || word == kMsgWebQuit) {
                PostDialogMessage(static_cast<int>(word));
                return 0;
            }
            return -1;
        default: return -1;
    }
}

void TwLogonVpn::SetStopEvent() {
    auto ev = platform::NamedEvent::Create(kStopClientEvent, true, false);
    if (ev) ev->Set();
}

int TwLogonVpn::OnReceiveData(std::uint32_t dwData, const std::string& bytes) {
    if (bytes.size() >= 32) {
        TW_LOG(LOG_CLIENT_LOGIN, 2, "[OnReceiveData] Invalid Data Len:%d", static_cast<int>(bytes.size()));
        return 0;
    }
    // The text is taken with its length: it need not end with a zero.
    std::string text;
    for (char c : bytes) text.push_back(c >= 0x20 && c < 0x7f ? c : '.');
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[OnReceiveData] %s, %u", text.c_str(), dwData);
    if (dwData == 0) {
        SetStopEvent();
    } else if (dwData == 1) {
        if (m_webLogon) {
            SetStopEvent();
        } else {
            if (m_Status == UPDATE_STATUS_ONLINE) m_Status = UPDATE_STATUS_CANNOT_CANCEL;
            CloseChildWindows();
            m_worker->SetWebLogonMode(false);
            RequestLogoff();
        }
    }
    return 0;
}

void TwLogonVpn::RequestLogoff() {
    m_webLogon = false;
    if (m_worker && m_worker->Logoff()) {
        m_hardwareKeyLogon = false;
    } else {
        m_deps.prompter->Message(T(124), m_deps.table->MakeInfoCaption(), BoxIcon::kInformation);
    }
}

int TwLogonVpn::OnPowerBroadcast(int event) {
    if (event == PBT_APMSUSPEND) {
        m_wasOnlineAtSuspend = m_Status.load();
        if (m_Status == UPDATE_STATUS_ONLINE) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[OnPowerBroadcast] PBT_APMSUSPEND, force logoff");
            m_savedSessionId = m_deps.connector->Session().sessionId;
            RequestLogoff();
        }
    } else if (event == PBT_APMRESUMESUSPEND || event == PBT_APMRESUMEAUTOMATIC) {
        if (m_wasOnlineAtSuspend == UPDATE_STATUS_ONLINE) {
            m_wasOnlineAtSuspend = 1;
            // A web logon has no password: the connector takes the session back from the settings.
            if (m_password.empty())
                m_deps.store->SetDword(kClientKey, platform::client_settings::kSessionId, m_savedSessionId);
            m_worker->Relogon();
        }
    } else {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[OnPowerBroadcast] event %d", event);
    }
    return 0;
}

void TwLogonVpn::OnTimer() {
    OnCheckHardwareKey();
    if (!m_delayedQuit) return;
    const bool overdue = m_deps.clock->TickMs() - m_delayedQuitSince > m_deps.timing.quitLogoffLimitMs;
    if (m_Status == UPDATE_STATUS_OFFLINE || overdue) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[OnTimer] delayed quit%s",
               overdue ? " (the logoff did not end in time)" : "");
        OnQuit();
    }
}

void TwLogonVpn::OnCancel() {
    if (m_quitQuestion) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[OnCancel] the quit question is showing");
        return;
    }
    OnQelQuit();
}

void TwLogonVpn::OnQelQuit() {
    m_quitQuestion = true;
    const bool offline = m_Status == UPDATE_STATUS_OFFLINE;
    const bool yes = m_deps.prompter->AskYesNo(T(offline ? 126 : 125), m_deps.table->MakeInfoCaption(),
                                               BoxIcon::kQuestion);
    m_quitQuestion = false;
    if (!yes) return;
    if (!offline) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[OnQelQuit] log off, then quit");
        m_delayedQuit = true;
        m_delayedQuitSince = m_deps.clock->TickMs();
        if (m_CancelLogonEvent) m_CancelLogonEvent->Set();
        // A logon still running is cut short; the logoff then finds it ended.
        m_worker->Cancel();
        m_worker->Logoff();
        m_timer0->start(static_cast<int>(m_deps.timing.delayedQuitTimerMs));
    } else {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[OnQelQuit] quit");
        m_worker->Cancel();
        OnQuit();
    }
}

void TwLogonVpn::OnWebQuit() {
    m_delayedQuit = true;
    m_delayedQuitSince = m_deps.clock->TickMs();
    if (m_CancelLogonEvent) m_CancelLogonEvent->Set();
    m_worker->Logoff();
    m_timer0->start(static_cast<int>(m_deps.timing.delayedQuitTimerMs));
}

void TwLogonVpn::OnQuit() {
    if (m_quitStarted) return;
    m_quitStarted = true;
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[OnQuit] enter");
    m_timer0->stop();
    m_worker->Exit();
    m_hardwareKeyLogon = false;
    // The worker logs off and ends; the event loop keeps running meanwhile, so that its last
    // callbacks are still shown.
    auto polls = std::make_shared<DWORD>(0);
    connect(m_quitWait, &QTimer::timeout, this, [this, polls] {
        if (!m_worker->Ended() && ++*polls < m_deps.timing.quitWorkerPolls) return;
        m_quitWait->stop();
        FinishQuit();
    });
    m_quitWait->start(static_cast<int>(m_deps.timing.quitWorkerPollMs));
}

void TwLogonVpn::FinishQuit() {
    m_quitting = true;
    if (m_monitor) m_monitor->Stop();
    TrayMessage(2, "", 0, "");
    hide();
    Report("quit");
    QCoreApplication::quit();
}

void TwLogonVpn::CutLongLogon() {
    // Cooperatively: the logon's waits are cut, its socket closed, and it gets a bounded time to
    // return. A logon that does not return in time is left to end by itself; we go on.
    m_worker->Cancel();
    m_deps.connector->Disconnect();
    {
        const platform::ClockDeadline deadline(*m_deps.clock, m_deps.timing.logonCutSettleMs);
        while (m_worker->LogonRunning() && !deadline.Expired() && !m_quitting)
            platform::SleepOn(*m_deps.clock, 20);
        if (m_worker->LogonRunning())
            TW_LOG(LOG_CLIENT_LOGIN, 1, "[MonitorThread] the logon did not return in time");
    }
    m_Status = UPDATE_STATUS_OFFLINE;
    m_deps.connector->SetRelogonFinished(true);
    QMetaObject::invokeMethod(
        this,
        [this] {
            StopTrayAnimation();
            Report("state: offline");
            RefreshFor(UPDATE_STATUS_OFFLINE);
        },
        Qt::QueuedConnection);
    if (m_quitting) return;
    m_deps.bridge->MessageBox(T(318), m_deps.table->MakeErrorCaption(), engine::UiBox::kError);
    if (!m_quitting) SetStopEvent();
}

void TwLogonVpn::RunCleanCachePolicy() {
    std::string policy;
    if (m_deps.store->GetString(kClientKey, platform::client_settings::kCleanCachePolicy, &policy) !=
        platform::kRegOk)
        return;
    policy = policy.substr(0, 256);
    if (policy.compare(0, 3, "off") == 0) return;
    if (policy.substr(0, policy.find(',')) != "1") return;
    if (!m_deps.launcher->StartHidden("Brevik", {}))
        TW_LOG(LOG_CLIENT_LOGIN, 1, "[RunCleanCachePolicy] Brevik did not start");
}

}  // namespace vorn
