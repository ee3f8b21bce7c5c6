// libFuzzer entry for the control server's request reader: a complete request never claims more
// bytes than arrived or than the limits allow, and an incomplete one is still within them. Run:
//   service_http_request_fuzzer -max_len=80000 [corpus-dir]
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "service/http_request.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    service::HttpRequest request;
    std::string error;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    switch (service::ParseHttpRequest(bytes, &request, &error)) {
        case service::HttpParse::kComplete:
            if (request.consumed > size || request.consumed > service::kMaxHttpHead + service::kMaxHttpBody)
                std::abort();
            break;
        case service::HttpParse::kIncomplete:
            if (size >= service::kMaxHttpHead + service::kMaxHttpBody) std::abort();
            break;
        case service::HttpParse::kMalformed:
            if (error.empty()) std::abort();
            break;
    }
    return 0;
}
