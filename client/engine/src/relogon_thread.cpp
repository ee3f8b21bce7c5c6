#include "engine/relogon_thread.h"

#include <atomic>

#include "dailylog/shared_daily_log.h"

namespace engine {

namespace {

constexpr int kTextRelogonRunning = 151;
constexpr int kTextRelogonTitle = 152;

}  // namespace

void TwRelogonThread::Execute() {
    ConnectorControl& conn = m_worker.RelogonConnector();
    const EngineTiming& timing = m_worker.RelogonTiming();
    conn.Disconnect();
    conn.CloseCaptureDevice();
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[Execute] TwRelogonThread relogon to server for gw by sessionid");
    unsigned c = 0;
    for (;;) {
        // No message boxes while the relogon runs: it retries on its own.
        conn.SetErrorMessageBoxes(false);
        if (c >= timing.relogonMaxTries) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwRelogonThread:Execute] retry>1000 放弃重连.");
            GiveUp(false);
            break;
        }
        const unsigned n = c + 1;
        if (c == 0) {
            conn.SetArpAnswering(false);
            m_worker.RelogonUi().TrayBalloon(m_worker.RelogonUi().LanguageText(kTextRelogonTitle),
                                             m_worker.RelogonUi().LanguageText(kTextRelogonRunning));
        } else if (!Pause(n)) {
            break;
        }
        if (n == timing.relogonFastTries) {
            // From here on the adapter stays unconfigured until a logon succeeds, so the machine
            // is usable while the gateway stays away.
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwRelogonThread::Execute]i == 6!");
            conn.PrintSystemRouteTable();
            conn.LogoffConfigAdapter(true);
            conn.ChangeMediaStatus(false);
            conn.CloseCaptureDevice();
            conn.PrintSystemRouteTable();
        }
        if (!Attempt(n)) break;
        c = n;
    }
    TW_LOG(LOG_CLIENT_LOGIN, 4,
           "[Execute]重连线程退出：第%u次重连结束，sessionid:%u, m_LogonInProgress改回false", c + 1,
           static_cast<unsigned>(conn.Session().sessionId));
    conn.SetRelogonFinished(true);
    conn.CommitPendingLoggedOn();
}

bool TwRelogonThread::Pause(unsigned attempt) {
    ConnectorControl& conn = m_worker.RelogonConnector();
    const EngineTiming& timing = m_worker.RelogonTiming();
    const bool fast = attempt <= timing.relogonFastTries;
    conn.WaitLogonEvent().Reset();
    m_worker.RelogonUi().Callback(UPDATE_STATUS_CAN_CANCEL, "");
    m_worker.RelogonUi().Callback(UI_CODE_PROGRESS_TEXT,
                                  m_worker.RelogonUi().LanguageText(kTextRelogonRunning));
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwRelogonThread:Execute] 开始等待下一次重连(5sec/1min).");
    // Cancel and logoff raise their flag before they set the event, so a request that came just
    // before the reset above is seen here instead of being slept through.
    if (!m_worker.RelogonCancelled() && !m_worker.RelogonLogoffRequested()) {
        conn.WaitLogonEvent().Wait(fast ? timing.relogonFastMs : timing.relogonSlowMs,
                                   m_worker.RelogonClock());
    }
    if (m_worker.RelogonCancelled()) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwRelogonThread::Execute]用户取消自动重连!");
        if (fast) {
            conn.LogoffConfigAdapter(false);
            conn.PrintSystemRouteTable();
        }
        conn.SetDataPathActive(false);
        conn.CloseCaptureDevice();
        GiveUp(false);
        return false;
    }
    if (m_worker.RelogonLogoffRequested()) {
        // The logoff that asked takes the session down; no further logon from here.
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwRelogonThread::Execute] logoff requested, relogon ends");
        conn.SetStatus(TW_CLT_STATUS_GW_RELOGON_INIT);
        return false;
    }
    return true;
}

bool TwRelogonThread::Attempt(unsigned attempt) {
    ConnectorControl& conn = m_worker.RelogonConnector();
    std::atomic<int>& logon = conn.LogonInProgress();
    if (TakeGuard(logon)) {
        if (conn.Status() == TW_CLT_STATUS_GW_CERTIFIED) {
            logon.store(0);
            return false;
        }
        // Tested after taking the guard: a logoff raises its flag before it looks at the guard,
        // so one of the two always sees the other.
        if (!m_worker.RelogonCancelled() && !m_worker.RelogonLogoffRequested()) {
            const SavedLogon saved = conn.SavedLogonParameters();
            const unsigned session = static_cast<unsigned>(conn.Session().sessionId);
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[Execute]第%u次重连开始，sessionid:%u, m_LogonInProgress改回false",
                   attempt, session);
            m_worker.RelogonLogon(saved.user, saved.password, saved.sessionText);
            m_lastError = conn.LastError();
            TW_LOG(LOG_CLIENT_LOGIN, 4,
                   "[Execute]第%u次TwRelogonThread LogonUserToDomain() return %d sessionid %u", attempt,
                   m_lastError, session);
        }
        logon.store(0);
        if (m_worker.RelogonCancelled()) {
            GiveUp(true);
            return false;
        }
        if (m_worker.RelogonLogoffRequested()) {
            conn.SetStatus(TW_CLT_STATUS_GW_RELOGON_INIT);
            return false;
        }
        if (m_lastError != TW_ERROR_NONE && m_lastError != TW_ERROR_USER_CANCELLED &&
            conn.LastFailureFinal()) {
            // Refused credentials or a rejected certificate stay so on every further try.
            const std::string text = conn.LastErrorText();
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwRelogonThread::Execute] refused for good (%d): %s", m_lastError,
                   text.c_str());
            if (!text.empty()) m_worker.RelogonUi().Callback(UI_CODE_MESSAGE, text);
            GiveUp(true);
            return false;
        }
    }
    if (m_worker.RelogonCancelled() || m_lastError == TW_ERROR_NONE || m_lastError == TW_ERROR_USER_CANCELLED)
        return false;
    return conn.LogoffInProgress().load() == 0 && logon.load() == 0;
}

void TwRelogonThread::GiveUp(bool unconfigure) {
    ConnectorControl& conn = m_worker.RelogonConnector();
    if (unconfigure) conn.LogoffConfigAdapter(false);
    conn.SetStatus(TW_CLT_STATUS_OFFLINE);
    m_worker.RelogonUi().Callback(UPDATE_STATUS_OFFLINE, "");
    m_worker.RelogonUi().Callback(UI_CODE_CLEAN_CACHE, "");
}

}  // namespace engine
