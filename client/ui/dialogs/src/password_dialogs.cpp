#include "vorn/dialogs/password_dialogs.h"

#include <QApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <functional>
#include <vector>

#include "dailylog/shared_daily_log.h"
#include "platform/named_objects.h"
#include "vorn/dialogs/text_ids.h"

// Qt hands posted events over under its own futex lock, which the thread sanitizer does not see;
// these two tell it that the event's contents pass from the poster to the UI thread.
#if defined(__SANITIZE_THREAD__)
#define VORN_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VORN_TSAN 1
#endif
#endif
#ifdef VORN_TSAN
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#endif

namespace vorn {

namespace {

void HandOver(void* event) {
#ifdef VORN_TSAN
    __tsan_release(event);
#else
    (void)event;
#endif
}

void TakeOver(void* event) {
#ifdef VORN_TSAN
    __tsan_acquire(event);
#else
    (void)event;
#endif
}

QString Q(const std::string& s) { return QString::fromStdString(s); }

QLineEdit* PasswordEdit(QWidget* parent) {
    auto* edit = new QLineEdit(parent);
    edit->setMaxLength(kPasswordMax);
    edit->setEchoMode(QLineEdit::Password);
    return edit;
}

// Lengths as the gateway counts them: bytes.
int Length(const QLineEdit* edit) { return static_cast<int>(edit->text().toStdString().size()); }

// The dialogs' common foot: the form grid above, OK (the default) and Cancel at the right.
QPushButton* LayOutWithButtons(QDialog* dialog, QGridLayout* grid, const QString& okText,
                               const QString& cancelText, std::function<void()> onOk,
                               std::function<void()> onCancel) {
    auto* ok = new QPushButton(okText, dialog);
    auto* cancel = new QPushButton(cancelText, dialog);
    ok->setDefault(true);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    auto* outer = new QVBoxLayout(dialog);
    outer->addLayout(grid);
    outer->addLayout(buttons);
    QObject::connect(ok, &QPushButton::clicked, dialog, std::move(onOk));
    QObject::connect(cancel, &QPushButton::clicked, dialog, std::move(onCancel));
    return ok;
}

}  // namespace

QEvent::Type PasswordResultEvent::EventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

PasswordResultEvent::PasswordResultEvent(int answer, std::string answerText)
    : QEvent(EventType()), result(answer), text(answerText.substr(0, engine::kPasswordChangeTextMax)) {}

CAlterPassword::CAlterPassword(DialogContext context, std::string userName, DWORD sessionId,
                               engine::PasswordChangeTunnel& tunnel, QWidget* parent)
    : QDialog(parent),
      m_ctx(std::move(context)),
      m_user(std::move(userName)),
      m_sessionId(sessionId),
      m_tunnel(tunnel) {
    setWindowTitle(Q(m_ctx.T(kTextChangePasswordTitle)));
    MakeWhite(this);
    m_old = PasswordEdit(this);
    m_new = PasswordEdit(this);
    m_confirm = PasswordEdit(this);
    auto* grid = new QGridLayout;
    grid->addWidget(new QLabel(m_ctx.Caption(kDialogChangePassword, 1, "Old password:"), this), 0, 0);
    grid->addWidget(m_old, 0, 1);
    grid->addWidget(new QLabel(m_ctx.Caption(kDialogChangePassword, 2, "New password:"), this), 1, 0);
    grid->addWidget(m_new, 1, 1);
    grid->addWidget(new QLabel(m_ctx.Caption(kDialogChangePassword, 3, "Confirm the new password:"), this), 2,
                    0);
    grid->addWidget(m_confirm, 2, 1);
    m_ok = LayOutWithButtons(
        this, grid, m_ctx.Caption(kDialogChangePassword, 4, "OK"),
        m_ctx.Caption(kDialogChangePassword, 5, "Cancel"), [this] { OnOK(); }, [this] { reject(); });
}

void CAlterPassword::OnOK() {
    if (m_done) {
        accept();
        return;
    }
    const std::string oldPassword = m_old->text().toStdString();
    const std::string newPassword = m_new->text().toStdString();
    const std::string confirm = m_confirm->text().toStdString();
    const std::string info = m_ctx.InfoCaption();
    if (oldPassword.empty() || newPassword.empty() || confirm.empty()) {
        m_ctx.Show(kTextPasswordEmpty, info, BoxIcon::kInformation);
        return;
    }
    for (const QLineEdit* edit : {m_old, m_new, m_confirm}) {
        if (Length(edit) < kPasswordMin || Length(edit) > kPasswordMax) {
            m_ctx.Show(kTextPasswordLength, info, BoxIcon::kInformation);
            m_old->clear();
            m_new->clear();
            m_confirm->clear();
            return;
        }
    }
    if (confirm != newPassword) {
        m_ctx.Show(kTextPasswordMismatch, info, BoxIcon::kInformation);
        m_new->clear();
        m_confirm->clear();
        return;
    }
    if (newPassword.front() == ' ' || newPassword.back() == ' ') {
        m_ctx.Show(kTextPasswordBlankEnds, m_ctx.ErrorCaption(), BoxIcon::kError);
        m_new->clear();
        m_confirm->clear();
        return;
    }
    // The passwords stay out of the log.
    TW_LOG(LOG_CLIENT_LOGIN, 3, "[CAlterPassword] change password, session %u, user %s",
           static_cast<unsigned>(m_sessionId), m_user.c_str());
    std::vector<std::uint8_t> request =
        engine::BuildPasswordChangeRequest(m_sessionId, m_user, oldPassword, newPassword);
    if (request.empty()) {
        TW_LOG(LOG_CLIENT_LOGIN, 1, "[CAlterPassword] the request cannot be built");
        return;
    }
    const bool sent = m_tunnel.SendSsrPacketToPeer(request.data(), request.size());
    std::fill(request.begin(), request.end(), 0);
    if (!sent) TW_LOG(LOG_CLIENT_LOGIN, 1, "[CAlterPassword] the request was not sent");
    m_sent = true;
    m_ok->setEnabled(false);
}

void CAlterPassword::OnResetPwdResult(int result, const std::string& text) {
    if (m_done) return;  // a late second answer changes nothing
    if (result == engine::kPasswordChangeSucceeded) {
        m_ctx.Show(kTextPasswordChanged, m_ctx.InfoCaption(), BoxIcon::kInformation);
        m_done = true;
        OnOK();
        return;
    }
    if (m_ctx.prompter)
        m_ctx.prompter->Message(text.empty() ? m_ctx.T(kTextPasswordChangeFailed) : text, m_ctx.InfoCaption(),
                                BoxIcon::kWarning);
    m_ok->setEnabled(true);
}

bool CAlterPassword::event(QEvent* e) {
    if (e->type() == PasswordResultEvent::EventType()) {
        const auto* r = static_cast<PasswordResultEvent*>(e);
        OnResetPwdResult(r->result, r->text);
        return true;
    }
    return QDialog::event(e);
}

PasswordChangeRelay::PasswordChangeRelay(std::string changePasswordTitle, QObject* parent)
    : QObject(parent), m_title(Q(changePasswordTitle)) {}

void PasswordChangeRelay::PasswordChangeResult(int result, const std::string& text) {
    // postEvent is safe from any thread; the event owns its copy of the text.
    auto* event = new PasswordResultEvent(result, text);
    HandOver(event);
    QCoreApplication::postEvent(this, event);
}

bool PasswordChangeRelay::event(QEvent* e) {
    TakeOver(e);
    if (e->type() != PasswordResultEvent::EventType()) return QObject::event(e);
    const auto* r = static_cast<PasswordResultEvent*>(e);
    for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* dialog = qobject_cast<QDialog*>(w);
        auto* alter = dynamic_cast<CAlterPassword*>(dialog);
        if (alter && alter->windowTitle() == m_title) {
            PasswordResultEvent delivered(r->result, r->text);
            QCoreApplication::sendEvent(alter, &delivered);
            return true;
        }
    }
    TW_LOG(LOG_CLIENT_LOGIN, 2, "[PasswordChangeRelay] no change-password window for the answer");
    return true;
}

