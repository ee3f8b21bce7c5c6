// The update check before a logon (SSLClientCheckUpdate), over the update library's
// TwClientUpdateCheck: the dialog is cancellable while it runs and shows the check's progress;
// the check thread's texts, questions and boxes reach the UI thread through the bridge while the
// UI thread pumps. A cancel of the logon (the dialog's cancel event, a quit) is seen at the next
// pump and stops the check at its next step. An accepted update starts the update program and
// ends the client through the stop event.
//
// Lifetime: made before the dialog and kept until after it, so that a check left behind after
// its time limit ends (and is joined) with this object; the cancel flag lives as long.
//
// UI thread only.
#pragma once
#include <atomic>
#include <string>

#include "glimrow/client_update_check.h"
#include "platform/clock.h"
#include "vorn/text_source.h"

namespace vorn {

class TwLogonVpn;
class UiBridge;

class LogonUpdateCheck final : private ClientUpdateUi {
public:
    // `programDir` holds "UpdateList.txt" and the update program.
    LogonUpdateCheck(UiBridge& bridge, const TextSource& texts, ClientUpdateTiming timing,
                     std::string programDir, const platform::Clock& clock = platform::SystemClock());
    ~LogonUpdateCheck() override;
    LogonUpdateCheck(const LogonUpdateCheck&) = delete;
    LogonUpdateCheck& operator=(const LogonUpdateCheck&) = delete;

    // true: the logon goes on. false: no logon now (an update program runs or was started, the
    // update was refused, or the logon was cancelled).
    bool Check(TwLogonVpn& dialog);

private:
    void ShowCheckText(int stringId) override;
    bool AskYesNo(int stringId) override;
    void ShowMessage(int stringId) override;
    void Pump() override;
    std::string CaptionFor(int stringId) const;

    UiBridge& m_bridge;
    const TextSource& m_texts;
    const std::string m_programDir;
    std::atomic<bool> m_cancel{false};
    TwLogonVpn* m_dialog = nullptr;  // while Check runs
    TwClientUpdateCheck m_check;     // last: its thread goes before the flag it reads
};

}  // namespace vorn
