// TwTunnelKeeper: what keeps a logged-on tunnel: the keep-alive clock (when the last keep-alive
// went out and when the gateway was last heard), the one-at-a-time loss decision and the thread
// that carries out the gateway's forced logoff.
//
// Threads: the clock is read and moved from any thread (atomics); Check runs on the connector's
// timer thread. StartCutLogoff and StopCutLogoff are thread-safe; after StopCutLogoff no body
// starts any more and none runs.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "engine/engine_timing.h"
#include "platform/clock.h"

namespace engine {

class TwTunnelKeeper {
public:
    enum class KeepAlive { kQuiet, kSendRequest, kLost };

    // `clock` must outlive the keeper.
    TwTunnelKeeper(const platform::Clock& clock, const EngineTiming& timing)
        : m_clock(clock), m_timing(timing) {}
    ~TwTunnelKeeper() { StopCutLogoff(); }
    TwTunnelKeeper(const TwTunnelKeeper&) = delete;
    TwTunnelKeeper& operator=(const TwTunnelKeeper&) = delete;

    // The tunnel came online: both ends of the clock start now.
    void Online();
    // The gateway was heard from.
    void Heard() { m_received = m_clock.TickMs(); }
    // One look at the clock: the gateway silent for lossMs (the clock starts over), a keep-alive
    // due (counted as sent now), or nothing to do.
    KeepAlive Check();

    // true for the one caller that is to decide after a loss while a logon runs; Decided lets the
    // next one.
    bool ClaimLossDecision() { return !m_lossDecisionQueued.exchange(true); }
    void LossDecided() { m_lossDecisionQueued = false; }

    // Runs `body` on the keeper's thread unless a forced logoff runs already or the keeper stopped.
    void StartCutLogoff(std::function<void()> body);
    void StopCutLogoff();

private:
    const platform::Clock& m_clock;
    const EngineTiming m_timing;
    std::atomic<std::uint64_t> m_sent{0}, m_received{0};  // on the clock, in milliseconds
    std::atomic<bool> m_lossDecisionQueued{false};
    std::mutex m_cutLock;
    std::thread m_cutThread;
    std::atomic<bool> m_cutRunning{false};
    bool m_stopped = false;  // guarded by m_cutLock
};

}  // namespace engine
