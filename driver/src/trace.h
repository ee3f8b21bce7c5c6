// The driver's debugger output (what DbgPrint is in the kernel) and the debug-flag mask that
// selects which groups of traces are printed. Process-wide like the kernel debugger; thread-safe.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string_view>

namespace olvane {

enum DebugBit : std::uint32_t {
    kDbgFilterApi = 0x1,      // filter adapter functions
    kDbgAdapterEvents = 0x2,  // adapter event callbacks of the filter half
    kDbgInit = 0x100,         // initialisation, control codes, mapped memory
    kDbgPacketApi = 0x200,    // packet functions, injected-packet threads, invoke
    kDbgRing = 0x400,         // shared ring
    kDbgSupport = 0x800,      // support functions and the diagnostic end code
};

using TraceSink = std::function<void(std::string_view line)>;

// Installs the sink every trace goes to (empty: platform::DebugOutput).
void SetTraceSink(TraceSink sink);

// The current GlobalDebugFlag mask.
std::uint32_t DebugFlags();
void SetDebugFlags(std::uint32_t flags);
inline bool DebugOn(std::uint32_t bit) { return (DebugFlags() & bit) != 0; }

// Always printed.
void DbgPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Printed when `bit` is set in the mask.
void DbgTrace(std::uint32_t bit, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace olvane
