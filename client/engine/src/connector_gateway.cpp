// The first steps of a logon: the logon parameters and the proxy from the store, the TCP
// connection (direct or through the proxy's CONNECT), the plain hello, and the TLS handshake.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "connector_text.h"
#include "dailylog/shared_daily_log.h"
#include "engine/qel_connector.h"

namespace engine {

namespace {

bool IsYes(const std::string& text) { return text.size() == 3 && strcasecmp(text.c_str(), "yes") == 0; }

std::string Dotted(DWORD networkOrder) {
    in_addr a{};
    a.s_addr = networkOrder;
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

}  // namespace

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
    const LONG rc = m_settings->GetString(m_key, "ServerAddr", &server);
    if (rc != platform::kErrorSuccess || server.empty()) {
        ReportError(kErrServerAddress, "");
        Ui(UI_CODE_MESSAGE, kTxtServerAddress);
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonUserToDomain] 获取服务器地址错误 0x%x", static_cast<unsigned>(rc));
        Ui(UPDATE_STATUS_OFFLINE);
        return 0;
    }
    server = server.substr(0, 127);
    DWORD value = 0;
    const bool useStatic =
        m_settings->GetDword(m_key, "UseStatic", &value) == platform::kErrorSuccess && value == 1;
    DWORD isAddress = 1;
    if (m_settings->GetDword(m_key, "IsServerAddr", &isAddress) != platform::kErrorSuccess) isAddress = 1;
    DWORD port = 0;
    if (m_settings->GetDword(m_key, "ServerPortNum", &port) != platform::kErrorSuccess || port == 0 ||
        port > 65535)
        port = 443;
    m_serverAddress = isAddress != 0 ? ResolveAddress(server.c_str()) : 0xFFFFFFFFu;

    std::string logonUser = user, storedDomain, storedPassword = password;
    DWORD session = 0;
    if (m_webLogon.load()) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonUserToDomain] Web登录");
        const LONG u = m_settings->GetString(m_key, "QelUsername", &logonUser);
        if (u != platform::kErrorSuccess || logonUser.empty()) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonUserToDomain] Web登录，从注册表获取账户名错误0x%x",
                   static_cast<unsigned>(u));
            Ui(UPDATE_STATUS_OFFLINE);
            return 0;
        }
        storedPassword.clear();
        const LONG s = m_settings->GetDword(m_key, "SessionId", &session);
        if (s != platform::kErrorSuccess || session == 0) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonUserToDomain] Web登录，从注册表获取SessionId错误0x%x",
                   static_cast<unsigned>(s));
            Ui(UPDATE_STATUS_OFFLINE);
            return 0;
        }
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonUserToDomain] Web登录，从注册表获取SessionId=%d",
               static_cast<int>(session));
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
    if (m_settings->OpenKey(m_key) != platform::kErrorSuccess) {
        Box(m_ui.LanguageText(kTxtProxySettings));
        std::lock_guard<std::mutex> lock(m_paramLock);
        m_proxy = Proxy{};
        return;
    }
    Proxy proxy;
    std::string text;
    if (m_settings->GetString(m_key, "UseProxy", &text) != platform::kErrorSuccess || !IsYes(text)) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[LoadProxySetting] Not Use Proxy");
    } else {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[LoadProxySetting] Use Proxy");
        proxy.on = true;
        if (m_settings->GetString(m_key, "ProxyAddr", &text) == platform::kErrorSuccess) {
            in_addr a{};
            proxy.address = inet_pton(AF_INET, text.c_str(), &a) == 1 ? a.s_addr : 0;
        }
        if (m_settings->GetString(m_key, "ProxyPort", &text) == platform::kErrorSuccess) {
            const long port = std::strtol(text.c_str(), nullptr, 10);
            proxy.port = port > 0 && port <= 65535 ? static_cast<WORD>(port) : 0;
        }
        if (m_settings->GetString(m_key, "UseProxyAuth", &text) == platform::kErrorSuccess && IsYes(text)) {
            proxy.auth = true;
            m_settings->GetString(m_key, "ProxyUser", &proxy.user);
            m_settings->GetString(m_key, "ProxyPass", &proxy.password);
            proxy.user = proxy.user.substr(0, 127);
            proxy.password = proxy.password.substr(0, 127);
        }
        // A proxy without an address or port cannot be used; the connection goes direct.
        if (proxy.address == 0 || proxy.port == 0) proxy.on = false;
    }
    if (m_link) m_link->UseHttpProxy(proxy.on ? proxy.address : 0, proxy.port, proxy.user, proxy.password);
    std::lock_guard<std::mutex> lock(m_paramLock);
    m_proxy = proxy;
}

