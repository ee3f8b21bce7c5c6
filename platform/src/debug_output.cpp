// Debugger output. On Windows nobody sees it unless a debugger listens; here it is silent unless
// QEL_DEBUG_OUTPUT=1 asks for stderr or a test captures it.
#include "platform/debug_output.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace platform {

namespace {

std::mutex& CaptureMutex() {
    static std::mutex m;
    return m;
}

std::function<void(std::string_view)>& Capture() {
    static std::function<void(std::string_view)> capture;
    return capture;
}

bool StderrWanted() {
    const char* env = std::getenv("QEL_DEBUG_OUTPUT");
    return env != nullptr && std::strcmp(env, "1") == 0;
}

}  // namespace

void DebugOutput(std::string_view text) {
    {
        std::lock_guard<std::mutex> lock(CaptureMutex());
        if (Capture()) {
            Capture()(text);
            return;
        }
    }
    if (!StderrWanted()) {
        return;
    }
    // One write per message so lines of concurrent threads do not interleave.
    std::string line(text);
    if (line.empty() || line.back() != '\n') {
        line.push_back('\n');
    }
    const char* p = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        ssize_t n = ::write(STDERR_FILENO, p, left);
        if (n <= 0) {
            break;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

void SetDebugOutputCapture(std::function<void(std::string_view)> capture) {
    std::lock_guard<std::mutex> lock(CaptureMutex());
    Capture() = std::move(capture);
}

}  // namespace platform
