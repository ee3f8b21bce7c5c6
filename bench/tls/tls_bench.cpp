// Bulk data through one TLS 1.2 connection (AES-GCM) of the library over loopback, against plain
// OpenSSL with the same suite over a connected pair of loopback TCP sockets with the engine's
// socket options (64 KiB buffers, no delay). Prints MB/s of both and their ratio.
//
// The baseline runs on the library's own transport so that the ratio shows what the library
// costs. Plain OpenSSL over an AF_UNIX socket pair is printed too, for reference only: that pair
// skips TCP altogether, and the engine carrying plain bytes with no TLS at all falls short of it.
// Usage: tls_bench [megabytes]   (default 256)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"
#include "prendle/socket_client.h"
#include "prendle/socket_server.h"
#include "ssl_engine.h"
#include "ssl_session.h"
#include "tamberk/ssl_state_machine.h"
#include "testsupport/net.h"
#include "testsupport/temp_root.h"
#include "testsupport/certs.h"

namespace {

constexpr const char* kSuite = "ECDHE-RSA-AES128-GCM-SHA256";
constexpr std::size_t kChunk = 256 * 1024;
constexpr std::uint64_t kWindow = 8u << 20;  // bytes in flight at most

struct Counter {
    std::mutex m;
    std::condition_variable cv;
    std::uint64_t received = 0;
    int connects = 0;
};

std::uint32_t ServerProc(TwSslAPI*, TwSslMessage* message) {
    auto* c = static_cast<Counter*>(message->context);
    std::lock_guard<std::mutex> lock(c->m);
    if (message->code == TW_MSG_SSL_RECEIVE) {
        // Wake the sender only now and then: a wake-up per record would measure the scheduler.
        std::uint64_t before = c->received;
        c->received += message->data->size;
        message->data->result = message->data->size;
        if ((before >> 20) == (c->received >> 20)) return 0;
    } else if (message->code == TW_MSG_SSL_CONNECT) {
        ++c->connects;
    }
    c->cv.notify_all();
    return 0;
}

std::uint32_t ClientProc(TwSslAPI*, TwSslMessage* message) {
    auto* c = static_cast<Counter*>(message->context);
    std::lock_guard<std::mutex> lock(c->m);
    if (message->code == TW_MSG_SSL_CONNECT) ++c->connects;
    if (message->data) message->data->result = message->data->size;
    c->cv.notify_all();
    return 0;
}

bool WaitFor(Counter& c, const std::function<bool()>& done, int seconds) {
    std::unique_lock<std::mutex> lock(c.m);
    return c.cv.wait_for(lock, std::chrono::seconds(seconds), done);
}

double LibraryRun(const std::string& pem, const std::string& caPath, std::uint64_t total) {
    Counter serverCount, clientCount;
    auto socketServer = TwSocketServer::CreatePrendle();
    auto socketClient = TwSocketClient::CreateSockClient();
    double mbps = -1;
    {
        TwSslStateMachine server, client;
        server.Initialize(TW_SSL_PROTOCOL_TLSV1, kSuite);
        server.RegisterSslContentHandler(&ServerProc, &serverCount, 23, 65536);
        client.Initialize(TW_SSL_PROTOCOL_TLSV1, nullptr);
        TwCertificateVerificationPolicy policy{0, 8, 1};
        client.SetCertVerifyPolicy(&policy);
        client.RegisterSslContentHandler(&ClientProc, &clientCount, 23, 8192);
        if (!server.BindToSocketServer(socketServer.get(), pem.c_str(), nullptr, nullptr, caPath.c_str(),
                                       nullptr) ||
            !server.StartSslServer(htonl(INADDR_LOOPBACK), 0) ||
            !client.BindToSocketClient(socketClient.get(), caPath.c_str(), nullptr)) {
            std::fprintf(stderr, "library set-up failed\n");
            return -1;
        }
        int error = 0, system = 0;
        const unsigned short port = socketServer->ListenPort();
        auto session = client.ConnectToSslServer("127.0.0.1", port, nullptr, &error, &system);
        if (!session || !WaitFor(
                            clientCount, [&] { return clientCount.connects == 1; }, 10)) {
            std::fprintf(stderr, "library connect failed (%d/%d)\n", error, system);
            return -1;
        }
        std::vector<char> chunk(kChunk, 'x');
        TwSslAPI* api = client.GetSslAPI();
        auto start = std::chrono::steady_clock::now();
        std::uint64_t sent = 0;
        while (sent < total) {
            // Keep a bounded amount in flight: the engine queues whatever it is handed.
            if (!WaitFor(
                    serverCount, [&] { return sent - serverCount.received <= kWindow; }, 30))
                break;
            if (api->SendMsg(session, chunk.data(), static_cast<int>(chunk.size()), true) <= 0) break;
            sent += chunk.size();
        }
        bool done = WaitFor(
            serverCount, [&] { return serverCount.received >= total; }, 60);
        // (the last megabyte boundary wakes the waiter; total is a whole number of megabytes)
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (done) mbps = static_cast<double>(total) / (1024.0 * 1024.0) / seconds;
        client.Terminate();
        server.Terminate();
    }
    return mbps;
}

// The socket engine alone, plain bytes, same loopback road: what the transport allows.
unsigned long RawServerCallback(TwSocketManager*, _TwMessage* message) {
    auto* c = static_cast<Counter*>(message->userContext);
    if (message->code == TW_MSG_RECEIVE) {
        auto* record = reinterpret_cast<_TwRecvRecord*>(message->param);
        std::lock_guard<std::mutex> lock(c->m);
        std::uint64_t before = c->received;
        c->received += record->length;
        record->consumed = record->length;
        if ((before >> 20) != (c->received >> 20)) c->cv.notify_all();
    }
    return TW_SUCCEED;
}

unsigned long RawClientCallback(TwSocketManager*, _TwMessage* message) {
    if (message->code == TW_MSG_RECEIVE) {
        auto* record = reinterpret_cast<_TwRecvRecord*>(message->param);
        record->consumed = record->length;
    }
    return TW_SUCCEED;
}

double RawRun(std::uint64_t total) {
    Counter counter;
    auto server = TwSocketServer::CreatePrendle();
    auto client = TwSocketClient::CreateSockClient();
    unsigned short port = 0;  // the server picks one and says which
    if (server->Initialize(&RawServerCallback, &counter, 0, 0) != TW_SUCCEED ||
        server->StartServer(htonl(INADDR_LOOPBACK), &port) != 1 ||
        client->Initialize(&RawClientCallback, nullptr, 0, 0) != TW_SUCCEED)
        return -1;
    auto session = client->Connect(htonl(INADDR_LOOPBACK), port, nullptr);
    if (!session) return -1;
    std::vector<char> chunk(kChunk, 'x');
    auto start = std::chrono::steady_clock::now();
    std::uint64_t sent = 0;
    while (sent < total) {
        if (!WaitFor(
                counter, [&] { return sent - counter.received <= kWindow; }, 30))
            break;
        if (client->SendMsg(session, chunk.data(), static_cast<int>(chunk.size()), false) != 1) break;
        sent += chunk.size();
    }
    bool done = WaitFor(
        counter, [&] { return counter.received >= total; }, 60);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    client->Disconnect(session, false);
    server->StopServer();
    return done ? static_cast<double>(total) / (1024.0 * 1024.0) / seconds : -1;
}

// The library's TLS sessions with the socket engine taken out: both ends in this thread, bytes
// handed over through memory. Shows what the TLS layer itself costs.
struct MemoryEnd : tamberk::TwSslTransport {
    std::vector<std::uint8_t> out;
    bool Send(const std::uint8_t* data, std::size_t length) override {
        out.insert(out.end(), data, data + length);
        return true;
    }
    bool Close() override { return true; }
};

double MemoryRun(const std::string& pem, const std::string& caPath, std::uint64_t total) {
    auto clientEngine = std::make_shared<tamberk::TwSslEngine>();
    auto serverEngine = std::make_shared<tamberk::TwSslEngine>();
    clientEngine->Initialize(TW_SSL_PROTOCOL_TLSV1, nullptr);
    serverEngine->Initialize(TW_SSL_PROTOCOL_TLSV1, kSuite);
    TwCertificateVerificationPolicy policy{0, 8, 1};
    clientEngine->SetCertVerifyPolicy(&policy);
    if (!clientEngine->BindClient(caPath.c_str(), nullptr) ||
        !serverEngine->BindServer(pem.c_str(), nullptr, nullptr, caPath.c_str(), nullptr))
        return -1;
    std::uint64_t received = 0;
    tamberk::TwSslContentSink sink;
    sink.data = [&](tamberk::TwSslSession&, std::uint8_t, char*, std::uint32_t n) {
        received += n;
        return n;
    };
    serverEngine->Handlers().Register(23, 65536, sink);
    auto cEnd = std::make_shared<MemoryEnd>(), sEnd = std::make_shared<MemoryEnd>();
    auto server = serverEngine->StartSession(sEnd, "c", 0, 0);
    auto client = clientEngine->StartSession(cEnd, "s", 0, 0);
    std::vector<std::uint8_t> cIn, sIn;
    auto pump = [&] {
        for (int i = 0; i < 100; ++i) {
            bool moved = !cEnd->out.empty() || !sEnd->out.empty();
            sIn.insert(sIn.end(), cEnd->out.begin(), cEnd->out.end());
            cEnd->out.clear();
            sIn.erase(sIn.begin(), sIn.begin() + static_cast<long>(serverEngine->ProcessReceived(
                                                     *server, sIn.data(), sIn.size())));
            cIn.insert(cIn.end(), sEnd->out.begin(), sEnd->out.end());
            sEnd->out.clear();
            cIn.erase(cIn.begin(), cIn.begin() + static_cast<long>(clientEngine->ProcessReceived(
                                                     *client, cIn.data(), cIn.size())));
            if (!moved) return;
        }
    };
    pump();
    if (client->CompletedCount() != 1) return -1;
    std::vector<char> chunk(kChunk, 'x');
    auto start = std::chrono::steady_clock::now();
    for (std::uint64_t sent = 0; sent < total; sent += chunk.size()) {
        client->SendMsg(chunk.data(), static_cast<int>(chunk.size()), true);
        pump();
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    clientEngine->Terminate();
    serverEngine->Terminate();
    return received >= total ? static_cast<double>(total) / (1024.0 * 1024.0) / seconds : -1;
}

// Two connected loopback TCP sockets with the socket engine's options.
bool TcpPair(int sv[2]) {
    platform::UniqueFd listener(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(listener.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listener.Get(), 1) != 0 ||
        ::getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return false;
    platform::UniqueFd client(::socket(AF_INET, SOCK_STREAM, 0));
    testsupport::SetEngineSocketOptions(client.Get());
    if (::connect(client.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
    platform::UniqueFd server(::accept(listener.Get(), nullptr, nullptr));
    listener.Reset();
    if (!server) return false;
    testsupport::SetEngineSocketOptions(server.Get());
    sv[0] = server.Release();
    sv[1] = client.Release();
    return true;
}

double PlainRun(const std::string& pem, std::uint64_t total, bool tcp) {
    int sv[2];
    if (tcp ? !TcpPair(sv) : ::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return -1;
    platform::UniqueFd serverEnd(sv[0]), clientEnd(sv[1]);
    SSL_CTX* sctx = SSL_CTX_new(TLS_server_method());
    SSL_CTX* cctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_use_certificate_file(sctx, pem.c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_use_PrivateKey_file(sctx, pem.c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_set_cipher_list(sctx, kSuite);
    SSL_CTX_set_max_proto_version(sctx, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(cctx, TLS1_2_VERSION);
    SSL* s = SSL_new(sctx);
    SSL* c = SSL_new(cctx);
    SSL_set_fd(s, sv[0]);
    SSL_set_fd(c, sv[1]);
    std::thread accept([&] { SSL_accept(s); });
    bool ok = SSL_connect(c) == 1;
    accept.join();
    double mbps = -1;
    if (ok) {
        auto start = std::chrono::steady_clock::now();
        std::thread reader([&] {
            std::vector<char> buf(kChunk);
            std::uint64_t got = 0;
            while (got < total) {
                int n = SSL_read(s, buf.data(), static_cast<int>(buf.size()));
                if (n <= 0) break;
                got += static_cast<std::uint64_t>(n);
            }
        });
        std::vector<char> chunk(kChunk, 'x');
        for (std::uint64_t sent = 0; sent < total; sent += chunk.size())
            if (SSL_write(c, chunk.data(), static_cast<int>(chunk.size())) <= 0) break;
        reader.join();
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        mbps = static_cast<double>(total) / (1024.0 * 1024.0) / seconds;
    }
    SSL_free(s);
    SSL_free(c);
    SSL_CTX_free(sctx);
    SSL_CTX_free(cctx);
    serverEnd.Reset();
    clientEnd.Reset();
    return mbps;
}

}  // namespace

int main(int argc, char** argv) {
    std::uint64_t megabytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
    std::uint64_t total = megabytes << 20;
    testsupport::TempRoot root{"tls-bench"};
    const std::string dir = root.Path();
    std::string caPath = dir + "/trusted", pem = dir + "/server.pem";
    std::filesystem::create_directories(caPath);
    testsupport::WritePem(pem, testsupport::MakeCert("bench.gateway", nullptr, false), true);
    // The machine may be shared: alternate the runs and keep each one's best of three.
    double plain = 0, library = 0, plainUnix = 0;
    for (int round = 0; round < 3; ++round) {
        plain = std::max(plain, PlainRun(pem, total, true));
        library = std::max(library, LibraryRun(pem, caPath, total));
        plainUnix = std::max(plainUnix, PlainRun(pem, total, false));
    }
    double memory = MemoryRun(pem, caPath, total);
    double raw = RawRun(total);
    auto ratio = [](double a, double b) { return a > 0 && b > 0 ? a / b : 0.0; };
    std::printf("TLS 1.2 %s, %llu MB one way\n", kSuite, static_cast<unsigned long long>(megabytes));
    std::printf("plain OpenSSL, loopback TCP pair:      %8.1f MB/s\n", plain);
    std::printf("library over loopback TCP:             %8.1f MB/s\n", library);
    std::printf("ratio library/plain:                   %8.2f\n", ratio(library, plain));
    std::printf("for reference:\n");
    std::printf("  plain OpenSSL, AF_UNIX socket pair:  %8.1f MB/s (library/this %.2f)\n", plainUnix,
                ratio(library, plainUnix));
    std::printf("  socket engine alone, no TLS:         %8.1f MB/s (this/AF_UNIX pair %.2f)\n", raw,
                ratio(raw, plainUnix));
    std::printf("  library TLS layer alone (memory):    %8.1f MB/s (one thread encrypts and decrypts)\n",
                memory);
    return plain > 0 && library > 0 ? 0 : 1;
}
