#include "util/file_log.h"

#include <sys/stat.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/clock.h"
#include "platform/machine_root.h"
#include "platform/process.h"

namespace {

constexpr std::size_t kPathLimit = 1024;

std::atomic<int> g_logFlag{1};
std::atomic<int> g_logLevel{2};
std::atomic<int> g_logMask{0xFFFF};
std::atomic<long> g_logSize{10 * 1024 * 1024};
std::atomic<const platform::Clock*> g_clock{nullptr};  // null: the system clock

// Guards the paths and every write, process-wide.
std::mutex& LogLock() {
    static std::mutex lock;
    return lock;
}
std::string g_logPath;
std::string g_bakPath;
std::string g_defaultFolder;

std::string DefaultFolder() {
    std::string program = platform::ProgramName();
    std::size_t dot = program.rfind('.');
    if (dot != std::string::npos && dot > 0) program.resize(dot);
    return platform::ProgramDir() + "/logs/" + program;
}

// Caller holds LogLock.
void EnsurePathsLocked() {
    if (g_defaultFolder.empty()) g_defaultFolder = DefaultFolder();
    if (g_logPath.empty()) {
        platform::MakeDirs(g_defaultFolder);
        g_logPath = g_defaultFolder + "/default.log";
        g_bakPath = g_defaultFolder + "/default.log.bak";
    }
}

std::string Vformat(const char* format, va_list args) __attribute__((format(printf, 1, 0)));
std::string Vformat(const char* format, va_list args) {
    if (!format) return {};
    va_list copy;
    va_copy(copy, args);
    int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (needed <= 0) return {};
    std::string text(static_cast<std::size_t>(needed) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<std::size_t>(needed));
    return text;
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = Vformat(format, args);
    va_end(args);
    return text;
}

std::string DateText() {
    const platform::Clock* clock = g_clock.load();
    platform::LocalTime t = (clock != nullptr ? *clock : platform::SystemClock()).Now();
    return Format("%04d/%02d/%02d %02d:%02d:%02d.%03d ", t.year, t.month, t.day, t.hour, t.minute, t.second,
                  t.milliseconds);
}

const char* BaseName(const char* file) {
    if (!file) return "?File?";
    const char* slash = std::strrchr(file, '/');
    const char* backslash = std::strrchr(file, '\\');
    if (backslash && (!slash || backslash > slash)) slash = backslash;
    return slash ? slash + 1 : file;
}

// Renames a full log to its backup and starts a fresh one. Caller holds LogLock.
FILE* RotateLocked(FILE* file) {
    std::fprintf(file, "\n%scurrent log file exceed maximum log file size %ld, rename it to %s",
                 DateText().c_str(), g_logSize.load(), g_bakPath.c_str());
    struct stat st {};
    if (stat(g_bakPath.c_str(), &st) == 0) {
        std::fprintf(file, "\n%sbackup log file %s already exist, delete it\n", DateText().c_str(),
                     g_bakPath.c_str());
        std::remove(g_bakPath.c_str());
    }
    std::fclose(file);
    std::rename(g_logPath.c_str(), g_bakPath.c_str());
    file = std::fopen(g_logPath.c_str(), "a");
    if (file) std::fprintf(file, "%screate new log file %s\n", DateText().c_str(), g_logPath.c_str());
    return file;
}

int WriteToLog(const std::string& text) {
    std::lock_guard<std::mutex> guard(LogLock());
    EnsurePathsLocked();
    FILE* file = std::fopen(g_logPath.c_str(), "a");
    if (!file) return 0;
    std::fseek(file, 0, SEEK_END);
    long size = std::ftell(file);
    if (size >= g_logSize.load()) {
        file = RotateLocked(file);
        if (!file) return 0;
    }
    std::size_t written = std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
    return static_cast<int>(written);
}

std::string Prefixed(const char* module, const char* file, int line, const std::string& message) {
    int mask = g_logMask.load();
    unsigned long pid = platform::CurrentProcessId();
    unsigned long tid = platform::CurrentThreadId();
    if (mask == 0xFFFF) {
        return DateText() + Format("%s %s:%d ", module, file, line) + Format("pid %lu tid %lu ", pid, tid) +
               message;
    }
    std::string text;
    if (mask & FileLog::kMaskTime) text += DateText();
    if (mask & FileLog::kMaskModule) text += Format("%s ", module);
    if (mask & FileLog::kMaskFile) {
        text += file;
        text += (mask & FileLog::kMaskLine) ? Format(":%d ", line) : std::string(" ");
    }
    if (mask & FileLog::kMaskPid) text += Format("pid %lu ", pid);
    if (mask & FileLog::kMaskTid) text += Format("tid %lu ", tid);
    if (mask & FileLog::kMaskMessage) text += message;
    return text;
}

// The library's own two modules.
FileLog g_utilModuleLog("UTIL", 1);
FileLog g_shareModuleLog("SHARE ", 1);

}  // namespace

