// The packet path: data messages from a client to the device (or the test's sink) and frames
// from the device to the client that owns their destination; and the forced logoff.
#include <algorithm>
#include <climits>

#include "gateway_impl.h"
#include "wendrel/ssr_control.h"

namespace qelgw {

void TestGateway::Impl::HandleData(const std::shared_ptr<Conn>& conn, const std::uint8_t* msg,
                                   std::size_t length, DeliveryTally& tally) {
    if (!tally.resolved) {
        std::lock_guard<std::mutex> lock(m_lock);
        auto it = m_clients.find(conn->sessionId);
        tally.vip = 0;
        if (it != m_clients.end() && it->second->online && it->second->tunnel.get() == conn->session.get())
            tally.vip = it->second->vip;
        tally.sink = m_device ? nullptr : m_sink;
        tally.resolved = true;
    }
    const std::uint32_t vip = tally.vip;
    const std::uint8_t* frame = nullptr;
    std::size_t frameLength = 0;
    std::uint8_t inflated[SSR_ZLIB_FRAME_CAPACITY];
    // A data message is never longer than a frame and its header; a larger one is not a frame.
    if (length <= SSR_ZLIB_MESSAGE_SIZE) {
        short size = static_cast<short>(length);
        if (msg[1] == SSR_CODE_DATA_IP_PACKET) {
            short n = 0;
            const void* p = nullptr;
            if (ssr_ExtractSsrIPPacket(msg, &size, &n, &p) == SSR_SUCCESS) {
                frame = static_cast<const std::uint8_t*>(p);
                frameLength = static_cast<std::size_t>(n);
            }
        } else {
            // Inflated even when it is dropped afterwards: the stream's dictionary must follow
            // every message the client deflated.
            short capacity = sizeof inflated;
            if (ssr_ExtractZlibCompressedSsrIPPacket(msg, &size, &capacity, inflated, conn->zlib) ==
                SSR_SUCCESS) {
                frame = inflated;
                frameLength = static_cast<std::size_t>(capacity);
            }
        }
    }
    const bool usable = frame != nullptr && vip != 0 && frameLength >= kEthernetHeader &&
                        frameLength <= kMaxFrame &&
                        (FrameSource(frame, frameLength) == vip || FrameDestination(frame, frameLength) == 0);
    if (!usable) {
        ++tally.dropped;
        return;
    }
    DeliverFrame(tally, frame, frameLength);
}

void TestGateway::Impl::DeliverFrame(DeliveryTally& tally, const std::uint8_t* frame, std::size_t length) {
    ++tally.delivered;
    if (m_device) {
        if (!m_device->WriteFrame(frame, length)) ++tally.dropped;
    } else if (tally.sink) {
        tally.sink(tally.vip, frame, length);
    }
}

std::shared_ptr<Conn> TestGateway::Impl::TunnelFor(std::uint32_t vip) {
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto& [sid, client] : m_clients) {
        if (client->vip != vip || !client->online) continue;
        auto it = m_conns.find(client->tunnel.get());
        return it == m_conns.end() ? nullptr : it->second;
    }
    return nullptr;
}

bool TestGateway::Impl::SendFrameTo(const std::shared_ptr<Conn>& conn, const std::uint8_t* frame,
                                    std::size_t length) {
    if (length < kEthernetHeader || length > kMaxFrame) return false;
    std::uint8_t msg[SSR_ZLIB_MESSAGE_SIZE];
    short size = sizeof msg;
    bool sent = false;
    {
        // Deflated messages must leave in the order they were built.
        std::lock_guard<std::mutex> lock(conn->sendLock);
        const int rc = m_config.compress
                           ? ssr_ConstructZlibCompressedSsrIPPacket(msg, &size, static_cast<int>(length),
                                                                    frame, conn->zlib)
                           : ssr_ConstructSsrIPPacket(msg, &size, static_cast<int>(length), frame);
        sent = rc == SSR_SUCCESS &&
               m_api->SendMsg(conn->session, reinterpret_cast<const char*>(msg), size, true) > 0;
    }
    std::lock_guard<std::mutex> lock(m_lock);
    ++(sent ? m_counters.framesToClients : m_counters.framesDropped);
    return sent;
}

