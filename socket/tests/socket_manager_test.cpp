// The callback contract of the session manager over real loopback connections: consumed-bytes
// rule, back-pressure, disconnect reporting, refusal, queued disconnect and clean shutdown.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "prendle/socket_manager.h"
#include "test_support.h"

using namespace prendle_test;

namespace {

struct Pair {
    int client = -1;
    int server = -1;
};

Pair MakePair() {
    PlainListener listener;
    Pair pair;
    pair.client = ConnectPlain(listener.port);
    pair.server = listener.Accept();
    return pair;
}

class ManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        manager = new TwSocketManager;
        ASSERT_EQ(manager->Initialize(&Handler::Trampoline, &handler, 0, 0), TW_SUCCEED);
    }
    void TearDown() override {
        manager = nullptr;
        clients.clear();
        EXPECT_TRUE(WaitUntil([] { return TwSocketManager::GetSockCount() == 0; }));
    }
    // Attaches the server end of a fresh pair; returns the session.
    SharedObjectPtr<SharedObject> Attach(int* clientFd) {
        Pair pair = MakePair();
        clients.emplace_back(pair.client);
        *clientFd = pair.client;
        return manager->AttachSocket(pair.server, 0, 0, nullptr);
    }

    Handler handler;
    SharedObjectPtr<TwSocketManager> manager;
    std::vector<platform::UniqueFd> clients;  // our ends, closed at the end of each test
    std::mutex lock;
    std::string received;
    std::atomic<int> disconnects{0};
    std::atomic<int> connects{0};
};

TEST_F(ManagerTest, InitializeTwiceChangesNothing) {
    EXPECT_EQ(manager->Initialize(nullptr, nullptr, 0, 0), TW_SUCCEED);
}

TEST_F(ManagerTest, EchoesAndReportsOneDisconnectOnGracefulClose) {
    handler.fn = [&](TwSocketManager* m, _TwMessage* msg) -> unsigned long {
        if (msg->code == TW_MSG_CONNECT) ++connects;
        if (msg->code == TW_MSG_RECEIVE) {
            auto* rec = Record(msg);
            m->SendMsg(msg->session, rec->data, static_cast<int>(rec->length), false);
            rec->consumed = rec->length;
        }
        if (msg->code == TW_MSG_DISCONNECT) ++disconnects;
        return TW_SUCCEED;
    };
    int client;
    auto session = Attach(&client);
    ASSERT_TRUE(session);
    EXPECT_EQ(connects.load(), 1);
    EXPECT_EQ(manager->SessionCount(), 1u);
    ASSERT_TRUE(SendAll(client, "hello", 5));
    char reply[5];
    ASSERT_TRUE(RecvAll(client, reply, 5));
    EXPECT_EQ(std::string(reply, 5), "hello");
    shutdown(client, SHUT_WR);
    EXPECT_TRUE(WaitUntil([&] { return disconnects.load() == 1; }));
    EXPECT_TRUE(WaitUntil([&] { return manager->SessionCount() == 0; }));
    EXPECT_EQ(disconnects.load(), 1);
    EXPECT_FALSE(static_cast<TwSocket*>(session.get())->IsSockValid());
}

TEST_F(ManagerTest, UnconsumedBytesStayForTheNextCall) {
    // Frames of a 2-byte length and a body; the callback takes whole frames only.
    std::vector<std::string> frames;
    handler.fn = [&](TwSocketManager*, _TwMessage* msg) -> unsigned long {
        if (msg->code == TW_MSG_RECEIVE) {
            auto* rec = Record(msg);
            std::uint32_t at = 0;
            while (rec->length - at >= 2) {
                std::uint32_t size = static_cast<unsigned char>(rec->data[at]) * 256u +
                                     static_cast<unsigned char>(rec->data[at + 1]);
                if (rec->length - at - 2 < size) break;
                std::lock_guard<std::mutex> guard(lock);
                frames.emplace_back(rec->data + at + 2, size);
                at += 2 + size;
            }
            rec->consumed = at;
        }
        if (msg->code == TW_MSG_DISCONNECT) ++disconnects;
        return TW_SUCCEED;
    };
    int client;
    ASSERT_TRUE(Attach(&client));
    std::string wire;
    std::vector<std::string> sent;
    for (int i = 0; i < 300; ++i) {
        std::string body(static_cast<std::size_t>((i * 7919) % 3000), static_cast<char>('a' + i % 26));
        sent.push_back(body);
        wire.push_back(static_cast<char>(body.size() >> 8));
        wire.push_back(static_cast<char>(body.size() & 0xFF));
        wire += body;
    }
    // Cut at awkward places so frames and length fields straddle the reads.
    std::size_t at = 0;
    for (std::size_t cut = 1; at < wire.size(); cut = cut * 3 % 997 + 1) {
        std::size_t n = std::min(cut, wire.size() - at);
        ASSERT_TRUE(SendAll(client, wire.data() + at, n));
        at += n;
    }
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard<std::mutex> guard(lock);
        return frames.size() == sent.size();
    }));
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(frames, sent);
}

