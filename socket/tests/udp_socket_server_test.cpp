// UDP pseudo-sessions: the connect/reply handshake, datagrams both ways, time-out, refusal.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "prendle/udp_socket_server.h"
#include "test_support.h"

using namespace prendle_test;

namespace {

struct UdpHandler {
    std::mutex lock;
    std::vector<std::uint32_t> codes;
    std::vector<std::string> data;
    std::atomic<unsigned long> connectResult{1};
    static unsigned long Trampoline(TwUDPSocketServer*, _TwMessage* msg) {
        auto* self = static_cast<UdpHandler*>(msg->userContext);
        std::lock_guard<std::mutex> guard(self->lock);
        self->codes.push_back(msg->code);
        if (msg->code == TW_MSG_RECEIVE) {
            auto* rec = reinterpret_cast<_TwUdpRecord*>(msg->param);
            self->data.emplace_back(rec->data, rec->length);
        }
        return msg->code == TW_MSG_CONNECT ? self->connectResult.load() : 1;
    }
    std::size_t Count(std::uint32_t code) {
        std::lock_guard<std::mutex> guard(lock);
        std::size_t n = 0;
        for (auto c : codes) n += c == code;
        return n;
    }
    std::vector<std::string> Data() {
        std::lock_guard<std::mutex> guard(lock);
        return data;
    }
};

unsigned short PortOf(TwUDPSocketServer& server) {
    sockaddr_in a{};
    server.GetLocalAddr(a);
    return ntohs(a.sin_port);
}

// A bare datagram socket playing a peer by hand.
struct RawPeer {
    platform::UniqueFd fd{socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    unsigned short port;
    RawPeer() {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof(a));
        socklen_t len = sizeof(a);
        getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        timeval tv{0, 300000};
        setsockopt(fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    }
    void SendTo(unsigned short to, const std::string& text) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(to);
        sendto(fd.Get(), text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    }
    std::string Receive() {
        char buf[256];
        ssize_t n = recv(fd.Get(), buf, sizeof(buf), 0);
        return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
    }
};

class UdpTest : public ::testing::Test {
protected:
    void SetUp() override {
        a = new TwUDPSocketServer;
        b = new TwUDPSocketServer;
        a->SetProcessCallBack(&UdpHandler::Trampoline, &ha);
        b->SetProcessCallBack(&UdpHandler::Trampoline, &hb);
        ASSERT_EQ(a->StartServer(Loopback(), 0), 1);
        ASSERT_EQ(b->StartServer(Loopback(), 0), 1);
    }
    UdpHandler ha, hb;
    SharedObjectPtr<TwUDPSocketServer> a, b;
};

TEST_F(UdpTest, HandshakeThenDatagramsBothWays) {
    auto session = a->ConnectMs(Loopback(), PortOf(*b), nullptr, 2000);
    ASSERT_TRUE(session);
    EXPECT_EQ(a->IsSessionConnected(session), 1);
    EXPECT_EQ(ha.Count(TW_MSG_CONNECT), 1u);
    EXPECT_TRUE(WaitUntil([&] { return hb.Count(TW_MSG_CONNECT) == 1 && b->SessionCount() == 1; }));
    EXPECT_EQ(a->SendMessage(session, "to-b", 4), 1);
    EXPECT_TRUE(WaitUntil([&] { return hb.Data() == std::vector<std::string>{"to-b"}; }));
    // The second connect to the same peer is the same session, without a handshake.
    auto again = a->ConnectMs(Loopback(), PortOf(*b), nullptr, 2000);
    EXPECT_EQ(again.get(), session.get());
    EXPECT_EQ(hb.Count(TW_MSG_CONNECT), 1u);
    _UDPAddr key{};
    a->GetUDPAddr(session, &key);
    EXPECT_EQ(ntohs(key.port), PortOf(*b));
    a->UdpDisconnect(session);
    a->UdpDisconnect(session);
    EXPECT_EQ(ha.Count(TW_MSG_DISCONNECT), 1u);
    EXPECT_EQ(a->SessionCount(), 0u);
    EXPECT_EQ(a->StopServer(), 1);
    EXPECT_EQ(ha.Count(TW_MSG_SERVER_STOP), 1u);
}

TEST_F(UdpTest, SilentPeerTimesOutAndLeavesNoSession) {
    RawPeer silent;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(a->ConnectMs(Loopback(), silent.port, nullptr, 200));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(a->SessionCount(), 0u);
    EXPECT_EQ(std::string(silent.Receive().c_str()), TW_UDP_CONNECT_LITERAL);
    EXPECT_FALSE(a->Connect(Loopback(), silent.port, nullptr, 0));  // a wait of 0 ends at once
}

TEST_F(UdpTest, ReplyWithTrailingBytesIsAccepted) {
    RawPeer peer;
    std::thread answer([&] {
        std::string request = peer.Receive();
        if (request.rfind(TW_UDP_CONNECT_LITERAL, 0) == 0)
            peer.SendTo(PortOf(*a), "Talverwind UDP Reply and more");
    });
    auto session = a->ConnectMs(Loopback(), peer.port, nullptr, 2000);
    answer.join();
    EXPECT_TRUE(session);
}

TEST_F(UdpTest, WrongAnswerWakesTheWaitButDoesNotConnect) {
    RawPeer peer;
    std::thread answer([&] {
        peer.Receive();
        peer.SendTo(PortOf(*a), "Talverwind UDP Reply");  // 20 characters without the NUL: still a reply
    });
    EXPECT_TRUE(a->ConnectMs(Loopback(), peer.port, nullptr, 2000));
    answer.join();
    RawPeer other;
    std::thread wrong([&] {
        other.Receive();
        other.SendTo(PortOf(*a), "Talverwind UDP Rep");
    });
    auto start = std::chrono::steady_clock::now();
    // Ended by the wrong answer, long before the connect's own time-out.
    EXPECT_FALSE(a->ConnectMs(Loopback(), other.port, nullptr, 30000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    wrong.join();
}

TEST_F(UdpTest, CutConnectRequestIsIgnored) {
    RawPeer peer;
    peer.SendTo(PortOf(*b), std::string("Talverwind UDP Connec", 21));
    EXPECT_EQ(peer.Receive(), "");
    EXPECT_EQ(hb.Count(TW_MSG_CONNECT), 0u);
    peer.SendTo(PortOf(*b), std::string(TW_UDP_CONNECT_LITERAL) + std::string(1, '\0'));
    EXPECT_EQ(std::string(peer.Receive().c_str()), TW_UDP_REPLY_LITERAL);
    EXPECT_TRUE(WaitUntil([&] { return b->SessionCount() == 1; }));
}

TEST_F(UdpTest, RefusedPeerIsRepliedToButNotListed) {
    hb.connectResult = 0;
    RawPeer peer;
    peer.SendTo(PortOf(*b), std::string(TW_UDP_CONNECT_LITERAL) + std::string(1, '\0'));
    EXPECT_EQ(std::string(peer.Receive().c_str()), TW_UDP_REPLY_LITERAL);
    EXPECT_TRUE(WaitUntil([&] { return hb.Count(TW_MSG_CONNECT) == 1; }));
    peer.SendTo(PortOf(*b), "data");
    hb.connectResult = 1;
    peer.SendTo(PortOf(*b), std::string(TW_UDP_CONNECT_LITERAL) + std::string(1, '\0'));
    EXPECT_EQ(std::string(peer.Receive().c_str()), TW_UDP_REPLY_LITERAL);
    EXPECT_TRUE(WaitUntil([&] { return b->SessionCount() == 1; }));
    EXPECT_TRUE(hb.Data().empty());  // the datagram of the refused session was dropped
}

TEST(UdpServer, BindFailureIsReported) {
    RawPeer taken;
    SharedObjectPtr<TwUDPSocketServer> server(new TwUDPSocketServer);
    // SO_REUSEADDR does not let two UDP sockets share a port unless both ask for it.
    int on = 0;
    setsockopt(taken.fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    EXPECT_EQ(server->StartServer(Loopback(), taken.port), 0);
}

}  // namespace
