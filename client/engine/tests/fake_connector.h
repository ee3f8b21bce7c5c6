// A connector for the worker's tests: records every call by name, runs logons through a script the
// test gives, and keeps the status and guards as the real one does. Plus a recording UI sink.
#pragma once
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "engine/connector_control.h"
#include "engine/engine_timing.h"
#include "engine/ui_sink.h"
#include "platform/clock.h"

namespace engine::test {

struct LogonCall {
    std::string user, password, domain;
    bool relogon = false, hardId = false, informUpdate = false;
    int logonInProgress = 0;  // the guard as the logon saw it
    std::uint64_t tick = 0;
};

class FakeConnector final : public ConnectorControl {
public:
    explicit FakeConnector(const platform::Clock& clock = platform::SystemClock()) : m_clock(clock) {}

    // The logon script: returns whether the logon ended online. Default: online.
    std::function<bool(const LogonCall&)> onLogon;
    // Heard after every recorded call (set before the worker starts); a test may hold a call here.
    std::function<void(const std::string&)> onCall;

    bool Initialize() override { return Note("Initialize"), initializeResult; }
    int Status() override { return status.load(); }
    void SetStatus(int s) override {
        Note("SetStatus(" + std::to_string(s) + ")");
        status = s;
    }
    std::atomic<int>& LogonInProgress() override { return logonInProgress; }
    std::atomic<int>& LogoffInProgress() override { return logoffInProgress; }
    platform::Event& WaitLogonEvent() override { return waitLogon; }
    platform::Event& LogonDoneEvent() override { return logonDone; }
    platform::Event* AdapterCloseEvent() override { return &adapterClose; }

    bool LogonUserToDomain(const std::string& user, const std::string& password, const std::string& domain,
                           bool relogon, bool hardIdLogon) override {
        LogonCall call{user,
                       password,
                       domain,
                       relogon,
                       hardIdLogon,
                       informUpdate.load(),
                       logonInProgress.load(),
                       m_clock.TickMs()};
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            logons.push_back(call);
            calls.push_back("LogonUserToDomain");
        }
        const bool online = onLogon ? onLogon(call) : true;
        if (online) {
            lastError = TW_ERROR_NONE;
            status = TW_CLT_STATUS_GW_CERTIFIED;
        }
        return online;
    }
    int LastError() override { return lastError.load(); }
    std::string LastErrorText() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        return lastErrorText;
    }
    bool LastFailureFinal() override { return lastFailureFinal.load(); }
    void ReportSessionEnd(int error, const std::string& text) override {
        Note("ReportSessionEnd(" + std::to_string(error) + ")");
        SetLastError(error, text, false);
    }

    bool InformUpdate() override { return informUpdate.load(); }
    void SetInformUpdate(bool on) override { informUpdate = on; }
    void SetWebLogonMode(bool on) override { Note(on ? "SetWebLogonMode(1)" : "SetWebLogonMode(0)"); }
    void SetPassword(const std::string& p) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        saved.password = p;
    }
    SavedLogon SavedLogonParameters() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        return saved;
    }
    ConnectorSession Session() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        return session;
    }

    void SetErrorMessageBoxes(bool) override {}
    void SetArpAnswering(bool on) override { Note(on ? "SetArpAnswering(1)" : "SetArpAnswering(0)"); }
    bool DataPathActive() override { return dataPathActive.load(); }
    void SetDataPathActive(bool on) override { dataPathActive = on; }
    void SetRelogonFinished(bool on) override { relogonFinished = on; }
    void CommitPendingLoggedOn() override { Note("CommitPendingLoggedOn"); }

    void StopRecvAndEventThread() override { Note("StopRecvAndEventThread"); }
    void StopRouteCheckThread() override { Note("StopRouteCheckThread"); }
    void CloseCaptureDevice() override { Note("CloseCaptureDevice"); }
    void Logoff() override { Note("Logoff"); }
    void Disconnect() override { Note("Disconnect"); }
    void LogoffConfigAdapter(bool keep) override {
        Note(keep ? "LogoffConfigAdapter(1)" : "LogoffConfigAdapter(0)");
    }
    void LogoffRecoverAdapterRoute(bool keep) override {
        Note(keep ? "LogoffRecoverAdapterRoute(1)" : "LogoffRecoverAdapterRoute(0)");
    }
    void ReleaseClosedAdapter() override { Note("ReleaseClosedAdapter"); }
    void ClearAddressConfigured() override { Note("ClearAddressConfigured"); }
    void ForgetSession() override { Note("ForgetSession"); }
    void ChangeMediaStatus(bool on) override { Note(on ? "ChangeMediaStatus(1)" : "ChangeMediaStatus(0)"); }
    bool BindAdaptersList() override {
        Note("BindAdaptersList");
        return driverAnswers.load();
    }
    void PrintSystemRouteTable() override {}

    std::vector<std::string> Calls() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return calls;
    }
    int Count(const std::string& name) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return static_cast<int>(std::count(calls.begin(), calls.end(), name));
    }
    // Position of the first call `name` after position `from`, -1 when none.
    int IndexOf(const std::string& name, int from = -1) {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (int i = from + 1; i < static_cast<int>(calls.size()); ++i) {
            if (calls[static_cast<std::size_t>(i)] == name) return i;
        }
        return -1;
    }
    std::vector<LogonCall> Logons() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return logons;
    }
    void SetLastError(int error, const std::string& text, bool final) {
        std::lock_guard<std::mutex> lock(m_mutex);
        lastError = error;
        lastErrorText = text;
        lastFailureFinal = final;
    }

    std::atomic<int> status{TW_CLT_STATUS_OFFLINE};
    std::atomic<int> logonInProgress{0}, logoffInProgress{0};
    std::atomic<int> lastError{TW_ERROR_NONE};
    std::atomic<bool> lastFailureFinal{false}, informUpdate{false}, dataPathActive{false},
        relogonFinished{false};
    bool initializeResult = true;
    platform::Event waitLogon{true, false}, logonDone{true, false}, adapterClose{false, false};
    std::atomic<bool> driverAnswers{true};
    SavedLogon saved{"alice", "secret", "session-7"};
    ConnectorSession session;

