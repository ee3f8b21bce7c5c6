// The thread that keeps the driver's copy of the routes and the adapters' IP configuration in
// step with the machine: once at start, then a settle delay after each route or address change.
#pragma once
#include "morbeck/morbeck.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "platform/types.h"
#include "util/tw_thread.h"

class RouteSyncThread : public TwThread {
public:
    // The settle delay and the stop wait come from `timing` and run on `clock`.
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
};
