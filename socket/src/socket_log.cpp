// The engine's optional file log for its users. Nothing in the engine writes to it.
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

#include "prendle/socket_manager.h"

namespace {

std::mutex g_logLock;
std::string g_logName;  // guarded by g_logLock

}  // namespace

void TwSocketManager::InitializeLog() {}

void TwSocketManager::SetLogFileName(const char* name) {
    std::lock_guard<std::mutex> guard(g_logLock);
    g_logName = name != nullptr ? name : "";
}

void TwSocketManager::LogEvent(const char* format, ...) {
    std::lock_guard<std::mutex> guard(g_logLock);
    // Without a name the log goes to the current folder rather than a drive root.
    FILE* file = std::fopen(g_logName.empty() ? "log.txt" : g_logName.c_str(), "a+");
    if (file == nullptr) return;
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::fprintf(file, "%04d/%02d/%02d %02d:%02d:%02d:    ", local.tm_year + 1900, local.tm_mon + 1,
                 local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    va_list args;
    va_start(args, format);
    std::vfprintf(file, format, args);
    va_end(args);
    std::fputs("\n", file);
    std::fclose(file);
}

void TwSocketManager::ClearLog() {}
