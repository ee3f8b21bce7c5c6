// libFuzzer entry for the reader of the proxy's CONNECT answer. Byte 0 picks how the rest is cut
// into packets and the header bound; the rest is what the proxy sends. Checked: the reader never
// claims more bytes than it was offered, a connected answer ends at the first blank line (what
// follows belongs to the tunnel), and the error text stays bounded and printable.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const unsigned pick = data[0];
    const std::size_t headerMax = (pick & 1) ? 256 : prendle::ProxyAnswerReader::kDefaultHeaderMax;
    const char* stream = reinterpret_cast<const char*>(data + 1);
    const std::size_t length = size - 1;

    prendle::ProxyAnswerReader reader(headerMax);
    std::string answer;
    std::size_t offset = 0;
    prendle::ProxyAnswer verdict = prendle::ProxyAnswer::kNeedMore;
    for (unsigned i = 0; verdict == prendle::ProxyAnswer::kNeedMore; ++i) {
        const std::size_t packet = std::min<std::size_t>(length - offset, 1 + (pick >> 1) * (i % 7 + 1));
        std::size_t used = 0;
        verdict = reader.Feed(stream + offset, packet, &used);
        if (used > packet) Fail("claimed more bytes than offered");
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
    return 0;
}
