#include "prendle/socket_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "accept_socket.h"
#include "platform/debug_output.h"
#include "platform/errors.h"
#include "platform/text_util.h"
#include "prendle/proxy_handshake.h"

namespace {

std::atomic<TwSocketClient::MessageBoxHandler> g_messageBox{nullptr};

// The proxy and gateway addresses arrive as unsigned long in network byte order.
std::string Dotted(unsigned long address) { return platform::Ipv4Text(static_cast<DWORD>(address)); }

using Clock = std::chrono::steady_clock;

// Milliseconds left until `deadline`, 0 when passed.
int Remaining(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits until fd shows `events` (or the cancel descriptor fires). 1 ready, 0 time-out, -1 cancel.
int WaitFor(int fd, short events, int cancelFd, Clock::time_point deadline) {
    for (;;) {
        pollfd set[2] = {{fd, events, 0}, {cancelFd, POLLIN, 0}};
        int n = poll(set, cancelFd >= 0 ? 2 : 1, Remaining(deadline));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 0;
        if (cancelFd >= 0 && (set[1].revents & POLLIN)) return -1;
        return 1;
    }
}

}  // namespace

TwSocketClient::TwSocketClient() = default;

TwSocketClient::~TwSocketClient() {
    // Sessions end while this object is still a client: their callbacks may look at it.
    CleanUp();
}

SharedObjectPtr<TwSocketClient> TwSocketClient::CreateSockClient() {
    return SharedObjectPtr<TwSocketClient>(new (std::nothrow) TwSocketClient);
}

unsigned long TwSocketClient::Initialize(TwProcessCallBack callback, void* context, unsigned long,
                                         unsigned short) {
    return TwSocketManager::Initialize(callback, context, 0, 0);
}

void TwSocketClient::SetCancelEvent(platform::Event* event) {
    std::lock_guard<std::mutex> guard(m_settingsLock);
    m_settings.cancel = event;
}

void TwSocketClient::UseHttpProxy(unsigned long address, unsigned short port, const char* user,
                                  const char* password) {
    std::lock_guard<std::mutex> guard(m_settingsLock);
    m_settings.proxyAddress = address;
    m_settings.proxyPort = port;
    if (user != nullptr && password != nullptr) {
        std::string text = std::string(user) + ":" + password;
        if (text.size() > 255) text.resize(255);
        m_settings.credentials = std::move(text);
    }
}

void TwSocketClient::SetTimeouts(const Timeouts& timeouts) {
    std::lock_guard<std::mutex> guard(m_settingsLock);
    m_settings.timeouts = timeouts;
}

TwSocketClient::Settings TwSocketClient::Snapshot() {
    std::lock_guard<std::mutex> guard(m_settingsLock);
    return m_settings;
}

void TwSocketClient::SetMessageBoxHandler(MessageBoxHandler handler) { g_messageBox.store(handler); }

void TwSocketClient::Alert(const char* format, ...) {
    char text[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    MessageBoxHandler handler = g_messageBox.load();
    if (handler != nullptr) {
        handler(kMessageCaption, text);
    } else {
        platform::DebugOutput(std::string(kMessageCaption) + ": " + text + "\n");
    }
}

SharedObjectPtr<SharedObject> TwSocketClient::Create() {
    if (!m_initialized || m_callback.load() == nullptr) {
        SetError(TW_ERR_CREATE, 0);
        return nullptr;
    }
    return SharedObjectPtr<SharedObject>(new (std::nothrow) prendle::TwAcceptSocket(EngineRef()));
}

SharedObjectPtr<SharedObject> TwSocketClient::Connect(unsigned long address, unsigned short port,
                                                      SharedObjectPtr<SharedObject> context) {
    SharedObjectPtr<SharedObject> session = Create();
    if (!session) return nullptr;
    return Connect(session, address, port, context) ? session : SharedObjectPtr<SharedObject>();
}

bool TwSocketClient::ConnectTcp(int fd, unsigned long address, unsigned short port, const Settings& settings,
                                int* error) {
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_addr.s_addr = static_cast<in_addr_t>(address);
    target.sin_port = htons(port);
    *error = 0;
    if (connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof(target)) == 0) return true;
    if (errno != EINPROGRESS) {
        *error = errno;
        return false;
    }
    int cancelFd = settings.cancel != nullptr ? settings.cancel->Fd() : -1;
    auto deadline = Clock::now() + std::chrono::milliseconds(settings.timeouts.connectMs);
    int ready = WaitFor(fd, POLLOUT, cancelFd, deadline);
    if (ready <= 0) {
        *error = ready < 0 ? ECANCELED : ETIMEDOUT;
        return false;
    }
    int soError = 0;
    socklen_t length = sizeof(soError);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &length) != 0) soError = errno;
    *error = soError;
    return soError == 0;
}

