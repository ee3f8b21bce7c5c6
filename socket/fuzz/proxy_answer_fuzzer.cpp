// libFuzzer entry for the reader of the proxy's CONNECT answer. Byte 0 picks the header bound and
// how the rest is cut into packets; the rest is what the proxy sends. The stream is read twice: in
// one piece, and cut at places drawn from a generator seeded by the input (down to a byte a
// packet, so the status line itself is cut). Checked: the reader never claims more bytes than it
// was offered, a connected answer ends at the first blank line (what follows belongs to the
// tunnel), both readings come to the same verdict and take the same answer, and the error text
// stays bounded and printable.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "prendle/proxy_handshake.h"

namespace {

void Fail(const char* what) {
    std::fprintf(stderr, "proxy answer: %s\n", what);
    std::abort();
}

void CheckText(const prendle::ProxyAnswerReader& reader) {
    const std::string text = reader.PrintableText();
    if (text.size() > prendle::ProxyAnswerReader::kFirstPacketMax) Fail("error text over its bound");
    for (char c : text) {
        auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\r' && c != '\n' && c != '\t') || u == 0x7F)
            Fail("control character in the text");
    }
}

// Reads the stream in the pieces `next` gives (0 once it is over: the proxy closed); returns the
// verdict and the answer's bytes.
template <typename Next>
std::pair<prendle::ProxyAnswer, std::string> Read(const char* stream, std::size_t length,
                                                  std::size_t headerMax, Next next) {
    prendle::ProxyAnswerReader reader(headerMax);
    std::string answer;
    std::size_t offset = 0;
    prendle::ProxyAnswer verdict = prendle::ProxyAnswer::kNeedMore;
    while (verdict == prendle::ProxyAnswer::kNeedMore) {
        const std::size_t packet = std::min<std::size_t>(length - offset, next());
        std::size_t used = 0;
        verdict = reader.Feed(stream + offset, packet, &used);
        if (used > packet) Fail("claimed more bytes than offered");
        if (verdict == prendle::ProxyAnswer::kNeedMore && used != packet) Fail("waiting with bytes left");
        answer.append(stream + offset, used);
        offset += packet;
        if (packet == 0 && verdict != prendle::ProxyAnswer::kClosed) Fail("end of stream not seen as closed");
    }
    if (verdict == prendle::ProxyAnswer::kConnected) {
        const std::size_t blank = answer.find("\r\n\r\n");
        if (blank == std::string::npos || blank + 4 != answer.size())
            Fail("answer does not end at its first blank line");
    }
    if (answer.size() > headerMax + prendle::ProxyAnswerReader::kFirstPacketMax)
        Fail("answer over the header bound");
    CheckText(reader);
    return {verdict, answer};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const unsigned pick = data[0];
    const std::size_t headerMax = (pick & 1) ? 256 : prendle::ProxyAnswerReader::kDefaultHeaderMax;
    const char* stream = reinterpret_cast<const char*>(data + 1);
    const std::size_t length = size - 1;

    const auto whole = Read(stream, length, headerMax, [&] { return length + 1; });

    std::uint32_t state = 2166136261u;  // FNV-1a of the input seeds the cuts
    for (std::size_t i = 0; i < size; ++i) state = (state ^ data[i]) * 16777619u;
    const std::size_t largest = 1 + (pick >> 1) * 8;  // 1 (a byte a packet) to 1017
    const auto cut = Read(stream, length, headerMax, [&] {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return 1 + state % largest;
    });

    if (cut.first != whole.first) Fail("the verdict depends on how the answer is cut");
    if (whole.first == prendle::ProxyAnswer::kConnected && cut.second != whole.second)
        Fail("the answer taken depends on how it is cut");
    return 0;
}
