// The network check: while a session is up it keeps the route table as the logon left it (routes
// that appear later in the tunnel's address space are deleted, tunnel routes that vanish are put
// back) and reacts when the driver reports that the bound virtual adapter closed. When the adapter
// is really gone it hands a forced logoff to the worker.
//
// One thread per session, started by the connector at the end of the adapter configuration and
// stopped (joined, never abandoned) by the logoff. Rounds come every EngineTiming::netCheckRoundMs
// on the clock passed in, and right after each adapter-close signal.
//
// With NetCheckConfig::restoreDefaultRoutes, every round also keeps the other adapters' default
// routes switched off through the service ("netcheck <index> 1"), and the end of the check switches
// back on what it switched off ("netcheck <index> 0"). An interface's switch counts as on while it
// carries no IPv4 default route (the service takes them out and keeps them).
#pragma once
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/client_route_manager.h"
#include "engine/connector_control.h"
#include "engine/engine_timing.h"
#include "engine/ui_sink.h"
#include "platform/adapter_list.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "platform/route_table.h"

namespace engine {

// Who the network check asks for a forced logoff (the worker).
class ForcedLogoffHost {
public:
    virtual bool UserLoggedOn() = 0;
    // `text`: the message to show; empty: the catalogue's; null: the built-in one.
    virtual void StartForcedLogoff(const std::string* text) = 0;

protected:
    ~ForcedLogoffHost() = default;
};

// A resource network of the session, host byte order as the gateway's route list gives it.
struct ResourceNet {
    DWORD network = 0, mask = 0, nextHop = 0;
};

struct NetCheckConfig {
    DWORD virtualIfIndex = 0;
    DWORD virtualAddress = 0, virtualMask = 0;  // host byte order
    DWORD gatewayAddress = 0;                   // network byte order
    bool gatewayRouteExisted = false;           // a host route to the gateway was there before logon
    bool restoreDefaultRoutes = false;          // keep other adapters' default routes switched off
    std::vector<ResourceNet> resources;
};

class NetCheckThread {
public:
    struct Deps {
        ConnectorControl& connector;
        ForcedLogoffHost& host;
        UiSink& ui;
        platform::RouteTable& routes;
        platform::AdapterList& adapters;
        TwClientRouteManager::CommandSender send;
        // True while an adapter setup of the service is still running; the check starts once it
        // ended (polled, bounded). Null: nothing to wait for.
        std::function<bool()> setupBusy;
    };

    // Everything in `deps` and `timing`, `clock` must outlive the object.
    NetCheckThread(Deps deps, NetCheckConfig config, const EngineTiming& timing,
                   const platform::Clock& clock = platform::SystemClock());
    ~NetCheckThread();  // Stop()
    NetCheckThread(const NetCheckThread&) = delete;
    NetCheckThread& operator=(const NetCheckThread&) = delete;

    // Starts the thread; false when it could not start (or runs already).
    bool Start();
    // Asks the thread to stop and joins it. Safe to call twice; never from the thread itself.
    void Stop();
    bool Running() const { return m_thread.joinable() && !m_finished.load(); }
    // Completed rounds (tests wait on it).
    unsigned Rounds() const { return m_rounds.load(); }

    // One comparison of the current table with `saved`: deletes new rows in the tunnel's space,
    // adds lost tunnel rows. Public for tests.
    void CheckRouteList(const std::vector<MIB_IPFORWARDROW>& saved, TwClientRouteManager& manager);
    // How many adapters carry the virtual adapter's MAC.
    int CheckAdapter();
    // Asks the service to switch every other adapter's default routes off (flag 1) where they are
    // present, or back on (flag 0) where this check switched them off. Returns the number of
    // requests sent. Called by the thread; public for tests.
    int RestoreDisableDefRoute(int flag);

private:
    void Execute();
    bool WaitForSetup();
    void OnAdapterClose();
    bool InResource(DWORD destination) const;
    bool HostRouteToGateway(const MIB_IPFORWARDROW& row) const;

    Deps m_deps;
    NetCheckConfig m_config;
    std::vector<ResourceNet> m_resourcesNet;  // m_config.resources in network byte order
    std::vector<DWORD> m_switchedOff;         // interfaces whose default routes this check took out
    const EngineTiming& m_timing;
    const platform::Clock& m_clock;
    platform::Event m_stop{false, false};
    std::atomic<bool> m_stopRequested{false};
    std::atomic<bool> m_finished{false};
    std::atomic<unsigned> m_rounds{0};
    std::thread m_thread;
};

}  // namespace engine
