// The client: direct connect, time-out and cancel, and the proxy road against tinyproxy and a
// scripted proxy. Every failure must be bounded in time and keep the password out of every text.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "platform/event.h"
#include "prendle/socket_client.h"
#include "test_proxy.h"
#include "test_support.h"

using namespace prendle_test;
using Mode = ScriptedProxy::Mode;

namespace {

std::mutex g_textLock;
std::vector<std::string> g_texts;

void CaptureMessage(const char* caption, const char* text) {
    std::lock_guard<std::mutex> guard(g_textLock);
    EXPECT_STREQ(caption, TwSocketClient::kMessageCaption);
    g_texts.emplace_back(text);
}

constexpr const char* kPassword = "Pa55-w0rd-that-must-stay-secret";

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        {
            std::lock_guard<std::mutex> guard(g_textLock);
            g_texts.clear();
        }
        TwSocketClient::SetMessageBoxHandler(&CaptureMessage);
        handler.fn = [this](TwSocketManager* m, _TwMessage* msg) -> unsigned long {
            if (msg->code == TW_MSG_RECEIVE) {
                std::lock_guard<std::mutex> guard(lock);
                received.append(Record(msg)->data, Record(msg)->length);
                Record(msg)->consumed = Record(msg)->length;
                (void)m;
            }
            if (msg->code == TW_MSG_DISCONNECT) ++disconnects;
            if (msg->code == TW_MSG_CONNECT) ++connects;
            return TW_SUCCEED;
        };
        client = TwSocketClient::CreateSockClient();
        ASSERT_EQ(client->Initialize(&Handler::Trampoline, &handler, 0, 0), TW_SUCCEED);
        TwSocketClient::Timeouts t;
        t.connectMs = 2000;
        t.proxyAnswerMs = 500;
        client->SetTimeouts(t);
    }
    void TearDown() override {
        client = nullptr;
        TwSocketClient::SetMessageBoxHandler(nullptr);
        EXPECT_TRUE(WaitUntil([] { return TwSocketManager::GetSockCount() == 0; }));
        std::lock_guard<std::mutex> guard(g_textLock);
        for (auto& text : g_texts) EXPECT_EQ(text.find(kPassword), std::string::npos) << text;
    }
    int Error() {
        int code = 0;
        client->GetError(&code, nullptr);
        return code;
    }
    std::string Texts() {
        std::lock_guard<std::mutex> guard(g_textLock);
        std::string all;
        for (auto& t : g_texts) all += t + "\n";
        return all;
    }
    std::string Received() {
        std::lock_guard<std::mutex> guard(lock);
        return received;
    }

    Handler handler;
    SharedObjectPtr<TwSocketClient> client;
    std::mutex lock;
    std::string received;
    std::atomic<int> disconnects{0};
    std::atomic<int> connects{0};
};

TEST_F(ClientTest, DirectConnectBecomesAnEngineSession) {
    PlainListener listener;
    client->UseHttpProxy(Loopback(), 0, nullptr, nullptr);  // port 0: no proxy
    auto session = client->Connect(Loopback(), listener.port, nullptr);
    ASSERT_TRUE(session);
    EXPECT_EQ(connects.load(), 1);
    platform::UniqueFd peer(listener.Accept());
    ASSERT_EQ(client->SendMsg(session, "abc", 3, false), 1);
    char buf[3];
    ASSERT_TRUE(RecvAll(peer.Get(), buf, 3));
    SendAll(peer.Get(), "xyz", 3);
    EXPECT_TRUE(WaitUntil([&] { return Received() == "xyz"; }));
    peer.Reset();
    EXPECT_TRUE(WaitUntil([&] { return disconnects.load() == 1; }));
}

TEST_F(ClientTest, WithoutCallbackNothingIsCreated) {
    auto bare = TwSocketClient::CreateSockClient();
    EXPECT_FALSE(bare->Create());
    int code = 0;
    bare->GetError(&code, nullptr);
    EXPECT_EQ(code, TW_ERR_CREATE);
}

// A listener whose backlog is full: SYNs are dropped, the connect hangs.
struct FullListener {
    PlainListener listener{0};
    std::vector<platform::UniqueFd> fillers;
    FullListener() {
        for (int i = 0; i < 3; ++i) {
            const int fd = fillers.emplace_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0)).Get();
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(listener.port);
            connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        }
    }
};

TEST_F(ClientTest, ConnectToAListenerThatNeverAcceptsTimesOut) {
    FullListener full;
    TwSocketClient::Timeouts t;
    t.connectMs = 300;
    client->SetTimeouts(t);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client->Connect(Loopback(), full.listener.port, nullptr));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(Error(), TW_ERR_CONNECT);
}

TEST_F(ClientTest, CancelEventEndsAPendingConnect) {
    FullListener full;
    TwSocketClient::Timeouts t;
    t.connectMs = 60000;
    client->SetTimeouts(t);
    platform::Event cancel(true, false);
    client->SetCancelEvent(&cancel);
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        cancel.Set();
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client->Connect(Loopback(), full.listener.port, nullptr));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    canceller.join();
    EXPECT_EQ(Error(), TW_ERR_CONNECT);
}

