// The pipe command server over the local-pipe facility.
#include "service/netshell_server.h"

#include "service/gui_watchdog.h"

#include <cerrno>

#include "platform/machine_root.h"
#include "platform/settings_store.h"
#include "service/netsh_pipe.h"
#include "service_log.h"

namespace service {
namespace {

constexpr const char* kTag = "[NetShellServiceThread::Execute]";

platform::LocalPipeLimits PipeLimits() {
    platform::LocalPipeLimits limits;
    limits.maxMessage = kCommandBufferSize - 1;  // a command of 256 bytes or more is refused whole
    limits.idleTimeoutMs = 30000;                // a peer that says nothing does not stay forever
    return limits;
}

}  // namespace

platform::PeerPolicy NetshPipePolicy() {
    auto store = platform::SettingsStore::Machine();
    std::string access, group;
    if (store->GetString(kServiceSettingsKey, "PipeAccess", &access) == platform::kRegOk &&
        access == "everyone") {
        return platform::PeerPolicy::Anyone();
    }
    if (store->GetString(kServiceSettingsKey, "PipeGroup", &group) != platform::kRegOk || group.empty())
        group = platform::ClientGroupName();  // the install's choice, as the driver's device takes it
    bool found = false;
    auto policy = platform::PeerPolicy::RootOrGroupNamed(group, &found);
    if (!found)
        SVC_LOG("[NetShellServiceThread:CreatePipe] group %s does not exist: root only", group.c_str());
    return policy;
}

NetShellServiceThread::NetShellServiceThread(NetshOperations& operations, platform::PeerPolicy policy)
    : m_ops(operations), m_server(*this, policy, PipeLimits()) {}

NetShellServiceThread::~NetShellServiceThread() { Stop(); }

bool NetShellServiceThread::Start(const std::string& path) {
    m_path = path;
    if (!platform::MakeDirs(path.substr(0, path.rfind('/')), 0755) || !m_server.Start(path)) {
        SVC_LOG("[NetShellServiceThread:CreatePipe] Create name pipe failed! errno %d", errno);
        SVC_LOG("%s CreatePipe failed!", kTag);
        return false;
    }
    m_started = true;
    SVC_LOG("[NetShellServiceThread:CreatePipe] Create Name Pipe Successfully!");
    return true;
}

void NetShellServiceThread::Stop() {
    if (m_stop.exchange(true)) return;
    if (m_started) SendExitCmdToNetsh(m_path);
    m_server.Stop();
    if (m_started) SVC_LOG("%s return 0", kTag);
    m_started = false;
}

bool NetShellServiceThread::OnConnect(std::uint64_t connection, const platform::PeerCredentials& peer) {
    SVC_LOG("%s Client Connected", kTag);
    NoteClientOfPipe(peer.pid);
    m_sessions[connection] = std::make_unique<NetshPipeSession>(m_ops);
    return true;
}

void NetShellServiceThread::OnRequest(platform::PipeRequest& request, platform::PipeReply* reply) {
    auto it = m_sessions.find(request.connection);
    if (it == m_sessions.end()) {
        reply->close = true;
        return;
    }
    const auto action = it->second->OnMessage(request.data.data(), request.data.size(), request.oversized);
    reply->data = action.reply;
    reply->close = action.hangUp;
}

void NetShellServiceThread::OnDisconnect(std::uint64_t connection) { m_sessions.erase(connection); }

bool SendExitCmdToNetsh(const std::string& path) {
    auto client = platform::LocalPipeClient::Connect(path);
    if (!client.Connected()) {
        SVC_LOG("[SendCmdToNetsh] Connect pipe failed Errornum = %d", errno);
        return false;
    }
    SVC_LOG("[SendCmdToNetsh] The pipe connected!");
    const bool sent = client.Send(kExitCommand.data(), kExitCommand.size());
    SVC_LOG(sent ? "[SendCmdToNetsh] WriteFile password sucessfully"
                 : "[SendCmdToNetsh] WriteFile password failed");
    return sent;
}

}  // namespace service
