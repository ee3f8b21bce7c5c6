// A gateway for tests and the demo: takes the client's plain hello, runs TLS in the server role
// on the suite's TLS library, answers logon, registration, keep-alive, password change and
// logoff as its configuration says, and carries data messages to and from a TUN or TAP device.
//
// Threads: Start/Stop and the test hooks from any one controlling thread. Inside: a listener
// thread (accepts, plays the hello), a timer thread (keep-alive, forced logoff, pending
// registrations, key-id switches), a device thread (frames from the device), and the socket
// engine's workers, on which every received message is handled. Stop returns once none of them
// runs gateway code any more.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "gateway/gateway_config.h"

namespace qelgw {

// What the gateway has seen, for tests and the log.
struct GatewayCounters {
    int hellos = 0;
    int tlsSessions = 0;
    int logonRequests = 0;
    int logonsAccepted = 0;
    int naks = 0;
    int informUpdates = 0;
    int registrations = 0;
    int keepAliveRequestsReceived = 0;
    int keepAliveResponsesReceived = 0;
    int keepAliveRequestsSent = 0;
    int logoffs = 0;
    int forcedLogoffs = 0;
    int passwordChanges = 0;
    int appRecords = 0;
    int framesFromClients = 0;
    int framesToClients = 0;
    int framesDropped = 0;
    int badMessages = 0;
    std::string lastHardwareId;
    std::string lastAppRecord;
    std::string lastSuite;  // protocol and suite of the latest TLS session, "TLSv1.2 AES256-GCM-SHA384"
};

class TestGateway {
public:
    explicit TestGateway(GatewayConfig config);
    ~TestGateway();
    TestGateway(const TestGateway&) = delete;
    TestGateway& operator=(const TestGateway&) = delete;

    // Listens, opens the device, starts the threads. False with *error on any failure (nothing
    // is left running then).
    bool Start(std::string* error);
    void Stop();
    unsigned short Port() const;
    GatewayCounters Counters() const;
    const GatewayConfig& Config() const;

    // Without a device, frames from clients go here (virtual address of the sender, frame).
    using FrameSink =
        std::function<void(std::uint32_t virtualIp, const std::uint8_t* frame, std::size_t length)>;
    void SetFrameSink(FrameSink sink);
    // Sends an Ethernet frame to the client online with `virtualIp` (host order).
    bool SendFrame(std::uint32_t virtualIp, const std::uint8_t* frame, std::size_t length);
    // Cuts every online client off now (94 with the configured code and text). The count cut.
    int CutOffAll();
    // Number of clients online (logon answered, registration done if demanded).
    int OnlineCount() const;

    class Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

}  // namespace qelgw
