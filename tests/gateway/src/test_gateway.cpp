// Start and stop, the listener with its plain hello, the timer and the device reader.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "gateway_impl.h"

namespace qelgw {

namespace {

constexpr char kHello[] = "CONNECT QEL_GATEWAY HTTP 1.1 \r\n\r\n";
constexpr std::size_t kMaxHello = 1024;
constexpr auto kHelloTimeout = std::chrono::seconds(30);
constexpr int kTickMs = 20;

bool SendText(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string HelloAnswer(const GatewayConfig& c) {
    switch (c.hello) {
        case HelloMode::Welcome: return "HTTP 200 OK\r\n\r\n";
        case HelloMode::WrongWelcome: return "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
        case HelloMode::NotHttp: return "QEL GATEWAY READY\r\n\r\n";
        case HelloMode::Status: return "HTTP " + std::to_string(c.helloStatus) + " Refused\r\n\r\n";
        case HelloMode::BadLength: return "HTTP 200 OK\r\nContent-Length: many\r\n\r\n";
        default: return "";
    }
}

bool OpenListener(const std::string& address, std::uint16_t port, platform::UniqueFd* out,
                  unsigned short* bound, std::string* error) {
    platform::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    int one = 1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    socklen_t length = sizeof a;
    if (fd.Get() < 0 || ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        ::inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1 ||
        ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(fd.Get(), SOMAXCONN) != 0 ||
        ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&a), &length) != 0) {
        if (error)
            *error = "cannot listen on " + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
        return false;
    }
    *bound = ntohs(a.sin_port);
    *out = std::move(fd);
    return true;
}

}  // namespace

bool TestGateway::Impl::Start(std::string* error) {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stopping = false;  // a gateway may be started again after a Stop
    }
    m_nextSessionId = m_config.firstSessionId;
    if (!PrepareCredentials(m_config, &m_credentials, error)) return false;
    m_stopFd.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (m_stopFd.Get() < 0) return *error = "eventfd failed", false;
    if (m_config.device != DeviceKind::None) {
        m_device = PacketDevice::Open(m_config.device, m_config.deviceName, m_config.deviceAddress,
                                      m_config.deviceMask, error);
        if (!m_device) return false;
    }
    if (!OpenListener(m_config.listenAddress, m_config.port, &m_listen, &m_port, error)) return false;
    m_socketServer = TwSocketServer::CreatePrendle();
    m_tls = std::make_unique<TwSslStateMachine>();
    const char* key = m_credentials.keyFile.empty() ? nullptr : m_credentials.keyFile.c_str();
    // The cache holds the largest message a client can send, so no message is ever split for us.
    if (m_tls->Initialize(TW_SSL_PROTOCOL_TLSV1, m_config.ciphers.c_str()) != 1 ||
        m_tls->RegisterSslContentHandler(&Impl::ContentHandler, this, 23, 70000) == nullptr ||
        m_tls->BindToSocketServer(m_socketServer.get(), m_credentials.certFile.c_str(), key, nullptr,
                                  m_credentials.trustPath.c_str(), nullptr) != 1) {
        if (error) *error = "the TLS library refused the server settings (" + m_credentials.certFile + ")";
        m_tls->Terminate();
        m_tls.reset();
        m_socketServer = nullptr;
        return false;
    }
    m_api = m_tls->GetSslAPI();
    m_lastKeepAlive = Clock::now();
    m_running = true;
    m_listener = std::thread([this] { ListenLoop(); });
    m_timer = std::thread([this] { TimerLoop(); });
    if (m_device) {
        m_batchSender = std::make_unique<BatchSender>(
            [this](Conn& c, const std::uint8_t* d, std::size_t n, bool flush) {
                return SendQueued(c, d, n, flush);
            },
            [this](std::size_t sent, std::size_t dropped) { CountQueued(sent, dropped); });
        m_deviceThread = std::thread([this] { DeviceLoop(); });
    }
    return true;
}

