// SIGTERM and SIGINT turned into a stop request on a thread of the watch's own.
#include "service/termination_watch.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace service {
namespace {

// The handler may only write to a descriptor: everything else waits for the watch's thread.
std::atomic<int> g_wakeFd{-1};
struct sigaction g_oldTerm {
}, g_oldInt{};

void OnSignal(int) {
    const int saved = errno;
    const int fd = g_wakeFd.load();
    if (fd >= 0) {
        const std::uint64_t one = 1;
        (void)!::write(fd, &one, sizeof(one));
    }
    errno = saved;
}

}  // namespace

StopOnTermination::StopOnTermination(std::function<void()> onTerm)
    : m_onTerm(std::move(onTerm)), m_wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    int expected = -1;
    if (!m_wake || !g_wakeFd.compare_exchange_strong(expected, m_wake.Get())) return;
    m_active = true;
    m_thread = std::thread([this] { Run(); });
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, &g_oldTerm);
    sigaction(SIGINT, &sa, &g_oldInt);
}

StopOnTermination::~StopOnTermination() {
    if (!m_active) return;
    sigaction(SIGTERM, &g_oldTerm, nullptr);
    sigaction(SIGINT, &g_oldInt, nullptr);
    m_quit = true;
    const std::uint64_t one = 1;
    (void)!::write(m_wake.Get(), &one, sizeof(one));
    m_thread.join();
    g_wakeFd = -1;
}

void StopOnTermination::Run() {
    bool stopped = false;
    for (;;) {
        pollfd p{m_wake.Get(), POLLIN, 0};
        if (::poll(&p, 1, -1) < 0 && errno != EINTR) return;
        std::uint64_t count = 0;
        (void)!::read(m_wake.Get(), &count, sizeof(count));
        if (m_quit.load()) return;
        if (count != 0 && !stopped) {
            stopped = true;
            if (m_onTerm) m_onTerm();
        }
    }
}

}  // namespace service
