// The route synchronisation thread over rtnetlink change notices.
#include "route_sync_thread.h"

#include <poll.h>

#include "dailylog/shared_daily_log.h"
#include "morbeck/morbeck.h"
#include "platform/errors.h"
#include "platform/process.h"
#include "platform/route_table.h"

RouteSyncThread::RouteSyncThread(CMorbeck* owner, const MorbeckTiming& timing, const platform::Clock& clock)
    : TwThread(TwThreadTiming{timing.syncStopWaitMs}, clock),
      m_owner(owner),
      m_settleMs(timing.routeSettleMs),
      m_clock(clock) {
    if (!m_routes.Valid() || !m_addresses.Valid()) m_openErrno = errno;
}

RouteSyncThread::~RouteSyncThread() { StopAndWait(); }

unsigned long RouteSyncThread::Terminate() {
    m_StopRequest.store(1);
    m_stop.Set();
    return TwThread::Terminate();
}

void RouteSyncThread::Stop() { StopAndWait(); }

bool RouteSyncThread::Settle(DWORD ms) { return m_stop.Wait(ms, m_clock) == platform::kWaitTimeout; }

unsigned long RouteSyncThread::Execute() {
    platform::NetworkChangeMonitor& routes = m_routes;
    if (!routes.Valid()) {
        TW_LOG(LOG_CLIENT_DATA, 5, "NdisRouteSyncThread: CreateEvent() for Route Notify Fail, LastError %d",
               m_openErrno);
        return 1;
    }
    platform::NetworkChangeMonitor& addresses = m_addresses;
    if (!addresses.Valid()) {
        TW_LOG(LOG_CLIENT_DATA, 5, "NdisRouteSyncThread: CreateEvent() for Address Notify Fail, LastError %d",
               m_openErrno);
        return 1;
    }
    m_owner->AddSystemRoute();
    while (m_StopRequest.load() == 0) {
        pollfd p[3] = {{routes.Fd(), POLLIN, 0}, {addresses.Fd(), POLLIN, 0}, {m_stop.Fd(), POLLIN, 0}};
        // The stop event is polled too, so there is nothing to time out for.
        if (::poll(p, 3, -1) < 0 && errno != EINTR) break;
        if (m_StopRequest.load() != 0) break;
        if ((p[0].revents & POLLIN) != 0 && routes.Drain() != 0) {
            TW_LOG(LOG_CLIENT_DATA, 4,
                   "NdisRouteSyncThread: System Route Change, will sync route table in 5 seconds");
            if (!Settle(m_settleMs)) break;
            m_owner->SyncSystemRoute();
        }
        if ((p[1].revents & POLLIN) != 0 && addresses.Drain() != 0) {
            TW_LOG(LOG_CLIENT_DATA, 4,
                   "NdisRouteSyncThread: Adapter Address Change, will sync IP address in 5 seconds");
            if (!Settle(m_settleMs)) break;
            m_owner->SetAdaptersIpConfig();
        }
    }
    TW_LOG(LOG_CLIENT_DATA, 4, "NdisRouteSyncThread stop, ThreadId %x", platform::CurrentThreadId());
    return 1;
}
