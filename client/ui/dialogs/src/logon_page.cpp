#include "platform/client_settings.h"
#include "vorn/dialogs/logon_page.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "dailylog/shared_daily_log.h"
#include "vorn/dialogs/dialog_rules.h"
#include "vorn/dialogs/text_ids.h"

namespace vorn {

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }
std::string S(const QString& s) { return s.toStdString(); }

// The history's remembered passwords live in the user's own part of the settings, never in the
// file of the install folder: one "<server>\t<scrambled password>" line per record that has one.
constexpr const char* kHistoryPasswords = platform::client_settings::kHistoryPasswords;

std::string FormatHistoryPasswords(const GatewayHistory& history) {
    std::string out;
    for (int i = 0; i < history.Count(); ++i) {
        const HistoryRecord& r = history[i];
        if (r.password.empty() || r.server.find_first_of("\t\r\n") != std::string::npos ||
            r.password.find_first_of("\t\r\n") != std::string::npos)
            continue;
        out += r.server + "\t" + r.password + "\n";
    }
    return out;
}

// Gives each record the password kept for its server, if any.
void TakeHistoryPasswords(const std::string& kept, GatewayHistory* history) {
    std::size_t at = 0;
    while (at < kept.size()) {
        std::size_t end = kept.find('\n', at);
        if (end == std::string::npos) end = kept.size();
        const std::string line = kept.substr(at, end - at);
        at = end + 1;
        const std::size_t tab = line.find('\t');
        if (tab == std::string::npos || tab + 1 == line.size()) continue;
        const int found = history->Find(line.substr(0, tab));
        if (found >= 0 && (*history)[found].remember && (*history)[found].password.empty())
            (*history)[found].password = line.substr(tab + 1);
    }
}

GatewayHistory WithoutPasswords(GatewayHistory history) {
    for (int i = 0; i < kHistorySize; ++i) history[i].password.clear();
    return history;
}

}  // namespace

void HistoryCombo::showPopup() {
    if (beforePopup) beforePopup();
    QComboBox::showPopup();
}

bool HandlePageKey(QEvent* event, const std::function<void()>& ok) {
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease) return false;
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
        if (event->type() == QEvent::KeyPress && ok) ok();
        return true;
    }
    return key == Qt::Key_Escape;
}

void RouteEnterAndEsc(QWidget* page, QObject* filter) {
    page->installEventFilter(filter);
    for (QWidget* child : page->findChildren<QWidget*>()) child->installEventFilter(filter);
}

CLogonPage::CLogonPage(DialogContext context, QWidget* parent) : QWidget(parent), m_ctx(std::move(context)) {
    MakeWhite(this);
    auto* grid = new QGridLayout;
    m_server = new HistoryCombo(this);
    m_server->setEditable(true);
    m_server->setInsertPolicy(QComboBox::NoInsert);
    m_server->lineEdit()->setMaxLength(kServerFieldMax);
    m_user = new QLineEdit(this);
    m_user->setMaxLength(kUserFieldMax);
    m_password = new QLineEdit(this);
    m_password->setMaxLength(kPasswordFieldMax);
    m_password->setEchoMode(QLineEdit::Password);
    grid->addWidget(new QLabel(m_ctx.Caption(kDialogLogonPage, 1086, "Gateway:"), this), 0, 0);
    grid->addWidget(m_server, 0, 1);
    grid->addWidget(new QLabel(m_ctx.Caption(kDialogLogonPage, 1087, "User name:"), this), 1, 0);
    grid->addWidget(m_user, 1, 1);
    grid->addWidget(new QLabel(m_ctx.Caption(kDialogLogonPage, 1088, "Password:"), this), 2, 0);
    grid->addWidget(m_password, 2, 1);
    m_remember = new QCheckBox(m_ctx.Caption(kDialogLogonPage, 1192, "Remember password"), this);
    m_autoLogon = new QCheckBox(m_ctx.Caption(kDialogLogonPage, 1193, "Log on automatically"), this);
    auto* boxes = new QHBoxLayout;
    boxes->addWidget(m_remember);
    boxes->addWidget(m_autoLogon);
    boxes->addStretch();
    grid->addLayout(boxes, 3, 1);
    m_forgot = new QLabel(this);
    m_forgot->setText("<a href=\"#\" style=\"color:blue\">" +
                      m_ctx.Caption(kDialogLogonPage, 1200, "Forgot your password?").toHtmlEscaped() +
                      "</a>");
    m_forgot->setTextInteractionFlags(Qt::LinksAccessibleByMouse);
    grid->addWidget(m_forgot, 4, 1, Qt::AlignRight);
    auto* outer = new QVBoxLayout(this);
    outer->addLayout(grid);
    outer->addStretch();

    connect(m_remember, &QCheckBox::clicked, this, [this] { OnRememberClicked(); });
    connect(m_autoLogon, &QCheckBox::clicked, this, [this] { OnAutoLogonClicked(); });
    connect(m_server, qOverload<int>(&QComboBox::activated), this, [this](int i) { OnHistoryChosen(i); });
    connect(m_forgot, &QLabel::linkActivated, this, [this] { OnForgotPassword(); });
    m_server->beforePopup = [this] { OnDropDown(); };
    RouteEnterAndEsc(this, this);
}