// Connects with the cancel event in the wait: the socket, or -1 (closed).
int TwQelConnector::ConnectTcp(DWORD address, WORD port, int ms, bool relogon) {
    (void)relogon;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        Ui(UI_CODE_PROGRESS_TEXT, kTxtSocketFailed);
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[CreateSocketAndHandshake] create TCP socket fail");
        return -1;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = address;
    to.sin_port = htons(port);
    bool connected = false;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
        connected = true;
    } else if (errno == EINPROGRESS) {
        TW_LOG(LOG_CLIENT_LOGIN, 4,
               "[CreateSocketAndHandshake] wait for connect or cancel event in %d seconds", ms / 1000);
        const platform::ClockDeadline deadline(m_clock, static_cast<DWORD>(ms));
        const int cancelFd = m_waitLogon.Fd();
        for (;;) {
            if (m_waitLogon.IsSet()) {
                TW_LOG(LOG_CLIENT_LOGIN, 4, "[CreateSocketAndHandshake] User cancel event");
                break;
            }
            if (deadline.Expired()) {
                TW_LOG(LOG_CLIENT_LOGIN, 4, "[CreateSocketAndHandshake] Time out event");
                break;
            }
            pollfd p[2] = {{fd, POLLOUT, 0}, {cancelFd, POLLIN, 0}};
            const int left = deadline.RemainingMs();
            const int n = ::poll(p, cancelFd >= 0 ? 2 : 1, left < 0 || left > 50 ? 50 : left);
            if (n > 0 && (p[0].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
                int error = 0;
                socklen_t length = sizeof error;
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
                connected = error == 0;
                if (!connected)
                    TW_LOG(LOG_CLIENT_LOGIN, 4, "[CreateSocketAndHandshake] WSAConnect error = %d", error);
                break;
            }
        }
    } else {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[CreateSocketAndHandshake] WSAConnect error = %d", errno);
    }
    if (!connected) {
        ::close(fd);
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

namespace {

// Waits until `deadline` for `fd` to be readable; the cancel event ends the wait at once.
enum class Wait { kReadable, kTimedOut, kCancelled };
Wait Readable(int fd, const platform::ClockDeadline& deadline, platform::Event& cancel) {
    const int cancelFd = cancel.Fd();
    for (;;) {
        if (cancel.IsSet()) return Wait::kCancelled;
        if (deadline.Expired()) return Wait::kTimedOut;
        pollfd p[2] = {{fd, POLLIN, 0}, {cancelFd, POLLIN, 0}};
        const int left = deadline.RemainingMs();
        if (::poll(p, cancelFd >= 0 ? 2 : 1, left < 0 || left > 50 ? 50 : left) > 0 && (p[0].revents != 0))
            return Wait::kReadable;
    }
}

bool SendAll(int fd, const std::string& text) {
    std::size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, 1000) > 0) continue;
        }
        return false;
    }
    return true;
}

}  // namespace

