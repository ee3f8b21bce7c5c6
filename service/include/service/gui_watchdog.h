// The GUI watchdog: once a round it looks whether the client program runs; when it has just gone
// (seen running, then not, one round apart) it puts back the routes saved in "SystemRouteTable.dat",
// removes the routes the client added through the virtual adapter and to the gateway, puts back the
// machine's name servers, deletes the file and tells the driver the adapter's medium is gone. The
// file is the client's own (a member's in its own place, found through the client's process when
// it is seen running); the name servers are put back even when that file is missing or unusable.
//
// Thread-safety: GuiWatchdog is driven by one thread (CheckGUIThread's); the facilities it calls
// are thread-safe.
#pragma once
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/process.h"
#include "platform/unique_fd.h"
#include "platform/settings_store.h"
#include "service/adapter_config.h"
#include "service/route_table_file.h"
#include "service/service_timing.h"
#include "util/tw_thread.h"

namespace service {

constexpr const char* kGuiProgramName = "VornClient";

// How the watchdog sees processes. Several machines (machine roots, network namespaces) may share
// one kernel: only a client of this service's own machine counts, the one whose machine root and
// network namespace are the service's. Empty members use the real /proc.
struct ClientProcessView {
    std::function<std::vector<platform::ProcessEntry>()> list;  // empty: platform::ListProcesses
    // The machine root `pid` works under (0: this process): its QEL_ROOT, else the default root.
    std::function<bool(pid_t pid, std::string* root)> machineRoot;
    std::function<bool(pid_t pid, platform::NamespaceId* id)> netNamespace;  // 0: this process
};

// 0 the process list cannot be read, 1 a program of that name runs on this machine, 2 none does.
// The name is compared without case, with or without ".exe"; only processes of that name are
// looked at further (their environment and namespace), so the round stays cheap.
// *found (when given) gets the pid of the client found.
int CheckGUIExist(const std::string& programName = kGuiProgramName, const ClientProcessView& view = {},
                  pid_t* found = nullptr);
// The gateway's address from the client's settings ("ServerAddr": a dotted address or a host name
// looked up); 0 when missing. Without a store: the machine's as the service sees it.
DWORD GetServerAddr();
DWORD GetServerAddr(platform::SettingsStore& store);
// The proxy's address from the client's settings when it uses one ("UseProxy" yes, "ProxyAddr" a
// dotted address); 0 otherwise.
DWORD GetProxyAddr();
DWORD GetProxyAddr(platform::SettingsStore& store);
// The driver's media state of the virtual adapter set to disconnected, then capture stopped;
// the stop request's result (0 when the device cannot be opened).
DWORD SetAdapterMediaDisconnect();

// Compares the current table with the saved rows and repairs it (see the file comment). Rows
// through a real adapter that were not saved are left alone.
// Host routes to `gateway` and to each of `otherHosts` (the proxy's) that were not saved are the
// session's and go.
void CheckRouteList(platform::RouteTable& table, const std::vector<MIB_IPFORWARDROW>& saved,
                    DWORD virtualIndex, DWORD gateway, const std::vector<DWORD>& otherHosts = {});

// The pipe's peer `pid` configures the adapter (only a client does): where its route file is
// (RouteTableFileOf) is kept in root's part of the store for the watchdog, which may not have
// seen the client run before it ended (or may be started only after that). Thread-safe.
void NoteClientOfPipe(pid_t pid);

struct WatchdogOptions {
    ServiceTiming timing;
    const platform::Clock* clock = nullptr;  // the rounds' clock; null: the system clock
    // Empty: the file of the client that ended (RouteTableFileOf its process: a member's in its own
    // place, read with that member's rights), root's RouteTableFilePath() while none was seen.
    std::string routeFile;
    std::function<int()> checkGui;  // empty: findGui
    // As checkGui, also naming the client's process, which the watchdog's thread then waits on
    // instead of looking again every round. Empty: CheckGUIExist() (when checkGui is empty too).
    std::function<int(pid_t* pid)> findGui;
    std::function<DWORD()> mediaDisconnect;  // empty: SetAdapterMediaDisconnect()
    std::function<DWORD()> gatewayAddress;   // empty: GetServerAddr()
    std::function<DWORD()> proxyAddress;     // empty: GetProxyAddr()
};

class GuiWatchdog {
public:
    GuiWatchdog(const ServiceFacilities& facilities, WatchdogOptions options = {});
    // The service's start. A client of this machine that ended while the service was down left
    // its session's routes and name servers: with none running now they are restored at once; a
    // running one's end restores as usual.
    void Begin();
    // One look at the client; restores when it has just gone.
    void Round();
    int Previous() const { return m_previous; }
    // The client the last round found running (0: none, or not known by its process).
    pid_t ClientPid() const { return m_clientPid; }
    const WatchdogOptions& Options() const { return m_options; }

private:
    void Restore(bool atStart = false);
    void RestoreResolver();
    // A client found running: where its route file and settings are.
    void NoteClient(pid_t pid);

    ServiceFacilities m_f;
    WatchdogOptions m_options;
    bool m_fixedFile = false;       // routeFile was given
    bool m_fixedAddresses = false;  // gatewayAddress was given
    ClientRouteFile m_client;
    bool m_clientKnown = false;
    int m_previous = 0;
    pid_t m_clientPid = 0;
};

// The watchdog's thread: Begin, then a Round every timing.watchdogRoundMs until terminated. While
// a client it found by its process runs, it sleeps on that process (a pidfd) and looks again as
// soon as the client ends, instead of scanning every process once a round.
class CheckGUIThread final : public TwThread {
public:
    CheckGUIThread(const ServiceFacilities& facilities, WatchdogOptions options = {});
    ~CheckGUIThread() override;
    unsigned long Terminate() override;
    // The client's state as the last round saw it (0 before the first).
    int Previous() const { return m_previous.load(); }

protected:
    unsigned long Execute() override;

private:
    // Until the client's process ends or a stop request comes: true; false when it cannot be
    // waited on (no pidfd), the caller then waits for the next round instead.
    bool WaitForClientExit(pid_t pid);
    GuiWatchdog m_watchdog;
    std::atomic<int> m_previous{0};
    std::mutex m_lock;
    std::condition_variable m_wake;
    platform::UniqueFd m_stopFd;  // rung by Terminate, for the wait on the client's process
};

}  // namespace service
