// The socket engine's TCP session manager and the callback contract every user of the engine
// implements.
//
// One callback per manager hears everything through a _TwMessage. The engine never frames data:
// it keeps received bytes per session and the callback says, through `consumed`, how many it
// took from the front; the rest stays for the next TW_MSG_RECEIVE together with what arrives next.
// A session whose buffer is full is not read from until its callback consumes (back-pressure).
//
// Threads: TW_MSG_RECEIVE and the receive-path TW_MSG_DISCONNECT run on the engine's dispatch
// workers, one call at a time per session and in the order of the data; TW_MSG_CONNECT runs where
// the session was made (accept thread, the caller of Connect or AttachSocket). Sends may be
// issued from any thread, also from inside the callback.
//
// Lifetime: sessions are SharedObjectPtr<SharedObject> handles to the connection object. A session
// refers back to its manager without holding it: the manager closes and drains its sessions in its
// destructor, and a session handle kept after that must not be used with the manager again.
#pragma once
#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "prendle/export.h"
#include "prendle/socket.h"
#include "util/shared_object.h"
#include "util/tw_thread.h"

enum : std::uint32_t {
    TW_MSG_SERVER_START = 0,
    TW_MSG_SERVER_STOP = 1,
    TW_MSG_CONNECT = 2,
    TW_MSG_RECEIVE = 3,
    TW_MSG_DISCONNECT = 4,
};

// The callback's result codes besides TW_SUCCEED (1, util/tw_thread.h).
constexpr unsigned long TW_ERR_NO_MEMORY = 10;
constexpr unsigned long TW_ERR_FAILED = 11;

// Engine codes of the error pair (GetError); the system code beside them is the Winsock number.
enum : int {
    TW_ERR_CREATE = -2,  // no callback registered, or the socket could not be made
    TW_ERR_SETUP = -3,
    TW_ERR_CONNECT = -4,  // connect failed, timed out or was cancelled
    TW_ERR_PROXY_SEND = -5,
    TW_ERR_PROXY_RECEIVE = -7,  // the proxy's answer broke off, never ended or was too long
    TW_ERR_PROXY_REFUSED = -8,
    TW_ERR_BIND_PORT = -9,
    TW_ERR_REFUSED = -10,  // the callback refused the connection
    TW_ERR_PROXY_TIMEOUT = -12,
};

class TwSocketManager;

// The five words handed to the callback. The message holds one reference to each pointer.
struct _TwMessage {
    std::uint32_t code = 0;
    void* userContext = nullptr;
    SharedObjectPtr<SharedObject> session;
    SharedObjectPtr<SharedObject> sessionCtx;
    // TW_MSG_CONNECT: accept flag, 1 on entry (anything else refuses); TW_MSG_RECEIVE: a
    // _TwRecvRecord*; 0 otherwise.
    std::uintptr_t param = 0;
};

// Word 5 of TW_MSG_RECEIVE. `data` is the start of the session's buffer; the callback sets
// `consumed` to the number of bytes it took from the front (values above `length` count as all).
struct _TwRecvRecord {
    char* data;
    std::uint32_t length;
    std::uint32_t consumed;
};

using TwProcessCallBack = unsigned long (*)(TwSocketManager* manager, _TwMessage* message);

namespace prendle {
class Engine;
class TwAcceptSocket;
}  // namespace prendle

class PRENDLE_API TwSocketManager : public SharedObject {
public:
    TwSocketManager();
    ~TwSocketManager() override;

    // TW_SUCCEED, TW_ERR_NO_MEMORY or TW_ERR_FAILED; TW_SUCCEED at once when already initialised.
    // The first manager of the process starts the engine's threads.
    virtual unsigned long Initialize(TwProcessCallBack callback, void* context, unsigned long address,
                                     unsigned short port);
    virtual void SetProcessCallBack(TwProcessCallBack callback, void* context);

