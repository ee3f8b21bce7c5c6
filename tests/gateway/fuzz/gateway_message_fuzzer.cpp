// Every parser of the gateway over one input: none may read outside it, and whatever one
// accepts must fit inside it.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "gateway/gateway_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> exact(data, data + size);
    qelgw::LogonRequest q;
    if (qelgw::ParseLogonRequest(exact.data(), exact.size(), &q) == SSR_SUCCESS &&
        (q.length > size || q.user.size() + q.password.size() + qelgw::kLogonRequestFixed + 4 != q.length))
        std::abort();
    qelgw::PasswordChange c;
    if (qelgw::ParsePasswordChange(exact.data(), exact.size(), &c) == SSR_SUCCESS && c.length > size)
        std::abort();
    qelgw::AppAccessRecord a;
    if (qelgw::ParseAppAccessRecord(exact.data(), exact.size(), &a) == SSR_SUCCESS && a.length > size)
        std::abort();
    return 0;
}
