// The local HTTP control server: a browser page of the gateway asks, with plain GET requests to
// 127.0.0.1:48088, for the client to be started for a web logon (/logon) or told to log off
// (/logoff). Nothing is ever answered; a complete /logon drops the connection.
//
// WebLogonControl holds the decisions (which request starts what, repeats ignored) and is tested
// without sockets; ProxyServer puts it on the socket engine's listening server.
//
// Only requests addressed to the server itself are read: a page of any site can make the browser
// send a GET to 127.0.0.1, and a host name of the attacker's that resolves to 127.0.0.1 (DNS
// rebinding) lets its scripts do so too, but neither can send our own Host. A web logon starts the
// client at most once per interval and never while a start is under way; a web logoff is taken
// only for the session that is online, and each wrong session id shuts the logoff door for a
// while (longer with each further one), so that no page or local user finds the id by counting.
// The client asks its user before logging on to a gateway the user never used, and before a web
// logon ends a session that is online.
//
// Thread-safety: WebLogonControl may be called from any engine thread; its state is under one lock.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "prendle/socket_server.h"
#include "service/http_request.h"
#include "service/control_server.h"
#include "service/service_timing.h"
#include "service/session_user.h"

namespace service {

// A parameter that may reach the client: 1 to 255 bytes, no control characters, no blank, and not
// starting with '-' (it must never read as one of the client's switches).
bool ValidClientArgument(const std::string& value);

struct WebLogonOptions {
    ServiceTiming timing;                    // the wait for the setup program
    const platform::Clock* clock = nullptr;  // null: the system clock
    // The server's port, the only one a request's Host may name; 0: the control server's port.
    std::uint16_t port = kHttpControlPort;
    // The client's current session id ("SessionId" of the client's settings); empty: read it.
    std::function<long()> registrySessionId;
    // Waits (bounded) while the setup program runs; empty: up to timing.setupWaitMs, looking every
    // timing.setupPollMs.
    std::function<void()> waitForSetup;
};

class WebLogonControl {
public:
    // kLocked: a logoff that came while the logoff door is shut after a wrong session id.
    enum class Outcome { kIgnored, kStarted, kStartFailed, kNotHandled, kForeignHost, kLocked };

    WebLogonControl(ClientLauncher& launcher, WebLogonOptions options = {});
    // Handles one complete request by its path.
    Outcome Handle(const HttpRequest& request);
    bool Online() const;
    // How many requests Handle has decided on.
    std::uint64_t HandledRequests() const { return m_handled.load(); }
    // The port a request's Host must name (the server's, once it listens).
    void SetPort(std::uint16_t port);
    // Exactly one Host header, naming 127.0.0.1 or localhost with `port`.
    static bool OwnHost(const HttpRequest& request, std::uint16_t port);
    bool AddressedHere(const HttpRequest& request) const { return OwnHost(request, m_port.load()); }
    // A /logon with all five parameters acceptable: the client's arguments, "-browserlogon" first.
    static bool LogonArguments(const HttpRequest& request, std::vector<std::string>* args);

private:
    Outcome Decide(const HttpRequest& request);
    Outcome Logon(const HttpRequest& request);
    Outcome Logoff(const HttpRequest& request);

    ClientLauncher& m_launcher;
    WebLogonOptions m_options;
    const platform::Clock* m_clock;
    std::atomic<std::uint16_t> m_port;
    std::atomic<std::uint64_t> m_handled{0};
    mutable std::mutex m_lock;
    bool m_starting = false;   // a logon's start of the client is under way
    bool m_haveStart = false;  // and m_lastStartMs holds the time of the last one
    std::uint64_t m_lastStartMs = 0;
    bool m_online = false;
    long m_logonSessionId = 0;
    long m_logoffSessionId = 0;
    bool m_haveLogoff = false;
    std::uint64_t m_logoffPenaltyMs = 0;  // how long the last wrong id shut the door; 0: none
    std::uint64_t m_logoffOpenAtMs = 0;   // the door is shut until then
};

// The control server over a TwSocketServer listening on 127.0.0.1 only.
class ProxyServer final : public ControlServer {
public:
    explicit ProxyServer(ClientLauncher& launcher, WebLogonOptions options = {});
    ~ProxyServer() override;
    // 127.0.0.1:port (0: a free port of the engine's range, see Port()).
    bool Start(std::uint16_t port) override;
    void Stop() override;
    std::uint16_t Port() const { return m_port; }
    WebLogonControl& Control() { return m_control; }

private:
    static unsigned long Callback(TwSocketManager* manager, _TwMessage* message);
    unsigned long OnReceive(TwSocketManager* manager, _TwMessage* message);

    WebLogonControl m_control;
    SharedObjectPtr<TwSocketServer> m_server;
    std::atomic<bool> m_stop{false};
    std::uint16_t m_port = 0;
};

}  // namespace service
