// libFuzzer entry for the plain-text answers of a gateway connection: the gateway's answer to the
// hello is read without fault, only a real welcome is taken for one, and the certificate text and
// user-name encoding stay within their bounds. Run:
//   engine_hello_fuzzer -max_len=2048 [corpus-dir]
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "engine/gateway_hello.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    int status = 0;
    const engine::HelloAnswer hello = engine::ReadHelloAnswer(text, &status);
    if (hello == engine::HelloAnswer::kWelcome &&
        (text.substr(0, 11) != engine::kGatewayWelcome || text.find("\r\n\r\n") == std::string_view::npos))
        std::abort();
    std::string serial, name;
    engine::SplitCertificateText(text, &serial, &name);
    if (name.size() > 127 || serial.size() > size) std::abort();
    if (engine::EncodeUserNameForQuery(text, 512).size() > 512) std::abort();
    return 0;
}
