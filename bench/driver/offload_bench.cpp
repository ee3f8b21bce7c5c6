// CPU cost of the user-space TCP offload per super-frame, without any device: a 64 KiB TCP
// super-frame read from the TAP cut into 44 frames, and 44 frames written to it merged into one.
//   olvane_offload_bench [--benchmark_repetitions=3 ...]
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/packet_offload.h"

namespace {

constexpr std::size_t kLink = 14, kIp = 20, kTcp = 32, kMss = 1448, kSegments = 44;
constexpr std::size_t kHeaders = kLink + kIp + kTcp;
constexpr std::size_t kMaxFrame = kLink + 1500;

// What a TAP with TSO hands up for one 64 KiB send: virtio header, Ethernet, IPv4, TCP with the
// timestamp option, then kSegments * kMss bytes of payload.
std::vector<std::uint8_t> SuperFrame() {
    const std::size_t payload = kSegments * kMss;
    std::vector<std::uint8_t> b(platform::kVnetHeaderSize + kHeaders + payload);
    platform::VnetHeader h;
    h.flags = platform::kVnetFlagNeedsCsum;
    h.gsoType = platform::kVnetGsoTcpV4;
    h.headerLength = kHeaders;
    h.gsoSize = kMss;
    h.checksumStart = kLink + kIp;
    h.checksumOffset = 16;
    platform::WriteVnetHeader(h, b.data());
    std::uint8_t* f = b.data() + platform::kVnetHeaderSize;
    const std::uint8_t eth[14] = {2, 0, 0, 0, 0, 1, 2, 0, 0, 0, 0, 2, 0x08, 0x00};
    std::memcpy(f, eth, sizeof eth);
    std::uint8_t* ip = f + kLink;
    const std::size_t ipLength = kIp + kTcp + payload;
    const std::uint8_t ipv4[20] = {0x45,
                                   0,
                                   static_cast<std::uint8_t>(ipLength >> 8),
                                   static_cast<std::uint8_t>(ipLength),
                                   0x12,
                                   0x34,
                                   0x40,
                                   0,
                                   64,
                                   6,
                                   0,
                                   0,
                                   10,
                                   0,
                                   0,
                                   1,
                                   10,
                                   0,
                                   0,
                                   2};
    std::memcpy(ip, ipv4, sizeof ipv4);
    std::uint8_t* tcp = ip + kIp;
    const std::uint8_t tcpHeader[32] = {0x9c, 0x40, 0x01, 0xbb, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70,
                                        0x80, 0x80, 0x18, 0x01, 0xf5, 0,    0,    0,    0,    1,    1,
                                        8,    10,   0,    0,    0x12, 0x34, 0,    0,    0x56, 0x78};
    std::memcpy(tcp, tcpHeader, sizeof tcpHeader);
    std::uint32_t x = 12345;
    for (std::size_t i = 0; i < payload; ++i) {
        x = x * 1103515245u + 12345u;
        tcp[kTcp + i] = static_cast<std::uint8_t>(x >> 16);
    }
    return b;
}

void SegmentSuperFrame(benchmark::State& state) {
    auto read = SuperFrame();
    platform::GsoSegmenter segmenter(kLink, kMaxFrame);
    std::vector<std::uint8_t> out(kMaxFrame);
    for (auto _ : state) {
        if (segmenter.Load(read.data(), read.size()) != platform::OffloadFault::kNone) {
            state.SkipWithError("the super-frame was refused");
            return;
        }
        std::size_t frames = 0;
        while (segmenter.Pending()) frames += segmenter.Next(out.data(), out.size()) != 0;
        benchmark::DoNotOptimize(out.data());
        if (frames != kSegments) {
            state.SkipWithError("the super-frame did not give its frames");
            return;
        }
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(read.size()));
}
BENCHMARK(SegmentSuperFrame);

void CoalesceFrames(benchmark::State& state) {
    auto read = SuperFrame();
    platform::GsoSegmenter segmenter(kLink, kMaxFrame);
    (void)segmenter.Load(read.data(), read.size());
    std::vector<std::vector<std::uint8_t>> frames;
    while (segmenter.Pending()) {
        std::vector<std::uint8_t> f(kMaxFrame);
        f.resize(segmenter.Next(f.data(), f.size()));
        frames.push_back(f);
    }
    platform::TcpCoalescer coalescer(kLink);
    for (auto _ : state) {
        for (const auto& f : frames) {
            if (!coalescer.Add(f.data(), f.size())) {
                state.SkipWithError("a frame did not join the run");
                return;
            }
        }
        std::size_t length = 0;
        benchmark::DoNotOptimize(coalescer.Take(&length));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(read.size()));
}
BENCHMARK(CoalesceFrames);

}  // namespace

BENCHMARK_MAIN();
