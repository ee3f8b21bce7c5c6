// The connector object: construction from the settings store, Initialize, the owner, the plain
// state calls of the worker's interface, and the destructor's order.
#include "platform/client_settings.h"
#include "engine/qel_connector.h"

#include <arpa/inet.h>
#include <sys/stat.h>
#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <random>

#include "connector_text.h"
#include "gateway_dialer.h"
#include "dailylog/shared_daily_log.h"
#include "engine/netsh_client.h"
#include "engine/worker_thread.h"
#include "platform/clock_wait.h"
#include "platform/process.h"
#include "platform/user_place.h"

namespace engine {

namespace {

constexpr std::size_t kPredefinedServerMax = 128;
constexpr std::size_t kInstallDirMax = 260;
constexpr std::size_t kPasswordMax = 127;

std::string FormatGuid(std::mt19937& random) {
    std::uniform_int_distribution<unsigned> byte(0, 255), word(0, 0xFFFF);
    char text[64];
    std::snprintf(text, sizeof text, "{%8.8x-%4.4x-%4.4x-%2.2x%2.2x-%2.2x%2.2x%2.2x%2.2x%2.2x%2.2x}",
                  static_cast<unsigned>(random()), word(random), word(random), byte(random), byte(random),
                  byte(random), byte(random), byte(random), byte(random), byte(random), byte(random));
    return text;
}

}  // namespace

TwQelConnector::TwQelConnector(ConnectorDeps deps)
    : m_deps(std::move(deps)),
      m_ui(*m_deps.ui),
      m_timing(m_deps.timing),
      m_clock(*m_deps.clock),
      m_settings(m_deps.settings ? m_deps.settings : platform::SettingsStore::Machine()),
      m_key(m_deps.settingsKey),
      m_timer(*m_deps.clock) {
    TunnelSessionHost& host = *this;
    m_session = std::make_unique<TwTunnelSession>(host, m_status, m_sessionId, m_timer, m_clock, m_timing);
    m_dialer = std::make_unique<TwGatewayDialer>(
        m_clock, m_waitLogon,
        TwGatewayDialer::Hooks{[this](int textId) { Ui(UI_CODE_PROGRESS_TEXT, textId); },
                               [this](int textId) { Box(m_ui.LanguageText(textId)); },
                               [this](int number, const char* text) { ReportError(number, text); }});
    if (!m_deps.predefinedServerFile.empty()) {
        std::ifstream in(m_deps.predefinedServerFile);
        std::string line;
        if (in && std::getline(in, line)) m_predefinedServer = line.substr(0, kPredefinedServerMax - 1);
    }
    std::string text;
    if (m_settings && m_settings->GetString(m_key, platform::client_settings::kUseZlibCompress, &text) ==
                          platform::kErrorSuccess)
        m_useZlib = IsYes(text);
    if (m_settings && m_settings->GetString(m_key, platform::client_settings::kInstallDir, &text) ==
                          platform::kErrorSuccess)
        m_installDir = text.substr(0, kInstallDirMax - 1);
    m_caPath = m_installDir.empty() ? std::string("./trusted/") : m_installDir + "/trusted";
    if (platform::UsesUserPlace()) {
        // The certificates a member's client accepts are its own: root's folder is not its to write.
        std::string why;
        m_caPath = platform::UserFilePath("trusted", m_caPath, &why);
        if (m_caPath.empty() || (::mkdir(m_caPath.c_str(), 0700) != 0 && errno != EEXIST))
            TW_LOG(LOG_CLIENT_LOGIN, 1, "[TwQelConnector] no folder for accepted certificates: %s",
                   m_caPath.empty() ? why.c_str() : m_caPath.c_str());
    }
}

TwQelConnector::~TwQelConnector() {
    m_destroying = true;
    // First nothing may call in any more: the timer, the TLS library's events, then our threads.
    m_timer.Stop();
    m_timerRunning = false;
    m_session->Shutdown();
    StopRouteCheckThread();
    m_session->StopDataPath();
    m_adapter.reset();
    if (m_driver != nullptr) {
        TW_MEDIA_STATUS media{};
        media.state = 0;
        m_driver->SetAdapterMediaStatus(&media);
    }
    m_ownPort.reset();
    m_session->CloseLink();
    m_filter.reset();
}

void TwQelConnector::SetOwner(TwWorkerThread& worker) {
    SetOwner([&worker] { worker.Relogon(); }, [&worker] { worker.Logoff(); }, &worker);
}

void TwQelConnector::SetOwner(std::function<void()> relogon, std::function<void()> logoff,
                              ForcedLogoffHost* host) {
    std::lock_guard<std::mutex> lock(m_ownerLock);
    m_ownerRelogon = std::move(relogon);
    m_ownerLogoff = std::move(logoff);
    m_forcedHost = host;
}

void TwQelConnector::DetachOwner() {
    std::lock_guard<std::mutex> lock(m_ownerLock);
    m_ownerRelogon = nullptr;
    m_ownerLogoff = nullptr;
    m_forcedHost = nullptr;
}

// Called under the owner lock: the worker's requests only post, and DetachOwner can then be sure
// that no call into the owner runs any more.
void TwQelConnector::CallOwner(bool relogon) {
    std::lock_guard<std::mutex> lock(m_ownerLock);
    const std::function<void()>& call = relogon ? m_ownerRelogon : m_ownerLogoff;
    if (call) call();
}

bool TwQelConnector::Initialize() {
    if (m_initialised.load()) return true;
    if (m_deps.driver == nullptr) {
        m_filter = std::make_unique<CFilterAPI>();
        m_driver = m_filter.get();
    } else {
        m_driver = m_deps.driver;
    }
    if (m_deps.port == nullptr) {
        if (!m_filter) m_filter = std::make_unique<CFilterAPI>();
        m_ownPort = std::make_unique<MorbeckPacketPort>(*m_filter);
        m_port = m_ownPort.get();
    } else {
        m_port = m_deps.port;
    }
    m_status = TW_CLT_STATUS_OFFLINE;
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[Initialize] TwQelConnector OSType %d", m_deps.osType);

    auto send = m_deps.sendCmd ? m_deps.sendCmd : [](const std::string& c) { return SendNetshCommand(c); };
    m_routeManager = std::make_unique<TwClientRouteManager>(*m_deps.routes, *m_deps.adapters, send);
    m_routeManager->SetDefaultMetric(m_deps.osType >= 1 && m_deps.osType <= 6 ? 1 : 100);

    LoadMachineGuid();
    MakeAdapterSetup(send);

    PolicyHost& policyHost = *this;
    if (!m_session->Open(*m_port, m_policy, policyHost, m_switches, m_useZlib,
                         m_deps.makeLink ? m_deps.makeLink() : MakeTamberkLink(), m_caPath)) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[Initialize] TwQelConnector Construct SSL State Machine fails");
        return false;
    }
    m_initialised = true;
    // Only now is every member the timer reads in place.
    m_timerRunning = true;
    QueueTimer();
    return true;
}

