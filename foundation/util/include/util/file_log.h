// FileLog: the library's per-program text log with size-based rotation (older than the suite's
// shared daily log). Thread-safe: every line is written under one process-wide lock, and no file
// stays open between lines.
#pragma once
#include <string>

#include "platform/clock.h"

class FileLog {
public:
    explicit FileLog(const char* module = nullptr, int enabled = 1);
    ~FileLog();

    static void StartLog();
    static void StopLog();
    static int GetLogLevel();
    static void SetLogLevel(int level);
    static int GetLogMask();
    static void SetLogMask(int mask);
    static long GetMaxLogFileSize();
    static void SetMaxLogFileSize(long size);
    // The clock of the line dates, process-wide like the other settings (default: the system
    // clock). The clock must outlive its use; set the system clock back before it dies.
    static void SetClock(const platform::Clock& clock);
    // The log path; on first use the default "<program folder>/logs/<program>/default.log"
    // (folders created). The returned text lives until the next SetLogFilePath.
    static const char* GetLogFilePath();
    static const char* GetBackupLogFilePath();
    // An absolute path is used as given (backup: path + ".bak"); any other name is placed in the
    // default log folder. 0 for a null path or one of 1024 characters or more; else 1.
    static int SetLogFilePath(const char* path);

    void SetFileLine(const char* file, int line);
    // Results: characters written, 0 when filtered out or the file could not be opened.
    int LogMsgEx(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    int TraceMsgEx(const char* format, ...) __attribute__((format(printf, 2, 3)));
    int LogMsg(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    int LogMsg(int level, const char* module, const char* file, int line, const char* format, ...)
        __attribute__((format(printf, 6, 7)));

    // Mask bits (a mask of exactly 0xFFFF writes every prefix).
    static constexpr int kMaskTime = 0x01, kMaskModule = 0x02, kMaskFile = 0x04, kMaskLine = 0x08,
                         kMaskMessage = 0x10, kMaskPid = 0x20, kMaskTid = 0x40, kMaskStderr = 0x1000;

private:
    bool Admits(int level) const;

    int m_enabled;
    const char* m_module;
    const char* m_file = "?File?";
    int m_line = 0;
};
