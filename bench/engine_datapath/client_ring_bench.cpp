// The client's own cost per frame on the driver's ring, without the driver, TAP or TLS: a stand-in
// for the driver's control device shares a ring (64-bit layout, with doorbells) and plays the
// driver's side of it, and the data path sends into a sender that only counts.
//   to the gateway:   bench writes the output ring -> receive thread -> policy -> SSR batch
//   from the gateway: SSR data messages -> OnDelivery -> input ring (emptied between deliveries)
// Prints ns per frame each way: to the gateway, bursts of a ring's worth of blocks, each published
// at once and timed from there until its last frame was sent; from the gateway, deliveries
// of 64 messages. Each way also the best burst or delivery, the figure a loaded machine disturbs
// least. Usage: engine_client_ring_bench [frames]
#include <arpa/inet.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/packet_port.h"
#include "engine/tunnel_data_path.h"
#include "morbeck/morbeck.h"
#include "platform/busy_poll.h"
#include "platform/local_pipe.h"
#include "platform/machine_root.h"
#include "platform/packet_ring.h"
#include "platform/settings_store.h"
#include "platform/unique_fd.h"
#include "testsupport/temp_root.h"

namespace {

using SteadyClock = std::chrono::steady_clock;
using platform::LoadIndex;
using platform::StoreIndex;
constexpr std::size_t kFrame = 1442;  // a 1,400-byte UDP payload
constexpr int kBatch = 64;            // frames per delivery from the gateway

DWORD Ip(const char* text) {
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

// The driver's control device: the ring codes only.
class Device final : public platform::LocalPipeServer::Handler {
public:
    Device() {
        m_memFd.Reset(memfd_create("ring", MFD_CLOEXEC));
        if (ftruncate(m_memFd.Get(), static_cast<off_t>(kSize)) != 0) std::abort();
        m_map = static_cast<std::uint8_t*>(
            mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_SHARED, m_memFd.Get(), 0));
        const std::int32_t blockSize = sizeof(_FWSHARED_MEMORY_BLOCK64), count = TW_RING_BLOCK_COUNT;
        for (int ring = 0; ring < 2; ++ring) {
            std::uint8_t* d = Ring(ring);
            const std::int32_t base = ring == 0 ? 0 : count * blockSize;
            std::memcpy(d + 0, &blockSize, 4);
            std::memcpy(d + 4, &count, 4);
            std::memcpy(d + 8, &base, 4);
        }
        m_outBell.Reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        m_inBell.Reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        platform::MakeDirs(platform::RuntimeDir(), 0755);
        if (!m_pipe.Start(platform::FilterDevicePath())) std::abort();
    }
    ~Device() override {
        m_pipe.Stop();
        munmap(m_map, kSize);
    }
    std::uint8_t* Ring(int ring) const {
        return m_map + offsetof(TW_MAPPED_BLOCK64, shared) +
               static_cast<std::size_t>(ring) * sizeof(TW_RING_HEADER64);
    }
    std::uint8_t* Block(int ring, std::int32_t i) const {
        return platform::RingBlockAt(m_map + offsetof(TW_MAPPED_BLOCK64, shared), sizeof(TW_SHARED_AREA64),
                                     platform::RingLayout::k64, Ring(ring), i);
    }
    // The driver's write of `n` output blocks (fewer than the ring holds) into an empty ring,
    // published at once, so that the reader takes them back to back; returns the time just before
    // the publication.
    SteadyClock::time_point ProduceBurst(const platform::RingRecord& rec, const std::uint8_t* frame,
                                         std::int32_t n) {
        const auto g = platform::GeometryOf(platform::RingLayout::k64);
        std::uint8_t* out = Ring(0);
        const std::int32_t w = LoadIndex(out + g.writeOff);
        for (std::int32_t i = 0; i < n; ++i)
            platform::WriteBlock(platform::RingLayout::k64, Block(0, (w + i) % TW_RING_BLOCK_COUNT), rec,
                                 frame);
        const auto published = SteadyClock::now();
        StoreIndex(out + g.writeOff, (w + n) % TW_RING_BLOCK_COUNT);
        std::uint8_t* word = platform::RingSleepWord(m_map, kSize);
        if (platform::RingTakeWakeUp(word, platform::kRingOutputReaderSleeping))
            platform::RingDoorbell(m_outBell.Get());
        return published;
    }
    // The driver's ring thread took everything from the input ring; returns the frames it held.
    std::int32_t DrainInput() {
        const auto g = platform::GeometryOf(platform::RingLayout::k64);
        std::uint8_t* in = Ring(1);
        const std::int32_t r = LoadIndex(in + g.readOff), w = LoadIndex(in + g.writeOff);
        StoreIndex(in + g.readOff, w);
        return (w - r + TW_RING_BLOCK_COUNT) % TW_RING_BLOCK_COUNT;
    }

private:
    static constexpr std::size_t kSize = sizeof(TW_MAPPED_BLOCK64);
    static platform::LocalPipeLimits Limits() {
        platform::LocalPipeLimits limits;
        limits.maxMessage = sizeof(TW_DEVICE_REQUEST) + TW_DEVICE_MAX_BUFFER;
        return limits;
    }
    void OnRequest(platform::PipeRequest& request, platform::PipeReply* reply) override {
        if (request.data.size() < sizeof(TW_DEVICE_REQUEST)) {
            reply->close = true;
            return;
        }
        TW_DEVICE_REQUEST req;
        std::memcpy(&req, request.data.data(), sizeof req);
        TW_DEVICE_REPLY rep{TW_DEVICE_MAGIC, STATUS_SUCCESS, 0, 0};
        std::uint8_t out[8] = {};
        if (req.code == IOCTL_NDIS_FILTER_PUT_SHAREDMEMORYSIZE) {
            const DWORD size = static_cast<DWORD>(kSize);
            std::memcpy(out, &size, 4);
            rep.bytesReturned = 4;
        } else if (req.code == IOCTL_NDIS_FILTER_START_SHARE) {
            DWORD requested = 0;
            if (req.inLength >= 4) std::memcpy(&requested, request.data.data() + sizeof req, 4);
            const std::uint64_t shared = requested + offsetof(TW_MAPPED_BLOCK64, shared);
            std::memcpy(out, &shared, 8);
            rep.bytesReturned = 8;
            reply->fd = m_memFd.Get();
            reply->extraFds[0] = m_outBell.Get();
            reply->extraFds[1] = m_inBell.Get();
        } else if (req.code == IOCTL_NDIS_FILTER_READ_SHARE) {
            rep.status = STATUS_UNSUCCESSFUL;
        }
        reply->data.resize(sizeof rep + rep.bytesReturned);
        std::memcpy(reply->data.data(), &rep, sizeof rep);
        std::memcpy(reply->data.data() + sizeof rep, out, rep.bytesReturned);
    }

    platform::UniqueFd m_memFd, m_outBell, m_inBell;
    std::uint8_t* m_map = nullptr;
    platform::LocalPipeServer m_pipe{*this, platform::PeerPolicy::RootOrSelf(), Limits()};
};

struct Sink final : engine::TunnelSender, engine::TunnelControlSink {
    std::atomic<std::uint64_t> bytes{0};
    int SendTunnelBytes(const std::uint8_t*, std::size_t length, bool) override {
        bytes.fetch_add(length, std::memory_order_relaxed);
        return static_cast<int>(length);
    }
    bool TunnelOnline() override { return true; }
    void OnGatewayMessage() override {}
    void OnControlMessage(const std::uint8_t*, std::size_t) override {}
    void OnTunnelFault(int) override {}
};

std::vector<std::uint8_t> UdpFrame(DWORD src, DWORD dst) {
    std::vector<std::uint8_t> f(kFrame, 0);
    const std::uint8_t mac0[6] = {0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x00};
    std::memcpy(&f[6], mac0, 6);
    f[12] = 0x08;
    f[14] = 0x45;
    f[16] = static_cast<std::uint8_t>((kFrame - 14) >> 8);
    f[17] = static_cast<std::uint8_t>(kFrame - 14);
    f[22] = 64;
    f[23] = 17;
    std::memcpy(&f[26], &src, 4);
    std::memcpy(&f[30], &dst, 4);
    f[34] = 0x1B;
    f[35] = 0x58;  // 7000
    f[36] = 0x1B;
    f[37] = 0x59;  // 7001
    for (std::size_t i = 42; i < f.size(); ++i) f[i] = static_cast<std::uint8_t>(i);
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    const long frames = argc > 1 ? std::max(1000L, std::atol(argv[1])) : 2000000;
    testsupport::TempRoot root{"client-ring-bench"};
    Device device;
    int rc = 1;
    {
        CMorbeck driver;
        driver.OpenFilterHandler();
        if (driver.IsDriverLoaded() != 1 || driver.StartShare() != 1) {
            std::fprintf(stderr, "engine_client_ring_bench: the ring was not shared\n");
            return 1;
        }
        engine::MorbeckPacketPort port(driver, reinterpret_cast<void*>(static_cast<std::uintptr_t>(1)));
        engine::TwGatewayPolicy policy(std::make_shared<platform::SettingsStore>(root.Path() + "/s.db"));
        policy.ApplyPolicy("policy allow out any 0 0 198.18.0.0/255.255.255.0 x y\n");
        Sink sink;
        engine::EngineTiming timing;
        timing.ringSpinTries = 1u << 30;  // the reader never sleeps while the bench writes
        engine::TunnelDataPath path(port, policy, sink, sink, timing);
        engine::DataPathSession s;
        s.virtualIp = Ip("198.18.0.2");
        s.mask = Ip("255.255.255.0");
        path.Configure(s);
        path.Switches().active.store(true);

        // To the gateway.
        const std::vector<std::uint8_t> out = UdpFrame(Ip("198.18.0.2"), Ip("198.18.0.1"));
        platform::RingRecord rec;
        rec.adapterId = 1;
        rec.direction = 1;
        rec.length = static_cast<std::uint32_t>(out.size());
        if (!path.Start()) return 1;
        constexpr std::int32_t kBurst = TW_RING_BLOCK_COUNT - 1;
        const long bursts = std::max(1L, frames / kBurst);
        double toNs = 0, toBest = 1e300;
        for (long b = 0; b < bursts; ++b) {
            // Waited for on the sender's count (once per send), not on the data path's per-frame
            // counters, whose cache lines the reader must keep to itself.
            const std::uint64_t target = static_cast<std::uint64_t>((b + 1) * kBurst) * (out.size() + 4);
            const auto t = device.ProduceBurst(rec, out.data(), kBurst);
            // Counted when the batch left, which is once the reader found the ring dry.
            while (sink.bytes.load(std::memory_order_relaxed) < target) platform::CpuRelax();
            const double ns = std::chrono::duration<double, std::nano>(SteadyClock::now() - t).count();
            toNs += ns;
            toBest = std::min(toBest, ns / kBurst);
        }
        const long toFrames = bursts * kBurst;
        path.Stop();

        // From the gateway.
        std::vector<std::uint8_t> delivery;
        const std::vector<std::uint8_t> in = UdpFrame(Ip("198.18.0.1"), Ip("198.18.0.2"));
        for (int i = 0; i < kBatch; ++i) {
            const std::uint8_t head[4] = {0x03, 0x00, static_cast<std::uint8_t>(in.size() >> 8),
                                          static_cast<std::uint8_t>(in.size())};
            delivery.insert(delivery.end(), head, head + 4);
            delivery.insert(delivery.end(), in.begin(), in.end());
        }
        const long deliveries = frames / kBatch;
        double fromNs = 0, fromBest = 1e300;
        std::int64_t written = 0;
        for (long d = 0; d < deliveries; ++d) {
            const auto t = SteadyClock::now();
            path.OnDelivery(delivery.data(), delivery.size());
            const double ns = std::chrono::duration<double, std::nano>(SteadyClock::now() - t).count();
            fromNs += ns;
            fromBest = std::min(fromBest, ns / kBatch);
            written += device.DrainInput();
        }
        const engine::DataPathStats st = path.Stats();
        std::printf("client ring, %zu-byte frames, 64-bit layout\n", kFrame);
        std::printf(
            "  to the gateway:   %7.1f ns/frame, best burst %7.1f  (%ld frames, %llu sends, %llu bytes)\n",
            toNs / static_cast<double>(toFrames), toBest, toFrames, static_cast<unsigned long long>(st.sends),
            static_cast<unsigned long long>(sink.bytes.load()));
        std::printf(
            "  from the gateway: %7.1f ns/frame, best delivery %5.1f  (%lld frames into the ring, %llu "
            "dropped)\n",
            fromNs / static_cast<double>(deliveries * kBatch), fromBest, static_cast<long long>(written),
            static_cast<unsigned long long>(st.dropsRingFull));
        rc = written == deliveries * kBatch && st.framesToGateway == static_cast<std::uint64_t>(frames) ? 0
                                                                                                        : 1;
        driver.StopShare();
        driver.CloseFilterHandler();
    }
    return rc;
}
