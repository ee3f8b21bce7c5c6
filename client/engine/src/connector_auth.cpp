// The SSR logon request and its answer, the update notice, and the registration with a client
// certificate on a second connection. Answers are read from the logon receive buffer, which the
// content handler fills while a logon runs.
#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <optional>

#include "connector_text.h"
#include "engine/logon_buffer.h"
#include "dailylog/shared_daily_log.h"
#include "engine/netsh_client.h"
#include "engine/qel_connector.h"
#include "platform/text_util.h"
#include "wendrel/ssr_codec.h"

namespace engine {

namespace {

constexpr char kDefaultHardwareId[] = "00000000000000000000000000000000|0|00-00-00-00-00-00";

DWORD ReadU32(const std::uint8_t* p) {
    return static_cast<DWORD>(p[0]) << 24 | static_cast<DWORD>(p[1]) << 16 | static_cast<DWORD>(p[2]) << 8 |
           p[3];
}

// The wire route list at `p` (count, then destination, mask, next hop per route), host order.
bool ReadRoutes(const std::uint8_t* p, const std::uint8_t* end, std::vector<ResourceRoute>* routes) {
    if (p == nullptr || end - p < 4) return false;
    const DWORD count = ReadU32(p);
    p += 4;
    if (count > static_cast<DWORD>((end - p) / 12)) return false;
    for (DWORD i = 0; i < count; ++i, p += 12)
        routes->push_back({ReadU32(p), ReadU32(p + 4), ReadU32(p + 8)});
    return true;
}

// The wire gateway list at `p` (count, then address and ticket per gateway); a truncated entry
// ends the list.
std::vector<GatewayEntry> ReadGateways(const std::uint8_t* p, const std::uint8_t* end) {
    std::vector<GatewayEntry> list;
    if (p == nullptr || end - p < 2) return list;
    const unsigned count = static_cast<unsigned>(p[0]) << 8 | p[1];
    p += 2;
    for (unsigned i = 0; i < count && end - p >= 6; ++i) {
        GatewayEntry g;
        g.address = ReadU32(p);
        const std::size_t k = static_cast<std::size_t>(p[4]) << 8 | p[5];
        p += 6;
        if (static_cast<std::size_t>(end - p) < k) break;
        g.ticket.assign(reinterpret_cast<const char*>(p), k);
        p += k;
        list.push_back(std::move(g));
    }
    return list;
}

}  // namespace

std::string TwQelConnector::FetchHardwareId() {
    std::string id = kDefaultHardwareId;
    if (m_deps.hardwareId) {
        const std::string answer = m_deps.hardwareId();
        if (!answer.empty()) id = answer;
    } else if (SendNetshCommand("GetHardwareID\n") == kNetshDone && !NetshHardwareId().empty()) {
        id = NetshHardwareId();
    }
    id = id.substr(0, 127);
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonHandleSsrAuth] g_HardwareId = %s", id.c_str());
    std::lock_guard<std::mutex> lock(m_paramLock);
    m_hardwareId = id;
    return id;
}

bool TwQelConnector::BuildAndSend(const std::function<int(void*, short*)>& build) {
    short size = 0;
    if (build(nullptr, &size) != SSR_BUFFER_TOO_SMALL || size <= 0) return false;
    std::vector<std::uint8_t> msg(static_cast<std::size_t>(size), 0);
    if (build(msg.data(), &size) != SSR_SUCCESS) return false;
    SendSsrPacketToPeer(msg.data(), msg.size());
    return true;
}

void TwQelConnector::CopyCredentials(std::string* user, std::string* password) {
    std::lock_guard<std::mutex> lock(m_paramLock);
    *user = m_user;
    *password = m_password;
}

bool TwQelConnector::SendLogonRequest(bool hardIdLogon, const std::string& hardwareId,
                                      const std::string& user, const std::string& password) {
    const DWORD session = m_sessionId.load();
    if (hardIdLogon) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonHandleSsrAuth] 此次登录仅通知server解析硬件码，不做正常登录");
        return BuildAndSend([&](void* b, short* s) {
            return ssr_ConstructCltLogonSvrHardRequest(b, s, user.c_str(), password.c_str(),
                                                       hardwareId.c_str());
        });
    }
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonHandleSsrAuth] 此次登录为正常登录");
    return BuildAndSend([&](void* b, short* s) {
        return ssr_ConstructCltLogonSvrRequest3(b, s, user.c_str(), password.c_str(), session,
                                                hardwareId.c_str(), 0);
    });
}