void TwQelConnector::LoadMachineGuid() {
    // The machine's identity: made once, then read back unchanged.
    std::string guid;
    if (m_settings->GetString(m_key, platform::client_settings::kMachineGUID, &guid) !=
            platform::kErrorSuccess ||
        guid.empty()) {
        std::random_device device;
        std::mt19937 fresh(device());
        guid = FormatGuid(fresh);
        m_settings->CreateKey(m_key);
        m_settings->SetString(m_key, platform::client_settings::kMachineGUID, guid);
    }
    m_machineGuid = guid.substr(0, 40);
}

void TwQelConnector::MakeAdapterSetup(const std::function<int(const std::string&)>& send) {
    AdapterSetupDeps a;
    a.driver = m_driver;
    a.routeManager = m_routeManager.get();
    a.ui = &m_ui;
    a.routes = m_deps.routes;
    a.adapters = m_deps.adapters;
    a.timing = m_timing;
    a.clock = &m_clock;
    a.sendCmd = send;
    a.sendRestart = m_deps.sendRestart;
    a.settings = m_settings;
    a.settingsKey = m_key;
    a.routeFile = m_deps.routeFile;
    a.cancelEvent = &m_waitLogon;
    a.adapterCloseEvent = &m_adapterClose;
    a.osType = m_deps.osType;
    a.lock = &m_connectorLock;
    a.sendProbe = m_deps.sendProbe;
    a.sleep = m_deps.adapterSleep;
    AdapterHooks hooks;
    hooks.startReceiveThread = [this] { StartReceiveThread(); };
    hooks.stopReceiveAndEventThreads = [this] { StopRecvAndEventThread(); };
    hooks.applyPolicy = [this](int) {
        std::string policy;
        {
            std::lock_guard<std::mutex> lock(m_paramLock);
            policy = m_results.text2;
        }
        return m_policy.ApplyPolicy(policy.c_str());
    };
    hooks.createRouteCheckThread = [this, send] { return CreateRouteCheckThread(send); };
    hooks.stopRouteCheckThread = [this] { StopRouteCheckThread(); };
    hooks.disconnect = [this] {
        Disconnect();
        m_status = TW_CLT_STATUS_OFFLINE;
    };
    hooks.setLastError = [this](int code, const std::string& text) { ReportError(code, text.c_str()); };
    hooks.setArpAnswering = [this](bool on) { m_switches.arpAnswering.store(on); };
    hooks.setDataPathActive = [this](bool on) { m_switches.active.store(on); };
    hooks.forgetSession = [this] { m_sessionId = 0; };
    m_adapter = std::make_unique<TwAdapterSetup>(std::move(a), std::move(hooks));
}