void TestGateway::Impl::Stop() {
    if (!m_running.exchange(false)) return;
    const std::uint64_t one = 1;
    if (::write(m_stopFd.Get(), &one, sizeof one) < 0) {
        // Cannot fail for a counter this far from its limit; the poll of every thread waits on it.
    }
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_timerCv.notify_all();
    }
    for (std::thread* t : {&m_listener, &m_timer, &m_deviceThread})
        if (t->joinable()) t->join();
    // What the device thread queued still reaches its clients before their sessions end.
    if (m_batchSender) m_batchSender->Stop();
    std::vector<Session> sessions;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        for (auto& [key, conn] : m_conns) sessions.push_back(conn->session);
    }
    for (auto& s : sessions) m_api->DisconnectSock(s);
    m_tls->Terminate();
    {
        // Handlers that were already running finish before the state they use goes away.
        std::unique_lock<std::mutex> lock(m_lock);
        m_stopping = true;
        m_cv.wait(lock, [this] { return m_activeHandlers == 0; });
        m_conns.clear();
        m_clients.clear();
        m_registrations.clear();
        m_keySwitches.clear();
    }
    m_tls.reset();
    m_socketServer = nullptr;
    m_device.reset();
    m_listen.Reset();
}

void TestGateway::Impl::ListenLoop() {
    std::vector<Pending> pending;
    while (m_running) {
        std::vector<pollfd> fds = {{m_stopFd.Get(), POLLIN, 0}, {m_listen.Get(), POLLIN, 0}};
        for (auto& p : pending) fds.push_back({p.fd.Get(), POLLIN, 0});
        // The stop descriptor wakes the poll; a hello that is being read bounds it by its deadline.
        int timeout = -1;
        const auto now = Clock::now();
        for (const auto& p : pending) {
            if (p.silent) continue;
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(p.deadline - now).count();
            timeout = static_cast<int>(std::clamp<long long>(left, 0, timeout < 0 ? INT_MAX : timeout));
        }
        if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) break;
        if (fds[0].revents) break;
        if (fds[1].revents & POLLIN) {
            const int fd = ::accept4(m_listen.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd >= 0)
                pending.push_back(Pending{platform::UniqueFd(fd), "", Clock::now() + kHelloTimeout, false});
        }
        for (std::size_t i = 0; i + 2 < fds.size(); ++i)
            if (fds[i + 2].revents) ServeHello(pending[i]);
        const auto after = Clock::now();
        std::erase_if(pending,
                      [&](const Pending& p) { return p.fd.Get() < 0 || (!p.silent && after > p.deadline); });
    }
}

// Reads what the client sent; once its hello is whole, answers it. A finished or failed
// connection leaves the list with its descriptor closed or handed to the TLS library.
void TestGateway::Impl::ServeHello(Pending& p) {
    char buf[512];
    const ssize_t n = ::recv(p.fd.Get(), buf, sizeof buf, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0 || p.silent) {
        // A silent gateway still notices the client giving up, and drops the connection then.
        if (n <= 0) p.fd.Reset();
        return;
    }
    p.hello.append(buf, static_cast<std::size_t>(n));
    const auto end = p.hello.find("\r\n\r\n");
    if (end == std::string::npos) {
        if (p.hello.size() > kMaxHello) p.fd.Reset();
        return;
    }
    // The client waits for the answer before its TLS hello, so nothing may follow its hello.
    if (p.hello != kHello) {
        std::lock_guard<std::mutex> lock(m_lock);
        ++m_counters.badMessages;
        p.fd.Reset();
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_lock);
        ++m_counters.hellos;
    }
    if (!FinishHello(p)) p.fd.Reset();
}