TEST_F(ClientTest, ProxyThatCannotBeReachedIsReported) {
    unsigned short deadPort;
    {
        PlainListener probe;
        deadPort = probe.port;
    }
    client->UseHttpProxy(Loopback(), deadPort, "alice", kPassword);
    EXPECT_FALSE(client->Connect(Loopback(), 443, nullptr));
    EXPECT_EQ(Error(), TW_ERR_CONNECT);
    EXPECT_NE(Texts().find("不能建立与代理服务器127.0.0.1:"), std::string::npos);
}

TEST_F(ClientTest, ScriptedProxyTunnelKeepsBytesAfterTheBlankLine) {
    ScriptedProxy proxy(Mode::kTunnelEcho);
    std::string user(100, 'u');  // long credentials: the Base64 spans several 76-character lines
    client->UseHttpProxy(Loopback(), proxy.Port(), user.c_str(), kPassword);
    auto session = client->Connect(htonl(0x0A000001), 4433, nullptr);
    ASSERT_TRUE(session);
    std::string request = proxy.Request();
    EXPECT_EQ(request.rfind("CONNECT 10.0.0.1:4433 HTTP/1.0\r\n", 0), 0u);
    auto auth = request.find("Proxy-Authorization: Basic ");
    ASSERT_NE(auth, std::string::npos);
    auto lineEnd = request.find("\r\n", auth);
    EXPECT_EQ(request.substr(lineEnd), "\r\n\r\n");
    EXPECT_EQ(request.find(kPassword), std::string::npos);  // only its Base64 is on the wire
    ASSERT_EQ(client->SendMsg(session, "ping", 4, false), 1);
    EXPECT_TRUE(WaitUntil([&] { return Received() == "TUNNELping"; }));
}

TEST_F(ClientTest, ScriptedProxyAnswerInPiecesIsReadToTheEnd) {
    ScriptedProxy proxy(Mode::kSplitAnswer);
    client->UseHttpProxy(Loopback(), proxy.Port(), nullptr, nullptr);
    auto session = client->Connect(Loopback(), 80, nullptr);
    ASSERT_TRUE(session);
    ASSERT_EQ(client->SendMsg(session, "echo", 4, false), 1);
    EXPECT_TRUE(WaitUntil([&] { return Received() == "echo"; }));
    EXPECT_EQ(proxy.Request().find("Proxy-Authorization"), std::string::npos);
}

// However the proxy cuts its answer, down to a byte a packet or inside the status line, the
// client reads it to the blank line and the tunnel carries what follows.
TEST_F(ClientTest, TrickledProxyAnswerIsReadAcrossPackets) {
    for (Mode mode : {Mode::kByteAPacket, Mode::kSplitStatus}) {
        SCOPED_TRACE(mode == Mode::kByteAPacket ? "a byte a packet" : "status line cut");
        ScriptedProxy proxy(mode);
        TwSocketClient::Timeouts t;
        t.proxyAnswerMs = 20000;
        client->SetTimeouts(t);
        client->UseHttpProxy(Loopback(), proxy.Port(), nullptr, nullptr);
        auto session = client->Connect(Loopback(), 80, nullptr);
        ASSERT_TRUE(session) << Texts();
        ASSERT_EQ(client->SendMsg(session, "echo", 4, false), 1);
        EXPECT_TRUE(WaitUntil([&] { return Received() == "echo"; }));
        client->Disconnect(session, true);
        std::lock_guard<std::mutex> guard(lock);
        received.clear();
    }
}

TEST_F(ClientTest, AuthenticationRefusalNamesTheUserButNeverThePassword) {
    ScriptedProxy proxy(Mode::kAuthRequired);
    client->UseHttpProxy(Loopback(), proxy.Port(), "alice", kPassword);
    EXPECT_FALSE(client->Connect(Loopback(), 443, nullptr));
    EXPECT_EQ(Error(), TW_ERR_PROXY_REFUSED);
    std::string texts = Texts();
    EXPECT_NE(texts.find("认证用户 alice 不通过"), std::string::npos) << texts;
    EXPECT_NE(texts.find("HTTP/1.1 407"), std::string::npos);
}

struct FailureCase {
    Mode mode;
    int error;
};

class ProxyFailureTest : public ClientTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ProxyFailureTest, EndsWithTheRightErrorQuickly) {
    ScriptedProxy proxy(GetParam().mode);
    client->UseHttpProxy(Loopback(), proxy.Port(), "alice", kPassword);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client->Connect(Loopback(), 443, nullptr));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(Error(), GetParam().error);
    EXPECT_EQ(connects.load(), 0);
    EXPECT_FALSE(Texts().empty());
}

