// The relogon: after the tunnel dropped, tear the dead session down and log on again with the
// saved session, at once, then after a short pause for the first tries and a long one later, until
// online, cancelled, ended by a logoff, refused for good, or out of tries.
//
// Runs on a thread the worker starts and joins (TwWorkerThread::Relogon); at most one runs at a
// time. Every pause ends early when the connector's wait-logon event is set (cancel, logoff).
#pragma once
#include <string>

#include "engine/connector_control.h"
#include "engine/engine_timing.h"
#include "engine/ui_sink.h"
#include "platform/clock.h"

namespace engine {

// What a relogon needs of the worker that runs it (TwWorkerThread).
class RelogonHost {
public:
    virtual ConnectorControl& RelogonConnector() = 0;
    virtual UiSink& RelogonUi() = 0;
    virtual const EngineTiming& RelogonTiming() = 0;
    virtual const platform::Clock& RelogonClock() = 0;
    // The user cancelled / a logoff was asked for since the relogon started.
    virtual bool RelogonCancelled() = 0;
    virtual bool RelogonLogoffRequested() = 0;
    // One logon with the saved session, as the worker runs it; its last error number.
    virtual int RelogonLogon(const std::string& user, const std::string& password,
                             const std::string& session) = 0;

protected:
    ~RelogonHost() = default;
};

class TwRelogonThread {
public:
    explicit TwRelogonThread(RelogonHost& worker) : m_worker(worker) {}
    // Runs the whole relogon on the calling thread; returns when it ended.
    void Execute();

private:
    // One pass of the loop; false when the relogon ends.
    bool Attempt(unsigned attempt);
    bool Pause(unsigned attempt);
    void GiveUp(bool unconfigure);

    RelogonHost& m_worker;
    int m_lastError = -1;
};

}  // namespace engine
