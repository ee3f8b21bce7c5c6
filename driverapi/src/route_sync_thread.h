// The thread that keeps the driver's copy of the routes and the adapters' IP configuration in
// step with the machine: once at start, then a settle delay after each route or address change.
#pragma once
#include "platform/event.h"
#include "platform/types.h"
#include "util/tw_thread.h"

class CMorbeck;

class RouteSyncThread : public TwThread {
public:
    // `settleMs`: the wait after a change notice before copying (5 s in service; tests shrink it).
    explicit RouteSyncThread(CMorbeck* owner, DWORD settleMs = 5000);
    ~RouteSyncThread() override;
    unsigned long Terminate() override;
    // Terminate and join.
    void Stop();

protected:
    unsigned long Execute() override;

private:
    // Waits `ms` unless the stop request comes first; false when stopping.
    bool Settle(DWORD ms);

    CMorbeck* m_owner;
    DWORD m_settleMs;
    platform::Event m_stop{true, false};
};
