// The gateway dialer: proxy settings, the TCP connect, the proxy's CONNECT and the plain hello.
#include "platform/text_util.h"
#include "platform/client_settings.h"
#include "gateway_dialer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "connector_text.h"
#include "dailylog/shared_daily_log.h"
#include "engine/connector_utils.h"
#include "engine/gateway_hello.h"
#include "prendle/proxy_handshake.h"

namespace engine {

TwGatewayDialer::TwGatewayDialer(const platform::Clock& clock, platform::Event& cancel, Hooks hooks)
    : m_clock(clock), m_cancel(cancel), m_hooks(std::move(hooks)) {}

GatewayProxy TwGatewayDialer::CurrentProxy() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_proxy;
}

bool TwGatewayDialer::LoadProxySetting(platform::SettingsStore& settings, const std::string& key) {
    if (settings.OpenKey(key) != platform::kErrorSuccess) {
        m_hooks.notice((kTxtProxySettings));
        std::lock_guard<std::mutex> lock(m_lock);
        m_proxy = GatewayProxy{};
        return false;
    }
    GatewayProxy proxy;
    std::string text;
    if (settings.GetString(key, platform::client_settings::kUseProxy, &text) != platform::kErrorSuccess ||
        !IsYes(text)) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[LoadProxySetting] Not Use Proxy");
    } else {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[LoadProxySetting] Use Proxy");
        proxy.on = true;
        if (settings.GetString(key, platform::client_settings::kProxyAddr, &text) ==
            platform::kErrorSuccess) {
            in_addr a{};
            proxy.address = inet_pton(AF_INET, text.c_str(), &a) == 1 ? a.s_addr : 0;
        }
        if (settings.GetString(key, platform::client_settings::kProxyPort, &text) ==
            platform::kErrorSuccess) {
            const long port = std::strtol(text.c_str(), nullptr, 10);
            proxy.port = port > 0 && port <= 65535 ? static_cast<WORD>(port) : 0;
        }
        if (settings.GetString(key, platform::client_settings::kUseProxyAuth, &text) ==
                platform::kErrorSuccess &&
            IsYes(text)) {
            proxy.auth = true;
            settings.GetString(key, platform::client_settings::kProxyUser, &proxy.user);
            settings.GetString(key, platform::client_settings::kProxyPass, &proxy.password);
            proxy.user = proxy.user.substr(0, 127);
            proxy.password = proxy.password.substr(0, 127);
        }
        // A proxy without an address or port cannot be used; the connection goes direct.
        if (proxy.address == 0 || proxy.port == 0) proxy.on = false;
    }
    std::lock_guard<std::mutex> lock(m_lock);
    m_proxy = proxy;
    return true;
}

// Connects with the cancel event in the wait: the socket, or -1 (closed).
int TwGatewayDialer::ConnectTcp(DWORD address, WORD port, int ms) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        m_hooks.progress(kTxtSocketFailed);
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
        const int cancelFd = m_cancel.Fd();
        for (;;) {
            if (m_cancel.IsSet()) {
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

bool TwGatewayDialer::ProxyConnect(int fd, const GatewayProxy& proxy, DWORD address, WORD port, int ms) {
    const std::string proxyText = platform::Ipv4Text(proxy.address);
    const std::string target = platform::Ipv4Text(address);
    const std::string request = BuildProxyConnect(target, port, proxy.auth ? proxy.user : std::string(),
                                                  proxy.auth ? proxy.password : std::string());
    if (!SendAll(fd, request)) {
        const int error = errno;
        TW_LOG(LOG_CLIENT_LOGIN, 4, "向代理服务器%s:%d发送连接请求时出错\nSocket错误号为：%d-%s",
               proxyText.c_str(), proxy.port, error, std::strerror(error));
        m_hooks.notice((kTxtProxySend));
        return false;
    }
    // The socket engine's reader, bounded to the answer this logon has always allowed: whatever way
    // the proxy cuts its answer, the status line and headers are gathered up to that bound.
    prendle::ProxyAnswerReader reader(kProxyAnswerMax);
    // One deadline for the whole answer: a proxy that trickles its bytes cannot hold the logon
    // (nor a quit) longer than the proxy time-out.
    const platform::ClockDeadline deadline(m_clock, static_cast<DWORD>(ms));
    for (;;) {
        const Wait wait = Readable(fd, deadline, m_cancel);
        if (wait == Wait::kCancelled) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[ProxyConnect] cancelled while waiting for the proxy %s:%d",
                   proxyText.c_str(), proxy.port);
            return false;
        }
        if (wait == Wait::kTimedOut) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "代理服务器%s:%d在30秒内没有发送应答", proxyText.c_str(), proxy.port);
            m_hooks.notice((kTxtProxySilent));
            return false;
        }
        int error = 0;
        const prendle::ProxyAnswer verdict = prendle::FeedFromSocket(fd, reader, &error);
        if (error != 0 || verdict == prendle::ProxyAnswer::kClosed) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "接收代理服务器%s:%d连结应答时出错\nSocket错误号为：%d-%s",
                   proxyText.c_str(), proxy.port, error, std::strerror(error));
            m_hooks.notice((kTxtProxyReceive));
            return false;
        }
        if (verdict == prendle::ProxyAnswer::kConnected) return true;
        if (verdict == prendle::ProxyAnswer::kNeedMore) continue;
        // Refused, asking for credentials, or no blank line within the bound.
        const std::string answer = reader.PrintableText();
        const std::string shown = answer.substr(0, answer.find("\r\n"));
        char text[1400];
        std::snprintf(text, sizeof text,
                      "代理服务器 %s:%d 认证不通过，返回信息为：\n%s\n请检查代理服务器设置!",
                      proxyText.c_str(), proxy.port, shown.c_str());
        TW_LOG(LOG_CLIENT_LOGIN, 4, "%s", text);
        m_hooks.notice((kTxtProxyAuth));
        return false;
    }
}

