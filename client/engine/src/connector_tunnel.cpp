// The tunnel once the TLS session exists, on the connector's side: what the tunnel session hands up
// (the end of the link, the gateway's management messages), the periodic timer (keep-alive, loss,
// time limits), the forced logoff, and the decision what follows a lost tunnel.
#include <arpa/inet.h>

#include <cstring>
#include <system_error>

#include "connector_text.h"
#include "dailylog/shared_daily_log.h"
#include "engine/qel_connector.h"
#include "wendrel/ssr_codec.h"

namespace engine {

void TwQelConnector::OnSessionDown() {
    if (m_status.load() != TW_CLT_STATUS_GW_CERTIFIED) return;
    if (m_logoffInProgress.load() != 0) {
        m_status = TW_CLT_STATUS_TUNNEL_LOST;
        m_waitLogon.Set();
        return;
    }
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[SslContentHandlerProc] Disconnected by Gateway, do relogon");
    m_status = TW_CLT_STATUS_TUNNEL_LOST;
    // Not here: this runs inside the TLS library's locks, where the pump may be waiting to send.
    // The connector's timer thread stops the pump and hands the decision to the worker.
    m_timer.Queue([this] { TunnelLost(); }, 0);
}

void TwQelConnector::TunnelLost() {
    if (m_destroying.load()) return;
    m_session->SetDisconnected();
    if (m_logonInProgress.load() != 0) {
        // A logon runs: wait for it in short steps on this queue, never blocking a thread.
        if (m_session->Keeper().ClaimLossDecision()) {
            const std::uint64_t deadline = Now() + m_timing.lossDecisionMs;
            m_timer.Queue([this, deadline] { DecideAfterLoss(deadline); }, m_timing.lossDecisionPollMs);
        }
        return;
    }
    StopRecvAndEventThread();
    m_session->ResetCompression();
    CallOwner(true);
}

void TwQelConnector::DecideAfterLoss(std::uint64_t deadline) {
    if (m_destroying.load()) return;
    if (m_logonInProgress.load() == 0) {
        m_session->Keeper().LossDecided();
        TunnelLost();
        return;
    }
    if (Now() < deadline) {
        m_timer.Queue([this, deadline] { DecideAfterLoss(deadline); }, m_timing.lossDecisionPollMs);
        return;
    }
    m_session->Keeper().LossDecided();
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[SslContentHandlerProc] 2分钟超时后登录流程仍没结束，执行logoff");
    CallOwner(false);
}

void TwQelConnector::OnManagementMessage(const std::uint8_t* message, std::size_t length) {
    switch (message[1]) {
        case SSR_CODE_MNG_GW_CLT_LOGOFF_ACK:
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[ReceivePacketFromPeer] SSR_CODE_MNG_GW_CLT_LOGOFF_ACK");
            // The gateway's acknowledgement of a logoff the user did not ask for keeps its reason.
            if (const int last = LastError();
                last != TW_ERROR_ADAPTER_CLOSED && last != TW_ERROR_FORCED_LOGOFF)
                ReportError(0, kTextOk);
            break;
        case SSR_CODE_MNG_CUT_CLT_LOGOFF: {
            char text[SSR_ERROR_TEXT_BUFFER_SIZE] = {};
            std::uint32_t error = 0;
            int size = static_cast<int>(length);
            if (ssr_ExtractSvrCutCltLogoff(message, &size, &error, text) != SSR_SUCCESS) text[0] = '\0';
            const std::string shown = GatewayText(text, 511);
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[ReceivePacketFromPeer] CutOffErrorMsg = %s", shown.c_str());
            UiText(UI_CODE_MESSAGE, shown);
            m_status = TW_CLT_STATUS_TUNNEL_LOST;
            StartCutLogoff();
            break;
        }
        case SSR_CODE_MNG_SVR_CLT_RESET_PWD_ACK: {
            char text[SSR_ERROR_TEXT_BUFFER_SIZE] = {};
            std::uint32_t error = 0, value = 0;
            int size = static_cast<int>(length);
            const int rc = ssr_ExtractSvrCltResetPwdAck(message, &size, &error, &value, text);
            const std::string answer = GatewayText(text, 511);
            if (rc != SSR_SUCCESS) {
                TW_LOG(LOG_CLIENT_LOGIN, 4, "[ReceivePacketFromPeer] ExtractCltResetPwdAck failed,return%d",
                       rc);
                break;
            }
            if (error == 0) {
                TW_LOG(LOG_CLIENT_LOGIN, 4, "[ReceivePacketFromPeer] 修改密码success");
            } else {
                TW_LOG(LOG_CLIENT_LOGIN, 4, "[ReceivePacketFromPeer] 修改密码失败errorcode=%d,errormsg=%s",
                       static_cast<int>(error), answer.c_str());
            }
            {
                // Kept here, so the dialog reads a text that outlives this delivery.
                std::lock_guard<std::mutex> lock(m_passwordLock);
                m_passwordText = answer;
            }
            m_passwordResult = error == 0 ? 1 : 2;
            if (m_deps.passwordChanged) m_deps.passwordChanged(error == 0 ? 1 : 2, answer);
            break;
        }
        default:
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[ReceivePacketFromPeer] Unknown SsrHdr.code = %d", message[1]);
            break;
    }
}

bool TwQelConnector::MapSessionToProcess(BYTE protocol, DWORD localAddress, WORD localPort,
                                         std::string* module) {
    TW_SESSION_OWNER_QUERY query;
    query.protocol = protocol;
    query.localAddress = localAddress;
    query.localPort = localPort;
    if (!engine::MapSessionToProcess(&query)) return false;
    *module = query.module;
    return true;
}

void TwQelConnector::SendToGateway(const std::uint8_t* message, std::size_t length) {
    SendSsrPacketToPeer(message, length);
}

void TwQelConnector::SendSsrPacketToPeer(const std::uint8_t* message, std::size_t length) {
    m_session->SendControl(message, length);
}

void TwQelConnector::SendKeepAliveRequest() { m_session->SendKeepAliveRequest(); }

void TwQelConnector::SendKeepAliveResponse() { m_session->SendKeepAliveResponse(); }

void TwQelConnector::Logoff() {
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwQelConnector::Logoff] enter");
    Ui(UI_CODE_PROGRESS_TEXT, kTxtLogoff);
    m_webLogon = false;
    std::uint8_t buffer[SSR_HEADER_SIZE];
    short size = 0;
    if (ssr_ConstructCltLogoffNotification(nullptr, &size) != SSR_BUFFER_TOO_SMALL) return;
    if (m_session->Link() && m_session->Link()->HasSession() && size <= static_cast<short>(sizeof buffer) &&
        ssr_ConstructCltLogoffNotification(buffer, &size) == SSR_SUCCESS) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwQelConnector::Logoff] Send Logoff message to gateway");
        SendSsrPacketToPeer(buffer, static_cast<std::size_t>(size));
    }
    if (TunnelDataPath* path = m_session->DataPath()) path->ResetTotals();
    m_ui.TrayBalloon(m_ui.LanguageText(kTxtOfflineTitle), m_ui.LanguageText(kTxtOffline));
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwQelConnector::Logoff] return");
}