TwQelConnector::SsrAuth TwQelConnector::LogonHandleSsrAuth(bool relogon, bool hardIdLogon) {
    const std::string hardwareId = FetchHardwareId();
    std::string user, password;
    CopyCredentials(&user, &password);
    if (!hardIdLogon && m_webLogon.load() && relogon && (password.empty() || password[0] == '0')) {
        m_logonStatus = QEL_WEB_RELOGON_SESSION_NOT_OK;
        return SsrAuth::kLoggedOn;
    }
    if (!SendLogonRequest(hardIdLogon, hardwareId, user, password)) {
        Ui(UI_CODE_MESSAGE, hardIdLogon ? kTxtNoMemory + 1 : kTxtNoMemory);
        ReportError(kErrNoMemory, "");
        return SsrAuth::kFailed;
    }
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonHandleSsrAuth] Wait for Logon response , m_sessionid =%d",
           static_cast<int>(m_sessionId.load()));
    std::vector<std::uint8_t> msg;
    if (const std::optional<SsrAuth> ended = ReadLogonAnswer(relogon, &msg)) return *ended;
    const std::uint8_t code = msg[1];
    if (code == SSR_CODE_MNG_SVR_CLT_LOGON_NAK) return HandleLogonRefused(msg, relogon);
    if (code == SSR_MNG_GW_CLT_LOGON_RESPON_RELOGON) {
        m_logonStatus = QEL_WEB_RELOGON_SESSION_NOT_OK;
        return SsrAuth::kLoggedOn;
    }
    if (code == SSR_MNG_GW_CLT_LOGON_RESPON_RELOGONOK) {
        m_logonStatus = QEL_WEB_RELOGON_SESSION_OK;
        return SsrAuth::kLoggedOn;
    }
    if (code == SSR_MNG_GW_CLT_LOGON_RESPON_LOGONOK)
        return HandleLogonAccepted(msg.data(), msg.size(), relogon);
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonHandleSsrAuth] Invalid SSR Response Code %d", code);
    Ui(UI_CODE_PROGRESS_TEXT, kTxtBadCode);
    ReportError(kErrBadCode, "");
    Disconnect();
    return SsrAuth::kFailed;
}

std::optional<TwQelConnector::SsrAuth> TwQelConnector::ReadLogonAnswer(bool relogon,
                                                                       std::vector<std::uint8_t>* msg) {
    for (;;) {
        const TwLogonBuffer::Wait waited = m_session->LogonBuffer().WaitForData(
            m_timing.logonDataMs, m_waitLogon, m_session->DisconnectEvent());
        if (waited == TwLogonBuffer::Wait::kTimedOut) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonHandleSsrAuth] SSL Receive Timeout");
            if (!relogon) Ui(UI_CODE_MESSAGE, kTxtLogonTimeout);
            Disconnect();
            ReportError(kErrLogonTimeout, "");
            return relogon ? SsrAuth::kRetryLater : SsrAuth::kFailed;
        }
        if (waited == TwLogonBuffer::Wait::kServerClosed) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonHandleSsrAuth] SSL Receive Server disconnect");
            if (m_session->AlertCode() == 0) ReportError(kErrServerClosed, kTextServerClosed);
            if (!relogon) Ui(UI_CODE_MESSAGE, kTxtServerClosed);
            Disconnect();
            return relogon ? SsrAuth::kRetryLater : SsrAuth::kFailed;
        }
        if (waited == TwLogonBuffer::Wait::kCancelled) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonHandleSsrAuth] SSL Receive User Cancel");
            Disconnect();
            ReportError(kErrCancelled, kTextCancelled);
            return SsrAuth::kFailed;
        }
        m_session->Keeper().Heard();
        if (m_session->LogonBuffer().Overflowed()) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonHandleSsrAuth] SslDataSize too big, return 0 ");
            Ui(UI_CODE_MESSAGE, kTxtBadAnswer);
            ReportError(kErrBadAnswer, "");
            Disconnect();
            return SsrAuth::kFailed;
        }
        int headerError = 0;
        for (;;) {
            const TwLogonBuffer::Next next = m_session->LogonBuffer().NextMessage(msg, &headerError);
            if (next == TwLogonBuffer::Next::kIncomplete) break;  // wait for the rest
            if (next == TwLogonBuffer::Next::kMalformed) {
                Ui(UI_CODE_MESSAGE, kTxtBadAnswer);
                ReportError(kErrBadAnswer, "");
                Disconnect();
                return SsrAuth::kFailed;
            }
            if (((*msg)[0] >> 4) != SSR_TYPE_DATA) return std::nullopt;
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonHandleSsrAuth]SSR_TYPE_DATA");
        }
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonHandleSsrAuth] all SSR_TYPE_DATA, continue");
    }
}