private:
    void Note(const std::string& name) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            calls.push_back(name);
        }
        if (onCall) onCall(name);
    }

    const platform::Clock& m_clock;
    std::mutex m_mutex;
    std::vector<std::string> calls;
    std::vector<LogonCall> logons;
    std::string lastErrorText;
};

class RecordingUi final : public UiSink {
public:
    void Callback(int code, const std::string& text) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.emplace_back(code, text);
    }
    void MessageBox(const std::string&, const std::string&, UiBox) override {}
    bool AskYesNo(const std::string&, const std::string&) override { return false; }
    void TrayBalloon(const std::string&, const std::string&) override {}
    void CloseWindowByTitle(const std::string& title) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed.push_back(title);
    }
    std::string LanguageText(int id) override { return "text" + std::to_string(id); }

    std::vector<std::pair<int, std::string>> Calls() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }
    int Count(int code) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return static_cast<int>(
            std::count_if(m_calls.begin(), m_calls.end(),
                          [&](const std::pair<int, std::string>& c) { return c.first == code; }));
    }
    bool Has(int code, const std::string& text) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::find(m_calls.begin(), m_calls.end(), std::make_pair(code, text)) != m_calls.end();
    }
    std::vector<std::string> Closed() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_closed;
    }

private:
    std::mutex m_mutex;
    std::vector<std::pair<int, std::string>> m_calls;
    std::vector<std::string> m_closed;
};

// The engine's timing with every settle pause at zero, so that only the waits a test is about
// need the clock to move.
inline EngineTiming QuickTiming() {
    EngineTiming t;
    t.logoffCancelSettleMs = 0;
    t.logoffNoticeSettleMs = 0;
    t.disconnectSettleMs = 0;
    return t;
}

}  // namespace engine::test
