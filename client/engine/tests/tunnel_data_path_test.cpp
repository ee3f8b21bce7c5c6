// The tunnel's data path against a fake ring, sender and connector: the receive dispatcher over
// split and joined deliveries, the drops, the batched send and the receive thread.
#include "engine/tunnel_data_path.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <thread>

#include "datapath_fakes.h"
#include "engine/capture_device.h"
#include "platform/fake/manual_clock.h"
#include "testsupport/fault_wire.h"
#include "testsupport/spin_race.h"
#include "testsupport/temp_dir.h"
#include "testsupport/wait.h"

namespace {

using engine::TunnelDataPath;
using enginetest::Bytes;
using enginetest::ControlMessage;
using enginetest::DataMessage;
using enginetest::Ip;
using enginetest::Ipv4Frame;

class DataPathTest : public ::testing::Test {
protected:
    DataPathTest()
        : store(std::make_shared<platform::SettingsStore>(dir.File("s.db"))),
          policy(store),
          path(port, policy, sender, control, Timing(), clock) {
        engine::DataPathSession s;
        s.virtualIp = vip;
        s.mask = Ip("255.255.255.0");
        s.dns1 = Ip("198.18.0.53");
        s.probeResource = Ip("10.20.30.40");
        s.probeVirtual = vip;
        path.Configure(s);
        policy.ApplyPolicy("policy allow out any 0 0 10.0.0.0/255.0.0.0 x y\n");
        path.Switches().active.store(true);
        path.Switches().arpAnswering.store(true);
    }
    ~DataPathTest() override { path.Stop(); }
    static engine::EngineTiming Timing() {
        engine::EngineTiming t;
        t.ringSpinTries = 2;
        return t;
    }
    // Delivers `wire` to the data path the way the TLS content cache does: the unconsumed rest
    // stays in front of the next piece.
    void DeliverThroughCache(const std::vector<testsupport::WirePiece>& pieces) {
        for (const auto& p : pieces) {
            cache.insert(cache.end(), p.bytes.begin(), p.bytes.end());
            const std::size_t used = path.OnDelivery(cache.data(), cache.size());
            ASSERT_LE(used, cache.size());
            cache.erase(cache.begin(), cache.begin() + static_cast<long>(used));
        }
    }

