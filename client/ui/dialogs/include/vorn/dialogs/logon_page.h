// CLogonPage: tab 0 of the main dialog. The gateway (an editable list of the last five gateways),
// user name, password, "remember password", "log on automatically" and the forgot-password link.
// It loads its values from the client's settings and "history.ini" (HistoryFilePath); the main
// dialog has the history updated and saved after each logon.
//
// UI thread only. Enter in the page runs the owner's OK operation; Esc is swallowed.
#pragma once
#include <QComboBox>
#include <QWidget>
#include <functional>

#include "vorn/dialogs/dialog_context.h"
#include "vorn/dialogs/gateway_history.h"
#include "vorn/page_views.h"

class QCheckBox;
class QLabel;
class QLineEdit;

namespace vorn {

// The gateway field: a list that asks for its entries again each time it opens.
class HistoryCombo final : public QComboBox {
public:
    using QComboBox::QComboBox;
    std::function<void()> beforePopup;
    void showPopup() override;
};

// The gateway field keeps a host of up to 255 bytes, a colon and a port.
constexpr int kServerFieldMax = 255 + 1 + 5;
constexpr int kUserFieldMax = 127;
constexpr int kPasswordFieldMax = 63;

class CLogonPage final : public QWidget, public LogonPageView {
public:
    explicit CLogonPage(DialogContext context, QWidget* parent = nullptr);

    // The owner's OK operation, run by Enter.
    void SetOwnerOk(std::function<void()> ok) { m_ownerOk = std::move(ok); }
    // Loads the settings and the history (the page's initialisation).
    void OnInitDialog();

    // LogonPageView
    QWidget* Widget() override { return this; }
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
    void UpdateIpHistoryList() override;
    void SaveIpHistoryFile() override;
    void ReloadRememberedPassword() override;

    // The preferences dialog's choices go into the newest history record.
    void SetNewestHistoryChoices(bool remember, bool autoLogon);
    const GatewayHistory& History() const { return m_history; }

    // The handlers, reachable for tests.
    void OnHistoryChosen(int index);
    void OnDropDown();
    void OnForgotPassword();
    void OnRememberClicked();
    void OnAutoLogonClicked();

    HistoryCombo* ServerField() { return m_server; }
    QLineEdit* UserField() { return m_user; }
    QLineEdit* PasswordField() { return m_password; }
    QCheckBox* RememberBox() { return m_remember; }
    QCheckBox* AutoLogonBox() { return m_autoLogon; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::string InstallDir();
    bool ReadHistory(GatewayHistory* history);
    void FillList(const GatewayHistory& history);

    DialogContext m_ctx;
    std::function<void()> m_ownerOk;
    GatewayHistory m_history;
    HistoryCombo* m_server;
    QLineEdit* m_user;
    QLineEdit* m_password;
    QCheckBox* m_remember;
    QCheckBox* m_autoLogon;
    QLabel* m_forgot;
};

// Has `filter` see the key events of `page` and of every child it has now.
void RouteEnterAndEsc(QWidget* page, QObject* filter);
// A page's filter: Enter (its press) runs `ok` and Esc is swallowed; true when the event was one.
bool HandlePageKey(QEvent* event, const std::function<void()>& ok);

}  // namespace vorn
