#include "util/diagnostics.h"

#include <time.h>

#include <cstdarg>
#include <cstdio>
#include <string>

#include "platform/machine_root.h"

TwPFTimer::TwPFTimer() {
    timespec resolution{};
    if (clock_getres(CLOCK_MONOTONIC, &resolution) == 0) {
        m_frequency = 1000000000LL;
        m_available = true;
    }
}

std::int64_t TwPFTimer::ReadCounter() {
    timespec now{};
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
        m_available = false;
        return -1;
    }
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

void TwPFTimer::Start() {
    std::int64_t now = ReadCounter();
    if (now >= 0) m_start = now;
}

// Divides by the counts per unit rather than multiplying first, so nanosecond counts never
// overflow 64 bits, not even when measuring from the clock's zero.
int TwPFTimer::EndInMili() {
    if (!m_available) return -1;
    std::int64_t now = ReadCounter();
    if (now < 0) return -1;
    return static_cast<int>((now - m_start) / (m_frequency / 1000));
}

int TwPFTimer::EndInMicro() {
    if (!m_available) return -1;
    std::int64_t now = ReadCounter();
    if (now < 0) return -1;
    return static_cast<int>((now - m_start) / (m_frequency / 1000000));
}

int vbk_log(const char* format, ...) {
    std::string path = platform::MachineRoot() + "/vbk.log";
    FILE* file = std::fopen(path.c_str(), "a");
    if (!file) {
        std::printf("fopen err\n");
        return -1;
    }
    va_list args;
    va_start(args, format);
    int written = format ? std::vfprintf(file, format, args) : 0;
    va_end(args);
    int result = 0;
    if (written < 0) {
        std::printf("fputs err\n");
        result = -1;
    }
    if (std::fclose(file) != 0 && result == 0) {
        std::printf("fputs err\n");
        result = -1;
    }
    return result;
}

FunctionCallTracer::FunctionCallTracer(const char* functionName)
    : m_functionName(functionName ? functionName : "") {}

FunctionCallTracer::~FunctionCallTracer() = default;

void FunctionCallTracer::PrintFunctionBanner(int /*entering*/) {}

void FunctionCallTracer::SetReturnValue(const char* text) { m_returnValue = text ? text : ""; }

void FunctionCallTracer::DebugOutputp(const char* /*format*/, ...) {}
