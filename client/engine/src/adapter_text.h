// Address texts of the adapter configuration's commands and logs.
#pragma once
#include <arpa/inet.h>

#include <string>

#include "platform/types.h"

namespace engine {

constexpr DWORD kHostMask = 0xFFFFFFFFu;

// Dotted text of an address in network byte order.
inline std::string Dotted(DWORD networkOrder) {
    char text[INET_ADDRSTRLEN] = {};
    in_addr a{};
    a.s_addr = networkOrder;
    inet_ntop(AF_INET, &a, text, sizeof(text));
    return text;
}
// Dotted text of an address in host byte order.
inline std::string DottedHost(DWORD hostOrder) { return Dotted(htonl(hostOrder)); }

}  // namespace engine
