// The debugger-output sink (what OutputDebugString feeds on Windows). Silent unless
// QEL_DEBUG_OUTPUT=1 (then stderr) or a test installed a capture.
#pragma once
#include <functional>
#include <string_view>

namespace platform {

void DebugOutput(std::string_view text);

// Installs a capture (tests); an empty function removes it. Thread-safe: the capture is called
// under a lock, one message at a time, and never after this call returned with an empty function;
// it must not call DebugOutput or SetDebugOutputCapture itself.
void SetDebugOutputCapture(std::function<void(std::string_view)> capture);

}  // namespace platform
