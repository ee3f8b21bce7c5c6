// Where the codec's diagnostic lines go (zlib failures, report dumps; level 4 each). Until its
// owner sets a sink they go to the shared daily log under category 0x20, that is to the debugger
// output when the log's level table lets them through.
#pragma once
#include <memory>

#include "platform/log_sink.h"

namespace wendrel {

// Thread-safe; null puts the daily log back. Lines being written keep the old sink alive.
__attribute__((visibility("default"))) void SetSsrLogSink(std::shared_ptr<platform::LogSink> sink);

}  // namespace wendrel
