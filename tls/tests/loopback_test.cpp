// The library over real sockets on loopback: our client against our server (four key ids on one
// stream, data both ways, client certificates), and our client against `openssl s_server`
// speaking TLS 1.0 and TLS 1.2.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <future>
#include <memory>
#include <thread>

#include "loopback_support.h"
#include "platform/fake/manual_clock.h"
#include "prendle/socket_client.h"
#include "prendle/socket_server.h"
#include "state_machine_impl.h"
#include "tamberk/ssl_state_machine.h"
#include "test_certs.h"
#include "platform/machine_root.h"
#include "testsupport/net.h"

using namespace tamberk::test;
namespace fs = std::filesystem;

namespace {

struct LoopbackTest : ::testing::Test {
    TempDir dir;
    std::string caPath, serverPem, caPem;
    CertKey ca = MakeCert("Loop Root", nullptr, true);
    CertKey serverCert = MakeCert("loop.gateway", &ca, false);
    HandlerSide clientSide, serverSide;
    SharedObjectPtr<TwSocketServer> socketServer = TwSocketServer::CreatePrendle();
    SharedObjectPtr<TwSocketClient> socketClient = TwSocketClient::CreateSockClient();
    std::unique_ptr<TwSslStateMachine> server = std::make_unique<TwSslStateMachine>();
    std::unique_ptr<TwSslStateMachine> client = std::make_unique<TwSslStateMachine>();
    unsigned short port = 0;  // the listening side's, read back once it listens