bool TwQelConnector::ProxyConnect(int fd, DWORD address, WORD port, int ms) {
    Proxy proxy;
    {
        std::lock_guard<std::mutex> lock(m_paramLock);
        proxy = m_proxy;
    }
    const std::string proxyText = Dotted(proxy.address);
    const std::string target = Dotted(address);
    const std::string request = BuildProxyConnect(target, port, proxy.auth ? proxy.user : std::string(),
                                                  proxy.auth ? proxy.password : std::string());
    if (!SendAll(fd, request)) {
        const int error = errno;
        TW_LOG(LOG_CLIENT_LOGIN, 4, "向代理服务器%s:%d发送连接请求时出错\nSocket错误号为：%d-%s",
               proxyText.c_str(), proxy.port, error, std::strerror(error));
        Box(m_ui.LanguageText(kTxtProxySend));
        return false;
    }
    std::string answer;
    // One deadline for the whole answer: a proxy that trickles its bytes cannot hold the logon
    // (nor a quit) longer than the proxy time-out.
    const platform::ClockDeadline deadline(m_clock, static_cast<DWORD>(ms));
    for (;;) {
        const Wait wait = Readable(fd, deadline, m_waitLogon);
        if (wait == Wait::kCancelled) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[ProxyConnect] cancelled while waiting for the proxy %s:%d",
                   proxyText.c_str(), proxy.port);
            return false;
        }
        if (wait == Wait::kTimedOut) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "代理服务器%s:%d在30秒内没有发送应答", proxyText.c_str(), proxy.port);
            Box(m_ui.LanguageText(kTxtProxySilent));
            return false;
        }
        char buffer[kProxyAnswerMax];
        const std::size_t room = kProxyAnswerMax - std::min(answer.size(), kProxyAnswerMax);
        const ssize_t n = room == 0 ? 0 : ::recv(fd, buffer, room, 0);
        if (n <= 0) {
            const int error = n < 0 ? errno : 0;
            TW_LOG(LOG_CLIENT_LOGIN, 4, "接收代理服务器%s:%d连结应答时出错\nSocket错误号为：%d-%s",
                   proxyText.c_str(), proxy.port, error, std::strerror(error));
            Box(m_ui.LanguageText(kTxtProxyReceive));
            return false;
        }
        answer.append(buffer, static_cast<std::size_t>(n));
        switch (ReadProxyAnswer(answer)) {
            case ProxyAnswer::kAccepted: return true;
            case ProxyAnswer::kIncomplete:
                if (answer.size() < kProxyAnswerMax) continue;
                [[fallthrough]];
            case ProxyAnswer::kRefused: {
                const std::string shown = answer.substr(0, answer.find("\r\n"));
                char text[1400];
                std::snprintf(text, sizeof text,
                              "代理服务器 %s:%d 认证不通过，返回信息为：\n%s\n请检查代理服务器设置!",
                              proxyText.c_str(), proxy.port, shown.c_str());
                TW_LOG(LOG_CLIENT_LOGIN, 4, "%s", text);
                Box(m_ui.LanguageText(kTxtProxyAuth));
                return false;
            }
        }
    }
}

