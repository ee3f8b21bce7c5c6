// libFuzzer entry for the file of qel_engine_client's -config: any text is read or refused with a
// reason, and what it sets stays within its bounds. Run:
//   engine_cli_options_fuzzer -max_len=4096 [corpus-dir]
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cli_options.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    qelcli::CliOptions options;
    std::string error;
    const bool ok = qelcli::ParseConfigText(text, &options, &error);
    if (!ok && error.empty()) std::abort();
    if (options.port < 1 || options.port > 65535 || options.server.size() > 255) std::abort();
    if (!options.proxyHost.empty() && (options.proxyPort < 1 || options.proxyPort > 65535)) std::abort();
    return 0;
}
