// Plain tab pages for the main dialog: the form's fields and nothing else (no history, no
// links). The client uses them where the full pages are not built in; tests use them to see what
// the dialog does to the fields.
#pragma once
#include <memory>
#include <string>

#include "platform/settings_store.h"
#include "vorn/page_views.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;

namespace vorn {

class BasicLogonPage final : public LogonPageView {
public:
    // Loads the gateway, user name and remembered password from `store` when given.
    explicit BasicLogonPage(platform::SettingsStore* store = nullptr);
    ~BasicLogonPage() override;

    QWidget* Widget() override { return m_widget; }
    std::string ServerText() override;
    void SetServerText(const std::string& text) override;
    std::string UserName() override;
    void SetUserName(const std::string& name) override;
    std::string Password() override;
    void SetPassword(const std::string& password) override;
    bool Remember() override;
    void SetRemember(bool on) override;
    bool AutoLogon() override;
    void SetAutoLogon(bool on) override;
    void SetFieldsEnabled(bool on) override;
    void SetForgotLinkVisible(bool on) override;
    void UpdateIpHistoryList() override { ++historyUpdates; }
    void SaveIpHistoryFile() override { ++historySaves; }
    void ReloadRememberedPassword() override {}

    bool FieldsEnabled() const;
    bool ForgotLinkVisible() const;
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
    BasicProxyPage();
    ~BasicProxyPage() override;

    QWidget* Widget() override { return m_widget; }
    bool UseProxy() override;
    bool UseProxyAuth() override;
    void SetUseProxyAuth(bool on) override;
    std::string ProxyAddress() override;
    std::string ProxyUser() override;
    std::string ProxyPassword() override;
    void SetFieldsEnabled(bool on) override;
    void Reload() override {}

    void Set(bool useProxy, bool auth, const std::string& address, const std::string& user,
             const std::string& password);
    bool AddressEnabled() const;

private:
    QWidget* m_widget;
    QCheckBox* m_useProxy;
    QCheckBox* m_auth;
    QLineEdit* m_address;
    QLineEdit* m_user;
    QLineEdit* m_password;
};

}  // namespace vorn
