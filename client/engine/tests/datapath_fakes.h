// Stand-ins for the data path's neighbours: the driver ring, the TLS sender and the connector's
// control side, each recording what it was given.
#pragma once
#include <arpa/inet.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "engine/gateway_policy.h"
#include "engine/packet_port.h"
#include "engine/tunnel_data_path.h"
#include "platform/clock_wait.h"
#include "wendrel/ssr_codec.h"

namespace enginetest {

using Bytes = std::vector<std::uint8_t>;

inline DWORD Ip(const char* text) {
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

// The driver ring: frames the test queues come out of ReadBlock or ReadBlockInPlace; what the
// data path writes is kept.
class FakePort final : public engine::PacketPort {
public:
    void Queue(const Bytes& frame, DWORD appCode = 0, const void* area = nullptr, std::size_t areaLen = 0) {
        _FWSHARED_MEMORY_BLOCK b{};
        b.direction = 2;
        b.length = static_cast<DWORD>(frame.size());
        b.appCode = appCode;
        if (area != nullptr) std::memcpy(b.appArea, area, areaLen);
        std::memcpy(b.data, frame.data(), frame.size() > TW_FRAME_AREA ? TW_FRAME_AREA : frame.size());
        {
            std::lock_guard<std::mutex> g(m_lock);
            m_out.push_back(b);
        }
        m_cv.notify_all();
    }
    bool ReadBlock(_FWSHARED_MEMORY_BLOCK* block) override {
        std::lock_guard<std::mutex> g(m_lock);
        if (m_out.empty()) return false;
        *block = m_out.front();
        m_out.pop_front();
        ++m_read;
        return true;
    }
    // As the ring does: the block stays queued until the visit is over.
    bool ReadBlockInPlace(TW_RING_BLOCK_VISITOR visit, void* context) override {
        TW_RING_BLOCK_VIEW view;
        {
            std::lock_guard<std::mutex> g(m_lock);
            if (m_out.empty()) return false;
            // A deque's elements stay where they are while others come and go.
            view = RingBlockView(m_out.front());
            if (view.length > TW_MAX_FRAME) view.length = TW_MAX_FRAME;
        }
        visit(context, view);
        std::lock_guard<std::mutex> g(m_lock);
        m_out.pop_front();
        ++m_read;
        return true;
    }
    bool WaitReadable(DWORD timeoutMs) override {
        std::unique_lock<std::mutex> g(m_lock);
        ++m_waits;
        m_timeouts.push_back(timeoutMs);
        const bool woken = platform::WaitOn(platform::SystemClock(), g, m_cv, timeoutMs,
                                            [&] { return !m_out.empty() || m_wake; });
        m_wake = false;
        return woken;
    }
    bool ReaderIsRung() override { return m_rung.load(); }
    std::vector<DWORD> Timeouts() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_timeouts;
    }
    void WakeReader() override {
        {
            std::lock_guard<std::mutex> g(m_lock);
            m_wake = true;
        }
        m_cv.notify_all();
    }
    int WriteFrame(const std::uint8_t* frame, std::size_t length) override {
        std::lock_guard<std::mutex> g(m_lock);
        if (m_fullFor > 0) {
            --m_fullFor;
            ++m_refused;
            return 0;
        }
        if (m_full) ++m_refused;
        if (m_full || length > TW_MAX_FRAME) return 0;
        m_written.emplace_back(frame, frame + length);
        return 1;
    }
    int WriteFrame(const std::uint8_t* frame, std::size_t length, const BYTE source[6]) override {
        if (length < 14) return 0;
        Bytes patched(frame, frame + length);
        std::memcpy(&patched[6], source, 6);
        return WriteFrame(patched.data(), patched.size());
    }
    void SignalWritten() override {
        std::lock_guard<std::mutex> g(m_lock);
        ++m_signals;
    }
    int GetFirewallAction(void* action) override {
        std::lock_guard<std::mutex> g(m_lock);
        auto* a = static_cast<engine::TW_FIREWALL_ACTION*>(action);
        a->action = m_currentAction;
        return 1;
    }
    int SetFirewallAction(const void* action) override {
        std::lock_guard<std::mutex> g(m_lock);
        m_setActions.push_back(*static_cast<const engine::TW_FIREWALL_ACTION*>(action));
        return 1;
    }
    int FindDnsEntryByIp(DWORD, char* name512) override {
        std::lock_guard<std::mutex> g(m_lock);
        std::snprintf(name512, 512, "%s", m_dnsName.c_str());
        return m_dnsName.empty() ? 0 : 1;
    }

    std::vector<Bytes> Written() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_written;
    }
    int Signals() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_signals;
    }
    std::size_t Pending() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_out.size();
    }
    void SetFull(bool full) {
        std::lock_guard<std::mutex> g(m_lock);
        m_full = full;
    }
    // The next `writes` writes find the ring full, as while the driver's ring thread is behind.
    void SetFullFor(int writes) {
        std::lock_guard<std::mutex> g(m_lock);
        m_fullFor = writes;
    }
    int Refused() {  // writes refused for a full ring
        std::lock_guard<std::mutex> g(m_lock);
        return m_refused;
    }

    std::mutex m_lock;
    std::condition_variable m_cv;
    std::deque<_FWSHARED_MEMORY_BLOCK> m_out;
    std::vector<Bytes> m_written;
    std::vector<DWORD> m_timeouts;  // of every WaitReadable
    std::atomic<bool> m_rung{false};
    int m_signals = 0, m_read = 0, m_waits = 0, m_refused = 0, m_fullFor = 0;
    bool m_wake = false, m_full = false;
    BYTE m_currentAction = 0x80;
    std::vector<engine::TW_FIREWALL_ACTION> m_setActions;
    std::string m_dnsName;
};

