// The first steps of a logon: the logon parameters and the proxy from the store, the TCP
// connection (direct or through the proxy's CONNECT), the plain hello, and the TLS handshake.
#include <unistd.h>

#include <cctype>

#include "platform/client_settings.h"
#include "connector_text.h"
#include "gateway_dialer.h"
#include "dailylog/shared_daily_log.h"
#include "engine/qel_connector.h"

namespace engine {

// The browser logon's user and session, as the service stored them; false (reported) without.
bool TwQelConnector::ReadWebLogonSession(std::string* logonUser, DWORD* session) {
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonUserToDomain] Web登录");
    const LONG u = m_settings->GetString(m_key, platform::client_settings::kQelUsername, logonUser);
    if (u != platform::kErrorSuccess || logonUser->empty()) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonUserToDomain] Web登录，从注册表获取账户名错误0x%x",
               static_cast<unsigned>(u));
        Ui(UPDATE_STATUS_OFFLINE);
        return false;
    }
    const LONG s = m_settings->GetDword(m_key, platform::client_settings::kSessionId, session);
    if (s != platform::kErrorSuccess || *session == 0) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonUserToDomain] Web登录，从注册表获取SessionId错误0x%x",
               static_cast<unsigned>(s));
        Ui(UPDATE_STATUS_OFFLINE);
        return false;
    }
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonUserToDomain] Web登录，从注册表获取SessionId=%d",
           static_cast<int>(*session));
    return true;
}

int TwQelConnector::LogonInitParameters(const std::string& user, const std::string& password,
                                        const std::string& domain) {
    if (m_settings->OpenKey(m_key) != platform::kErrorSuccess) {
        ReportError(kErrSettings, "");
        Ui(UI_CODE_MESSAGE, kTxtOpenKey);
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonUserToDomain] 打开注册表错误 0x%x", 2);
        Ui(UPDATE_STATUS_OFFLINE);
        return 0;
    }
    std::string server;
    const LONG rc = m_settings->GetString(m_key, platform::client_settings::kServerAddr, &server);
    if (rc != platform::kErrorSuccess || server.empty()) {
        ReportError(kErrServerAddress, "");
        Ui(UI_CODE_MESSAGE, kTxtServerAddress);
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonUserToDomain] 获取服务器地址错误 0x%x", static_cast<unsigned>(rc));
        Ui(UPDATE_STATUS_OFFLINE);
        return 0;
    }
    server = server.substr(0, 127);
    DWORD value = 0;
    const bool useStatic = m_settings->GetDword(m_key, platform::client_settings::kUseStatic, &value) ==
                               platform::kErrorSuccess &&
                           value == 1;
    DWORD isAddress = 1;
    if (m_settings->GetDword(m_key, platform::client_settings::kIsServerAddr, &isAddress) !=
        platform::kErrorSuccess)
        isAddress = 1;
    DWORD port = 0;
    if (m_settings->GetDword(m_key, platform::client_settings::kServerPortNum, &port) !=
            platform::kErrorSuccess ||
        port == 0 || port > 65535)
        port = 443;
    m_serverAddress = isAddress != 0 ? ResolveAddress(server.c_str()) : 0xFFFFFFFFu;

    std::string logonUser = user, storedDomain, storedPassword = password;
    DWORD session = 0;
    if (m_webLogon.load()) {
        if (!ReadWebLogonSession(&logonUser, &session)) return 0;
        storedPassword.clear();
    } else {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonUserToDomain] 非Web登录");
        if (!domain.empty()) {
            logonUser = user + "@" + domain;
            storedDomain = domain;
        } else if (const std::size_t at = user.find('@'); at != std::string::npos) {
            storedDomain = user.substr(at + 1);
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_paramLock);
        m_serverName = server;
        m_serverPort = static_cast<WORD>(port);
        m_useStatic = useStatic;
        m_user = logonUser;
        m_domain = storedDomain;
        m_password = storedPassword.substr(0, 127);
        m_results.gatewayText = server;
    }
    m_sessionId = session;
    Ui(UI_CODE_PROGRESS_TEXT, kTxtParameters);
    TW_LOG(LOG_CLIENT_LOGIN, 4,
           "[LogonUserToDomain] 获取服务器地址及登录用户信息成功, 服务器地址 %s:%d，登录用户ssid=%d",
           server.c_str(), static_cast<int>(port), static_cast<int>(session));
    LoadProxySetting();
    return 1;
}

void TwQelConnector::LoadProxySetting() {
    if (!m_dialer->LoadProxySetting(*m_settings, m_key)) return;
    const GatewayProxy proxy = m_dialer->CurrentProxy();
    if (TunnelLink* link = m_session->Link())
        link->UseHttpProxy(proxy.on ? proxy.address : 0, proxy.port, proxy.user, proxy.password);
}

