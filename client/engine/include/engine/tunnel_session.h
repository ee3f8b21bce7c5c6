// TwTunnelSession: the running tunnel under the connector. It owns the TLS link, the data path and
// the tunnel keeper, takes the link's events, sends the data path's bytes straight to the link and
// answers the gateway's keep-alives itself; what needs the logon's state (the connector's status
// decision after a loss, the logoff acknowledgement, the forced logoff, the password answer, a
// fault's error) goes up to its host, the connector.
//
// Threads: link events and control messages on the TLS library's thread, the data path's calls on
// its pump and receive threads, the rest on the connector's threads. The status and the session id
// are the connector's (read here, never written); queued work runs on the connector's timer.
//
// Lifetime: Shutdown ends the link's events and the forced logoff's thread; StopDataPath then ends
// the data path, CloseLink frees the link. The host, the port and the policy must outlive it.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "engine/connector_utils.h"
#include "engine/engine_timing.h"
#include "engine/gateway_policy.h"
#include "engine/logon_buffer.h"
#include "engine/packet_port.h"
#include "engine/tunnel_data_path.h"
#include "engine/tunnel_keeper.h"
#include "engine/tunnel_link.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "platform/timer_queue.h"

namespace engine {

// What the session hands up to the connector.
class TunnelSessionHost {
public:
    // The link went down and the session's own state says so: the status decision.
    virtual void OnSessionDown() = 0;
    // A management message of the gateway other than a keep-alive (at least a header long).
    virtual void OnManagementMessage(const std::uint8_t* message, std::size_t length) = 0;
    // A fault of the data path: its error, before the session is disconnected.
    virtual void OnSessionFault(int lastError) = 0;

protected:
    ~TunnelSessionHost() = default;
};

class TwTunnelSession final : public TunnelLinkEvents, public TunnelSender, public TunnelControlSink {
public:
    // `status` and `sessionId` are the connector's; `timer` runs the keep-alive answers.
    TwTunnelSession(TunnelSessionHost& host, const std::atomic<int>& status,
                    const std::atomic<DWORD>& sessionId, platform::TimerQueue& timer,
                    const platform::Clock& clock, const EngineTiming& timing);
    TwTunnelSession(const TwTunnelSession&) = delete;
    TwTunnelSession& operator=(const TwTunnelSession&) = delete;

    // Makes the data path over `port` and initialises `link` with the trusted-CA folder. false
    // when the link is missing or does not initialise (the data path exists then).
    bool Open(PacketPort& port, TwGatewayPolicy& policy, PolicyHost& policyHost, DataPathSwitches& switches,
              bool compression, std::unique_ptr<TunnelLink> link, const std::string& caPath);
    // No link event and no forced logoff runs any more afterwards.
    void Shutdown();
    void StopDataPath();
    void CloseLink() { m_link.reset(); }

    TunnelLink* Link() { return m_link.get(); }
    TunnelDataPath* DataPath() { return m_dataPath.get(); }
    TwTunnelKeeper& Keeper() { return m_keeper; }
    OnlineTimer& OnlineClock() { return m_onlineTimer; }

    // The logon's side: its receive buffer, the handshake's events, the alert of the last end.
    TwLogonBuffer& LogonBuffer() { return m_logonBuffer; }
    platform::Event& ConnectEvent() { return m_tlsConnect; }
    platform::Event& DisconnectEvent() { return m_sslDisconnect; }
    // Before a handshake: neither event is set.
    void ResetLinkEvents() {
        m_sslDisconnect.Reset();
        m_tlsConnect.Reset();
    }
    int AlertCode() const { return m_alertCode.load(); }
    // Online: received data goes to the data path from now on.
    void EndLogonBuffering();
    const std::atomic<bool>& Connected() const { return m_connected; }
    void SetDisconnected() { m_connected = false; }

    // The data path's pump: started with the session's addresses (`beforeConfigure` runs with the
    // pump stopped), stopped, and its compression reset.
    void StartPump(const DataPathSession& session, bool compression,
                   const std::function<void()>& beforeConfigure);
    void StopPump();
    void ResetCompression();
    void ResetCompressionBeforeAttach();

    // One finished SSR message to the gateway; the keep-alives (online only).
    void SendControl(const std::uint8_t* message, std::size_t length);
    void SendKeepAliveRequest();
    void SendKeepAliveResponse();
    // Closes the current TLS session, when there is one.
    void Disconnect();

    // TunnelLinkEvents
    void OnLinkConnect() override;
    std::size_t OnLinkReceive(const std::uint8_t* data, std::size_t size) override;
    void OnLinkDisconnect(bool alert, int level, int code, bool closedHere) override;
    // TunnelSender
    int SendTunnelBytes(const std::uint8_t* data, std::size_t length, bool more) override;
    bool TunnelOnline() override;
    // TunnelControlSink
    void OnGatewayMessage() override { m_keeper.Heard(); }
    void OnControlMessage(const std::uint8_t* message, std::size_t length) override;
    void OnTunnelFault(int lastError) override;

private:
    TunnelSessionHost& m_host;
    const std::atomic<int>& m_status;
    const std::atomic<DWORD>& m_sessionId;
    platform::TimerQueue& m_timer;
    const platform::Clock& m_clock;
    const EngineTiming m_timing;

    std::unique_ptr<TunnelLink> m_link;
    std::unique_ptr<TunnelDataPath> m_dataPath;
    std::mutex m_pumpLock;  // Start, Stop and the compression reset of the data path

    platform::Event m_tlsConnect{false, false};
    platform::Event m_sslDisconnect{false, false};
    std::atomic<bool> m_connected{false};
    // The logon receive buffer: filled by the link's deliveries while a logon runs (m_buffering).
    TwLogonBuffer m_logonBuffer;
    std::atomic<bool> m_buffering{true};
    std::atomic<int> m_alertCode{0};

    TwTunnelKeeper m_keeper;
    OnlineTimer m_onlineTimer;
};

}  // namespace engine
