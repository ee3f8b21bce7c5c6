#include "trace.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform/debug_output.h"

namespace olvane {

namespace {
std::atomic<std::uint32_t> g_flags{0};
std::mutex g_sinkLock;
TraceSink g_sink;

void Emit(const char* format, va_list args) __attribute__((format(printf, 1, 0)));
void Emit(const char* format, va_list args) {
    char line[1200];
    int n = std::vsnprintf(line, sizeof(line), format, args);
    if (n < 0) return;
    std::string_view text(
        line, static_cast<std::size_t>(n) < sizeof(line) ? static_cast<std::size_t>(n) : sizeof(line) - 1);
    std::lock_guard<std::mutex> lock(g_sinkLock);
    if (g_sink) {
        g_sink(text);
    } else {
        platform::DebugOutput(text);
    }
}
}  // namespace

void SetTraceSink(TraceSink sink) {
    std::lock_guard<std::mutex> lock(g_sinkLock);
    g_sink = std::move(sink);
}

std::uint32_t DebugFlags() { return g_flags.load(std::memory_order_relaxed); }
void SetDebugFlags(std::uint32_t flags) { g_flags.store(flags, std::memory_order_relaxed); }

void DbgPrint(const char* format, ...) {
    va_list args;
    va_start(args, format);
    Emit(format, args);
    va_end(args);
}

void DbgTrace(std::uint32_t bit, const char* format, ...) {
    if (!DebugOn(bit)) return;
    va_list args;
    va_start(args, format);
    Emit(format, args);
    va_end(args);
}

}  // namespace olvane