// The TLS session: what was sent, one entry per SendTunnelBytes.
class FakeSender final : public engine::TunnelSender {
public:
    int SendTunnelBytes(const std::uint8_t* data, std::size_t length, bool more) override {
        std::lock_guard<std::mutex> g(m_lock);
        m_sends.emplace_back(data, data + length);
        m_more.push_back(more);
        return m_result < 0 ? m_result : (m_result == 0 ? 0 : static_cast<int>(length));
    }
    bool TunnelOnline() override { return m_online.load(); }
    std::vector<Bytes> Sends() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_sends;
    }
    std::vector<bool> More() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_more;
    }
    std::mutex m_lock;
    std::vector<Bytes> m_sends;
    std::vector<bool> m_more;  // per send: its records may wait for the next
    int m_result = 1;          // 1: all taken, 0: none, negative: no session
    std::atomic<bool> m_online{true};
};

class FakeControl final : public engine::TunnelControlSink {
public:
    void OnGatewayMessage() override { ++heard; }
    void OnControlMessage(const std::uint8_t* message, std::size_t length) override {
        control.emplace_back(message, message + length);
    }
    void OnTunnelFault(int lastError) override { faults.push_back(lastError); }
    int heard = 0;
    std::vector<Bytes> control;
    std::vector<int> faults;
};

// An Ethernet frame carrying an IPv4 packet of `payload` bytes after a 20-byte header.
inline Bytes Ipv4Frame(DWORD src, DWORD dst, BYTE proto, WORD sport, WORD dport, std::size_t payload = 32) {
    std::uint8_t f[2048] = {};
    const std::size_t length = 14 + 20 + payload;
    f[12] = 0x08;
    f[14] = 0x45;
    const std::size_t total = 20 + payload;
    f[16] = static_cast<std::uint8_t>(total >> 8);
    f[17] = static_cast<std::uint8_t>(total);
    f[22] = 64;
    f[23] = proto;
    std::memcpy(&f[26], &src, 4);
    std::memcpy(&f[30], &dst, 4);
    if (payload >= 4) {
        f[34] = static_cast<std::uint8_t>(sport >> 8);
        f[35] = static_cast<std::uint8_t>(sport);
        f[36] = static_cast<std::uint8_t>(dport >> 8);
        f[37] = static_cast<std::uint8_t>(dport);
    }
    for (std::size_t i = 42; i < length; ++i) f[i] = static_cast<std::uint8_t>(i * 7);
    return Bytes(f, f + length);
}

// A plain data message (built by hand: the codec refuses an empty frame's null pointer).
inline Bytes DataMessage(const Bytes& frame) {
    Bytes m = {0x03, 0x00, static_cast<std::uint8_t>(frame.size() >> 8),
               static_cast<std::uint8_t>(frame.size())};
    m.insert(m.end(), frame.begin(), frame.end());
    return m;
}

inline Bytes ControlMessage(BYTE code, std::size_t payload = 0) {
    Bytes m(4 + payload, 0);
    m[0] = 0x13;
    m[1] = code;
    m[2] = static_cast<std::uint8_t>(payload >> 8);
    m[3] = static_cast<std::uint8_t>(payload);
    for (std::size_t i = 4; i < m.size(); ++i) m[i] = static_cast<std::uint8_t>(i);
    return m;
}

}  // namespace enginetest
