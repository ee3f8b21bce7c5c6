// TwQelConnector: the one object that holds a client's tunnel. It reads its settings from the
// store, connects to the gateway (directly or through an HTTP CONNECT proxy) with the plain
// hello, runs TLS through the tunnel session's link, logs on (and registers with a client
// certificate when the gateway asks), configures the virtual adapter, holds the policy, and keeps
// the tunnel alive with its timer. The running tunnel (TLS link, data path, keeper) is its
// TwTunnelSession. It speaks to the user only through the UiSink.
//
// Wiring (the program's, see tests/engine_cli):
//   TwQelConnector connector(deps);
//   TwWorkerThread worker(connector, ui, timing, clock);
//   connector.SetOwner(worker);          // relogon, logoff and forced logoff go to the worker
//   worker.InitializeWorkerThread();     // calls Initialize: the connector is whole, its timer runs
//   ...
//   connector.DetachOwner();             // before the worker goes
//
// Threads: LogonUserToDomain runs on the worker or the relogon thread (callers serialise it with
// LogonInProgress); link events and control messages on the TLS library's thread; the timer on
// the connector's own timer thread; the forced-logoff teardown on a thread the connector owns.
// No callback of the TLS library waits for a logon: the tunnel-lost decision is a timer item that
// ends in a command of the worker. Every ConnectorControl call is safe from any thread.
//
// Lifetime: the destructor stops the timer, shuts the link down (no event runs afterwards), stops
// the data path and the route check, joins its threads, and only then frees the rest. The owner
// (worker) must stop calling before the connector goes; the deps' objects must outlive it.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/adapter_setup.h"
#include "engine/capture_device.h"
#include "engine/client_route_manager.h"
#include "engine/connector_control.h"
#include "engine/connector_utils.h"
#include "engine/engine_timing.h"
#include "engine/gateway_policy.h"
#include "engine/logon_buffer.h"
#include "engine/net_check_thread.h"
#include "engine/packet_port.h"
#include "engine/tunnel_data_path.h"
#include "engine/tunnel_keeper.h"
#include "engine/tunnel_link.h"
#include "engine/tunnel_session.h"
#include "engine/ui_sink.h"
#include "platform/client_settings.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "platform/settings_store.h"
#include "platform/timer_queue.h"

namespace engine {

class TwWorkerThread;
class TwGatewayDialer;

// One gateway of a logon answer: where to register and the ticket to show there.
struct GatewayEntry {
    DWORD address = 0;  // host order
    std::string ticket;
};

// Logon outcomes (m_LogonStatus).
constexpr int QEL_CLIENT_OR_WEB_LOGON_OK = 0;
constexpr int QEL_CLIENT_RELOGON_PASSWORD_OK_FINDIP = 1;
constexpr int QEL_CLIENT_RELOGON_PASSWORD_OK_NOT_FINDIP = 2;
constexpr int QEL_WEB_RELOGON_SESSION_OK = 3;
constexpr int QEL_WEB_RELOGON_SESSION_NOT_OK = 4;

// What the connector needs from around it. Empty members take the program's own.
struct ConnectorDeps {
    UiSink* ui = nullptr;  // required
    EngineTiming timing;
    const platform::Clock* clock = &platform::SystemClock();
    std::shared_ptr<platform::SettingsStore> settings;  // null: the machine's store
    std::string settingsKey = platform::client_settings::kClientKey;
    std::function<std::unique_ptr<TunnelLink>()> makeLink;  // empty: the TLS library's
    // Replaces the TCP connect, proxy and hello (tests of the later steps): the greeted socket, or
    // -1. Empty: the connector's own (CreateSocketAndHandshake).
    std::function<int(DWORD address, WORD port, int seconds, bool relogon)> connectGateway;
    AdapterDriver* driver = nullptr;  // null: the capture device object
    PacketPort* port = nullptr;       // null: the port over the capture device object
    platform::RouteTable* routes = &platform::SystemRouteTable();
    platform::AdapterList* adapters = &platform::SystemAdapterList();
    std::function<int(const std::string&)> sendCmd;       // the service's pipe; empty: the real one
    std::function<int(const std::string&)> sendRestart;   // its restart form
    std::function<std::string()> hardwareId;              // empty: asked of the service
    std::string routeFile;                                // empty: the service's path
    ProbeSender sendProbe;                                // empty: real datagrams
    std::function<void(DWORD ms)> adapterSleep;           // the adapter steps' pauses; empty: the clock
    std::function<bool(const std::string& url)> openUrl;  // the resource page; empty: the desktop's
    std::function<void()> stopClient;                     // the user chose to quit (logon error -50)
    // The gateway's answer to a password change (1 changed, 2 refused, and its text), on the TLS
    // thread: the change-password window's notice. It must not block.
    std::function<void(int result, const std::string& text)> passwordChanged;
    std::string predefinedServerFile = "PredSvrAddr.txt";
    int osType = 11;
};

class TwQelConnector final : public ConnectorControl, private TunnelSessionHost, private PolicyHost {
public:
    explicit TwQelConnector(ConnectorDeps deps);
    ~TwQelConnector() override;
    TwQelConnector(const TwQelConnector&) = delete;
    TwQelConnector& operator=(const TwQelConnector&) = delete;

