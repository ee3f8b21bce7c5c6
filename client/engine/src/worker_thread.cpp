#include "engine/worker_thread.h"

#include <unistd.h>

#include <ctime>
#include <system_error>
#include <utility>

#include "engine/relogon_thread.h"
#include "dailylog/shared_daily_log.h"
#include "platform/clock_wait.h"

namespace engine {

namespace {

constexpr int kTextLogoffNotice = 153;
constexpr int kTextRelogonFailed = 154;
constexpr int kTextForcedLogoff = 161;
constexpr int kWindowTitles[] = {130, 135, 131};  // 131: the change-password window
constexpr std::size_t kPopTextMax = 127;          // the GUI keeps 128 bytes with the zero

// The forced logoff's text when the network check gave none.
constexpr const char* kBuiltInForcedLogoffText = "由于连接空闲或在线时长达到上限，客户端已断开，请重新登录。";

}  // namespace

struct TwWorkerThread::Helper {
    std::thread thread;
    std::atomic<bool> done{false};
};

TwWorkerThread::TwWorkerThread(ConnectorControl& connector, UiSink& ui, const EngineTiming& timing,
                               const platform::Clock& clock)
    : m_connector(connector), m_ui(ui), m_timing(timing), m_clock(clock) {
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[WorkerThreadProc] 构造函数");
}

TwWorkerThread::~TwWorkerThread() {
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[~TwWorkerThread] enter");
    if (!m_ended.load()) Exit();
    Join();
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[~TwWorkerThread] return");
}

bool TwWorkerThread::InitializeWorkerThread() {
    if (m_thread.joinable() || m_initialised.load()) return false;
    if (!m_connector.Initialize()) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[InitializeWorkerThread] m_QelConnector initialize failed");
        return false;
    }
    m_initialised = true;
    m_ended = false;
    try {
        m_thread = std::thread([this] { WorkerThreadProc(); });
    } catch (const std::system_error& e) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[InitializeWorkerThread] thread start failed: %s", e.what());
        m_ended = true;
        return false;
    }
    return true;
}

void TwWorkerThread::Post(unsigned command) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pending |= command;
    }
    m_cv.notify_all();
}

bool TwWorkerThread::Logon(const std::string& user, const std::string& password, int hardIdFlag,
                           int informUpdateFlag) {
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwWorkerThread::Logon] hardid %d, informupdate %d", hardIdFlag,
           informUpdateFlag);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_user = user;
        m_password = password;
    }
    Post(informUpdateFlag != 0 ? kInformUpdate : hardIdFlag != 0 ? kHardIdLogon : kLogon);
    return true;
}

bool TwWorkerThread::Relogon() {
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwWorkerThread::Relogon]");
    Post(kRelogon);
    return true;
}

bool TwWorkerThread::Logoff() {
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwWorkerThread::Logoff]");
    // A logon running on this thread would serve the logoff only once it returned: its waits (a
    // proxy's answer, the gateway's) are cut now, as the logoff's own start would cut them.
    if (m_logonRunning.load()) m_connector.WaitLogonEvent().Set();
    Post(kLogoff);
    return true;
}

bool TwWorkerThread::AdapterClosedLogoff() {
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwWorkerThread::AdapterClosedLogoff]");
    Post(kAdapterClosedLogoff);
    return true;
}

bool TwWorkerThread::Exit() {
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwWorkerThread::Exit]");
    // As for a logoff: a logon running on this thread is cut now, not served to its own limits.
    if (m_logonRunning.load()) m_connector.WaitLogonEvent().Set();
    Post(kExit);
    return true;
}

bool TwWorkerThread::Cancel() {
    m_cancelled = true;
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwWorkerThread::Cancel] SetEvent(m_QelConnector->m_WaitLogonEvent)");
    m_connector.WaitLogonEvent().Set();
    return true;
}

bool TwWorkerThread::UserLoggedOn() {
    const int status = m_connector.Status();
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwWorkerThread::UserLoggedOn] m_Status = %d", status);
    return status == TW_CLT_STATUS_GW_CERTIFIED;
}

bool TwWorkerThread::SetWebLogonMode(bool on) {
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwWorkerThread::SetWebLogonMode] %d", on ? 1 : 0);
    m_connector.SetWebLogonMode(on);
    return true;
}