void TwQelConnector::Disconnect() { m_session->Disconnect(); }

void TwQelConnector::QueueTimer() {
    m_timer.Queue(
        [this] {
            if (!m_timerRunning.load()) return;
            TimerRoutine();
            QueueTimer();
        },
        m_timing.timerPeriodMs);
}

void TwQelConnector::TimerRoutine() {
    if (m_status.load() != TW_CLT_STATUS_GW_CERTIFIED || m_logoffInProgress.load() != 0) return;
    const TwTunnelKeeper::KeepAlive keepAlive = m_session->Keeper().Check();
    if (keepAlive == TwTunnelKeeper::KeepAlive::kLost) {
        if (m_session->Link()->HasSession()) {
            Disconnect();  // the disconnect event starts the relogon
        } else {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[TimerRoutine] m_hSslSession == null, relogon");
            m_status = TW_CLT_STATUS_TUNNEL_LOST;
            TunnelLost();
        }
        return;
    }
    if (keepAlive == TwTunnelKeeper::KeepAlive::kSendRequest) SendKeepAliveRequest();
    const std::uint64_t now = Now();
    const std::uint32_t maxOnline = m_policy.MaxOnlineTime().load();
    const std::uint32_t maxIdle = m_policy.MaxIdleTime().load();
    const char* reason = nullptr;
    int textId = 0;
    if (maxOnline != 0 && m_session->OnlineClock().GetOnlineSeconds() > maxOnline) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[TimerRoutine] Reach max online time, %lld",
               static_cast<long long>(maxOnline));
        reason = "online";
        textId = kTxtMaxOnline;
    } else if (TunnelDataPath* path = m_session->DataPath(); maxIdle != 0 && path != nullptr) {
        const std::uint64_t last = path->LastTrafficMs();
        if (last != 0 && now > last + std::uint64_t{maxIdle} * 1000) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[TimerRoutine] Reach max idle time, %lld",
                   static_cast<long long>(maxIdle));
            reason = "idle";
            textId = kTxtMaxIdle;
        }
    }
    if (reason == nullptr) return;
    m_policy.MaxOnlineTime() = 0;
    m_policy.MaxIdleTime() = 0;
    ReportError(TW_ERROR_FORCED_LOGOFF, m_ui.LanguageText(textId).c_str());
    CallOwner(false);
    // Shown by the GUI's thread: the timer thread never waits for the user.
    Ui(UI_CODE_MESSAGE, textId);
}

