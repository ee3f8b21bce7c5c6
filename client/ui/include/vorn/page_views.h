// What the main dialog needs of the two tab pages. The logon page and the proxy page implement
// these; tests pass plain records.
//
// Called on the UI thread only.
#pragma once
#include <string>

class QWidget;

namespace vorn {

class LogonPageView {
public:
    virtual ~LogonPageView() = default;
    virtual QWidget* Widget() = 0;  // null in tests

    virtual std::string ServerText() = 0;
    virtual void SetServerText(const std::string& text) = 0;
    virtual std::string UserName() = 0;
    virtual void SetUserName(const std::string& name) = 0;
    virtual std::string Password() = 0;  // plain
    virtual void SetPassword(const std::string& password) = 0;
    virtual bool Remember() = 0;
    virtual void SetRemember(bool on) = 0;
    virtual bool AutoLogon() = 0;
    virtual void SetAutoLogon(bool on) = 0;

    virtual void SetFieldsEnabled(bool on) = 0;
    virtual void SetForgotLinkVisible(bool on) = 0;
    // After a successful logon: the history gets the page's values on top and is saved.
    virtual void UpdateIpHistoryList() = 0;
    virtual void SaveIpHistoryFile() = 0;
    // The remembered password and both boxes again from the settings.
    virtual void ReloadRememberedPassword() = 0;
};

class ProxyPageView {
public:
    virtual ~ProxyPageView() = default;
    virtual QWidget* Widget() = 0;

    virtual bool UseProxy() = 0;
    virtual bool UseProxyAuth() = 0;
    virtual void SetUseProxyAuth(bool on) = 0;
    virtual std::string ProxyAddress() = 0;
    virtual std::string ProxyUser() = 0;
    virtual std::string ProxyPassword() = 0;
    // All fields on or off; "on" enables the address and authentication fields only when
    // "use proxy" is ticked.
    virtual void SetFieldsEnabled(bool on) = 0;
    virtual void Reload() = 0;
};

}  // namespace vorn