    // Where relogon and logoff requests go and who takes a forced logoff of the route check.
    void SetOwner(TwWorkerThread& worker);
    void SetOwner(std::function<void()> relogon, std::function<void()> logoff, ForcedLogoffHost* host);
    // Forgets the owner; returns once no call into it runs. Call it before the owner (the worker)
    // is destroyed: the timer thread may ask it for a relogon or logoff at any time.
    void DetachOwner();

    // ConnectorControl
    bool Initialize() override;
    int Status() override { return m_status.load(); }
    void SetStatus(int status) override { m_status.store(status); }
    std::atomic<int>& LogonInProgress() override { return m_logonInProgress; }
    std::atomic<int>& LogoffInProgress() override { return m_logoffInProgress; }
    platform::Event& WaitLogonEvent() override { return m_waitLogon; }
    platform::Event& LogonDoneEvent() override { return m_logonDone; }
    platform::Event* AdapterCloseEvent() override { return &m_adapterClose; }
    bool LogonUserToDomain(const std::string& user, const std::string& password, const std::string& domain,
                           bool relogon, bool hardIdLogon) override;
    int LastError() override;
    std::string LastErrorText() override;
    bool LastFailureFinal() override { return m_lastFailureFinal.load(); }
    bool InformUpdate() override { return m_informUpdate.load(); }
    void SetInformUpdate(bool on) override { m_informUpdate.store(on); }
    void SetWebLogonMode(bool on) override { m_webLogon.store(on); }
    void SetPassword(const std::string& password) override;
    SavedLogon SavedLogonParameters() override;
    ConnectorSession Session() override;
    void SetErrorMessageBoxes(bool on) override { m_messageBoxes.store(on); }
    void SetArpAnswering(bool on) override { m_switches.arpAnswering.store(on); }
    bool DataPathActive() override { return m_switches.active.load(); }
    void SetDataPathActive(bool on) override { m_switches.active.store(on); }
    void SetRelogonFinished(bool on) override { m_relogonFinished.store(on); }
    void CommitPendingLoggedOn() override;
    void StopRecvAndEventThread() override;
    void StopRouteCheckThread() override;
    void CloseCaptureDevice() override;
    void Logoff() override;
    void Disconnect() override;
    void LogoffConfigAdapter(bool keepForRelogon) override;
    void LogoffRecoverAdapterRoute(bool keepForRelogon) override;
    void ReleaseClosedAdapter() override;
    void ClearAddressConfigured() override;
    void ForgetSession() override;
    void ChangeMediaStatus(bool connected) override;
    bool BindAdaptersList() override;
    void PrintSystemRouteTable() override;

    // Stores the last error and wakes the running logon's waits (a non-zero error only). A
    // non-zero error without a text gets the text its step shows the user (DefaultReason).
    void ReportError(int number, const char* text);
    // A logon whose adapter configuration failed: false, with a reason recorded.
    bool AdapterConfigFailed();
    void ReportSessionEnd(int error, const std::string& text) override { ReportError(error, text.c_str()); }
    int LogonStatus() const { return m_logonStatus.load(); }

    // One finished SSR message to the gateway (the change-password dialog's way too).
    void SendSsrPacketToPeer(const std::uint8_t* message, std::size_t length);
    void SendKeepAliveRequest();
    void SendKeepAliveResponse();
    // One round of the periodic timer (public for tests, which drive it on a manual clock).
    void TimerRoutine();
    // Waits, at most `ms` of real time, until the timer thread ran every item due now (tests move
    // a manual clock and then settle with this).
    bool DrainTimer(std::uint32_t ms) { return m_timer.Drain(ms); }

    // The change-password answer: 0 none yet, 1 changed, 2 refused; the gateway's text.
    int PasswordChangeResult() const { return m_passwordResult.load(); }
    std::string PasswordChangeText();