void TwQelConnector::StartCutLogoff() {
    if (m_destroying.load()) return;
    m_session->Keeper().StartCutLogoff([this] { CutLogoffThread(); });
}

void TwQelConnector::CutLogoffThread() {
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[CutLogoffThread] enter");
    for (DWORD i = 0; i < m_timing.logoffLogonPolls && m_logonInProgress.load() != 0 && !m_destroying.load();
         ++i)
        m_sleeper.Wait(m_timing.logoffLogonPollMs, m_clock);
    m_status = TW_CLT_STATUS_TUNNEL_LOST;
    if (!TakeGuard(m_logoffInProgress)) return;
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[CutLogoffThread] SSR_CODE_MNG_CUT_CLT_LOGOFF,没在退出,可强制下线");
    m_ui.TrayBalloon(m_ui.LanguageText(kTxtResourcePage), m_ui.LanguageText(kTxtCutOff));
    Disconnect();
    LogoffConfigAdapter(false);
    Ui(UI_CODE_CLEAN_CACHE);
    m_status = TW_CLT_STATUS_OFFLINE;
    m_logonDone.Reset();
    Ui(UPDATE_STATUS_OFFLINE);
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[CutLogoffThread] 状态切为UPDATE_STATUS_OFFLINE");
    Ui(UI_CODE_SWITCH_TO_CLIENT_LOGON);
    m_ui.TrayBalloon(m_ui.LanguageText(kTxtOfflineTitle), m_ui.LanguageText(kTxtCutOff));
    m_logoffInProgress = 0;
    // The gateway ended the session: that is its reason, not "done".
    ReportError(TW_ERROR_FORCED_LOGOFF, m_ui.LanguageText(kTxtCutOff).c_str());
}

void TwQelConnector::StartReceiveThread() {
    DataPathSession session;
    {
        std::lock_guard<std::mutex> lock(m_paramLock);
        static_cast<SessionAddresses&>(session) = m_results;
    }
    // The data path compares them with the frames' own: network order.
    for (DWORD* a :
         {&session.virtualIp, &session.mask, &session.dns1, &session.dns2, &session.wins1, &session.wins2})
        *a = htonl(*a);
    session.probeResource = htonl(m_adapter->ResourceProbeAddress());
    session.probeVirtual = htonl(m_adapter->NextHopProbeAddress());
    m_session->StartPump(session, m_useZlib, [this] {
        void* handle = nullptr;
        if (m_ownPort && m_driver->GetAdapterHandleByMacAddress(kVirtualAdapterMac, &handle))
            m_ownPort->SetAdapter(handle);
    });
}

}  // namespace engine
