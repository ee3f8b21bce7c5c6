#include "vorn/dialog_threads.h"

#include "dailylog/shared_daily_log.h"
#include "platform/clock_wait.h"

namespace vorn {

MonitorThread::MonitorThread(std::function<bool()> logonRunning, std::function<void()> cut,
                             const UiTiming& timing, const platform::Clock& clock)
    : m_logonRunning(std::move(logonRunning)), m_cut(std::move(cut)), m_timing(timing), m_clock(clock) {}

MonitorThread::~MonitorThread() { Stop(); }

void MonitorThread::Start() {
    m_thread = std::thread([this] { Run(); });
}

void MonitorThread::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_cv.notify_all();
    if (m_thread.joinable()) m_thread.join();
}

void MonitorThread::Run() {
    bool running = false;
    std::uint64_t since = 0;
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stop) {
        const bool now = m_logonRunning();
        if (now && !running) {
            since = m_clock.TickMs();
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[MonitorThread] a logon started");
        }
        running = now;
        if (running && m_clock.TickMs() - since > m_timing.logonCutMs) {
            TW_LOG(LOG_CLIENT_LOGIN, 1, "[MonitorThread] the logon ran longer than %u ms, cut it",
                   m_timing.logonCutMs);
            lock.unlock();
            m_cut();
            return;
        }
        platform::WaitOn(m_clock, lock, m_cv, m_timing.monitorRoundMs, [&] { return m_stop; });
    }
}

WatchdogThread::WatchdogThread(const std::string& eventName, std::function<void()> onStop,
                               const UiTiming& timing)
    : m_event(platform::NamedEvent::Create(eventName, true, false)),
      m_onStop(std::move(onStop)),
      m_timing(timing) {}

WatchdogThread::~WatchdogThread() { Terminate(); }

void WatchdogThread::Start() {
    if (m_event) m_thread = std::thread([this] { Execute(); });
}

void WatchdogThread::Terminate() {
    // Our own flag ends the wait; the machine-wide event stays as it is, so that no other
    // process sees a stop request that was never made.
    m_terminated = true;
    if (m_thread.joinable()) m_thread.join();
}

void WatchdogThread::Execute() {
    while (!m_terminated) {
        if (m_event->Wait(m_timing.watchdogRoundMs) != platform::kWaitObject0) continue;
        m_event->Reset();
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[WatchdogThread] stop event");
        if (!m_terminated && m_onStop) m_onStop();
        return;
    }
}

}  // namespace vorn
