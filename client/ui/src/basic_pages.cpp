#include "vorn/basic_pages.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "vorn/main_dialog.h"
#include "vorn/text_source.h"

namespace vorn {

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }
std::string S(const QString& s) { return s.toStdString(); }

}  // namespace

BasicLogonPage::BasicLogonPage(platform::SettingsStore* store) {
    m_widget = new QWidget();
    m_widget->setObjectName("logonPage");
    auto* form = new QFormLayout(m_widget);
    m_server = new QComboBox(m_widget);
    m_server->setObjectName("server");
    m_server->setEditable(true);
    m_user = new QLineEdit(m_widget);
    m_user->setObjectName("user");
    m_user->setMaxLength(127);
    m_password = new QLineEdit(m_widget);
    m_password->setObjectName("password");
    m_password->setEchoMode(QLineEdit::Password);
    m_password->setMaxLength(63);
    m_remember = new QCheckBox(m_widget);
    m_remember->setObjectName("remember");
    m_autoLogon = new QCheckBox(m_widget);
    m_autoLogon->setObjectName("autoLogon");
    m_forgot = new QLabel(m_widget);
    m_forgot->setObjectName("forgot");
    form->addRow("Gateway", m_server);
    form->addRow("User", m_user);
    form->addRow("Password", m_password);
    form->addRow("", m_remember);
    form->addRow("", m_autoLogon);
    form->addRow("", m_forgot);
    m_remember->setText("Remember password");
    m_autoLogon->setText("Log on automatically");
    m_forgot->setText("<a href=\"#\">Forgot password?</a>");
    if (!store) return;
    std::string addr, user, scrambled;
    DWORD port = 443, rem = 0, autoLogon = 0;
    if (store->GetString(kClientKey, "ServerAddr", &addr) != platform::kRegOk) {
        SetServerText("0.0.0.0");
        return;
    }
    if (store->GetDword(kClientKey, "ServerPortNum", &port) != platform::kRegOk) port = 443;
    SetServerText(addr + ":" + std::to_string(port));
    if (store->GetString(kClientKey, "QelUsername", &user) == platform::kRegOk) SetUserName(user);
    if (store->GetDword(kClientKey, "RemID", &rem) == platform::kRegOk && rem != 0 &&
        store->GetString(kClientKey, "QelPassword", &scrambled) == platform::kRegOk) {
        SetRemember(true);
        SetPassword(Unscramble(scrambled));
        SetAutoLogon(store->GetDword(kClientKey, "AutoLogon", &autoLogon) == platform::kRegOk &&
                     autoLogon != 0);
    }
}

BasicLogonPage::~BasicLogonPage() {
    if (!m_widget->parent()) delete m_widget;
}

std::string BasicLogonPage::ServerText() { return S(m_server->currentText()); }
void BasicLogonPage::SetServerText(const std::string& text) { m_server->setEditText(Q(text)); }
std::string BasicLogonPage::UserName() { return S(m_user->text()); }
void BasicLogonPage::SetUserName(const std::string& name) { m_user->setText(Q(name)); }
std::string BasicLogonPage::Password() { return S(m_password->text()); }
void BasicLogonPage::SetPassword(const std::string& password) { m_password->setText(Q(password)); }
bool BasicLogonPage::Remember() { return m_remember->isChecked(); }
void BasicLogonPage::SetRemember(bool on) { m_remember->setChecked(on); }
bool BasicLogonPage::AutoLogon() { return m_autoLogon->isChecked(); }
void BasicLogonPage::SetAutoLogon(bool on) { m_autoLogon->setChecked(on); }
void BasicLogonPage::SetFieldsEnabled(bool on) {
    for (QWidget* w :
         std::initializer_list<QWidget*>{m_server, m_user, m_password, m_remember, m_autoLogon}) {
        w->setEnabled(on);
    }
}
void BasicLogonPage::SetForgotLinkVisible(bool on) { m_forgot->setVisible(on); }
bool BasicLogonPage::FieldsEnabled() const { return m_server->isEnabled() && m_user->isEnabled(); }
bool BasicLogonPage::ForgotLinkVisible() const { return !m_forgot->isHidden(); }

BasicProxyPage::BasicProxyPage() {
    m_widget = new QWidget();
    m_widget->setObjectName("proxyPage");
    auto* form = new QFormLayout(m_widget);
    m_useProxy = new QCheckBox("Use a proxy", m_widget);
    m_auth = new QCheckBox("The proxy needs authentication", m_widget);
    m_address = new QLineEdit(m_widget);
    m_address->setMaxLength(256);
    m_user = new QLineEdit(m_widget);
    m_user->setMaxLength(128);
    m_password = new QLineEdit(m_widget);
    m_password->setMaxLength(64);
    m_password->setEchoMode(QLineEdit::Password);
    form->addRow("", m_useProxy);
    form->addRow("Proxy", m_address);
    form->addRow("", m_auth);
    form->addRow("User", m_user);
    form->addRow("Password", m_password);
}

BasicProxyPage::~BasicProxyPage() {
    if (!m_widget->parent()) delete m_widget;
}

bool BasicProxyPage::UseProxy() { return m_useProxy->isChecked(); }
bool BasicProxyPage::UseProxyAuth() { return m_auth->isChecked(); }
void BasicProxyPage::SetUseProxyAuth(bool on) { m_auth->setChecked(on); }
std::string BasicProxyPage::ProxyAddress() { return S(m_address->text()); }
std::string BasicProxyPage::ProxyUser() { return S(m_user->text()); }
std::string BasicProxyPage::ProxyPassword() { return S(m_password->text()); }
void BasicProxyPage::SetFieldsEnabled(bool on) {
    m_useProxy->setEnabled(on);
    const bool proxyOn = on && m_useProxy->isChecked();
    m_address->setEnabled(proxyOn);
    m_auth->setEnabled(proxyOn);
    m_user->setEnabled(proxyOn && m_auth->isChecked());
    m_password->setEnabled(proxyOn && m_auth->isChecked());
}
void BasicProxyPage::Set(bool useProxy, bool auth, const std::string& address, const std::string& user,
                         const std::string& password) {
    m_useProxy->setChecked(useProxy);
    m_auth->setChecked(auth);
    m_address->setText(Q(address));
    m_user->setText(Q(user));
    m_password->setText(Q(password));
}
bool BasicProxyPage::AddressEnabled() const { return m_address->isEnabled(); }

}  // namespace vorn