bool TwSocketClient::Connect(SharedObjectPtr<SharedObject> session, unsigned long address,
                             unsigned short port, SharedObjectPtr<SharedObject> context) {
    SetError(0, 0);
    if (!m_initialized || m_callback.load() == nullptr) {
        SetError(TW_ERR_CREATE, 0);
        return false;
    }
    prendle::TwAcceptSocket* connection = prendle::AsConnection(session);
    if (connection == nullptr) return false;
    connection->SetSessionCtx(context);
    if (connection->TwSocket::Create(m_address, m_port) != 1) {
        SetError(TW_ERR_CREATE, connection->GetError());
        return false;
    }
    connection->Adopt(connection->GetSOCKET());  // non-blocking from here on
    if (connection->SetUp() != 1) {
        SetError(TW_ERR_SETUP, 0);
        return false;
    }
    connection->SetProcessCallBack(m_callback.load(), m_context.load(), this);

    Settings settings = Snapshot();
    bool viaProxy = settings.proxyAddress != 0 && settings.proxyPort != 0;
    unsigned long targetAddress = viaProxy ? settings.proxyAddress : address;
    unsigned short targetPort = viaProxy ? settings.proxyPort : port;
    int fd = connection->GetSOCKET();
    int error = 0;
    if (!ConnectTcp(fd, targetAddress, targetPort, settings, &error)) {
        int wsa = static_cast<int>(platform::WsaErrorFromErrno(error));
        SetError(TW_ERR_CONNECT, wsa);
        if (viaProxy) {
            Alert("不能建立与代理服务器%s:%d的连接，Socket错误号为：%d-%s",
                  Dotted(settings.proxyAddress).c_str(), settings.proxyPort, wsa, std::strerror(error));
        }
        connection->CloseSocket();
        return false;
    }
    if (viaProxy && !ProxyHandshake(fd, address, port, settings)) {
        connection->CloseSocket();
        return false;
    }
    // false only when the session could not be bound (-9); a refusal by the callback still
    // counts as connected, the session then being closed already.
    return AnnounceSession(connection);
}

bool TwSocketClient::ProxyCancelled() {
    // Reported like a cancelled connect, and without a message: the caller asked for it.
    SetError(TW_ERR_CONNECT, static_cast<int>(platform::WsaErrorFromErrno(ECANCELED)));
    return false;
}

bool TwSocketClient::ProxyHandshake(int fd, unsigned long address, unsigned short port,
                                    const Settings& settings) {
    std::string proxyText = Dotted(settings.proxyAddress);
    int proxyPort = settings.proxyPort;
    std::string request = prendle::BuildProxyRequest(Dotted(address), port, settings.credentials);
    ssize_t sent = send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    if (sent != static_cast<ssize_t>(request.size())) {
        int err = sent < 0 ? errno : 0;
        int wsa = static_cast<int>(platform::WsaErrorFromErrno(err));
        SetError(TW_ERR_PROXY_SEND, wsa);
        Alert("向代理服务器%s:%d发送连结请求时出错，Socket错误号为：%d-%s", proxyText.c_str(), proxyPort, wsa,
              std::strerror(err));
        return false;
    }
    // One deadline for the whole answer: a proxy that trickles bytes cannot hold the caller. The
    // cancel event ends every wait of the answer at once, as it ends the connect's.
    const int cancelFd = settings.cancel != nullptr ? settings.cancel->Fd() : -1;
    auto deadline = Clock::now() + std::chrono::milliseconds(settings.timeouts.proxyAnswerMs);
    const int first = WaitFor(fd, POLLIN, cancelFd, deadline);
    if (first < 0) return ProxyCancelled();
    if (first != 1) {
        SetError(TW_ERR_PROXY_TIMEOUT, 0);
        // The text names the wait this client really made (30 seconds unless configured otherwise).
        Alert("代理服务器%s:%d在%g秒内没有发送应答", proxyText.c_str(), proxyPort,
              static_cast<double>(settings.timeouts.proxyAnswerMs) / 1000.0);
        return false;
    }
    prendle::ProxyAnswerReader reader;
    for (;;) {
        int err = 0;
        const prendle::ProxyAnswer verdict = prendle::FeedFromSocket(fd, reader, &err);
        if (err != 0) {
            int wsa = static_cast<int>(platform::WsaErrorFromErrno(err));
            SetError(TW_ERR_PROXY_RECEIVE, wsa);
            Alert("接收代理服务器%s:%d连结应答时出错，Socket错误号为：%d-%s", proxyText.c_str(), proxyPort,
                  wsa, std::strerror(err));
            return false;
        }
        switch (verdict) {
            case prendle::ProxyAnswer::kConnected: return true;
            case prendle::ProxyAnswer::kAuthRejected:
                SetError(TW_ERR_PROXY_REFUSED, 0);
                if (!settings.credentials.empty()) {
                    Alert("代理服务器 %s:%d 认证用户 %s 不通过，\n返回信息为：\n%s\n请检查代理服务器设置!",
                          proxyText.c_str(), proxyPort, prendle::ProxyUserName(settings.credentials).c_str(),
                          reader.PrintableText().c_str());
                } else {
                    Alert("代理服务器 %s:%d 认证不通过，返回信息为：\n%s\n请检查代理服务器设置!",
                          proxyText.c_str(), proxyPort, reader.PrintableText().c_str());
                }
                return false;
            case prendle::ProxyAnswer::kRefused:
                SetError(TW_ERR_PROXY_REFUSED, 0);
                Alert("代理服务器 %s:%d 认证不通过，返回信息为：\n%s\n请检查代理服务器设置!",
                      proxyText.c_str(), proxyPort, reader.PrintableText().c_str());
                return false;
            case prendle::ProxyAnswer::kNeedMore: {
                const int more = WaitFor(fd, POLLIN, cancelFd, deadline);
                if (more < 0) return ProxyCancelled();
                if (more == 1) continue;
            }
                [[fallthrough]];
            case prendle::ProxyAnswer::kOversized:
            case prendle::ProxyAnswer::kClosed:
                SetError(TW_ERR_PROXY_RECEIVE, 0);
                Alert("接收代理服务器%s:%d连结应答时出错，Socket错误号为：%d-%s", proxyText.c_str(),
                      proxyPort, 0,
                      verdict == prendle::ProxyAnswer::kClosed      ? "connection closed"
                      : verdict == prendle::ProxyAnswer::kOversized ? "answer too long"
                                                                    : "no complete answer in time");
                return false;
        }
    }
}