TEST_F(ManagerTest, FullBufferStopsReadingInsteadOfDroppingData) {
    // A consumer that takes 50,000-byte blocks only, and is slow at first: the bytes it leaves plus
    // what keeps arriving exceed the buffer unless reading stops.
    constexpr std::size_t kTotal = 2'000'000;
    constexpr std::uint32_t kBlock = 50000;
    std::atomic<bool> first{true};
    std::atomic<std::size_t> taken{0};
    std::atomic<std::uint32_t> maxLength{0};
    std::atomic<bool> corrupt{false};
    handler.fn = [&](TwSocketManager*, _TwMessage* msg) -> unsigned long {
        if (msg->code != TW_MSG_RECEIVE) return TW_SUCCEED;
        // A slow consumer: its first call takes a while, during which the peer keeps sending.
        if (first.exchange(false)) std::this_thread::sleep_for(std::chrono::milliseconds(300));
        auto* rec = Record(msg);
        if (rec->length > maxLength.load()) maxLength.store(rec->length);
        std::uint32_t blocks = rec->length / kBlock * kBlock;
        std::size_t remaining = kTotal - taken.load();
        if (remaining < kBlock && rec->length >= remaining) blocks = static_cast<std::uint32_t>(remaining);
        for (std::uint32_t i = 0; i < blocks; ++i) {
            if (static_cast<unsigned char>(rec->data[i]) != ((taken.load() + i) * 31 + 7) % 251)
                corrupt = true;
        }
        taken += blocks;
        rec->consumed = blocks;
        return TW_SUCCEED;
    };
    int client;
    ASSERT_TRUE(Attach(&client));
    std::vector<char> data(kTotal);
    for (std::size_t i = 0; i < kTotal; ++i) data[i] = static_cast<char>((i * 31 + 7) % 251);
    std::thread writer([&] { SendAll(client, data.data(), data.size()); });
    writer.join();
    EXPECT_TRUE(WaitUntil([&] { return taken.load() == kTotal; }, std::chrono::seconds(20)));
    EXPECT_FALSE(corrupt.load());
    EXPECT_LT(maxLength.load(), 66560u);
}

TEST_F(ManagerTest, ConsumerThatNeverTakesAnythingEndsTheSessionWithoutCorruption) {
    std::atomic<std::uint32_t> maxLength{0};
    std::atomic<bool> prefixOk{true};
    handler.fn = [&](TwSocketManager*, _TwMessage* msg) -> unsigned long {
        if (msg->code == TW_MSG_RECEIVE) {
            auto* rec = Record(msg);
            if (rec->length > maxLength.load()) maxLength.store(rec->length);
            for (std::uint32_t i = 0; i < rec->length; ++i)
                if (static_cast<unsigned char>(rec->data[i]) != i % 253) prefixOk = false;
        }
        if (msg->code == TW_MSG_DISCONNECT) ++disconnects;
        return TW_SUCCEED;
    };
    int client;
    ASSERT_TRUE(Attach(&client));
    std::vector<char> data(400000);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i % 253);
    std::thread writer([&] { SendAll(client, data.data(), data.size()); });
    EXPECT_TRUE(WaitUntil([&] { return disconnects.load() == 1; }));
    shutdown(client, SHUT_RDWR);
    writer.join();
    EXPECT_EQ(maxLength.load(), 66559u);
    EXPECT_TRUE(prefixOk.load());
}

TEST_F(ManagerTest, PeerResetGivesOneDisconnect) {
    handler.fn = [&](TwSocketManager*, _TwMessage* msg) -> unsigned long {
        if (msg->code == TW_MSG_RECEIVE) {
            std::lock_guard<std::mutex> guard(lock);
            received.append(Record(msg)->data, Record(msg)->length);
            Record(msg)->consumed = Record(msg)->length;
        }
        if (msg->code == TW_MSG_DISCONNECT) ++disconnects;
        return TW_SUCCEED;
    };
    int client;
    ASSERT_TRUE(Attach(&client));
    ASSERT_TRUE(SendAll(client, "abc", 3));
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard<std::mutex> guard(lock);
        return received == "abc";
    }));
    linger lg{1, 0};
    setsockopt(client, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
    clients.clear();  // the only client: the reset above reaches the session
    EXPECT_TRUE(WaitUntil([&] { return disconnects.load() == 1 && manager->SessionCount() == 0; }));
    EXPECT_EQ(disconnects.load(), 1);
}

TEST_F(ManagerTest, HalfCloseDeliversEverythingThenDisconnects) {
    std::atomic<bool> dataBeforeEnd{false};
    handler.fn = [&](TwSocketManager* m, _TwMessage* msg) -> unsigned long {
        if (msg->code == TW_MSG_RECEIVE) {
            std::lock_guard<std::mutex> guard(lock);
            received.append(Record(msg)->data, Record(msg)->length);
            m->SendMsg(msg->session, Record(msg)->data, static_cast<int>(Record(msg)->length), false);
            Record(msg)->consumed = Record(msg)->length;
        }
        if (msg->code == TW_MSG_DISCONNECT) {
            std::lock_guard<std::mutex> guard(lock);
            dataBeforeEnd = received.size() == 100000;
            ++disconnects;
        }
        return TW_SUCCEED;
    };
    int client;
    ASSERT_TRUE(Attach(&client));
    std::string payload(100000, 'x');
    ASSERT_TRUE(SendAll(client, payload.data(), payload.size()));
    shutdown(client, SHUT_WR);
    std::string echoed = RecvUntilClose(client);
    EXPECT_EQ(echoed.size(), payload.size());
    EXPECT_TRUE(WaitUntil([&] { return disconnects.load() == 1; }));
    EXPECT_TRUE(dataBeforeEnd.load());
}

