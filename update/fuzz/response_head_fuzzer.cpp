// The file fetch's response-head parser over arbitrary bytes, offered whole and in every prefix a
// reader would see. Checked: a complete head ends at its first blank line within the bound and
// its status has three digits; a prefix of a complete head is never malformed; once complete, more
// bytes after the head change nothing.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "response_head.h"

namespace {

constexpr std::size_t kBound = 512;

update_fetch::HeadVerdict Parse(std::string_view text, update_fetch::ResponseHead* head) {
    return update_fetch::ParseResponseHead(text, kBound, head, nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    update_fetch::ResponseHead head;
    const update_fetch::HeadVerdict verdict = Parse(input, &head);
    if (verdict != update_fetch::HeadVerdict::kComplete) return 0;
    if (head.headLength > input.size() || head.headLength > kBound || head.headLength < 4) std::abort();
    if (input.substr(head.headLength - 4, 4) != "\r\n\r\n") std::abort();
    if (input.substr(0, head.headLength - 2).find("\r\n\r\n") != std::string_view::npos) std::abort();
    if (head.status < 100 || head.status > 999) std::abort();
    for (std::size_t cut = 0; cut < head.headLength; ++cut) {
        update_fetch::ResponseHead part;
        if (Parse(input.substr(0, cut), &part) == update_fetch::HeadVerdict::kMalformed) {
            // Only the early look at the status line may refuse a prefix, and then the whole too.
            std::abort();
        }
    }
    update_fetch::ResponseHead again;
    std::string longer(input.substr(0, head.headLength));
    longer += "trailing body bytes";
    if (Parse(longer, &again) != update_fetch::HeadVerdict::kComplete ||
        again.headLength != head.headLength || again.contentLength != head.contentLength ||
        again.hasLength != head.hasLength)
        std::abort();
    return 0;
}