bool TwQelConnector::CreateRouteCheckThread(const std::function<int(const std::string&)>& send) {
    ForcedLogoffHost* host = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_ownerLock);
        host = m_forcedHost;
    }
    if (host == nullptr) return true;  // nobody to hand a forced logoff to: no check
    NetCheckConfig config;
    config.virtualIfIndex = m_adapter->VirtualIfIndex();
    {
        std::lock_guard<std::mutex> lock(m_paramLock);
        config.virtualAddress = m_results.virtualIp;
        config.virtualMask = m_results.mask;
        for (const auto& r : m_results.routes) config.resources.push_back({r.network, r.mask, r.nextHop});
    }
    config.gatewayAddress = m_serverAddress.load();
    config.gatewayRouteExisted = m_adapter->GatewayRouteExisted();
    NetCheckThread::Deps d{*this, *host, m_ui, *m_deps.routes, *m_deps.adapters, send, nullptr};
    std::lock_guard<std::mutex> lock(m_netCheckLock);
    if (m_netCheck) m_netCheck->Stop();
    m_netCheck = std::make_unique<NetCheckThread>(d, config, m_timing, m_clock);
    return m_netCheck->Start();
}

int TwQelConnector::LastError() {
    std::lock_guard<std::mutex> lock(m_errorLock);
    return m_lastError;
}

std::string TwQelConnector::LastErrorText() {
    std::lock_guard<std::mutex> lock(m_errorLock);
    return m_lastErrorText;
}

std::string TwQelConnector::DefaultReason(int number) {
    const int textId = ReasonTextId(number);
    std::string text = textId >= 0 ? m_ui.LanguageText(textId) : std::string();
    if (!text.empty()) return text;
    if (number == TW_ERROR_TUNNEL_MESSAGE) return kTextTunnelMessage;
    char generic[96];
    std::snprintf(generic, sizeof generic, kTextFailedWithCode, number);
    return generic;
}

void TwQelConnector::ReportError(int number, const char* text) {
    std::string reason = text != nullptr ? text : "";
    // Whoever reads an end reads why: a step that gave no text of its own gets the one it showed.
    if (number != 0 && reason.empty()) reason = DefaultReason(number);
    {
        std::lock_guard<std::mutex> lock(m_errorLock);
        m_lastError = number;
        m_lastErrorText = reason;
    }
    if (number != 0) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[ReportError] %d, %s", number, reason.c_str());
        m_waitLogon.Set();
    }
}

void TwQelConnector::SetPassword(const std::string& password) {
    std::lock_guard<std::mutex> lock(m_paramLock);
    m_password = password.substr(0, kPasswordMax);
}

SavedLogon TwQelConnector::SavedLogonParameters() {
    std::lock_guard<std::mutex> lock(m_paramLock);
    SavedLogon saved;
    saved.user = m_user;
    saved.password = m_password;
    saved.sessionText = m_domain;
    return saved;
}

std::string TwQelConnector::UserName() {
    std::lock_guard<std::mutex> lock(m_paramLock);
    return m_user;
}