    // What tests and the status window read.
    struct Results : SessionAddresses {
        DWORD sessionId = 0;
        std::vector<ResourceRoute> routes;
        int cipherSelector = 3;
        std::string text1, text2, certSerial, certName, gatewayText;
        bool registerFresh = false, registerRelogon = false;
    };
    Results LogonResults();
    std::string HardwareIdText();
    const std::string& MachineGuid() const { return m_machineGuid; }
    bool Compression() const { return m_useZlib; }
    bool TimerRunning() const { return m_timerRunning.load(); }
    TwGatewayPolicy& Policy() { return m_policy; }
    TunnelDataPath* DataPath();
    TwAdapterSetup* Adapter() { return m_adapter.get(); }

    // Waits while the TLS session is up, ending early once *stop is true (stop may be null).
    void WaitWhileConnected(const std::atomic<bool>* stop);
    // Sleeps up to `ms` (in EngineTiming::connectedPollMs steps), ending when the session drops.
    void SleepWhileConnected(int ms);

private:
    // Settings and parameters (connector_gateway.cpp).
    int LogonInitParameters(const std::string& user, const std::string& password, const std::string& domain);
    bool ReadWebLogonSession(std::string* logonUser, DWORD* session);
    void LoadProxySetting();
    int CreateSocketAndHandshake(DWORD address, WORD port, int seconds, bool relogon);
    int LogonHandleTcpConnection(bool relogon, int* fd);
    int LogonHandleSslConnection(int fd, bool relogon);
    // After the handshake: the gateway's certificate against the one this user accepted from it
    // before (the first one is accepted and kept). false: refused, the logon fails (reported).
    bool CheckGatewayCertificate(const std::string& gateway, WORD port);
    bool WaitPreviousSessionClosed();

    // Authentication and registration (connector_auth.cpp).
    // The SSR logon's end: failed (reported), logged on (m_logonStatus says how), or a relogon
    // that the relogon thread tries again later.
    enum class SsrAuth { kFailed, kLoggedOn, kRetryLater };
    // The logon answer's fields (SSR_CODE_MNG_SVR_CLT_LOGON_ACK), host order.
    struct LogonAck {
        std::uint32_t session = 0, vip = 0, mask = 0, dns1 = 0, dns2 = 0, wins1 = 0, wins2 = 0;
        std::uint8_t selector = 3, registerFlag = 0;
        std::vector<GatewayEntry> gateways;
        std::vector<ResourceRoute> routes;
        bool haveRoutes = false, haveCert = false;
        std::string text1, text2, serial, certName;
    };
    SsrAuth LogonHandleSsrAuth(bool relogon, bool hardIdLogon);
    bool SendLogonRequest(bool hardIdLogon, const std::string& hardwareId, const std::string& user,
                          const std::string& password);
    // Waits for the gateway's management answer into *msg (nothing: one is there), skipping data
    // messages; the logon's end when none comes.
    std::optional<SsrAuth> ReadLogonAnswer(bool relogon, std::vector<std::uint8_t>* msg);
    SsrAuth HandleLogonRefused(std::vector<std::uint8_t>& msg, bool relogon);
    SsrAuth HandleLogonAccepted(const std::uint8_t* msg, std::size_t length, bool relogon);
    SsrAuth TakeLogonAck(const LogonAck& ack, bool relogon);
    SsrAuth LogonAckFailed(const char* log, int textId, int error);
    // false, with the user told and the last error set, when the virtual adapter cannot hold the
    // gateway's address and mask (host order).
    bool AddressAcceptable(DWORD address, DWORD mask);
    void LogLogonAck(const LogonAck& ack);
    int InformServerSetUpdateStatus();
    int LogonHandleCertAuth(bool relogon);
    int ChooseClientCertificate();
    std::string RegistrationTarget(WORD* port);
    int ConnectRegistrationGateway(bool relogon);
    int HandleRegistrationAnswer();
    int HandleRegistrationAccepted(std::vector<std::uint8_t>& msg);
    std::string FetchHardwareId();
    bool BuildAndSend(const std::function<int(void*, short*)>& build);
    // The user name and password as they stand: a password change may replace them meanwhile.
    void CopyCredentials(std::string* user, std::string* password);

    // The logon sequence's helpers (connector_logon.cpp).
    bool InformUpdateOnly();
    bool AuthenticateAndRegister(bool relogon, bool hardIdLogon);
    void EndFailedLogon(bool relogon);
    bool FinishOnline(bool relogon);
    bool ConfigureAdapter(int outcome, bool relogon);
    void OpenResourcePage();
    AdapterLogonResults AdapterResults();

