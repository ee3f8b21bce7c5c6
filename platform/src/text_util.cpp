#include "platform/text_util.h"

#include <arpa/inet.h>

namespace platform {

std::string Ipv4Text(DWORD networkOrder) {
    char text[INET_ADDRSTRLEN] = {};
    in_addr a{};
    a.s_addr = networkOrder;
    ::inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

std::string Ipv4TextHost(DWORD hostOrder) { return Ipv4Text(htonl(hostOrder)); }

std::string Trim(std::string_view text) { return std::string(TrimView(text)); }

std::string_view TrimView(std::string_view text, std::string_view blanks) {
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return text.substr(text.size());
    const std::size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

}  // namespace platform