TwQelConnector::SsrAuth TwQelConnector::HandleLogonRefused(std::vector<std::uint8_t>& msg, bool relogon) {
    short size = static_cast<short>(std::min<std::size_t>(msg.size(), 32767));
    std::uint32_t error = 0;
    const char* text = nullptr;
    if (ssr_ExtractCltSvrLogonNak(msg.data(), &size, &error, &text) != SSR_SUCCESS) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonHandleSsrAuth] SSR_CODE_MNG_SVR_CLT_LOGON_NAK Extract Error.");
        Ui(UI_CODE_MESSAGE, kTxtExtract);
        ReportError(kErrExtract, "");
        Disconnect();
        return SsrAuth::kFailed;
    }
    const int number = static_cast<int>(error);
    std::string message = GatewayText(text, 511);
    if (message.empty()) {
        // The user is told something even when the gateway's refusal says nothing.
        char refused[96];
        std::snprintf(refused, sizeof refused, kTextRefusedWithCode, number);
        message = refused;
    }
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonHandleSsrAuth] SvrLogonNak,  Error = %d, ErrorMsg = %s", number,
           message.c_str());
    if (number == 997) {
        UiText(UI_CODE_ASK_REGISTER_HARDWARE_ID, message);
        ReportError(number, message.c_str());
        SetFinal(true);
        Disconnect();
        return SsrAuth::kFailed;
    }
    if (number == 998) {
        Ui(UI_CODE_MESSAGE, kTxtHardIdPending);
        ReportError(number, message.c_str());
        SetFinal(true);
        Disconnect();
        return SsrAuth::kFailed;
    }
    if (relogon && (number == 38 || number == 49)) {
        ReportError(number, message.c_str());
        Disconnect();
        return SsrAuth::kRetryLater;
    }
    if (relogon && number == -50) {
        if (m_ui.AskYesNo(m_ui.LanguageText(kTxtSessionQuestion), "")) {
            m_logonStatus = QEL_WEB_RELOGON_SESSION_NOT_OK;
            return SsrAuth::kLoggedOn;
        }
        Disconnect();
        if (m_deps.stopClient) m_deps.stopClient();
        ReportError(number, message.c_str());
        SetFinal(true);
        return SsrAuth::kFailed;
    }
    UiText(UI_CODE_MESSAGE, message);
    ReportError(number, message.c_str());
    SetFinal(true);
    Disconnect();
    return SsrAuth::kFailed;
}

TwQelConnector::SsrAuth TwQelConnector::HandleLogonAccepted(const std::uint8_t* msg, std::size_t length,
                                                            bool relogon) {
    short size = static_cast<short>(std::min<std::size_t>(length, 32767));
    LogonAck ack;
    std::uint16_t nameLength = 0;
    const char *name = nullptr, *text1 = nullptr, *text2 = nullptr, *cert = nullptr;
    const void *routes = nullptr, *gateways = nullptr;
    std::uint8_t certLength = 0;
    if (length > 32767 || ssr_ExtractSvrCltLogonAck(msg, &size, &ack.session, &nameLength, &name, &ack.vip,
                                                    &ack.mask, &ack.dns1, &ack.dns2, &ack.wins1, &ack.wins2,
                                                    &routes, &gateways, &ack.selector, &text1, &text2,
                                                    &ack.registerFlag, &certLength, &cert) != SSR_SUCCESS)
        return LogonAckFailed("[LogonHandleSsrAuth] SSR_CODE_MNG_SVR_CLT_LOGON_ACK Extract MNG ACK Error.",
                              kTxtExtract, kErrExtract);
    const std::uint8_t* end = msg + length;
    ack.gateways = ReadGateways(static_cast<const std::uint8_t*>(gateways), end);
    ack.haveRoutes = ReadRoutes(static_cast<const std::uint8_t*>(routes), end, &ack.routes);
    ack.text1 = text1 != nullptr ? text1 : "";
    ack.text2 = text2 != nullptr ? text2 : "";
    if (cert != nullptr && certLength > 0) {
        ack.haveCert = true;
        SplitCertificateText(std::string_view(cert, certLength), &ack.serial, &ack.certName);
    }
    return TakeLogonAck(ack, relogon);
}

