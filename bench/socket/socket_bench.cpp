// Bulk echo on loopback through the socket engine against a plain blocking-socket echo server,
// with one connection and with 100. Both servers use the engine's socket options (64 KiB buffers,
// no delay); the load generator is the same blocking client for both.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"
#include "prendle/socket_server.h"
#include "testsupport/net.h"

namespace {

int Listen(unsigned short* port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    listen(fd, 512);
    socklen_t len = sizeof(a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    *port = ntohs(a.sin_port);
    return fd;
}

int Connect(unsigned short port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
        std::perror("connect");
        std::exit(1);
    }
    // One byte there and back: the server has taken the connection before the next one comes,
    // so a short listen backlog never drops a handshake (a one-second retry each time).
    char probe = 'p';
    if (send(fd, &probe, 1, MSG_NOSIGNAL) != 1 || recv(fd, &probe, 1, MSG_WAITALL) != 1) {
        std::perror("probe");
        std::exit(1);
    }
    return fd;
}

// Plain server: one blocking thread per connection, recv then send everything back.
class PlainEcho {
public:
    PlainEcho() {
        m_listen.Reset(Listen(&m_port));
        m_acceptor = std::thread([this] {
            for (;;) {
                int fd = accept(m_listen.Get(), nullptr, nullptr);
                if (fd < 0) return;
                testsupport::SetEngineSocketOptions(fd);
                m_workers.emplace_back([fd] {
                    const platform::UniqueFd owned(fd);
                    std::vector<char> buf(65536);
                    for (;;) {
                        ssize_t n = recv(fd, buf.data(), buf.size(), 0);
                        if (n <= 0) break;
                        for (ssize_t at = 0; at < n;) {
                            ssize_t w =
                                send(fd, buf.data() + at, static_cast<std::size_t>(n - at), MSG_NOSIGNAL);
                            if (w <= 0) {
                                n = 0;
                                break;
                            }
                            at += w;
                        }
                    }
                });
            }
        });
    }
    ~PlainEcho() {
        shutdown(m_listen.Get(), SHUT_RDWR);  // ends the acceptor's accept; the member closes after
        m_acceptor.join();
        for (auto& w : m_workers) w.join();
    }
    unsigned short Port() const { return m_port; }

private:
    platform::UniqueFd m_listen;
    unsigned short m_port = 0;
    std::thread m_acceptor;
    std::vector<std::thread> m_workers;
};

unsigned long EngineEcho(TwSocketManager* manager, _TwMessage* message) {
    if (message->code == TW_MSG_RECEIVE) {
        auto* record = reinterpret_cast<_TwRecvRecord*>(message->param);
        if (manager->SendMsg(message->session, record->data, static_cast<int>(record->length), false) == 1)
            record->consumed = record->length;
    }
    return TW_SUCCEED;
}

// Pushes `bytesEach` through each of `connections` echo connections; megabytes per second of
// echoed payload.
double Run(unsigned short port, int connections, std::size_t bytesEach) {
    std::vector<platform::UniqueFd> owned;
    std::vector<int> fds;
    for (int i = 0; i < connections; ++i) fds.push_back(owned.emplace_back(Connect(port)).Get());
    std::atomic<std::size_t> echoed{0};
    auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int fd : fds) {
        threads.emplace_back([fd, bytesEach] {
            std::vector<char> buf(65536, 'b');
            for (std::size_t sent = 0; sent < bytesEach;) {
                ssize_t n = send(fd, buf.data(), std::min(buf.size(), bytesEach - sent), MSG_NOSIGNAL);
                if (n <= 0) return;
                sent += static_cast<std::size_t>(n);
            }
        });
        threads.emplace_back([fd, bytesEach, &echoed] {
            std::vector<char> buf(65536);
            for (std::size_t got = 0; got < bytesEach;) {
                ssize_t n = recv(fd, buf.data(), buf.size(), 0);
                if (n <= 0) return;
                got += static_cast<std::size_t>(n);
                echoed += static_cast<std::size_t>(n);
            }
        });
    }
    for (auto& t : threads) t.join();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    owned.clear();
    return static_cast<double>(echoed.load()) / (1024.0 * 1024.0) / seconds;
}

}  // namespace

int main(int argc, char** argv) {
    double scale = argc > 1 ? std::atof(argv[1]) : 1.0;
    rlimit lim{4096, 4096};
    setrlimit(RLIMIT_NOFILE, &lim);
    auto server = TwSocketServer::CreatePrendle();
    if (server->Initialize(&EngineEcho, nullptr, 0, 0) != TW_SUCCEED) return 1;
    unsigned short enginePort = 0;
    if (server->StartServer(htonl(INADDR_LOOPBACK), &enginePort) != TW_SUCCEED) return 1;
    PlainEcho plain;

    struct Case {
        const char* name;
        int connections;
        std::size_t bytesEach;
    };
    const Case cases[] = {{"1 connection", 1, static_cast<std::size_t>(1024 * 1024 * 1024 * scale)},
                          {"100 connections", 100, static_cast<std::size_t>(16 * 1024 * 1024 * scale)}};
    // The machine may be shared: alternate the two servers and keep each one's best of three.
    for (const Case& c : cases) {
        if (std::getenv("BENCH_ONLY_MANY") != nullptr && c.connections == 1) continue;
        if (std::getenv("BENCH_ONLY_ONE") != nullptr && c.connections != 1) continue;
        Run(plain.Port(), c.connections, c.bytesEach / 8);  // warm-up
        double plainRate = 0, engineRate = 0;
        for (int round = 0; round < 3; ++round) {
            if (std::getenv("BENCH_ENGINE_ONLY") == nullptr)
                plainRate = std::max(plainRate, Run(plain.Port(), c.connections, c.bytesEach));
            if (std::getenv("BENCH_PLAIN_ONLY") == nullptr)
                engineRate = std::max(engineRate, Run(enginePort, c.connections, c.bytesEach));
        }
        std::printf("%-16s plain %8.1f MB/s   engine %8.1f MB/s   engine/plain %.2f\n", c.name, plainRate,
                    engineRate, engineRate / plainRate);
    }
    server->StopServer();
    return 0;
}
