// The virtual adapter's configuration for one tunnel, and its undoing: the connector's adapter
// steps at logon and logoff, the saved route table ("SystemRouteTable.dat") and route recovery.
//
// How the connector wires it (one object per connector, created with it):
//   TwAdapterSetup adapter(deps, hooks);
//   LogonInitAdapter()                      before the gateway connection (adapter present?)
//   SetLogonResults(results, relogon)       once the logon answer is in
//   SaveSystemRouteToFile(relogon)          before the routes change
//   LogonConfigAdapter(relogon)             capture, address, routes, route-check thread
//   LogoffConfigAdapter(keepAdapterOpen)    every logoff path; LogoffRecoverAdapterRoute inside
//   ChangeMediaStatus / GetMediaStatus / TestTransferDataOk / PrintSystemRouteTable as the
//   logon sequence and the UI ask for them.
// Nothing here touches the machine's configuration itself: routes, addresses and name servers
// change through the privileged service's pipe (deps.sendCmd), the adapter's state through the
// driver (deps.driver). The machine is only read (routes, adapters).
//
// Routes the engine installs or moves aside are undone at logoff, also after a logon that failed
// half-way: the host route to the gateway (which always leaves through the interface and next hop
// the gateway had before the tunnel, never through the tunnel), the local subnet route of the
// virtual network, the conflicting and, for a full tunnel, every subnet route. Each restore is
// checked against the route table afterwards and what did not come back is logged and counted.
//
// Threads: every call runs on the logon, relogon or worker thread, one at a time; route changes
// and the capture state are guarded by the connector lock (deps.lock), which the packet pump and
// the route-check thread may take too. Hooks are called without that lock, except applyPolicy.
#pragma once
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/capture_device.h"
#include "engine/client_route_manager.h"
#include "engine/engine_timing.h"
#include "engine/session_addresses.h"
#include "engine/ui_sink.h"
#include "platform/adapter_list.h"
#include "platform/client_settings.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "platform/route_table.h"
#include "platform/settings_store.h"

