#include "tls_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "dailylog/shared_daily_log.h"
#include "tamberk/tls_log_sink.h"

namespace tamberk {
namespace {

platform::LogSinkSlot& Slot() {
    // Never destroyed: lines written from other objects' destructors at exit must still work.
    static auto* const fallback = new DailyLogSink(LOG_SSL_STATES);
    static auto* const slot = new platform::LogSinkSlot(*fallback);
    return *slot;
}

}  // namespace

void SetTlsLogSink(std::shared_ptr<platform::LogSink> sink) { Slot().Set(std::move(sink)); }

bool TlsTraceEnabled() {
    static const bool enabled = [] {
        const char* value = std::getenv("QEL_TLS_TRACE");
        return value && value[0] == '1';
    }();
    return enabled;
}

void TlsLog(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Slot().Use([&](platform::LogSink& sink) {
        if (!sink.Wants(level)) return;
        char line[2048];
        std::vsnprintf(line, sizeof line, format, args);
        sink.Write(level, line);
    });
    va_end(args);
}

}  // namespace tamberk
