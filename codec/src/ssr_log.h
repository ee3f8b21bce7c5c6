// The codec's one diagnostic sink: printf-style lines to the debugger output through the shared
// daily log (category 0x20, so the log's level table still decides). Kept behind one function so
// the message families never see the logger.
#pragma once

namespace wendrel {

void LogLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace wendrel

#define SSR_LOG(...) ::wendrel::LogLine(__VA_ARGS__)
