// Construction, line formatting and appending of the shared daily log.
#include "dailylog/shared_daily_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "daily_log_internal.h"
#include "platform/debug_output.h"
#include "platform/process.h"
#include "platform/settings_store.h"
#include "platform/unique_fd.h"

namespace {

using dailylog::kLineSize;

// Holds the named mutex for one scope when the wait obtained it (an abandoned mutex counts).
class MutexHold {
public:
    MutexHold(platform::NamedMutex* mutex, const platform::Clock& clock, DWORD waitMs) : m_mutex(mutex) {
        if (m_mutex == nullptr) return;
        const DWORD rc = m_mutex->Wait(waitMs, clock);
        m_held = rc == platform::kWaitObject0 || rc == platform::kWaitAbandoned;
        m_timedOut = rc == platform::kWaitTimeout;
    }
    ~MutexHold() {
        if (m_held) m_mutex->Release();
    }
    MutexHold(const MutexHold&) = delete;
    MutexHold& operator=(const MutexHold&) = delete;
    bool Held() const { return m_held; }
    // Somebody else kept the mutex for the whole wait.
    bool TimedOut() const { return m_timedOut; }

private:
    platform::NamedMutex* m_mutex;
    bool m_held = false;
    bool m_timedOut = false;
};

// Who keeps the log's mutex, for the debugger output: any local user can hold it.
void TellStuckHolder() {
    platform::NamedObjectHolder holder;
    std::string who = "a process the system does not name";
    if (platform::FindNamedObjectHolder(dailylog::kMutexName, &holder) && holder.pid != 0)
        who = "process " + std::to_string(holder.pid) + " (" + holder.program + ") of user " + holder.user;
    platform::DebugOutput(std::string("shared daily log: ") + dailylog::kMutexName + " is kept by " + who +
                          "; lines are written without it until it comes free");
}

// InstallDir when set; otherwise the program's own folder. (An empty root would put the logs in
// "/Log", the top of the file system.)
std::string FindRoot() {
    std::string dir;
    if (auto store = platform::SettingsStore::Machine();
        store &&
        store->GetString(dailylog::kClientKey, dailylog::kInstallDirValue, &dir) == platform::kRegOk) {
        while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    }
    return dir.empty() ? platform::ProgramDir() : dir;
}

// Opens today's file for appending. Users of the group may create entries in the Log folder, so
// the name may be anything they planted: a symlink is not followed, and only a regular file with
// a single link is written (not a hard link to someone else's file, not a FIFO that would block).
// An existing file is opened without O_CREAT, which the kernel's protected_regular setting would
// refuse for another user's file in a sticky folder; a file created here gets kFileMode exactly.
platform::UniqueFd OpenLogFile(const char* path) {
    constexpr int kFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    for (int attempt = 0; attempt < 3; ++attempt) {
        platform::UniqueFd fd(::open(path, kFlags | O_CREAT | O_EXCL, dailylog::kFileMode));
        const bool created = fd.Valid();
        if (!created) {
            if (errno != EEXIST) return {};  // no Log folder, or no right to it
            fd.Reset(::open(path, kFlags));
            if (!fd && errno == ENOENT) continue;  // removed between the two opens
            if (!fd) return {};
        }
        struct stat st {};
        if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
            (created && ::fchmod(fd.Get(), dailylog::kFileMode) != 0)) {
            return {};
        }
        return fd;
    }
    return {};
}

}  // namespace

SharedDailyLog& SharedDailyLog::Instance() {
    // Never destroyed: lines written from other objects' destructors at exit must still work.
    static SharedDailyLog* const instance = new SharedDailyLog(platform::SystemClock());
    return *instance;
}

std::unique_ptr<SharedDailyLog> SharedDailyLog::CreateForTest(const platform::Clock& clock) {
    return std::unique_ptr<SharedDailyLog>(new SharedDailyLog(clock));
}

SharedDailyLog::SharedDailyLog(const platform::Clock& clock)
    : m_clock(clock), m_root(FindRoot()), m_program(platform::ProgramName()) {
    m_mutex = platform::NamedMutex::Create(dailylog::kMutexName);
    {
        MutexHold hold(m_mutex.get(), m_clock, dailylog::kMutexWaitMs);
        if (hold.Held()) CleanUp();
        if (hold.TimedOut()) {
            m_mutexStuck = true;
            TellStuckHolder();
        }
    }
    const platform::LocalTime today = m_clock.Now();
    m_year = today.year;
    m_month = today.month;
    m_day = today.day;
}

SharedDailyLog::~SharedDailyLog() = default;

std::string SharedDailyLog::LogFolder() const {
    if (m_root.empty()) return dailylog::kLogFolder;
    return m_root + (m_root.back() == '/' ? "" : "/") + dailylog::kLogFolder;
}

std::string SharedDailyLog::TodayFileName() const {
    const platform::LocalTime now = m_clock.Now();
    char name[64];
    std::snprintf(name, sizeof name, "%s-%d%02d%02d.log", dailylog::kFilePrefix, now.year, now.month,
                  now.day);
    return name;
}

