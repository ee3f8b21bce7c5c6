// libFuzzer entry for the texts of the command line and the logon form: percent decoding stays
// inside its buffer and yields UTF-8, the gateway check keeps hosts within the DNS limit, and the
// version comparison is antisymmetric. Run:
//   vorn_command_text_fuzzer -max_len=1024 [corpus-dir]
#include <cstdint>
#include <cstdlib>
#include <string>

#include "vorn/command_line.h"
#include "vorn/logon_rules.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string decoded;
    if (vorn::UrlDecode(text, &decoded, 128) && decoded.size() > 127) std::abort();
    if (vorn::AnsiToUtf8(text, 512, true).size() > 511) std::abort();
    vorn::ServerText st;
    if (vorn::ParseGatewayText(text, &st) == 0) {
        if (st.host.empty() || st.host.size() > vorn::kHostMax || st.port < 1 || st.port > 65535)
            std::abort();
    }
    const std::size_t cut = size / 2;
    const std::string a = text.substr(0, cut), b = text.substr(cut);
    const int ab = vorn::CompareVersions(a, b), ba = vorn::CompareVersions(b, a);
    if ((ab < 0) != (ba > 0) || (ab == 0) != (ba == 0)) std::abort();
    (void)vorn::ParseCommandLine({"VornClient", "-browserlogon", "gw", "443", "7", text});
    return 0;
}
