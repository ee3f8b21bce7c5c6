// The logon sequence: parameters, gateway connection, TLS, SSR logon, registration, adapter
// configuration, online.
#include <arpa/inet.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "platform/client_settings.h"
#include "connector_text.h"
#include "gateway_dialer.h"
#include "dailylog/shared_daily_log.h"
#include "engine/qel_connector.h"
#include "platform/process.h"

namespace engine {

// Shown when the driver does not hand the packet ring to this client (another program has it).
constexpr const char* kRingRefusedText =
    "The virtual adapter's packet channel is in use by another program or user; the logon was ended. "
    "Close the other client and log on again.";

namespace {

const char* OutcomeName(int outcome) {
    switch (outcome) {
        case QEL_CLIENT_OR_WEB_LOGON_OK: return "QEL_CLIENT_OR_WEB_LOGON_OK";
        case QEL_CLIENT_RELOGON_PASSWORD_OK_FINDIP: return "QEL_CLIENT_RELOGON_PASSWORD_OK_FINDIP";
        case QEL_CLIENT_RELOGON_PASSWORD_OK_NOT_FINDIP: return "QEL_CLIENT_RELOGON_PASSWORD_OK_NOT_FINDIP";
        case QEL_WEB_RELOGON_SESSION_OK: return "QEL_WEB_RELOGON_SESSION_OK";
        case QEL_WEB_RELOGON_SESSION_NOT_OK: return "QEL_WEB_RELOGON_SESSION_NOT_OK";
        default: return "?";
    }
}

void CloseSocket(int* fd) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
}

}  // namespace

bool TwQelConnector::AdapterConfigFailed() {
    // The adapter's steps set their own reason where they have one; none may stay "done".
    if (LastError() == 0) ReportError(TW_ERROR_ADAPTER_CONFIG, kTextAdapterConfigFailed);
    return false;
}

AdapterLogonResults TwQelConnector::AdapterResults() {
    AdapterLogonResults r;
    const GatewayProxy proxy = m_dialer->CurrentProxy();
    {
        std::lock_guard<std::mutex> lock(m_paramLock);
        static_cast<SessionAddresses&>(r) = m_results;
        r.hasRouteList = true;
        r.routes = m_results.routes;
        r.cipherSelector = static_cast<DWORD>(m_results.cipherSelector);
        if (proxy.on) {
            r.pinnedHosts.push_back(proxy.address);
            const DWORD server = m_serverAddress.load();
            if (server != 0 && server != 0xFFFFFFFFu) r.pinnedHosts.push_back(server);
        }
    }
    std::string text;
    WORD port = 0;
    if (m_session->Link()->PeerAddress(&text, &port)) {
        r.gatewayText = text;
        in_addr a{};
        if (inet_pton(AF_INET, text.c_str(), &a) == 1) r.peerAddress = ntohl(a.s_addr);
        std::lock_guard<std::mutex> lock(m_paramLock);
        m_results.gatewayText = text;
    }
    if (m_session->Link()->LocalAddress(&text, &port)) {
        in_addr a{};
        if (inet_pton(AF_INET, text.c_str(), &a) == 1) r.localAddress = ntohl(a.s_addr);
    }
    r.masterKey = m_session->Link()->MasterKey();
    return r;
}

bool TwQelConnector::InformUpdateOnly() {
    ReportError(0, kTextOk);
    m_waitLogon.Reset();
    if (!WaitPreviousSessionClosed()) return false;
    m_session->ResetLinkEvents();
    m_status = TW_CLT_STATUS_OFFLINE;
    m_session->Link()->SetCancelEvent(&m_waitLogon);
    int fd = -1;
    if (!LogonHandleTcpConnection(false, &fd)) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonUserToDomain] LogonHandleTcpConnection失败");
        return false;
    }
    Ui(UI_CODE_PROGRESS_TEXT, kTxtTls);
    if (!LogonHandleSslConnection(fd, false)) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonUserToDomain] LogonHandleSslConnection失败");
        return false;
    }
    InformServerSetUpdateStatus();
    m_logoffInProgress = 0;
    Ui(UI_CODE_PROGRESS_TEXT, kTxtInformed);
    Ui(UPDATE_STATUS_OFFLINE);
    Disconnect();
    return true;
}