bool TestGateway::Impl::FinishHello(Pending& p) {
    switch (m_config.hello) {
        case HelloMode::Silent: p.silent = true; return true;
        case HelloMode::Close: return false;
        case HelloMode::Welcome: break;
        default: SendText(p.fd.Get(), HelloAnswer(m_config)); return false;
    }
    if (!SendText(p.fd.Get(), HelloAnswer(m_config))) return false;
    int one = 1;
    ::setsockopt(p.fd.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const int fd = p.fd.Release();
    if (!m_tls->AttachSocket(fd, 0, 0, nullptr)) {
        // The engine did not adopt it; it is ours to close.
        platform::UniqueFd closing(fd);
        return false;
    }
    return true;
}

void TestGateway::Impl::TimerLoop() {
    while (m_running) {
        {
            std::unique_lock<std::mutex> lock(m_lock);
            const auto due = NextTickLocked(Clock::now());
            const std::uint64_t seen = m_timerChanges;
            auto woken = [&] { return !m_running || m_timerChanges != seen; };
            if (due == Clock::time_point::max())
                m_timerCv.wait(lock, woken);
            else
                m_timerCv.wait_until(lock, due, woken);
        }
        if (!m_running) break;
        Tick();
    }
}

// An idle gateway sleeps until its next real deadline: only a registration whose certificate is
// being asked for, or a key switch to make, is looked at every tick. Whatever adds work or a
// deadline bumps m_timerChanges under the lock and wakes the loop.
Clock::time_point TestGateway::Impl::NextTickLocked(Clock::time_point now) const {
    if (!m_registrations.empty() || !m_keySwitches.empty()) return now + std::chrono::milliseconds(kTickMs);
    auto due = Clock::time_point::max();
    bool online = false;
    for (const auto& [sid, client] : m_clients) {
        if (!client->online) continue;
        online = true;
        if (m_config.forcedLogoffSeconds > 0 && !client->cutSent)
            due = std::min(due, client->onlineSince + std::chrono::seconds(m_config.forcedLogoffSeconds));
    }
    if (online && m_config.keepAliveSeconds > 0)
        due = std::min(due, m_lastKeepAlive + std::chrono::seconds(m_config.keepAliveSeconds));
    return due;
}

void TestGateway::Impl::TimerChangedLocked() {
    ++m_timerChanges;
    m_timerCv.notify_all();
}

void TestGateway::Impl::Tick() {
    const auto now = Clock::now();
    std::vector<std::pair<Registration, bool>> done;
    std::vector<std::shared_ptr<Conn>> switches;
    std::vector<std::shared_ptr<Conn>> keepAlive;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        for (auto it = m_registrations.begin(); it != m_registrations.end();) {
            const int status = m_api->GetRehandshakeStatus(it->conn->session);
            if (status == TW_REHANDSHAKE_COMPLETED || status == TW_REHANDSHAKE_FAILED || now > it->deadline) {
                done.emplace_back(*it, status == TW_REHANDSHAKE_COMPLETED);
                it = m_registrations.erase(it);
            } else {
                ++it;
            }
        }
        switches.swap(m_keySwitches);
        if (m_config.keepAliveSeconds > 0 &&
            now - m_lastKeepAlive >= std::chrono::seconds(m_config.keepAliveSeconds)) {
            m_lastKeepAlive = now;
            // A keep-alive that overtook the logon answer would be read as the answer.
            for (auto& [sid, client] : m_clients)
                if (client->online && client->answered)
                    if (auto it = m_conns.find(client->tunnel.get()); it != m_conns.end())
                        keepAlive.push_back(it->second);
        }
    }
    for (auto& [r, ok] : done) FinishRegistration(r, ok);
    for (auto& conn : switches) m_api->OpenKeyId(conn->session, m_config.keyId);
    for (auto& conn : keepAlive) {
        if (Send(conn, BuildHeaderOnly(SSR_CODE_MNG_KEEP_ALIVE_REQUEST))) {
            std::lock_guard<std::mutex> lock(m_lock);
            ++m_counters.keepAliveRequestsSent;
        }
    }
    if (m_config.forcedLogoffSeconds > 0) CutOff(true);
}

void TestGateway::Impl::DeviceLoop() {
    DeviceBatch batch;
    while (m_running) {
        pollfd fds[2] = {{m_stopFd.Get(), POLLIN, 0}, {m_device->Fd(), POLLIN, 0}};
        // Frames left of a read cut into many are taken without waiting for the device.
        const bool pending = m_device->ReadPending();
        if (::poll(fds, 2, pending ? 0 : -1) < 0 && errno != EINTR) break;  // the stop descriptor wakes it
        if (fds[0].revents) break;
        if (!(fds[1].revents & POLLIN) && !pending) continue;
        const bool ok = DrainDevice(batch);
        SendBatch(batch);
        if (!ok) break;
    }
}

