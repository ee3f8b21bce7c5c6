// A small tunnel client for the gateway's tests, built from the codec and the TLS library: it
// plays the client's hello over a loopback socket, hands the socket to the TLS library in the
// client role and collects the SSR messages the gateway sends.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "prendle/socket_client.h"
#include "message_build.h"
#include "tamberk/ssl_state_machine.h"

namespace qelgw::test {

class GatewayClient {
public:
    GatewayClient();
    ~GatewayClient();
    GatewayClient(const GatewayClient&) = delete;
    GatewayClient& operator=(const GatewayClient&) = delete;

    // The hello alone: sends it on a fresh connection and returns whatever the gateway answered
    // up to its blank line (or all it sent before hanging up). The socket stays in *fd.
    static std::string Hello(unsigned short port, int* fd);
    // Hello, then TLS; true once the handshake completed.
    bool Connect(unsigned short port);
    // Optional client certificate from the certificate store (before Connect).
    bool ChooseCertificate(const std::string& subject, const std::string& serialHex);
    bool Send(const std::vector<std::uint8_t>& msg);
    // The next message from the gateway (whole, header included), waiting up to `ms`; empty on
    // time-out or when the session ended.
    std::vector<std::uint8_t> Next(int ms = 10000);
    // The next message with this code, skipping others (keep-alive requests and the like).
    std::vector<std::uint8_t> NextWithCode(std::uint8_t code, int ms = 10000);
    bool WaitDisconnected(int ms = 10000);
    void Disconnect();
    TwSslAPI* Api() { return m_tls.GetSslAPI(); }
    const SharedObjectPtr<SharedObject>& Session() const { return m_session; }

private:
    static std::uint32_t Handler(TwSslAPI* api, TwSslMessage* message);

    SharedObjectPtr<TwSocketClient> m_socketClient;
    TwSslStateMachine m_tls;
    SharedObjectPtr<SharedObject> m_session;
    std::mutex m_lock;
    std::condition_variable m_cv;
    std::string m_stream;
    bool m_connected = false;
    bool m_disconnected = false;
};

}  // namespace qelgw::test