FileLog::FileLog(const char* module, int enabled)
    : m_enabled(enabled), m_module(module ? module : "?Module?") {
    LogLock();  // the process-wide lock exists from the first log on
}

FileLog::~FileLog() = default;

void FileLog::StartLog() { g_logFlag = 1; }

void FileLog::SetClock(const platform::Clock& clock) { g_clock.store(&clock); }
void FileLog::StopLog() { g_logFlag = 0; }
int FileLog::GetLogLevel() { return g_logLevel; }
void FileLog::SetLogLevel(int level) { g_logLevel = level; }
int FileLog::GetLogMask() { return g_logMask; }
void FileLog::SetLogMask(int mask) { g_logMask = mask; }
long FileLog::GetMaxLogFileSize() { return g_logSize; }
void FileLog::SetMaxLogFileSize(long size) { g_logSize = size; }

const char* FileLog::GetLogFilePath() {
    std::lock_guard<std::mutex> guard(LogLock());
    EnsurePathsLocked();
    return g_logPath.c_str();
}

const char* FileLog::GetBackupLogFilePath() {
    std::lock_guard<std::mutex> guard(LogLock());
    EnsurePathsLocked();
    return g_bakPath.c_str();
}

int FileLog::SetLogFilePath(const char* path) {
    if (!path || std::strlen(path) >= kPathLimit) return 0;
    std::lock_guard<std::mutex> guard(LogLock());
    if (path[0] == '/') {
        g_logPath = path;
    } else {
        if (g_defaultFolder.empty()) g_defaultFolder = DefaultFolder();
        platform::MakeDirs(g_defaultFolder);
        g_logPath = g_defaultFolder + "/" + path;
    }
    g_bakPath = g_logPath + ".bak";
    return 1;
}

void FileLog::SetFileLine(const char* file, int line) {
    m_file = file ? file : "?File?";
    m_line = line;
}

bool FileLog::Admits(int level) const { return m_enabled && g_logFlag.load() && level <= g_logLevel.load(); }

int FileLog::LogMsgEx(int level, const char* format, ...) {
    if (!Admits(level)) return 0;
    va_list args;
    va_start(args, format);
    std::string message = Vformat(format, args);
    va_end(args);
    std::string text = Prefixed(m_module, BaseName(m_file), m_line, message);
    if (g_logMask.load() & kMaskStderr) std::fputs(text.c_str(), stderr);
    return WriteToLog(text);
}

int FileLog::TraceMsgEx(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string message = Vformat(format, args);
    va_end(args);
    std::string text = DateText() + Format("%s %s:%d ", m_module, BaseName(m_file), m_line) +
                       Format("pid %lu tid %lu ", static_cast<unsigned long>(platform::CurrentProcessId()),
                              static_cast<unsigned long>(platform::CurrentThreadId())) +
                       message;
    return std::fputs(text.c_str(), stderr) >= 0 ? static_cast<int>(text.size()) : 0;
}

int FileLog::LogMsg(int level, const char* format, ...) {
    if (!Admits(level)) return 0;
    va_list args;
    va_start(args, format);
    std::string message = Vformat(format, args);
    va_end(args);
    return WriteToLog("\n" + DateText() + message);
}

int FileLog::LogMsg(int level, const char* module, const char* file, int line, const char* format, ...) {
    if (!Admits(level)) return 0;
    va_list args;
    va_start(args, format);
    std::string message = Vformat(format, args);
    va_end(args);
    return WriteToLog(Prefixed(module ? module : m_module, BaseName(file), line, message));
}