bool TwQelConnector::PlayHello(int fd, int ms, bool relogon) {
    Ui(UI_CODE_PROGRESS_TEXT, kTxtHello);
    if (!SendAll(fd, kGatewayHello)) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[CreateSocketAndHandshake] send hello %s to server fail", kGatewayHello);
        Ui(UI_CODE_PROGRESS_TEXT, kTxtHelloSend);
        return false;
    }
    std::string answer;
    const platform::ClockDeadline deadline(m_clock, static_cast<DWORD>(ms));
    for (;;) {
        if (Readable(fd, deadline, m_waitLogon) != Wait::kReadable) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[CreateSocketAndHandshake] server has no response in %d seconds",
                   ms / 1000);
            Ui(UI_CODE_PROGRESS_TEXT, kTxtNoAnswer);
            return false;
        }
        char buffer[kHelloAnswerMax];
        const std::size_t room = kHelloAnswerMax - answer.size();
        const ssize_t n = ::recv(fd, buffer, room, 0);
        if (n <= 0) {
            Ui(UI_CODE_PROGRESS_TEXT, kTxtHelloRead);
            return false;
        }
        answer.append(buffer, static_cast<std::size_t>(n));
        int status = 0;
        const HelloAnswer verdict = ReadHelloAnswer(answer, &status);
        switch (verdict) {
            case HelloAnswer::kIncomplete:
                if (answer.size() < kHelloAnswerMax) continue;
                ReportError(kErrProtocol, "网关协议错误: 无HTTP应答码, 请检查是否连接了正确的服务器。");
                Ui(UI_CODE_PROGRESS_TEXT, kTxtNoStatus);
                return false;
            case HelloAnswer::kWelcome:
                TW_LOG(LOG_CLIENT_LOGIN, 4, "[CreateSocketAndHandshake] receive server welcome.");
                Ui(UI_CODE_PROGRESS_TEXT, kTxtWelcome);
                return true;
            case HelloAnswer::kNotHttp:
                ReportError(kErrProtocol, "网关协议错误: 非HTTP协议, 请检查是否连接了正确的服务器。");
                if (!relogon) Ui(UI_CODE_PROGRESS_TEXT, kTxtNotHttp);
                return false;
            case HelloAnswer::kNoStatus:
                ReportError(kErrProtocol, "网关协议错误: 无HTTP应答码, 请检查是否连接了正确的服务器。");
                Ui(UI_CODE_PROGRESS_TEXT, kTxtNoStatus);
                return false;
            case HelloAnswer::kBadLength:
                ReportError(kErrProtocol,
                            "网关协议错误: 错误Content-Length格式, 请检查是否连接了正确的服务器。");
                if (!relogon) Ui(UI_CODE_PROGRESS_TEXT, kTxtBadStatus);
                return false;
            case HelloAnswer::kNegative: {
                const std::string line = answer.substr(0, answer.find("\r\n")).substr(0, 200);
                TW_LOG(LOG_CLIENT_LOGIN, 4, "[CreateSocketAndHandshake]  server send nagative response: %s.",
                       line.c_str());
                Ui(UI_CODE_PROGRESS_TEXT, kTxtNegative);
                ReportError(kErrProtocol,
                            "网关协议错误: 网关应答不是预期的欢迎信息, 请检查是否连接了正确的服务器。");
                return false;
            }
            case HelloAnswer::kOtherStatus: {
                char text[160];
                std::snprintf(text, sizeof text, "网关协议错误: HTTP %d, 请检查是否连接了正确的服务器。",
                              status);
                ReportError(kErrProtocol, text);
                if (!relogon) Ui(UI_CODE_PROGRESS_TEXT, kTxtBadStatus);
                return false;
            }
        }
    }
}

int TwQelConnector::CreateSocketAndHandshake(DWORD address, WORD port, int ms, bool relogon) {
    if (m_deps.connectGateway) return m_deps.connectGateway(address, port, ms, relogon);
    Ui(UI_CODE_PROGRESS_TEXT, kTxtCreateSocket);
    Proxy proxy;
    {
        std::lock_guard<std::mutex> lock(m_paramLock);
        proxy = m_proxy;
    }
    const int fd = proxy.on ? ConnectTcp(proxy.address, proxy.port, ms, relogon)
                            : ConnectTcp(address, port, ms, relogon);
    if (fd < 0) {
        if (proxy.on) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "不能建立与代理服务器%s:%d的连接\n错误码：%d",
                   Dotted(proxy.address).c_str(), proxy.port, errno);
            Box(m_ui.LanguageText(kTxtProxyConnect));
        }
        return -1;
    }
    // The greeting is read with poll before every recv; the socket stays non-blocking until the TLS
    // library takes it.
    bool ok = !proxy.on || ProxyConnect(fd, address, port, ms);
    ok = ok && PlayHello(fd, ms, relogon);
    if (!ok) {
        ::close(fd);
        return -1;
    }
    return fd;
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
    while (!m_link->PreviousSessionClosed()) {
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
    const std::string presented = m_link->PeerCertificateFingerprint();
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
        if (rc == platform::kRegFileNotFound || rc == platform::kRegUnsupportedType) {
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
    m_link->ReleaseSession();
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonHandleSslConnection] ## TW_SSL_DEFAULT_CIPHERS");
    {
        std::lock_guard<std::mutex> lock(m_paramLock);
        m_results.cipherSelector = 3;
    }
    m_link->SetCipherList(DefaultCipherText());
    WORD port = 443;
    {
        std::lock_guard<std::mutex> lock(m_paramLock);
        port = m_serverPort;
    }
    ResetCompressionBeforeAttach();
    if (!m_link->Attach(fd, m_serverAddress.load(), port)) {
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
    platform::Event* events[] = {&m_tlsConnect, &m_waitLogon, &m_sslDisconnect};
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
            m_sslDisconnect.Reset();
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
