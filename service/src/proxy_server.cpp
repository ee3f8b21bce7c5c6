// The local HTTP control server: web logon and logoff.
#include "platform/client_settings.h"
#include "service/proxy_server.h"

#include <arpa/inet.h>
#include <strings.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/clock_wait.h"
#include "platform/named_objects.h"
#include "platform/settings_store.h"
#include "service_log.h"

namespace service {
namespace {

constexpr const char* kTag = "[ HttpSession::HandleHttpRequest]";

bool PathIs(const std::string& path, const char* prefix) {
    const std::size_t n = std::strlen(prefix);
    return path.size() >= n && strncasecmp(path.c_str(), prefix, n) == 0;
}

bool ParseSessionId(const std::string& text, long* id) {
    if (text.empty() || text.size() > 10) return false;
    long long v = 0;
    std::size_t i = text[0] == '-' ? 1 : 0;
    if (i == text.size()) return false;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        v = v * 10 + (text[i] - '0');
    }
    if (text[0] == '-') v = -v;
    if (v < INT32_MIN || v > INT32_MAX) return false;
    *id = static_cast<long>(v);
    return true;
}

long ReadRegistrySessionId() {
    DWORD id = 0;
    if (platform::SettingsStore::Machine()->GetDword(platform::client_settings::kClientKey,
                                                     platform::client_settings::kSessionId,
                                                     &id) != platform::kRegOk) {
        SVC_LOG("%s SessionId cannot be read", kTag);
        return 0;
    }
    return static_cast<long>(static_cast<std::int32_t>(id));
}

void WaitForSetupProgram(const ServiceTiming& timing, const platform::Clock& clock) {
    const char* kSetupMutex = "Global\\MorvaneQelCltSetupRunning";
    if (!platform::NamedObjectExists(kSetupMutex)) return;
    SVC_LOG("%s the setup program runs; waiting", kTag);
    const std::uint64_t start = clock.TickMs();
    while (clock.TickMs() - start < timing.setupWaitMs) {
        platform::SleepOn(clock, timing.setupPollMs);
        if (!platform::NamedObjectExists(kSetupMutex)) {
            SVC_LOG("%s 安装程序已退出", kTag);
            return;
        }
    }
    SVC_LOG("%s 15秒超时", kTag);
}

}  // namespace

bool ValidClientArgument(const std::string& value) {
    if (value.empty() || value.size() > 255 || value[0] == '-') return false;
    for (const char c : value) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f || u == ' ') return false;
    }
    return true;
}