TwQelConnector::SsrAuth TwQelConnector::LogonAckFailed(const char* log, int textId, int error) {
    TW_LOG(LOG_CLIENT_LOGIN, 4, "%s", log);
    Ui(UI_CODE_MESSAGE, textId);
    ReportError(error, "");
    Disconnect();
    return SsrAuth::kFailed;
}

bool TwQelConnector::AddressAcceptable(DWORD address, DWORD mask) {
    if (AdapterTakesAddress(address, mask)) return true;
    // Refused at once: the adapter would never show the address, and the logon would wait for it.
    char text[256];
    std::snprintf(text, sizeof text, kTextBadAddress, platform::Ipv4TextHost(address).c_str(),
                  platform::Ipv4TextHost(mask).c_str());
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonHandleSsrAuth] virtual address 0x%08x mask 0x%08x refused",
           static_cast<unsigned>(address), static_cast<unsigned>(mask));
    UiText(UI_CODE_MESSAGE, text);
    ReportError(kErrBadAddress, text);
    SetFinal(true);
    Disconnect();
    return false;
}

TwQelConnector::SsrAuth TwQelConnector::TakeLogonAck(const LogonAck& ack, bool relogon) {
    if (!AddressAcceptable(ack.vip, ack.mask)) return SsrAuth::kFailed;
    m_sessionId = ack.session;
    DWORD current = 0;
    {
        std::lock_guard<std::mutex> lock(m_paramLock);
        m_results.mask = ack.mask;
        m_results.dns1 = ack.dns1;
        m_results.dns2 = ack.dns2;
        m_results.wins1 = ack.wins1;
        m_results.wins2 = ack.wins2;
        current = m_results.virtualIp;
        if (!relogon) {
            m_logonStatus = QEL_CLIENT_OR_WEB_LOGON_OK;
            m_results.registerFresh = ack.registerFlag != 0;
        } else {
            m_results.registerRelogon = ack.registerFlag != 0;
            m_results.cipherSelector = ack.selector;
        }
    }
    if (relogon) {
        if (ack.gateways.empty())
            return LogonAckFailed("[LogonHandleSsrAuth] No Valid Gateway", kTxtNoGateway, kErrNoGateway);
        {
            std::lock_guard<std::mutex> lock(m_paramLock);
            m_gateways = ack.gateways;
        }
        if (ack.vip == current) {
            m_logonStatus = QEL_CLIENT_RELOGON_PASSWORD_OK_FINDIP;
            m_status = TW_CLT_STATUS_SERVER_CERTIFIED;
            ReportError(0, "");
            return SsrAuth::kLoggedOn;
        }
        m_logonStatus = QEL_CLIENT_RELOGON_PASSWORD_OK_NOT_FINDIP;
    }
    LogLogonAck(ack);
    if (ack.gateways.empty())
        return LogonAckFailed("[LogonHandleSsrAuth] No Valid Gateway", kTxtNoGateway, kErrNoGateway);
    {
        std::lock_guard<std::mutex> lock(m_paramLock);
        m_results.virtualIp = ack.vip;
        if (ack.haveCert) {
            m_results.certSerial = ack.serial;
            m_results.certName = ack.certName;
        }
        m_results.routes = ack.routes;
        m_gateways = ack.gateways;
        m_results.cipherSelector = ack.selector;
        m_results.text1 = ack.text1;
        m_results.text2 = ack.text2;
    }
    m_status = TW_CLT_STATUS_SERVER_CERTIFIED;
    ReportError(0, "");
    return SsrAuth::kLoggedOn;
}

void TwQelConnector::LogLogonAck(const LogonAck& ack) {
    TW_LOG(LOG_CLIENT_LOGIN, 4,
           "[LogonHandleSsrAuth]主DNS服务器 0x%08x, 备DNS服务器 0x%08x, 虚ip 0x%08x,  会话Id %d", ack.dns1,
           ack.dns2, ack.vip, static_cast<int>(ack.session));
    if (ack.haveCert)
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonHandleSsrAuth] m_SelectedCertName=%s, m_CertSerial=%s",
               ack.certName.c_str(), ack.serial.c_str());
    if (!ack.haveRoutes) return;
    int i = 0;
    for (const auto& r : ack.routes) {
        TW_LOG(LOG_CLIENT_LOGIN, 4,
               "[LogonHandleSsrAuth]路由列表 %d, Dest 0x%08x, Mask 0x%08x, NextHop 0x%08x", i++, r.network,
               r.mask, r.nextHop);
    }
}

