// The listening server: port selection, start/stop messages, the age limit and broadcast.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "prendle/socket_server.h"
#include "test_support.h"

using namespace prendle_test;

namespace {

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        handler.fn = [this](TwSocketManager*, _TwMessage* msg) -> unsigned long {
            std::lock_guard<std::mutex> guard(lock);
            codes.push_back(msg->code);
            if (msg->code == TW_MSG_CONNECT) sessions.push_back(msg->session);
            if (msg->code == TW_MSG_RECEIVE) {
                received.append(Record(msg)->data, Record(msg)->length);
                Record(msg)->consumed = Record(msg)->length;
            }
            if (msg->code == TW_MSG_DISCONNECT) ++disconnects;
            return stopResult;
        };
        server = TwSocketServer::CreatePrendle();
    }
    void TearDown() override {
        {
            std::lock_guard<std::mutex> guard(lock);
            sessions.clear();
        }
        server = nullptr;
        TwSocketServer::SetAgeClockForTest(nullptr);
        EXPECT_TRUE(WaitUntil([] { return TwSocketManager::GetSockCount() == 0; }));
    }
    std::size_t Count(std::uint32_t code) {
        std::lock_guard<std::mutex> guard(lock);
        std::size_t n = 0;
        for (auto c : codes) n += c == code;
        return n;
    }

    Handler handler;
    SharedObjectPtr<TwSocketServer> server;
    std::mutex lock;
    std::vector<std::uint32_t> codes;
    std::vector<SharedObjectPtr<SharedObject>> sessions;
    std::string received;
    std::atomic<int> disconnects{0};
    std::atomic<unsigned long> stopResult{TW_SUCCEED};
};

TEST_F(ServerTest, AutomaticPortSkipsATakenOneAndIsWrittenBack) {
    // Hold the first port of the range if nobody else does.
    platform::UniqueFd holder(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(TwSocketServer::kFirstAutoPort);
    bool held =
        bind(holder.Get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 && listen(holder.Get(), 1) == 0;
    ASSERT_EQ(server->Initialize(&Handler::Trampoline, &handler, 0, 0), TW_SUCCEED);
    unsigned short port = 0;
    ASSERT_EQ(server->StartServer(Loopback(), &port), TW_SUCCEED);
    EXPECT_TRUE(server->IsServerStarted());
    EXPECT_GE(port, TwSocketServer::kFirstAutoPort);
    EXPECT_LT(port, TwSocketServer::kEndAutoPort);
    if (held) {
        EXPECT_NE(port, TwSocketServer::kFirstAutoPort);
    }
    EXPECT_EQ(Count(TW_MSG_SERVER_START), 1u);
    platform::UniqueFd client(ConnectPlain(port));
    ASSERT_TRUE(client.Valid());
    SendAll(client.Get(), "ping", 4);
    EXPECT_TRUE(WaitUntil([&] {
        std::lock_guard<std::mutex> guard(lock);
        return received == "ping";
    }));
    client.Reset();
    holder.Reset();
    EXPECT_EQ(server->StopServer(), TW_SUCCEED);
    EXPECT_EQ(server->StopServer(), TW_SUCCEED);  // second stop: nothing to do
    EXPECT_EQ(Count(TW_MSG_SERVER_STOP), 1u);
    EXPECT_FALSE(server->IsServerStarted());
}

TEST_F(ServerTest, FixedPortThatIsTakenFails) {
    PlainListener taken;
    ASSERT_EQ(server->Initialize(&Handler::Trampoline, &handler, 0, 0), TW_SUCCEED);
    unsigned short port = taken.port;
    EXPECT_EQ(server->StartServer(Loopback(), &port), 0u);
    EXPECT_FALSE(server->IsServerStarted());
    EXPECT_EQ(Count(TW_MSG_SERVER_START), 0u);
}

TEST_F(ServerTest, StopWithOpenConnectionsResetsThemAndReportsEach) {
    ASSERT_EQ(server->Initialize(&Handler::Trampoline, &handler, 0, 0), TW_SUCCEED);
    unsigned short port = 0;
    ASSERT_EQ(server->StartServer(Loopback(), &port), TW_SUCCEED);
    std::vector<platform::UniqueFd> clients;
    for (std::size_t i = 0; i < 20; ++i) {
        clients.emplace_back(ConnectPlain(port));
        ASSERT_TRUE(WaitUntil([&] { return server->SessionCount() == i + 1; }));
    }
    stopResult = 0;  // the stop callback disagrees: StopServer says so, the server stops anyway
    EXPECT_EQ(server->StopServer(), 0u);
    EXPECT_EQ(disconnects.load(), 20);
    EXPECT_FALSE(server->IsServerStarted());
    for (auto& fd : clients) {
        EXPECT_EQ(RecvUntilClose(fd.Get()), "");
        fd.Reset();
    }
}

TEST_F(ServerTest, AgeLimitResetsOldConnectionsUnlessExempted) {
    std::atomic<std::int64_t> now{1000};
    TwSocketServer::SetAgeClockForTest([&] { return now.load(); });
    server->SetChkDeadSockPeriod(1, 60);
    ASSERT_EQ(server->Initialize(&Handler::Trampoline, &handler, 0, 0), TW_SUCCEED);
    unsigned short port = 0;
    ASSERT_EQ(server->StartServer(Loopback(), &port), TW_SUCCEED);
    platform::UniqueFd exempt(ConnectPlain(port));
    ASSERT_TRUE(WaitUntil([&] { return server->SessionCount() == 1; }));
    {
        std::lock_guard<std::mutex> guard(lock);
        server->TurnoffSockAliveCheck(sessions[0]);
    }
    platform::UniqueFd aged(ConnectPlain(port));
    ASSERT_TRUE(WaitUntil([&] { return server->SessionCount() == 2; }));
    now = 1060;  // exactly the limit: still allowed
    EXPECT_FALSE(WaitUntil([&] { return disconnects.load() > 0; }, std::chrono::milliseconds(1500)));
    now = 1061;
    EXPECT_TRUE(WaitUntil([&] { return disconnects.load() == 1; }, std::chrono::seconds(5)));
    EXPECT_EQ(RecvUntilClose(aged.Get()), "");
    // The session leaves the table after its disconnect callback has returned.
    EXPECT_TRUE(WaitUntil([&] { return server->SessionCount() == 1u; }));
    aged.Reset();
    exempt.Reset();
}

TEST_F(ServerTest, BroadcastSkipsTheExcludedSession) {
    ASSERT_EQ(server->Initialize(&Handler::Trampoline, &handler, 0, 0), TW_SUCCEED);
    unsigned short port = 0;
    ASSERT_EQ(server->StartServer(Loopback(), &port), TW_SUCCEED);
    platform::UniqueFd a(ConnectPlain(port));
    ASSERT_TRUE(WaitUntil([&] { return server->SessionCount() == 1; }));
    platform::UniqueFd b(ConnectPlain(port));
    ASSERT_TRUE(WaitUntil([&] { return server->SessionCount() == 2; }));
    SharedObject* first;
    {
        std::lock_guard<std::mutex> guard(lock);
        first = sessions[0].get();
    }
    EXPECT_EQ(server->BroadcastMsg(first, "hi", 2), 1);
    char buf[2];
    ASSERT_TRUE(RecvAll(b.Get(), buf, 2));
    EXPECT_EQ(std::string(buf, 2), "hi");
    timeval tv{0, 200000};
    setsockopt(a.Get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    EXPECT_LT(recv(a.Get(), buf, 2, 0), 0);  // nothing for the excluded one
    a.Reset();
    b.Reset();
}

}  // namespace