bool TwQelConnector::LogonUserToDomain(const std::string& user, const std::string& password,
                                       const std::string& domain, bool relogon, bool hardIdLogon) {
    const bool fresh = !relogon;
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonUserToDomain] 开始登录SSLVPN网关");
    Ui(UI_CODE_PROGRESS_TEXT, kTxtLogonStart);
    Ui(UPDATE_STATUS_CAN_CANCEL);
    SetFinal(false);
    if (fresh) PrintSystemRouteTable();
    m_logonDone.Reset();
    if (TunnelDataPath* path = m_session->DataPath()) path->ClearLastTraffic();
    if (fresh) {
        // Each session the user starts is timed on its own; a relogon continues the count.
        m_session->OnlineClock().Reset();
        if (!LogonInitParameters(user, password, domain)) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonUserToDomain] LogonInitParameters失败");
            return false;
        }
        if (m_webLogon.load() && m_informUpdate.load()) return InformUpdateOnly();
        if (!m_adapter->LogonInitAdapter()) return false;
    } else {
        std::string server;
        {
            std::lock_guard<std::mutex> lock(m_paramLock);
            server = m_serverName;
        }
        const DWORD address = ResolveAddress(server.c_str());
        if (address != 0xFFFFFFFFu) m_serverAddress = address;
    }
    ReportError(0, "");
    m_waitLogon.Reset();
    // The end of the previous session comes first, so that its disconnect cannot be taken for a
    // failure of the new handshake.
    if (!WaitPreviousSessionClosed()) {
        ReportError(kErrCancelled, kTextCancelled);
        if (fresh) Ui(UPDATE_STATUS_OFFLINE);
        return false;
    }
    m_session->ResetLinkEvents();
    m_status = fresh ? TW_CLT_STATUS_OFFLINE : TW_CLT_STATUS_GW_RELOGON_INIT;
    m_session->Link()->SetCancelEvent(&m_waitLogon);
    Ui(UI_CODE_PROGRESS_TEXT, kTxtCreateSocket);

    int fd = -1;
    if (!LogonHandleTcpConnection(relogon, &fd)) {
        if (fresh) Ui(UPDATE_STATUS_OFFLINE);
        return false;
    }
    Ui(UI_CODE_PROGRESS_TEXT, kTxtTls);
    const int tls = LogonHandleSslConnection(fd, relogon);
    fd = -1;  // the link owns it now, or closed it
    if (!tls) {
        if (fresh) Ui(UPDATE_STATUS_OFFLINE);
        CloseSocket(&fd);
        return false;
    }
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonUserToDomain] SSL协商成功");
    Ui(UI_CODE_PROGRESS_TEXT, kTxtTlsOk);
    if (!AuthenticateAndRegister(relogon, hardIdLogon)) return false;
    return FinishOnline(relogon);
}

// The SSR logon and, where the gateway asks for it, the registration with a certificate.
bool TwQelConnector::AuthenticateAndRegister(bool relogon, bool hardIdLogon) {
    m_logonStatus = -1;
    const SsrAuth auth = LogonHandleSsrAuth(relogon, hardIdLogon);
    if (auth == SsrAuth::kFailed) {
        EndFailedLogon(relogon);
        return false;
    }
    if (auth == SsrAuth::kRetryLater) {
        m_status = TW_CLT_STATUS_GW_RELOGON_INIT;
        Disconnect();
        return false;
    }
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonUserToDomain] Logon Server Success.");
    Ui(UI_CODE_PROGRESS_TEXT, kTxtServerOk);
    bool registration = false;
    {
        std::lock_guard<std::mutex> lock(m_paramLock);
        registration = relogon ? m_results.registerRelogon : m_results.registerFresh;
    }
    if (registration && m_logonStatus.load() != QEL_WEB_RELOGON_SESSION_NOT_OK &&
        !LogonHandleCertAuth(relogon)) {
        EndFailedLogon(relogon);
        return false;
    }
    return true;
}

void TwQelConnector::EndFailedLogon(bool relogon) {
    if (relogon) {
        LogoffConfigAdapter(false);
        Ui(UI_CODE_CLEAN_CACHE);
    }
    m_status = TW_CLT_STATUS_OFFLINE;
    Ui(UPDATE_STATUS_OFFLINE);
    Disconnect();
}

// The adapter's steps for the logon's outcome; false: the logon fails (reported).
bool TwQelConnector::ConfigureAdapter(int outcome, bool relogon) {
    switch (outcome) {
        case QEL_CLIENT_OR_WEB_LOGON_OK:
            m_adapter->SaveSystemRouteToFile(relogon);
            if (!m_adapter->LogonConfigAdapter(false)) return AdapterConfigFailed();
            break;
        case QEL_CLIENT_RELOGON_PASSWORD_OK_FINDIP:
            m_adapter->SaveSystemRouteToFile(relogon);
            if (m_adapter->ExistResRoute()) {
                m_driver->StartShare();
                // The relogon reopened the device, and the session the driver bound to the closed
                // handle ended with it: connecting the media again claims it for this one, without
                // which the driver keeps nothing the adapter sends.
                m_adapter->ChangeMediaStatus(1);
                m_switches.arpAnswering = true;
                StartReceiveThread();
            } else {
                TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonUserToDomain] m_bExistResRoute %s So Need Add Route",
                       "false");
                if (!m_adapter->LogonConfigAdapter(true)) return AdapterConfigFailed();
            }
            break;
        case QEL_CLIENT_RELOGON_PASSWORD_OK_NOT_FINDIP:
            m_adapter->LogoffConfigAdapter(true);
            m_adapter->ChangeMediaStatus(0);
            PrintSystemRouteTable();
            m_adapter->SaveSystemRouteToFile(relogon);
            if (!m_adapter->LogonConfigAdapter(true)) return AdapterConfigFailed();
            break;
        case QEL_WEB_RELOGON_SESSION_OK:
            m_adapter->SaveSystemRouteToFile(relogon);
            StartReceiveThread();
            break;
        default:
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonUserToDomain] m_LogonStatus:%d Error Error!!!!!!!", outcome);
            return false;
    }
    return true;
}

