// The two password dialogs of a running session.
//
// CAlterPassword (title: the catalogue's text 131) checks the old, new and confirmed password and
// sends the change to the gateway inside the tunnel; the gateway's answer comes back through
// PasswordChangeRelay, which the connector calls from its receive thread and which posts the
// answer, text included, to the UI thread, where it reaches the open change-password window.
//
// RelogonIptPswDlg asks for the password again when the engine needs it for a reconnect; it hands
// the password over and has the reconnect started, or, refused, lets the client quit.
//
// UI thread only, except PasswordChangeRelay::PasswordChangeResult (any thread).
#pragma once
#include <QDialog>
#include <QEvent>
#include <QObject>
#include <functional>

#include "engine/password_change.h"
#include "engine/worker_thread.h"
#include "platform/types.h"
#include "vorn/dialogs/dialog_context.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace vorn {

constexpr int kPasswordMin = 6;
constexpr int kPasswordMax = 20;
constexpr const char* kStopClientEventName = "Global\\StopMorvaneVornClientEvent";

// Message 1054: the gateway's answer to a password change. The event owns its text.
class PasswordResultEvent final : public QEvent {
public:
    static QEvent::Type EventType();
    PasswordResultEvent(int result, std::string text);
    const int result;
    const std::string text;
};

class CAlterPassword final : public QDialog {
public:
    CAlterPassword(DialogContext context, std::string userName, DWORD sessionId,
                   engine::PasswordChangeTunnel& tunnel, QWidget* parent = nullptr);

    // The OK button: checks, builds and sends the request; closes once the change succeeded.
    void OnOK();
    // The gateway's answer (message 1054).
    void OnResetPwdResult(int result, const std::string& text);

    bool Sent() const { return m_sent; }
    bool Done() const { return m_done; }
    QLineEdit* OldField() { return m_old; }
    QLineEdit* NewField() { return m_new; }
    QLineEdit* ConfirmField() { return m_confirm; }
    QPushButton* OkButton() { return m_ok; }

protected:
    bool event(QEvent* event) override;

private:
    DialogContext m_ctx;
    std::string m_user;
    DWORD m_sessionId;
    engine::PasswordChangeTunnel& m_tunnel;
    bool m_sent = false, m_done = false;
    QLineEdit* m_old;
    QLineEdit* m_new;
    QLineEdit* m_confirm;
    QPushButton* m_ok;
};

// The connector's listener: lives on the UI thread, takes answers from any thread and delivers
// each to the window titled `changePasswordTitle` (none open: the answer is dropped).
class PasswordChangeRelay final : public QObject, public engine::PasswordChangeListener {
public:
    explicit PasswordChangeRelay(std::string changePasswordTitle, QObject* parent = nullptr);
    void PasswordChangeResult(int result, const std::string& text) override;

protected:
    bool event(QEvent* event) override;

private:
    const QString m_title;
};

class RelogonIptPswDlg final : public QDialog {
public:
    // Hands the password to the engine and starts the reconnect (the worker's password setter,
    // then its relogon).
    using Reconnect = std::function<void(const std::string& password)>;
    // Sets the stop event (the client then quits through its watchdog). Unset: the named event.
    using StopClient = std::function<void()>;

    RelogonIptPswDlg(DialogContext context, std::string userName, Reconnect reconnect, StopClient stop = {},
                     QWidget* parent = nullptr);
    // The text shown as the gateway (the logon page's server text); before exec.
    void SetPromptText(const std::string& text);
    // The logon page gets the typed password too.
    void SetLogonPagePassword(std::function<void(const std::string&)> set) {
        m_setPagePassword = std::move(set);
    }

    void OnOK();
    void OnCancel();
    void reject() override { OnCancel(); }

    QLineEdit* PasswordField() { return m_password; }
    QLabel* ServerLine() { return m_server; }
    QPushButton* OkButton() { return m_ok; }

private:
    DialogContext m_ctx;
    std::string m_user;
    Reconnect m_reconnect;
    StopClient m_stop;
    std::function<void(const std::string&)> m_setPagePassword;
    QLabel* m_server;
    QLineEdit* m_password;
    QPushButton* m_ok;
};

// The reconnect of the client: the worker's password setter (the connector goes to its relogon
// state) and a relogon thread.
RelogonIptPswDlg::Reconnect MakeWorkerReconnect(engine::TwWorkerThread& worker);

// Sets "Global\StopMorvaneVornClientEvent" when it exists; false when it does not.
bool SetStopClientEvent();

}  // namespace vorn
