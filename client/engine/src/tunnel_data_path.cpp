// The tunnel's data path in both directions.
//
// Per frame nothing here logs (unless frame tracing was asked for when the pump started),
// allocates or takes a lock that another thread holds for long: the send lock is held for one
// append or one send; the receive side works on buffers of its own, made once.
#include "engine/tunnel_data_path.h"

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "dailylog/shared_daily_log.h"
#include "engine/capture_device.h"
#include "engine/local_answers.h"
#include "platform/busy_poll.h"
#include "wendrel/ssr_codec.h"

namespace engine {

namespace {

constexpr std::size_t kEth = 14;
constexpr std::size_t kMaxFrame = SSR_MAX_FRAME_SIZE;
// One TLS record carries the messages of one wake-up, up to about this many bytes.
constexpr std::size_t kBatchLimit = 16 * 1024;
constexpr std::size_t kMessageRoom = SSR_ZLIB_MESSAGE_SIZE;
// The probes' port as the sender puts it into sin_port and the driver's counters match it: the
// raw 16-bit word of the UDP header, not a port number in network order.
constexpr WORD kProbePortWord = 48089;

WORD Get16(const std::uint8_t* p) { return static_cast<WORD>((p[0] << 8) | p[1]); }
WORD GetRaw16(const std::uint8_t* p) {
    WORD v;
    std::memcpy(&v, p, 2);
    return v;
}
DWORD GetRaw32(const std::uint8_t* p) {
    DWORD v;
    std::memcpy(&v, p, 4);
    return v;
}

}  // namespace

struct TunnelDataPath::Counters {
    std::atomic<std::uint64_t> bytesToGateway{0}, framesToGateway{0};
    std::atomic<std::uint64_t> bytesFromGateway{0}, framesFromGateway{0};
    std::atomic<std::uint64_t> localAnswers{0};
    std::atomic<std::uint64_t> dropsShort{0}, dropsEtherType{0}, dropsLong{0}, dropsBadMessage{0},
        dropsRingFull{0};
    std::atomic<std::uint64_t> dropsPolicy{0}, dropsInactive{0}, dropsSend{0};
    std::atomic<std::uint64_t> sends{0}, sleeps{0}, wakeups{0};
    // The frames in the batch not yet sent (guarded by the send lock).
    std::uint64_t batchFrames = 0, batchBytes = 0;
};

namespace {
inline void Bump(std::atomic<std::uint64_t>& c, std::uint64_t n = 1) {
    c.fetch_add(n, std::memory_order_relaxed);
}
}  // namespace

TunnelDataPath::TunnelDataPath(PacketPort& driver, TwGatewayPolicy& policy, TunnelSender& sender,
                               TunnelControlSink& control, const EngineTiming& timing,
                               const platform::Clock& clock, std::size_t contentCacheSize)
    : m_driver(driver),
      m_policy(policy),
      m_sender(sender),
      m_control(control),
      m_timing(timing),
      m_clock(clock),
      m_cacheSize(contentCacheSize),
      m_counters(std::make_unique<Counters>()) {
    m_batch.resize(kBatchLimit + kMessageRoom);
    m_frameCopy.resize(SSR_ZLIB_FRAME_CAPACITY);
    if (ssr_CreateSsrZlibStream(&m_zlib) != SSR_SUCCESS) {
        m_zlib = nullptr;
        TW_LOG(LOG_CLIENT_DATA, 2, "[TunnelDataPath] compression streams cannot be made; frames go plain");
    }
}

TunnelDataPath::~TunnelDataPath() {
    Stop();
    if (m_zlib != nullptr) ssr_CloseSsrZlibStream(m_zlib);
}

void TunnelDataPath::Configure(const DataPathSession& session) { m_session = session; }

void TunnelDataPath::ResetCompression() {
    std::lock_guard<std::mutex> lock(m_sendLock);
    if (m_zlib != nullptr) ssr_ResetSsrZlibStream(m_zlib);
}

void TunnelDataPath::ResetTotals() {
    m_sentTotal.store(0);
    m_receivedTotal.store(0);
}

DataPathStats TunnelDataPath::Stats() const {
    const Counters& c = *m_counters;
    DataPathStats s;
    s.bytesToGateway = c.bytesToGateway.load();
    s.framesToGateway = c.framesToGateway.load();
    s.bytesFromGateway = c.bytesFromGateway.load();
    s.framesFromGateway = c.framesFromGateway.load();
    s.localAnswers = c.localAnswers.load();
    s.dropsShort = c.dropsShort.load();
    s.dropsEtherType = c.dropsEtherType.load();
    s.dropsLong = c.dropsLong.load();
    s.dropsBadMessage = c.dropsBadMessage.load();
    s.dropsRingFull = c.dropsRingFull.load();
    s.dropsPolicy = c.dropsPolicy.load();
    s.dropsInactive = c.dropsInactive.load();
    s.dropsSend = c.dropsSend.load();
    s.sends = c.sends.load();
    s.sleeps = c.sleeps.load();
    s.wakeups = c.wakeups.load();
    return s;
}

// ---- From the gateway ----

bool TunnelDataPath::DeliverFrame(const std::uint8_t* frame, std::size_t length) {
    Counters& c = *m_counters;
    if (length < kEth) {
        Bump(c.dropsShort);
        return false;
    }
    if (length > kMaxFrame) {
        Bump(c.dropsLong);
        return false;
    }
    // The adapter carries IPv4 and ARP: anything else from the gateway (an IPv6 router
    // advertisement above all) would configure the machine behind the user's back.
    if (frame[12] != 0x08 || (frame[13] != 0x00 && frame[13] != 0x06)) {
        Bump(c.dropsEtherType);
        return false;
    }
    if (!WriteWaitingForRoom(frame, length)) {
        Bump(c.dropsRingFull);
        return false;
    }
    Bump(c.framesFromGateway);
    Bump(c.bytesFromGateway, length);
    m_receivedTotal.fetch_add(length, std::memory_order_relaxed);
    return true;
}

std::size_t TunnelDataPath::OnDelivery(const std::uint8_t* data, std::size_t size) {
    if (data == nullptr) return 0;
    std::size_t consumed = 0;
    bool wrote = false;
    bool heard = false;
    Counters& c = *m_counters;
    while (consumed < size) {
        const std::uint8_t* msg = data + consumed;
        const std::size_t available = size - consumed;
        SSR_HEADER h{};
        const int rc = ssr_ExtractPacketHeader(msg, static_cast<unsigned>(available), &h);
        if (rc == SSR_ERROR_HEADER_TOO_SHORT) break;
        const std::size_t total = static_cast<std::size_t>(h.payload_size) + SSR_HEADER_SIZE;
        if (rc == SSR_ERROR_INCOMPLETE && total <= m_cacheSize) break;  // the rest comes later
        if (rc != SSR_SUCCESS || total > m_cacheSize) {
            // A message the cache can never hold whole would stall the tunnel for good; a header
            // we cannot read leaves nothing to stand on. Either way the session ends.
            TW_LOG(
                LOG_CLIENT_DATA, 1,
                "[ReceivePacketFromPeer] SSR Extract Packet Header Error, %d. Hdr version is %d, type is %d, "
                "code is %d, payload_size is %d",
                rc, h.version, h.type, h.code, h.payload_size);
            if (wrote) m_driver.SignalWritten();
            m_control.OnTunnelFault(TW_ERROR_TUNNEL_MESSAGE);
            return size;
        }
        if (!heard) {
            // Before the message is handled: a keep-alive answer must find the clock moved.
            heard = true;
            m_control.OnGatewayMessage();
        }
        if (h.type == SSR_TYPE_DATA) {
            if (h.code == SSR_CODE_DATA_IP_PACKET) {
                wrote |= DeliverFrame(msg + SSR_HEADER_SIZE, h.payload_size);
            } else {
                short sz = static_cast<short>(total > 0x7FFF ? 0x7FFF : total);
                short capacity = static_cast<short>(m_frameCopy.size());
                if (total > 0x7FFF || ssr_ExtractZlibCompressedSsrIPPacket(
                                          msg, &sz, &capacity, m_frameCopy.data(), m_zlib) != SSR_SUCCESS) {
                    // A message that does not inflate is dropped, not left in the cache to fail
                    // again with every delivery.
                    Bump(c.dropsBadMessage);
                } else {
                    wrote |= DeliverFrame(m_frameCopy.data(), static_cast<std::size_t>(capacity));
                }
            }
            consumed += total;
        } else {
            // Each control message is consumed by itself, whatever its code: what follows it in
            // the delivery is the gateway's next message.
            consumed += total;
            if (wrote) {
                m_driver.SignalWritten();
                wrote = false;
            }
            m_control.OnControlMessage(msg, total);
        }
    }
    if (wrote) m_driver.SignalWritten();
    return consumed;
}

// ---- To the gateway ----

bool TunnelDataPath::AppendFrame(const std::uint8_t* frame, std::size_t length) {
    Counters& c = *m_counters;
    if (length > kMaxFrame) {
        TW_LOG(LOG_CLIENT_DATA, 2, "[SendPacketToPeer] Packet Size Error, %d.", static_cast<int>(length));
        Bump(c.dropsLong);
        return false;
    }
    std::lock_guard<std::mutex> lock(m_sendLock);
    const std::size_t at = m_batchLength;
    // Sized once: a resize per frame would zero-fill a message's room for every frame.
    if (m_batch.size() < at + kMessageRoom) m_batch.resize(at + kMessageRoom);
    short size = static_cast<short>(kMessageRoom);
    int rc;
    if (m_compress.load(std::memory_order_relaxed) && m_zlib != nullptr) {
        rc = ssr_ConstructZlibCompressedSsrIPPacket(m_batch.data() + at, &size, static_cast<int>(length),
                                                    frame, m_zlib);
    } else {
        rc = ssr_ConstructSsrIPPacket(m_batch.data() + at, &size, static_cast<int>(length), frame);
    }
    if (rc != SSR_SUCCESS) {
        TW_LOG(LOG_CLIENT_DATA, 2, "[SendPacketToPeer] Construct SSR Packet Error, %d.", rc);
        Bump(c.dropsSend);
        return false;
    }
    m_batchLength = at + static_cast<std::size_t>(size);
    // A batch never outgrows one TLS record: the messages before this one leave as one, and since
    // this one follows at once, their record may wait in the session for the next. Frames that
    // keep coming thus leave several records per socket write; the batch is never empty after
    // such a send, so the wake-up's last flush sends the records that waited.
    if (at > 0 && m_batchLength > kBatchLimit) SendBatch(at, true);
    ++c.batchFrames;
    c.batchBytes += length;
    return true;
}

// Called with the send lock held.
void TunnelDataPath::FlushBatch() {
    if (m_batchLength > 0) SendBatch(m_batchLength, false);
}

// The batch's first `length` bytes (whole messages, those the counters hold) leave; the rest moves
// to the front. Called with the send lock held.
void TunnelDataPath::SendBatch(std::size_t length, bool more) {
    Counters& c = *m_counters;
    const int sent = m_sender.SendTunnelBytes(m_batch.data(), length, more);
    Bump(c.sends);
    if (sent > 0 && static_cast<std::size_t>(sent) == length) {
        Bump(c.framesToGateway, c.batchFrames);
        Bump(c.bytesToGateway, c.batchBytes);
    } else {
        Bump(c.dropsSend, c.batchFrames);
    }
    c.batchFrames = 0;
    c.batchBytes = 0;
    m_batchLength -= length;
    if (m_batchLength > 0) std::memmove(m_batch.data(), m_batch.data() + length, m_batchLength);
}

int TunnelDataPath::SendControl(const std::uint8_t* message, std::size_t length) {
    if (message == nullptr || length == 0) return -1;
    std::lock_guard<std::mutex> lock(m_sendLock);
    FlushBatch();  // in order with the frames before it
    return m_sender.SendTunnelBytes(message, length, false);
}

bool TunnelDataPath::IndicatePacketToProtocolEx(const _FWSHARED_MEMORY_BLOCK& block) {
    const bool taken = IndicateFrame(RingBlockView(block));  // IndicateFrame bounds the length
    std::lock_guard<std::mutex> lock(m_sendLock);
    FlushBatch();
    return taken;
}

// `block` may lie in the driver's ring, whose frame bytes the driver can change under us: every
// offset is checked against the length (ours, read once with the head), and each field is taken
// into a local before the checks that rest on it.
bool TunnelDataPath::IndicateFrame(const TW_RING_BLOCK_VIEW& block) {
    Counters& c = *m_counters;
    const std::size_t length = block.length > kMaxFrame ? kMaxFrame + 1 : block.length;
    const std::uint8_t* f = block.data;
    if (length < kEth + 20) {
        Bump(c.dropsShort);
        return true;
    }
    const std::uint8_t* ip = f + kEth;
    FirewallQuery q;
    q.source = GetRaw32(ip + 12);
    q.destination = GetRaw32(ip + 16);
    q.protocol = ip[9];
    q.packetFlags = block.packetFlags;
    q.appCode = block.appCode;
    const std::size_t ihl = static_cast<std::size_t>(ip[0] & 0x0F) * 4;
    if ((q.protocol == 6 || q.protocol == 17) && ihl >= 20 && kEth + ihl + 4 <= length) {
        q.sourcePort = Get16(ip + ihl);
        q.destinationPort = Get16(ip + ihl + 2);
        if (q.protocol == 17 && GetRaw16(ip + ihl + 2) == kProbePortWord &&
            ((q.destination == m_session.probeResource && q.destination != 0) ||
             (q.destination == m_session.probeVirtual && q.destination != 0))) {
            if (m_traceFrames) {
                TW_LOG(LOG_CLIENT_DATA, 4,
                       "[IndicatePacketToProtocolEx]收到驱动转发探测包, dst=0x%x, src=0x%x",
                       ntohl(q.destination), ntohl(q.source));
            }
            return false;
        }
    } else if (q.protocol != 6 && q.protocol != 17) {
        q.packetFlags = block.packetFlags & 0x7F;
    }
    if (!m_policy.HandleFwPolicyCheck(q, m_session.virtualIp)) {
        if (m_traceFrames)
            TW_LOG(LOG_CLIENT_DATA, 5, "[IndicatePacketToProtocolEx] HandleFwPolicyCheck Deny pass");
        Bump(c.dropsPolicy);
        return true;
    }
    if (!m_sender.TunnelOnline()) {
        if (m_traceFrames)
            TW_LOG(LOG_CLIENT_DATA, 5, "[IndicatePacketToProtocol] TW_CLT_STATUS_GW_CERTIFIED Error.");
        Bump(c.dropsInactive);
    } else {
        AppendFrame(f, length);
    }
    const DWORD broadcast = m_session.virtualIp | ~m_session.mask;
    if ((ntohl(q.destination) >> 24) < 224 && q.destination != broadcast) {
        m_sentTotal.fetch_add(length, std::memory_order_relaxed);
        const std::uint64_t now = m_clock.TickMs();
        m_lastTrafficMs.store(now == 0 ? 1 : now, std::memory_order_relaxed);
    }
    return true;
}

// The frame goes into the ring with our peer's source address, set in the ring's block: the
// buffer it comes from (the TLS library's) stays as it came. The driver's ring thread empties the input ring
// as fast as frames come unless it is descheduled: a full ring is waited out briefly (each try tells the
// driver again), which holds back the gateway's stream instead of dropping a frame the inner TCP would have
// to send again. A ring that stays full (a driver gone) costs at most the bound per frame.
bool TunnelDataPath::WriteWaitingForRoom(const std::uint8_t* frame, std::size_t length) {
    if (m_driver.WriteFrame(frame, length, kTunnelPeerMac) != 0) return true;
    constexpr long kMaxWaitUs = 20000;
    long pauseUs = 20;
    for (long waited = 0; waited < kMaxWaitUs && !m_stop.load(std::memory_order_relaxed);
         waited += pauseUs, pauseUs = std::min(pauseUs * 2, 1000L)) {
        std::this_thread::sleep_for(std::chrono::microseconds(pauseUs));
        if (m_driver.WriteFrame(frame, length, kTunnelPeerMac) != 0) return true;
    }
    return false;
}

// ---- The receive thread ----

int TunnelDataPath::WritePacketToAdapter(const std::uint8_t* frame, std::size_t length) {
    if (m_driver.WriteFrame(frame, length) == 0) {
        Bump(m_counters->dropsRingFull);
        return 0;
    }
    m_driver.SignalWritten();
    Bump(m_counters->localAnswers);
    m_receivedTotal.fetch_add(length, std::memory_order_relaxed);
    return 1;
}

bool TunnelDataPath::Start() {
    if (m_thread.joinable()) return true;
    m_stop.store(false);
    m_traceFrames = SharedDailyLog::Instance().ShouldLog(LOG_CLIENT_DATA, 5);
    try {
        m_thread = std::thread([this] { Run(); });
    } catch (...) {
        return false;
    }
    return true;
}

void TunnelDataPath::Stop() {
    if (!m_thread.joinable()) return;
    TW_LOG(LOG_CLIENT_DATA, 4, "[LogoffStopRecvAndEnventThread] receive thread terminating");
    m_stop.store(true);
    m_driver.WakeReader();
    m_thread.join();
    TW_LOG(LOG_CLIENT_DATA, 4, "[LogoffStopRecvAndEnventThread] receive thread terminated");
}

// Runs inside the ring's read, on the block where it lies (see IndicateFrame).
void TunnelDataPath::HandleBlock(const TW_RING_BLOCK_VIEW& block) {
    Counters& c = *m_counters;
    const std::size_t length = block.length > kMaxFrame ? kMaxFrame : block.length;
    if (length == 0 && block.appCode >= SESSION_NOTIFY_CREATE && block.appCode <= SESSION_NOTIFY_ACTION) {
        SessionNotify n;
        n.kind = block.appCode;
        std::memcpy(&n.action, block.appArea, sizeof(n.action));
        if (m_policyHost != nullptr) m_policy.HandleSessionNotify(&n, m_driver, *m_policyHost);
        return;
    }
    if (length < kEth) {
        Bump(c.dropsShort);
        return;
    }
    const std::uint8_t* f = block.data;
    const WORD type = Get16(f + 12);
    if (type != 0x0800) {
        if (type == 0x0806 && m_switches->arpAnswering.load(std::memory_order_relaxed)) {
            // The answers' parsers read a field more than once: they get a copy that holds still.
            std::memcpy(m_request.data(), f, length);
            std::size_t n = 0;
            if (BuildArpReply(m_arp, m_request.data(), length, m_answer.data(), &n) == ArpResult::kAnswered) {
                WritePacketToAdapter(m_answer.data(), n);
            }
        }
        return;
    }
    if (length >= kEth + 20 && f[kEth + 9] == 17) {
        const std::size_t ihl = static_cast<std::size_t>(f[kEth] & 0x0F) * 4;
        if (ihl >= 20 && kEth + ihl + 8 <= length) {
            const WORD dport = Get16(f + kEth + ihl + 2);
            if (dport == 67 || dport == 68) {
                std::memcpy(m_request.data(), f, length);
                std::size_t n = 0;
                const DhcpResult r = BuildDhcpReply(m_dhcp, m_request.data(), length, m_answer.data(), &n);
                if (r == DhcpResult::kOffer || r == DhcpResult::kAck || r == DhcpResult::kNak) {
                    WritePacketToAdapter(m_answer.data(), n);
                }
                return;
            }
        }
    }
    if (!m_switches->active.load(std::memory_order_relaxed)) {
        Bump(c.dropsInactive);
        return;
    }
    IndicateFrame(block);
}

void TunnelDataPath::Run() {
    TW_LOG(LOG_CLIENT_DATA, 4, "[TwRecvWorkerThread] Execute()");
    m_arp = SetArpProxyInfo(m_session.virtualIp, m_session.mask);
    m_dhcp = SetDhcpInfo(m_session.virtualIp, m_session.mask, m_session.dns1, m_session.dns2, m_session.wins1,
                         m_session.wins2);
    m_answer.resize(kDhcpReplyRoom);
    m_request.resize(kMaxFrame);
    // Each block is handled where it lies in the ring, before the ring takes it back.
    const TW_RING_BLOCK_VISITOR handle = [](void* self, const TW_RING_BLOCK_VIEW& block) {
        static_cast<TunnelDataPath*>(self)->HandleBlock(block);
    };
    platform::BusyPoll spin;
    DWORD empty = 0;
    bool gathered = false;
    while (!m_stop.load(std::memory_order_relaxed)) {
        if (m_driver.ReadBlockInPlace(handle, this)) {
            if (empty != 0) spin.Arrived();
            empty = 0;
            gathered = true;
            continue;
        }
        if (gathered) {
            {
                // The ring ran dry: what this wake-up gathered leaves in one send.
                std::lock_guard<std::mutex> lock(m_sendLock);
                FlushBatch();
            }
            gathered = false;
            if (spin.Spin([&] { return m_driver.ReadBlockInPlace(handle, this); })) {
                gathered = true;
                continue;
            }
        }
        ++empty;
        if (empty <= m_timing.ringSpinTries) continue;
        const bool idle = empty > m_timing.ringSpinTries + 10;
        DWORD wait = idle ? m_timing.ringLongSleepMs : m_timing.ringShortSleepMs;
        // A doorbell wakes the reader for the next frame whatever the bound, so a dry ring need
        // not be looked at every few milliseconds (each look a wake-up and its system calls, a
        // few per round trip of sparse traffic); the bound stays for a doorbell gone with its ring.
        if (m_driver.ReaderIsRung()) wait = std::max(m_timing.ringIdleSleepMs, m_timing.ringLongSleepMs);
        Bump(m_counters->sleeps);
        if (m_driver.WaitReadable(wait)) Bump(m_counters->wakeups);
    }
    std::lock_guard<std::mutex> lock(m_sendLock);
    FlushBatch();
    TW_LOG(LOG_CLIENT_DATA, 4, "[TwRecvWorkerThread::Execute] TwRecvWorkerThread Stopping ...");
}

}  // namespace engine
