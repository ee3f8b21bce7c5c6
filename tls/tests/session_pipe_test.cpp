// Client and server sessions of the library over an in-memory pipe: handshakes, data both ways,
// key ids opened by the gateway, alerts, malformed streams and the content cache limits.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <future>
#include <random>
#include <thread>

#include "testsupport/tls_pipe.h"
#include "testsupport/wait.h"

using namespace tamberk;
using namespace testsupport;

namespace {

struct SessionPipeTest : ::testing::Test {
    Pki pki;
    Recorder clientRec, serverRec;  // outlive the sessions, which report to them until the end
    PipePair pipe;
    void SetUp() override {
        ASSERT_TRUE(pipe.Bind(pki));
        ASSERT_NE(pipe.clientEngine->Handlers().Register(23, 8192, clientRec.Sink()), nullptr);
        ASSERT_NE(pipe.serverEngine->Handlers().Register(23, 0, serverRec.Sink()), nullptr);
    }
    void Connect() {
        pipe.Start();
        ASSERT_TRUE(pipe.client && pipe.server);
        pipe.Pump();
        ASSERT_EQ(pipe.client->CompletedCount(), 1) << pipe.client->ErrorText();
        ASSERT_EQ(pipe.server->CompletedCount(), 1) << pipe.server->ErrorText();
    }
};

TEST_F(SessionPipeTest, HandshakeAndDataBothWays) {
    Connect();
    EXPECT_EQ(clientRec.Count(TW_MSG_SSL_CONNECT), 1);
    EXPECT_EQ(serverRec.Count(TW_MSG_SSL_CONNECT), 1);
    EXPECT_TRUE(pipe.client->connected.IsSet());
    EXPECT_EQ(pipe.client->SendMsg("hello gateway", 13, true), TwSslSendResult::kSent);
    EXPECT_EQ(pipe.server->SendMsg("hello client", 12, true), TwSslSendResult::kSent);
    pipe.Pump();
    EXPECT_EQ(serverRec.Data(pipe.server.get()), "hello gateway");
    EXPECT_EQ(clientRec.Data(pipe.client.get()), "hello client");
    EXPECT_NE(pipe.client->PeerCertSubject().find("/CN=gateway.test"), std::string::npos);
    EXPECT_NE(pipe.client->PeerCertIssuer().find("/CN=Test Root CA"), std::string::npos);
    const unsigned char* key = nullptr;
    unsigned long keyLength = 0;
    EXPECT_TRUE(pipe.client->MasterKey(&key, &keyLength));
    EXPECT_EQ(keyLength, 48u);
}

TEST_F(SessionPipeTest, RecordsArrivingByteByByte) {
    pipe.chunk = 1;
    Connect();
    std::string big(40000, 'x');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
    EXPECT_EQ(pipe.server->SendMsg(big.data(), static_cast<int>(big.size()), true), TwSslSendResult::kSent);
    pipe.chunk = 777;
    pipe.Pump();
    EXPECT_EQ(clientRec.Data(pipe.client.get()), big);
}

TEST_F(SessionPipeTest, GatewayOpensKeyIdsAndTheLastTakesOverSending) {
    Connect();
    for (int keyId = 1; keyId <= 3; ++keyId) {
        ASSERT_TRUE(pipe.server->OpenKeyId(keyId));
        pipe.Pump();
        EXPECT_TRUE(pipe.client->IsKeyIdComplete(keyId)) << keyId << ": " << pipe.client->ErrorText();
        EXPECT_TRUE(pipe.server->IsKeyIdComplete(keyId)) << keyId << ": " << pipe.server->ErrorText();
        EXPECT_EQ(pipe.client->ActiveKeyId(), keyId);
    }
    EXPECT_EQ(pipe.client->CompletedCount(), 4);
    EXPECT_EQ(clientRec.Count(TW_MSG_SSL_CONNECT), 1);  // one connect event for the session
    ASSERT_EQ(pipe.client->SendMsg("on key three", 12, true), TwSslSendResult::kSent);
    // The bytes on the wire carry key id 3 in the top bits.
    auto wire = pipe.clientEnd->Take();
    ASSERT_FALSE(wire.empty());
    EXPECT_EQ(wire[0], 0xC0 | 23);
    PipePair::Feed(*pipe.serverEngine, *pipe.server, pipe.serverInbox, wire, 0);
    EXPECT_EQ(serverRec.Data(pipe.server.get()), "on key three");
    EXPECT_FALSE(pipe.server->OpenKeyId(2));  // taken
}

TEST_F(SessionPipeTest, RecordsWaitingInAKeyIdThatStopsBeingActiveLeaveFirst) {
    Connect();
    ASSERT_EQ(pipe.client->SendMsg("held|", 5, false), TwSslSendResult::kSent);
    ASSERT_TRUE(pipe.server->OpenKeyId(1));
    pipe.Pump();
    ASSERT_EQ(pipe.client->ActiveKeyId(), 1);
    ASSERT_EQ(pipe.client->SendMsg("next", 4, true), TwSslSendResult::kSent);
    pipe.Pump();
    EXPECT_EQ(serverRec.Data(pipe.server.get()), "held|next");
}

TEST_F(SessionPipeTest, LaterKeyIdResumesTheSession) {
    Connect();
    ASSERT_TRUE(pipe.server->OpenKeyId(1));
    pipe.Pump();
    ASSERT_TRUE(pipe.client->IsKeyIdComplete(1));
    // Resumed connections share the master key of the first.
    const unsigned char* k1 = nullptr;
    unsigned long n1 = 0;
    ASSERT_TRUE(pipe.client->MasterKey(&k1, &n1));
    std::string active(reinterpret_cast<const char*>(k1), n1);
    EXPECT_EQ(pipe.client->ActiveKeyId(), 1);
}

TEST_F(SessionPipeTest, CloseNotifyRemovesTheKeyIdAndLastOneDisconnects) {
    Connect();
    ASSERT_TRUE(pipe.server->OpenKeyId(1));
    pipe.Pump();
    ASSERT_EQ(pipe.client->CompletedCount(), 2);
    pipe.server->ShutdownAll(false);  // close_notify on both key ids
    pipe.Pump();
    EXPECT_FALSE(pipe.client->HasConnection(0));
    EXPECT_FALSE(pipe.client->HasConnection(1));
    EXPECT_EQ(pipe.client->CompletedCount(), 0);
    EXPECT_EQ(clientRec.Count(TW_MSG_SSL_DISCONNECT), 1);
    EXPECT_TRUE(pipe.client->disconnected.IsSet());
    auto alert = pipe.client->Alert();
    EXPECT_TRUE(alert.received);
    EXPECT_EQ(alert.description, 0);
}

TEST_F(SessionPipeTest, KeyIdFailingBeforeCompletionLeavesTheCountAlone) {
    Connect();
    // A handshake record on key id 2 that is garbage: the client's new connection fails.
    std::vector<std::uint8_t> bad = {0x80 | 22, 3, 1, 0, 6, 99, 0, 0, 2, 1, 1};
    PipePair::Feed(*pipe.clientEngine, *pipe.client, pipe.clientInbox, bad, 0);
    EXPECT_EQ(pipe.client->CompletedCount(), 1);
    EXPECT_EQ(clientRec.Count(TW_MSG_SSL_DISCONNECT), 0);
}

TEST_F(SessionPipeTest, MalformedRecordEndsTheSessionWithAnError) {
    Connect();
    std::vector<std::uint8_t> bad = {23, 3, 1, 0xFF, 0xFF, 1, 2, 3};  // longer than TLS allows
    std::size_t used = pipe.clientEngine->ProcessReceived(*pipe.client, bad.data(), bad.size());
    EXPECT_EQ(used, bad.size());
    EXPECT_TRUE(pipe.clientEnd->IsClosed());
    EXPECT_EQ(pipe.client->Error(), TW_SSL_ERR_BAD_RECORD);
}

TEST_F(SessionPipeTest, UnknownVersionEndsTheSession) {
    Connect();
    std::vector<std::uint8_t> bad = {23, 3, 4, 0, 1, 0};
    EXPECT_EQ(pipe.clientEngine->ProcessReceived(*pipe.client, bad.data(), bad.size()), bad.size());
    EXPECT_TRUE(pipe.clientEnd->IsClosed());
}

TEST_F(SessionPipeTest, NonTlsContentTypeIsConsumedAndDropped) {
    Connect();
    std::vector<std::uint8_t> odd = {30, 3, 1, 0, 2, 'h', 'i'};
    EXPECT_EQ(pipe.clientEngine->ProcessReceived(*pipe.client, odd.data(), odd.size()), odd.size());
    EXPECT_FALSE(pipe.clientEnd->IsClosed());
}

TEST_F(SessionPipeTest, SendIsWholeOrNothing) {
    // Before the handshake nothing is taken and the caller is told to come back.
    pipe.Start();
    EXPECT_EQ(pipe.client->SendMsg("early", 5, true), TwSslSendResult::kRetry);
    EXPECT_EQ(pipe.client->SendMsg(nullptr, 5, true), TwSslSendResult::kFailed);
    pipe.Pump();
    ASSERT_EQ(pipe.client->CompletedCount(), 1) << pipe.client->ErrorText();
    EXPECT_EQ(serverRec.Data(pipe.server.get()), "");

    // Larger than the output buffer: still one hand-over to the transport, all of it intact.
    std::string big(3 * kConnectionOutputSize + 123, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 % 251);
    ASSERT_EQ(pipe.client->SendMsg(big.data(), static_cast<int>(big.size()), true), TwSslSendResult::kSent);
    pipe.Pump();
    EXPECT_EQ(serverRec.Data(pipe.server.get()), big);

    // Unflushed messages wait whole and leave together with the next flush.
    ASSERT_EQ(pipe.client->SendMsg("one|", 4, false), TwSslSendResult::kSent);
    EXPECT_TRUE(pipe.clientEnd->Take().empty());
    ASSERT_EQ(pipe.client->SendMsg("two", 3, true), TwSslSendResult::kSent);
    pipe.Pump();
    EXPECT_EQ(serverRec.Data(pipe.server.get()), big + "one|two");

    // A queue that cannot take the whole message gets none of it, and the session ends rather
    // than go on with a hole in its stream.
    pipe.clientEnd->capacity = kConnectionOutputSize;
    EXPECT_EQ(pipe.client->SendMsg(big.data(), static_cast<int>(big.size()), true), TwSslSendResult::kFailed);
    EXPECT_TRUE(pipe.clientEnd->Take().empty());
    EXPECT_TRUE(pipe.clientEnd->IsClosed());
    EXPECT_EQ(pipe.client->SendMsg("after", 5, true), TwSslSendResult::kFailed);
}

TEST_F(SessionPipeTest, MessageLargerThanTheCacheIsRefusedCleanly) {
    Connect();
    clientRec.consumeLimit = 0;  // a handler waiting for a message that never fits
    std::string big(20000, 'm');
    ASSERT_EQ(pipe.server->SendMsg(big.data(), static_cast<int>(big.size()), true), TwSslSendResult::kSent);
    pipe.Pump();
    EXPECT_TRUE(pipe.clientEnd->IsClosed());
    EXPECT_EQ(pipe.client->Error(), TW_SSL_ERR_CACHE_OVERFLOW);
}

TEST_F(SessionPipeTest, CacheModeRedeliversUnconsumedBytes) {
    Connect();
    clientRec.consumeLimit = 0;
    ASSERT_EQ(pipe.server->SendMsg("part-one|", 9, true), TwSslSendResult::kSent);
    pipe.Pump();
    clientRec.consumeLimit = 0xFFFFFFFF;
    ASSERT_EQ(pipe.server->SendMsg("part-two", 8, true), TwSslSendResult::kSent);
    pipe.Pump();
    ASSERT_EQ(clientRec.deliveries.size(), 2u);
    EXPECT_EQ(clientRec.deliveries[0], "part-one|");
    EXPECT_EQ(clientRec.deliveries[1], "part-one|part-two");
}

TEST_F(SessionPipeTest, StoppingSessionsAfterTerminateConsumesEverything) {
    Connect();
    pipe.clientEngine->Terminate();
    std::vector<std::uint8_t> junk = {1, 2, 3};
    EXPECT_EQ(pipe.clientEngine->ProcessReceived(*pipe.client, junk.data(), junk.size()), 3u);
    EXPECT_EQ(pipe.clientEngine->StartSession(std::make_shared<PipeEnd>(), "x", 0, 0), nullptr);
    EXPECT_TRUE(pipe.clientEnd->IsClosed());
}

TEST_F(SessionPipeTest, DamagedWireDeliversIntactOrEndsTheSession) {
    // Records cut anywhere and sometimes corrupted: what reaches the handler is never altered.
    const std::string payload(3000, 'p');
    int delivered = 0;
    for (std::uint32_t seed = 1; seed <= 30; ++seed) {
        Recorder rec;
        PipePair damaged;
        ASSERT_TRUE(damaged.Bind(pki));
        ASSERT_NE(damaged.serverEngine->Handlers().Register(23, 8192, rec.Sink()), nullptr);
        FaultPlan plan;
        plan.seed = seed;
        plan.split = 0.6;
        plan.corrupt = 0.02;
        damaged.toServer = std::make_unique<FaultWire>(plan);
        damaged.Start();
        damaged.Pump();
        if (damaged.client->CompletedCount() == 1 &&
            damaged.client->SendMsg(payload.data(), static_cast<int>(payload.size()), true) ==
                TwSslSendResult::kSent)
            damaged.Pump();
        std::string got = rec.Data(damaged.server.get());
        if (got.empty()) continue;
        EXPECT_EQ(got, payload) << "seed " << seed;
        ++delivered;
    }
    EXPECT_GT(delivered, 0)
        << "no seed let the payload through: the wire is damaging too much to test anything";
}

TEST_F(SessionPipeTest, RandomBytesNeverCrashOrStall) {
    std::mt19937 rng(1234);
    for (int round = 0; round < 300; ++round) {
        auto end = std::make_shared<PipeEnd>();
        auto session = pipe.clientEngine->StartSession(end, "fuzz", 0, 0);
        ASSERT_TRUE(session);
        std::vector<std::uint8_t> inbox;
        for (int piece = 0; piece < 20 && !end->IsClosed(); ++piece) {
            std::vector<std::uint8_t> bytes(rng() % 300);
            for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
            if (!bytes.empty() && rng() % 2) {  // often a plausible header
                bytes.resize(std::max<std::size_t>(bytes.size(), 5));
                bytes[0] = static_cast<std::uint8_t>((rng() % 4) << 6 | (20 + rng() % 6));
                bytes[1] = 3;
                bytes[2] = static_cast<std::uint8_t>(1 + rng() % 3);
            }
            inbox.insert(inbox.end(), bytes.begin(), bytes.end());
            std::size_t used = pipe.clientEngine->ProcessReceived(*session, inbox.data(), inbox.size());
            ASSERT_LE(used, inbox.size());
            inbox.erase(inbox.begin(), inbox.begin() + static_cast<long>(used));
            // Nothing left over may exceed one record's worth: the cutter never hoards bytes.
            ASSERT_LE(inbox.size(), 5 + 18432u);
        }
        pipe.clientEngine->StopSession(session);
    }
}

// Tokens of one kind ("m", "a") in the 16-byte messages of `text`, in the order they came.
std::vector<int> Numbers(const std::string& text, char kind) {
    std::vector<int> out;
    for (std::size_t at = 0; at + 16 <= text.size(); at += 16)
        if (text[at] == kind) out.push_back(std::stoi(text.substr(at + 1, 7)));
    return out;
}

std::string Message(char kind, int n) {
    char text[17];
    std::snprintf(text, sizeof text, "%c%07d-------|", kind, n);
    return std::string(text, 16);
}

TEST_F(SessionPipeTest, SlowHandlerDoesNotHoldUpTheSessionsSenders) {
    Connect();
    std::mutex m;
    std::condition_variable cv;
    bool entered = false, release = false;
    pipe.serverEngine->Handlers().Clear();
    TwSslContentSink sink;
    sink.data = [&](TwSslSession&, std::uint8_t, char*, std::uint32_t n) {
        std::unique_lock<std::mutex> lock(m);
        entered = true;
        cv.notify_all();
        cv.wait(lock, [&] { return release; });  // a handler waiting for room, as the client's may
        return n;
    };
    ASSERT_NE(pipe.serverEngine->Handlers().Register(23, 0, sink), nullptr);
    ASSERT_EQ(pipe.client->SendMsg("frame", 5, true), TwSslSendResult::kSent);
    std::thread receiver([&] {
        PipePair::Feed(*pipe.serverEngine, *pipe.server, pipe.serverInbox, pipe.clientEnd->Take(), 0);
    });
    auto finish = [&] {
        {
            std::lock_guard<std::mutex> lock(m);
            release = true;
        }
        cv.notify_all();
        receiver.join();
    };
    if (!WaitFor("the handler to be entered", [&] {
            std::lock_guard<std::mutex> lock(m);
            return entered;
        })) {
        finish();
        FAIL();
    }
    auto sent = std::async(std::launch::async, [&] { return pipe.server->SendMsg("answer", 6, true); });
    EXPECT_TRUE(WaitFor("a send while the handler waits",
                        [&] { return sent.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    finish();
    EXPECT_EQ(sent.get(), TwSslSendResult::kSent);
    pipe.Pump();
    EXPECT_EQ(clientRec.Data(pipe.client.get()), "answer");
}

TEST_F(SessionPipeTest, DeliveriesKeepTheirOrderWhileTheSessionSends) {
    Connect();
    // The client's handler takes whole 16-byte messages only (the rest waits in its cache for the
    // next record) and answers every delivery from inside it, while another thread sends too.
    constexpr int kFromServer = 3000, kFromClient = 2000;
    std::string got;
    int answers = 0;
    pipe.clientEngine->Handlers().Clear();
    TwSslContentSink sink;
    sink.data = [&](TwSslSession& session, std::uint8_t, char* p, std::uint32_t n) {
        const std::uint32_t whole = n - n % 16;
        got.append(p, whole);
        const std::string answer = Message('a', answers++);
        EXPECT_EQ(session.SendMsg(answer.data(), 16, true), TwSslSendResult::kSent);
        return whole;
    };
    ASSERT_NE(pipe.clientEngine->Handlers().Register(23, 8192, sink), nullptr);
    std::string all;
    for (int i = 0; i < kFromServer; ++i) all += Message('m', i);
    // Records cut across messages at odd places.
    for (std::size_t at = 0; at < all.size(); at += 1001) {
        const int n = static_cast<int>(std::min<std::size_t>(1001, all.size() - at));
        ASSERT_EQ(pipe.server->SendMsg(all.data() + at, n, true), TwSslSendResult::kSent);
    }
    std::thread receiver([&] {
        PipePair::Feed(*pipe.clientEngine, *pipe.client, pipe.clientInbox, pipe.serverEnd->Take(), 1500);
    });
    for (int i = 0; i < kFromClient; ++i) {
        const std::string m = Message('m', i);
        ASSERT_EQ(pipe.client->SendMsg(m.data(), 16, true), TwSslSendResult::kSent);
    }
    receiver.join();
    EXPECT_EQ(got, all);
    pipe.Pump();
    const std::string atServer = serverRec.Data(pipe.server.get());
    std::vector<int> sent(kFromClient), answered(static_cast<std::size_t>(answers));
    for (int i = 0; i < kFromClient; ++i) sent[static_cast<std::size_t>(i)] = i;
    for (int i = 0; i < answers; ++i) answered[static_cast<std::size_t>(i)] = i;
    EXPECT_EQ(Numbers(atServer, 'm'), sent);
    EXPECT_EQ(Numbers(atServer, 'a'), answered);
    EXPECT_EQ(atServer.size(), static_cast<std::size_t>(kFromClient + answers) * 16);
}

}  // namespace
