// TwSocketClient: outgoing TCP sessions, directly or through an HTTP proxy (CONNECT, optional
// Basic authentication). Once connected a session is an ordinary engine session.
//
// Connect blocks its caller (TW_MSG_CONNECT runs on it too); another thread may abort the wait for
// the TCP connection by signalling the cancel event. Failures leave the error pair set (GetError)
// and, on the proxy road, a text for the user goes to the message handler (see
// SetMessageBoxHandler). No text ever carries the proxy password.
//
// Settings (cancel event, proxy, credentials, time-outs) are set before Connect calls, from the
// controlling thread; a client serves any number of sequential or parallel Connect calls.
#pragma once
#include <atomic>
#include <mutex>
#include <string>

#include "platform/event.h"
#include "platform/types.h"
#include "prendle/socket_manager.h"

class PRENDLE_API TwSocketClient : public TwSocketManager {
public:
    // Bounds of the connect road. The proxy's whole answer must arrive within proxyAnswerMs.
    struct Timeouts {
        DWORD connectMs = 60000;
        DWORD proxyAnswerMs = 30000;
    };
    static constexpr const char* kMessageCaption = "Qel 客户端";
    using MessageBoxHandler = void (*)(const char* caption, const char* text);

    TwSocketClient();
    ~TwSocketClient() override;

    static SharedObjectPtr<TwSocketClient> CreateSockClient();

    // The manager's Initialize with address and port forced to 0 (any local address and port).
    unsigned long Initialize(TwProcessCallBack callback, void* context, unsigned long address,
                             unsigned short port) override;

    // The caller keeps the event; signalling it aborts a pending connect (error -4).
    void SetCancelEvent(platform::Event* event);
    // Proxy address in network order, port in host order; no proxy while either is 0. With both
    // user and password the credentials become "user:password" (at most 255 characters).
    void UseHttpProxy(unsigned long address, unsigned short port, const char* user, const char* password);
    void SetTimeouts(const Timeouts& timeouts);

    // A new unconnected session; null (error -2) without a registered callback.
    SharedObjectPtr<SharedObject> Create();
    // Address in network order, port in host order. The connected session, or null.
    SharedObjectPtr<SharedObject> Connect(unsigned long address, unsigned short port,
                                          SharedObjectPtr<SharedObject> context);
    // true when connected and announced (also when the callback then refused the session).
    bool Connect(SharedObjectPtr<SharedObject> session, unsigned long address, unsigned short port,
                 SharedObjectPtr<SharedObject> context);

    // Where the texts for the user go (the application shows them in a message box); null
    // restores the default, the debug output. Process-wide.
    static void SetMessageBoxHandler(MessageBoxHandler handler);

private:
    struct Settings {
        unsigned long proxyAddress = 0;
        unsigned short proxyPort = 0;
        std::string credentials;
        platform::Event* cancel = nullptr;
        Timeouts timeouts;
    };
    Settings Snapshot();
    bool ConnectTcp(int fd, unsigned long address, unsigned short port, const Settings& settings, int* error);
    bool ProxyHandshake(int fd, unsigned long address, unsigned short port, const Settings& settings);
    bool ProxyCancelled();
    void Alert(const char* format, ...) __attribute__((format(printf, 2, 3)));

    std::mutex m_settingsLock;
    Settings m_settings;
};