RelogonIptPswDlg::Reconnect MakeWorkerReconnect(engine::TwWorkerThread& worker) {
    return [&worker](const std::string& password) {
        worker.SetRelogonPassword(password, engine::TW_CLT_STATUS_GW_RELOGON_INIT);
        if (!worker.Relogon()) TW_LOG(LOG_CLIENT_LOGIN, 2, "[RelogonIptPswDlg] a relogon runs already");
    };
}

bool SetStopClientEvent() {
    auto stop = platform::NamedEvent::Open(kStopClientEventName);
    return stop && stop->Set();
}

RelogonIptPswDlg::RelogonIptPswDlg(DialogContext context, std::string userName, Reconnect reconnect,
                                   StopClient stop, QWidget* parent)
    : QDialog(parent),
      m_ctx(std::move(context)),
      m_user(std::move(userName)),
      m_reconnect(std::move(reconnect)),
      m_stop(std::move(stop)) {
    setWindowTitle(m_ctx.Caption(kDialogPasswordAgain, 0, "Password"));
    MakeWhite(this);
    auto* prompt = new QLabel(m_ctx.Caption(kDialogPasswordAgain, 1200,
                                            "The connection was lost. Enter the password to connect again."),
                              this);
    prompt->setWordWrap(true);
    m_server = new QLabel(this);
    auto* user = new QLabel(Q(m_user), this);
    m_password = PasswordEdit(this);
    auto* grid = new QGridLayout;
    grid->addWidget(prompt, 0, 0, 1, 2);
    grid->addWidget(new QLabel(m_ctx.Caption(kDialogPasswordAgain, 1, "Gateway:"), this), 1, 0);
    grid->addWidget(m_server, 1, 1);
    grid->addWidget(new QLabel(m_ctx.Caption(kDialogPasswordAgain, 2, "User name:"), this), 2, 0);
    grid->addWidget(user, 2, 1);
    grid->addWidget(new QLabel(m_ctx.Caption(kDialogPasswordAgain, 3, "Password:"), this), 3, 0);
    grid->addWidget(m_password, 3, 1);
    m_ok = LayOutWithButtons(
        this, grid, m_ctx.Caption(kDialogPasswordAgain, 4, "OK"),
        m_ctx.Caption(kDialogPasswordAgain, 5, "Cancel"), [this] { OnOK(); }, [this] { OnCancel(); });
}

