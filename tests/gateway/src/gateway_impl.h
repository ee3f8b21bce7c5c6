// The gateway's inside, shared by its two source files: the listener and threads
// (test_gateway.cpp) and the message handling on the socket engine's workers (gateway_session.cpp).
#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "batch_sender.h"
#include "credentials.h"
#include "gateway/test_gateway.h"
#include "packet_device.h"
#include "platform/busy_poll.h"
#include "platform/unique_fd.h"
#include "prendle/socket_server.h"
#include "tamberk/ssl_state_machine.h"
#include "wendrel/ssr_codec.h"

namespace qelgw {

using Clock = std::chrono::steady_clock;
using Session = SharedObjectPtr<SharedObject>;

// One logged-on user.
struct Client {
    std::uint32_t sessionId = 0;
    std::string user;
    std::string certName;
    std::string ticket;
    std::uint32_t vip = 0;
    bool registrationDue = false;
    bool online = false;
    bool answered = false;  // online, and the answer that says so has left: keep-alives may follow
    bool cutSent = false;
    Clock::time_point onlineSince;
    Session tunnel;  // the TLS session that carries its data once online
};

// One TLS session, with the compression streams of its tunnel.
struct Conn {
    Session session;
    SsrZlibStream* zlib = nullptr;
    std::mutex sendLock;  // one data message built and sent at a time (the deflated stream's order)
    std::uint32_t sessionId = 0;
    explicit Conn(Session s) : session(std::move(s)) { ssr_CreateSsrZlibStream(&zlib); }
    ~Conn() {
        if (zlib) ssr_CloseSsrZlibStream(zlib);
    }
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;
};

// Frames read from the device in one wake-up for one client: they leave in one TLS record, as
// the client's own batches do. The slots are made once.
struct DeviceBatch {
    static constexpr std::size_t kFrames = 48;
    static constexpr std::size_t kBytes = 16 * 1024;  // of frames: about one TLS record's worth
    std::shared_ptr<Conn> conn;
    std::size_t count = 0, bytes = 0;
    std::vector<std::uint8_t> slots = std::vector<std::uint8_t>(kFrames * kMaxFrame);
    std::uint16_t lengths[kFrames] = {};
    std::uint8_t* Slot(std::size_t i) { return slots.data() + i * kMaxFrame; }
};

// What the data messages of one delivery need of the shared state, looked up once, and what they
// did, counted once: a delivery of a busy tunnel carries dozens of frames.
struct DeliveryTally {
    bool resolved = false;  // vip and sink are looked up (again after any control message)
    std::uint32_t vip = 0;  // the sender's virtual address while it is online, else 0
    TestGateway::FrameSink sink;
    std::uint64_t delivered = 0, dropped = 0;
};

// A connection between accept and TLS: its hello is being read, or it is kept silent.
struct Pending {
    platform::UniqueFd fd;
    std::string hello;
    Clock::time_point deadline;
    bool silent = false;
};

struct Registration {
    std::shared_ptr<Conn> conn;
    std::uint32_t sessionId = 0;
    Clock::time_point deadline;
};

class TestGateway::Impl {
public:
    explicit Impl(GatewayConfig config) : m_config(std::move(config)) {}
    ~Impl() { Stop(); }

    bool Start(std::string* error);
    void Stop();

    // test_gateway.cpp: threads.
    void ListenLoop();
    void TimerLoop();
    void DeviceLoop();
    void ServeHello(Pending& p);
    bool FinishHello(Pending& p);
    void Tick();
    Clock::time_point NextTickLocked(Clock::time_point now) const;
    void TimerChangedLocked();

    // gateway_session.cpp: messages.
    static std::uint32_t ContentHandler(TwSslAPI* api, TwSslMessage* message);
    std::uint32_t Dispatch(const std::shared_ptr<Conn>& conn, const std::uint8_t* data, std::size_t size);
    void OnConnect(const Session& session);
    void OnDisconnect(const Session& session);
    void HandleControl(const std::shared_ptr<Conn>& conn, const std::uint8_t* msg, std::size_t length);
    void HandleData(const std::shared_ptr<Conn>& conn, const std::uint8_t* msg, std::size_t length,
                    DeliveryTally& tally);
    void HandleLogon(const std::shared_ptr<Conn>& conn, const std::uint8_t* msg, std::size_t length);
    void HandleRegistration(const std::shared_ptr<Conn>& conn, const std::uint8_t* msg, std::size_t length);
    void HandlePasswordChange(const std::shared_ptr<Conn>& conn, const std::uint8_t* msg, std::size_t length);
    void FinishRegistration(const Registration& r, bool certificateOk);
    void GoOnline(const std::shared_ptr<Client>& client, const std::shared_ptr<Conn>& conn);
    // The answer that put `client` online has been sent.
    void Answered(const std::shared_ptr<Client>& client);
    std::shared_ptr<Client> NewClient(const UserAccount& account, std::uint32_t requestedSession);
    bool Send(const std::shared_ptr<Conn>& conn, const std::vector<std::uint8_t>& msg);
    bool SendFrameTo(const std::shared_ptr<Conn>& conn, const std::uint8_t* frame, std::size_t length);
    void SendBatch(DeviceBatch& batch);
    bool SendQueued(Conn& conn, const std::uint8_t* data, std::size_t length, bool flush);
    void CountQueued(std::size_t sent, std::size_t dropped);
    // Reads the device until it runs dry (or a bound, so a stop is seen): false on a read error.
    bool DrainDevice(DeviceBatch& batch);
    void DeliverFrame(DeliveryTally& tally, const std::uint8_t* frame, std::size_t length);
    std::shared_ptr<Conn> TunnelFor(std::uint32_t vip);
    void Nak(const std::shared_ptr<Conn>& conn, std::uint32_t code, const std::string& text);
    int CutOff(bool onlyDue);

    GatewayConfig m_config;
    Credentials m_credentials;
    SharedObjectPtr<TwSocketServer> m_socketServer;
    std::unique_ptr<TwSslStateMachine> m_tls;
    TwSslAPI* m_api = nullptr;
    std::unique_ptr<PacketDevice> m_device;
    std::unique_ptr<BatchSender> m_batchSender;  // with a device: its batches' encryption and sends
    platform::UniqueFd m_listen;
    platform::UniqueFd m_stopFd;  // eventfd: the threads' poll wakes on it
    unsigned short m_port = 0;
    std::thread m_listener, m_timer, m_deviceThread;
    platform::BurstHint m_deviceBurst;  // the device thread's
    std::atomic<bool> m_running{false};

    mutable std::mutex m_lock;          // everything below
    std::condition_variable m_cv;       // Stop waits here for the running handlers
    std::condition_variable m_timerCv;  // the timer thread waits here for its next deadline
    bool m_stopping = false;
    int m_activeHandlers = 0;
    GatewayCounters m_counters;
    std::map<SharedObject*, std::shared_ptr<Conn>> m_conns;
    std::map<std::uint32_t, std::shared_ptr<Client>> m_clients;  // by session id
    std::vector<Registration> m_registrations;
    std::vector<std::shared_ptr<Conn>> m_keySwitches;
    std::uint32_t m_nextSessionId = 0;
    Clock::time_point m_lastKeepAlive;
    std::uint64_t m_timerChanges = 0;  // bumped when the timer's next deadline may have moved
    FrameSink m_sink;
};

}  // namespace qelgw