    void SetUp() override {
        ::setenv("QEL_ROOT", dir.Path().c_str(), 1);
        platform::ResetMachineRoot();
        caPath = dir.Path() + "/trusted";
        fs::create_directories(caPath);
        caPem = caPath + "/root.pem";
        WritePem(caPem, ca, false);
        serverPem = dir.Path() + "/server.pem";
        WritePem(serverPem, serverCert, true);
    }
    void TearDown() override {
        client->Terminate();
        server->Terminate();
        client.reset();
        server.reset();
    }
    void StartOurServer() {
        ASSERT_EQ(server->Initialize(TW_SSL_PROTOCOL_TLSV1, nullptr), 1);
        ASSERT_NE(server->RegisterSslContentHandler(&HandlerSide::Proc, &serverSide, 23, 0), nullptr);
        ASSERT_EQ(server->BindToSocketServer(socketServer.get(), serverPem.c_str(), nullptr, nullptr,
                                             caPath.c_str(), nullptr),
                  1);
        ASSERT_EQ(server->StartSslServer(htonl(INADDR_LOOPBACK), 0), 1);
        port = socketServer->ListenPort();
    }
    void BindClient(const char* ciphers = nullptr) {
        ASSERT_EQ(client->Initialize(TW_SSL_PROTOCOL_TLSV1, ciphers), 1);
        TwCertificateVerificationPolicy policy{0, 8, 1};
        ASSERT_EQ(client->SetCertVerifyPolicy(&policy), 1);
        ASSERT_NE(client->RegisterSslContentHandler(&HandlerSide::Proc, &clientSide, 23, 8192), nullptr);
        ASSERT_EQ(client->BindToSocketClient(socketClient.get(), caPath.c_str(), nullptr), 1);
    }
    SharedObjectPtr<SharedObject> Connect() {
        int error = 0, system = 0;
        auto session = client->ConnectToSslServer("127.0.0.1", port, nullptr, &error, &system);
        EXPECT_TRUE(session) << error << "/" << system;
        return session;
    }
    static tamberk::TwSslSession* Core(const SharedObjectPtr<SharedObject>& s) {
        return AsSslSession(s)->core.get();
    }
};

TEST_F(LoopbackTest, FourKeyIdsOnOneStreamWithDataBothWays) {
    StartOurServer();
    BindClient();
    auto session = Connect();
    ASSERT_TRUE(session);
    ASSERT_TRUE(clientSide.WaitFor([&] { return clientSide.connects == 1; }));
    ASSERT_TRUE(serverSide.WaitFor([&] { return serverSide.connects == 1; }));
    SharedObjectPtr<SharedObject> gatewaySession = serverSide.sessions[0];
    TwSslAPI* api = client->GetSslAPI();
    TwSslAPI* gw = server->GetSslAPI();

    ASSERT_GT(api->SendMsg(session, "key0 up", 7, true), 0);
    ASSERT_TRUE(serverSide.WaitFor([&] { return serverSide.all == "key0 up"; }));
    for (int keyId = 1; keyId <= 3; ++keyId) {
        ASSERT_EQ(gw->OpenKeyId(gatewaySession, keyId), 1);
        ASSERT_TRUE(clientSide.WaitFor([&] { return Core(session)->IsKeyIdComplete(keyId); })) << keyId;
        std::string up = "up on " + std::to_string(keyId);
        ASSERT_GT(api->SendMsg(session, up.data(), static_cast<int>(up.size()), true), 0);
        ASSERT_TRUE(serverSide.WaitFor([&] { return serverSide.all.find(up) != std::string::npos; })) << up;
        std::string down = "down on " + std::to_string(keyId);
        ASSERT_GT(gw->SendMsg(gatewaySession, down.data(), static_cast<int>(down.size()), true), 0);
        ASSERT_TRUE(clientSide.WaitFor([&] { return clientSide.all.find(down) != std::string::npos; }))
            << down;
    }
    EXPECT_EQ(Core(session)->CompletedCount(), 4);
    EXPECT_EQ(Core(session)->ActiveKeyId(), 3);
    EXPECT_EQ(clientSide.connects, 1);

    char subject[256] = "";
    api->GetPeerCertSubject(session, subject, sizeof subject);
    EXPECT_NE(std::string(subject).find("/CN=loop.gateway"), std::string::npos);
    // The fingerprint a gateway's certificate is known by: SHA-256 of its DER form.
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdLength = 0;
    ASSERT_EQ(X509_digest(serverCert.cert, EVP_sha256(), md, &mdLength), 1);
    std::string expected;
    for (unsigned int i = 0; i < mdLength; ++i) {
        char pair[4];
        std::snprintf(pair, sizeof pair, i == 0 ? "%02X" : ":%02X", md[i]);
        expected += pair;
    }
    char fingerprint[96] = "";
    ASSERT_EQ(api->GetPeerCertFingerprint(session, fingerprint, sizeof fingerprint), 1);
    EXPECT_EQ(fingerprint, expected);
    char small[95] = "x";
    EXPECT_EQ(api->GetPeerCertFingerprint(session, small, sizeof small), 0);
    EXPECT_STREQ(small, "");
    EXPECT_EQ(api->GetPeerCertFingerprint(nullptr, fingerprint, sizeof fingerprint), 0);
    char peer[64] = "";
    short peerPort = 0;
    api->GetPeerAddr(session, peer, sizeof peer, &peerPort);
    EXPECT_STREQ(peer, "127.0.0.1");
    EXPECT_EQ(static_cast<unsigned short>(peerPort), port);
    EXPECT_EQ(api->GetSslError(nullptr), TW_SSL_ERR_NO_SESSION);
    EXPECT_EQ(api->SendMsg(session, nullptr, 3, true), -1);

    EXPECT_EQ(api->Disconnect(session), 1);
    EXPECT_TRUE(clientSide.WaitFor([&] { return clientSide.disconnects == 1; }));
    EXPECT_TRUE(serverSide.WaitFor([&] { return serverSide.disconnects == 1; }));
}

// The gateway echoes from inside its handler while two client threads send at once: no lock
// order between senders, receivers and handlers may deadlock (TSan watches this one).
std::uint32_t EchoProc(TwSslAPI* api, TwSslMessage* message) {
    if (message->code == TW_MSG_SSL_RECEIVE) {
        api->SendMsg(message->session, message->data->data, static_cast<int>(message->data->size), true);
        message->data->result = message->data->size;
    }
    return HandlerSide::Proc(api, message);
}

TEST_F(LoopbackTest, TwoSendersAndAnEchoingHandler) {
    ASSERT_EQ(server->Initialize(TW_SSL_PROTOCOL_TLSV1, nullptr), 1);
    ASSERT_NE(server->RegisterSslContentHandler(&EchoProc, &serverSide, 23, 0), nullptr);
    ASSERT_EQ(server->BindToSocketServer(socketServer.get(), serverPem.c_str(), nullptr, nullptr,
                                         caPath.c_str(), nullptr),
              1);
    ASSERT_EQ(server->StartSslServer(htonl(INADDR_LOOPBACK), 0), 1);
    port = socketServer->ListenPort();
    BindClient();
    auto session = Connect();
    ASSERT_TRUE(clientSide.WaitFor([&] { return clientSide.connects == 1; }));
    constexpr int kMessages = 300;
    auto sender = [&](char tag) {
        std::string msg(100, tag);
        for (int i = 0; i < kMessages; ++i) client->GetSslAPI()->SendMsg(session, msg.data(), 100, true);
    };
    std::thread a(sender, 'a'), b(sender, 'b');
    a.join();
    b.join();
    ASSERT_TRUE(clientSide.WaitFor([&] { return clientSide.all.size() == 2u * kMessages * 100; }, 30000))
        << clientSide.all.size();
    EXPECT_EQ(std::count(clientSide.all.begin(), clientSide.all.end(), 'a'), kMessages * 100);
}

// Stops on the first disconnect and waits to be let go, on the socket worker that delivers it.
struct HeldHandler {
    std::mutex m;
    std::condition_variable cv;
    bool entered = false, released = false, returned = false;