    // Queues a copy of the bytes (and, with disconnectAfter, a reset once everything queued before
    // has gone out) and starts sending. 1 when started, 0 otherwise.
    virtual int SendMsg(const SharedObjectPtr<SharedObject>& session, const char* data, int length,
                        bool disconnectAfter);
    // Shuts the session down (graceful: FIN; otherwise reset). TW_MSG_DISCONNECT follows from the
    // receive path. 0 when the session's socket is not valid.
    virtual int Disconnect(const SharedObjectPtr<SharedObject>& session, bool graceful);

    // Adopts a connected socket (the engine owns it afterwards, also on failure). Address 0 or
    // port 0: both are taken from the peer. Returns the session, null when the socket is invalid
    // or could not be set up; a session refused by the callback is returned already closed.
    SharedObjectPtr<SharedObject> AttachSocket(int socket, unsigned long address, short port,
                                               SharedObjectPtr<SharedObject> context);

    void SetSessionCtx(const SharedObjectPtr<SharedObject>& session, SharedObjectPtr<SharedObject> context);
    SharedObjectPtr<SharedObject> GetSessionCtx(const SharedObjectPtr<SharedObject>& session);

    // Dotted address and host-order port; "0" when the socket cannot tell.
    void GetPeerAddr(const SharedObjectPtr<SharedObject>& session, char* text, unsigned long size,
                     short* port);
    void GetLocalAddr(const SharedObjectPtr<SharedObject>& session, char* text, unsigned long size,
                      short* port);
    void GetPeerAddr(const SharedObjectPtr<SharedObject>& session, sockaddr_in& address);
    void GetLocalAddr(const SharedObjectPtr<SharedObject>& session, sockaddr_in& address);

    // Exempts the session from the listening server's age limit.
    void TurnoffSockAliveCheck(const SharedObjectPtr<SharedObject>& session);

    void GetError(int* engineCode, int* systemCode);
    static long GetSockCount();
    static int IsWINNT() { return 1; }

    // The engine's own file log (never written by the engine itself).
    static void InitializeLog();
    static void SetLogFileName(const char* name);
    static void LogEvent(const char* format, ...) __attribute__((format(printf, 1, 2)));
    static void ClearLog();

    // How many sessions are listed now (tests, diagnostics).
    std::size_t SessionCount();

protected:
    virtual int SendMsgEx(const SharedObjectPtr<SharedObject>& session, const char* data, int length,
                          bool disconnectAfter);
    int Receive(const SharedObjectPtr<SharedObject>& session);
    int RemoveSession(SharedObject* session);
    unsigned long DiscCallback(const SharedObjectPtr<SharedObject>& session);
    void CleanUp();
    void LockSession() { m_sessionLock.Enter(); }
    void UnlockSession() { m_sessionLock.Leave(); }
    void SetError(int engineCode, int systemCode);
    SharedObjectPtr<SharedObject> AttachSocketImpl(int socket, unsigned long address, short port,
                                                   SharedObjectPtr<SharedObject> context);
    // Sets up, registers and announces a new connection (accept, attach, connect): TW_MSG_CONNECT
    // on this thread, then receiving and listing, or refusal and TW_MSG_DISCONNECT.
    // false when the connection could not be bound to the engine (error -9).
    bool AnnounceSession(prendle::TwAcceptSocket* connection);
    void AbortAllSessions();
    prendle::Engine* EngineRef() { return m_engine; }

    friend class prendle::TwAcceptSocket;

    bool m_initialized = false;
    std::atomic<TwProcessCallBack> m_callback{nullptr};
    std::atomic<void*> m_context{nullptr};
    unsigned long m_address = 0;
    unsigned short m_port = 0;
    std::vector<SharedObjectPtr<SharedObject>*> m_sessions;
    TwCriticalSection m_managerLock;
    TwCriticalSection m_sessionLock;
    std::atomic<int> m_errorEngine{0};
    std::atomic<int> m_errorSystem{0};
    prendle::Engine* m_engine = nullptr;
};
