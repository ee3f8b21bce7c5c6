// The running tunnel: the link's events, the data path's way to the link, the keep-alives and the
// pump's start and stop.
#include "engine/tunnel_session.h"

#include "dailylog/shared_daily_log.h"
#include "engine/connector_control.h"
#include "engine/gateway_hello.h"
#include "wendrel/ssr_codec.h"

namespace engine {

namespace {

constexpr std::size_t kControlBufferSize = 1514;

}  // namespace

TwTunnelSession::TwTunnelSession(TunnelSessionHost& host, const std::atomic<int>& status,
                                 const std::atomic<DWORD>& sessionId, platform::TimerQueue& timer,
                                 const platform::Clock& clock, const EngineTiming& timing)
    : m_host(host),
      m_status(status),
      m_sessionId(sessionId),
      m_timer(timer),
      m_clock(clock),
      m_timing(timing),
      m_logonBuffer(clock),
      m_keeper(clock, timing),
      m_onlineTimer(clock) {}

bool TwTunnelSession::Open(PacketPort& port, TwGatewayPolicy& policy, PolicyHost& policyHost,
                           DataPathSwitches& switches, bool compression, std::unique_ptr<TunnelLink> link,
                           const std::string& caPath) {
    m_dataPath = std::make_unique<TunnelDataPath>(port, policy, *this, *this, m_timing, m_clock);
    m_dataPath->SetPolicyHost(&policyHost);
    m_dataPath->SetSwitches(switches);
    m_dataPath->SetCompression(compression);
    m_link = std::move(link);
    if (!m_link || !m_link->Initialize(this, caPath)) return false;
    m_link->SetCipherList(DefaultCipherList());
    return true;
}

void TwTunnelSession::Shutdown() {
    if (m_link) m_link->Shutdown();
    m_keeper.StopCutLogoff();
}

void TwTunnelSession::StopDataPath() {
    if (m_dataPath) m_dataPath->Stop();
    m_dataPath.reset();
}

void TwTunnelSession::EndLogonBuffering() {
    m_buffering = false;
    m_logonBuffer.Clear();
}

void TwTunnelSession::OnLinkConnect() {
    m_connected = true;
    m_buffering = true;
    m_logonBuffer.Restart();
    m_sslDisconnect.Reset();
    m_tlsConnect.Set();
}

std::size_t TwTunnelSession::OnLinkReceive(const std::uint8_t* data, std::size_t size) {
    if (m_buffering.load()) return m_logonBuffer.Append(data, size);
    return m_dataPath ? m_dataPath->OnDelivery(data, size) : size;
}

void TwTunnelSession::OnLinkDisconnect(bool alert, int level, int code, bool closedHere) {
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[SslContentHandlerProc] SslMsg TW_MSG_SSL_DISCONNECT, ssid=%d",
           static_cast<int>(m_sessionId.load()));
    // The end of a session closed here wakes no wait: a later logon's handshake may be waiting
    // already, and this end is not its failure.
    if (!closedHere) m_sslDisconnect.Set();
    m_onlineTimer.Stop();
    if (m_dataPath) m_dataPath->ClearLastTraffic();
    m_alertCode = alert ? (code != 0 ? code : -1) : 0;
    if (alert) {
        char text[128];
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[SslContentHandlerProc] TLS alert %s",
               GetSslAlertText(level, code, text, sizeof text));
    }
    m_connected = false;
    m_host.OnSessionDown();
}

int TwTunnelSession::SendTunnelBytes(const std::uint8_t* data, std::size_t length, bool more) {
    return m_link ? m_link->Send(data, length, more) : -1;
}

bool TwTunnelSession::TunnelOnline() { return m_status.load() == TW_CLT_STATUS_GW_CERTIFIED; }

void TwTunnelSession::OnTunnelFault(int lastError) {
    m_host.OnSessionFault(lastError);
    if (m_link) m_link->DisconnectSession();
}