INSTANTIATE_TEST_SUITE_P(Answers, ProxyFailureTest,
                         ::testing::Values(FailureCase{Mode::kGarbage, TW_ERR_PROXY_REFUSED},
                                           FailureCase{Mode::kSilence, TW_ERR_PROXY_TIMEOUT},
                                           FailureCase{Mode::kEndless, TW_ERR_PROXY_RECEIVE},
                                           FailureCase{Mode::kTrickle, TW_ERR_PROXY_RECEIVE},
                                           FailureCase{Mode::kCloseEarly, TW_ERR_PROXY_RECEIVE}));

// A proxy that keeps trickling its answer holds the connect no longer than the cancel: the
// handshake's waits watch the cancel event as the connect's does, and no message is shown.
TEST_F(ClientTest, CancelEventEndsATricklingProxyAnswer) {
    ScriptedProxy proxy(Mode::kTrickle);
    TwSocketClient::Timeouts t;
    t.proxyAnswerMs = 600000;
    client->SetTimeouts(t);
    platform::Event cancel(true, false);
    client->SetCancelEvent(&cancel);
    client->UseHttpProxy(Loopback(), proxy.Port(), nullptr, nullptr);
    std::atomic<bool> intoTheAnswer{false};
    std::thread canceller([&] {
        // Well into the answer: the status line and some trickled bytes are out.
        intoTheAnswer = WaitUntil([&] { return proxy.BytesSent() > 20; });
        cancel.Set();
    });
    EXPECT_FALSE(client->Connect(Loopback(), 443, nullptr));
    canceller.join();
    EXPECT_TRUE(intoTheAnswer.load());
    EXPECT_EQ(Error(), TW_ERR_CONNECT);
    EXPECT_EQ(connects.load(), 0);
    EXPECT_TRUE(Texts().empty()) << Texts();
}

TEST_F(ClientTest, ProxyTimeOutTextNamesTheConfiguredWait) {
    ScriptedProxy proxy(Mode::kSilence);
    client->UseHttpProxy(Loopback(), proxy.Port(), "alice", kPassword);
    EXPECT_FALSE(client->Connect(Loopback(), 443, nullptr));
    EXPECT_EQ(Error(), TW_ERR_PROXY_TIMEOUT);
    std::string texts = Texts();
    EXPECT_NE(texts.find("在0.5秒内没有发送应答"), std::string::npos) << texts;
    EXPECT_EQ(texts.find("30秒"), std::string::npos) << texts;
}

class TinyProxyTest : public ClientTest {
protected:
    void SetUp() override {
        ClientTest::SetUp();
        char pattern[] = "/tmp/prendle-proxy-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder = pattern;
    }
    void TearDown() override {
        std::filesystem::remove_all(folder);
        ClientTest::TearDown();
    }
    // A target behind the proxy that echoes one message.
    void ServeEcho(PlainListener& target) {
        echo = std::thread([&target] {
            const platform::UniqueFd accepted(target.Accept());
            if (!accepted) return;
            const int fd = accepted.Get();
            char buf[64];
            timeval tv{5, 0};
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
            ssize_t n = recv(fd, buf, sizeof(buf), 0);
            if (n > 0) SendAll(fd, buf, static_cast<std::size_t>(n));
            RecvUntilClose(fd);
        });
    }
    std::string folder;
    std::thread echo;
};

TEST_F(TinyProxyTest, ConnectsThroughTheProxyWithoutAuthentication) {
    TinyProxy proxy(folder, "", "");
    ASSERT_TRUE(proxy.Ready());
    PlainListener target;
    ServeEcho(target);
    client->UseHttpProxy(Loopback(), proxy.Port(), nullptr, nullptr);
    auto session = client->Connect(Loopback(), target.port, nullptr);
    ASSERT_TRUE(session) << Texts();
    ASSERT_EQ(client->SendMsg(session, "through", 7, false), 1);
    EXPECT_TRUE(WaitUntil([&] { return Received() == "through"; }));
    client->Disconnect(session, true);
    echo.join();
}

TEST_F(TinyProxyTest, BasicAuthenticationWithRightAndWrongPassword) {
    TinyProxy proxy(folder, "alice", kPassword);
    ASSERT_TRUE(proxy.Ready());
    PlainListener target;
    ServeEcho(target);
    client->UseHttpProxy(Loopback(), proxy.Port(), "alice", kPassword);
    auto session = client->Connect(Loopback(), target.port, nullptr);
    ASSERT_TRUE(session) << Texts();
    ASSERT_EQ(client->SendMsg(session, "authed", 6, false), 1);
    EXPECT_TRUE(WaitUntil([&] { return Received() == "authed"; }));
    client->Disconnect(session, true);
    echo.join();

    client->UseHttpProxy(Loopback(), proxy.Port(), "alice", "wrong");
    EXPECT_FALSE(client->Connect(Loopback(), target.port, nullptr));
    EXPECT_EQ(Error(), TW_ERR_PROXY_REFUSED);
    EXPECT_NE(Texts().find("认证用户 alice 不通过"), std::string::npos);
}

}  // namespace