ConnectorSession TwQelConnector::Session() {
    ConnectorSession s;
    {
        std::lock_guard<std::mutex> lock(m_paramLock);
        s.serverAddress = m_serverName;
        s.serverPort = m_serverPort;
        s.gatewayName = m_results.gatewayText;
        s.userName = m_user;
        s.logonTime = m_logonTime;
        static_cast<SessionAddresses&>(s) = m_results;
    }
    s.sessionId = m_sessionId.load();
    s.gatewayAddress = ntohl(m_serverAddress.load());
    if (TunnelDataPath* path = m_session->DataPath()) {
        s.sent = path->SentBytes();
        s.received = path->ReceivedBytes();
    }
    s.onlineSeconds = m_session->OnlineClock().GetOnlineSeconds();
    return s;
}

TwQelConnector::Results TwQelConnector::LogonResults() {
    std::lock_guard<std::mutex> lock(m_paramLock);
    Results r = m_results;
    r.sessionId = m_sessionId.load();
    return r;
}

std::string TwQelConnector::HardwareIdText() {
    std::lock_guard<std::mutex> lock(m_paramLock);
    return m_hardwareId;
}

std::string TwQelConnector::PasswordChangeText() {
    std::lock_guard<std::mutex> lock(m_passwordLock);
    return m_passwordText;
}

void TwQelConnector::CommitPendingLoggedOn() { m_loggedOn.store(m_pendingLoggedOn.load()); }

void TwQelConnector::StopRecvAndEventThread() {
    // The logon, the worker and the timer thread may all stop the pump; one at a time.
    m_session->StopPump();
}

TunnelDataPath* TwQelConnector::DataPath() { return m_session->DataPath(); }

void TwQelConnector::StopRouteCheckThread() {
    std::unique_ptr<NetCheckThread> check;
    {
        std::lock_guard<std::mutex> lock(m_netCheckLock);
        check = std::move(m_netCheck);
    }
    if (check) check->Stop();
}

void TwQelConnector::CloseCaptureDevice() {
    if (m_driver != nullptr) m_driver->CloseFilterHandler();
}

void TwQelConnector::LogoffConfigAdapter(bool keepForRelogon) {
    if (m_adapter) m_adapter->LogoffConfigAdapter(keepForRelogon);
}

void TwQelConnector::LogoffRecoverAdapterRoute(bool keepForRelogon) {
    if (m_adapter) m_adapter->LogoffRecoverAdapterRoute(keepForRelogon);
}

void TwQelConnector::ReleaseClosedAdapter() {
    if (m_adapter) m_adapter->ReleaseClosedAdapter();
}

void TwQelConnector::ClearAddressConfigured() { m_useStatic = false; }

void TwQelConnector::ForgetSession() {
    m_session->SetDisconnected();
    m_sessionId = 0;
    // The browser and a later web logon read the stored id: a session that ended must not be
    // offered again.
    if (m_settings && m_settings->OpenKey(m_key) == platform::kErrorSuccess)
        m_settings->SetDword(m_key, platform::client_settings::kSessionId, 0);
    if (m_adapter) m_adapter->SetGatewayRouteExisted(false);
    {
        std::lock_guard<std::mutex> lock(m_paramLock);
        m_results.virtualIp = 0;
    }
    m_loggedOn = false;
}

void TwQelConnector::ChangeMediaStatus(bool connected) {
    if (m_adapter) m_adapter->ChangeMediaStatus(connected ? 1 : 0);
}

bool TwQelConnector::BindAdaptersList() { return m_driver != nullptr && m_driver->BindAdaptersList() == 1; }

void TwQelConnector::PrintSystemRouteTable() {
    if (m_adapter) m_adapter->PrintSystemRouteTable();
}

void TwQelConnector::Ui(int code, int textId) {
    m_ui.Callback(code, textId < 0 ? std::string() : m_ui.LanguageText(textId));
}

void TwQelConnector::UiText(int code, const std::string& text) { m_ui.Callback(code, text); }

void TwQelConnector::Box(const std::string& text) {
    if (m_messageBoxes.load()) m_ui.MessageBox(text, "", UiBox::kError);
}

int TwQelConnector::WaitAny(platform::Event* const* events, std::size_t count, DWORD ms) {
    const DWORD rc = platform::WaitForAny(events, count, ms, m_clock);
    if (rc >= platform::kWaitObject0 && rc < platform::kWaitObject0 + count)
        return static_cast<int>(rc - platform::kWaitObject0);
    return -1;
}

void TwQelConnector::Pause(DWORD ms) {
    platform::Event* events[] = {&m_waitLogon};
    WaitAny(events, 1, ms);
}

}  // namespace engine
