// Plain tab pages for the main dialog's tests: the form's fields and nothing else (no history, no
// links), and counters of the history calls, so a test sees what the dialog does to the fields.
#pragma once
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QString>
#include <initializer_list>
#include <string>

#include "vorn/page_views.h"

namespace vorn::test {

class BasicLogonPage final : public LogonPageView {
public:
    BasicLogonPage() {
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
        m_remember = new QCheckBox("Remember password", m_widget);
        m_remember->setObjectName("remember");
        m_autoLogon = new QCheckBox("Log on automatically", m_widget);
        m_autoLogon->setObjectName("autoLogon");
        m_forgot = new QLabel("<a href=\"#\">Forgot password?</a>", m_widget);
        m_forgot->setObjectName("forgot");
        form->addRow("Gateway", m_server);
        form->addRow("User", m_user);
        form->addRow("Password", m_password);
        form->addRow("", m_remember);
        form->addRow("", m_autoLogon);
        form->addRow("", m_forgot);
    }
    ~BasicLogonPage() override {
        if (!m_widget->parent()) delete m_widget;
    }

    QWidget* Widget() override { return m_widget; }
    std::string ServerText() override { return m_server->currentText().toStdString(); }
    void SetServerText(const std::string& text) override {
        m_server->setEditText(QString::fromStdString(text));
    }
    std::string UserName() override { return m_user->text().toStdString(); }
    void SetUserName(const std::string& name) override { m_user->setText(QString::fromStdString(name)); }
    std::string Password() override { return m_password->text().toStdString(); }
    void SetPassword(const std::string& password) override {
        m_password->setText(QString::fromStdString(password));
    }
    bool Remember() override { return m_remember->isChecked(); }
    void SetRemember(bool on) override { m_remember->setChecked(on); }
    bool AutoLogon() override { return m_autoLogon->isChecked(); }
    void SetAutoLogon(bool on) override { m_autoLogon->setChecked(on); }
    void SetFieldsEnabled(bool on) override {
        for (QWidget* w :
             std::initializer_list<QWidget*>{m_server, m_user, m_password, m_remember, m_autoLogon}) {
            w->setEnabled(on);
        }
    }
    void SetForgotLinkVisible(bool on) override { m_forgot->setVisible(on); }
    void UpdateIpHistoryList() override { ++historyUpdates; }
    void SaveIpHistoryFile() override { ++historySaves; }
    void ReloadRememberedPassword() override {}

    bool FieldsEnabled() const { return m_server->isEnabled() && m_user->isEnabled(); }
    bool ForgotLinkVisible() const { return !m_forgot->isHidden(); }
    int historyUpdates = 0, historySaves = 0;

private:
    QWidget* m_widget;  // owned by the tab once added, else by this object
    QComboBox* m_server;
    QLineEdit* m_user;
    QLineEdit* m_password;
    QCheckBox* m_remember;
    QCheckBox* m_autoLogon;
    QLabel* m_forgot;
};

class BasicProxyPage final : public ProxyPageView {
public:
    BasicProxyPage() {
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
    ~BasicProxyPage() override {
        if (!m_widget->parent()) delete m_widget;
    }

    QWidget* Widget() override { return m_widget; }
    bool UseProxy() override { return m_useProxy->isChecked(); }
    bool UseProxyAuth() override { return m_auth->isChecked(); }
    void SetUseProxyAuth(bool on) override { m_auth->setChecked(on); }
    std::string ProxyAddress() override { return m_address->text().toStdString(); }
    std::string ProxyUser() override { return m_user->text().toStdString(); }
    std::string ProxyPassword() override { return m_password->text().toStdString(); }
    void SetFieldsEnabled(bool on) override {
        m_useProxy->setEnabled(on);
        const bool proxyOn = on && m_useProxy->isChecked();
        m_address->setEnabled(proxyOn);
        m_auth->setEnabled(proxyOn);
        m_user->setEnabled(proxyOn && m_auth->isChecked());
        m_password->setEnabled(proxyOn && m_auth->isChecked());
    }
    void Reload() override {}

    void Set(bool useProxy, bool auth, const std::string& address, const std::string& user,
             const std::string& password) {
        m_useProxy->setChecked(useProxy);
        m_auth->setChecked(auth);
        m_address->setText(QString::fromStdString(address));
        m_user->setText(QString::fromStdString(user));
        m_password->setText(QString::fromStdString(password));
    }

private:
    QWidget* m_widget;  // owned by the tab once added, else by this object
    QCheckBox* m_useProxy;
    QCheckBox* m_auth;
    QLineEdit* m_address;
    QLineEdit* m_user;
    QLineEdit* m_password;
};

}  // namespace vorn::test
