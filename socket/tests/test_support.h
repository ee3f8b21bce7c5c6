// Shared helpers of the engine's tests: loopback sockets, bounded waits, and a callback that
// forwards the engine's messages to a std::function.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "prendle/socket_manager.h"

namespace prendle_test {

inline unsigned long Loopback() { return htonl(INADDR_LOOPBACK); }

// Waits (polling every millisecond) until pred() holds, at most `limit`. The result of pred().
template <class Pred>
bool WaitUntil(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A listening loopback socket on a free port.
struct PlainListener {
    int fd = -1;
    unsigned short port = 0;
    explicit PlainListener(int backlog = 128) {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        listen(fd, backlog);
        socklen_t len = sizeof(a);
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~PlainListener() {
        if (fd >= 0) close(fd);
    }
    int Accept() const { return accept4(fd, nullptr, nullptr, SOCK_CLOEXEC); }
};

inline int ConnectPlain(unsigned short port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

inline bool SendAll(int fd, const void* data, std::size_t size) {
    auto* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Reads exactly size bytes (false on end, error or a 10 s silence).
inline bool RecvAll(int fd, void* data, std::size_t size) {
    timeval tv{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    auto* p = static_cast<char*>(data);
    while (size > 0) {
        ssize_t n = recv(fd, p, size, 0);
        if (n <= 0) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Reads until the peer closes (or 10 s pass); what came.
inline std::string RecvUntilClose(int fd) {
    timeval tv{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    std::string text;
    char buf[4096];
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) return text;
        text.append(buf, static_cast<std::size_t>(n));
    }
}

// The engine's callback, forwarded to a std::function set before the manager is initialised.
struct Handler {
    std::function<unsigned long(TwSocketManager*, _TwMessage*)> fn;
    static unsigned long Trampoline(TwSocketManager* manager, _TwMessage* message) {
        auto* self = static_cast<Handler*>(message->userContext);
        return self->fn ? self->fn(manager, message) : TW_SUCCEED;
    }
};

inline _TwRecvRecord* Record(_TwMessage* message) { return reinterpret_cast<_TwRecvRecord*>(message->param); }

inline void RaiseFileLimit(rlim_t wanted) {
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_cur < wanted) {
        lim.rlim_cur = wanted < lim.rlim_max ? wanted : lim.rlim_max;
        if (lim.rlim_max < wanted) lim.rlim_max = lim.rlim_cur = wanted;  // root may raise the hard limit
        setrlimit(RLIMIT_NOFILE, &lim);
    }
}

}  // namespace prendle_test
