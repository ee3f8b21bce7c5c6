// TwSocketServer: a TwSocketManager that listens on one TCP address and port, accepts on a thread
// of its own and turns each connection into an engine session. It can pick a free port from
// 47625-47804 and can reset connections older than a set age (unless exempted). It holds at most
// a capped number of sessions; when full, the longest-idle session is reset to let a new one in.
//
// Threads: TW_MSG_CONNECT for accepted connections runs on the accept thread; SERVER_START and
// SERVER_STOP on the caller of StartServer / StopServer; the age check on its timer thread.
// StartServer/StopServer/destruction from one controlling thread.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/periodic_timer.h"
#include "prendle/socket_manager.h"

namespace prendle {
class AcceptThread;
}

class PRENDLE_API TwSocketServer : public TwSocketManager {
public:
    static constexpr unsigned short kFirstAutoPort = 47625;
    static constexpr unsigned short kEndAutoPort = 47805;  // not included
    static constexpr std::size_t kMaxSessionCap = 65536;

    TwSocketServer();
    ~TwSocketServer() override;

    static SharedObjectPtr<TwSocketServer> CreatePrendle();

    // A non-zero maximum age, set before Initialize, turns the age check on.
    void SetChkDeadSockPeriod(int checkIntervalSeconds, int maxAgeSeconds);
    unsigned long Initialize(TwProcessCallBack callback, void* context, unsigned long address,
                             unsigned short port) override;

    // 1 started (the start callback agreed), 0 failed or the callback disagreed, 10 no memory.
    // *port 0 picks a free port of the range and writes it back. Raises the process's soft
    // descriptor limit to its hard limit first.
    unsigned long StartServer(unsigned long address, unsigned short* port);
    // 1, or 0 when the stop callback fails. Closes every session first.
    unsigned long StopServer();
    int IsServerStarted() const { return m_started.load() ? 1 : 0; }
    // The port it listens on while started (the one picked when StartServer was given 0).
    unsigned short ListenPort() const { return m_started.load() ? m_port : 0; }
    // Sends to every listed session but `except`; 1 when every send started.
    int BroadcastMsg(void* exceptSession, const char* data, int length);

    // Seconds on the clock the age check uses (monotonic); tests may replace it.
    static void SetAgeClockForTest(std::function<std::int64_t()> clock);
    static std::int64_t AgeClockSeconds();

protected:
    friend class prendle::AcceptThread;
    void CheckDeadSock();
    // Takes one accepted descriptor through set-up and TW_MSG_CONNECT (accept thread).
    void OnAccepted(int fd, bool stamp, bool stopping);
    // Resets the session that has been idle longest; false when there is none to reset.
    bool EvictOldestIdle();
    std::size_t LiveSessionCount();

private:
    bool OpenListener(unsigned long address, unsigned short port);

    std::unique_ptr<TwSocket, void (*)(TwSocket*)> m_listen;
    std::unique_ptr<prendle::AcceptThread> m_acceptThread;
    std::atomic<bool> m_started{false};
    std::atomic<int> m_checkInterval{0};
    std::atomic<int> m_maxAge{0};
    std::atomic<std::size_t> m_sessionCap{kMaxSessionCap};
    platform::PeriodicTimer m_deadSockTimer;
};