    static std::uint32_t Proc(TwSslAPI*, TwSslMessage* message) {
        auto* self = static_cast<HeldHandler*>(message->context);
        if (message->code != TW_MSG_SSL_DISCONNECT) return 0;
        std::unique_lock<std::mutex> lock(self->m);
        if (self->entered) return 0;
        self->entered = true;
        self->cv.notify_all();
        self->cv.wait(lock, [self] { return self->released; });
        self->returned = true;
        return 0;
    }
};

// Callers free the handler's context once Terminate has returned, so it must not return while a
// worker is still inside the handler: here the disconnect of a session hung up just before.
TEST_F(LoopbackTest, TerminateWaitsForAHandlerStillRunningOnAWorker) {
    StartOurServer();
    HeldHandler held;
    ASSERT_EQ(client->Initialize(TW_SSL_PROTOCOL_TLSV1, nullptr), 1);
    TwCertificateVerificationPolicy policy{0, 8, 1};
    ASSERT_EQ(client->SetCertVerifyPolicy(&policy), 1);
    ASSERT_NE(client->RegisterSslContentHandler(&HeldHandler::Proc, &held, 23, 0), nullptr);
    ASSERT_EQ(client->BindToSocketClient(socketClient.get(), caPath.c_str(), nullptr), 1);
    auto session = Connect();
    ASSERT_TRUE(session);
    client->GetSslAPI()->DisconnectSock(session);
    {
        std::unique_lock<std::mutex> lock(held.m);
        ASSERT_TRUE(held.cv.wait_for(lock, std::chrono::seconds(15), [&] { return held.entered; }));
    }
    auto terminated = std::async(std::launch::async, [&] {
        client->Terminate();
        std::lock_guard<std::mutex> lock(held.m);
        return held.returned;
    });
    {
        std::lock_guard<std::mutex> lock(held.m);
        held.released = true;
        held.cv.notify_all();
    }
    EXPECT_TRUE(terminated.get()) << "Terminate returned while the handler was still running";
}

TEST_F(LoopbackTest, UdpDatagramsFollowTheTlsSession) {
    SharedObjectPtr<TwUDPSocketServer> udpServer(new TwUDPSocketServer);
    SharedObjectPtr<TwUDPSocketServer> udpClient(new TwUDPSocketServer);
    StartOurServer();
    HandlerSide udpSide;
    server->RegisterSslUDPPacketProc(&HandlerSide::Proc, &udpSide);
    ASSERT_EQ(server->BindToUDPServer(udpServer.get(), 0), 1);
    BindClient();
    ASSERT_EQ(client->BindToUDPServer(udpClient.get(), 0), 1);
    auto session = Connect();
    ASSERT_TRUE(serverSide.WaitFor([&] { return serverSide.connects == 1; }));
    sockaddr_in local{};
    ASSERT_TRUE(udpServer->GetLocalAddr(local));
    TwSslAPI* api = client->GetSslAPI();
    ASSERT_EQ(api->UdpConnect(session, htonl(INADDR_LOOPBACK), ntohs(local.sin_port), 5), 1);
    ASSERT_TRUE(serverSide.WaitFor([&] { return api->IsUdpSessionConnected(session) == TRUE; }));
    ASSERT_EQ(api->SendUdpMsg(session, "datagram", 8), 8);
    ASSERT_TRUE(udpSide.WaitFor([&] { return udpSide.all == "datagram"; }));
    // The datagram names the TLS session of the same peer.
    EXPECT_EQ(udpSide.data.begin()->first, serverSide.sessions[0].get());
    api->UdpDisconnect(session);
    EXPECT_FALSE(api->IsUdpSessionConnected(session));
    client->Terminate();
    server->Terminate();
    udpClient->StopServer();
    udpServer->StopServer();
}

TEST_F(LoopbackTest, BulkDataArrivesWhole) {
    StartOurServer();
    BindClient();
    auto session = Connect();
    ASSERT_TRUE(clientSide.WaitFor([&] { return clientSide.connects == 1; }));
    std::string block(100000, 0);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7);
    std::string expected;
    for (int i = 0; i < 20; ++i) {
        ASSERT_GT(client->GetSslAPI()->SendMsg(session, block.data(), static_cast<int>(block.size()), true),
                  0);
        expected += block;
    }
    ASSERT_TRUE(serverSide.WaitFor([&] { return serverSide.all.size() >= expected.size(); }, 30000));
    EXPECT_TRUE(serverSide.all == expected);
}