bool TwWorkerThread::SetInformUpdate() {
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwWorkerThread::SetInformUpdate]");
    m_connector.SetInformUpdate(true);
    return true;
}

bool TwWorkerThread::SetRelogonPassword(const std::string& password, int status) {
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwWorkerThread::SetRelogonPassword] status %d", status);
    m_connector.SetPassword(password);
    m_connector.SetStatus(status);
    return true;
}

unsigned TwWorkerThread::TakeCommand() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cv.wait(lock, [this] { return m_pending != 0; });
    const unsigned command = m_pending & (~m_pending + 1);  // the lowest bit: the highest priority
    m_pending &= ~command;
    return command;
}

void TwWorkerThread::WorkerThreadProc() {
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[WorkerThreadProc] enter WorkerThreadProc()");
    for (;;) {
        const unsigned command = TakeCommand();
        switch (command) {
            case kInformUpdate:
                TW_LOG(LOG_CLIENT_LOGIN, 4, "[WorkerThreadProc]InformUpdate指令");
                m_connector.SetInformUpdate(true);
                ServeLogon(command);
                break;
            case kLogon:
                TW_LOG(LOG_CLIENT_LOGIN, 4, "[WorkerThreadProc]logon指令");
                ServeLogon(command);
                break;
            case kLogoff:
                TW_LOG(LOG_CLIENT_LOGIN, 4, "[WorkerThreadProc]logoff指令");
                LogoffFromGateway();
                break;
            case kRelogon:
                TW_LOG(LOG_CLIENT_LOGIN, 4, "[WorkerThreadProc]relogon指令");
                StartRelogon();
                break;
            case kAdapterClosedLogoff:
                TW_LOG(LOG_CLIENT_LOGIN, 4, "[WorkerThreadProc]AdapterCloseLogoff指令");
                AdapterClosedLogoffFromGateway();
                break;
            case kExit: {
                TW_LOG(LOG_CLIENT_LOGIN, 4, "[WorkerThreadProc]exit指令");
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_pending &= ~(kLogon | kLogoff);
                }
                LogoffFromGateway();
                StopHelpers();
                TW_LOG(LOG_CLIENT_LOGIN, 4, "[WorkerThreadProc]return");
                m_ended = true;
                return;
            }
            case kHardIdLogon:
                TW_LOG(LOG_CLIENT_LOGIN, 4, "[WorkerThreadProc]申请hardid指令");
                ServeLogon(command);
                break;
            default: break;
        }
    }
}

// Every kind of logon takes the in-progress guard, so the hardware-id logon can no more run
// beside a relogon, during a logoff or on top of a live session than the others.
void TwWorkerThread::ServeLogon(unsigned command) {
    if (m_connector.LogoffInProgress().load() != 0) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[WorkerThreadProc] m_LogoffInProgress为真");
        return;
    }
    if (m_connector.Status() == TW_CLT_STATUS_GW_CERTIFIED) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[WorkerThreadProc]m_Status == TW_CLT_STATUS_GW_CERTIFIED，不再响应");
        return;
    }
    if (!TakeGuard(m_connector.LogonInProgress())) return;
    if (command == kLogon) m_connector.WaitLogonEvent().Reset();
    std::string user, password;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        user = m_user;
        password = m_password;
    }
    LogonUserToDomain(user, password, "", false, command == kHardIdLogon);
    m_connector.LogonInProgress().store(0);
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[WorkerThreadProc] m_LogonInProgress改回false");
}

int TwWorkerThread::LogonUserToDomain(const std::string& user, const std::string& password,
                                      const std::string& extra, bool relogon, bool hardId) {
    if (UserLoggedOn()) return 0;
    m_logonThreadId = static_cast<long>(gettid());
    m_logonRunning = true;
    const bool online = m_connector.LogonUserToDomain(user, password, extra, relogon, hardId);
    m_logonRunning = false;
    if (!online && !m_connector.InformUpdate()) {
        m_connector.StopRecvAndEventThread();
        m_ui.Callback(UI_CODE_SWITCH_TO_CLIENT_LOGON, "");
        m_connector.SetWebLogonMode(false);
        TW_LOG(
            LOG_CLIENT_LOGIN, 4,
            "[TwWorkerThread::LogonUserToDomain]m_QelConnector->LogonUserToDomain()返回0，切换到客户端模式");
        m_connector.CloseCaptureDevice();
    }
    const int error = m_connector.LastError();
    if (!relogon && error == TW_ERROR_RELOGON_FAILED) {
        std::string text = m_ui.LanguageText(kTextRelogonFailed);
        if (text.size() > kPopTextMax) text.resize(kPopTextMax);
        m_ui.Callback(UI_CODE_MESSAGE, text);
    }
    m_logonTime = static_cast<std::int64_t>(std::time(nullptr));
    return error;
}

