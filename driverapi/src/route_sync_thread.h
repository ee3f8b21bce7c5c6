// The thread that keeps the driver's copy of the routes and the adapters' IP configuration in
// step with the machine: once at start, then a settle delay after each route or address change.
#pragma once
#include "morbeck/morbeck.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "platform/route_table.h"
#include "platform/types.h"
#include "util/tw_thread.h"

class RouteSyncThread : public TwThread {
public:
    // The settle delay and the stop wait come from `timing` and run on `clock`. The change notices
    // are subscribed to here, on the caller's thread: a change made once the thread is started is
    // seen, even before the thread first runs.
    RouteSyncThread(CMorbeck* owner, const MorbeckTiming& timing, const platform::Clock& clock);
    ~RouteSyncThread() override;
    unsigned long Terminate() override;
    // Terminate and join.
    void Stop();

protected:
    unsigned long Execute() override;

private:
    // Waits `ms` on the clock unless the stop request comes first; false when stopping.
    bool Settle(DWORD ms);

    CMorbeck* m_owner;
    DWORD m_settleMs;
    const platform::Clock& m_clock;
    platform::Event m_stop{true, false};
    platform::NetworkChangeMonitor m_routes{platform::NetworkChangeMonitor::kRoutes};
    platform::NetworkChangeMonitor m_addresses{platform::NetworkChangeMonitor::kAddresses};
    int m_openErrno = 0;  // of the subscription that failed, for the thread's log line
};
