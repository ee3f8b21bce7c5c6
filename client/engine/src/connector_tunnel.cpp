// The tunnel once the TLS session exists: the link's events, the gateway's control messages, the
// send side of control messages, the periodic timer (keep-alive, loss, time limits), the forced
// logoff, and the decision what follows a lost tunnel.
#include <arpa/inet.h>

#include <cstring>
#include <system_error>

#include "connector_text.h"
#include "dailylog/shared_daily_log.h"
#include "engine/qel_connector.h"
#include "wendrel/ssr_codec.h"

namespace engine {

namespace {

constexpr std::size_t kControlBufferSize = 1514;

}  // namespace

void TwQelConnector::OnLinkConnect() {
    m_connected = true;
    m_buffering = true;
    m_logonBuffer.Restart();
    m_sslDisconnect.Reset();
    m_tlsConnect.Set();
}

std::size_t TwQelConnector::OnLinkReceive(const std::uint8_t* data, std::size_t size) {
    if (m_buffering.load()) return m_logonBuffer.Append(data, size);
    return m_dataPath ? m_dataPath->OnDelivery(data, size) : size;
}

void TwQelConnector::OnLinkDisconnect(bool alert, int level, int code, bool closedHere) {
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[SslContentHandlerProc] SslMsg TW_MSG_SSL_DISCONNECT, ssid=%d",
           static_cast<int>(m_sessionId.load()));
    // The end of a session closed here wakes no wait: a later logon's handshake may be waiting
    // already, and this end is not its failure.
    if (!closedHere) m_sslDisconnect.Set();
    m_onlineTimer.Stop();
    if (m_dataPath) m_dataPath->ClearLastTraffic();
    m_alertCode = alert ? (code != 0 ? code : -1) : 0;
    if (alert) {
        char text[128];
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[SslContentHandlerProc] TLS alert %s",
               GetSslAlertText(level, code, text, sizeof text));
    }
    m_connected = false;
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

void TwQelConnector::ResetCompressionBeforeAttach() {
    // Before the handshake: no session delivers to us yet, and the pump of an earlier tunnel is
    // stopped by then (a running one means a session is still in use: left alone). Never from a
    // TLS callback, where the library's session lock is held and the data path's send lock would
    // be taken after it.
    if (!m_dataPath) return;
    std::lock_guard<std::mutex> lock(m_pumpLock);
    if (!m_dataPath->Running()) m_dataPath->ResetCompression();
}

void TwQelConnector::TunnelLost() {
    if (m_destroying.load()) return;
    m_connected = false;
    if (m_logonInProgress.load() != 0) {
        // A logon runs: wait for it in short steps on this queue, never blocking a thread.
        if (m_keeper.ClaimLossDecision()) {
            const std::uint64_t deadline = Now() + m_timing.lossDecisionMs;
            m_timer.Queue([this, deadline] { DecideAfterLoss(deadline); }, m_timing.lossDecisionPollMs);
        }
        return;
    }
    StopRecvAndEventThread();
    if (m_dataPath) {
        std::lock_guard<std::mutex> lock(m_pumpLock);
        m_dataPath->ResetCompression();
    }
    CallOwner(true);
}

void TwQelConnector::DecideAfterLoss(std::uint64_t deadline) {
    if (m_destroying.load()) return;
    if (m_logonInProgress.load() == 0) {
        m_keeper.LossDecided();
        TunnelLost();
        return;
    }
    if (Now() < deadline) {
        m_timer.Queue([this, deadline] { DecideAfterLoss(deadline); }, m_timing.lossDecisionPollMs);
        return;
    }
    m_keeper.LossDecided();
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[SslContentHandlerProc] 2分钟超时后登录流程仍没结束，执行logoff");
    CallOwner(false);
}

int TwQelConnector::SendTunnelBytes(const std::uint8_t* data, std::size_t length, bool more) {
    return m_link ? m_link->Send(data, length, more) : -1;
}

void TwQelConnector::OnGatewayMessage() { m_keeper.Heard(); }

void TwQelConnector::OnTunnelFault(int lastError) {
    ReportError(lastError, "");
    if (m_link) m_link->DisconnectSession();
}

void TwQelConnector::OnControlMessage(const std::uint8_t* message, std::size_t length) {
    if (length < SSR_HEADER_SIZE) return;
    switch (message[1]) {
        case SSR_CODE_MNG_GW_CLT_LOGOFF_ACK:
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[ReceivePacketFromPeer] SSR_CODE_MNG_GW_CLT_LOGOFF_ACK");
            // The gateway's acknowledgement of a logoff the user did not ask for keeps its reason.
            if (const int last = LastError();
                last != TW_ERROR_ADAPTER_CLOSED && last != TW_ERROR_FORCED_LOGOFF)
                ReportError(0, kTextOk);
            break;
        case SSR_CODE_MNG_KEEP_ALIVE_REQUEST:
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[ReceivePacketFromPeer] SSR_CODE_MNG_KEEP_ALIVE_REQUEST");
            // Not from here: this delivery holds the TLS session's lock, and a send takes the data
            // path's send lock, which the pump holds while it waits for the session's. The timer
            // thread holds neither and takes them in the pump's order.
            m_timer.Queue([this] { SendKeepAliveResponse(); }, 0);
            break;
        case SSR_CODE_MNG_KEEP_ALIVE_RESPONSE:
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[ReceivePacketFromPeer] SSR_CODE_MNG_KEEP_ALIVE_RESPONSE");
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
    if (!m_link || !m_link->HasSession() || !m_dataPath) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[SendSsrPacketToPeer] SslApi or SslSession Error.");
        return;
    }
    m_dataPath->SendControl(message, length);
    TW_LOG(LOG_CLIENT_LOGIN, 5, "[SendSsrPacketToPeer] after Send packet to remote peer through SSL tunnel.");
}