TEST_F(LoopbackTest, ClientCertificateRequestedByTheGateway) {
    // The client's certificate lives in the certificate store (PEM with its key).
    CertKey alice = MakeCert("alice", &ca, false);
    fs::create_directories(dir.Path() + "/certstore");
    WritePem(dir.Path() + "/certstore/alice.pem", alice, true);
    StartOurServer();
    BindClient();
    ASSERT_EQ(client->ChooseCertificate("CN=alice", SerialHexOf(alice).c_str(), 1), TW_CERT_CHOOSE_OK);
    auto session = Connect();
    ASSERT_TRUE(serverSide.WaitFor([&] { return serverSide.connects == 1; }));
    TwSslAPI* gw = server->GetSslAPI();
    auto gatewaySession = serverSide.sessions[0];
    ASSERT_EQ(gw->RequestClientCertificate(gatewaySession, "ALICE", 1), 1);
    ASSERT_TRUE(serverSide.WaitFor([&] { return gw->GetRehandshakeStatus(gatewaySession) >= 2; }));
    EXPECT_EQ(gw->GetRehandshakeStatus(gatewaySession), TW_REHANDSHAKE_COMPLETED)
        << gw->GetSslError(gatewaySession) << " " << gw->GetSslErrorString(gatewaySession);
    ASSERT_TRUE(session);
    ASSERT_NE(AsSslSession(session), nullptr);
    ASSERT_NE(Core(session), nullptr);
    char subject[256] = "";
    gw->GetPeerCertSubject(gatewaySession, subject, sizeof subject);
    EXPECT_NE(std::string(subject).find("/CN=alice"), std::string::npos);
    // Data still flows after the renegotiation. The gateway counts it done once its Finished is
    // out; the client may still be reading it, and a write refused meanwhile is the caller's to repeat.
    ASSERT_TRUE(
        serverSide.WaitFor([&] { return client->GetSslAPI()->SendMsg(session, "after", 5, true) > 0; }));
    EXPECT_TRUE(serverSide.WaitFor([&] { return serverSide.all == "after"; }));
}

TEST_F(LoopbackTest, ChooseCertificateRefusesExpiredAndUnknown) {
    CertKey old = MakeCert("bob", &ca, false, -10, -1);
    fs::create_directories(dir.Path() + "/certstore");
    WritePem(dir.Path() + "/certstore/bob.pem", old, true);
    BindClient();
    EXPECT_EQ(client->ChooseCertificate("CN=bob", SerialHexOf(old).c_str(), 1),
              TW_CERT_CHOOSE_NOT_VALID_TODAY);
    EXPECT_EQ(client->ChooseCertificate("CN=carol", "01", 1), TW_CERT_CHOOSE_FAILED);
    EXPECT_EQ(client->ChooseCertificate("CN=bob", SerialHexOf(old).c_str(), 0), TW_CERT_CHOOSE_FAILED);
}

TEST_F(LoopbackTest, RefusesSsl2And3AtBindTime) {
    for (TwSslProtocol p : {TW_SSL_PROTOCOL_SSLV2, TW_SSL_PROTOCOL_SSLV3}) {
        TwSslStateMachine sm;
        sm.Initialize(p, nullptr);
        auto sc = TwSocketClient::CreateSockClient();
        EXPECT_EQ(sm.BindToSocketClient(sc.get(), caPath.c_str(), nullptr), 0);
    }
    TwSslStateMachine nullOnly;
    nullOnly.Initialize(TW_SSL_PROTOCOL_TLSV1, "eNULL:aNULL");
    auto sc = TwSocketClient::CreateSockClient();
    EXPECT_EQ(nullOnly.BindToSocketClient(sc.get(), caPath.c_str(), nullptr), 0);
}