// Every frame the device holds goes into the batch of its client; a full batch, or a frame for
// another client, sends the batch first. The last batch is the caller's to send.
bool TestGateway::Impl::DrainDevice(DeviceBatch& batch) {
    constexpr int kReadsPerWake = 256;
    // The client of the last destination, looked up once per wake-up rather than per frame (the
    // lookup takes the lock the message handlers need): a client that leaves meanwhile gets at
    // most this wake-up's frames, which its closing session drops.
    std::uint32_t lastDestination = 0;
    std::shared_ptr<Conn> lastConn;
    bool alone = false;
    for (int reads = 0; reads < kReadsPerWake; ++reads) {
        // A frame that came alone most likely left the device empty: the poll, not a read that
        // returns EAGAIN, comes next (platform/busy_poll.h).
        if (alone) return true;
        if (batch.count == DeviceBatch::kFrames) SendBatch(batch);
        std::uint8_t* frame = batch.Slot(batch.count);
        const long n = m_device->ReadFrame(frame);
        if (n == PacketDevice::kDrained) return true;
        if (n < 0) return false;
        if (n == 0) continue;
        alone = !m_deviceBurst.TookFrame() && !m_device->ReadPending();
        const auto length = static_cast<std::size_t>(n);
        std::uint8_t reply[42];
        if (m_device->Kind() == DeviceKind::Tap && MakeArpReply(frame, length, reply)) {
            const std::uint32_t target = (std::uint32_t{frame[38]} << 24) | (std::uint32_t{frame[39]} << 16) |
                                         (std::uint32_t{frame[40]} << 8) | frame[41];
            if (TunnelFor(target)) m_device->WriteFrame(reply, sizeof reply);
            continue;
        }
        const std::uint32_t destination = FrameDestination(frame, length);
        if (destination == 0) continue;
        if (destination != lastDestination) {
            lastConn = TunnelFor(destination);
            lastDestination = destination;
        }
        auto conn = lastConn;
        if (!conn) continue;
        if (batch.count > 0 && (batch.conn != conn || batch.bytes + length > DeviceBatch::kBytes)) {
            // The frame sits in the slot after the batch: it moves to the first one once sent.
            std::uint8_t held[kMaxFrame];
            std::memcpy(held, frame, length);
            SendBatch(batch);
            frame = batch.Slot(0);
            std::memcpy(frame, held, length);
        }
        batch.conn = std::move(conn);
        batch.lengths[batch.count++] = static_cast<std::uint16_t>(length);
        batch.bytes += length;
    }
    return true;
}

// ---- the public face ----

TestGateway::TestGateway(GatewayConfig config) : m_impl(std::make_unique<Impl>(std::move(config))) {}
TestGateway::~TestGateway() { Stop(); }

bool TestGateway::Start(std::string* error) {
    std::string ignored;
    if (!m_impl->Start(error ? error : &ignored)) {
        m_impl->Stop();
        return false;
    }
    return true;
}

void TestGateway::Stop() { m_impl->Stop(); }
unsigned short TestGateway::Port() const { return m_impl->m_port; }
const GatewayConfig& TestGateway::Config() const { return m_impl->m_config; }

GatewayCounters TestGateway::Counters() const {
    std::lock_guard<std::mutex> lock(m_impl->m_lock);
    return m_impl->m_counters;
}

void TestGateway::SetFrameSink(FrameSink sink) {
    std::lock_guard<std::mutex> lock(m_impl->m_lock);
    m_impl->m_sink = std::move(sink);
}

bool TestGateway::SendFrame(std::uint32_t virtualIp, const std::uint8_t* frame, std::size_t length) {
    auto conn = m_impl->TunnelFor(virtualIp);
    return conn && m_impl->SendFrameTo(conn, frame, length);
}

int TestGateway::CutOffAll() { return m_impl->CutOff(false); }

int TestGateway::OnlineCount() const {
    std::lock_guard<std::mutex> lock(m_impl->m_lock);
    int n = 0;
    for (auto& [sid, client] : m_impl->m_clients) n += client->online ? 1 : 0;
    return n;
}

}  // namespace qelgw
