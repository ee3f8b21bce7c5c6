#include "util/debug_print.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "platform/debug_output.h"

namespace {

constexpr std::size_t kDbgBufferSize = 64 * 1024;
std::atomic<bool> g_consoleOutput{false};
std::atomic<bool> g_functionBanner{false};

void FormatDumpLine(char* line, const unsigned char* bytes, unsigned count, unsigned offset) {
    static const char kHex[] = "0123456789ABCDEF";
    std::memset(line, ' ', 80);
    line[80] = '\0';
    for (int i = 0; i < 4; ++i) line[3 - i] = kHex[(offset >> (4 * i)) & 0xF];
    for (unsigned i = 0; i < count; ++i) {
        line[6 + 3 * i] = kHex[bytes[i] >> 4];
        line[7 + 3 * i] = kHex[bytes[i] & 0xF];
        line[56 + i] = (bytes[i] >= 0x20 && bytes[i] < 0x7F) ? static_cast<char>(bytes[i]) : '.';
    }
    line[56 + count] = '\0';
}

}  // namespace

int DbgPrint(const char* format, ...) {
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kDbgBufferSize]);
    if (!buffer || !format) return 0;
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(buffer.get(), kDbgBufferSize, format, args);
    va_end(args);
    if (length < 0) return 0;
    if (static_cast<std::size_t>(length) >= kDbgBufferSize) length = kDbgBufferSize - 1;
    platform::DebugOutput(std::string_view(buffer.get(), static_cast<std::size_t>(length)));
    return length;
}

void DumpData(const char* title, const char* data, unsigned size) {
    DbgPrint("%s, Size = %ld - 0x%lx\n", title ? title : "", static_cast<long>(size),
             static_cast<unsigned long>(size));
    if (!data) return;
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    char line[81];
    for (unsigned offset = 0; offset < size; offset += 16) {
        unsigned count = size - offset < 16 ? size - offset : 16;
        FormatDumpLine(line, bytes + offset, count, offset);
        DbgPrint("  %s\n", line);
    }
}

void DbgOutToConsole() { g_consoleOutput = true; }
void DbgOutToDebugger() { g_consoleOutput = false; }
void DbgFunctionBannerOn() { g_functionBanner = true; }
void DbgFunctionBannerOff() { g_functionBanner = false; }
bool DbgConsoleOutput() { return g_consoleOutput; }
bool DbgFunctionBanner() { return g_functionBanner; }