bool WebLogonControl::OwnHost(const HttpRequest& request, std::uint16_t port) {
    const std::string* host = nullptr;
    for (const auto& [name, value] : request.headers) {
        if (strcasecmp(name.c_str(), "Host") != 0) continue;
        if (host != nullptr) return false;  // two of them: which one would the browser have meant?
        host = &value;
    }
    if (host == nullptr) return false;
    std::string value = *host;
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
    const std::string suffix = ":" + std::to_string(port);
    if (value.size() <= suffix.size() ||
        value.compare(value.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    const std::string name = value.substr(0, value.size() - suffix.size());
    return name == "127.0.0.1" || strcasecmp(name.c_str(), "localhost") == 0;
}

WebLogonControl::WebLogonControl(ClientLauncher& launcher, WebLogonOptions options)
    : m_launcher(launcher),
      m_options(std::move(options)),
      m_clock(m_options.clock != nullptr ? m_options.clock : &platform::SystemClock()),
      m_port(m_options.port) {
    if (!m_options.registrySessionId) m_options.registrySessionId = ReadRegistrySessionId;
    if (!m_options.waitForSetup) {
        const ServiceTiming timing = m_options.timing;
        const platform::Clock* clock =
            m_options.clock != nullptr ? m_options.clock : &platform::SystemClock();
        m_options.waitForSetup = [timing, clock] { WaitForSetupProgram(timing, *clock); };
    }
}

bool WebLogonControl::Online() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_online;
}

void WebLogonControl::SetPort(std::uint16_t port) { m_port = port; }

WebLogonControl::Outcome WebLogonControl::Handle(const HttpRequest& request) {
    const Outcome outcome = Decide(request);
    ++m_handled;
    return outcome;
}

WebLogonControl::Outcome WebLogonControl::Decide(const HttpRequest& request) {
    SVC_LOG("%s m_pUrl is %s.", kTag, PrintableText(request.url).c_str());
    if (!AddressedHere(request)) {
        SVC_LOG("%s refused: the request is not addressed to this server (Host)", kTag);
        return Outcome::kForeignHost;
    }
    if (PathIs(request.path, "/logoff")) return Logoff(request);
    if (PathIs(request.path, "/logon")) return Logon(request);
    return Outcome::kNotHandled;
}

bool WebLogonControl::LogonArguments(const HttpRequest& request, std::vector<std::string>* args) {
    static const char* const kNames[] = {"ipaddr", "port", "sessid", "username", "qelversion"};
    if (!PathIs(request.path, "/logon") || PathIs(request.path, "/logoff")) return false;
    *args = {"-browserlogon"};
    for (const char* name : kNames) {
        const std::string* v = request.Parameter(name);
        if (v == nullptr || !ValidClientArgument(*v)) {
            SVC_LOG("%s parameter %s missing or not acceptable; ignored", kTag, name);
            return false;
        }
        args->push_back(*v);
    }
    return true;
}

WebLogonControl::Outcome WebLogonControl::Logon(const HttpRequest& request) {
    std::vector<std::string> args;
    if (!LogonArguments(request, &args)) return Outcome::kIgnored;
    SVC_LOG("%s ip:%s port:%s sessionid:%s version:%s", kTag, args[1].c_str(), args[2].c_str(),
            args[3].c_str(), args[5].c_str());
    long id = 0;
    if (!ParseSessionId(args[3], &id)) {
        SVC_LOG("%s sessid is not a number; ignored", kTag);
        return Outcome::kIgnored;
    }
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (m_online && id == m_logonSessionId) {
            SVC_LOG("[HttpSession::HandleHttpRequest] m_ProxyServer->m_SessionID == sessid");
            return Outcome::kIgnored;
        }
        if (id == m_options.registrySessionId()) {
            SVC_LOG("%s the client is logged on with session %ld already", kTag, id);
            return Outcome::kIgnored;
        }
        // Each start is a client process as the seat's user: a burst of requests must not become
        // a burst of processes.
        if (m_starting) {
            SVC_LOG("%s a start of the client is under way; session %ld ignored", kTag, id);
            return Outcome::kIgnored;
        }
        if (m_haveStart && m_clock->TickMs() - m_lastStartMs < m_options.timing.webLogonIntervalMs) {
            SVC_LOG("%s the client was started a moment ago; session %ld ignored", kTag, id);
            return Outcome::kIgnored;
        }
        m_starting = true;
        m_logonSessionId = id;
        m_online = true;
    }
    m_options.waitForSetup();
    SVC_LOG("[HttpSession::CallSSLVPNClient] enter %s ip:%s port:%s sessid:%s version:%s", args[0].c_str(),
            args[1].c_str(), args[2].c_str(), args[3].c_str(), args[5].c_str());
    const bool started = m_launcher.Launch(args);
    std::lock_guard<std::mutex> g(m_lock);
    m_starting = false;
    if (!started) {
        // Nothing was started: a retry of the same logon must be able to start the client.
        if (m_logonSessionId == id) m_online = false;
        return Outcome::kStartFailed;
    }
    m_haveStart = true;
    m_lastStartMs = m_clock->TickMs();
    SVC_LOG("%s m_Online is true", kTag);
    return Outcome::kStarted;
}

WebLogonControl::Outcome WebLogonControl::Logoff(const HttpRequest& request) {
    const std::string* v = request.Parameter("sessid");
    long id = 0;
    if (v == nullptr || !ParseSessionId(*v, &id)) {
        SVC_LOG("%s logoff without a usable sessid; ignored", kTag);
        return Outcome::kIgnored;
    }
    std::lock_guard<std::mutex> g(m_lock);
    // While the door is shut no id is looked at, the right one neither: counting learns nothing.
    const std::uint64_t now = m_clock->TickMs();
    if (m_logoffPenaltyMs != 0 && now < m_logoffOpenAtMs) {
        SVC_LOG("%s logoff of session %ld while the logoff door is shut after a wrong id; ignored", kTag, id);
        return Outcome::kLocked;
    }
    if (m_logoffPenaltyMs != 0 && now - m_logoffOpenAtMs >= m_options.timing.webLogoffLockMaxMs)
        m_logoffPenaltyMs = 0;
    if (m_haveLogoff && id == m_logoffSessionId) {
        SVC_LOG("%s 重复logoff消息，不处理", kTag);
        return Outcome::kIgnored;
    }
    // Only the session that is online may be ended: the one a web logon handed to the client, or
    // the one the client says it is logged on with.
    const bool ours =
        (m_online && id == m_logonSessionId) || (id != 0 && id == m_options.registrySessionId());
    if (!ours) {
        const std::uint64_t first = m_options.timing.webLogoffLockMs;
        m_logoffPenaltyMs = m_logoffPenaltyMs == 0 ? first : m_logoffPenaltyMs * 2;
        m_logoffPenaltyMs = std::min<std::uint64_t>(m_logoffPenaltyMs, m_options.timing.webLogoffLockMaxMs);
        m_logoffOpenAtMs = now + m_logoffPenaltyMs;
        SVC_LOG("%s logoff of session %ld, which is not online; ignored, logoffs shut for %llu ms", kTag, id,
                static_cast<unsigned long long>(m_logoffPenaltyMs));
        return Outcome::kIgnored;
    }
    m_logoffPenaltyMs = 0;
    SVC_LOG("[HttpSession::CallSSLVPNClient] enter %s", "-exit");
    const bool started = m_launcher.Launch({"-exit"});
    m_online = false;
    m_logoffSessionId = id;
    m_haveLogoff = true;
    SVC_LOG("%s 设置m_Online为false, m_LogoffSessionID = %ld", kTag, id);
    return started ? Outcome::kStarted : Outcome::kStartFailed;
}