    // Tunnel (connector_tunnel.cpp).
    void OnSessionDown() override;
    void OnManagementMessage(const std::uint8_t* message, std::size_t length) override;
    void OnSessionFault(int lastError) override { ReportError(lastError, ""); }
    bool MapSessionToProcess(BYTE protocol, DWORD localAddress, WORD localPort, std::string* module) override;
    bool Online() override { return m_status.load() == TW_CLT_STATUS_GW_CERTIFIED; }
    DWORD SessionId() override { return m_sessionId.load(); }
    std::string UserName() override;
    void SendToGateway(const std::uint8_t* message, std::size_t length) override;
    void TunnelLost();
    void CallOwner(bool relogon);
    void DecideAfterLoss(std::uint64_t deadline);
    void StartCutLogoff();
    void CutLogoffThread();
    void QueueTimer();
    void StartReceiveThread();

    // The parts Initialize makes (qel_connector.cpp).
    void LoadMachineGuid();
    void MakeAdapterSetup(const std::function<int(const std::string&)>& send);
    bool CreateRouteCheckThread(const std::function<int(const std::string&)>& send);

    // Small helpers.
    void Ui(int code, int textId = -1);
    void UiText(int code, const std::string& text);
    void Box(const std::string& text);
    std::uint64_t Now() const { return m_clock.TickMs(); }
    // Waits up to `ms` for any of `events`; the index, or -1 on time-out.
    int WaitAny(platform::Event* const* events, std::size_t count, DWORD ms);
    void Pause(DWORD ms);
    void SetFinal(bool final) { m_lastFailureFinal.store(final); }

    ConnectorDeps m_deps;
    UiSink& m_ui;
    const EngineTiming m_timing;
    const platform::Clock& m_clock;
    std::shared_ptr<platform::SettingsStore> m_settings;
    const std::string m_key;

    std::unique_ptr<TwGatewayDialer> m_dialer;  // proxy settings, connect, proxy CONNECT, hello
    std::unique_ptr<CFilterAPI> m_filter;
    AdapterDriver* m_driver = nullptr;
    std::unique_ptr<MorbeckPacketPort> m_ownPort;
    PacketPort* m_port = nullptr;
    std::unique_ptr<TwClientRouteManager> m_routeManager;
    std::unique_ptr<TwAdapterSetup> m_adapter;
    TwGatewayPolicy m_policy;
    DataPathSwitches m_switches;  // outlives every data path of this connector
    // The TLS link, the data path and the keeper: the running tunnel.
    std::unique_ptr<TwTunnelSession> m_session;
    std::unique_ptr<NetCheckThread> m_netCheck;
    std::mutex m_netCheckLock;
    std::mutex m_connectorLock;  // routes and capture (the adapter steps)

    std::function<void()> m_ownerRelogon, m_ownerLogoff;
    ForcedLogoffHost* m_forcedHost = nullptr;
    std::mutex m_ownerLock;

    platform::Event m_waitLogon{true, false};
    platform::Event m_adapterClose{false, false};
    platform::Event m_online{true, false};
    platform::Event m_logonDone{true, false};
    platform::Event m_sleeper{true, false};  // never set: pauses on the clock

    std::atomic<int> m_status{TW_CLT_STATUS_OFFLINE};
    std::atomic<int> m_logonStatus{-1};
    std::atomic<int> m_logonInProgress{0}, m_logoffInProgress{0};
    std::atomic<bool> m_webLogon{false}, m_informUpdate{false}, m_messageBoxes{false};
    std::atomic<bool> m_relogonFinished{true}, m_lastFailureFinal{false};
    std::atomic<bool> m_loggedOn{false}, m_pendingLoggedOn{false};
    std::atomic<bool> m_initialised{false}, m_timerRunning{false}, m_destroying{false};

    // Parameters and results; guarded by m_paramLock (the logon thread writes, others read).
    mutable std::mutex m_paramLock;
    std::string m_serverName;
    std::atomic<DWORD> m_serverAddress{0xFFFFFFFFu};  // network order, all ones: unknown
    WORD m_serverPort = 443;
    std::string m_user, m_password, m_domain, m_hardwareId;
    std::atomic<DWORD> m_sessionId{0};
    Results m_results;
    std::vector<GatewayEntry> m_gateways;
    std::string m_predefinedServer;
    bool m_useStatic = false;
    std::int64_t m_logonTime = 0;

    std::string m_machineGuid, m_installDir, m_caPath;
    bool m_useZlib = false;

    std::mutex m_errorLock;
    int m_lastError = 0;
    std::string m_lastErrorText;
    std::string DefaultReason(int number);

    std::atomic<int> m_passwordResult{0};
    std::mutex m_passwordLock;
    std::string m_passwordText;

    platform::TimerQueue m_timer;
};

}  // namespace engine
