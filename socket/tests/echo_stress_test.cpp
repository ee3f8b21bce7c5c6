// Many concurrent connections through the listening server's sessions: every byte echoed, checked
// in order, every session announced and ended exactly once.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/epoll.h>

#include <atomic>
#include <random>
#include <vector>

#include "prendle/socket_server.h"
#include "test_support.h"

#ifndef PRENDLE_STRESS_CONNECTIONS
#define PRENDLE_STRESS_CONNECTIONS 1000
#endif

using namespace prendle_test;

namespace {

constexpr std::size_t kConnections = PRENDLE_STRESS_CONNECTIONS;
constexpr std::size_t kBytesEach = 1 << 20;

unsigned char Pattern(std::size_t connection, std::size_t at) {
    return static_cast<unsigned char>(at * 131 + connection * 7 + (at >> 9));
}

struct Client {
    platform::UniqueFd fd;
    std::size_t sent = 0;
    std::size_t received = 0;
    bool bad = false;
};

TEST(EchoStress, ThousandConnectionsOfOneMegabyteEach) {
    RaiseFileLimit(8 * kConnections + 256);
    std::atomic<int> connects{0};
    std::atomic<int> disconnects{0};
    Handler handler;
    handler.fn = [&](TwSocketManager* m, _TwMessage* msg) -> unsigned long {
        if (msg->code == TW_MSG_CONNECT) ++connects;
        if (msg->code == TW_MSG_DISCONNECT) ++disconnects;
        if (msg->code == TW_MSG_RECEIVE) {
            auto* rec = Record(msg);
            if (m->SendMsg(msg->session, rec->data, static_cast<int>(rec->length), false) == 1)
                rec->consumed = rec->length;
        }
        return TW_SUCCEED;
    };
    auto server = TwSocketServer::CreatePrendle();
    ASSERT_EQ(server->Initialize(&Handler::Trampoline, &handler, 0, 0), TW_SUCCEED);
    unsigned short port = 0;
    ASSERT_EQ(server->StartServer(Loopback(), &port), TW_SUCCEED);

    std::vector<Client> clients(kConnections);
    platform::UniqueFd epoll(epoll_create1(EPOLL_CLOEXEC));
    const int ep = epoll.Get();
    for (std::size_t i = 0; i < kConnections; ++i) {
        clients[i].fd.Reset(ConnectPlain(port));
        ASSERT_TRUE(clients[i].fd.Valid()) << "connection " << i;
        fcntl(clients[i].fd.Get(), F_SETFL, O_NONBLOCK);
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLOUT;
        ev.data.u64 = i;
        epoll_ctl(ep, EPOLL_CTL_ADD, clients[i].fd.Get(), &ev);
        // The listening backlog is short: keep the accept thread close behind.
        ASSERT_TRUE(WaitUntil([&] { return connects.load() + 4 > static_cast<int>(i); }));
    }
    std::mt19937 rng(7);
    std::vector<unsigned char> out(65536), in(65536);
    std::size_t finished = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (finished < kConnections && std::chrono::steady_clock::now() < deadline) {
        epoll_event events[256];
        int n = epoll_wait(ep, events, 256, 1000);
        for (int k = 0; k < n; ++k) {
            std::size_t i = events[k].data.u64;
            Client& c = clients[i];
            if ((events[k].events & EPOLLOUT) && c.sent < kBytesEach) {
                std::size_t piece = std::min<std::size_t>(kBytesEach - c.sent, 1 + rng() % out.size());
                for (std::size_t b = 0; b < piece; ++b) out[b] = Pattern(i, c.sent + b);
                ssize_t w = send(c.fd.Get(), out.data(), piece, MSG_NOSIGNAL);
                if (w > 0) c.sent += static_cast<std::size_t>(w);
                if (c.sent == kBytesEach) {
                    epoll_event ev{};
                    ev.events = EPOLLIN;
                    ev.data.u64 = i;
                    epoll_ctl(ep, EPOLL_CTL_MOD, c.fd.Get(), &ev);
                }
            }
            if (events[k].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
                ssize_t r = recv(c.fd.Get(), in.data(), in.size(), 0);
                if (r <= 0) {
                    if (r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) c.bad = true;
                } else {
                    for (ssize_t b = 0; b < r; ++b)
                        if (in[static_cast<std::size_t>(b)] !=
                            Pattern(i, c.received + static_cast<std::size_t>(b)))
                            c.bad = true;
                    c.received += static_cast<std::size_t>(r);
                }
                if (c.bad || c.received == kBytesEach) {
                    epoll_ctl(ep, EPOLL_CTL_DEL, c.fd.Get(), nullptr);
                    c.fd.Reset();
                    ++finished;
                }
            }
        }
    }
    epoll.Reset();
    std::size_t bad = 0, complete = 0;
    for (auto& c : clients) {
        if (c.bad) ++bad;
        if (c.received == kBytesEach && !c.bad) ++complete;
        c.fd.Reset();
    }
    EXPECT_EQ(bad, 0u);
    EXPECT_EQ(complete, kConnections);
    EXPECT_TRUE(WaitUntil([&] { return disconnects.load() == static_cast<int>(kConnections); }));
    EXPECT_EQ(connects.load(), static_cast<int>(kConnections));
    EXPECT_EQ(server->StopServer(), TW_SUCCEED);
    server = nullptr;
    EXPECT_EQ(TwSocketManager::GetSockCount(), 0);
}

}  // namespace
