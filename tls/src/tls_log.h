// The library's log lines, to the sink its owner set (tamberk/tls_log_sink.h); by default the
// shared daily log under the TLS category (4).
#pragma once

namespace tamberk {

constexpr int kLogDebug = 1;
constexpr int kLogInfo = 3;
constexpr int kLogError = 5;

void TlsLog(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Lines on the per-record and per-message path cost a level check each; they are written only
// when QEL_TLS_TRACE=1 was set when the process started.
bool TlsTraceEnabled();

}  // namespace tamberk

#define TLS_LOG(level, ...) ::tamberk::TlsLog((level), __VA_ARGS__)
#define TLS_TRACE(...)                                                                          \
    do {                                                                                        \
        if (::tamberk::TlsTraceEnabled()) ::tamberk::TlsLog(::tamberk::kLogDebug, __VA_ARGS__); \
    } while (0)
