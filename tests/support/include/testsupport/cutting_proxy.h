// An HTTP proxy on loopback that cuts its answer to CONNECT into pieces, each its own packet, and
// then carries the connection to a fixed target: for tests that a client reads a proxy's answer
// across packets, down to a byte a packet or with the status line cut inside.
#pragma once
#include <atomic>
#include <cstddef>
#include <string>
#include <thread>

#include "testsupport/net.h"

namespace testsupport {

// Serves one connection: reads the request to its blank line, sends `answer` in pieces of `piece`
// bytes with a short pause after each (the pause only lets the client read each piece on its own;
// nothing waits on it), then relays both ways to 127.0.0.1:targetPort until either side closes or
// the destructor stops it.
class CuttingProxy {
public:
    CuttingProxy(std::string answer, std::size_t piece, unsigned short targetPort);
    ~CuttingProxy();
    CuttingProxy(const CuttingProxy&) = delete;
    CuttingProxy& operator=(const CuttingProxy&) = delete;
    unsigned short Port() const { return m_listener.port; }
    // Pieces of the answer sent so far.
    int PiecesSent() const { return m_pieces.load(); }

private:
    void Run();
    void Relay(int client);

    const std::string m_answer;
    const std::size_t m_piece;
    const unsigned short m_target;
    LoopbackListener m_listener{4};
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_pieces{0};
    std::thread m_thread;
};

}  // namespace testsupport
