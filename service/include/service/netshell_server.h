// The pipe command server on the local-pipe facility: peers are checked first (root and the `qel`
// group by default), then each connection runs one NetshPipeSession: access code, command, reply,
// hang-up. Requests are served one at a time on the pipe's own thread, so a slow SetIP holds the
// others back, as the clients expect; a stop waits for the request in hand to finish.
#pragma once
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/local_pipe.h"
#include "service/netsh_command.h"
#include "service/netsh_pipe.h"

namespace service {

// Who may use the pipe: the settings key below may name another group ("PipeGroup") or open it to
// every local user ("PipeAccess" = "everyone"); otherwise root and the machine's client group
// (platform::ClientGroupName: the install's choice, `qel` by default).
constexpr const char* kServiceSettingsKey = "SYSTEM\\CurrentControlSet\\Services\\Lunther\\Parameters";
platform::PeerPolicy NetshPipePolicy();

class NetShellServiceThread final : private platform::LocalPipeServer::Handler {
public:
    NetShellServiceThread(NetshOperations& operations, platform::PeerPolicy policy);
    ~NetShellServiceThread() override;
    NetShellServiceThread(const NetShellServiceThread&) = delete;
    NetShellServiceThread& operator=(const NetShellServiceThread&) = delete;

    // Creates the pipe at `path` and starts serving; false (logged) when it cannot be created.
    bool Start(const std::string& path = NetshPipePath());
    // Sets the stop flag, wakes the server with "exitcmd" and waits until it has finished the
    // request in hand. Idempotent.
    void Stop();
    bool Stopping() const { return m_stop.load(); }
    std::uint64_t RefusedConnections() const { return m_server.RefusedConnections(); }

private:
    bool OnConnect(std::uint64_t connection, const platform::PeerCredentials& peer) override;
    void OnRequest(platform::PipeRequest& request, platform::PipeReply* reply) override;
    void OnDisconnect(std::uint64_t connection) override;

    NetshOperations& m_ops;
    platform::LocalPipeServer m_server;
    std::string m_path;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_started{false};
    std::map<std::uint64_t, std::unique_ptr<NetshPipeSession>> m_sessions;  // the pipe's thread only
};

// The service's own wake-up of its pipe server: "exitcmd" in place of an access code. true when
// it was written.
bool SendExitCmdToNetsh(const std::string& path = NetshPipePath());

}  // namespace service
