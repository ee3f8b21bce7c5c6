// A second program for the daily log tests and benchmark-like loads:
//   dailylog_test_writer write <tag> <count> <payload length> [<start event>]
//   dailylog_test_writer abandon                   take the log mutex and exit holding it
//   dailylog_test_writer hold <ready event> <release event>
//   dailylog_test_writer level <category name> <level>   change the level table
// QEL_ROOT comes from the environment. Exit code 0 when everything went as asked.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "dailylog/shared_daily_log.h"
#include "platform/named_objects.h"

namespace {

constexpr DWORD kEventWaitMs = 20000;
constexpr const char* kLogMutex = "Global\\VORNCLIENT_FILELOG";

bool Obtained(DWORD rc) { return rc == platform::kWaitObject0 || rc == platform::kWaitAbandoned; }

int WriteLines(const char* tag, int count, int payloadLength, const char* startEvent) {
    if (startEvent != nullptr) {
        auto start = platform::NamedEvent::Create(startEvent, true, false);
        if (!start || start->Wait(kEventWaitMs) != platform::kWaitObject0) return 2;
    }
    const std::string payload(static_cast<std::size_t>(payloadLength), 'x');
    int failures = 0;
    for (int i = 0; i < count; ++i) {
        if (TW_LOG(LOG_ALWAYS_40, 1, "%s %d %s", tag, i, payload.c_str()) <= 0) ++failures;
    }
    return failures == 0 ? 0 : 1;
}

int Hold(const char* readyName, const char* releaseName) {
    auto mutex = platform::NamedMutex::Create(kLogMutex);
    auto ready = platform::NamedEvent::Create(readyName, true, false);
    auto release = platform::NamedEvent::Create(releaseName, true, false);
    if (!mutex || !ready || !release || !Obtained(mutex->Wait(kEventWaitMs))) return 2;
    ready->Set();
    const bool released = release->Wait(kEventWaitMs) == platform::kWaitObject0;
    mutex->Release();
    return released ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 5 && std::strcmp(argv[1], "write") == 0) {
        return WriteLines(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), argc >= 6 ? argv[5] : nullptr);
    }
    if (argc == 2 && std::strcmp(argv[1], "abandon") == 0) {
        auto mutex = platform::NamedMutex::Create(kLogMutex);
        if (!mutex || !Obtained(mutex->Wait(kEventWaitMs))) return 2;
        ::_exit(0);  // holding it
    }
    if (argc == 4 && std::strcmp(argv[1], "hold") == 0) return Hold(argv[2], argv[3]);
    if (argc == 4 && std::strcmp(argv[1], "level") == 0) {
        const int level = std::atoi(argv[3]);
        return level >= 0 && SharedDailyLog::Instance().SetCategoryLevelByName(argv[2],
                                                                               static_cast<unsigned>(level))
                   ? 0
                   : 1;
    }
    return 64;
}
