#include "engine/tunnel_keeper.h"

#include <system_error>

#include "dailylog/shared_daily_log.h"

namespace engine {

void TwTunnelKeeper::Online() {
    const std::uint64_t now = m_clock.TickMs();
    m_sent = now;
    m_received = now;
}

TwTunnelKeeper::KeepAlive TwTunnelKeeper::Check() {
    const std::uint64_t now = m_clock.TickMs();
    const std::uint64_t sent = m_sent.load(), received = m_received.load();
    TW_LOG(LOG_CLIENT_LOGIN, 5, "[TimerRoutine]m_SendKeepAlive is %llu,m_RecvKeepAlive is %llu",
           static_cast<unsigned long long>(sent), static_cast<unsigned long long>(received));
    if (sent >= received && sent - received >= m_timing.lossMs) {
        TW_LOG(LOG_CLIENT_LOGIN, 4,
               "[TimerRoutine]!!!!lost keepalive response, force disconnect. m_SendKeepAlive is "
               "%llu,m_RecvKeepAlive "
               "is %llu",
               static_cast<unsigned long long>(sent), static_cast<unsigned long long>(received));
        m_sent = received;
        return KeepAlive::kLost;
    }
    if (now >= sent && now - sent >= m_timing.keepAliveMs) {
        m_sent = now;
        return KeepAlive::kSendRequest;
    }
    return KeepAlive::kQuiet;
}

void TwTunnelKeeper::StartCutLogoff(std::function<void()> body) {
    std::lock_guard<std::mutex> lock(m_cutLock);
    if (m_stopped) return;
    if (m_cutThread.joinable()) {
        if (m_cutRunning.load()) return;  // one forced logoff at a time
        m_cutThread.join();
    }
    m_cutRunning = true;
    try {
        m_cutThread = std::thread([this, body = std::move(body)] {
            body();
            m_cutRunning = false;
        });
    } catch (const std::system_error& e) {
        m_cutRunning = false;
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[ReceivePacketFromPeer] 创建踢下线线程失败 lasterror %d",
               e.code().value());
    }
}

void TwTunnelKeeper::StopCutLogoff() {
    std::lock_guard<std::mutex> lock(m_cutLock);
    m_stopped = true;
    if (m_cutThread.joinable()) m_cutThread.join();
}

}  // namespace engine
