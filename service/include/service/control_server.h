// The local HTTP control server as the service class sees it: started on a port, stopped once.
#pragma once
#include <cstdint>

namespace service {

constexpr std::uint16_t kHttpControlPort = 48088;

class ControlServer {
public:
    virtual ~ControlServer() = default;
    // Listens on 127.0.0.1:port; false (logged) when it cannot.
    virtual bool Start(std::uint16_t port) = 0;
    // Stops listening and ends every connection; returns when no callback runs any more.
    virtual void Stop() = 0;
};

}  // namespace service
