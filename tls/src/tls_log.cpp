#include "tls_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#ifdef TAMBERK_WITH_DAILYLOG
#include "dailylog/shared_daily_log.h"
#else
#include "platform/debug_output.h"
#endif

namespace tamberk {

bool TlsTraceEnabled() {
    static const bool enabled = [] {
        const char* value = std::getenv("QEL_TLS_TRACE");
        return value && value[0] == '1';
    }();
    return enabled;
}

void TlsLog(int level, const char* format, ...) {
    char line[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
#ifdef TAMBERK_WITH_DAILYLOG
    TW_LOG(LOG_SSL_STATES, level, "%s", line);
#else
    (void)level;
    platform::DebugOutput(line);
#endif
}

}  // namespace tamberk
