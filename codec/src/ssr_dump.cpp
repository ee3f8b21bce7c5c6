#include "ssr_dump.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "ssr_log.h"
#include "wendrel/ssr_codec.h"

namespace wendrel {
namespace {

constexpr std::size_t kRow = 16;
constexpr std::size_t kTextColumn = 50;

__attribute__((format(printf, 2, 3))) void Append(std::string& out, const char* format, ...) {
    char line[128];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n > 0)
        out.append(line,
                   static_cast<std::size_t>(n) < sizeof line ? static_cast<std::size_t>(n) : sizeof line - 1);
}

// The log takes one line at a time.
void EmitLines(const std::string& text) {
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t nl = text.find('\n', start);
        if (nl == std::string::npos) nl = text.size() - 1;
        SSR_LOG("%.*s", static_cast<int>(nl - start + 1), text.c_str() + start);
        start = nl + 1;
    }
}

}  // namespace

std::string FormatHexDump(const void* data, std::size_t length) {
    std::string out;
    if (data == nullptr) return out;
    const auto* p = static_cast<const std::uint8_t*>(data);
    for (std::size_t row = 0; row < length; row += kRow) {
        Append(out, "%4.4x:  ", static_cast<unsigned>(row));
        std::string area(kTextColumn, ' ');
        const std::size_t n = length - row < kRow ? length - row : kRow;
        for (std::size_t i = 0; i < n; ++i) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%2.2x", p[row + i]);
            area[i * 3] = hex[0];
            area[i * 3 + 1] = hex[1];
        }
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint8_t c = p[row + i];
            area.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.');
        }
        out += area;
        out += '\n';
    }
    return out;
}

std::string FormatHeaderDump(const void* msg, std::size_t available) {
    std::string out;
    if (msg == nullptr || available < SSR_HEADER_SIZE) return out;
    const auto* p = static_cast<const std::uint8_t*>(msg);
    const std::size_t payload = (std::size_t{p[2]} << 8) | p[3];
    Append(out, "SSR.version = %d\n", p[0] & 0x0F);
    Append(out, "SSR.type    = %d\n", p[0] >> 4);
    Append(out, "SSR.code    = %d\n", p[1]);
    Append(out, "SSR.PayloadSize = %d\n", static_cast<int>(payload));
    const std::size_t shown = payload < available - SSR_HEADER_SIZE ? payload : available - SSR_HEADER_SIZE;
    out += FormatHexDump(p + SSR_HEADER_SIZE, shown);
    return out;
}

std::string FormatZlibStreamDump(const z_stream* s, const char* label) {
    std::string out;
    if (s == nullptr) return out;
    Append(out, "Dump ZlibStream 0x%p, %s\n", static_cast<const void*>(s), label != nullptr ? label : "");
    Append(out, "z_stream.next_in  = 0x%p\n", static_cast<const void*>(s->next_in));
    Append(out, "z_stream.avail_in = %d\n", static_cast<int>(s->avail_in));
    Append(out, "z_stream.total_in = %d\n", static_cast<int>(s->total_in));
    Append(out, "z_stream.next_out  = 0x%p\n", static_cast<const void*>(s->next_out));
    Append(out, "z_stream.avail_out = %d\n", static_cast<int>(s->avail_out));
    Append(out, "z_stream.total_out = %d\n", static_cast<int>(s->total_out));
    return out;
}

void DumpSsrHeader(const void* msg, std::size_t available) { EmitLines(FormatHeaderDump(msg, available)); }
void DumpZlibStream(const z_stream* stream, const char* label) {
    EmitLines(FormatZlibStreamDump(stream, label));
}

}  // namespace wendrel