struct OpenSslPeerTest : LoopbackTest {
    platform::fake::ManualClock clock;  // outlives the client, which TearDown ends
    void RunAgainst(const std::vector<std::string>& extra, const char* expectVersion) {
        OpenSslServer peer;
        std::vector<std::string> args = {"-accept", "127.0.0.1:0", "-cert", serverPem, "-key", serverPem};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_TRUE(peer.Start(args)) << peer.Output();
        port = peer.Port();
        auto session = Connect();
        ASSERT_TRUE(session);
        ASSERT_TRUE(clientSide.WaitFor([&] { return clientSide.connects == 1; })) << peer.Output();
        ASSERT_GT(client->GetSslAPI()->SendMsg(session, "from-our-client\n", 16, true), 0);
        EXPECT_TRUE(peer.WaitOutput("from-our-client")) << peer.Output();
        EXPECT_EQ(Core(session)->ProtocolVersion(), expectVersion);
        ASSERT_TRUE(peer.Write("from-openssl\n"));
        EXPECT_TRUE(
            clientSide.WaitFor([&] { return clientSide.all.find("from-openssl") != std::string::npos; }));
        client->GetSslAPI()->DisconnectSock(session);
        EXPECT_TRUE(clientSide.WaitFor([&] { return clientSide.disconnects == 1; }));
    }
};

TEST_F(OpenSslPeerTest, Tls10OnlyServer) {
    BindClient();
    RunAgainst({"-tls1", "-cipher", "DEFAULT:@SECLEVEL=0"}, "TLSv1");
}

TEST_F(OpenSslPeerTest, Tls12ServerWithAesGcm) {
    BindClient();
    RunAgainst({"-tls1_2", "-cipher", "ECDHE-RSA-AES128-GCM-SHA256"}, "TLSv1.2");
}

TEST_F(OpenSslPeerTest, ServerDemandingAClientCertificate) {
    CertKey alice = MakeCert("alice", &ca, false);
    fs::create_directories(dir.Path() + "/certstore");
    WritePem(dir.Path() + "/certstore/alice.p12.pem", alice, true);
    BindClient();
    ASSERT_EQ(client->ChooseCertificate("CN=alice", SerialHexOf(alice).c_str(), 1), TW_CERT_CHOOSE_OK);
    RunAgainst({"-tls1_2", "-Verify", "1", "-CAfile", caPem}, "TLSv1.2");
}

// A peer that completed the handshake and then stops answering: Disconnect waits for its close
// notify exactly as long as the timing says, on the state machine's clock, then closes anyway.
TEST_F(OpenSslPeerTest, DisconnectGivesUpOnASilentPeerAfterTheCloseWait) {
    client = std::make_unique<TwSslStateMachine>(TwSslTiming{}, clock);
    BindClient();
    OpenSslServer peer;
    ASSERT_TRUE(peer.Start({"-accept", "127.0.0.1:0", "-cert", serverPem, "-key", serverPem, "-tls1_2"}))
        << peer.Output();
    port = peer.Port();
    auto session = Connect();
    ASSERT_TRUE(session);
    ASSERT_TRUE(clientSide.WaitFor([&] { return clientSide.connects == 1; })) << peer.Output();
    ASSERT_EQ(::kill(peer.Pid(), SIGSTOP), 0);
    struct Continue {  // before the peer's end, which a stopped process would never reach
        pid_t pid;
        ~Continue() { ::kill(pid, SIGCONT); }
    } resume{peer.Pid()};
    auto disconnected =
        std::async(std::launch::async, [&] { return client->GetSslAPI()->Disconnect(session); });
    ASSERT_TRUE(clock.WaitForWaiters(1)) << "Disconnect did not wait for the close notify";
    clock.Advance(TwSslTiming{}.closeWaitMs - 1);
    ASSERT_TRUE(clock.WaitForWaiters(1)) << "the close wait ended early";
    EXPECT_EQ(disconnected.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    clock.Advance(1);
    EXPECT_EQ(disconnected.get(), 1);
    EXPECT_TRUE(clientSide.WaitFor([&] { return clientSide.disconnects == 1; }));
}

}  // namespace