void TwTunnelSession::OnControlMessage(const std::uint8_t* message, std::size_t length) {
    if (length < SSR_HEADER_SIZE) return;
    switch (message[1]) {
        case SSR_CODE_MNG_KEEP_ALIVE_REQUEST:
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[ReceivePacketFromPeer] SSR_CODE_MNG_KEEP_ALIVE_REQUEST");
            // Not from here: this delivery holds the TLS session's lock, and a send takes the data
            // path's send lock, which the pump holds while it waits for the session's. The timer
            // thread holds neither and takes them in the pump's order.
            m_timer.Queue([this] { SendKeepAliveResponse(); }, 0);
            break;
        case SSR_CODE_MNG_KEEP_ALIVE_RESPONSE:
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[ReceivePacketFromPeer] SSR_CODE_MNG_KEEP_ALIVE_RESPONSE");
            break;
        default: m_host.OnManagementMessage(message, length); break;
    }
}

void TwTunnelSession::SendControl(const std::uint8_t* message, std::size_t length) {
    if (!m_link || !m_link->HasSession() || !m_dataPath) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[SendSsrPacketToPeer] SslApi or SslSession Error.");
        return;
    }
    m_dataPath->SendControl(message, length);
    TW_LOG(LOG_CLIENT_LOGIN, 5, "[SendSsrPacketToPeer] after Send packet to remote peer through SSL tunnel.");
}

void TwTunnelSession::SendKeepAliveRequest() {
    if (!TunnelOnline()) {
        TW_LOG(LOG_CLIENT_LOGIN, 5, "SendKeepAliveRequest, m_Status != TW_CLT_STATUS_GW_CERTIFIED, %d\n",
               m_status.load());
        return;
    }
    std::uint8_t buffer[kControlBufferSize];
    short size = sizeof buffer;
    if (ssr_ConstructKeepAliveRequest(buffer, &size) != SSR_SUCCESS) return;
    TW_LOG(LOG_CLIENT_LOGIN, 5, "[SendKeepAliveRequest] SendKeepAliveRequest.");
    SendControl(buffer, static_cast<std::size_t>(size));
}

void TwTunnelSession::SendKeepAliveResponse() {
    if (!TunnelOnline()) {
        TW_LOG(LOG_CLIENT_LOGIN, 5, "SendKeepAliveResponse, m_Status != TW_CLT_STATUS_GW_CERTIFIED, %d\n",
               m_status.load());
        return;
    }
    std::uint8_t buffer[kControlBufferSize];
    short size = sizeof buffer;
    if (ssr_ConstructKeepAliveResponse(buffer, &size) != SSR_SUCCESS) return;
    SendControl(buffer, static_cast<std::size_t>(size));
}

void TwTunnelSession::Disconnect() {
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[Disconnect] Disconnect m_hSslSession");
    if (m_link && m_link->HasSession()) m_link->DisconnectSession();
}

void TwTunnelSession::ResetCompressionBeforeAttach() {
    // Before the handshake: no session delivers to us yet, and the pump of an earlier tunnel is
    // stopped by then (a running one means a session is still in use: left alone). Never from a
    // TLS callback, where the library's session lock is held and the data path's send lock would
    // be taken after it.
    if (!m_dataPath) return;
    std::lock_guard<std::mutex> lock(m_pumpLock);
    if (!m_dataPath->Running()) m_dataPath->ResetCompression();
}

void TwTunnelSession::ResetCompression() {
    if (!m_dataPath) return;
    std::lock_guard<std::mutex> lock(m_pumpLock);
    m_dataPath->ResetCompression();
}

void TwTunnelSession::StopPump() {
    std::lock_guard<std::mutex> lock(m_pumpLock);
    if (m_dataPath) m_dataPath->Stop();
}

void TwTunnelSession::StartPump(const DataPathSession& session, bool compression,
                                const std::function<void()>& beforeConfigure) {
    std::lock_guard<std::mutex> lock(m_pumpLock);
    m_dataPath->Stop();
    if (beforeConfigure) beforeConfigure();
    m_dataPath->Configure(session);
    m_dataPath->SetCompression(compression);
    if (!m_dataPath->Start()) TW_LOG(LOG_CLIENT_LOGIN, 4, "[StartPump] the receive thread did not start");
}

}  // namespace engine
