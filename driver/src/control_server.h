// The control device on Linux: an AF_UNIX SOCK_SEQPACKET socket at a fixed path in the runtime
// folder. One connection is one opened handle (file object); each message is one request,
// answered by one reply. The ring block and events travel as descriptors (SCM_RIGHTS).
// One thread serves every connection; requests are handled one at a time.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <thread>

#include "control_device.h"

namespace olvane {

class TwControlServer {
public:
    TwControlServer() = default;
    ~TwControlServer();
    TwControlServer(const TwControlServer&) = delete;
    TwControlServer& operator=(const TwControlServer&) = delete;

    // Binds `path` (a stale socket there is replaced) and starts serving. false with errno.
    bool Start(const std::string& path);
    // Stops serving, closes every connection (each one's sharing ends) and removes the socket.
    void Stop();
    std::uint64_t RejectedRequests() const { return m_rejected; }

private:
    struct Connection {
        TwFileObject fo;
    };
    void Run();
    bool Accept();
    // false when the connection is to be closed.
    bool Serve(int fd, Connection& c);
    void Close(int fd);

    std::string m_path;
    int m_listen = -1;
    int m_stopFd = -1;
    std::map<int, Connection> m_connections;
    std::uint64_t m_nextId = 1;
    std::uint64_t m_rejected = 0;
    std::thread m_thread;
};

}  // namespace olvane