bool TwQelConnector::FinishOnline(bool relogon) {
    const int outcome = m_logonStatus.load();
    Ui(UPDATE_STATUS_CANNOT_CANCEL);
    Ui(UI_CODE_PROGRESS_TEXT, kTxtRegistered);
    if (m_settings->OpenKey(m_key) == platform::kErrorSuccess)
        m_settings->SetDword(m_key, platform::client_settings::kSessionId, m_sessionId.load());
    m_session->Keeper().Online();
    m_status = TW_CLT_STATUS_GW_CERTIFIED;
    m_online.Set();
    m_session->EndLogonBuffering();
    m_driver->OpenFilterHandler();
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonUserToDomain] %s sessiond %d", OutcomeName(outcome),
           static_cast<int>(m_sessionId.load()));
    // A browser session the gateway no longer knows: the session id was stored and the status
    // was online for a moment, as for every answered logon, before the user is asked to log on
    // with a password. The status leaves online before the session is closed, so that its end
    // is not taken for a lost tunnel.
    if (outcome == QEL_WEB_RELOGON_SESSION_NOT_OK) {
        m_status = relogon ? TW_CLT_STATUS_GW_RELOGON_INIT : TW_CLT_STATUS_OFFLINE;
        Disconnect();
        if (!relogon) Ui(UPDATE_STATUS_OFFLINE);
        m_webLogon = false;
        Ui(UI_CODE_SWITCH_TO_CLIENT_LOGON);
        UiText(UI_CODE_NEED_PASSWORD, "Need input password");
        return false;
    }
    // Without the driver's ring the tunnel carries nothing, and the ring may be another user's:
    // the session's frames must never go there, so the logon ends before the adapter is touched.
    if (outcome != QEL_WEB_RELOGON_SESSION_OK && m_driver->StartShare() != 1) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonUserToDomain] StartShare fail: the packet ring is not ours.");
        CallOwner(false);
        UiText(UI_CODE_MESSAGE, kRingRefusedText);
        return false;
    }
    m_adapter->SetLogonResults(AdapterResults(), relogon);
    if (!ConfigureAdapter(outcome, relogon)) return false;
    if (!m_adapter->GetMediaStatus()) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonUserToDomain] GetMediaStatus fail.");
        // The adapter (or the driver behind it) went away during the logon: that is the reason.
        ReportError(TW_ERROR_ADAPTER_CLOSED, m_ui.LanguageText(kTxtMediaFailed).c_str());
        CallOwner(false);
        Ui(UI_CODE_MESSAGE, kTxtMediaFailed);
        return false;
    }
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonUserToDomain] Logon VPN Success.");
    Ui(UPDATE_STATUS_ONLINE);
    m_logoffInProgress = 0;
    m_logonDone.Set();
    m_session->OnlineClock().Start();
    {
        std::lock_guard<std::mutex> lock(m_paramLock);
        m_logonTime = static_cast<std::int64_t>(std::time(nullptr));
    }
    m_loggedOn = true;
    m_pendingLoggedOn = true;
    m_ui.TrayBalloon(m_ui.LanguageText(kTxtResourcePage), m_ui.LanguageText(kTxtOnline));
    if (!relogon && !m_webLogon.load()) OpenResourcePage();
    m_adapter->TestTransferDataOk();
    return true;
}

void TwQelConnector::OpenResourcePage() {
    DWORD noPage = 0;
    if (m_settings->GetDword(m_key, platform::client_settings::kNoResourcePage, &noPage) ==
            platform::kErrorSuccess &&
        noPage != 0)
        return;
    std::string server;
    DWORD port = 443;
    if (m_settings->GetString(m_key, platform::client_settings::kServerAddr, &server) !=
        platform::kErrorSuccess)
        return;
    if (m_settings->GetDword(m_key, platform::client_settings::kServerPortNum, &port) !=
            platform::kErrorSuccess ||
        port == 0)
        port = 443;
    char url[1200];
    std::snprintf(url, sizeof url, "https://%s:%d/sslvpnindex/client.php?sessionid=%d&username=%s",
                  server.substr(0, 127).c_str(), static_cast<int>(port), static_cast<int>(m_sessionId.load()),
                  EncodeUserNameForQuery(UserName()).c_str());
    const bool opened = m_deps.openUrl ? m_deps.openUrl(url) : platform::OpenUrl(url);
    if (!opened) TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonUserToDomain]打开资源页失败, lasterror=0x%x", 0u);
}

}  // namespace engine
