// TwAcceptSocket: one TCP session of the engine (accepted, attached or connected).
//
// Receive path: an I/O worker reads a chunk and hands it over for delivery; a dispatch worker
// appends it to the buffer (as much as fits, the rest after the callback has consumed) and calls
// the user. The session's chunks wait in a queue of its own that one worker at a time drains, so
// calls come one at a time and in reading order. With kMaxInFlight chunks waiting the socket is
// not read from until one is delivered (back-pressure): nothing is dropped.
// End of stream or a read error is queued once, after the last chunk: TW_MSG_DISCONNECT.
//
// Send path: messages are queued (FIFO) and written by whichever thread gets the send lock first
// (the sender itself, or an I/O worker once the socket is writable again).
//
// Locks: m_sendLock (descriptor use and close, send state) before the port's registration lock;
// m_rxLock (buffer accounting) and m_deliveryLock (the session's chunk queue) are leaves.
#pragma once
#include <atomic>
#include <cstdint>
#include <deque>
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
    // Chunks read but not yet delivered; at this count the socket is not read from.
    static constexpr std::uint32_t kMaxInFlight = 4;

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

    void SetAliveCheck(bool on, std::int64_t stampSeconds);
    bool AliveCheck(std::int64_t* stampSeconds);

    // The dispatch side: delivers one completed context (any worker).
    static void Dispatch(IoContext* context);

protected:
    void OnIoReady(std::uint32_t events) override;
    std::uint32_t WantedEvents() override;
    void IoAddRef() override { AddRef(); }
    void IoRelease() override { Release(); }

private:
    void ReadSome();
    void EndReading();
    bool FlushLocked();  // false when the session had to be ended
    bool GatherLocked(SendContext* context);
    void ShutdownLocked(bool graceful);
    void Hand(IoContext* context);
    void Drain();
    void DeliverData(RecvContext* context);

    Engine* m_engine;
    std::atomic<bool> m_bound{false};
    std::atomic<TwProcessCallBack> m_callback{nullptr};
    std::atomic<void*> m_userContext{nullptr};
    TwSocketManager* m_manager = nullptr;

    // Send state (m_sendLock).
    std::mutex m_sendLock;
    SharedObjectPtr<FIFO> m_sendQueue;
    SendContext* m_current = nullptr;
    std::atomic<bool> m_sendBlocked{false};

    // Receive state.
    std::mutex m_rxLock;
    std::atomic<bool> m_receiving{false};
    std::atomic<bool> m_readPaused{false};
    std::atomic<bool> m_readEnded{false};
    std::atomic<bool> m_closing{false};
    std::uint32_t m_inFlight = 0;  // chunks read, not yet delivered (m_rxLock)
    std::uint32_t m_buffered = 0;  // in m_buffer (m_rxLock for writes; the dispatcher owns the bytes)
    std::uint32_t m_nextSequence = 0;  // I/O side only (one handler at a time)
    IoContext m_endMarker;

    // Chunks waiting for delivery, in reading order, and whether a worker has the session.
    std::mutex m_deliveryLock;
    std::deque<IoContext*> m_delivery;
    bool m_scheduled = false;

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