void TwWorkerThread::SleepMs(DWORD ms) {
    if (ms == 0) return;
    std::unique_lock<std::mutex> lock(m_sleepMutex);
    platform::WaitOn(m_clock, lock, m_sleepCv, ms, [] { return false; });
}

void TwWorkerThread::BeginLogoff() {
    for (int id : kWindowTitles) {
        const std::string title = m_ui.LanguageText(id);
        if (!title.empty()) m_ui.CloseWindowByTitle(title);
    }
    m_logoffRequested = true;
    m_connector.WaitLogonEvent().Set();
    SleepMs(m_timing.logoffCancelSettleMs);
    m_ui.Callback(UI_CODE_SWITCH_TO_CLIENT_LOGON, "");
}

void TwWorkerThread::WaitForOtherLogoff() {
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwWorkerThread::LogoffFromGateway]等待其他正在退出的线程完全退出");
    for (DWORD i = 0; i < m_timing.logoffOtherPolls; ++i) {
        if (m_connector.Status() == TW_CLT_STATUS_OFFLINE && m_connector.LogoffInProgress().load() == 0)
            return;
        SleepMs(m_timing.logoffOtherPollMs);
    }
}

void TwWorkerThread::FinishLogoff(bool adapterClosed) {
    m_connector.Logoff();
    SleepMs(m_timing.logoffNoticeSettleMs);
    m_ui.Callback(UI_CODE_PROGRESS_TEXT, m_ui.LanguageText(kTextLogoffNotice));
    m_connector.Disconnect();
    SleepMs(m_timing.disconnectSettleMs);
    if (adapterClosed) {
        m_connector.StopRouteCheckThread();
        m_connector.StopRecvAndEventThread();
        // No capture stop follows for a closed adapter, so its name servers go here; a quit that
        // comes meanwhile is served after this, on this thread.
        m_connector.ReleaseClosedAdapter();
        m_connector.LogoffRecoverAdapterRoute(false);
        m_connector.SetArpAnswering(false);
        m_connector.SetDataPathActive(false);
        m_connector.ClearAddressConfigured();
    } else {
        m_connector.LogoffConfigAdapter(false);
    }
    m_connector.ForgetSession();
    m_ui.Callback(UPDATE_STATUS_OFFLINE, "");
    m_connector.SetStatus(TW_CLT_STATUS_OFFLINE);
    m_connector.LogoffInProgress().store(0);
    m_ui.Callback(UI_CODE_CLEAN_CACHE, "");
}

void TwWorkerThread::LogoffFromGateway() {
    BeginLogoff();
    // A relogon thread sees the logoff request at its next test and ends; the teardown waits for
    // it as for a running logon, so the two never take the session apart at the same time.
    for (DWORD i = 0; i < m_timing.logoffLogonPolls; ++i) {
        bool relogonRuns = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            relogonRuns = m_relogon && !m_relogon->done.load();
        }
        if (m_connector.LogonInProgress().load() == 0 && !relogonRuns) break;
        SleepMs(m_timing.logoffLogonPollMs);
    }
    const int status = m_connector.Status();
    if (status >= TW_CLT_STATUS_OFFLINE && status <= TW_CLT_STATUS_SERVER_CERTIFIED) {
        m_connector.LogonDoneEvent().Reset();
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwWorkerThread::LogoffFromGateway]未登录，不再logoff，直接return");
        return;
    }
    if (status == TW_CLT_STATUS_GW_RELOGON_INIT && TakeGuard(m_connector.LogoffInProgress())) {
        TW_LOG(
            LOG_CLIENT_LOGIN, 4,
            "[TwWorkerThread::LogoffFromGateway]m_QelConnector->m_Status == TW_CLT_STATUS_GW_RELOGON_INIT");
        m_connector.LogoffConfigAdapter(false);
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwWorkerThread::LogoffFromGateway]After LogoffConfigAdapter");
        m_connector.ForgetSession();
        m_ui.Callback(UPDATE_STATUS_OFFLINE, "");
        m_connector.SetStatus(TW_CLT_STATUS_OFFLINE);
        m_logoffRequested = false;
        m_connector.LogoffInProgress().store(0);
        return;
    }
    m_connector.WaitLogonEvent().Reset();
    if (!TakeGuard(m_connector.LogoffInProgress())) {
        WaitForOtherLogoff();
    } else {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwWorkerThread::LogoffFromGateway]没有其他下线事件，可继续logoff");
        FinishLogoff(false);
    }
    m_connector.PrintSystemRouteTable();
}