    platform::fake::ManualClock clock;
    testsupport::TempDir dir;
    std::shared_ptr<platform::SettingsStore> store;
    engine::TwGatewayPolicy policy;
    enginetest::FakePort port;
    enginetest::FakeSender sender;
    enginetest::FakeControl control;
    DWORD vip = Ip("198.18.0.2");
    TunnelDataPath path;
    Bytes cache;
};

TEST_F(DataPathTest, JoinedDeliveryHandlesWholeMessagesAndLeavesThePartOne) {
    const Bytes f1 = Ipv4Frame(Ip("10.0.0.1"), vip, 6, 80, 4000, 100);
    const Bytes f2 = Ipv4Frame(Ip("10.0.0.1"), vip, 17, 53, 4001, 40);
    Bytes wire = DataMessage(f1);
    const Bytes keepAlive = ControlMessage(23);
    wire.insert(wire.end(), keepAlive.begin(), keepAlive.end());
    const std::size_t whole = wire.size() + DataMessage(f2).size();
    const Bytes m2 = DataMessage(f2);
    wire.insert(wire.end(), m2.begin(), m2.end());
    const Bytes third = DataMessage(f1);
    wire.insert(wire.end(), third.begin(), third.begin() + 30);

    const Bytes original = wire;
    EXPECT_EQ(path.OnDelivery(wire.data(), wire.size()), whole);
    EXPECT_EQ(wire, original);  // the TLS library's bytes are not written to
    const auto written = port.Written();
    ASSERT_EQ(written.size(), 2u);
    Bytes expect = f1;
    std::memcpy(&expect[6], engine::kTunnelPeerMac, 6);
    EXPECT_EQ(written[0], expect);
    EXPECT_EQ(0, std::memcmp(&written[1][6], engine::kTunnelPeerMac, 6));
    ASSERT_EQ(control.control.size(), 1u);
    EXPECT_EQ(control.control[0], keepAlive);
    EXPECT_GE(port.Signals(), 1);
    EXPECT_LE(port.Signals(), 2);  // at most once before the control message and once at the end
    EXPECT_EQ(control.heard, 1);
    EXPECT_EQ(path.ReceivedBytes(), f1.size() + f2.size());
    EXPECT_TRUE(control.faults.empty());
}

TEST_F(DataPathTest, SplitDeliveriesThroughAFaultyWireLoseNothing) {
    Bytes stream;
    std::vector<Bytes> frames;
    for (std::size_t i = 0; i < 60; ++i) {
        frames.push_back(Ipv4Frame(Ip("10.0.0.1"), vip, 6, 80, static_cast<WORD>(i), 20 + 23 * i));
        const Bytes m = DataMessage(frames.back());
        stream.insert(stream.end(), m.begin(), m.end());
        if (i % 7 == 0) {
            const Bytes c = ControlMessage(static_cast<BYTE>(100 + i), i);
            stream.insert(stream.end(), c.begin(), c.end());
        }
    }
    for (std::uint32_t seed = 1; seed <= 5; ++seed) {
        port.m_written.clear();
        control.control.clear();
        testsupport::FaultPlan plan;
        plan.seed = seed;
        plan.split = 0.8;
        testsupport::FaultWire wire(plan);
        std::size_t at = 0;
        while (at < stream.size()) {
            const std::size_t n = std::min<std::size_t>(stream.size() - at, 1 + (at * 31 + seed) % 3000);
            DeliverThroughCache(wire.Pass(stream.data() + at, n));
            at += n;
        }
        EXPECT_TRUE(cache.empty());
        const auto written = port.Written();
        ASSERT_EQ(written.size(), frames.size()) << "seed " << seed;
        for (std::size_t i = 0; i < frames.size(); ++i) {
            EXPECT_EQ(0, std::memcmp(written[i].data() + 12, frames[i].data() + 12, frames[i].size() - 12));
        }
        ASSERT_EQ(control.control.size(), 9u);
        EXPECT_EQ(control.control[8][1], 156);
    }
}

TEST_F(DataPathTest, FramesOutOfRangeAreDroppedAndCounted) {
    Bytes wire;
    for (std::size_t len : {0u, 13u, 14u, 1514u, 1515u, 1600u}) {
        Bytes f(len, 0xAB);
        if (len >= 14) f[12] = 0x08, f[13] = 0x00;
        const Bytes m = DataMessage(f);
        wire.insert(wire.end(), m.begin(), m.end());
    }
    EXPECT_EQ(path.OnDelivery(wire.data(), wire.size()), wire.size());
    const auto written = port.Written();
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(written[0].size(), 14u);
    EXPECT_EQ(written[1].size(), 1514u);
    const auto s = path.Stats();
    EXPECT_EQ(s.dropsShort, 2u);
    EXPECT_EQ(s.dropsLong, 2u);
    port.SetFull(true);
    const Bytes m = DataMessage(Ipv4Frame(Ip("10.0.0.1"), vip, 6, 1, 2));
    EXPECT_EQ(path.OnDelivery(m.data(), m.size()), m.size());
    EXPECT_EQ(path.Stats().dropsRingFull, 1u);
}

// The adapter carries IPv4 and ARP only: an IPv6 router advertisement from the gateway (or any
// other EtherType, tagged ones included) never reaches it, and is counted.
TEST_F(DataPathTest, FramesTheAdapterHasNoUseForAreDroppedAndCounted) {
    Bytes wire;
    const Bytes ipv4 = Ipv4Frame(Ip("10.0.0.1"), vip, 6, 80, 4000, 40);
    Bytes arp(42, 0);
    arp[12] = 0x08, arp[13] = 0x06;
    // Ethernet to the all-nodes group, IPv6, ICMPv6 type 134 (router advertisement).
    Bytes ra = {0x33, 0x33, 0, 0, 0, 1, 0x02, 0, 0, 0, 0, 1, 0x86, 0xDD, 0x60, 0, 0, 0, 0, 16, 58, 255};
    ra.resize(ra.size() + 32, 0);
    ra.push_back(134);
    ra.resize(ra.size() + 15, 0);
    for (const unsigned type : {0x86DDu, 0x8100u, 0x0801u, 0x0000u, 0x0600u, 0x0008u}) {
        Bytes other = ipv4;
        other[12] = static_cast<std::uint8_t>(type >> 8);
        other[13] = static_cast<std::uint8_t>(type);
        const Bytes m = DataMessage(other);
        wire.insert(wire.end(), m.begin(), m.end());
    }
    for (const Bytes* f : std::initializer_list<const Bytes*>{&ra, &ipv4, &arp}) {
        const Bytes m = DataMessage(*f);
        wire.insert(wire.end(), m.begin(), m.end());
    }
    EXPECT_EQ(path.OnDelivery(wire.data(), wire.size()), wire.size());
    const auto written = port.Written();
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(written[0][13], 0x00);
    EXPECT_EQ(written[1][13], 0x06);
    EXPECT_EQ(path.Stats().dropsEtherType, 7u);
    EXPECT_EQ(path.ReceivedBytes(), ipv4.size() + arp.size());
}

// A full input ring is waited out while the driver drains it: the frame goes in late, not lost.
TEST_F(DataPathTest, AFullInputRingIsWaitedOutWhileTheDriverDrainsIt) {
    port.SetFullFor(3);
    const Bytes m = DataMessage(Ipv4Frame(Ip("10.0.0.1"), vip, 6, 1, 2));
    EXPECT_EQ(path.OnDelivery(m.data(), m.size()), m.size());
    EXPECT_EQ(port.Refused(), 3);
    EXPECT_EQ(port.Written().size(), 1u);
    EXPECT_EQ(path.Stats().dropsRingFull, 0u);
}

TEST_F(DataPathTest, BadHeadersAndOversizedControlMessagesEndTheSession) {
    Bytes wire = DataMessage(Ipv4Frame(Ip("10.0.0.1"), vip, 6, 1, 2));
    wire.push_back(0x07);  // version 7
    wire.insert(wire.end(), {0, 0, 0, 1, 2, 3});
    EXPECT_EQ(path.OnDelivery(wire.data(), wire.size()), wire.size());
    EXPECT_EQ(port.Written().size(), 1u);
    ASSERT_EQ(control.faults.size(), 1u);
    EXPECT_EQ(control.faults[0], engine::TW_ERROR_TUNNEL_MESSAGE);
    // A control message announced larger than the 8,192-byte cache: it could never arrive whole.
    Bytes big = ControlMessage(104, 9000);
    EXPECT_EQ(path.OnDelivery(big.data(), 100), 100u);
    ASSERT_EQ(control.faults.size(), 2u);
    // One that fits is waited for.
    Bytes fits = ControlMessage(104, 8000);
    EXPECT_EQ(path.OnDelivery(fits.data(), 100), 0u);
    EXPECT_EQ(path.OnDelivery(fits.data(), fits.size()), fits.size());
    EXPECT_EQ(control.faults.size(), 2u);
    EXPECT_EQ(control.control.back().size(), 8004u);
    // Fewer than four bytes: nothing consumed, no fault.
    EXPECT_EQ(path.OnDelivery(fits.data(), 3), 0u);
}

TEST_F(DataPathTest, CompressedMessagesBothWays) {
    SsrZlibStream* peer = nullptr;
    ASSERT_EQ(ssr_CreateSsrZlibStream(&peer), 0);
    // From the gateway: deflated on the peer's stream, inflated here in order.
    Bytes wire;
    std::vector<Bytes> frames;
    for (int i = 0; i < 5; ++i) {
        frames.push_back(Ipv4Frame(Ip("10.0.0.1"), vip, 6, 80, 9, 600));
        Bytes m(SSR_ZLIB_MESSAGE_SIZE);
        short size = static_cast<short>(m.size());
        ASSERT_EQ(ssr_ConstructZlibCompressedSsrIPPacket(
                      m.data(), &size, static_cast<int>(frames.back().size()), frames.back().data(), peer),
                  0);
        wire.insert(wire.end(), m.begin(), m.begin() + size);
    }
    EXPECT_EQ(path.OnDelivery(wire.data(), wire.size()), wire.size());
    ASSERT_EQ(port.Written().size(), 5u);
    EXPECT_EQ(0, std::memcmp(port.Written()[4].data() + 12, frames[4].data() + 12, frames[4].size() - 12));
    // A corrupt one is dropped and consumed, not left to fail again.
    Bytes corrupt = {0x03, 0x01, 0x00, 0x04, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(path.OnDelivery(corrupt.data(), corrupt.size()), corrupt.size());
    EXPECT_EQ(path.Stats().dropsBadMessage, 1u);

    // To the gateway: deflated here, inflated on a fresh peer stream.
    ssr_ResetSsrZlibStream(peer);
    path.SetCompression(true);
    _FWSHARED_MEMORY_BLOCK block{};
    const Bytes out = Ipv4Frame(vip, Ip("10.0.0.7"), 6, 4000, 80, 900);
    block.length = static_cast<DWORD>(out.size());
    std::memcpy(block.data, out.data(), out.size());
    EXPECT_TRUE(path.IndicatePacketToProtocolEx(block));
    EXPECT_TRUE(path.IndicatePacketToProtocolEx(block));
    const auto sends = sender.Sends();
    ASSERT_EQ(sends.size(), 2u);
    EXPECT_LT(sends[1].size(), sends[0].size());  // the dictionary carries over
    for (const auto& s : sends) {
        Bytes frame(SSR_ZLIB_FRAME_CAPACITY);
        short size = static_cast<short>(s.size());
        short cap = static_cast<short>(frame.size());
        ASSERT_EQ(s[1], 1);
        ASSERT_EQ(ssr_ExtractZlibCompressedSsrIPPacket(s.data(), &size, &cap, frame.data(), peer), 0);
        frame.resize(static_cast<std::size_t>(cap));
        EXPECT_EQ(frame, out);
    }
    ssr_CloseSsrZlibStream(peer);
}

TEST_F(DataPathTest, OutboundFilterProbeAndCounting) {
    auto send = [&](const Bytes& f) {
        _FWSHARED_MEMORY_BLOCK b{};
        b.length = static_cast<DWORD>(f.size());
        std::memcpy(b.data, f.data(), f.size() > TW_FRAME_AREA ? TW_FRAME_AREA : f.size());
        return path.IndicatePacketToProtocolEx(b);
    };
    clock.Advance(5);
    EXPECT_TRUE(send(Ipv4Frame(vip, Ip("10.0.0.7"), 6, 4000, 80)));
    EXPECT_TRUE(send(Ipv4Frame(vip, Ip("11.0.0.7"), 6, 4000, 80)));  // denied by the filter
    // The probe as the sender emits it: 48089 stands in sin_port unconverted, so the wire carries
    // whatever port that word is in network order; the driver matches the word, and so must we.
    sockaddr_in probeTo{};
    probeTo.sin_port = 48089;
    const WORD probeWirePort = ntohs(probeTo.sin_port);
    EXPECT_FALSE(send(Ipv4Frame(vip, Ip("10.20.30.40"), 17, 4000, probeWirePort)));
    EXPECT_FALSE(send(Ipv4Frame(vip, vip, 17, 4000, probeWirePort)));
    EXPECT_EQ(sender.Sends().size(), 1u);
    EXPECT_EQ(path.Stats().dropsPolicy, 1u);
    const std::uint64_t sent = path.SentBytes();
    const std::uint64_t last = path.LastTrafficMs();
    EXPECT_EQ(last, clock.TickMs());
    // Multicast and the subnet's broadcast go out but do not count as traffic.
    policy.ApplyPolicy("policy allow out any 0 0 0.0.0.0/0.0.0.0 x y\n");
    clock.Advance(10);
    EXPECT_TRUE(send(Ipv4Frame(vip, Ip("224.0.0.251"), 17, 5353, 5353)));
    EXPECT_TRUE(send(Ipv4Frame(vip, Ip("198.18.0.255"), 17, 137, 137)));
    EXPECT_EQ(sender.Sends().size(), 3u);
    EXPECT_EQ(path.SentBytes(), sent);
    EXPECT_EQ(path.LastTrafficMs(), last);
    // A 1,514-byte frame goes, a longer one does not; offline nothing goes.
    EXPECT_TRUE(send(Ipv4Frame(vip, Ip("10.0.0.7"), 6, 1, 2, 1480)));
    EXPECT_EQ(sender.Sends().size(), 4u);
    EXPECT_EQ(sender.Sends().back().size(), 1518u);
    sender.m_online.store(false);
    EXPECT_TRUE(send(Ipv4Frame(vip, Ip("10.0.0.7"), 6, 1, 2)));
    EXPECT_EQ(sender.Sends().size(), 4u);
    // A send the TLS library does not take is counted.
    sender.m_online.store(true);
    sender.m_result = 0;
    EXPECT_TRUE(send(Ipv4Frame(vip, Ip("10.0.0.7"), 6, 1, 2)));
    EXPECT_EQ(path.Stats().dropsSend, 1u);
    // Traffic to port 48089 as a number (where that differs from the probe's word) is the user's.
    if (probeWirePort != 48089) {
        EXPECT_TRUE(send(Ipv4Frame(vip, Ip("10.20.30.40"), 17, 4000, 48089)));
        EXPECT_EQ(path.Stats().dropsSend, 2u);
    }
}

TEST_F(DataPathTest, PumpBatchesFramesOfOneWakeUpAndAnswersLocally) {
    // Frames queued before the pump starts are read in one go and leave in one send.
    std::vector<Bytes> frames;
    for (int i = 0; i < 8; ++i) {
        frames.push_back(Ipv4Frame(vip, Ip("10.0.0.7"), 6, 4000, 80, 1000));
        port.Queue(frames.back());
    }
    ASSERT_TRUE(path.Start());
    ASSERT_TRUE(testsupport::WaitFor("the pump to send the queued frames",
                                     [&] { return path.Stats().framesToGateway == 8; }));
    auto sends = sender.Sends();
    // 8 x 1,038 bytes: one send up to about 16 KB, the rest in the next.
    ASSERT_EQ(sends.size(), 1u);
    EXPECT_EQ(sends[0].size(), 8u * 1038u);

    // ARP request for the gateway side of the subnet: answered into the adapter.
    Bytes arp(42, 0);
    arp[12] = 0x08;
    arp[13] = 0x06;
    arp[15] = 1;
    arp[16] = 0x08;
    arp[18] = 6;
    arp[19] = 4;
    arp[21] = 1;
    const DWORD sender_ip = vip, target = Ip("198.18.0.1");
    std::memcpy(&arp[28], &sender_ip, 4);
    std::memcpy(&arp[38], &target, 4);
    port.Queue(arp);
    ASSERT_TRUE(testsupport::WaitFor("the ARP answer", [&] { return port.Written().size() == 1; }));
    EXPECT_EQ(port.Written()[0][21], 2);
    // While the switch is clear ARP goes unanswered, and with the data path off IPv4 is dropped.
    path.Switches().arpAnswering.store(false);
    path.Switches().active.store(false);
    port.Queue(arp);
    port.Queue(frames[0]);
    ASSERT_TRUE(
        testsupport::WaitFor("the frame to be dropped", [&] { return path.Stats().dropsInactive == 1; }));
    EXPECT_EQ(port.Written().size(), 1u);
    EXPECT_EQ(sender.Sends().size(), 1u);
    // Short and empty blocks from the ring are dropped.
    port.Queue(Bytes(5, 0));
    ASSERT_TRUE(
        testsupport::WaitFor("the short block to be dropped", [&] { return path.Stats().dropsShort == 1; }));
    path.Stop();
    EXPECT_FALSE(path.Running());
}

TEST_F(DataPathTest, AFullRingLeavesInRecordSizedSendsThatWaitForTheWakeUpsLast) {
    // More than a record's worth queued: every send but the wake-up's last may wait in the
    // session, each is at most one record of whole messages, and together they keep the order.
    std::vector<Bytes> frames;
    for (int i = 0; i < 40; ++i) {
        frames.push_back(Ipv4Frame(vip, Ip("10.0.0.7"), 6, static_cast<WORD>(4000 + i), 80, 1000));
        port.Queue(frames.back());
    }
    ASSERT_TRUE(path.Start());
    ASSERT_TRUE(testsupport::WaitFor("the pump to send the queued frames",
                                     [&] { return path.Stats().framesToGateway == 40; }));
    path.Stop();
    const auto sends = sender.Sends();
    const auto more = sender.More();
    ASSERT_GE(sends.size(), 3u);
    Bytes all;
    for (std::size_t i = 0; i < sends.size(); ++i) {
        EXPECT_LE(sends[i].size(), 16u * 1024u) << "send " << i;
        EXPECT_EQ(sends[i].size() % 1038u, 0u) << "send " << i << " cuts a message";
        EXPECT_EQ(more[i], i + 1 < sends.size()) << "send " << i;
        all.insert(all.end(), sends[i].begin(), sends[i].end());
    }
    ASSERT_EQ(all.size(), 40u * 1038u);
    const std::size_t header = 1038u - frames[0].size();
    for (std::size_t i = 0; i < frames.size(); ++i)
        EXPECT_TRUE(std::equal(frames[i].begin(), frames[i].end(),
                               all.begin() + static_cast<long>(i * 1038 + header)))
            << "frame " << i;
}

TEST_F(DataPathTest, AnIdlePumpSleepsLongOnlyOnADoorbellAndAFrameOrAStopEndsTheSleep) {
    engine::EngineTiming t = Timing();
    t.ringIdleSleepMs = 600000;  // far beyond any bound of the waits below
    auto maxTimeout = [&] {
        const auto all = port.Timeouts();
        return all.empty() ? DWORD{0} : *std::max_element(all.begin(), all.end());
    };
    {
        // Without a doorbell the ring is only seen by looking: the back-off's bounds stay.
        TunnelDataPath polled(port, policy, sender, control, t, clock);
        polled.Configure(engine::DataPathSession{vip, Ip("255.255.255.0")});
        ASSERT_TRUE(polled.Start());
        ASSERT_TRUE(testsupport::WaitFor("the pump to pass its short sleeps",
                                         [&] { return port.Timeouts().size() >= 14; }));
        polled.Stop();
        EXPECT_EQ(maxTimeout(), t.ringLongSleepMs);
    }
    port.m_rung = true;
    TunnelDataPath rung(port, policy, sender, control, t, clock);
    rung.Configure(engine::DataPathSession{vip, Ip("255.255.255.0")});
    rung.Switches().active.store(true);
    ASSERT_TRUE(rung.Start());
    ASSERT_TRUE(testsupport::WaitFor("the pump to sleep with the idle bound",
                                     [&] { return maxTimeout() == t.ringIdleSleepMs; }));
    // Asleep for ten minutes at most (from its first sleep: no short sleeps on a doorbell): the
    // frame wakes it at once, and so does the stop.
    const auto slept = rung.Stats().sleeps;
    port.Queue(Ipv4Frame(vip, Ip("10.0.0.7"), 6, 4000, 80, 100));
    ASSERT_TRUE(
        testsupport::WaitFor("the frame to leave", [&] { return rung.Stats().framesToGateway == 1; }));
    ASSERT_TRUE(testsupport::WaitFor("the pump to sleep again",
                                     [&] { return rung.Stats().sleeps > slept && port.Pending() == 0; }));
    EXPECT_EQ(port.Timeouts().back(), t.ringIdleSleepMs);
    rung.Stop();
    EXPECT_FALSE(rung.Running());
}

// A frame the pump's spin finds, or one that comes just as the spin gives up, leaves at once in
// its own send: none waits in the batch for a frame after it.
TEST_F(DataPathTest, AFrameAtThePumpsSpinEndLeavesAtOnce) {
    port.m_rung = true;
    ASSERT_TRUE(path.Start());
    const Bytes frame = Ipv4Frame(vip, Ip("10.0.0.7"), 6, 4000, 80, 30);
    EXPECT_TRUE(testsupport::RaceAgainstSpin(
        1500, [&](int) { port.Queue(frame); },
        [&] { return static_cast<int>(path.Stats().framesToGateway); }));
    path.Stop();
    EXPECT_EQ(sender.Sends().size(), 1500u);
}

TEST_F(DataPathTest, ControlSendsKeepTheirPlaceAmongFrames) {
    _FWSHARED_MEMORY_BLOCK b{};
    const Bytes f = Ipv4Frame(vip, Ip("10.0.0.7"), 6, 4000, 80, 100);
    b.length = static_cast<DWORD>(f.size());
    std::memcpy(b.data, f.data(), f.size());
    EXPECT_TRUE(path.IndicatePacketToProtocolEx(b));
    const Bytes ka = ControlMessage(23);
    EXPECT_EQ(path.SendControl(ka.data(), ka.size()), static_cast<int>(ka.size()));
    const auto sends = sender.Sends();
    ASSERT_EQ(sends.size(), 2u);
    EXPECT_EQ(sends[0][0], 0x03);
    EXPECT_EQ(sends[1], ka);
    EXPECT_EQ(path.SendControl(nullptr, 0), -1);
}

// The messages of the sends, in order: each deflated data message inflated on one peer stream (so
// a batch out of order fails there), plain ones read as they are, control messages counted.
struct Unpacked {
    std::vector<int> ports;  // the frames' source ports
    int controls = 0;
    bool ok = true;
};
Unpacked Unpack(const std::vector<Bytes>& sends) {
    Unpacked u;
    SsrZlibStream* peer = nullptr;
    if (ssr_CreateSsrZlibStream(&peer) != 0) return {{}, 0, false};
    for (const auto& s : sends) {
        for (std::size_t at = 0; at < s.size() && u.ok;) {
            SSR_HEADER h{};
            u.ok = ssr_ExtractPacketHeader(s.data() + at, static_cast<unsigned>(s.size() - at), &h) == 0;
            if (!u.ok) break;
            const std::size_t length = SSR_HEADER_SIZE + std::size_t{h.payload_size};
            if (s[at] != 0x03) {
                ++u.controls;
            } else if (s[at + 1] != 1) {  // plain
                u.ports.push_back(s[at + 4 + 34] << 8 | s[at + 4 + 35]);
            } else {
                Bytes frame(SSR_ZLIB_FRAME_CAPACITY);
                short size = static_cast<short>(length);
                short cap = static_cast<short>(frame.size());
                u.ok =
                    ssr_ExtractZlibCompressedSsrIPPacket(s.data() + at, &size, &cap, frame.data(), peer) == 0;
                if (u.ok) u.ports.push_back(frame[34] << 8 | frame[35]);
            }
            at += length;
        }
    }
    ssr_CloseSsrZlibStream(peer);
    return u;
}

TEST_F(DataPathTest, DeflatedFramesAndControlMessagesKeepTheirOrderWhileThePumpRuns) {
    // The pump deflates and sends in batches whose records may wait for the next, while control
    // messages from another thread come between them.
    path.SetCompression(true);
    ASSERT_TRUE(path.Start());
    constexpr int kFrames = 600, kControls = 40;
    std::thread ring([&] {
        for (int i = 0; i < kFrames; ++i)
            port.Queue(Ipv4Frame(vip, Ip("10.0.0.7"), 6, static_cast<WORD>(1000 + i), 80, 1200));
    });
    const Bytes ka = ControlMessage(23);
    for (int i = 0; i < kControls; ++i)
        EXPECT_EQ(path.SendControl(ka.data(), ka.size()), static_cast<int>(ka.size()));
    ring.join();
    ASSERT_TRUE(testsupport::WaitFor("the pump to send every frame",
                                     [&] { return path.Stats().framesToGateway == kFrames; }));
    path.Stop();
    const Unpacked u = Unpack(sender.Sends());
    ASSERT_TRUE(u.ok) << "a message out of order or cut";
    EXPECT_EQ(u.controls, kControls);
    ASSERT_EQ(u.ports.size(), static_cast<std::size_t>(kFrames));
    for (int i = 0; i < kFrames; ++i) EXPECT_EQ(u.ports[static_cast<std::size_t>(i)], 1000 + i);
}

TEST_F(DataPathTest, AStopWhileASendIsHeldUpSendsEveryFrameThePumpTook) {
    // The TLS send stalls with the pump inside it; the stop that comes meanwhile still sends every
    // frame read from the ring, in order.
    std::thread stopper;
    {
        std::unique_lock<std::mutex> stall(sender.m_lock);
        ASSERT_TRUE(path.Start());
        for (int i = 0; i < 400; ++i)
            port.Queue(Ipv4Frame(vip, Ip("10.0.0.7"), 6, static_cast<WORD>(2000 + i), 80, 1200));
        EXPECT_TRUE(testsupport::WaitFor("the pump to take frames", [&] { return port.Pending() < 400; }));
        stopper = std::thread([&] { path.Stop(); });
    }
    stopper.join();
    const auto stats = path.Stats();
    const Unpacked u = Unpack(sender.Sends());
    ASSERT_TRUE(u.ok) << "a message out of order or cut";
    EXPECT_EQ(stats.dropsSend, 0u);
    ASSERT_EQ(u.ports.size(), stats.framesToGateway);
    EXPECT_EQ(u.ports.size() + port.Pending(), 400u) << "frames read from the ring went missing";
    for (std::size_t i = 0; i < u.ports.size(); ++i) EXPECT_EQ(u.ports[i], 2000 + static_cast<int>(i));
}

}  // namespace