bool SharedDailyLog::GetTodayFileName(char* buffer, unsigned* size) {
    const std::string name = TodayFileName();
    return dailylog::CopyOut(name, buffer, size);
}

int SharedDailyLog::FormatLine(char* line, const platform::LocalTime& now, int category, int level,
                               const char* format, va_list args) const {
    const int pid = static_cast<int>(platform::CurrentProcessId());
    const int tid = static_cast<int>(platform::CurrentThreadId());
    int head = std::snprintf(line, kLineSize, "%02d:%02d:%02d.%03d [%s,%d,%d] (%08X, %d) ", now.hour,
                             now.minute, now.second, now.milliseconds, m_program.c_str(), pid, tid,
                             static_cast<unsigned>(category), level);
    int message = -2;
    if (head >= 0 && head < kLineSize - 1) {
        const int room = kLineSize - head;
        message = std::vsnprintf(line + head, static_cast<std::size_t>(room), format, args);
        if (message >= room) message = -1;  // cut to what fits
    }
    if (message == -2) {
        // The formatter failed (an argument it cannot convert): keep a trace that a line was lost.
        std::snprintf(line, kLineSize, "%02d:%02d:%02d [%s,%d] (%08X, %d) Log Error!", now.hour, now.minute,
                      now.second, m_program.c_str(), tid, static_cast<unsigned>(category), level);
    }
    line[kLineSize - 1] = '\0';
    return message;
}

int SharedDailyLog::Write(int category, int level, const char* format, ...) {
    if (format == nullptr) return 0;
    try {
        if (!ShouldLog(category, static_cast<unsigned>(level))) return 0;
    } catch (...) {
        return 0;
    }
    const platform::LocalTime now = m_clock.Now();
    char line[kLineSize];
    va_list args;
    va_start(args, format);
    const int message = FormatLine(line, now, category, level, format, args);
    va_end(args);
    const int length = static_cast<int>(std::strlen(line));
    if (category == LOG_DEBUGGER) {
        platform::DebugOutput(std::string_view(line, static_cast<std::size_t>(length)));
        return message == -2 ? length : message;
    }
    try {
        return AppendLine(line, length, now);
    } catch (...) {
        return 0;  // out of memory building a path: the line is lost, the caller goes on
    }
}

int SharedDailyLog::AppendLine(const char* line, int length, const platform::LocalTime& now) {
    // Any local user can take the mutex and keep it. A holder that kept it past one whole wait
    // costs that one line; the lines after it are not waited for (a wait per line would stall
    // every program of the suite) but written without the mutex until it comes free: one
    // append of the whole line keeps it whole beside other writers.
    const bool stuck = m_mutexStuck.load();
    MutexHold hold(m_mutex.get(), m_clock, stuck ? 0 : dailylog::kMutexWaitMs);
    if (hold.Held()) {
        m_mutexStuck = false;
    } else if (!hold.TimedOut()) {
        return 0;  // no mutex
    } else if (!stuck) {
        m_mutexStuck = true;
        TellStuckHolder();
        return 0;
    }
    // The date and the clean-up belong to the mutex's holder.
    if (hold.Held() && (now.year != m_year || now.month != m_month || now.day != m_day)) {
        CleanUp();
        m_year = now.year;
        m_month = now.month;
        m_day = now.day;
    }
    char path[dailylog::kPathSize];
    const int pathLength = std::snprintf(path, sizeof path, "%s/%s-%d%02d%02d.log", LogFolder().c_str(),
                                         dailylog::kFilePrefix, now.year, now.month, now.day);
    if (pathLength < 0 || pathLength >= static_cast<int>(sizeof path)) return 0;
    // The Log folder is never created here: no folder, no log.
    platform::UniqueFd fd = OpenLogFile(path);
    if (!fd) return 0;
    // Line and CR LF in one write, so a reader never sees half a line.
    char out[kLineSize + 2];
    std::memcpy(out, line, static_cast<std::size_t>(length));
    out[length] = '\r';
    out[length + 1] = '\n';
    const std::size_t total = static_cast<std::size_t>(length) + 2;
    ssize_t written;
    do {
        written = ::write(fd.Get(), out, total);
    } while (written < 0 && errno == EINTR);
    const bool closed = fd.Close() == 0;
    return written == static_cast<ssize_t>(total) && closed ? length : 0;
}

bool DailyLogSink::Wants(int level) {
    try {
        return SharedDailyLog::Instance().ShouldLog(m_category, static_cast<unsigned>(level));
    } catch (...) {
        return false;  // no log object (out of memory): nothing can be written anyway
    }
}

void DailyLogSink::Write(int level, const char* line) {
    try {
        SharedDailyLog::Instance().Write(m_category, level, "%s", line);
    } catch (...) {
        // A diagnostic must never fail the work it describes.
    }
}
