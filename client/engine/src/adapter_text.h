// Address texts of the adapter configuration's commands and logs.
#pragma once
#include <string>

#include "platform/text_util.h"
#include "platform/types.h"

namespace engine {

constexpr DWORD kHostMask = 0xFFFFFFFFu;

// Dotted text of an address in network byte order, and in host byte order.
using platform::Ipv4Text;
using platform::Ipv4TextHost;

}  // namespace engine