bool CLogonPage::eventFilter(QObject* watched, QEvent* event) {
    return HandlePageKey(event, m_ownerOk) || QWidget::eventFilter(watched, event);
}

std::string CLogonPage::InstallDir() {
    std::string dir;
    if (!m_ctx.store || m_ctx.store->GetString(kClientKey, platform::client_settings::kInstallDir, &dir) !=
                            platform::kRegOk) {
        TW_LOG(LOG_CLIENT_LOGIN, 2, "[CLogonPage] InstallDir cannot be read");
        return {};
    }
    return dir;
}

bool CLogonPage::ReadHistory(GatewayHistory* history) {
    const std::string dir = InstallDir();
    if (dir.empty()) return false;
    std::string error;
    std::vector<std::string> skipped;
    if (!LoadHistoryFile(dir, history, &error, &skipped)) {
        TW_LOG(LOG_CLIENT_LOGIN, 2, "[CLogonPage] history: %s", error.c_str());
        return false;
    }
    for (const std::string& why : skipped)
        TW_LOG(LOG_CLIENT_LOGIN, 2, "[CLogonPage] history.ini %s", why.c_str());
    if (!m_ctx.store) return true;
    // A file written before the passwords had their place still holds them: they move, once.
    bool inFile = false;
    for (int i = 0; i < history->Count(); ++i) inFile = inFile || !(*history)[i].password.empty();
    std::string kept;
    if (m_ctx.store->GetString(kClientKey, kHistoryPasswords, &kept) == platform::kRegOk)
        TakeHistoryPasswords(kept, history);
    if (inFile) {
        if (m_ctx.store->SetString(kClientKey, kHistoryPasswords, FormatHistoryPasswords(*history)) ==
                platform::kRegOk &&
            !SaveHistoryFile(dir, WithoutPasswords(*history), &error))
            TW_LOG(LOG_CLIENT_LOGIN, 1, "[CLogonPage] history: %s", error.c_str());
    }
    return true;
}

void CLogonPage::FillList(const GatewayHistory& history) {
    const QString kept = m_server->currentText();
    m_server->clear();
    for (int i = 0; i < history.Count(); ++i) m_server->addItem(Q(history[i].server));
    m_server->setEditText(kept);
}

