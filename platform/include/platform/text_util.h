// Small text helpers the whole suite shares: IPv4 addresses as dotted text, trimming, lower case.
// Pure functions, thread-safe, no errors (any DWORD is an address).
#pragma once
#include <string>
#include <string_view>

#include "platform/types.h"

namespace platform {

// "a.b.c.d" of an address in network byte order.
std::string Ipv4Text(DWORD networkOrder);
// "a.b.c.d" of an address in host byte order.
std::string Ipv4TextHost(DWORD hostOrder);
// `text` without leading and trailing blanks (space, tab, CR, LF, VT, FF).
std::string Trim(std::string_view text);
// `text` with ASCII capitals made small; other bytes as they are.
std::string Lower(std::string_view text);

}  // namespace platform