bool TwGatewayDialer::PlayHello(int fd, int ms, bool relogon) {
    m_hooks.progress(kTxtHello);
    if (!SendAll(fd, kGatewayHello)) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[CreateSocketAndHandshake] send hello %s to server fail", kGatewayHello);
        m_hooks.progress(kTxtHelloSend);
        return false;
    }
    std::string answer;
    const platform::ClockDeadline deadline(m_clock, static_cast<DWORD>(ms));
    for (;;) {
        if (Readable(fd, deadline, m_cancel) != Wait::kReadable) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[CreateSocketAndHandshake] server has no response in %d seconds",
                   ms / 1000);
            m_hooks.progress(kTxtNoAnswer);
            return false;
        }
        char buffer[kHelloAnswerMax];
        const std::size_t room = kHelloAnswerMax - answer.size();
        const ssize_t n = ::recv(fd, buffer, room, 0);
        if (n <= 0) {
            m_hooks.progress(kTxtHelloRead);
            return false;
        }
        answer.append(buffer, static_cast<std::size_t>(n));
        int status = 0;
        const HelloAnswer verdict = ReadHelloAnswer(answer, &status);
        switch (verdict) {
            case HelloAnswer::kIncomplete:
                if (answer.size() < kHelloAnswerMax) continue;
                m_hooks.fail(kErrProtocol, "网关协议错误: 无HTTP应答码, 请检查是否连接了正确的服务器。");
                m_hooks.progress(kTxtNoStatus);
                return false;
            case HelloAnswer::kWelcome:
                TW_LOG(LOG_CLIENT_LOGIN, 4, "[CreateSocketAndHandshake] receive server welcome.");
                m_hooks.progress(kTxtWelcome);
                return true;
            case HelloAnswer::kNotHttp:
                m_hooks.fail(kErrProtocol, "网关协议错误: 非HTTP协议, 请检查是否连接了正确的服务器。");
                if (!relogon) m_hooks.progress(kTxtNotHttp);
                return false;
            case HelloAnswer::kNoStatus:
                m_hooks.fail(kErrProtocol, "网关协议错误: 无HTTP应答码, 请检查是否连接了正确的服务器。");
                m_hooks.progress(kTxtNoStatus);
                return false;
            case HelloAnswer::kBadLength:
                m_hooks.fail(kErrProtocol,
                             "网关协议错误: 错误Content-Length格式, 请检查是否连接了正确的服务器。");
                if (!relogon) m_hooks.progress(kTxtBadStatus);
                return false;
            case HelloAnswer::kNegative: {
                const std::string line = answer.substr(0, answer.find("\r\n")).substr(0, 200);
                TW_LOG(LOG_CLIENT_LOGIN, 4, "[CreateSocketAndHandshake]  server send nagative response: %s.",
                       line.c_str());
                m_hooks.progress(kTxtNegative);
                m_hooks.fail(kErrProtocol,
                             "网关协议错误: 网关应答不是预期的欢迎信息, 请检查是否连接了正确的服务器。");
                return false;
            }
            case HelloAnswer::kOtherStatus: {
                char text[160];
                std::snprintf(text, sizeof text, "网关协议错误: HTTP %d, 请检查是否连接了正确的服务器。",
                              status);
                m_hooks.fail(kErrProtocol, text);
                if (!relogon) m_hooks.progress(kTxtBadStatus);
                return false;
            }
        }
    }
}

int TwGatewayDialer::Dial(DWORD address, WORD port, int ms, bool relogon) {
    m_hooks.progress(kTxtCreateSocket);
    const GatewayProxy proxy = CurrentProxy();
    const int fd = proxy.on ? ConnectTcp(proxy.address, proxy.port, ms) : ConnectTcp(address, port, ms);
    if (fd < 0) {
        if (proxy.on) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "不能建立与代理服务器%s:%d的连接\n错误码：%d",
                   platform::Ipv4Text(proxy.address).c_str(), proxy.port, errno);
            m_hooks.notice((kTxtProxyConnect));
        }
        return -1;
    }
    // The greeting is read with poll before every recv; the socket stays non-blocking until the TLS
    // library takes it.
    bool ok = !proxy.on || ProxyConnect(fd, proxy, address, port, ms);
    ok = ok && PlayHello(fd, ms, relogon);
    if (!ok) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace engine