void RelogonIptPswDlg::SetPromptText(const std::string& text) { m_server->setText(Q(text)); }

void RelogonIptPswDlg::OnOK() {
    const std::string password = m_password->text().toStdString();
    if (password.empty()) {
        m_ctx.Show(kTextPasswordEmpty, m_ctx.ErrorCaption(), BoxIcon::kError);
        return;
    }
    if (static_cast<int>(password.size()) > kPasswordMax) {
        m_ctx.Show(kTextPasswordLength, m_ctx.ErrorCaption(), BoxIcon::kError);
        m_password->clear();
        return;
    }
    if (m_setPagePassword) m_setPagePassword(password);
    if (m_reconnect) m_reconnect(password);
    m_ok->setEnabled(false);
    accept();
}

void RelogonIptPswDlg::OnCancel() {
    if (!m_ctx.prompter || !m_ctx.prompter->AskYesNo(m_ctx.T(kTextQuitInsteadOfPassword), m_ctx.InfoCaption(),
                                                     BoxIcon::kInformation))
        return;
    TW_LOG(LOG_CLIENT_LOGIN, 3, "[RelogonIptPswDlg] the user quits instead of entering the password");
    if (m_stop) {
        m_stop();
    } else if (!SetStopClientEvent()) {
        TW_LOG(LOG_CLIENT_LOGIN, 1, "[RelogonIptPswDlg] the stop event is not there");
    }
    QDialog::reject();
}

}  // namespace vorn