void TwQelConnector::SendKeepAliveRequest() {
    if (m_status.load() != TW_CLT_STATUS_GW_CERTIFIED) {
        TW_LOG(LOG_CLIENT_LOGIN, 5, "SendKeepAliveRequest, m_Status != TW_CLT_STATUS_GW_CERTIFIED, %d\n",
               m_status.load());
        return;
    }
    std::uint8_t buffer[kControlBufferSize];
    short size = sizeof buffer;
    if (ssr_ConstructKeepAliveRequest(buffer, &size) != SSR_SUCCESS) return;
    TW_LOG(LOG_CLIENT_LOGIN, 5, "[SendKeepAliveRequest] SendKeepAliveRequest.");
    SendSsrPacketToPeer(buffer, static_cast<std::size_t>(size));
}

void TwQelConnector::SendKeepAliveResponse() {
    if (m_status.load() != TW_CLT_STATUS_GW_CERTIFIED) {
        TW_LOG(LOG_CLIENT_LOGIN, 5, "SendKeepAliveResponse, m_Status != TW_CLT_STATUS_GW_CERTIFIED, %d\n",
               m_status.load());
        return;
    }
    std::uint8_t buffer[kControlBufferSize];
    short size = sizeof buffer;
    if (ssr_ConstructKeepAliveResponse(buffer, &size) != SSR_SUCCESS) return;
    SendSsrPacketToPeer(buffer, static_cast<std::size_t>(size));
}

void TwQelConnector::Logoff() {
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwQelConnector::Logoff] enter");
    Ui(UI_CODE_PROGRESS_TEXT, kTxtLogoff);
    m_webLogon = false;
    std::uint8_t buffer[SSR_HEADER_SIZE];
    short size = 0;
    if (ssr_ConstructCltLogoffNotification(nullptr, &size) != SSR_BUFFER_TOO_SMALL) return;
    if (m_link && m_link->HasSession() && size <= static_cast<short>(sizeof buffer) &&
        ssr_ConstructCltLogoffNotification(buffer, &size) == SSR_SUCCESS) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwQelConnector::Logoff] Send Logoff message to gateway");
        SendSsrPacketToPeer(buffer, static_cast<std::size_t>(size));
    }
    if (m_dataPath) m_dataPath->ResetTotals();
    m_ui.TrayBalloon(m_ui.LanguageText(kTxtOfflineTitle), m_ui.LanguageText(kTxtOffline));
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwQelConnector::Logoff] return");
}

void TwQelConnector::Disconnect() {
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[Disconnect] Disconnect m_hSslSession");
    if (m_link && m_link->HasSession()) m_link->DisconnectSession();
}

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
    const TwTunnelKeeper::KeepAlive keepAlive = m_keeper.Check();
    if (keepAlive == TwTunnelKeeper::KeepAlive::kLost) {
        if (m_link->HasSession()) {
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
    if (maxOnline != 0 && m_onlineTimer.GetOnlineSeconds() > maxOnline) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[TimerRoutine] Reach max online time, %lld",
               static_cast<long long>(maxOnline));
        reason = "online";
        textId = kTxtMaxOnline;
    } else if (maxIdle != 0 && m_dataPath) {
        const std::uint64_t last = m_dataPath->LastTrafficMs();
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
    m_keeper.StartCutLogoff([this] { CutLogoffThread(); });
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
        session.virtualIp = htonl(m_results.virtualIp);
        session.mask = htonl(m_results.mask);
        session.dns1 = htonl(m_results.dns1);
        session.dns2 = htonl(m_results.dns2);
        session.wins1 = htonl(m_results.wins1);
        session.wins2 = htonl(m_results.wins2);
    }
    session.probeResource = htonl(m_adapter->ResourceProbeAddress());
    session.probeVirtual = htonl(m_adapter->NextHopProbeAddress());
    std::lock_guard<std::mutex> lock(m_pumpLock);
    m_dataPath->Stop();
    if (m_ownPort) {
        void* handle = nullptr;
        if (m_driver->GetAdapterHandleByMacAddress(kVirtualAdapterMac, &handle))
            m_ownPort->SetAdapter(handle);
    }
    m_dataPath->Configure(session);
    m_dataPath->SetCompression(m_useZlib);
    if (!m_dataPath->Start())
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[StartReceiveThread] the receive thread did not start");
}

}  // namespace engine
