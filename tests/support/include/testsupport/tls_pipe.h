// An in-memory pipe between a client and a server session of the TLS library, pumped by the test
// thread: bytes one side sends become the other side's received bytes, optionally in small
// pieces or through a fault wire, and the consumed-bytes rule of the socket engine is kept.
#pragma once
#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ssl_engine.h"
#include "ssl_session.h"
#include "testsupport/certs.h"
#include "testsupport/fault_wire.h"
#include "testsupport/temp_dir.h"

namespace testsupport {

using tamberk::TwSslContentSink;
using tamberk::TwSslEngine;
using tamberk::TwSslSession;
using tamberk::TwSslTransport;

struct PipeEnd : TwSslTransport {
    std::mutex m;
    std::vector<std::uint8_t> outbox;
    bool closed = false;
    std::size_t capacity = SIZE_MAX;  // a queue that refuses what would not fit, whole
    bool Send(const std::uint8_t* data, std::size_t length) override {
        std::lock_guard<std::mutex> lock(m);
        if (closed || length > capacity - std::min(capacity, outbox.size())) return false;
        outbox.insert(outbox.end(), data, data + length);
        return true;
    }
    bool Close() override {
        std::lock_guard<std::mutex> lock(m);
        closed = true;
        return true;
    }
    bool IsClosed() {
        std::lock_guard<std::mutex> lock(m);
        return closed;
    }
    std::vector<std::uint8_t> Take() {
        std::lock_guard<std::mutex> lock(m);
        std::vector<std::uint8_t> out;
        out.swap(outbox);
        return out;
    }
};

// Records what a content handler saw.
struct Recorder {
    std::mutex m;
    std::map<const TwSslSession*, std::string> data;
    std::vector<std::pair<TwSslMsgType, const TwSslSession*>> events;
    std::uint32_t consumeLimit = 0xFFFFFFFF;  // consume at most this much per delivery
    std::vector<std::string> deliveries;

    TwSslContentSink Sink() {
        TwSslContentSink sink;
        sink.data = [this](TwSslSession& s, std::uint8_t, char* p, std::uint32_t n) {
            std::lock_guard<std::mutex> lock(m);
            std::uint32_t take = std::min(n, consumeLimit);
            deliveries.emplace_back(p, n);
            data[&s].append(p, take);
            return take;
        };
        sink.event = [this](TwSslMsgType code, TwSslSession* s) {
            std::lock_guard<std::mutex> lock(m);
            events.emplace_back(code, s);
        };
        return sink;
    }
    int Count(TwSslMsgType code) {
        std::lock_guard<std::mutex> lock(m);
        return static_cast<int>(
            std::count_if(events.begin(), events.end(), [&](auto& e) { return e.first == code; }));
    }
    std::string Data(const TwSslSession* s) {
        std::lock_guard<std::mutex> lock(m);
        return data[s];
    }
};

// Server certificate signed by a test CA; client trusts the CA folder.
struct Pki {
    TempDir dir;
    CertKey ca = MakeCert("Test Root CA", nullptr, true);
    CertKey server = MakeCert("gateway.test", &ca, false);
    std::string caPath, serverPem;
    Pki() {
        caPath = dir.Path() + "/trusted";
        std::filesystem::create_directories(caPath);
        WritePem(caPath + "/root.pem", ca, false);
        serverPem = dir.Path() + "/server.pem";
        WritePem(serverPem, server, true);
    }
};

struct PipePair {
    std::shared_ptr<TwSslEngine> clientEngine = std::make_shared<TwSslEngine>();
    std::shared_ptr<TwSslEngine> serverEngine = std::make_shared<TwSslEngine>();
    std::shared_ptr<PipeEnd> clientEnd = std::make_shared<PipeEnd>();
    std::shared_ptr<PipeEnd> serverEnd = std::make_shared<PipeEnd>();
    std::shared_ptr<TwSslSession> client, server;
    std::vector<std::uint8_t> clientInbox, serverInbox;
    std::size_t chunk = 0;  // 0: everything at once
    // Optional damage on the way to the server / to the client (delays do not apply here).
    std::unique_ptr<FaultWire> toServer, toClient;

    // Sessions and their engine refer to each other until the engine lets them go.
    ~PipePair() {
        clientEngine->Terminate();
        serverEngine->Terminate();
    }

    bool Bind(const Pki& pki, const char* serverCiphers = nullptr) {
        clientEngine->Initialize(TW_SSL_PROTOCOL_TLSV1, nullptr);
        serverEngine->Initialize(TW_SSL_PROTOCOL_TLSV1, serverCiphers);
        return clientEngine->BindClient(pki.caPath.c_str(), nullptr) &&
               serverEngine->BindServer(pki.serverPem.c_str(), nullptr, nullptr, pki.caPath.c_str(), nullptr);
    }
    void Start() {
        server = serverEngine->StartSession(serverEnd, "client", 0x0100007F, 1);
        client = clientEngine->StartSession(clientEnd, "gateway.test", 0x0100007F, 443);
    }
    static bool Feed(TwSslEngine& engine, TwSslSession& session, std::vector<std::uint8_t>& inbox,
                     std::vector<std::uint8_t> bytes, std::size_t chunk) {
        bool moved = !bytes.empty();
        std::size_t pos = 0;
        do {
            std::size_t n = chunk ? std::min(chunk, bytes.size() - pos) : bytes.size() - pos;
            inbox.insert(inbox.end(), bytes.begin() + static_cast<long>(pos),
                         bytes.begin() + static_cast<long>(pos + n));
            pos += n;
            std::size_t used = engine.ProcessReceived(session, inbox.data(), inbox.size());
            inbox.erase(inbox.begin(), inbox.begin() + static_cast<long>(std::min(used, inbox.size())));
        } while (pos < bytes.size());
        return moved;
    }
    // Moves bytes both ways until neither side has anything to say (bounded).
    void Pump(int rounds = 200) {
        for (int i = 0; i < rounds; ++i) {
            bool moved = false;
            if (server && !serverEnd->IsClosed())
                moved |= Deliver(*serverEngine, *server, serverInbox, clientEnd->Take(), toServer.get());
            if (client && !clientEnd->IsClosed())
                moved |= Deliver(*clientEngine, *client, clientInbox, serverEnd->Take(), toClient.get());
            if (!moved) return;
        }
    }

private:
    bool Deliver(TwSslEngine& engine, TwSslSession& session, std::vector<std::uint8_t>& inbox,
                 std::vector<std::uint8_t> bytes, FaultWire* wire) {
        if (bytes.empty()) return false;
        if (wire == nullptr) return Feed(engine, session, inbox, std::move(bytes), chunk);
        for (auto& piece : wire->Pass(bytes.data(), bytes.size()))
            Feed(engine, session, inbox, std::move(piece.bytes), chunk);
        return true;
    }
};

}  // namespace testsupport
