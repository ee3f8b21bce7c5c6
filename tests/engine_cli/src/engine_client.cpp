#include "platform/client_settings.h"
#include "engine_client.h"

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <mutex>
#include <string>
#include <thread>

#include "engine/qel_connector.h"
#include "engine/worker_thread.h"
#include "platform/machine_root.h"
#include "platform/settings_store.h"

namespace qelcli {

namespace {

constexpr const char* kKey = platform::client_settings::kClientKey;

// Prints what the engine tells the user, one line each; the texts the engine sends are the
// gateway's or ids of the catalogue (shown as "#id"), never a password.
class PrintingUi final : public engine::UiSink {
public:
    explicit PrintingUi(std::FILE* out) : m_out(out) {}

    void Callback(int code, const std::string& text) override {
        Line("callback %d%s%s", code, text.empty() ? "" : ": ", text.c_str());
        std::lock_guard<std::mutex> lock(m_lock);
        if (code == engine::UPDATE_STATUS_ONLINE) ++m_online;
        if (code == engine::UPDATE_STATUS_OFFLINE) ++m_offline;
        m_cv.notify_all();
    }
    void MessageBox(const std::string& text, const std::string& caption, engine::UiBox) override {
        Line("message%s%s: %s", caption.empty() ? "" : " ", caption.c_str(), text.c_str());
    }
    bool AskYesNo(const std::string& text, const std::string&) override {
        Line("question (answered no): %s", text.c_str());
        return false;
    }
    void TrayBalloon(const std::string& title, const std::string& text) override {
        Line("balloon: %s: %s", title.c_str(), text.c_str());
    }
    void CloseWindowByTitle(const std::string&) override {}
    std::string LanguageText(int id) override { return "#" + std::to_string(id); }

    int Online() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_online;
    }
    int Offline() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_offline;
    }
    // Waits up to `ms` for a callback; false on time-out.
    void WaitAWhile(int ms) {
        std::unique_lock<std::mutex> lock(m_lock);
        const int seen = m_online + m_offline;
        m_cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_online + m_offline != seen; });
    }
    void Line(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        std::lock_guard<std::mutex> lock(m_printLock);
        va_list args;
        va_start(args, format);
        std::vfprintf(m_out, format, args);
        va_end(args);
        std::fputc('\n', m_out);
        std::fflush(m_out);
    }

private:
    std::FILE* m_out;
    std::mutex m_lock, m_printLock;
    std::condition_variable m_cv;
    int m_online = 0, m_offline = 0;
};

bool WriteSettings(const CliOptions& o, platform::SettingsStore& store) {
    store.CreateKey(kKey);
    // The trusted-CA folder lies below it; without one the engine would take the current folder.
    // The shared daily log writes into its Log folder there, when the folder exists.
    std::string installDir;
    if (store.GetString(kKey, platform::client_settings::kInstallDir, &installDir) !=
            platform::kErrorSuccess ||
        installDir.empty()) {
        installDir = platform::DefaultInstallDir();
        store.SetString(kKey, platform::client_settings::kInstallDir, installDir);
    }
    platform::MakeDirs(installDir + "/Log", 0755);
    bool ok =
        store.SetString(kKey, platform::client_settings::kServerAddr, o.server) == platform::kErrorSuccess;
    ok &= store.SetDword(kKey, platform::client_settings::kServerPortNum, static_cast<DWORD>(o.port)) ==
          platform::kErrorSuccess;
    ok &= store.SetDword(kKey, platform::client_settings::kIsServerAddr, 1) == platform::kErrorSuccess;
    ok &= store.SetDword(kKey, platform::client_settings::kUseStatic, 1) == platform::kErrorSuccess;
    ok &= store.SetDword(kKey, platform::client_settings::kNoResourcePage, 1) == platform::kErrorSuccess;
    const bool proxy = !o.proxyHost.empty();
    ok &= store.SetString(kKey, platform::client_settings::kUseProxy, proxy ? "Yes" : "No") ==
          platform::kErrorSuccess;
    if (proxy) {
        store.SetString(kKey, platform::client_settings::kProxyAddr, o.proxyHost);
        store.SetString(kKey, platform::client_settings::kProxyPort, std::to_string(o.proxyPort));
    }
    const bool auth = proxy && !o.proxyUser.empty() && !o.proxyPassword.empty();
    store.SetString(kKey, platform::client_settings::kUseProxyAuth, auth ? "Yes" : "No");
    if (auth) {
        store.SetString(kKey, platform::client_settings::kProxyUser, o.proxyUser);
        store.SetString(kKey, platform::client_settings::kProxyPass, o.proxyPassword);
    } else {
        store.DeleteValue(kKey, platform::client_settings::kProxyPass);
    }
    return ok;
}

}  // namespace

