// The tunnel's data path: the receive thread over the driver's output ring (with the local ARP and
// DHCP answers), the way of captured frames into the tunnel as SSR data messages, and the way of
// the gateway's deliveries back: SSR messages split out of each delivery, data messages written
// into the driver's input ring, control messages handed whole to the tunnel session.
//
// The tunnel session (TwTunnelSession) owns one TunnelDataPath and implements the two interfaces
// below over its TLS link; what needs the logon's state it hands up to the connector.
//
// Threads:
//  - OnDelivery runs on the TLS library's receive thread (a socket-engine worker, inside the state
//    machine's receive lock): one delivery at a time.
//  - The pump thread (Start/Stop) reads the output ring and sends; SendControl may come from any
//    thread but OnDelivery's. Sends are serialised here (the deflate dictionary needs messages in
//    build order): the send lock is taken before the TLS session's, never after it.
//  - Counters are atomics, readable from any thread. Configure/SetCompression/ResetCompression
//    come from the connector's threads (through the session) while the pump is stopped or between
//    sessions.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/engine_timing.h"
#include "engine/gateway_policy.h"
#include "engine/local_answers.h"
#include "engine/packet_port.h"
#include "engine/session_addresses.h"
#include "platform/clock.h"
#include "platform/types.h"

struct SsrZlibStream;

namespace engine {

// The two switches of the data path: set by the adapter configuration at logon, cleared by every
// logoff path, read by the receive thread for each frame. They outlive one TunnelDataPath (a
// relogon builds a new one), so their owner, the connector, keeps them and hands them in.
struct DataPathSwitches {
    std::atomic<bool> arpAnswering{false};  // answer ARP requests of the virtual subnet
    std::atomic<bool> active{false};        // IPv4 frames may enter the tunnel
};

// Last error of a tunnel fault: the gateway's bytes cannot be read as SSR messages (a bad header,
// or a control message larger than the content cache that would never be delivered whole).
constexpr int TW_ERROR_TUNNEL_MESSAGE = 13;

// How whole SSR messages leave for the gateway. The tunnel session implements it over its link's
// Send (TwSslAPI::SendMsg; flush on unless more messages follow).
class TunnelSender {
public:
    virtual ~TunnelSender() = default;
    // One or more whole SSR messages, back to back. Result as SendMsg gives it: `length` when all
    // of it was taken, 0 when none of it was (no handshake yet, or the session failed: the caller
    // may retry later, the bytes are dropped here), negative when there is no session. `more`:
    // further messages follow at once, so these may wait in the session (unflushed) and leave
    // with the next send that has `more` off.
    virtual int SendTunnelBytes(const std::uint8_t* data, std::size_t length, bool more) = 0;
    // Status 6: frames may be sent.
    virtual bool TunnelOnline() = 0;
};

// Where the gateway's control messages and the tunnel's faults go. Called on the TLS receive
// thread, inside OnDelivery, with the TLS session's lock held: it must not send from there (a send
// takes the send lock, which the pump holds while it waits for the session's); answers go out
// from a thread of the sink's own.
class TunnelControlSink {
public:
    virtual ~TunnelControlSink() = default;
    // Any SSR message came from the gateway (data or control): the keep-alive loss clock.
    virtual void OnGatewayMessage() = 0;
    // One whole control message, header included; `length` = payload + 4.
    virtual void OnControlMessage(const std::uint8_t* message, std::size_t length) = 0;
    // The delivery cannot be read on: the session ends its TLS session (DisconnectSock) and the
    // connector keeps `lastError` (TW_ERROR_TUNNEL_MESSAGE) as its last error. OnDelivery has
    // consumed everything.
    virtual void OnTunnelFault(int lastError) = 0;
};

// The session's values the pump needs (network order, as the logon answer gives them).
struct DataPathSession : SessionAddresses {
    // The two addresses of the data-path probe (UDP to port 48089); frames to them go nowhere.
    DWORD probeResource = 0, probeVirtual = 0;
};

// A snapshot of the counters.
struct DataPathStats {
    std::uint64_t bytesToGateway = 0, framesToGateway = 0;      // frames sent into the tunnel
    std::uint64_t bytesFromGateway = 0, framesFromGateway = 0;  // frames written into the adapter
    std::uint64_t localAnswers = 0;     // ARP and DHCP answers written into the adapter
    std::uint64_t dropsShort = 0;       // gateway frames shorter than an Ethernet header
    std::uint64_t dropsEtherType = 0;   // gateway frames neither IPv4 nor ARP (IPv6 and the rest)
    std::uint64_t dropsLong = 0;        // gateway frames longer than 1,514 bytes (or captured ones)
    std::uint64_t dropsBadMessage = 0;  // data messages that did not extract or inflate
    std::uint64_t dropsRingFull = 0;    // the input ring had no room
    std::uint64_t dropsPolicy = 0;      // outbound frames the filter denied
    std::uint64_t dropsInactive = 0;    // frames while the data path was off or the tunnel down
    std::uint64_t dropsSend = 0;        // frames whose send the TLS library did not take
    std::uint64_t sends = 0;            // calls of SendTunnelBytes for frames
    std::uint64_t sleeps = 0;           // times the receive thread went to wait on its doorbell
    std::uint64_t wakeups = 0;          // doorbell wake-ups of the receive thread
};

class TunnelDataPath {
public:
    // Everything is borrowed and must outlive the object. `contentCacheSize` is the TLS content
    // cache's capacity (8,192): a message that can never fit in it is a fault.
    TunnelDataPath(PacketPort& driver, TwGatewayPolicy& policy, TunnelSender& sender,
                   TunnelControlSink& control, const EngineTiming& timing,
                   const platform::Clock& clock = platform::SystemClock(),
                   std::size_t contentCacheSize = 8192);
    ~TunnelDataPath();  // stops the pump
    TunnelDataPath(const TunnelDataPath&) = delete;
    TunnelDataPath& operator=(const TunnelDataPath&) = delete;

