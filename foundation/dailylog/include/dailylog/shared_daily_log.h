// The shared daily log: one file per day in <InstallDir>/Log, shared by every program of the
// suite and serialised across processes by the named mutex "Global\\VORNCLIENT_FILELOG".
// Thread-safe; no file stays open between lines.
#pragma once
#include <memory>
#include <string>

#include "platform/named_objects.h"
#include "platform/types.h"

// Log categories (bits). 0x20 alone goes to the debugger output; 0x40 and 0x80 are always written.
enum LogCategory : int {
    LOG_CLIENT_LOGIN = 0x01,
    LOG_CLIENT_DATA = 0x02,
    LOG_SSL_STATES = 0x04,
    LOG_PLUGIN_LOGIN = 0x08,
    LOG_PLUGIN_DATA = 0x10,
    LOG_DEBUGGER = 0x20,
    LOG_ALWAYS_40 = 0x40,
    LOG_ALWAYS_80 = 0x80,
};

class SharedDailyLog {
public:
    static SharedDailyLog& Instance();

    // printf-style; returns the characters written (without CR LF), 0 when filtered or dropped.
    int Write(int category, int level, const char* format, ...) __attribute__((format(printf, 4, 5)));

    bool ShouldLog(int category, unsigned level);
    bool ReadCategoryLevel(int category, unsigned* level);
    bool SetCategoryLevelByName(const char* name, unsigned level);
    bool SetCategoryLevel(int mask, unsigned level);
    int DumpCategoryLevels(char* buffer, unsigned* size);
    bool GetTodayFileName(char* buffer, unsigned* size);

    // Root folder above "Log" and the program name shown in each line (after construction).
    const std::string& RootFolder() const { return m_root; }
    const std::string& ProgramName() const { return m_program; }

    // Tests: a private instance (not the process's), reading the current machine root.
    static std::unique_ptr<SharedDailyLog> CreateForTest();
    ~SharedDailyLog();

private:
    SharedDailyLog();
    void CleanUp();
    int AppendLine(const char* line, int length);

    std::unique_ptr<platform::NamedMutex> m_mutex;
    std::string m_root;
    std::string m_program;
    WORD m_year = 0, m_month = 0, m_day = 0;
};

// Shorthand used throughout the suite.
#define TW_LOG(category, level, ...) SharedDailyLog::Instance().Write((category), (level), __VA_ARGS__)
