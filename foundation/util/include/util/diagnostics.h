// Small diagnostic helpers of the utility library: a stopwatch, a one-line append log and a
// function-call tracer.
#pragma once
#include <cstdint>
#include <string>

// Stopwatch on the monotonic clock. Not thread-safe per object.
class TwPFTimer {
public:
    TwPFTimer();
    void Start();
    // Time since Start (since the clock's zero when Start was never called); -1 when the clock
    // cannot be read.
    int EndInMili();
    int EndInMicro();

private:
    std::int64_t ReadCounter();

    std::int64_t m_start = 0;      // nanoseconds
    std::int64_t m_frequency = 0;  // counts per second
    bool m_available = false;
};

// Appends the formatted text as it is (no time stamp, no line end) to "vbk.log" under the machine
// root. 0, or -1 after printing "fopen err\n" / "fputs err\n".
int vbk_log(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Keeps a function name and a return-value text. Its output channel is never switched on in this
// system, so it writes nothing.
class FunctionCallTracer {
public:
    explicit FunctionCallTracer(const char* functionName);
    ~FunctionCallTracer();
    void PrintFunctionBanner(int entering);
    void SetReturnValue(const char* text);
    void DebugOutputp(const char* format, ...) __attribute__((format(printf, 2, 3)));

private:
    std::string m_functionName;
    std::string m_returnValue;
};
