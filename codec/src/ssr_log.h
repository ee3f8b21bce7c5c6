// The codec's one diagnostic call: printf-style lines at level 4 to the sink its owner set
// (wendrel/ssr_log_sink.h), by default the shared daily log's category 0x20 (the debugger output,
// so the log's level table still decides). Kept behind one function so the message families
// never see a logger.
#pragma once

namespace wendrel {

void LogLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace wendrel

#define SSR_LOG(...) ::wendrel::LogLine(__VA_ARGS__)
