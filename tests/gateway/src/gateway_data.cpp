// The packet path: data messages from a client to the device (or the test's sink) and frames
// from the device to the client that owns their destination; and the forced logoff.
#include <algorithm>
#include <climits>

#include "gateway_impl.h"
#include "platform/code_page.h"
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
        if (!m_device->WriteFrame(frame, length, true))
            ++tally.dropped;  // flushed as the delivery is counted
    } else if (tally.sink) {
        tally.sink(tally.vip, frame, length);
    }
}

std::shared_ptr<Conn> TestGateway::Impl::TunnelFor(std::uint32_t vip) {
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto& [sid, client] : m_clients) {
        if (client->vip != vip || !client->online || !client->answered) continue;
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
        // Deflated messages must leave in the order they were built: the device's batches that
        // were built before this one go first.
        std::lock_guard<std::mutex> lock(conn->sendLock);
        if (m_batchSender) m_batchSender->WaitIdle();
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

// The batch's frames as data messages of one TLS record, handed to the sending thread, which
// encrypts and sends them while this thread reads on. The counters move once per hand-over. A
// lone frame while the sending thread has nothing left to send goes out from this thread: a
// hand-over would cost the round trip a wake-up of the sending thread and gain no overlap.
void TestGateway::Impl::SendBatch(DeviceBatch& batch) {
    if (batch.count == 0) return;
    Conn& conn = *batch.conn;
    if (batch.count == 1) {
        std::unique_lock<std::mutex> lock(conn.sendLock);
        if (m_batchSender->Idle()) {
            std::uint8_t msg[SSR_ZLIB_MESSAGE_SIZE];
            short size = sizeof msg;
            const int rc = m_config.compress
                               ? ssr_ConstructZlibCompressedSsrIPPacket(msg, &size, batch.lengths[0],
                                                                        batch.Slot(0), conn.zlib)
                               : ssr_ConstructSsrIPPacket(msg, &size, batch.lengths[0], batch.Slot(0));
            const bool sent =
                rc == SSR_SUCCESS && SendQueued(conn, msg, static_cast<std::size_t>(size), true);
            lock.unlock();
            CountQueued(sent ? 1 : 0, sent ? 0 : 1);
            batch.count = 0;
            batch.bytes = 0;
            batch.conn = nullptr;
            return;
        }
    }
    BatchSender::Item item;
    item.conn = batch.conn;
    item.wire = m_batchSender->TakeBuffer();
    {
        // Deflated messages must leave in the order they were built: build and queue are one step.
        std::lock_guard<std::mutex> lock(conn.sendLock);
        if (item.wire.size() < batch.count * SSR_ZLIB_MESSAGE_SIZE)
            item.wire.resize(batch.count * SSR_ZLIB_MESSAGE_SIZE);
        std::size_t at = 0;
        for (std::size_t i = 0; i < batch.count; ++i) {
            short size = SSR_ZLIB_MESSAGE_SIZE;
            const int rc =
                m_config.compress
                    ? ssr_ConstructZlibCompressedSsrIPPacket(item.wire.data() + at, &size, batch.lengths[i],
                                                             batch.Slot(i), conn.zlib)
                    : ssr_ConstructSsrIPPacket(item.wire.data() + at, &size, batch.lengths[i], batch.Slot(i));
            if (rc != SSR_SUCCESS) continue;
            at += static_cast<std::size_t>(size);
            ++item.frames;
        }
        item.length = at;
        item.dropped = batch.count - item.frames;
        if (at > 0) {
            m_batchSender->Queue(std::move(item));
            item = {};
        }
    }
    if (item.dropped > 0) {
        std::lock_guard<std::mutex> lock(m_lock);
        // A batch holds at most a ring's worth of frames, so its counts fit the int counters.
        m_counters.framesDropped += static_cast<int>(item.dropped);
    }
    batch.count = 0;
    batch.bytes = 0;
    batch.conn = nullptr;
}

bool TestGateway::Impl::SendQueued(Conn& conn, const std::uint8_t* data, std::size_t length, bool flush) {
    return m_api->SendMsg(conn.session, reinterpret_cast<const char*>(data), static_cast<int>(length),
                          flush) > 0;
}

void TestGateway::Impl::CountQueued(std::size_t sent, std::size_t dropped) {
    std::lock_guard<std::mutex> lock(m_lock);
    // One hand-over holds at most the sender's queue of batches, so its counts fit the int counters.
    m_counters.framesToClients += static_cast<int>(sent);
    m_counters.framesDropped += static_cast<int>(dropped);
}

// Sends the forced logoff to online clients: all of them, or those online for the configured time.
int TestGateway::Impl::CutOff(bool onlyDue) {
    std::vector<std::shared_ptr<Conn>> targets;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        const auto now = Clock::now();
        for (auto& [sid, client] : m_clients) {
            if (!client->online || !client->answered || client->cutSent) continue;
            if (onlyDue && now - client->onlineSince < std::chrono::seconds(m_config.forcedLogoffSeconds))
                continue;
            auto it = m_conns.find(client->tunnel.get());
            if (it == m_conns.end()) continue;
            client->cutSent = true;
            targets.push_back(it->second);
        }
    }
    std::vector<std::uint8_t> msg;
    if (BuildCutLogoff(m_config.forcedLogoffCode, platform::Utf8ToCp936(m_config.forcedLogoffText), &msg) !=
        SSR_SUCCESS)
        return 0;
    int cut = 0;
    for (auto& conn : targets) cut += Send(conn, msg) ? 1 : 0;
    std::lock_guard<std::mutex> lock(m_lock);
    m_counters.forcedLogoffs += cut;
    return cut;
}

}  // namespace qelgw
