// libFuzzer entry for what a TUN or TAP device with TCP offload hands up: the segmenter never
// reads or writes past its buffers and gives only frames that fit; every frame it gives is offered
// to the coalescer, whose writes segment back into exactly the frames it took. The first byte
// picks the link header (Ethernet or none). Run:
//   platform_packet_offload_fuzzer -max_len=66000 [corpus-dir]
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/packet_offload.h"

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "%s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t link = data[0] & 1 ? 14 : 0;
    const std::size_t maxFrame = link + 1500;
    std::vector<std::uint8_t> read(data + 1, data + size);
    platform::GsoSegmenter segmenter(link, maxFrame);
    const platform::OffloadFault fault = segmenter.Load(read.data(), read.size());
    Check(fault == platform::OffloadFault::kNone || !segmenter.Pending(), "a rejected read left frames");
    platform::TcpCoalescer coalescer(link);
    std::vector<std::vector<std::uint8_t>> taken;
    auto flush = [&] {
        std::size_t length = 0;
        const std::uint8_t* out = coalescer.Take(&length);
        if (out == nullptr) return;
        std::vector<std::uint8_t> copy(out, out + length);
        platform::GsoSegmenter again(link, maxFrame);
        Check(again.Load(copy.data(), copy.size()) == platform::OffloadFault::kNone,
              "a merged write is malformed");
        for (const auto& expected : taken) {
            std::vector<std::uint8_t> frame(maxFrame);
            const std::size_t n = again.Next(frame.data(), frame.size());
            frame.resize(n);
            Check(frame == expected, "a merged write does not segment back into what was taken");
        }
        Check(!again.Pending(), "a merged write holds more than was taken");
        taken.clear();
    };
    while (segmenter.Pending()) {
        std::vector<std::uint8_t> frame(maxFrame);
        const std::size_t n = segmenter.Next(frame.data(), frame.size());
        Check(n <= maxFrame, "a frame larger than its buffer");
        frame.resize(n);
        if (n == 0) continue;
        if (!coalescer.Add(frame.data(), n)) {
            flush();
            if (!coalescer.Add(frame.data(), n)) continue;
        }
        taken.push_back(frame);
    }
    flush();
    return 0;
}