ProxyServer::ProxyServer(ClientLauncher& launcher, WebLogonOptions options)
    : m_control(launcher, std::move(options)) {}

ProxyServer::~ProxyServer() { Stop(); }

bool ProxyServer::Start(std::uint16_t port) {
    m_server = TwSocketServer::CreatePrendle();
    if (!m_server || m_server->Initialize(&ProxyServer::Callback, this, 0, 0) != TW_SUCCEED) {
        SVC_LOG("[ProxyServer::Start]启动HTTP控制服务器失败，错误 %d.", -8);
        m_server = nullptr;
        return false;
    }
    unsigned short p = port;
    if (m_server->StartServer(inet_addr("127.0.0.1"), &p) != TW_SUCCEED) {
        SVC_LOG("[ProxyServer::Start]启动HTTP控制服务器失败，错误 %d.", errno);
        m_server = nullptr;
        return false;
    }
    m_port = p;
    m_control.SetPort(m_port);
    SVC_LOG("[ProxyServer::Start]启动HTTP控制服务器，监听端口 %d", m_port);
    return true;
}

void ProxyServer::Stop() {
    m_stop = true;
    if (m_server) {
        m_server->StopServer();
        m_server = nullptr;
    }
}

unsigned long ProxyServer::Callback(TwSocketManager* manager, _TwMessage* message) {
    auto* self = static_cast<ProxyServer*>(message->userContext);
    switch (message->code) {
        case TW_MSG_SERVER_START: SVC_LOG("[HttpServerCallback] TW_MSG_SERVER_START."); return TW_SUCCEED;
        case TW_MSG_SERVER_STOP: SVC_LOG("[HttpServerCallback] TW_MSG_SERVER_STOP."); return TW_SUCCEED;
        case TW_MSG_CONNECT:
            // Connections that arrive while stopping get no session and are refused.
            if (self->m_stop.load()) message->param = 0;
            return TW_SUCCEED;
        case TW_MSG_RECEIVE: return self->OnReceive(manager, message);
        case TW_MSG_DISCONNECT: return TW_SUCCEED;
        default: SVC_LOG("[HttpServerCallback] 未知消息 %u.", message->code); return TW_SUCCEED;
    }
}

unsigned long ProxyServer::OnReceive(TwSocketManager* manager, _TwMessage* message) {
    auto* record = reinterpret_cast<_TwRecvRecord*>(message->param);
    if (record == nullptr) return TW_SUCCEED;
    record->consumed = 0;
    HttpRequest request;
    std::string error;
    switch (ParseHttpRequest(std::string_view(record->data, record->length), &request, &error)) {
        case HttpParse::kIncomplete: return TW_SUCCEED;
        case HttpParse::kMalformed:
            SVC_LOG("[HttpSession::ReadRequest]错误，非法HTTP请求头格式! (%s)", error.c_str());
            record->consumed = record->length;
            manager->Disconnect(message->session, false);
            return TW_SUCCEED;
        case HttpParse::kComplete: break;
    }
    record->consumed = static_cast<std::uint32_t>(request.consumed);
    // A complete logon drops the connection before the client starts; a logoff leaves it to the browser.
    // A request meant for another host is not ours to keep open.
    std::vector<std::string> unused;
    if (!m_control.AddressedHere(request) || WebLogonControl::LogonArguments(request, &unused))
        manager->Disconnect(message->session, true);
    m_control.Handle(request);
    return TW_SUCCEED;
}

}  // namespace service
