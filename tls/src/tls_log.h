// The library's log lines go to the shared daily log under the TLS category (4).
#pragma once

namespace tamberk {

constexpr int kLogDebug = 1;
constexpr int kLogInfo = 3;
constexpr int kLogError = 5;

void TlsLog(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace tamberk

#define TLS_LOG(level, ...) ::tamberk::TlsLog((level), __VA_ARGS__)
