#include "vorn/logon_update_check.h"

#include <QApplication>

#include "dailylog/shared_daily_log.h"
#include "platform/named_objects.h"
#include "vorn/main_dialog.h"
#include "vorn/ui_bridge.h"

namespace vorn {

namespace {

constexpr int kUpdateCaption = 235;
constexpr int kUpdateRunning = 156;
constexpr const char* kUpdateTips = "Update tips";

}  // namespace

LogonUpdateCheck::LogonUpdateCheck(UiBridge& bridge, const TextSource& texts, ClientUpdateTiming timing,
                                   std::string programDir, const platform::Clock& clock)
    : m_bridge(bridge), m_texts(texts), m_programDir(std::move(programDir)), m_check(*this, timing, clock) {}

LogonUpdateCheck::~LogonUpdateCheck() = default;

bool LogonUpdateCheck::Check(TwLogonVpn& dialog) {
    if (TwClientUpdateCheck::UpdateProgramRunning(m_programDir)) {
        // Said, not only logged: a logon that silently does nothing looks like a broken client.
        TW_LOG(LOG_CLIENT_LOGIN, 2, "[SSLClientCheckUpdate] an update program runs, no logon");
        m_bridge.MessageBox(m_texts.Text(kUpdateRunning), m_texts.Text(kUpdateCaption),
                            engine::UiBox::kInformation);
        return false;
    }
    ClientUpdateRequest request;
    request.server = dialog.ServerAddr();
    request.port = static_cast<unsigned short>(dialog.ServerPort());
    request.version = dialog.Version();
    request.programDir = m_programDir;
    request.clientArgs = dialog.RestartArguments(&request.password);

    m_dialog = &dialog;
    m_cancel = false;
    dialog.BeginUpdateCheck();
    int result = 0;
    const bool goOn = m_check.Run(request, m_cancel, &result);
    dialog.EndUpdateCheck();
    m_dialog = nullptr;
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[SSLClientCheckUpdate] result %d", result);
    // A refused required update also ends web logon mode: the next OK is a logon of the client's own.
    if (m_check.RequiredUpdateRefused()) dialog.LeaveWebLogonMode();
    if (result == 1) {
        // The update program runs and restarts the client; this one ends through its watchdog.
        if (auto stop = platform::NamedEvent::Open(kStopClientEvent)) stop->Set();
        return false;
    }
    return goOn;
}

void LogonUpdateCheck::ShowCheckText(int stringId) {
    m_bridge.Callback(engine::UI_CODE_PROGRESS_TEXT, m_texts.Text(stringId));
}

bool LogonUpdateCheck::AskYesNo(int stringId) {
    return m_bridge.Ask(m_texts.Text(stringId), CaptionFor(stringId), BoxIcon::kInformation);
}

void LogonUpdateCheck::ShowMessage(int stringId) {
    m_bridge.MessageBox(m_texts.Text(stringId), CaptionFor(stringId), engine::UiBox::kInformation);
}

std::string LogonUpdateCheck::CaptionFor(int stringId) const {
    return stringId == 234 || stringId == 230 ? std::string(kUpdateTips) : m_texts.Text(kUpdateCaption);
}

void LogonUpdateCheck::Pump() {
    QApplication::processEvents(QEventLoop::AllEvents);
    if (!m_dialog) return;
    const platform::Event* cancel = m_dialog->CancelLogonEvent();
    if ((cancel && cancel->IsSet()) || m_dialog->Quitting()) m_cancel = true;
}

}  // namespace vorn