int TwQelConnector::InformServerSetUpdateStatus() {
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[InformServerSetUpdateStatus] 通知服务需要升级");
    const std::string hardwareId = FetchHardwareId();
    std::string user, password;
    CopyCredentials(&user, &password);
    const DWORD session = m_sessionId.load();
    if (!BuildAndSend([&](void* b, short* s) {
            return ssr_ConstructCltLogonSvrRequest3(b, s, user.c_str(), password.c_str(), session,
                                                    hardwareId.c_str(), 1);
        })) {
        Disconnect();
        ReportError(kErrNoMemory, "");
        Ui(UPDATE_STATUS_OFFLINE);
        return 0;
    }
    m_informUpdate = false;
    return 1;
}

int TwQelConnector::ChooseClientCertificate() {
    std::string serial, name;
    {
        std::lock_guard<std::mutex> lock(m_paramLock);
        serial = m_results.certSerial;
        name = m_results.certName;
    }
    if (!name.empty() && name.find("CN=") == std::string::npos) name = "CN=" + name;
    m_waitLogon.Reset();
    const std::uint64_t start = Now();
    const int chosen = m_session->Link()->ChooseCertificate(name, serial);
    int textId = -1;
    if (chosen == 0)
        textId = kTxtNoCertificate;
    else if (chosen == 4)
        textId = kTxtCertNotValid;
    else if (Now() - start > m_timing.certificateChoiceMs)
        textId = kTxtCertTimeout;
    if (textId < 0) return 1;
    Ui(UI_CODE_MESSAGE, textId);
    ReportError(kErrCertificate, m_ui.LanguageText(textId).c_str());
    SetFinal(true);
    return 0;
}

// Where the registration goes (the gateway's mapped address, else the server) and with which
// ciphers; the port in *port.
std::string TwQelConnector::RegistrationTarget(WORD* port) {
    std::string target, server;
    int selector = 3;
    DWORD mapped = 0;
    {
        std::lock_guard<std::mutex> lock(m_paramLock);
        server = m_serverName;
        target = m_results.gatewayText.empty() ? server : m_results.gatewayText;
        selector = m_results.cipherSelector;
        mapped = m_gateways.empty() ? 0 : m_gateways.front().address;
        *port = m_serverPort;
    }
    if (mapped == 0) {
        target = server;
        TW_LOG(LOG_CLIENT_LOGIN, 4,
               "[LogonHandleCertAuth] gateway mapped address is 0.0.0.0, connect to server %s",
               server.c_str());
    } else {
        in_addr a{};
        a.s_addr = htonl(mapped);
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonHandleCertAuth] connect to gateway mapped address %s",
               inet_ntoa(a));
    }
    const CipherChoice ciphers = CipherListForSelector(selector);
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonHandleCertAuth] %s%s", ciphers.logName,
           ciphers.downgraded ? " (not offered: the default list instead)" : "");
    m_session->Link()->SetCipherList(ciphers.list);
    return target;
}

