// Data messages, plain and deflated, and the per-tunnel compression streams.
#include <gtest/gtest.h>
#include <zlib.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/log_sink.h"
#include "wendrel/ssr_codec.h"
#include "wendrel/ssr_log_sink.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// An Ethernet/IPv4/TCP frame with an HTTP-like payload, `length` bytes long.
Bytes MakeFrame(std::size_t length, unsigned seed = 1) {
    Bytes f(length);
    const std::uint8_t head[54] = {0x00, 0xff, 0xff, 0xff, 0x00, 0x00, 0x00, 0xff, 0xff, 0xff, 0x01,
                                   0x00, 0x08, 0x00, 0x45, 0x00, 0x05, 0xdc, 0x12, 0x34, 0x40, 0x00,
                                   0x40, 0x06, 0x00, 0x00, 198,  18,   0,    2,    198,  18,   0,
                                   1,    0x9c, 0x40, 0x00, 0x50, 0,    0,    0,    1,    0,    0,
                                   0,    1,    0x50, 0x18, 0xff, 0xff, 0,    0,    0,    0};
    std::memcpy(f.data(), head, length < sizeof head ? length : sizeof head);
    const std::string text = "GET /index.html?id=" + std::to_string(seed) +
                             " HTTP/1.1\r\nHost: intranet.example\r\nAccept: text/html\r\n\r\n";
    for (std::size_t i = sizeof head; i < length; ++i)
        f[i] = static_cast<std::uint8_t>(text[(i - sizeof head) % text.size()]);
    return f;
}

struct Stream {
    SsrZlibStream* z = nullptr;
    Stream() { EXPECT_EQ(ssr_CreateSsrZlibStream(&z), SSR_SUCCESS); }
    ~Stream() { ssr_CloseSsrZlibStream(z); }
};

Bytes Compress(SsrZlibStream* z, const Bytes& frame, int* rc = nullptr) {
    Bytes msg(SSR_ZLIB_MESSAGE_SIZE);
    short size = SSR_ZLIB_MESSAGE_SIZE;
    const int r = ssr_ConstructZlibCompressedSsrIPPacket(msg.data(), &size, static_cast<int>(frame.size()),
                                                         frame.data(), z);
    if (rc != nullptr) *rc = r;
    if (r != SSR_SUCCESS) return {};
    msg.resize(static_cast<std::size_t>(size));
    return msg;
}

Bytes Inflate(SsrZlibStream* z, const Bytes& msg, int* rc) {
    Bytes out(3028);
    short size = static_cast<short>(msg.size());
    short capacity = static_cast<short>(out.size());
    *rc = ssr_ExtractZlibCompressedSsrIPPacket(msg.data(), &size, &capacity, out.data(), z);
    if (*rc != SSR_SUCCESS) return {};
    EXPECT_EQ(size, static_cast<short>(msg.size()));
    out.resize(static_cast<std::size_t>(capacity));
    return out;
}

// Stands in for the codec's owner: its sink collects the lines the codec writes (as long as the
// object lives) and may refuse every level.
class LogCapture {
public:
    explicit LogCapture(bool wanted = true) : m_sink(std::make_shared<Sink>(wanted)) {
        wendrel::SetSsrLogSink(m_sink);
    }
    ~LogCapture() { wendrel::SetSsrLogSink(nullptr); }
    std::string Text() {
        std::lock_guard<std::mutex> lock(m_sink->lock);
        return m_sink->text;
    }

private:
    struct Sink : platform::LogSink {
        explicit Sink(bool w) : wanted(w) {}
        bool Wants(int level) override { return wanted && level == 4; }
        void Write(int level, const char* line) override {
            std::lock_guard<std::mutex> g(lock);
            text += level == 4 && wanted ? line : "unwanted line written!";
        }
        const bool wanted;
        std::mutex lock;
        std::string text;
    };
    std::shared_ptr<Sink> m_sink;
};

