// The relogon: after the tunnel dropped, tear the dead session down and log on again with the
// saved session, at once, then after a short pause for the first tries and a long one later, until
// online, cancelled, ended by a logoff, refused for good, or out of tries.
//
// Runs on a thread the worker starts and joins (TwWorkerThread::Relogon); at most one runs at a
// time. Every pause ends early when the connector's wait-logon event is set (cancel, logoff).
#pragma once

namespace engine {

class TwWorkerThread;

class TwRelogonThread {
public:
    explicit TwRelogonThread(TwWorkerThread& worker) : m_worker(worker) {}
    // Runs the whole relogon on the calling thread; returns when it ended.
    void Execute();

private:
    // One pass of the loop; false when the relogon ends.
    bool Attempt(unsigned attempt);
    bool Pause(unsigned attempt);
    void GiveUp(bool unconfigure);

    TwWorkerThread& m_worker;
    int m_lastError = -1;
};

}  // namespace engine
