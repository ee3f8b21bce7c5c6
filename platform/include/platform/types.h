// Fixed-width stand-ins for the Windows integer types. Linux `long` is 64-bit, so every record
// that crosses a process, a file or the wire uses these instead of the native types.
#pragma once
#include <cstdint>

using DWORD = std::uint32_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using UINT = std::uint32_t;
using WORD = std::uint16_t;
using BYTE = std::uint8_t;
using BOOL = std::int32_t;
using USHORT = std::uint16_t;
using UCHAR = std::uint8_t;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

namespace platform {
// Wait results shared by every waitable object of the layer.
constexpr DWORD kWaitObject0 = 0;       // first object signalled (index added for wait-any)
constexpr DWORD kWaitAbandoned = 0x80;  // mutex obtained from a holder that died
constexpr DWORD kWaitTimeout = 0x102;
constexpr DWORD kWaitFailed = 0xFFFFFFFF;
constexpr DWORD kInfinite = 0xFFFFFFFF;
}  // namespace platform
