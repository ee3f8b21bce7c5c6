// Waits of the connector that end with the TLS session.
#include "engine/connector_utils.h"
#include "engine/qel_connector.h"
#include "platform/clock_wait.h"

namespace engine {

void TwQelConnector::WaitWhileConnected(const std::atomic<bool>* stop) {
    const DWORD step = m_timing.connectedPollMs;
    engine::WaitWhileConnected(m_session->Connected(), stop, [&] { platform::SleepOn(m_clock, step); });
}

void TwQelConnector::SleepWhileConnected(int ms) {
    const DWORD step = m_timing.connectedPollMs;
    engine::SleepWhileConnected(m_session->Connected(), ms, step, [&] { platform::SleepOn(m_clock, step); });
}

}  // namespace engine
