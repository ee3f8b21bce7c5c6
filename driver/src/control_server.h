// The control device on Linux: an AF_UNIX SOCK_SEQPACKET socket at a fixed path in the runtime
// folder, served by a local pipe. One connection is one opened handle (file object); each
// message is one request, answered by one reply. The ring block and events travel as
// descriptors (SCM_RIGHTS). Who may open it is the pipe's peer policy; one thread serves every
// connection, and requests are handled one at a time.
#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "control_device.h"
#include "platform/local_pipe.h"

namespace olvane {

// How many handles may be open at once. Root has its own share, so users cannot lock it out.
constexpr std::size_t kMaxHandlesPerUser = 16;
constexpr std::size_t kMaxUserHandles = 64;
constexpr std::size_t kMaxRootHandles = 64;

class TwControlServer : private platform::LocalPipeServer::Handler {
public:
    TwControlServer() = default;
    ~TwControlServer() override;
    TwControlServer(const TwControlServer&) = delete;
    TwControlServer& operator=(const TwControlServer&) = delete;

    // Binds `path` (a stale socket there is replaced) and starts serving those `policy`
    // admits; the socket's mode follows the policy. false with errno.
    bool Start(const std::string& path, platform::PeerPolicy policy);
    // Stops serving, closes every connection (each one's sharing ends) and removes the socket.
    void Stop();
    std::uint64_t RejectedRequests() const { return m_rejected.load(); }
    std::uint64_t RefusedConnections() const { return m_pipe ? m_pipe->RefusedConnections() : 0; }

private:
    bool OnConnect(std::uint64_t connection, const platform::PeerCredentials& peer) override;
    void OnRequest(platform::PipeRequest& request, platform::PipeReply* reply) override;
    void OnDisconnect(std::uint64_t connection) override;

    std::unique_ptr<platform::LocalPipeServer> m_pipe;
    std::map<std::uint64_t, TwFileObject> m_handles;  // the pipe's thread only
    std::atomic<std::uint64_t> m_rejected{0};
};

}  // namespace olvane
