// Frames per second and Gbit/s through the engine's whole data path, in a network namespace of
// our own (needs root):
//   stack -> TAP -> driver daemon -> output ring -> receive thread -> SSR data messages -> TLS
//   -> loopback TCP -> a gateway that turns each frame round -> TLS -> content handler ->
//   input ring -> driver -> TAP -> stack
// The stack side is a UDP socket on the virtual adapter's address sending to an address behind
// the tunnel; the gateway swaps the frame's addresses and ports, so every datagram comes back to
// the same socket. Prints the round trip's frames/s and Gbit/s (each way), the idle-to-busy round
// trip time, and, in the same run, the raw figures of the driver and TLS benchmarks.
// Usage: engine_datapath_bench [seconds] [--no-reference]
#include <arpa/inet.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "engine/packet_port.h"
#include "engine/tunnel_data_path.h"
#include "morbeck/morbeck.h"
#include "platform/process.h"
#include "platform/unique_fd.h"
#include "prendle/socket_client.h"
#include "prendle/socket_server.h"
#include "tamberk/ssl_state_machine.h"
#include "testsupport/command.h"
#include "testsupport/netns.h"
#include "testsupport/temp_root.h"
#include "wendrel/ssr_codec.h"
#include "testsupport/certs.h"

namespace {

using SteadyClock = std::chrono::steady_clock;
const BYTE kMac0[6] = {0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x00};
constexpr std::size_t kPayload = 1400;  // a 1,442-byte frame
constexpr int kWindow = 192;            // datagrams in flight per burst

DWORD Ip(const char* text) {
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

// The gateway: every data message comes back with the frame turned round (MACs, addresses and
// ports swapped, which leaves both checksums valid), all messages of one delivery in one send.
std::uint32_t GatewayProc(TwSslAPI* api, TwSslMessage* message) {
    if (message->code != TW_MSG_SSL_RECEIVE) return 0;
    const auto* data = reinterpret_cast<const std::uint8_t*>(message->data->data);
    const std::size_t size = message->data->size;
    thread_local std::vector<std::uint8_t> out;
    out.clear();
    std::size_t at = 0;
    while (at + 4 <= size) {
        const std::size_t len = static_cast<std::size_t>((data[at + 2] << 8) | data[at + 3]);
        if (at + 4 + len > size) break;
        if (data[at] == 0x03 && data[at + 1] == 0 && len >= 42) {
            const std::size_t o = out.size();
            out.insert(out.end(), data + at, data + at + 4 + len);
            std::uint8_t* f = out.data() + o + 4;
            std::uint8_t t[6];
            std::memcpy(t, f, 6);
            std::memcpy(f, f + 6, 6);
            std::memcpy(f + 6, t, 6);
            std::memcpy(t, f + 26, 4);
            std::memcpy(f + 26, f + 30, 4);
            std::memcpy(f + 30, t, 4);
            const std::size_t ihl = static_cast<std::size_t>(f[14] & 0x0F) * 4;
            std::memcpy(t, f + 14 + ihl, 2);
            std::memcpy(f + 14 + ihl, f + 16 + ihl, 2);
            std::memcpy(f + 16 + ihl, t, 2);
        }
        at += 4 + len;
    }
    message->data->result = static_cast<std::uint32_t>(at);
    if (!out.empty())
        api->SendMsg(message->session, reinterpret_cast<const char*>(out.data()),
                     static_cast<int>(out.size()), true);
    return 0;
}

struct Client final : engine::TunnelSender, engine::TunnelControlSink {
    std::mutex m;
    std::condition_variable cv;
    SharedObjectPtr<SharedObject> session;
    TwSslAPI* api = nullptr;
    engine::TunnelDataPath* path = nullptr;

    int SendTunnelBytes(const std::uint8_t* data, std::size_t length, bool more) override {
        return api->SendMsg(session, reinterpret_cast<const char*>(data), static_cast<int>(length), !more);
    }
    bool TunnelOnline() override { return true; }
    void OnGatewayMessage() override {}
    void OnControlMessage(const std::uint8_t*, std::size_t) override {}
    void OnTunnelFault(int) override {}
};

std::uint32_t ClientProc(TwSslAPI*, TwSslMessage* message) {
    auto* c = static_cast<Client*>(message->context);
    if (message->code == TW_MSG_SSL_CONNECT) {
        std::lock_guard<std::mutex> lock(c->m);
        c->session = message->session;
        c->cv.notify_all();
    } else if (message->code == TW_MSG_SSL_RECEIVE) {
        message->data->result = static_cast<std::uint32_t>(c->path->OnDelivery(
            reinterpret_cast<const std::uint8_t*>(message->data->data), message->data->size));
    }
    return 0;
}

void RunReference(const std::string& program, const std::string& argument) {
    const std::string path = testsupport::BinDir() + "/" + program;
    if (access(path.c_str(), X_OK) != 0) {
        std::printf("(%s not built)\n", program.c_str());
        return;
    }
    std::printf("---- %s %s ----\n", program.c_str(), argument.c_str());
    std::fflush(stdout);
    platform::RunAndWait({path, argument});
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 && argv[1][0] != '-' ? std::atoi(argv[1]) : 3;
    bool reference = true;
    for (int i = 1; i < argc; ++i) reference = reference && std::strcmp(argv[i], "--no-reference") != 0;
    if (!testsupport::IsRoot()) {
        std::fprintf(stderr, "engine_datapath_bench: needs root (a network namespace of its own)\n");
        return 1;
    }
    if (reference) {
        RunReference("olvane_bench", "100000");
        RunReference("tls_bench", "128");
    }
    testsupport::NetnsScope netns;
    if (!netns.Ok()) return 1;
    testsupport::TempRoot root{"engine-datapath-bench"};
    const pid_t daemon = platform::Spawn({testsupport::BinDir() + "/Olvane", "--protocol-delay-ms=0"});
    if (daemon <= 0) return 1;
    int rc = 1;
    {
        CMorbeck driver;
        void* adapter = nullptr;
        for (int i = 0; i < 1000 && adapter == nullptr; ++i) {
            driver.OpenFilterHandler();
            if (driver.IsDriverLoaded() != 1 || driver.GetAdapterHandleByMacAddress(kMac0, &adapter) != 1) {
                adapter = nullptr;
                usleep(10000);
            }
        }
        TW_MEDIA_STATUS media{};
        std::memcpy(media.mac, kMac0, 6);
        media.state = 1;
        if (adapter == nullptr || driver.StartShare() != 1 || driver.SetAdapterMediaStatus(&media) != 1 ||
            testsupport::Run({"ip", "addr", "add", "198.18.0.2/24", "dev", "qelmini0"}) != 0 ||
            testsupport::Run({"ip", "link", "set", "qelmini0", "up"}) != 0 ||
            testsupport::Run({"ip", "link", "set", "lo", "up"}) != 0) {
            std::fprintf(stderr, "engine_datapath_bench: the driver did not come up\n");
            testsupport::StopProcess(daemon);
            return 1;
        }
        engine::MorbeckPacketPort port(driver, adapter);
        engine::TwGatewayPolicy policy(std::make_shared<platform::SettingsStore>(root.Path() + "/s.db"));
        policy.ApplyPolicy("policy allow out any 0 0 198.18.0.0/255.255.255.0 x y\n");
        Client client;
        engine::EngineTiming timing;
        engine::TunnelDataPath path(port, policy, client, client, timing);
        client.path = &path;
        engine::DataPathSession s;
        s.virtualIp = Ip("198.18.0.2");
        s.mask = Ip("255.255.255.0");
        path.Configure(s);
        path.Switches().arpAnswering.store(true);
        path.Switches().active.store(true);

        const std::string pem = root.Path() + "/gw.pem", ca = root.Path() + "/trusted";
        std::filesystem::create_directories(ca);
        testsupport::WritePem(pem, testsupport::MakeCert("bench.gateway", nullptr, false), true);
        auto socketServer = TwSocketServer::CreatePrendle();
        auto socketClient = TwSocketClient::CreateSockClient();
        TwSslStateMachine gateway, tunnel;
        gateway.Initialize(TW_SSL_PROTOCOL_TLSV1, "ECDHE-RSA-AES128-GCM-SHA256");
        gateway.RegisterSslContentHandler(&GatewayProc, nullptr, 23, 65536);
        tunnel.Initialize(TW_SSL_PROTOCOL_TLSV1, nullptr);
        TwCertificateVerificationPolicy verify{0, 8, 1};
        tunnel.SetCertVerifyPolicy(&verify);
        tunnel.RegisterSslContentHandler(&ClientProc, &client, 23, 8192);
        client.api = tunnel.GetSslAPI();
        int error = 0, system = 0;
        if (!gateway.BindToSocketServer(socketServer.get(), pem.c_str(), nullptr, nullptr, ca.c_str(),
                                        nullptr) ||
            !gateway.StartSslServer(htonl(INADDR_LOOPBACK), 0) ||
            !tunnel.BindToSocketClient(socketClient.get(), ca.c_str(), nullptr) ||
            !tunnel.ConnectToSslServer("127.0.0.1", socketServer->ListenPort(), nullptr, &error, &system)) {
            std::fprintf(stderr, "engine_datapath_bench: TLS set-up failed (%d/%d)\n", error, system);
        } else {
            std::unique_lock<std::mutex> lock(client.m);
            client.cv.wait_for(lock, std::chrono::seconds(10),
                               [&] { return static_cast<bool>(client.session); });
        }
        if (client.session && path.Start()) {
            platform::UniqueFd sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
            sockaddr_in local{};
            local.sin_family = AF_INET;
            local.sin_port = htons(7000);
            local.sin_addr.s_addr = Ip("198.18.0.2");
            bind(sock.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local);
            const int buf = 4 << 20;
            setsockopt(sock.Get(), SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
            setsockopt(sock.Get(), SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf);
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(7001);
            to.sin_addr.s_addr = Ip("198.18.0.1");
            std::vector<char> payload(kPayload, 'x'), got(2048);
            auto receive = [&](int timeoutMs) {
                pollfd p{sock.Get(), POLLIN, 0};
                if (poll(&p, 1, timeoutMs) <= 0) return false;
                return recv(sock.Get(), got.data(), got.size(), 0) > 0;
            };
            // Idle-to-busy round trips: one datagram at a time, the reader asleep in between.
            std::vector<double> rtt;
            for (int i = 0; i < 300; ++i) {
                usleep(2000);
                const auto t0 = SteadyClock::now();
                sendto(sock.Get(), payload.data(), 64, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
                if (receive(1000)) {
                    rtt.push_back(std::chrono::duration<double, std::micro>(SteadyClock::now() - t0).count());
                }
            }
            // Bulk: bursts of a window of datagrams, each burst waited for.
            std::uint64_t sent = 0, back = 0;
            const auto start = SteadyClock::now();
            const auto end = start + std::chrono::seconds(seconds);
            while (SteadyClock::now() < end) {
                for (int i = 0; i < kWindow; ++i) {
                    if (sendto(sock.Get(), payload.data(), payload.size(), 0,
                               reinterpret_cast<sockaddr*>(&to), sizeof to) > 0)
                        ++sent;
                }
                int n = 0;
                while (n < kWindow && receive(100)) ++n;
                back += static_cast<std::uint64_t>(n);
            }
            const double elapsed = std::chrono::duration<double>(SteadyClock::now() - start).count();
            const engine::DataPathStats st = path.Stats();
            path.Stop();
            std::sort(rtt.begin(), rtt.end());
            const double frameBits = (kPayload + 42) * 8.0;
            const double fps = static_cast<double>(back) / elapsed;
            std::printf("---- engine data path ----\n");
            std::printf(
                "round trip ring -> data path -> TLS -> socket -> gateway and back, %zu-byte frames\n",
                kPayload + 42);
            std::printf("  %10.0f frames/s each way  %6.2f Gbit/s each way  (%llu of %llu back)\n", fps,
                        fps * frameBits / 1e9, static_cast<unsigned long long>(back),
                        static_cast<unsigned long long>(sent));
            if (!rtt.empty()) {
                std::printf("  idle-to-busy round trip (64-byte datagram): median %.0f us, 90%% %.0f us\n",
                            rtt[rtt.size() / 2], rtt[rtt.size() * 9 / 10]);
            }
            std::printf(
                "  sends %llu (%.1f frames per send), reader wake-ups %llu, drops: ring %llu, send %llu\n",
                static_cast<unsigned long long>(st.sends),
                st.sends ? static_cast<double>(st.framesToGateway) / static_cast<double>(st.sends) : 0.0,
                static_cast<unsigned long long>(st.wakeups),
                static_cast<unsigned long long>(st.dropsRingFull),
                static_cast<unsigned long long>(st.dropsSend));
            rc = back > 0 ? 0 : 1;
        }
        path.Stop();
        tunnel.Terminate();
        gateway.Terminate();
    }
    testsupport::StopProcess(daemon);
    return rc;
}
