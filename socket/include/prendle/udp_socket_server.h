// Datagram traffic in the shape of the engine's TCP sessions: a peer (IPv4 address and port)
// becomes a session after a two-message handshake ("Talverwind UDP Connect" / "Talverwind UDP
// Reply"), and its datagrams then reach the same kind of callback with a _TwMessage.
//
// Threads: TW_MSG_RECEIVE and peer-opened TW_MSG_CONNECT run on the receive thread; Connect's
// TW_MSG_CONNECT, UdpDisconnect's TW_MSG_DISCONNECT and the start/stop messages on the caller's
// thread. One lock guards the session list and table; callbacks run outside it.
#pragma once
#include <netinet/in.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "prendle/socket.h"
#include "prendle/socket_manager.h"
#include "util/hash_table.h"

class TwUDPSocketServer;
class TwUdpSocket;

constexpr const char* TW_UDP_CONNECT_LITERAL = "Talverwind UDP Connect";
constexpr const char* TW_UDP_REPLY_LITERAL = "Talverwind UDP Reply";

// The six key bytes of a session: address then port, both in network order.
#pragma pack(push, 1)
struct _UDPAddr {
    std::uint32_t address;
    std::uint16_t port;
};
#pragma pack(pop)
static_assert(sizeof(_UDPAddr) == 6, "the session key is six bytes");

// Word 5 of UDP TW_MSG_RECEIVE / TW_MSG_CONNECT.
struct _TwUdpRecord {
    char* data;
    std::uint32_t length;
    std::uint32_t address;  // network order
    std::uint16_t port;     // network order
};

struct _RecvCtxt {
    static constexpr std::size_t kBufferSize = 33280;
    char buffer[kBufferSize];
    sockaddr_in from;
    socklen_t fromLength;
    std::uint32_t bytes;
    std::uint32_t flags;
    TwUdpSocket* owner;
};

using TwUdpRecvCallback = unsigned long (*)(_RecvCtxt* context);
using TwUdpProcessCallBack = unsigned long (*)(TwUDPSocketServer* server, _TwMessage* message);

class PRENDLE_API TwUdpSocket : public TwSocket {
public:
    TwUdpSocket();
    ~TwUdpSocket() override;

    int Create(unsigned long address, unsigned short port) override;
    void SetCallback(TwUdpRecvCallback callback, void* appContext);
    void* GetAppCtxt() const { return m_appContext; }
    // Waits up to timeoutMs for one datagram and hands it to the callback. The callback's result,
    // or 1 when nothing came (or a transient error).
    unsigned long ReceiveOnce(int timeoutMs);
    bool SendTo(const char* data, int length, const sockaddr* to);

private:
    TwUdpRecvCallback m_callback = nullptr;
    void* m_appContext = nullptr;
    std::unique_ptr<_RecvCtxt> m_context;
};

class PRENDLE_API TwUDPSession : public SharedObject {
public:
    TwUDPSession(std::uint32_t address, std::uint16_t port, SharedObjectPtr<SharedObject> context,
                 bool connected);

    _UDPAddr m_key;  // the table points at these bytes
    std::atomic<int> m_connected;

    SharedObjectPtr<SharedObject> GetContext();
    void SetContext(SharedObjectPtr<SharedObject> context);

    // The reply wait of a session opened by Connect.
    void SignalReply();
    bool WaitReply(int milliseconds);

private:
    std::mutex m_lock;
    std::condition_variable m_replied;
    bool m_signalled = false;
    SharedObjectPtr<SharedObject> m_context;
};

namespace prendle {
class UdpReceiveThread;
}

class PRENDLE_API TwUDPSocketServer : public SharedObject {
public:
    TwUDPSocketServer();
    ~TwUDPSocketServer() override;

    void SetProcessCallBack(TwUdpProcessCallBack callback, void* context);
    // 1 when the socket is bound and the receive thread runs, else 0.
    int StartServer(unsigned long address, unsigned short port);
    int StopServer();
    // The bound local address (port 0 at start picks one).
    bool GetLocalAddr(sockaddr_in& address);

    SharedObjectPtr<SharedObject> Connect(unsigned long address, unsigned short port,
                                          SharedObjectPtr<SharedObject> context, unsigned short waitSeconds);
    // Milliseconds variant of the reply wait (tests).
    SharedObjectPtr<SharedObject> ConnectMs(unsigned long address, unsigned short port,
                                            SharedObjectPtr<SharedObject> context, int waitMs);
    int SendMessage(const SharedObjectPtr<SharedObject>& session, const char* data, int length);
    int IsSessionConnected(const SharedObjectPtr<SharedObject>& session);
    void UdpDisconnect(const SharedObjectPtr<SharedObject>& session);
    void SetSessionCtxt(const SharedObjectPtr<SharedObject>& session, SharedObjectPtr<SharedObject> context);
    void GetUDPAddr(const SharedObjectPtr<SharedObject>& session, _UDPAddr* address);
    std::size_t SessionCount();

    static unsigned long DataProc(_RecvCtxt* context);

private:
    SharedObjectPtr<TwUDPSession> Find(const _UDPAddr& key);
    void AddLocked(const SharedObjectPtr<TwUDPSession>& session);
    bool RemoveLocked(const _UDPAddr& key);
    void HandleDatagram(_RecvCtxt* context);
    unsigned long Notify(std::uint32_t code, const SharedObjectPtr<SharedObject>& session,
                         SharedObjectPtr<SharedObject> sessionCtx, std::uintptr_t param);

    std::atomic<bool> m_started{false};
    std::unique_ptr<prendle::UdpReceiveThread> m_thread;
    SharedObjectPtr<TwUdpSocket> m_socket;
    std::atomic<TwUdpProcessCallBack> m_callback{nullptr};
    std::atomic<void*> m_context{nullptr};
    std::mutex m_lock;
    std::vector<SharedObjectPtr<TwUDPSession>*> m_sessions;
    HashTable m_table{5};
};