int RunEngineClient(const CliOptions& options, const std::atomic<bool>& stop, std::FILE* out) {
    PrintingUi ui(out);
    std::shared_ptr<platform::SettingsStore> store = platform::SettingsStore::Machine();
    if (!store || !WriteSettings(options, *store)) {
        ui.Line("client: the settings store cannot be written");
        return kExitLogonFailed;
    }
    engine::ConnectorDeps deps;
    deps.ui = &ui;
    deps.timing = options.timing;
    deps.settings = store;
    deps.predefinedServerFile.clear();
    engine::TwQelConnector connector(deps);
    engine::TwWorkerThread worker(connector, ui, options.timing);
    connector.SetOwner(worker);
    if (!worker.InitializeWorkerThread()) {
        connector.DetachOwner();
        ui.Line("client: the engine could not start");
        return kExitLogonFailed;
    }
    ui.Line("client: logging on to %s:%d as %s%s", options.server.c_str(), options.port, options.user.c_str(),
            options.proxyHost.empty() ? "" : " through the proxy");
    worker.Logon(options.user, options.password, 0, 0);

    // Until online, or the logon ended offline.
    while (!stop.load() && ui.Online() == 0) {
        if (ui.Offline() > 0 && !worker.LogonRunning() && connector.LogonInProgress().load() == 0 &&
            connector.Status() == engine::TW_CLT_STATUS_OFFLINE)
            break;
        ui.WaitAWhile(100);
    }
    int result = kExitClean;
    // A quit during the logon cuts its waits (the proxy's answer among them) at once.
    if (stop.load() && ui.Online() == 0) worker.Cancel();
    if (ui.Online() == 0) {
        ui.Line("client: not online (last error %d: %s)", connector.LastError(),
                connector.LastErrorText().c_str());
        result = kExitLogonFailed;
    } else {
        const engine::ConnectorSession s = connector.Session();
        ui.Line("client: online, session %u, virtual address %u.%u.%u.%u", static_cast<unsigned>(s.sessionId),
                s.virtualIp >> 24, s.virtualIp >> 16 & 255, s.virtualIp >> 8 & 255, s.virtualIp & 255);
        const auto until =
            std::chrono::steady_clock::now() + std::chrono::seconds(options.logoffAfterSeconds);
        while (!stop.load()) {
            if (options.logoffAfterSeconds > 0 && std::chrono::steady_clock::now() >= until) break;
            if (connector.Status() == engine::TW_CLT_STATUS_OFFLINE &&
                connector.LogonInProgress().load() == 0 && connector.LogoffInProgress().load() == 0 &&
                !worker.LogonRunning()) {
                ui.Line("client: the session ended (last error %d: %s)", connector.LastError(),
                        connector.LastErrorText().c_str());
                result = kExitSessionLost;
                break;
            }
            ui.WaitAWhile(100);
        }
    }
    if (ui.Online() > 0 && result == kExitClean) {
        ui.Line("client: logging off");
        worker.Logoff();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (connector.Status() != engine::TW_CLT_STATUS_OFFLINE ||
               connector.LogoffInProgress().load() != 0) {
            if (std::chrono::steady_clock::now() >= deadline) {
                result = kExitLogoffFailed;
                break;
            }
            ui.WaitAWhile(50);
        }
    }
    worker.Exit();
    worker.Join();
    connector.DetachOwner();
    ui.Line("client: done (%d)", result);
    return result;
}

}  // namespace qelcli