// One try at the registration gateway's connection: 1 connected, 0 failed, 2 try again.
int TwQelConnector::ConnectRegistrationGateway(bool relogon) {
    m_waitLogon.Reset();
    m_online.Reset();
    m_session->Link()->ReleaseSession();
    // The server's session ends first, so its disconnect is not taken for the gateway's refusal.
    if (!WaitPreviousSessionClosed()) {
        m_status = TW_CLT_STATUS_OFFLINE;
        ReportError(kErrCancelled, kTextCancelled);
        return 0;
    }
    m_session->ResetLinkEvents();
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonHandleCertAuth] Start Logon Gateway.");
    WORD port = 443;
    const std::string target = RegistrationTarget(&port);
    LoadProxySetting();
    const DWORD address = ResolveAddress(target.c_str());
    m_session->Link()->SetCancelEvent(&m_waitLogon);
    const int fd =
        address == 0xFFFFFFFFu
            ? -1
            : CreateSocketAndHandshake(address, port, static_cast<int>(m_timing.gatewayConnectMs), relogon);
    if (fd < 0) {
        Ui(UI_CODE_PROGRESS_TEXT, kTxtTcpFailed);
        if (relogon) {
            TW_LOG(LOG_CLIENT_LOGIN, 4,
                   "[LogonHandleCertAuth] relogon is true, return TW_ERROR_NEED_RELOGON");
            Pause(m_timing.registrationFailPauseMs);
            ReportError(kErrRelogon, kTextRelogonFailed);
        } else {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonHandleCertAuth] Failed to connect Gateway, Handshake Error.");
            ReportError(kErrConnect, kTextCannotConnect);
        }
        return 0;
    }
    m_session->ResetCompressionBeforeAttach();
    if (!m_session->Link()->Attach(fd, address, port)) {
        if (relogon) {
            Ui(UI_CODE_PROGRESS_TEXT, kTxtAttachFailed);
            ReportError(kErrRelogon, kTextRelogonFailed);
        } else {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonHandleCertAuth] Failed to connect Gateway, Attach Error.");
            ReportError(kErrConnect, kTextCannotConnectGateway);
        }
        return 0;
    }
    Ui(UI_CODE_PROGRESS_TEXT, kTxtTlsWait);
    platform::Event* events[] = {&m_session->ConnectEvent(), &m_waitLogon, &m_session->DisconnectEvent()};
    switch (WaitAny(events, 3, m_timing.tlsHandshakeMs)) {
        case 0: return CheckGatewayCertificate(target, port) ? 1 : 0;
        case 1:
            Disconnect();
            m_status = TW_CLT_STATUS_OFFLINE;
            m_waitLogon.Reset();
            ReportError(kErrCancelled, kTextCancelled);
            return 0;
        case 2:
            Disconnect();
            Ui(UI_CODE_MESSAGE, kTxtRegisterNak);
            ReportError(kErrGatewayRefused, kTextGatewayRefused);
            return 0;
        default: Disconnect(); return 2;
    }
}

int TwQelConnector::LogonHandleCertAuth(bool relogon) {
    Disconnect();
    std::string serial;
    bool fresh = false, again = false;
    {
        std::lock_guard<std::mutex> lock(m_paramLock);
        serial = m_results.certSerial;
        fresh = m_results.registerFresh;
        again = m_results.registerRelogon;
    }
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonHandleCertAuth] Enter Cert Auth Process, m_CertSerial=%s,len=%d",
           serial.c_str(), static_cast<int>(serial.size()));
    if ((!relogon || (!fresh && again)) && !ChooseClientCertificate()) return 0;
    // Bounded: a gateway that never completes the handshake cannot hold the logon for ever.
    int connected = 2;
    for (DWORD attempt = 0; connected == 2; ++attempt) {
        if (attempt >= m_timing.registrationTries) {
            Ui(UI_CODE_MESSAGE, kTxtTlsTimeout);
            ReportError(relogon ? kErrRelogon : kErrConnect, relogon ? kTextRelogonFailed : kTextTlsTimeout);
            return 0;
        }
        if (attempt > 0) {
            Pause(m_timing.registrationRetryMs);
            if (m_waitLogon.IsSet()) {
                m_status = TW_CLT_STATUS_OFFLINE;
                m_waitLogon.Reset();
                ReportError(kErrCancelled, kTextCancelled);
                return 0;
            }
        }
        connected = ConnectRegistrationGateway(relogon);
    }
    if (connected != 1) return 0;
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonHandleCertAuth] Connect Gateway Success.");
    std::string user, ticket;
    DWORD vip = 0;
    int selector = 3;
    {
        std::lock_guard<std::mutex> lock(m_paramLock);
        user = m_user;
        vip = m_results.virtualIp;
        selector = m_results.cipherSelector;
        if (!m_gateways.empty()) ticket = m_gateways.front().ticket;
    }
    const DWORD session = m_sessionId.load();
    if (!BuildAndSend([&](void* b, short* s) {
            return ssr_ConstructCltRegRequest(b, s, session, user.c_str(),
                                              static_cast<std::uint8_t>(selector), vip,
                                              static_cast<std::uint16_t>(ticket.size()), ticket.data());
        })) {
        ReportError(kErrNoMemory, "");
        Disconnect();
        return 0;
    }
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonHandleCertAuth] Wait for Gateway Logon response");
    return HandleRegistrationAnswer();
}

