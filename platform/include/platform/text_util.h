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
// The blanks Trim takes off: space, tab, CR, LF, VT, FF.
inline constexpr std::string_view kTrimBlanks = " \t\r\n\v\f";
// `text` without leading and trailing blanks (space, tab, CR, LF, VT, FF).
std::string Trim(std::string_view text);
// `text` without leading and trailing characters of `blanks`, as a view into `text` (a header's
// optional white space is only space and tab, a user name's blank only the space).
std::string_view TrimView(std::string_view text, std::string_view blanks = kTrimBlanks);
// `text` with ASCII capitals made small; other bytes as they are.
std::string Lower(std::string_view text);

}  // namespace platform