void TwWorkerThread::AdapterClosedLogoffFromGateway() {
    BeginLogoff();
    m_connector.WaitLogonEvent().Reset();
    if (!TakeGuard(m_connector.LogoffInProgress())) {
        WaitForOtherLogoff();
    } else {
        FinishLogoff(true);
    }
    m_connector.PrintSystemRouteTable();
}

void TwWorkerThread::StartRelogon() {
    std::unique_ptr<Helper> finished;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_relogon && !m_relogon->done.load()) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[WorkerThreadProc] a relogon thread runs already");
            return;
        }
        finished = std::move(m_relogon);
    }
    if (finished) finished->thread.join();
    // Cleared here, on the worker thread, rather than by the new thread: a logoff served right
    // after this request must not have its flag wiped by a thread that starts late.
    m_cancelled = false;
    m_logoffRequested = false;
    m_connector.SetRelogonFinished(false);
    auto helper = std::make_unique<Helper>();
    Helper* h = helper.get();
    try {
        helper->thread = std::thread([this, h] {
            RelogonHost& host = *this;
            TwRelogonThread(host).Execute();
            h->done = true;
        });
    } catch (const std::system_error& e) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[WorkerThreadProc] relogon thread start failed: %s", e.what());
        return;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_relogon = std::move(helper);
}

void TwWorkerThread::StartForcedLogoff(const std::string* text) {
    const bool builtIn = text == nullptr;
    const std::string given = builtIn ? std::string() : *text;
    std::vector<std::unique_ptr<Helper>> finished;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_forced.begin(); it != m_forced.end();) {
        if ((*it)->done.load()) {
            finished.push_back(std::move(*it));
            it = m_forced.erase(it);
        } else {
            ++it;
        }
    }
    for (auto& f : finished) f->thread.join();  // ended already: joins at once
    if (m_ended.load()) return;
    auto helper = std::make_unique<Helper>();
    Helper* h = helper.get();
    try {
        helper->thread = std::thread([this, h, builtIn, given] {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwLogoffWorkerThread] 连接被强制断开");
            const std::string message = builtIn         ? std::string(kBuiltInForcedLogoffText)
                                        : given.empty() ? m_ui.LanguageText(kTextForcedLogoff)
                                                        : given;
            // In place before the session shows offline: whoever reads the end reads its reason.
            m_connector.ReportSessionEnd(builtIn ? TW_ERROR_FORCED_LOGOFF : TW_ERROR_ADAPTER_CLOSED, message);
            AdapterClosedLogoff();
            // Posted, not shown here: the GUI thread shows it, and no engine thread waits for the
            // user while the worker may want to join it.
            m_ui.Callback(UI_CODE_MESSAGE, message);
            h->done = true;
        });
    } catch (const std::system_error& e) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwLogoffWorkerThread] start failed: %s", e.what());
        return;
    }
    m_forced.push_back(std::move(helper));
}

void TwWorkerThread::StopHelpers() {
    m_cancelled = true;
    m_logoffRequested = true;
    m_connector.WaitLogonEvent().Set();
    JoinHelpers();
}

void TwWorkerThread::JoinHelpers() {
    std::unique_ptr<Helper> relogon;
    std::vector<std::unique_ptr<Helper>> forced;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        relogon = std::move(m_relogon);
        forced.swap(m_forced);
    }
    if (relogon) relogon->thread.join();
    for (auto& f : forced) f->thread.join();
}

void TwWorkerThread::Join() {
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_thread.join();
    JoinHelpers();
}

}  // namespace engine