void CLogonPage::OnInitDialog() {
    if (InstallDir().empty()) return;
    platform::SettingsStore& store = *m_ctx.store;
    std::string address, user, scrambled;
    DWORD port = 443, remembered = 0, autoLogon = 0;
    if (store.GetDword(kClientKey, platform::client_settings::kServerPortNum, &port) != platform::kRegOk)
        port = 443;
    if (store.GetString(kClientKey, platform::client_settings::kServerAddr, &address) != platform::kRegOk) {
        SetServerText("0.0.0.0");
    } else {
        SetServerText(address + ":" + std::to_string(port));
        if (store.GetString(kClientKey, platform::client_settings::kQelUsername, &user) != platform::kRegOk)
            user.clear();
        SetUserName(user);
        if (store.GetDword(kClientKey, platform::client_settings::kRemID, &remembered) == platform::kRegOk &&
            remembered != 0) {
            if (store.GetString(kClientKey, platform::client_settings::kQelPassword, &scrambled) ==
                platform::kRegOk) {
                if (store.GetDword(kClientKey, platform::client_settings::kAutoLogon, &autoLogon) !=
                    platform::kRegOk)
                    autoLogon = 0;
                SetRemember(true);
                SetAutoLogon(autoLogon != 0);
                SetPassword(UnscramblePassword(scrambled));
            } else {
                SetRemember(false);
                SetAutoLogon(false);
                SetPassword("");
            }
        } else {
            SetRemember(false);
            SetAutoLogon(false);
        }
    }
    if (ReadHistory(&m_history)) FillList(m_history);
}

std::string CLogonPage::ServerText() { return S(m_server->currentText()); }
void CLogonPage::SetServerText(const std::string& text) { m_server->setEditText(Q(text)); }
std::string CLogonPage::UserName() { return S(m_user->text()); }
void CLogonPage::SetUserName(const std::string& name) { m_user->setText(Q(name)); }
std::string CLogonPage::Password() { return S(m_password->text()); }
void CLogonPage::SetPassword(const std::string& password) { m_password->setText(Q(password)); }
bool CLogonPage::Remember() { return m_remember->isChecked(); }
void CLogonPage::SetRemember(bool on) { m_remember->setChecked(on); }
bool CLogonPage::AutoLogon() { return m_autoLogon->isChecked(); }
void CLogonPage::SetAutoLogon(bool on) { m_autoLogon->setChecked(on); }

void CLogonPage::SetFieldsEnabled(bool on) {
    for (QWidget* w : std::initializer_list<QWidget*>{m_server, m_user, m_password, m_remember, m_autoLogon})
        w->setEnabled(on);
}

void CLogonPage::SetForgotLinkVisible(bool on) { m_forgot->setVisible(on); }

void CLogonPage::OnRememberClicked() {
    if (!m_remember->isChecked()) m_autoLogon->setChecked(false);
}

void CLogonPage::OnAutoLogonClicked() {
    if (m_autoLogon->isChecked()) m_remember->setChecked(true);
}

void CLogonPage::UpdateIpHistoryList() {
    HistoryRecord top;
    top.user = UserName();
    // A password the user did not ask to remember is not written anywhere.
    top.password = Remember() ? ScramblePassword(Password()) : std::string();
    top.server = ServerText();
    top.remember = Remember();
    top.autoLogon = AutoLogon();
    m_history.Update(top);
}

void CLogonPage::SaveIpHistoryFile() {
    const std::string dir = InstallDir();
    if (dir.empty()) return;
    std::string error;
    const std::string passwords = FormatHistoryPasswords(m_history);
    const LONG kept = !m_ctx.store        ? platform::kRegGeneralFailure
                      : passwords.empty() ? m_ctx.store->DeleteValue(kClientKey, kHistoryPasswords)
                                          : m_ctx.store->SetString(kClientKey, kHistoryPasswords, passwords);
    if (kept != platform::kRegOk && kept != platform::kRegFileNotFound)
        TW_LOG(LOG_CLIENT_LOGIN, 1, "[SaveIpHistoryFile] passwords not kept (%ld)", static_cast<long>(kept));
    if (!SaveHistoryFile(dir, WithoutPasswords(m_history), &error))
        TW_LOG(LOG_CLIENT_LOGIN, 1, "[SaveIpHistoryFile] %s", error.c_str());
}

