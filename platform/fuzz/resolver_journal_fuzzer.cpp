// libFuzzer entry for the resolver's backup journal: whatever the parser accepts must write back
// as the very same bytes (so a restore can only put back what a journal really recorded). Run:
//   resolver_journal_fuzzer -max_len=8192 [corpus-dir]
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "platform/resolver.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    platform::ResolverJournal journal;
    std::string why;
    if (platform::ParseResolverJournal(text, &journal, &why) &&
        platform::FormatResolverJournal(journal) != text) {
        std::fprintf(stderr, "accepted a journal that does not write back the same\n");
        std::abort();
    }
    return 0;
}
