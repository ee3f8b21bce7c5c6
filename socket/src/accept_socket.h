// TwAcceptSocket: one TCP session of the engine (accepted, attached or connected).
//
// Receive path: the I/O port reports the socket readable; the I/O worker only disarms it and
// hands the session to the dispatch workers. The dispatch worker that has the session reads
// straight into the session's buffer and calls the user, again and again until the socket runs
// dry, then arms it on the port again. One worker at a time has a session, so calls come one at a
// time and in reading order. Nothing is read while the callback runs, so a slow consumer leaves
// the data in the kernel (back-pressure): nothing is dropped.
// End of stream or a read error is seen by that worker after the last data: TW_MSG_DISCONNECT.
//
// Send path: messages are queued (a plain list under the send lock: a session holds no descriptor
// besides its socket) and written by whichever thread gets the send lock first
// (the sender itself, or an I/O worker once the socket is writable again).
//
// Locks: m_sendLock (descriptor use and close, send state) before the port's registration lock;
// m_deliveryLock (whether a worker has the session) is a leaf.
#pragma once
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "engine.h"
#include "io_context_pool.h"
#include "platform/completion_port.h"
#include "prendle/socket.h"
#include "prendle/socket_manager.h"
#include "util/fifo.h"

namespace prendle {

class TwAcceptSocket : public TwSocket, public platform::IoSource {
public:
    static constexpr std::uint32_t kRecvBufferSize = 66560;
    // Chunks one dispatch turn reads before the session lets other sessions go first.
    static constexpr std::uint32_t kReadBudget = 32;

    explicit TwAcceptSocket(Engine* engine);
    ~TwAcceptSocket() override;

    // Adopts a connected descriptor (non-blocking from now on).
    void Adopt(int fd);
    // Keep-alive, 64 KiB buffers, no delay; clears the receive state; sets the valid flag.
    int SetUp();
    void SetProcessCallBack(TwProcessCallBack callback, void* context, TwSocketManager* manager);
    TwSocketManager* GetServer() const { return m_manager; }

    // Registers the descriptor with the engine's I/O port (reading starts with StartReceiving).
    bool BindToPort();
    int StartReceiving();

    int EnqueueAndSend(const char* data, int length, bool disconnectAfter);
    int SendQueued();
    // SO_LINGER {on = !graceful, 0} and shutdown both ways; 0 when the socket is not valid.
    int Shutdown(bool graceful);
    // Leaves the port and closes the descriptor; the session can do nothing more.
    void Close();

    void SetSessionCtx(SharedObjectPtr<SharedObject> context);
    SharedObjectPtr<SharedObject> GetSessionCtx();

    void SetAddressGiven(unsigned long address, unsigned short port);
    bool AddressGiven(unsigned long* address, unsigned short* port) const;
    void SetPeerText(const char* text, unsigned short port);

    // When data last arrived (or the session began), on the steady clock; and whether the
    // session is being shut down. A full server sends its longest-idle session away first.
    std::int64_t LastActivity() const { return m_lastActivity.load(); }
    bool Ending() const { return m_ending.load(); }

    void SetAliveCheck(bool on, std::int64_t stampSeconds);
    bool AliveCheck(std::int64_t* stampSeconds);

    // The dispatch side: runs a session the port found readable (any worker; `key` is the
    // session, with the reference taken when it was scheduled).
    static void Dispatch(void* key);

protected:
    void OnIoReady(std::uint32_t events) override;
    std::uint32_t WantedEvents() override;
    // A readable socket is read until it runs dry (or handed to a dispatch worker, which wants
    // readable again only when it has): watched edge-triggered, no re-arm per receive.
    bool ReadsUntilEmpty() override { return true; }
    void IoAddRef() override { AddRef(); }
    void IoRelease() override { Release(); }

private:
    enum class Burst { kDrained, kBudget, kEnded };
    void Schedule();
    void Drain();
    Burst ReadBurst();
    bool FlushLocked();  // false when the session had to be ended
    bool GatherLocked(SendContext* context);
    void ShutdownLocked(bool graceful);
    void Deliver(std::uint32_t bytes);
    void Touch();

    struct MessageFree {
        void operator()(FIFO_MSG* msg) const { std::free(msg); }
    };

    Engine* m_engine;
    std::atomic<bool> m_bound{false};
    std::atomic<TwProcessCallBack> m_callback{nullptr};
    std::atomic<void*> m_userContext{nullptr};
    TwSocketManager* m_manager = nullptr;

    // Send state (m_sendLock).
    std::mutex m_sendLock;
    std::deque<std::unique_ptr<FIFO_MSG, MessageFree>> m_sendQueue;
    SendContext* m_current = nullptr;
    std::atomic<bool> m_sendBlocked{false};
    std::atomic<bool> m_ending{false};
    std::atomic<std::int64_t> m_lastActivity{0};

    // Receive state. The port watches readability only while m_readArmed is set; a dispatch
    // worker that has the session reads it until it runs dry, then arms it again.
    std::atomic<bool> m_receiving{false};
    std::atomic<bool> m_readArmed{false};
    std::atomic<bool> m_readEnded{false};
    // The port reported the peer's half-close: its end of the stream is read, a short read is not
    // the socket running dry (edge-triggered, the end comes as no further event).
    std::atomic<bool> m_peerClosed{false};
    std::uint32_t m_buffered = 0;  // bytes in m_buffer; only the delivering worker touches them

    // Whether a dispatch worker has the session, and whether it should read again.
    std::mutex m_deliveryLock;
    bool m_scheduled = false;
    bool m_readRequested = false;

    char* m_buffer = nullptr;

    std::mutex m_infoLock;
    SharedObjectPtr<SharedObject> m_sessionCtx;
    bool m_aliveCheck = false;
    std::int64_t m_aliveStamp = 0;
    bool m_addressGiven = false;
    unsigned long m_givenAddress = 0;
    unsigned short m_givenPort = 0;
    std::string m_peerText;
    unsigned short m_peerPort = 0;
};

// The connection behind a session handle, or null when the handle is not one.
TwAcceptSocket* AsConnection(const SharedObjectPtr<SharedObject>& session);

}  // namespace prendle