int TwQelConnector::CreateSocketAndHandshake(DWORD address, WORD port, int ms, bool relogon) {
    if (m_deps.connectGateway) return m_deps.connectGateway(address, port, ms, relogon);
    return m_dialer->Dial(address, port, ms, relogon);
}

int TwQelConnector::LogonHandleTcpConnection(bool relogon, int* fd) {
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonHandleTcpConnection] 正在登录服务器 CONNECT QEL_GATEWAY HTTP 1.1");
    if (m_waitLogon.IsSet()) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonHandleTcpConnection] 用户取消登录");
        Ui(UI_CODE_PROGRESS_TEXT, kTxtCancel);
        ReportError(kErrCancelled, kTextCancelled);
        return 0;
    }
    if (*fd >= 0) return 1;
    WORD port = 443;
    {
        std::lock_guard<std::mutex> lock(m_paramLock);
        port = m_serverPort;
    }
    *fd = CreateSocketAndHandshake(m_serverAddress.load(), port, static_cast<int>(m_timing.serverConnectMs),
                                   relogon);
    if (*fd >= 0) return 1;
    // A cancel during the connect is the user's, not a failure of the server.
    if (m_waitLogon.IsSet() && LastError() == 0) {
        Ui(UI_CODE_PROGRESS_TEXT, kTxtCancel);
        ReportError(kErrCancelled, kTextCancelled);
        return 0;
    }
    const bool protocolError = LastError() == kErrProtocol;
    Ui(UI_CODE_PROGRESS_TEXT, kTxtTcpFailed);
    if (relogon) {
        TW_LOG(LOG_CLIENT_LOGIN, 4,
               "[LogonHandleTcpConnection] CONNECT QEL_GATEWAY HTTP 连接失败, "
               "不能连接服务器,由重试线程安排下一次");
        Ui(UI_CODE_PROGRESS_TEXT, kTxtRelogonRetry);
        if (!protocolError) ReportError(kErrConnect, kTextRelogonFailed);
    } else {
        TW_LOG(LOG_CLIENT_LOGIN, 4,
               "[LogonHandleTcpConnection] CONNECT QEL_GATEWAY HTTP 连接失败, 不能连接服务器");
        // A gateway that answered the hello wrongly keeps its protocol error as the reason.
        if (!protocolError) ReportError(kErrConnect, kTextNoServer);
        Ui(UI_CODE_MESSAGE, kTxtNoAnswer);
    }
    return 0;
}

bool TwQelConnector::WaitPreviousSessionClosed() {
    // Bounded, and a cancel ends it: a session whose end never comes must not hold the logon.
    const platform::ClockDeadline deadline(m_clock, m_timing.previousSessionCloseMs);
    while (!m_session->Link()->PreviousSessionClosed()) {
        if (deadline.Expired()) {
            TW_LOG(LOG_CLIENT_LOGIN, 4,
                   "[LogonUserToDomain] previous TLS session still open after %u ms, go on",
                   static_cast<unsigned>(m_timing.previousSessionCloseMs));
            return true;
        }
        platform::Event* events[] = {&m_waitLogon};
        if (WaitAny(events, 1, m_timing.previousSessionPollMs) == 0) return false;
    }
    return true;
}

bool TwQelConnector::CheckGatewayCertificate(const std::string& gateway, WORD port) {
    std::string name;
    for (const char c : gateway) name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    name += ":" + std::to_string(port);
    const std::string presented = m_session->Link()->PeerCertificateFingerprint();
    const auto refuse = [&](const std::string& text) {
        TW_LOG(LOG_CLIENT_LOGIN, 1, "[CheckGatewayCertificate] %s", text.c_str());
        Disconnect();
        UiText(UI_CODE_MESSAGE, text);
        ReportError(kErrCertInvalid, text.c_str());
        SetFinal(true);  // the next try would meet the same certificate
        return false;
    };
    if (presented.empty()) return refuse("The gateway " + name + " presented no certificate; logon refused.");
    // Kept in the user's own part of the settings: nobody else may choose what this user trusts.
    const std::string key = m_deps.settingsKey + "\\GatewayCertificates";
    std::string pinned;
    const LONG rc = m_settings->GetString(key, name, &pinned);
    if (rc == platform::kRegOk && pinned == presented) return true;
    if (rc != platform::kRegOk) {
        if (rc != platform::kRegFileNotFound)
            TW_LOG(LOG_CLIENT_LOGIN, 1,
                   "[CheckGatewayCertificate] the trusted certificate of %s cannot be read (%ld)",
                   name.c_str(), static_cast<long>(rc));
        // Only a gateway without a pin is pinned: one whose pin cannot be read (another type, a
        // part of the settings that cannot be used) is refused, never silently pinned anew.
        if (rc == platform::kRegFileNotFound) {
            // The first certificate of a gateway is taken as it is (the verification policy has
            // accepted it) and from now on expected.
            if (m_settings->SetString(key, name, presented) != platform::kRegOk)
                TW_LOG(LOG_CLIENT_LOGIN, 1, "[CheckGatewayCertificate] the certificate of %s cannot be kept",
                       name.c_str());
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[CheckGatewayCertificate] %s: first certificate %s kept",
                   name.c_str(), presented.c_str());
            return true;
        }
        return refuse("The trusted certificate of the gateway " + name + " cannot be read; logon refused.");
    }
    const std::string change = "The certificate of the gateway " + name +
                               " has changed.\nTrusted before (SHA-256): " + pinned +
                               "\nPresented now (SHA-256): " + presented;
    TW_LOG(LOG_CLIENT_LOGIN, 1, "[CheckGatewayCertificate] %s", change.c_str());
    if (m_ui.AskYesNo(
            change + "\n\nSomeone may be posing as the gateway. Trust the new certificate and log on?", "")) {
        if (m_settings->SetString(key, name, presented) != platform::kRegOk)
            TW_LOG(LOG_CLIENT_LOGIN, 1, "[CheckGatewayCertificate] the certificate of %s cannot be kept",
                   name.c_str());
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[CheckGatewayCertificate] %s: the user trusts %s", name.c_str(),
               presented.c_str());
        return true;
    }
    return refuse(change + "\nThe logon was refused.");
}

