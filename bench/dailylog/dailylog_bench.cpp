// Daily-log throughput: lines per second written by 1 and 4 threads of one process and by 2
// processes at once, into a fresh machine root of its own (the machine's log is not touched),
// and the cost of a call the level table filters out.
//   dailylog_bench [lines per run]
// Lines use category 0x01 at level 4, so each one also consults the level table, as the suite's
// ordinary lines do; the filtered calls use level 3 of the same category.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "dailylog/shared_daily_log.h"
#include "platform/named_objects.h"
#include "platform/process.h"
#include "platform/settings_store.h"
#include "platform/machine_root.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kStartEvent = "Global\\dailylog-bench-start";
constexpr DWORD kWaitMs = 120000;
const std::string kText = "connection state changed, gateway answered in time, nothing else to report here";

int WriteLines(int count, int id) {
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        if (TW_LOG(LOG_CLIENT_LOGIN, 4, "[%d] line %d: %s", id, i, kText.c_str()) <= 0) ++failed;
    }
    return failed;
}

std::string ReadyEvent(int id) { return "Global\\dailylog-bench-ready-" + std::to_string(id); }

// Child process: build the log object first, say so, then wait for the common start.
int Child(int count, int id) {
    SharedDailyLog::Instance();
    auto start = platform::NamedEvent::Create(kStartEvent, true, false);
    auto ready = platform::NamedEvent::Create(ReadyEvent(id), true, false);
    if (!start || !ready || !ready->Set() || start->Wait(kWaitMs) != platform::kWaitObject0) return 2;
    return WriteLines(count, id) == 0 ? 0 : 1;
}

std::size_t CountLines(const std::string& logDir) {
    std::size_t lines = 0;
    for (const auto& e : fs::directory_iterator(logDir)) {
        std::ifstream in(e.path(), std::ios::binary);
        char buffer[65536];
        while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
            for (std::streamsize i = 0; i < in.gcount(); ++i) lines += buffer[i] == '\n' ? 1 : 0;
        }
        fs::remove(e.path());
    }
    return lines;
}

void Report(const char* what, int lines, Clock::duration elapsed, std::size_t found) {
    const double seconds = std::chrono::duration<double>(elapsed).count();
    std::printf("%-22s %8d lines in %7.3f s = %9.0f lines/s  (%zu lines in the files)\n", what, lines,
                seconds, lines / seconds, found);
}

void RunThreads(int threads, int total, const std::string& logDir) {
    const int each = total / threads;
    std::vector<std::thread> pool;
    const auto begin = Clock::now();
    for (int t = 0; t < threads; ++t) pool.emplace_back([=] { WriteLines(each, t); });
    for (auto& th : pool) th.join();
    const auto elapsed = Clock::now() - begin;
    char what[64];
    std::snprintf(what, sizeof what, "%d thread%s, 1 process", threads, threads == 1 ? "" : "s");
    Report(what, each * threads, elapsed, CountLines(logDir));
}

bool RunProcesses(int processes, int total, const std::string& logDir) {
    const int each = total / processes;
    auto start = platform::NamedEvent::Create(kStartEvent, true, false);
    if (!start) return false;
    start->Reset();
    std::vector<pid_t> children;
    std::vector<std::unique_ptr<platform::NamedEvent>> ready;
    for (int p = 0; p < processes; ++p) {
        ready.push_back(platform::NamedEvent::Create(ReadyEvent(p), true, false));
        const pid_t pid =
            platform::Spawn({platform::ProgramPath(), "--child", std::to_string(each), std::to_string(p)});
        if (pid <= 0 || !ready.back()) return false;
        children.push_back(pid);
    }
    // The children build their log objects before the clock starts.
    for (auto& r : ready) {
        if (r->Wait(kWaitMs) != platform::kWaitObject0) return false;
    }
    const auto begin = Clock::now();
    start->Set();
    bool ok = true;
    for (pid_t pid : children) {
        int code = -1;
        ok = platform::WaitProcess(pid, kWaitMs, &code) == platform::kWaitObject0 && code == 0 && ok;
    }
    const auto elapsed = Clock::now() - begin;
    char what[64];
    std::snprintf(what, sizeof what, "%d processes", processes);
    Report(what, each * processes, elapsed, CountLines(logDir));
    return ok;
}

// Nanoseconds per call that the level table drops (level 3 under the default threshold 4).
void RunFiltered(int calls) {
    int written = 0;
    const auto begin = Clock::now();
    for (int i = 0; i < calls; ++i)
        written += TW_LOG(LOG_CLIENT_LOGIN, 3, "filtered %d: %s", i, kText.c_str());
    const double ns = std::chrono::duration<double, std::nano>(Clock::now() - begin).count();
    std::printf("%-22s %8d calls in %7.3f s = %9.1f ns/call  (%d written)\n", "filtered out", calls, ns / 1e9,
                ns / calls, written);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--child") == 0)
        return Child(std::atoi(argv[2]), std::atoi(argv[3]));
    const int total = argc > 1 ? std::atoi(argv[1]) : 40000;
    if (total <= 0) {
        std::fprintf(stderr, "usage: %s [lines per run]\n", argv[0]);
        return 64;
    }

    std::string root = (fs::temp_directory_path() / "dailylog-bench-XXXXXX").string();
    if (::mkdtemp(root.data()) == nullptr) return 1;
    ::setenv("QEL_ROOT", root.c_str(), 1);
    platform::ResetMachineRoot();
    const std::string install = root + "/install";
    fs::create_directories(install + "/Log");
    auto store = platform::SettingsStore::Machine();
    store->SetString("Software\\Morvane\\QelClient", "InstallDir", install);
    SharedDailyLog::Instance().SetCategoryLevel(0xFF, 4);  // the default table, present

    std::printf("daily log throughput, %u cores (%ld online)\n", std::thread::hardware_concurrency(),
                ::sysconf(_SC_NPROCESSORS_ONLN));
    RunThreads(1, total, install + "/Log");
    RunThreads(4, total, install + "/Log");
    const bool ok = RunProcesses(2, total, install + "/Log");
    RunFiltered(total * 10);
    fs::remove_all(root);
    return ok ? 0 : 1;
}