namespace engine {

// One resource route of the logon answer, host byte order.
struct ResourceRoute {
    DWORD network = 0, mask = 0, nextHop = 0;
};

// What the logon answer and the TLS session give the adapter steps. Addresses in host byte order,
// as the connector keeps them.
struct AdapterLogonResults : SessionAddresses {
    bool hasRouteList = false;  // the answer carried a route list (possibly empty)
    std::vector<ResourceRoute> routes;
    std::string gatewayText;  // the gateway's address as the TLS peer address text
    // Further hosts (network order) the carrier connection needs outside the tunnel: through a
    // proxy, the proxy and the gateway behind it. Their host routes are pinned like the peer's.
    std::vector<DWORD> pinnedHosts;
    DWORD localAddress = 0, peerAddress = 0;  // the tunnel socket's ends
    DWORD cipherSelector = 0;
    std::vector<BYTE> masterKey;  // empty: the session has none (the capture cannot start)
};

// What the adapter steps need from the rest of the engine. Empty functions do nothing (and a
// missing applyPolicy / createRouteCheckThread counts as success).
struct AdapterHooks {
    std::function<void()> startReceiveThread;          // the packet pump
    std::function<void()> stopReceiveAndEventThreads;  // the pump and the driver event thread
    std::function<bool(int textIndex)> applyPolicy;    // ApplyPolicy of the policy text
    std::function<bool()> createRouteCheckThread;      // LogonCreateRouteCheckThread
    std::function<void()> stopRouteCheckThread;
    std::function<void()> disconnect;                                // Disconnect, status 0
    std::function<void(int code, const std::string&)> setLastError;  // the connector's last error
    std::function<void(bool)> setArpAnswering;                       // the process-wide switches
    std::function<void(bool)> setDataPathActive;
    std::function<void()> forgetSession;  // session id 0, gateway table freed
};

// Sends one probe datagram of the data-path test: destination (network order), the port value as
// placed into the socket address, the text. true when sent.
using ProbeSender = std::function<bool(DWORD address, WORD rawPort, const std::string& text)>;

struct AdapterSetupDeps {
    AdapterDriver* driver = nullptr;               // required
    TwClientRouteManager* routeManager = nullptr;  // required
    UiSink* ui = nullptr;                          // required
    platform::RouteTable* routes = &platform::SystemRouteTable();
    platform::AdapterList* adapters = &platform::SystemAdapterList();
    EngineTiming timing;
    const platform::Clock* clock = &platform::SystemClock();
    // The service's pipe: SendCmdToNetsh's and SendRestartAdapterToNetsh's results. Empty: the
    // real pipe.
    std::function<int(const std::string&)> sendCmd;
    std::function<int(const std::string&)> sendRestart;
    std::shared_ptr<platform::SettingsStore> settings;  // null: the machine's store
    std::string settingsKey = platform::client_settings::kClientKey;
    std::string routeFile;                         // empty: the service's path for the saved table
    platform::Event* cancelEvent = nullptr;        // the user's cancel of a logon
    platform::Event* adapterCloseEvent = nullptr;  // handed to the driver
    int osType = 11;                               // OS() of the utility library
    std::mutex* lock = nullptr;                    // the connector lock; null: one of our own
    ProbeSender sendProbe;                         // empty: a UDP datagram from a fresh socket
    // Every pause and poll interval; empty: a wait on the clock that the cancel event may end.
    // Tests hand one that moves a manual clock, so that a logon runs through its time-outs at once.
    std::function<void(DWORD ms)> sleep;
};

class TwAdapterSetup {
public:
    TwAdapterSetup(AdapterSetupDeps deps, AdapterHooks hooks);
    ~TwAdapterSetup();
    TwAdapterSetup(const TwAdapterSetup&) = delete;
    TwAdapterSetup& operator=(const TwAdapterSetup&) = delete;

    // The logon answer's values. A fresh logon also keeps the routes and address as the ones to
    // remove at logoff; a relogon keeps the previous session's until LogoffRecoverAdapterRoute.
    void SetLogonResults(const AdapterLogonResults& results, bool relogon);

    // 1: the virtual adapter is there (enabled if need be); 0: it never came, or the user
    // cancelled (UI and last error set).
    int LogonInitAdapter();
    void LogoffUnInitAdapter();
    // 1 configured; 0 failed: the session is disconnected and the configuration undone.
    int LogonConfigAdapter(bool relogon);
    bool LogoffConfigAdapter(bool keepAdapterOpen);

    bool StartCapture();
    bool StopCapture();
    // The adapter closed under the session (its capture ended with it): the capture counts as
    // stopped and the tunnel's name servers are withdrawn, as StopCapture would.
    void ReleaseClosedAdapter();
    int LogonConfigAdapterStaticIpAddr();
    // 0 set, 1 failed, 2 refused by the service, 3 fell back to DHCP.
    int NetshSetAdapterIP();
    int LogonConfigAdapterRoute(bool relogon);
    void LogonSaveDefaultAddGatewayRoute();

    // 1 saved, 0 not (nothing written then).
    int SaveSystemRouteToFile(bool relogon);
    bool LogoffRecoverAdapterRoute(bool keepForRelogon);
    void SetQelAdapterInfo();
    // The virtual adapter's interface index; 0 when it is absent or down.
    int GetVirtualAdapterIndex();
    bool PrepareRouteEntry(int ifIndex);
    void PrintSystemRouteTable();
    // Sends "SetDnsByNetshCmd <dns1> <dns2> <interface>" (the logon's name servers, dotted, and
    // the virtual interface's index) to the service; returns 1.
    int SetDnsByNetshCmd();

    int ChangeMediaStatus(int connected);
    int GetMediaStatus();
    bool TestTransferDataOk();