int TwQelConnector::HandleRegistrationAccepted(std::vector<std::uint8_t>& msg) {
    short size = static_cast<short>(std::min<std::size_t>(msg.size(), 32767));
    std::uint16_t status = 0;
    std::uint32_t address = 0, mask = 0;
    if (ssr_ExtractCltRegisterAck(msg.data(), &size, &status, &address, &mask) != SSR_SUCCESS) {
        TW_LOG(LOG_CLIENT_LOGIN, 4,
               "[LogonHandleCertAuth] SSR_CODE_MNG_GW_CLT_REG_ACK Extract MNG ACK Error.");
        Ui(UI_CODE_MESSAGE, kTxtExtract);
        ReportError(kErrExtract, "");
        return 0;
    }
    if (status == 1) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonHandleCertAuth] Gateway need to Re-assigned Client IP Address.");
        if (!AddressAcceptable(address, mask)) return 0;
        std::lock_guard<std::mutex> lock(m_paramLock);
        m_results.virtualIp = address;
        m_results.mask = mask;
    } else if (status == 3) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonHandleCertAuth] User Cert invalid. %d, %s", status, "");
        Ui(UI_CODE_MESSAGE, kTxtCertInvalid);
        ReportError(kErrCertInvalid, "");
        SetFinal(true);
        Disconnect();
        return 0;
    } else if (status != 0) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonHandleCertAuth] User State Error. %d, %s", status, "");
        Ui(UI_CODE_MESSAGE, kTxtUserState);
        ReportError(kErrUserState, "");
        SetFinal(true);
        Disconnect();
        return 0;
    }
    ReportError(0, "");
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonHandleCertAuth] Logon QEL Gateway Success");
    return 1;
}

int TwQelConnector::HandleRegistrationAnswer() {
    std::vector<std::uint8_t> msg;
    for (;;) {
        const TwLogonBuffer::Wait waited = m_session->LogonBuffer().WaitForData(
            m_timing.logonDataMs, m_waitLogon, m_session->DisconnectEvent());
        if (waited != TwLogonBuffer::Wait::kData) {
            if (waited == TwLogonBuffer::Wait::kTimedOut) {
                Ui(UI_CODE_MESSAGE, kTxtLogonTimeout);
                ReportError(kErrLogonTimeout, "");
            } else if (waited == TwLogonBuffer::Wait::kServerClosed) {
                Ui(UI_CODE_MESSAGE, kTxtServerClosed);
                ReportError(kErrServerClosed, kTextServerClosed);
            } else {
                ReportError(kErrCancelled, kTextCancelled);
            }
            Disconnect();
            return 0;
        }
        int headerError = 0;
        const TwLogonBuffer::Next next = m_session->LogonBuffer().NextMessage(&msg, &headerError);
        if (next == TwLogonBuffer::Next::kIncomplete) continue;
        if (next == TwLogonBuffer::Next::kMalformed || (msg[0] >> 4) != SSR_TYPE_MNG) {
            Ui(UI_CODE_MESSAGE, kTxtBadAnswer);
            ReportError(kErrBadAnswer, "");
            Disconnect();
            return 0;
        }
        break;
    }
    short size = static_cast<short>(std::min<std::size_t>(msg.size(), 32767));
    if (msg[1] == SSR_CODE_MNG_GW_CLT_REG_ACK) return HandleRegistrationAccepted(msg);
    if (msg[1] == SSR_CODE_MNG_GW_CLT_REG_NAK) {
        std::uint32_t error = 0;
        const char* text = nullptr;
        if (ssr_ExtractCltRegisterNak(msg.data(), &size, &error, &text) != SSR_SUCCESS) {
            Ui(UI_CODE_MESSAGE, kTxtExtract);
            ReportError(kErrExtract, "");
            return 0;
        }
        const std::string message = GatewayText(text, 511);
        TW_LOG(LOG_CLIENT_LOGIN, 4,
               "[LogonHandleCertAuth] GWLogonNak, UserId = %s, Error = %d, ErrorMsg = %s", UserName().c_str(),
               static_cast<int>(error), message.c_str());
        Ui(UI_CODE_MESSAGE, kTxtRegisterNak);
        ReportError(static_cast<int>(error), message.c_str());
        SetFinal(true);
        return 0;
    }
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonHandleCertAuth] Invalid SSR Response Code %d", msg[1]);
    Ui(UI_CODE_MESSAGE, kTxtBadCode);
    return 0;
}

}  // namespace engine
