// libFuzzer entry: every input goes to the header parser and to every extractor, each of which
// checks that what it handed back lies inside the input. Run:
//   wendrel_extract_fuzzer -max_len=4096 [corpus-dir]
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "extractor_table.h"

// Diagnostic lines go through the shared daily log: give it a machine root of its own unless
// the caller chose one.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static char root[] = "/tmp/wendrel-fuzz-XXXXXX";
    if (std::getenv("QEL_ROOT") == nullptr && mkdtemp(root) != nullptr) setenv("QEL_ROOT", root, 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string problem = ssrfuzz::RunHeader(data, size);
    if (!problem.empty()) {
        std::fprintf(stderr, "header: %s\n", problem.c_str());
        std::abort();
    }
    for (const ssrfuzz::Extractor& e : ssrfuzz::Extractors()) {
        problem = e.run(data, size);
        if (!problem.empty()) {
            std::fprintf(stderr, "%s: %s\n", e.name, problem.c_str());
            std::abort();
        }
    }
    return 0;
}