// The batch's frames as data messages in one TLS record; the counters move once per batch. More
// frames of the same wake-up follow, so the record may wait in the session and leave with the
// next ones in one socket write; a batch for another client first sends what waited.
void TestGateway::Impl::SendBatch(DeviceBatch& batch) {
    if (batch.count == 0) return;
    if (batch.held && batch.held != batch.conn) FlushHeld(batch);
    Conn& conn = *batch.conn;
    std::size_t built = 0;
    bool sent = false;
    {
        // Deflated messages must leave in the order they were built: build and send are one step.
        std::lock_guard<std::mutex> lock(conn.sendLock);
        batch.wire.resize(batch.count * SSR_ZLIB_MESSAGE_SIZE);
        std::size_t at = 0;
        for (std::size_t i = 0; i < batch.count; ++i) {
            short size = SSR_ZLIB_MESSAGE_SIZE;
            const int rc = m_config.compress ? ssr_ConstructZlibCompressedSsrIPPacket(
                                                   batch.wire.data() + at, &size, batch.lengths[i],
                                                   batch.Slot(i), conn.zlib)
                                             : ssr_ConstructSsrIPPacket(batch.wire.data() + at, &size,
                                                                        batch.lengths[i], batch.Slot(i));
            if (rc != SSR_SUCCESS) continue;
            at += static_cast<std::size_t>(size);
            ++built;
        }
        sent = at > 0 && m_api->SendMsg(conn.session, reinterpret_cast<const char*>(batch.wire.data()),
                                        static_cast<int>(at), false) > 0;
    }
    if (sent) batch.held = batch.conn;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        // A batch holds at most a ring's worth of frames, so its counts fit the int counters.
        m_counters.framesToClients += static_cast<int>(sent ? built : 0);
        m_counters.framesDropped += static_cast<int>(batch.count - (sent ? built : 0));
    }
    batch.count = 0;
    batch.bytes = 0;
    batch.conn = nullptr;
}

// The wake-up's last batch: it and every record that waited leave now.
void TestGateway::Impl::SendLastBatch(DeviceBatch& batch) {
    SendBatch(batch);
    FlushHeld(batch);
}

void TestGateway::Impl::FlushHeld(DeviceBatch& batch) {
    if (!batch.held) return;
    std::shared_ptr<Conn> held = std::move(batch.held);
    // An empty message with the flush: only the records that wait go out.
    std::lock_guard<std::mutex> lock(held->sendLock);
    static const char kNothing[1] = {0};
    m_api->SendMsg(held->session, kNothing, 0, true);
}

// Sends the forced logoff to online clients: all of them, or those online for the configured time.
int TestGateway::Impl::CutOff(bool onlyDue) {
    std::vector<std::shared_ptr<Conn>> targets;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        const auto now = Clock::now();
        for (auto& [sid, client] : m_clients) {
            if (!client->online || client->cutSent) continue;
            if (onlyDue && now - client->onlineSince < std::chrono::seconds(m_config.forcedLogoffSeconds))
                continue;
            auto it = m_conns.find(client->tunnel.get());
            if (it == m_conns.end()) continue;
            client->cutSent = true;
            targets.push_back(it->second);
        }
    }
    std::vector<std::uint8_t> msg;
    if (BuildCutLogoff(m_config.forcedLogoffCode, m_config.forcedLogoffText, &msg) != SSR_SUCCESS) return 0;
    int cut = 0;
    for (auto& conn : targets) cut += Send(conn, msg) ? 1 : 0;
    std::lock_guard<std::mutex> lock(m_lock);
    m_counters.forcedLogoffs += cut;
    return cut;
}

}  // namespace qelgw
