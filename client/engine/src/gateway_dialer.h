// TwGatewayDialer: the connector's way to a greeted gateway socket. It reads the proxy settings,
// connects (directly or to the proxy), asks the proxy to CONNECT and plays the plain hello, each
// wait bounded by one deadline and ended at once by the logon's cancel event.
//
// Threads: Dial and LoadProxySetting run on the logon's thread; CurrentProxy from any thread.
// Errors: Dial returns the greeted socket or -1; what went wrong goes to the hooks (progress texts,
// message boxes, the connector's last error) as it happens.
#pragma once
#include <functional>
#include <mutex>
#include <string>

#include "platform/clock.h"
#include "platform/event.h"
#include "platform/settings_store.h"
#include "platform/win_error_codes.h"
#include "platform/types.h"

namespace engine {

struct GatewayProxy {
    bool on = false;
    DWORD address = 0;  // network order
    WORD port = 0;
    bool auth = false;
    std::string user, password;
};

class TwGatewayDialer {
public:
    struct Hooks {
        std::function<void(int textId)> progress;                // a progress text of the logon
        std::function<void(int textId)> notice;                  // an error box (when boxes are on)
        std::function<void(int number, const char* text)> fail;  // the logon's last error
    };
    // `cancel` and `clock` must outlive the dialer.
    TwGatewayDialer(const platform::Clock& clock, platform::Event& cancel, Hooks hooks);

    // Reads the proxy from the client's settings; a proxy without address or port is off. false:
    // the key cannot be opened (no proxy then).
    bool LoadProxySetting(platform::SettingsStore& settings, const std::string& key);
    GatewayProxy CurrentProxy() const;

    // The socket to `address`:`port` (network order address) greeted by the gateway, or -1.
    int Dial(DWORD address, WORD port, int ms, bool relogon);

private:
    int ConnectTcp(DWORD address, WORD port, int ms);
    bool ProxyConnect(int fd, const GatewayProxy& proxy, DWORD address, WORD port, int ms);
    bool PlayHello(int fd, int ms, bool relogon);

    const platform::Clock& m_clock;
    platform::Event& m_cancel;
    Hooks m_hooks;
    mutable std::mutex m_lock;
    GatewayProxy m_proxy;
};

}  // namespace engine
