// libFuzzer entry for the request frame a second client sends: fed whole and in two pieces, the
// reader gives the same answer, a complete frame re-encodes to exactly the bytes it was read from,
// and nothing past the limit is ever kept. Run:
//   vorn_instance_frame_fuzzer -max_len=4200 [corpus-dir]
#include <cstdint>
#include <cstdlib>
#include <string>

#include "vorn/instance_link.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* p = reinterpret_cast<const char*>(data);
    vorn::FrameReader whole;
    const auto r1 = whole.Feed(p, size);
    vorn::FrameReader split;
    const std::size_t half = size / 2;
    auto r2 = split.Feed(p, half);
    // A frame that ends within the first piece is answered before the rest is seen; the whole
    // input then has bytes after the frame, which the reader may judge otherwise.
    const bool answeredEarly = r2 != vorn::FrameReader::kNeedMore && half < size;
    if (r2 == vorn::FrameReader::kNeedMore) r2 = split.Feed(p + half, size - half);
    if (!answeredEarly && r1 != r2) std::abort();
    if (r1 == vorn::FrameReader::kComplete) {
        if (whole.Request().bytes.size() > vorn::kFrameDataMax) std::abort();
        if (vorn::EncodeFrame(whole.Request()) != std::string(p, size)) std::abort();
    }
    return 0;
}
