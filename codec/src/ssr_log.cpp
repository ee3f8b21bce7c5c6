#include "ssr_log.h"

#include <cstdarg>
#include <cstdio>
#include <utility>

#include "dailylog/shared_daily_log.h"
#include "wendrel/ssr_log_sink.h"

namespace wendrel {
namespace {

// A line at this level passes the log's default threshold, like any diagnostic print.
constexpr int kLevel = 4;

platform::LogSinkSlot& Slot() {
    // Never destroyed: lines written from other objects' destructors at exit must still work.
    static auto* const fallback = new DailyLogSink(LOG_DEBUGGER);
    static auto* const slot = new platform::LogSinkSlot(*fallback);
    return *slot;
}

}  // namespace

void SetSsrLogSink(std::shared_ptr<platform::LogSink> sink) { Slot().Set(std::move(sink)); }

void LogLine(const char* format, ...) {
    va_list args;
    va_start(args, format);
    Slot().Use([&](platform::LogSink& sink) {
        if (!sink.Wants(kLevel)) return;
        // Lines are short diagnostics; a longer one is cut rather than allocated on the data path.
        char line[1024];
        std::vsnprintf(line, sizeof line, format, args);
        sink.Write(kLevel, line);
    });
    va_end(args);
}

}  // namespace wendrel
