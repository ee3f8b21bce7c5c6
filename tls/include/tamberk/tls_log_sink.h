// Where the TLS library's log lines go (levels kLogDebug 1, kLogInfo 3, kLogError 5). Until its
// owner sets a sink they go to the shared daily log under category 4 (LOG_SSL_STATES).
#pragma once
#include <memory>

#include "platform/log_sink.h"
#include "tamberk/export.h"

namespace tamberk {

// Thread-safe; null puts the daily log back. Lines being written keep the old sink alive.
TAMBERK_API void SetTlsLogSink(std::shared_ptr<platform::LogSink> sink);

}  // namespace tamberk
