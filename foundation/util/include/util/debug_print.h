// Debug output of the utility library: formatted lines and hex dumps to the debugger output
// (platform::DebugOutput). Thread-safe.
#pragma once

// printf-style; output longer than 64 KiB is cut. Returns the length written.
int DbgPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "<title>, Size = <n> - 0x<n>" and then 16 bytes per line: offset, hex bytes, printable text.
void DumpData(const char* title, const char* data, unsigned size);

// The library's console-output and function-banner switches. DbgPrint goes to the debugger
// output whichever way the console switch stands.
void DbgOutToConsole();
void DbgOutToDebugger();
void DbgFunctionBannerOn();
void DbgFunctionBannerOff();
bool DbgConsoleOutput();
bool DbgFunctionBanner();