TEST(SsrPlainData, KnownBytesAndRoundTrip) {
    const Bytes frame = {0xde, 0xad, 0xbe, 0xef, 0x01};
    Bytes msg(9);
    short size = 9;
    ASSERT_EQ(ssr_ConstructSsrIPPacket(msg.data(), &size, 5, frame.data()), SSR_SUCCESS);
    EXPECT_EQ(size, 9);
    EXPECT_EQ(msg, (Bytes{0x03, 0x00, 0x00, 0x05, 0xde, 0xad, 0xbe, 0xef, 0x01}));

    short avail = 9;
    short length = 0;
    const void* payload = nullptr;
    ASSERT_EQ(ssr_ExtractSsrIPPacket(msg.data(), &avail, &length, &payload), SSR_SUCCESS);
    EXPECT_EQ(avail, 9);
    EXPECT_EQ(length, 5);
    EXPECT_EQ(payload, msg.data() + 4);
    avail = 8;
    EXPECT_EQ(ssr_ExtractSsrIPPacket(msg.data(), &avail, &length, &payload), SSR_ERROR_INCOMPLETE);
}

TEST(SsrPlainData, SizingAndRefusals) {
    const Bytes frame = MakeFrame(1514);
    short size = 0;
    EXPECT_EQ(ssr_ConstructSsrIPPacket(nullptr, &size, 1514, frame.data()), SSR_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 1518);
    Bytes msg(static_cast<std::size_t>(size));
    EXPECT_EQ(ssr_ConstructSsrIPPacket(msg.data(), &size, 1514, nullptr), SSR_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(ssr_ConstructSsrIPPacket(msg.data(), nullptr, 1514, frame.data()), SSR_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(ssr_ConstructSsrIPPacket(msg.data(), &size, -1, frame.data()), SSR_ERROR_INVALID_ARGUMENT);
    // 32,764 bytes of frame make the largest message a 16-bit size can carry; one more is refused.
    Bytes big(32764);
    Bytes out(32768);
    size = 32767;
    EXPECT_EQ(ssr_ConstructSsrIPPacket(out.data(), &size, 32763, big.data()), SSR_SUCCESS);
    size = 32767;
    EXPECT_EQ(ssr_ConstructSsrIPPacket(out.data(), &size, 32764, big.data()), SSR_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 32767);
    EXPECT_EQ(out[3], 0xFB);  // the earlier message was left alone
}

TEST(SsrZlibData, CompressedRoundTripSharesTheDictionary) {
    Stream a, b;
    const Bytes frame = MakeFrame(576);
    int rc = 0;
    const Bytes first = Compress(a.z, frame, &rc);
    ASSERT_EQ(rc, SSR_SUCCESS);
    const Bytes second = Compress(a.z, frame, &rc);
    ASSERT_EQ(rc, SSR_SUCCESS);
    EXPECT_EQ(first[0], 0x03);
    EXPECT_EQ(first[1], 0x01);
    EXPECT_EQ((first[2] << 8) | first[3], static_cast<int>(first.size()) - 4);
    EXPECT_LT(second.size(), first.size());
    // The sync flush ends every message on a byte boundary with an empty stored block.
    EXPECT_EQ(Bytes(first.end() - 4, first.end()), (Bytes{0x00, 0x00, 0xff, 0xff}));

    EXPECT_EQ(Inflate(b.z, first, &rc), frame);
    EXPECT_EQ(rc, SSR_SUCCESS);
    EXPECT_EQ(Inflate(b.z, second, &rc), frame);
    EXPECT_EQ(rc, SSR_SUCCESS);
}

TEST(SsrZlibData, OutOfOrderInflationFails) {
    Stream a, b;
    int rc = 0;
    const Bytes m1 = Compress(a.z, MakeFrame(300, 1), &rc);
    const Bytes m2 = Compress(a.z, MakeFrame(300, 2), &rc);
    // m2 on a fresh stream lacks the zlib header that only the first message carries.
    Inflate(b.z, m2, &rc);
    EXPECT_EQ(rc, SSR_ERROR_ZLIB);
    (void)m1;
}

TEST(SsrZlibData, ResetStartsBothDirectionsAfresh) {
    Stream a, b;
    int rc = 0;
    const Bytes frame = MakeFrame(1514, 7);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Inflate(b.z, Compress(a.z, frame, &rc), &rc), frame);
    ASSERT_EQ(ssr_ResetSsrZlibStream(a.z), SSR_SUCCESS);
    const Bytes after = Compress(a.z, frame, &rc);
    ASSERT_EQ(rc, SSR_SUCCESS);
    // A freshly created peer (a new tunnel) inflates it; so does the old peer once reset.
    Stream fresh;
    EXPECT_EQ(Inflate(fresh.z, after, &rc), frame);
    ASSERT_EQ(ssr_ResetSsrZlibStream(b.z), SSR_SUCCESS);
    EXPECT_EQ(Inflate(b.z, after, &rc), frame);
    EXPECT_EQ(ssr_ResetSsrZlibStream(nullptr), SSR_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(ssr_CloseSsrZlibStream(nullptr), SSR_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(ssr_CreateSsrZlibStream(nullptr), SSR_ERROR_INVALID_ARGUMENT);
}

TEST(SsrZlibData, BuildSizeRule) {
    Stream a;
    const Bytes frame = MakeFrame(40);
    Bytes msg(SSR_ZLIB_MESSAGE_SIZE);
    short size = 1533;
    EXPECT_EQ(ssr_ConstructZlibCompressedSsrIPPacket(msg.data(), &size, 40, frame.data(), a.z),
              SSR_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, SSR_ZLIB_MESSAGE_SIZE);
    EXPECT_EQ(ssr_ConstructZlibCompressedSsrIPPacket(nullptr, &size, 40, frame.data(), a.z),
              SSR_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(ssr_ConstructZlibCompressedSsrIPPacket(msg.data(), &size, 40, nullptr, a.z),
              SSR_ERROR_INVALID_ARGUMENT);
}

TEST(SsrZlibData, NullStreamBuildsAPlainMessage) {
    const Bytes frame = MakeFrame(64);
    Bytes msg(SSR_ZLIB_MESSAGE_SIZE);
    short size = SSR_ZLIB_MESSAGE_SIZE;
    ASSERT_EQ(ssr_ConstructZlibCompressedSsrIPPacket(msg.data(), &size, 64, frame.data(), nullptr),
              SSR_SUCCESS);
    EXPECT_EQ(size, 68);
    EXPECT_EQ(msg[1], SSR_CODE_DATA_IP_PACKET);
    EXPECT_EQ(0, std::memcmp(msg.data() + 4, frame.data(), 64));
}

TEST(SsrZlibData, OversizedFrameIsRefusedAndTheStreamStaysInStep) {
    Stream a, b;
    Bytes noise(1600);
    std::mt19937 rng(3);
    for (auto& c : noise) c = static_cast<std::uint8_t>(rng());
    Bytes msg(SSR_ZLIB_MESSAGE_SIZE);
    short size = SSR_ZLIB_MESSAGE_SIZE;
    EXPECT_EQ(ssr_ConstructZlibCompressedSsrIPPacket(msg.data(), &size, 1515, noise.data(), a.z),
              SSR_ERROR_INVALID_ARGUMENT);
    int rc = 0;
    const Bytes frame = MakeFrame(200);
    EXPECT_EQ(Inflate(b.z, Compress(a.z, frame, &rc), &rc), frame);
}

TEST(SsrZlibData, IncompressibleFullFramesAlwaysFit) {
    Stream a, b;
    std::mt19937 rng(11);
    for (int i = 0; i < 200; ++i) {
        Bytes frame(SSR_MAX_FRAME_SIZE);
        for (auto& c : frame) c = static_cast<std::uint8_t>(rng());
        int rc = 0;
        const Bytes msg = Compress(a.z, frame, &rc);
        ASSERT_EQ(rc, SSR_SUCCESS) << i;
        ASSERT_LE(msg.size(), static_cast<std::size_t>(SSR_ZLIB_MESSAGE_SIZE));
        ASSERT_EQ(Inflate(b.z, msg, &rc), frame) << i;
    }
}

TEST(SsrZlibData, ExtractCapacityAndCorruption) {
    Stream a, b;
    int rc = 0;
    const Bytes msg = Compress(a.z, MakeFrame(1000), &rc);
    Bytes out(3028);
    short size = static_cast<short>(msg.size());
    short capacity = 1529;
    EXPECT_EQ(ssr_ExtractZlibCompressedSsrIPPacket(msg.data(), &size, &capacity, out.data(), b.z),
              SSR_BUFFER_TOO_SMALL);
    size = static_cast<short>(msg.size() - 1);
    capacity = 3028;
    EXPECT_EQ(ssr_ExtractZlibCompressedSsrIPPacket(msg.data(), &size, &capacity, out.data(), b.z),
              SSR_ERROR_INCOMPLETE);

    Bytes corrupt = {0x03, 0x01, 0x00, 0x06, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    {
        LogCapture log;
        size = static_cast<short>(corrupt.size());
        EXPECT_EQ(ssr_ExtractZlibCompressedSsrIPPacket(corrupt.data(), &size, &capacity, out.data(), b.z),
                  SSR_ERROR_ZLIB);
        EXPECT_NE(log.Text().find("inflate(m_ZlibStreamIn) fails, err=-3\n"), std::string::npos);
    }
    LogCapture refusing(false);
    Stream c;
    size = static_cast<short>(corrupt.size());
    EXPECT_EQ(ssr_ExtractZlibCompressedSsrIPPacket(corrupt.data(), &size, &capacity, out.data(), c.z),
              SSR_ERROR_ZLIB);
    EXPECT_EQ(refusing.Text(), "") << "a line the sink does not want is not written";
}

TEST(SsrZlibData, FrameLargerThanTheCapacityIsNeverCut) {
    Stream a, b;
    // A peer may deflate more than a frame; 3,000 bytes cannot land in 1,530 bytes of room.
    Bytes big(3000, 'x');
    z_stream peer{};
    ASSERT_EQ(deflateInit(&peer, Z_DEFAULT_COMPRESSION), Z_OK);
    Bytes msg(4 + 200);
    peer.next_in = big.data();
    peer.avail_in = static_cast<uInt>(big.size());
    peer.next_out = msg.data() + 4;
    peer.avail_out = 200;
    ASSERT_EQ(deflate(&peer, Z_SYNC_FLUSH), Z_OK);
    const auto produced = 200 - peer.avail_out;
    deflateEnd(&peer);
    msg.resize(4 + produced);
    msg[0] = 0x03;
    msg[1] = 0x01;
    msg[2] = 0;
    msg[3] = static_cast<std::uint8_t>(produced);
    Bytes out(1530);
    short size = static_cast<short>(msg.size());
    short capacity = 1530;
    EXPECT_EQ(ssr_ExtractZlibCompressedSsrIPPacket(msg.data(), &size, &capacity, out.data(), b.z),
              SSR_ERROR_ZLIB);
}

TEST(SsrZlibData, SenderAndReceiverRunAtOnce) {
    // One tunnel end compresses on one thread while it inflates the peer's messages on another.
    Stream local, peer, peerIn;
    constexpr unsigned kFrames = 300;
    std::vector<Bytes> fromPeer;
    int rc = 0;
    for (unsigned i = 0; i < kFrames; ++i) fromPeer.push_back(Compress(peer.z, MakeFrame(64 + i, i), &rc));
    std::vector<Bytes> sent(kFrames);
    std::thread sender([&] {
        int r = 0;
        for (unsigned i = 0; i < kFrames; ++i) sent[i] = Compress(local.z, MakeFrame(576, i), &r);
    });
    int failures = 0;
    for (unsigned i = 0; i < kFrames; ++i) {
        int r = 0;
        if (Inflate(local.z, fromPeer[i], &r) != MakeFrame(64 + i, i)) ++failures;
    }
    sender.join();
    EXPECT_EQ(failures, 0);
    for (unsigned i = 0; i < kFrames; ++i) EXPECT_EQ(Inflate(peerIn.z, sent[i], &rc), MakeFrame(576, i));
}

}  // namespace