TEST_F(ManagerTest, CallbackChangingTheAcceptFlagRefusesTheSession) {
    handler.fn = [&](TwSocketManager*, _TwMessage* msg) -> unsigned long {
        if (msg->code == TW_MSG_CONNECT) msg->param = 0;
        if (msg->code == TW_MSG_DISCONNECT) ++disconnects;
        return TW_SUCCEED;
    };
    int client;
    auto session = Attach(&client);
    ASSERT_TRUE(session);
    EXPECT_EQ(disconnects.load(), 1);
    EXPECT_EQ(manager->SessionCount(), 0u);
    int engine = 0;
    manager->GetError(&engine, nullptr);
    EXPECT_EQ(engine, TW_ERR_REFUSED);
    EXPECT_EQ(RecvUntilClose(client), "");
}

TEST_F(ManagerTest, QueuedDisconnectGoesAfterTheDataBeforeIt) {
    handler.fn = [&](TwSocketManager*, _TwMessage* msg) -> unsigned long {
        if (msg->code == TW_MSG_DISCONNECT) ++disconnects;
        return TW_SUCCEED;
    };
    int client;
    auto session = Attach(&client);
    std::string big(300000, 'q');
    EXPECT_EQ(manager->SendMsg(session, big.data(), static_cast<int>(big.size()), false), 1);
    EXPECT_EQ(manager->SendMsg(session, nullptr, 0, true), 1);
    std::string got = RecvUntilClose(client);
    EXPECT_EQ(got.size(), big.size());
    EXPECT_TRUE(WaitUntil([&] { return disconnects.load() == 1; }));
}

TEST_F(ManagerTest, DisconnectGracefulAndAbortiveBothEndTheSessionOnce) {
    handler.fn = [&](TwSocketManager*, _TwMessage* msg) -> unsigned long {
        if (msg->code == TW_MSG_DISCONNECT) ++disconnects;
        return TW_SUCCEED;
    };
    int a, b;
    auto first = Attach(&a);
    auto second = Attach(&b);
    EXPECT_EQ(manager->Disconnect(first, true), 1);
    EXPECT_EQ(manager->Disconnect(second, false), 1);
    EXPECT_EQ(RecvUntilClose(a), "");
    EXPECT_TRUE(WaitUntil([&] { return disconnects.load() == 2 && manager->SessionCount() == 0; }));
    EXPECT_EQ(manager->Disconnect(first, true), 0);  // no longer valid
    EXPECT_EQ(manager->SendMsg(first, "x", 1, false), 0);
}

TEST_F(ManagerTest, AttachReportsGivenAddressAndSessionContext) {
    handler.fn = [](TwSocketManager*, _TwMessage*) -> unsigned long { return TW_SUCCEED; };
    Pair pair = MakePair();
    clients.emplace_back(pair.client);
    SharedObjectPtr<SharedObject> ctx(new SharedObject("ctx"));
    auto session = manager->AttachSocket(pair.server, htonl(0x0A000001), 4242, ctx);
    ASSERT_TRUE(session);
    char text[32];
    short port = 0;
    manager->GetPeerAddr(session, text, sizeof(text), &port);
    EXPECT_STREQ(text, "10.0.0.1");
    EXPECT_EQ(port, 4242);
    EXPECT_EQ(manager->GetSessionCtx(session).get(), ctx.get());
    manager->GetLocalAddr(session, text, sizeof(text), &port);
    EXPECT_STREQ(text, "127.0.0.1");
    EXPECT_EQ(manager->AttachSocket(-1, 0, 0, nullptr).get(), nullptr);
}

TEST_F(ManagerTest, DestroyingTheManagerClosesOpenSessionsCleanly) {
    handler.fn = [&](TwSocketManager*, _TwMessage* msg) -> unsigned long {
        if (msg->code == TW_MSG_DISCONNECT) ++disconnects;
        if (msg->code == TW_MSG_RECEIVE) Record(msg)->consumed = Record(msg)->length;
        return TW_SUCCEED;
    };
    std::vector<int> fds(50);
    for (int& fd : fds) ASSERT_TRUE(Attach(&fd));
    for (int fd : fds) SendAll(fd, "data", 4);
    EXPECT_EQ(manager->SessionCount(), 50u);
    manager = nullptr;  // closes and drains every session
    EXPECT_EQ(disconnects.load(), 50);
    EXPECT_EQ(TwSocketManager::GetSockCount(), 0);
    for (int fd : fds) EXPECT_EQ(RecvUntilClose(fd).size(), 0u);
}

}  // namespace
