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
#include "platform/unique_fd.h"
#include "testsupport/net.h"

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

// Plain loopback sockets: the shared test support's, under the names these tests use.
using PlainListener = testsupport::LoopbackListener;
inline int ConnectPlain(unsigned short port) { return testsupport::ConnectLoopback(port); }
using testsupport::RecvAll;
using testsupport::SendAll;

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
