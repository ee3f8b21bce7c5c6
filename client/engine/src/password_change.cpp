#include "engine/password_change.h"

#include "wendrel/ssr_control.h"

namespace engine {

std::vector<std::uint8_t> BuildPasswordChangeRequest(std::uint32_t sessionId, const std::string& user,
                                                     const std::string& oldPassword,
                                                     const std::string& newPassword) {
    int size = 0;
    if (ssr_ConstructCltSvrResetPwd(nullptr, &size, sessionId, user.c_str(), oldPassword.c_str(),
                                    newPassword.c_str()) != SSR_BUFFER_TOO_SMALL ||
        size <= 0)
        return {};
    std::vector<std::uint8_t> request(static_cast<std::size_t>(size));
    if (ssr_ConstructCltSvrResetPwd(request.data(), &size, sessionId, user.c_str(), oldPassword.c_str(),
                                    newPassword.c_str()) != SSR_SUCCESS)
        return {};
    request.resize(static_cast<std::size_t>(size));
    return request;
}

}  // namespace engine
