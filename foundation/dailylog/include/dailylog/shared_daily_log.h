// The shared daily log: one file per day in <InstallDir>/Log, shared by every program of the
// suite and serialised across processes by the named mutex "Global\\VORNCLIENT_FILELOG".
// Thread-safe; no file stays open between lines.
//
// The level table "SOFTWARE\\Morvane" LogLevel is cached: a change made through this library in
// this process takes effect at the next call, one made by another program within a second (the
// table is read again at most once a second), so a filtered-out call costs no database read. A
// written line costs a wait of at most 3000 ms for the named mutex and an open/append/close of
// today's file; once another process has kept the mutex past a whole wait, lines are not waited
// for again but written without it until it comes free. Nothing here throws: a line that cannot
// be written is dropped and Write returns 0.
//
// Files: today's file is opened without following a symlink and must be a regular file with one
// link; a file the log creates gets mode 0660 whatever the umask (see the README for the folder).
#pragma once
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/clock.h"
#include "platform/log_sink.h"
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
    // The process's object, created on first use. It lives until the process ends (never
    // destroyed), so destructors of other static objects may still log at exit.
    static SharedDailyLog& Instance();

    // printf-style. Returns the characters written to the file (without CR LF), 0 when the line
    // is filtered out, the format is null or the line is dropped. Category exactly 0x20: the line
    // goes to the debugger output and the result is the message length, -1 when it was cut to
    // fit the 1023-character line. A null "%s" argument prints "(null)".
    int Write(int category, int level, const char* format, ...) __attribute__((format(printf, 4, 5)));

    // Level table. A category's threshold is its LogLevel entry's level, or 4 without an entry;
    // level 0 switches the category off; categories with bit 0x40 or 0x80 always pass.
    bool ShouldLog(int category, unsigned level);
    // The level of the first entry whose category equals `category` exactly, read from the store
    // now (ShouldLog and Write use the cache). DumpCategoryLevels reads the store now too.
    bool ReadCategoryLevel(int category, unsigned* level);
    // "clientlogin", "clientdata", "sslstates", "pluginlogin", "plugindata" (0x30) or "all"
    // (0x3F), any case; level 0..5. False for anything else.
    bool SetCategoryLevelByName(const char* name, unsigned level);
    // Sets the level of every entry whose category meets `mask`; starts from the default table
    // when LogLevel is missing. False when the key "SOFTWARE\\Morvane" does not exist.
    bool SetCategoryLevel(int mask, unsigned level);
    // The five named levels as text. Both calls: when the text is shorter than *size and buffer
    // is not null, copy it (with its zero) and return 1/true; else set *size to the length + 1
    // and return 0/false (also when size is null, then without setting it).
    int DumpCategoryLevels(char* buffer, unsigned* size);
    bool GetTodayFileName(char* buffer, unsigned* size);

    // Root folder above "Log" and the program name shown in each line (after construction).
    const std::string& RootFolder() const { return m_root; }
    const std::string& ProgramName() const { return m_program; }

    // Tests: a private instance (not the process's), reading the current machine root, with the
    // local time from `clock` (which must outlive it).
    static std::unique_ptr<SharedDailyLog> CreateForTest(
        const platform::Clock& clock = platform::SystemClock());
    ~SharedDailyLog();

private:
    explicit SharedDailyLog(const platform::Clock& clock);
    SharedDailyLog(const SharedDailyLog&) = delete;
    SharedDailyLog& operator=(const SharedDailyLog&) = delete;

    // Formats head and message into `line` (kLineSize bytes); returns the message formatter's
    // result: its length, -1 when cut, -2 when formatting failed ("Log Error!" line instead).
    int FormatLine(char* line, const platform::LocalTime& now, int category, int level, const char* format,
                   va_list args) const __attribute__((format(printf, 6, 0)));
    void CleanUp();
    int AppendLine(const char* line, int length, const platform::LocalTime& now);
    std::string LogFolder() const;
    std::string TodayFileName() const;

    // The level table as last read. Stale after a second (on m_clock) and after a
    // SetCategoryLevel of any object of this process.
    struct LevelCache {
        std::mutex mutex;
        std::uint64_t readAtMs = 0;    // m_clock tick of the last read
        std::uint64_t generation = 0;  // process-wide write generation at the last read
        bool valid = false;            // false: read on the next call
        bool present = false;          // LogLevel was there (and not too long)
        std::uint32_t entry[8] = {};
    };
    // Copies the table into entry[8], reading it first when stale (always when `fresh`); false
    // when LogLevel is missing or cannot be read.
    bool LevelEntries(std::uint32_t* entry, bool fresh);

    const platform::Clock& m_clock;
    std::unique_ptr<platform::NamedMutex> m_mutex;
    LevelCache m_levels;
    std::string m_root;
    std::string m_program;
    WORD m_year = 0, m_month = 0, m_day = 0;  // date of the last line; guarded by m_mutex
    // Another process kept m_mutex past a whole wait and has not let go since.
    std::atomic<bool> m_mutexStuck{false};
};

// Lines of a library under one category of the process's daily log (SharedDailyLog::Instance()):
// the default destination of the codec's and the TLS library's lines. Thread-safe; never throws.
class DailyLogSink final : public platform::LogSink {
public:
    explicit DailyLogSink(int category) : m_category(category) {}
    bool Wants(int level) override;
    void Write(int level, const char* line) override;

private:
    int m_category;
};

// Shorthand used throughout the suite.
#define TW_LOG(category, level, ...) SharedDailyLog::Instance().Write((category), (level), __VA_ARGS__)