    // The session's addresses; taken by the pump when it starts.
    void Configure(const DataPathSession& session);
    // What the session check of the driver's notifications needs (none: they are ignored).
    void SetPolicyHost(PolicyHost* host) { m_policyHost = host; }
    // The switches this path reads; before Start. Without a call the path has switches of its
    // own (both clear). `switches` must outlive the path.
    void SetSwitches(DataPathSwitches& switches) { m_switches = &switches; }
    DataPathSwitches& Switches() { return *m_switches; }

    // The gateway's bytes as the content handler got them; returns how many it consumed (whole
    // messages; an incomplete one stays in the TLS library's cache for the next delivery). After a
    // fault everything is consumed. Frames are written into the input ring here and the driver is
    // signalled once at the end.
    std::size_t OnDelivery(const std::uint8_t* data, std::size_t size);

    // The receive thread. Start: false when it could not be started (true when it runs already).
    bool Start();
    void Stop();
    bool Running() const { return m_thread.joinable(); }

    // One captured frame into the tunnel (the pump's path for each IPv4 frame; public for the
    // tests): the probe check, the policy, then the send. true when the frame was
    // taken (sent or dropped by the policy), false for a probe or when the tunnel is not online.
    bool IndicatePacketToProtocolEx(const _FWSHARED_MEMORY_BLOCK& block);
    // One finished control message to the gateway, in order with the data messages. The result
    // is SendTunnelBytes'.
    int SendControl(const std::uint8_t* message, std::size_t length);
    // The adapter write of the ARP and DHCP answers (always signalled): counted as received bytes.
    int WritePacketToAdapter(const std::uint8_t* frame, std::size_t length);

    // Compression of outgoing frames (UseZlibCompress); incoming ones are inflated by their code.
    void SetCompression(bool on) { m_compress.store(on); }
    bool Compression() const { return m_compress.load(); }
    // A new tunnel begins with empty dictionaries (TLS disconnect). Not while a send or a delivery
    // runs on the old session.
    void ResetCompression();

    DataPathStats Stats() const;
    // Bytes of captured frames sent (multicast and the subnet's broadcast not counted) and bytes
    // written into the adapter: the connector's sent and received totals.
    std::uint64_t SentBytes() const { return m_sentTotal.load(); }
    std::uint64_t ReceivedBytes() const { return m_receivedTotal.load(); }
    void ResetTotals();
    // Tick (ms, on the clock) of the last outbound traffic that counts for the idle limit; 0 none.
    std::uint64_t LastTrafficMs() const { return m_lastTrafficMs.load(); }
    void ClearLastTraffic() { m_lastTrafficMs.store(0); }

private:
    struct Counters;
    void Run();
    // Frames read in one wake-up are gathered and sent as one batch.
    void HandleBlock(const TW_RING_BLOCK_VIEW& block);
    // The filter and the batch, without the flush.
    bool IndicateFrame(const TW_RING_BLOCK_VIEW& block);
    bool AppendFrame(const std::uint8_t* frame, std::size_t length);
    void FlushBatch();
    void SendBatch(std::size_t length, bool more);
    bool DeliverFrame(const std::uint8_t* frame, std::size_t length);
    bool WriteWaitingForRoom(const std::uint8_t* frame, std::size_t length);

    PacketPort& m_driver;
    TwGatewayPolicy& m_policy;
    TunnelSender& m_sender;
    TunnelControlSink& m_control;
    EngineTiming m_timing;
    const platform::Clock& m_clock;
    std::size_t m_cacheSize;

    DataPathSession m_session;
    PolicyHost* m_policyHost = nullptr;
    DataPathSwitches m_ownSwitches;
    DataPathSwitches* m_switches = &m_ownSwitches;
    bool m_traceFrames = false;  // per-frame log lines, decided when the pump starts
    std::unique_ptr<Counters> m_counters;
    std::atomic<std::uint64_t> m_sentTotal{0}, m_receivedTotal{0}, m_lastTrafficMs{0};
    std::atomic<bool> m_compress{false};
    SsrZlibStream* m_zlib = nullptr;

    // Send side: the batch buffer, guarded by the send lock (the pump holds it for one batch).
    std::mutex m_sendLock;
    std::vector<std::uint8_t> m_batch;  // messages to the gateway in its first m_batchLength bytes
    std::size_t m_batchLength = 0;
    // Receive side (the TLS thread only): the inflate buffer.
    std::vector<std::uint8_t> m_frameCopy;

    // The pump's own: the answer values, the copy of a request to answer and the buffer answers
    // are built in.
    ArpProxyInfo m_arp;
    DhcpInfo m_dhcp;
    std::vector<std::uint8_t> m_request;
    std::vector<std::uint8_t> m_answer;

    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

}  // namespace engine
