// The resource host behind the test gateway: a TCP echo on port 7 and a TCP sink on port 9 at the
// address given, until SIGTERM or SIGINT. Each connection gets a thread of its own; the sink
// answers every 64 KiB it took with one byte, so a sender can time its transfer end to end.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

#include "platform/unique_fd.h"

namespace {

constexpr std::size_t kSinkAckEvery = 64 * 1024;

platform::UniqueFd Listen(const char* address, int port) {
    platform::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return fd;
    const int on = 1;
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    if (inet_pton(AF_INET, address, &sa.sin_addr) != 1 ||
        ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd.Get(), 64) != 0) {
        fd.Reset();
    }
    return fd;
}

void Serve(int fd, bool echo) {
    const platform::UniqueFd owned(fd);
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    static thread_local char buf[256 * 1024];
    std::size_t unacked = 0;
    for (;;) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return;
        if (echo) {
            for (ssize_t off = 0; off < n;) {
                const ssize_t w = ::send(fd, buf + off, static_cast<std::size_t>(n - off), MSG_NOSIGNAL);
                if (w <= 0) return;
                off += w;
            }
            continue;
        }
        unacked += static_cast<std::size_t>(n);
        for (; unacked >= kSinkAckEvery; unacked -= kSinkAckEvery) {
            if (::send(fd, "k", 1, MSG_NOSIGNAL) != 1) return;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: tw_resource_host ADDRESS\n");
        return 2;
    }
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    const platform::UniqueFd signals(signalfd(-1, &set, SFD_CLOEXEC));
    platform::UniqueFd echo = Listen(argv[1], 7), sink = Listen(argv[1], 9);
    if (!signals || !echo || !sink) {
        std::fprintf(stderr, "tw_resource_host: cannot listen on %s\n", argv[1]);
        return 1;
    }
    std::printf("tw_resource_host: serving on %s\n", argv[1]);
    std::fflush(stdout);
    pollfd fds[3] = {{signals.Get(), POLLIN, 0}, {echo.Get(), POLLIN, 0}, {sink.Get(), POLLIN, 0}};
    for (;;) {
        if (::poll(fds, 3, -1) < 0) continue;
        if (fds[0].revents != 0) break;
        for (int i = 1; i < 3; ++i) {
            if ((fds[i].revents & POLLIN) == 0) continue;
            const int c = ::accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
            // Connection threads end with their connection or with the process.
            if (c >= 0) std::thread(Serve, c, i == 1).detach();
        }
    }
    std::printf("tw_resource_host: stopped\n");
    return 0;
}
