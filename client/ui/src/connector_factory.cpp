// Until the tunnel's connector is part of the build, the client runs with a connector that has
// no tunnel: every logon reports that it cannot be made and ends offline. Replace the body of
// CreateConnector with the real connector's construction to wire it in.
#include "vorn/connector_factory.h"

#include <mutex>

namespace vorn {

namespace {

class UnwiredConnector final : public engine::ConnectorControl {
public:
    explicit UnwiredConnector(engine::UiSink& ui) : m_ui(ui) {}

    bool Initialize() override { return true; }
    int Status() override { return m_status.load(); }
    void SetStatus(int status) override { m_status = status; }
    std::atomic<int>& LogonInProgress() override { return m_logon; }
    std::atomic<int>& LogoffInProgress() override { return m_logoff; }
    platform::Event& WaitLogonEvent() override { return m_waitLogon; }
    platform::Event& LogonDoneEvent() override { return m_logonDone; }
    platform::Event* AdapterCloseEvent() override { return nullptr; }

    bool LogonUserToDomain(const std::string&, const std::string&, const std::string&, bool relogon,
                           bool) override {
        m_ui.Callback(engine::UI_CODE_PROGRESS_TEXT, m_ui.LanguageText(219));
        m_ui.Callback(engine::UPDATE_STATUS_CAN_CANCEL, "");
        m_lastError = 1;
        if (!relogon) {
            m_ui.Callback(engine::UI_CODE_MESSAGE,
                          "This build has no tunnel connector; no logon can be made.");
            m_ui.Callback(engine::UPDATE_STATUS_OFFLINE, "");
        }
        return false;
    }
    int LastError() override { return m_lastError.load(); }
    std::string LastErrorText() override { return "no tunnel connector in this build"; }
    bool LastFailureFinal() override { return true; }
    bool InformUpdate() override { return m_informUpdate.load(); }
    void SetInformUpdate(bool on) override { m_informUpdate = on; }
    void SetWebLogonMode(bool) override {}
    void SetPassword(const std::string&) override {}
    engine::SavedLogon SavedLogonParameters() override { return {}; }
    engine::ConnectorSession Session() override { return {}; }
    void SetErrorMessageBoxes(bool) override {}
    void SetArpAnswering(bool) override {}
    bool DataPathActive() override { return false; }
    void SetDataPathActive(bool) override {}
    void SetRelogonFinished(bool) override {}
    void CommitPendingLoggedOn() override {}
    void StopRecvAndEventThread() override {}
    void StopRouteCheckThread() override {}
    void CloseCaptureDevice() override {}
    void Logoff() override {}
    void Disconnect() override {}
    void LogoffConfigAdapter(bool) override {}
    void LogoffRecoverAdapterRoute(bool) override {}
    void ClearAddressConfigured() override {}
    void ForgetSession() override {}
    void ChangeMediaStatus(bool) override {}
    void BindAdaptersList() override {}
    void PrintSystemRouteTable() override {}

private:
    engine::UiSink& m_ui;
    std::atomic<int> m_status{engine::TW_CLT_STATUS_OFFLINE}, m_logon{0}, m_logoff{0}, m_lastError{0};
    std::atomic<bool> m_informUpdate{false};
    platform::Event m_waitLogon{true, false}, m_logonDone{true, false};
};

}  // namespace

std::unique_ptr<engine::ConnectorControl> CreateConnector(engine::UiSink& ui, const engine::EngineTiming&) {
    return std::make_unique<UnwiredConnector>(ui);
}

}  // namespace vorn