void CLogonPage::SetNewestHistoryChoices(bool remember, bool autoLogon) {
    if (!m_history[0].InUse()) return;
    m_history[0].remember = remember;
    m_history[0].autoLogon = autoLogon;
    if (!remember) m_history[0].password.clear();
}

void CLogonPage::OnHistoryChosen(int index) {
    if (index < 0 || index >= m_server->count() || !m_ctx.store) return;
    platform::SettingsStore& store = *m_ctx.store;
    const std::string chosen = S(m_server->itemText(index));
    SetServerText(chosen);
    std::string host, portText;
    SplitHostPort(chosen, &host, &portText, "443");
    int port = 0;
    if (ParsePort(portText, &port)) {
        store.SetString(kClientKey, platform::client_settings::kServerAddr, host);
        store.SetDword(kClientKey, platform::client_settings::kServerPortNum, static_cast<DWORD>(port));
    } else {
        // The logon command refuses the text with its port message; nothing wrong is stored.
        TW_LOG(LOG_CLIENT_LOGIN, 2, "[CLogonPage] history entry with a bad port left out of the settings");
    }
    SetUserName("");
    SetPassword("");
    const int found = m_history.Find(chosen);
    if (found >= 0) {
        const HistoryRecord& r = m_history[found];
        SetUserName(r.user);
        store.SetString(kClientKey, platform::client_settings::kQelUsername, r.user);
        if (r.remember) {
            SetPassword(UnscramblePassword(r.password));
            store.SetString(kClientKey, platform::client_settings::kQelPassword, r.password);
            store.SetDword(kClientKey, platform::client_settings::kRemID, 1);
            SetRemember(true);
            SetAutoLogon(r.autoLogon);
            if (r.autoLogon) store.SetDword(kClientKey, platform::client_settings::kAutoLogon, 1);
        } else {
            store.SetDword(kClientKey, platform::client_settings::kRemID, 0);
            store.SetDword(kClientKey, platform::client_settings::kAutoLogon, 0);
            SetRemember(false);
            SetAutoLogon(false);
        }
    }
}

void CLogonPage::OnDropDown() {
    GatewayHistory fresh;
    if (!ReadHistory(&fresh)) return;
    FillList(fresh);
}

void CLogonPage::ReloadRememberedPassword() {
    if (!m_ctx.store) return;
    platform::SettingsStore& store = *m_ctx.store;
    DWORD remembered = 0, autoLogon = 0;
    std::string scrambled;
    const bool rem =
        store.GetDword(kClientKey, platform::client_settings::kRemID, &remembered) == platform::kRegOk &&
        remembered != 0;
    const bool has =
        store.GetString(kClientKey, platform::client_settings::kQelPassword, &scrambled) == platform::kRegOk;
    if (rem && has) {
        SetPassword(UnscramblePassword(scrambled));
        SetRemember(true);
        SetAutoLogon(store.GetDword(kClientKey, platform::client_settings::kAutoLogon, &autoLogon) ==
                         platform::kRegOk &&
                     autoLogon != 0);
    } else {
        SetRemember(false);
        SetAutoLogon(false);
        if (!has) SetPassword("");
    }
}

void CLogonPage::OnForgotPassword() {
    std::string server = ServerText();
    if (server.empty() || server.find("0.0.0.0") != std::string::npos) {
        m_ctx.Show(kTextBadGatewayAddress, "", BoxIcon::kError);
        return;
    }
    if (!AddressCharsAllowed(server)) {
        m_ctx.Show(kTextGatewayAddressChars, m_ctx.ErrorCaption(), BoxIcon::kError);
        return;
    }
    const std::size_t scheme = server.find("://");
    if (scheme != std::string::npos) server = server.substr(scheme + 3);
    if (!m_ctx.launcher || !m_ctx.launcher->OpenUrl("https://" + server + "/sslvpnindex/forget_password.php"))
        TW_LOG(LOG_CLIENT_LOGIN, 1, "[CLogonPage] the forgot-password page did not open");
}

}  // namespace vorn