int TwQelConnector::LogonHandleSslConnection(int fd, bool relogon) {
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonHandleSslConnection] 开始协议SSL协商");
    if (m_waitLogon.IsSet()) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonHandleTcpConnection] 用户取消登录");
        Ui(UI_CODE_PROGRESS_TEXT, kTxtCancel);
        ReportError(kErrCancelled, kTextCancelled);
        ::close(fd);
        return 0;
    }
    m_session->Link()->ReleaseSession();
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonHandleSslConnection] ## TW_SSL_DEFAULT_CIPHERS");
    {
        std::lock_guard<std::mutex> lock(m_paramLock);
        m_results.cipherSelector = 3;
    }
    m_session->Link()->SetCipherList(DefaultCipherText());
    WORD port = 443;
    {
        std::lock_guard<std::mutex> lock(m_paramLock);
        port = m_serverPort;
    }
    m_session->ResetCompressionBeforeAttach();
    if (!m_session->Link()->Attach(fd, m_serverAddress.load(), port)) {
        Ui(UI_CODE_PROGRESS_TEXT, kTxtAttachFailed);
        if (relogon) {
            Ui(UI_CODE_PROGRESS_TEXT, kTxtAttachRetry);
            Pause(m_timing.relogonFailPauseMs);
            ReportError(kErrConnect, kTextRelogonFailed);
        } else {
            ReportError(kErrConnect, kTextCannotConnect);
            Ui(UI_CODE_MESSAGE, kTxtAttachFailed);
        }
        return 0;
    }
    Ui(UI_CODE_PROGRESS_TEXT, kTxtTlsWait);
    platform::Event* events[] = {&m_session->ConnectEvent(), &m_waitLogon, &m_session->DisconnectEvent()};
    switch (WaitAny(events, 3, m_timing.tlsHandshakeMs)) {
        case 0: {
            std::string gateway;
            {
                std::lock_guard<std::mutex> lock(m_paramLock);
                gateway = m_serverName;
            }
            if (!CheckGatewayCertificate(gateway, port)) return 0;
            Ui(UI_CODE_PROGRESS_TEXT, kTxtTlsDone);
            return 1;
        }
        case 1:
            Ui(UI_CODE_PROGRESS_TEXT, kTxtCancel);
            Disconnect();
            m_status = TW_CLT_STATUS_OFFLINE;
            ReportError(kErrCancelled, kTextCancelledBang);
            return 0;
        case 2:
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonHandleSslConnection] 网络连接断开，登录服务器失败");
            Disconnect();
            m_session->DisconnectEvent().Reset();
            Ui(UI_CODE_PROGRESS_TEXT, kTxtDisconnected);
            ReportError(kErrRelogon, kTextRelogonFailed);
            return 0;
        default:
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonHandleSslConnection] 60秒SSL协商超时，登录失败");
            Disconnect();
            if (relogon) {
                Ui(UI_CODE_PROGRESS_TEXT, kTxtTlsTimeoutRetry);
                Pause(m_timing.relogonFailPauseMs);
                ReportError(kErrRelogon, kTextRelogonFailed);
            } else {
                Ui(UI_CODE_MESSAGE, kTxtTlsTimeout);
                ReportError(kErrConnect, kTextTlsTimeout);
            }
            return 0;
    }
}

}  // namespace engine