    // State the connector and its threads read.
    bool CaptureStarted() const;
    bool ExistResRoute() const;
    DWORD VirtualIfIndex() const;
    bool GatewayRouteExisted() const;
    void SetGatewayRouteExisted(bool existed);
    DWORD ResourceProbeAddress() const;  // host order
    DWORD NextHopProbeAddress() const;   // host order
    // Rows that a restore at the last logoff should have put back and the table did not show.
    std::size_t LastRestoreMissing() const;
    std::string RouteFilePath() const { return m_routeFile; }

private:
    void Ui(int code, int textId = -1);
    void LastError(int code, const char* text);
    int Cmd(const std::string& command);
    // Waits `ms` on the clock; true when the cancel event ended the wait (only when `cancellable`).
    bool Pause(DWORD ms, bool cancellable = false);
    bool FindAdapterWithAddress(DWORD* ifIndex);
    bool AdapterFoundByDriver();
    void RemoveStaleTunnelRoutes();
    void InstallFullTunnel();
    void InstallSplitTunnel();
    void InstallResourceRoute(const ResourceRoute& route, int loop);
    void TakeProbeAddresses(const ResourceRoute& route);
    bool SkippedAtInstall(const ResourceRoute& route) const;
    bool ConflictsWithResource(const MIB_IPFORWARDROW& row, const ResourceRoute& route) const;
    void RemoveSessionRoutes(bool* wholeTraffic);
    void RestoreMovedRoutes(bool wholeTraffic);
    std::vector<MIB_IPFORWARDROW> MissingRows(const std::vector<MIB_IPFORWARDROW>& expected);
    void RemoveRouteFile();
    void DropTunnelAddress();
    void WithdrawNameServers();
    // Tells the user when the service could not put the machine's name servers back.
    void ReportNameServersKept(int reply);
    int RestartAdapterAndSetIp(const std::string& setIp);
    std::string SetIpCommand(bool withNameServers) const;
    DWORD GatewayAddress() const;
    // The peer or one of the further pinned hosts (network order).
    bool IsPinnedHost(DWORD address) const;
    // The further pinned hosts that have no host route outside the tunnel.
    std::vector<DWORD> UnpinnedHosts() const;

    AdapterSetupDeps m_deps;
    AdapterHooks m_hooks;
    std::mutex m_ownLock;
    std::mutex& m_lock;
    std::string m_routeFile;
    std::string m_routeFileError;            // why there is no route file (m_routeFile empty)
    platform::Event m_sleeper{true, false};  // never set: waits on it are pauses on the clock

    AdapterLogonResults m_results;
    std::vector<ResourceRoute> m_previousRoutes;
    DWORD m_previousVirtualIp = 0;
    std::vector<MIB_IPFORWARDROW> m_snapshot;  // the table before the tunnel
    // The table saved at the session's first logon; relogons save it again as it was.
    std::vector<MIB_IPFORWARDROW> m_sessionBaseline;
    void* m_adapterHandle = nullptr;
    bool m_gatewayRouteAdded = false;    // our host route to the gateway is in the table
    std::vector<DWORD> m_pinnedAdded;    // further host routes of ours in the table (network order)
    std::vector<DWORD> m_pinnedExisted;  // further hosts that had a host route of their own
    bool m_localSubnetMoved = false;
    bool m_addressSet = false;  // the tunnel's address went on the adapter through the service
    // Read by other threads (the pump, the route check, the UI) without the connector lock.
    std::atomic<DWORD> m_virtualIfIndex{0};
    std::atomic<bool> m_captureStarted{false};
    std::atomic<bool> m_existResRoute{false};
    std::atomic<bool> m_gatewayRouteExisted{false};
    std::atomic<DWORD> m_probeResource{0}, m_probeNextHop{0};
    std::atomic<std::size_t> m_restoreMissing{0};
};

}  // namespace engine
