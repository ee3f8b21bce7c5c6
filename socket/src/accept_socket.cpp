#include "accept_socket.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <cstring>

#include "platform/errors.h"

namespace prendle {

TwAcceptSocket* AsConnection(const SharedObjectPtr<SharedObject>& session) {
    return dynamic_cast<TwAcceptSocket*>(session.get());
}

TwAcceptSocket::TwAcceptSocket(Engine* engine) : TwSocket("TwAcceptSocket"), m_engine(engine) {
    m_buffer = new char[kRecvBufferSize];
    Engine::s_liveConnections.fetch_add(1);
}

TwAcceptSocket::~TwAcceptSocket() {
    Close();
    delete[] m_buffer;
    Engine::s_liveConnections.fetch_sub(1);
}

void TwAcceptSocket::Adopt(int fd) {
    m_socket.Reset(fd);
    Touch();
    if (fd >= 0) {
        int flags = fcntl(fd, F_GETFL, 0);
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    }
}

int TwAcceptSocket::SetUp() {
    int on = 1;
    int idle = 120;  // keep-alive after two minutes of silence
    setsockopt(m_socket.Get(), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
    setsockopt(m_socket.Get(), IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof(idle));
    // No fixed SO_RCVBUF/SO_SNDBUF of 64 KB: on Linux a fixed size turns the kernel's buffer
    // tuning off and caps the window at 64 KB per round trip, which at a tunnel's round trip under
    // load is far below what the link carries. The kernel's own sizing grows with the path.
    setsockopt(m_socket.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    m_buffered = 0;
    m_valid = 1;
    return 1;
}

void TwAcceptSocket::SetProcessCallBack(TwProcessCallBack callback, void* context, TwSocketManager* manager) {
    m_callback.store(callback);
    m_userContext.store(context);
    m_manager = manager;
}

bool TwAcceptSocket::BindToPort() {
    bool bound = m_engine->IoPort().Attach(m_socket.Get(), this);
    m_bound.store(bound);
    return bound;
}

int TwAcceptSocket::StartReceiving() {
    m_receiving.store(true);
    m_readArmed.store(true);
    UpdateInterest();
    return 1;
}

// ---- send path ----

int TwAcceptSocket::EnqueueAndSend(const char* data, int length, bool disconnectAfter) {
    std::lock_guard<std::mutex> guard(m_sendLock);
    if (!m_socket.Valid()) return 0;
    const int original = length;
    // Nothing queued and nothing in flight: the bytes may go straight out, which spares the copy
    // into the queue. Whatever the socket does not take is queued like any other message.
    if (length > 0 && m_current == nullptr && !m_sendBlocked.load() && m_sendQueue.empty()) {
        ssize_t n = send(m_socket.Get(), data, static_cast<std::size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            m_error = static_cast<int>(platform::WsaErrorFromErrno(errno));
            ShutdownLocked(false);
            return 0;
        }
        if (n > 0) {
            data += n;
            length -= static_cast<int>(n);
        }
        if (length == 0 && !disconnectAfter) return 1;
    }
    bool queued = false;
    if (length > 0) {
        auto* msg = static_cast<FIFO_MSG*>(std::malloc(sizeof(FIFO_MSG) + static_cast<std::size_t>(length)));
        if (msg == nullptr && length < original) {
            // Part of the message is out already: a stream going on without its tail would be read
            // wrongly from here on, so it ends instead.
            ShutdownLocked(false);
            return 0;
        }
        if (msg != nullptr) {  // out of memory drops the data, as a failed send would
            msg->type = 0;
            msg->size = static_cast<std::uint32_t>(length);
            std::memcpy(msg->Payload(), data, static_cast<std::size_t>(length));
            m_sendQueue.emplace_back(msg);
            queued = true;
        }
    }
    if (disconnectAfter) {
        auto* marker = static_cast<FIFO_MSG*>(std::malloc(sizeof(FIFO_MSG)));
        if (marker != nullptr) {
            marker->type = 1;
            marker->size = 0;
            m_sendQueue.emplace_back(marker);
            queued = true;
        }
    }
    if (!queued) return 0;
    if (m_sendBlocked.load()) return 1;  // the I/O worker continues once the socket takes more
    return FlushLocked() ? 1 : 0;
}

int TwAcceptSocket::SendQueued() {
    std::lock_guard<std::mutex> guard(m_sendLock);
    if (!m_socket.Valid()) return 0;
    if (m_sendBlocked.load()) return 1;  // the I/O worker continues once the socket takes more
    return FlushLocked() ? 1 : 0;
}

bool TwAcceptSocket::GatherLocked(SendContext* context) {
    context->connection = this;
    while (context->count < SendContext::kMaxBuffers && !m_sendQueue.empty()) {
        FIFO_MSG* msg = m_sendQueue.front().release();
        m_sendQueue.pop_front();
        if (msg->type == 1) {
            std::free(msg);
            context->disconnectAfter = true;
            break;  // nothing queued after a disconnect request can go out anyway
        }
        context->messages[context->count++] = msg;
        context->total += msg->size;
    }
    return context->total > 0;
}

bool TwAcceptSocket::FlushLocked() {
    IoContextPool& pool = m_engine->Pool();
    for (;;) {
        if (!m_socket.Valid()) return false;
        if (m_current == nullptr) {
            if (m_sendQueue.empty()) return true;
            m_current = pool.GetSend();
            if (m_current == nullptr) return false;  // stays queued for the next send
            if (!GatherLocked(m_current)) {
                bool disconnect = m_current->disconnectAfter;
                pool.ReturnSend(m_current);
                m_current = nullptr;
                if (disconnect) ShutdownLocked(true);
                return true;
            }
        }
        iovec iov[SendContext::kMaxBuffers];
        int count = 0;
        std::size_t skip = m_current->sent;
        for (int i = 0; i < m_current->count; ++i) {
            std::size_t size = m_current->messages[i]->size;
            if (skip >= size) {
                skip -= size;
                continue;
            }
            iov[count].iov_base = m_current->messages[i]->Payload() + skip;
            iov[count].iov_len = size - skip;
            ++count;
            skip = 0;
        }
        msghdr header{};
        header.msg_iov = iov;
        header.msg_iovlen = static_cast<std::size_t>(count);
        ssize_t n = sendmsg(m_socket.Get(), &header, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            m_current->sent += static_cast<std::size_t>(n);
            if (m_current->sent < m_current->total) continue;
            bool disconnect = m_current->disconnectAfter;
            pool.ReturnSend(m_current);
            m_current = nullptr;
            if (disconnect) {
                // A reset here would throw away what the kernel still holds of the data
                // queued before the request; an orderly close delivers it first.
                ShutdownLocked(true);
                return true;
            }
            continue;
        }
        int err = errno;
        if (err == EINTR) continue;
        if (err == EAGAIN || err == EWOULDBLOCK) {
            m_sendBlocked.store(true);
            UpdateInterest();
            return true;
        }
        m_error = static_cast<int>(platform::WsaErrorFromErrno(err));
        pool.ReturnSend(m_current);
        m_current = nullptr;
        ShutdownLocked(false);
        return false;
    }
}

int TwAcceptSocket::Shutdown(bool graceful) {
    std::lock_guard<std::mutex> guard(m_sendLock);
    if (!m_socket.Valid() || !m_valid) return 0;
    ShutdownLocked(graceful);
    return 1;
}

void TwAcceptSocket::ShutdownLocked(bool graceful) {
    if (!m_socket.Valid()) return;
    m_ending.store(true);
    linger lg{};
    lg.l_onoff = graceful ? 0 : 1;
    lg.l_linger = 0;
    setsockopt(m_socket.Get(), SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
    shutdown(m_socket.Get(), SHUT_RDWR);
    // An idle session learns of its end from the port.
    UpdateInterest();
}

void TwAcceptSocket::Close() {
    if (m_bound.exchange(false)) m_engine->IoPort().Detach(this);
    std::lock_guard<std::mutex> guard(m_sendLock);
    if (m_current != nullptr) {
        m_engine->Pool().ReturnSend(m_current);
        m_current = nullptr;
    }
    CloseSocket();
}

// ---- receive path ----

std::uint32_t TwAcceptSocket::WantedEvents() {
    std::uint32_t wanted = 0;
    if (m_receiving.load() && !m_readEnded.load() && m_readArmed.load()) wanted |= platform::kIoReadable;
    if (m_sendBlocked.load()) wanted |= platform::kIoWritable;
    return wanted;
}

void TwAcceptSocket::OnIoReady(std::uint32_t events) {
    if (events & platform::kIoWritable) {
        std::lock_guard<std::mutex> guard(m_sendLock);
        m_sendBlocked.store(false);
        FlushLocked();
    }
    if (events & platform::kIoHangup) m_peerClosed.store(true);
    if ((events & platform::kIoReadable) && m_receiving.load() && !m_readEnded.load()) {
        // This worker reads the socket until it runs dry and only then gives it back to the port.
        // Handing the burst to a dispatch worker would cost a wake-up and a switch per burst,
        // which on a tunnel is per round trip; only a session that used up its read budget goes
        // to the dispatch side, behind the others.
        m_readArmed.store(false);
        bool run;
        {
            std::lock_guard<std::mutex> guard(m_deliveryLock);
            m_readRequested = true;
            run = !m_scheduled;
            m_scheduled = true;
        }
        if (run) {
            AddRef();  // as a dispatch worker holds it
            Drain();
            Release();
        }
    }
}

void TwAcceptSocket::Schedule() {
    AddRef();  // released by the dispatch worker that runs the session
    m_engine->DispatchPort().Post({this, this, 0});
}

void TwAcceptSocket::Dispatch(void* key) {
    auto* connection = static_cast<TwAcceptSocket*>(key);
    connection->Drain();
    connection->Release();
}

void TwAcceptSocket::Drain() {
    SharedObjectPtr<SharedObject> self(this);
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(m_deliveryLock);
            if (!m_readRequested) {
                m_scheduled = false;
                return;
            }
            m_readRequested = false;
        }
        switch (ReadBurst()) {
            case Burst::kDrained:
                // Readiness that comes after the re-arm sets the request again, which the loop sees
                // before it lets the session go.
                m_readArmed.store(true);
                UpdateInterest();
                break;
            case Burst::kBudget: {
                // Other sessions get their turn; this one stays scheduled and goes to the back.
                std::lock_guard<std::mutex> guard(m_deliveryLock);
                m_readRequested = true;
            }
                Schedule();
                return;
            case Burst::kEnded:
                m_engine->IoPort().Detach(this);
                if (m_manager != nullptr) {
                    m_manager->DiscCallback(self);
                    m_manager->RemoveSession(this);
                } else {
                    Close();
                }
                return;  // stays scheduled for good: nothing is read after the end
        }
    }
}

TwAcceptSocket::Burst TwAcceptSocket::ReadBurst() {
    for (std::uint32_t round = 0; round < kReadBudget; ++round) {
        std::uint32_t space = kRecvBufferSize - 1 - m_buffered;
        if (space == 0) {
            // A full buffer the callback takes nothing from can never move again; dropping
            // bytes would corrupt the stream, so the session ends instead.
            Shutdown(false);
            m_readEnded.store(true);
            return Burst::kEnded;
        }
        ssize_t n = recv(m_socket.Get(), m_buffer + m_buffered, space, MSG_DONTWAIT);
        if (n > 0) {
            Deliver(static_cast<std::uint32_t>(n));
            // A short read has emptied the socket, unless the peer's end still waits behind it.
            if (static_cast<std::uint32_t>(n) < space && !m_peerClosed.load()) return Burst::kDrained;
            continue;
        }
        int err = errno;
        if (n < 0 && err == EINTR) continue;
        if (n < 0 && (err == EAGAIN || err == EWOULDBLOCK)) {
            return Burst::kDrained;
        }
        if (n < 0) m_error = static_cast<int>(platform::WsaErrorFromErrno(err));
        m_readEnded.store(true);
        return Burst::kEnded;
    }
    return Burst::kBudget;
}

void TwAcceptSocket::Touch() {
    m_lastActivity.store(std::chrono::steady_clock::now().time_since_epoch().count());
}

void TwAcceptSocket::Deliver(std::uint32_t bytes) {
    Touch();
    std::uint32_t length = m_buffered + bytes;
    std::uint32_t consumed = 0;
    TwProcessCallBack callback = m_callback.load();
    if (callback != nullptr) {
        _TwRecvRecord record{m_buffer, length, 0};
        _TwMessage message;
        message.code = TW_MSG_RECEIVE;
        message.userContext = m_userContext.load();
        message.session = this;
        message.sessionCtx = GetSessionCtx();
        message.param = reinterpret_cast<std::uintptr_t>(&record);
        callback(m_manager, &message);
        consumed = std::min(record.consumed, length);
    }
    std::uint32_t left = length - consumed;
    if (left > 0 && consumed > 0) std::memmove(m_buffer, m_buffer + consumed, left);
    m_buffered = left;
}

// ---- session information ----

void TwAcceptSocket::SetSessionCtx(SharedObjectPtr<SharedObject> context) {
    std::lock_guard<std::mutex> guard(m_infoLock);
    m_sessionCtx = context;
}

SharedObjectPtr<SharedObject> TwAcceptSocket::GetSessionCtx() {
    std::lock_guard<std::mutex> guard(m_infoLock);
    return m_sessionCtx;
}

void TwAcceptSocket::SetAddressGiven(unsigned long address, unsigned short port) {
    std::lock_guard<std::mutex> guard(m_infoLock);
    m_addressGiven = true;
    m_givenAddress = address;
    m_givenPort = port;
}

bool TwAcceptSocket::AddressGiven(unsigned long* address, unsigned short* port) const {
    auto* self = const_cast<TwAcceptSocket*>(this);
    std::lock_guard<std::mutex> guard(self->m_infoLock);
    *address = m_givenAddress;
    *port = m_givenPort;
    return m_addressGiven;
}

void TwAcceptSocket::SetPeerText(const char* text, unsigned short port) {
    std::lock_guard<std::mutex> guard(m_infoLock);
    m_peerText.assign(text, strnlen(text, 32));
    m_peerPort = port;
}

void TwAcceptSocket::SetAliveCheck(bool on, std::int64_t stampSeconds) {
    std::lock_guard<std::mutex> guard(m_infoLock);
    m_aliveCheck = on;
    m_aliveStamp = on ? stampSeconds : 0;
}

bool TwAcceptSocket::AliveCheck(std::int64_t* stampSeconds) {
    std::lock_guard<std::mutex> guard(m_infoLock);
    *stampSeconds = m_aliveStamp;
    return m_aliveCheck;
}

}  // namespace prendle
