// Clean-up of the Log folder: at construction (and on a new day, see format_test.cpp).
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>

#include "log_fixture.h"

namespace dailylog_test {
namespace {

constexpr std::uintmax_t kMiB = 1u << 20;

class CleanUp : public DailyLogTest {
protected:
    // A sparse file of the given size; `old` files were last changed a month ago.
    void MakeFile(const std::string& name, std::uintmax_t size, bool old) {
        const std::string path = LogDir() + "/" + name;
        { std::ofstream(path).flush(); }
        fs::resize_file(path, size);
        if (old) fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(24 * 30));
    }
    std::set<std::string> Files() const {
        std::set<std::string> names;
        for (const auto& e : fs::directory_iterator(LogDir())) names.insert(e.path().filename().string());
        return names;
    }
    std::uintmax_t Total() const {
        std::uintmax_t total = 0;
        for (const auto& e : fs::directory_iterator(LogDir())) {
            if (e.is_regular_file()) total += e.file_size();
        }
        return total;
    }
};

TEST_F(CleanUp, BelowTwentyMiBNothingIsDeleted) {
    MakeFile("LogFile-20250101.log", 10 * kMiB, true);
    MakeFile("LogFile-20250102.log", 10 * kMiB, true);
    SharedDailyLog::CreateForTest(m_clock);
    EXPECT_EQ(Files().size(), 2u);
}

TEST_F(CleanUp, OldestFilesGoFirstUntilTwentyMiBAndTodayStays) {
    // Created newest first, so the directory order is not the date order.
    for (int day = 5; day >= 1; --day)
        MakeFile("LogFile-2026030" + std::to_string(day) + ".log", 5 * kMiB, true);
    MakeFile("LogFile-20260314.log", 1 * kMiB, true);
    SharedDailyLog::CreateForTest(m_clock);
    EXPECT_EQ(Files(), (std::set<std::string>{"LogFile-20260303.log", "LogFile-20260304.log",
                                              "LogFile-20260305.log", "LogFile-20260314.log"}));
    EXPECT_LE(Total(), 20 * kMiB);
    EXPECT_EQ(fs::file_size(LogDir() + "/LogFile-20260314.log"), 1 * kMiB);
}

TEST_F(CleanUp, RecentlyChangedFilesAreNeverDeleted) {
    MakeFile("LogFile-20260312.log", 15 * kMiB, true);
    MakeFile("LogFile-20260313.log", 15 * kMiB, false);  // still being written a moment ago
    MakeFile("crash-1234.dmp", 15 * kMiB, false);
    SharedDailyLog::CreateForTest(m_clock);
    EXPECT_EQ(Files(), (std::set<std::string>{"LogFile-20260313.log", "crash-1234.dmp"}));
}

TEST_F(CleanUp, EveryOldFileCountsButFoldersAreLeftAlone) {
    fs::create_directory(LogDir() + "/archive");
    MakeFile("archive/big.log", 50 * kMiB, true);  // below a sub-folder: not counted
    MakeFile("0-notes.txt", 12 * kMiB, true);
    MakeFile("LogFile-20260301.log", 12 * kMiB, true);
    SharedDailyLog::CreateForTest(m_clock);
    EXPECT_EQ(Files(), (std::set<std::string>{"LogFile-20260301.log", "archive"}));
    EXPECT_TRUE(fs::exists(LogDir() + "/archive/big.log"));
}

TEST_F(CleanUp, TodaysFileAboveHundredMiBIsRenamed) {
    MakeFile("LogFile-20260314.log", 101 * kMiB, false);
    auto log = SharedDailyLog::CreateForTest(m_clock);
    EXPECT_EQ(Files(), (std::set<std::string>{"LogFile-20000101.log"}));
    EXPECT_EQ(fs::file_size(LogDir() + "/LogFile-20000101.log"), 101 * kMiB);
    // Logging goes on in a fresh file.
    ASSERT_GT(log->Write(LOG_ALWAYS_40, 4, "fresh"), 0);
    EXPECT_LT(fs::file_size(LogDir() + "/LogFile-20260314.log"), 200u);
}

TEST_F(CleanUp, RenameNeverReplacesAnEarlierOversizeFile) {
    MakeFile("LogFile-20000101.log", 60 * kMiB, false);
    MakeFile("LogFile-20260314.log", 60 * kMiB, false);
    SharedDailyLog::CreateForTest(m_clock);
    EXPECT_EQ(Files(), (std::set<std::string>{"LogFile-20000101.log", "LogFile-20260314.log"}));
    EXPECT_EQ(fs::file_size(LogDir() + "/LogFile-20000101.log"), 60 * kMiB);
}

TEST_F(CleanUp, AnEarlierOversizeFileIsTheFirstToGoOnceOld) {
    MakeFile("LogFile-20000101.log", 60 * kMiB, true);
    MakeFile("LogFile-20260313.log", 5 * kMiB, true);
    MakeFile("LogFile-20260314.log", 1 * kMiB, false);
    SharedDailyLog::CreateForTest(m_clock);
    EXPECT_EQ(Files(), (std::set<std::string>{"LogFile-20260313.log", "LogFile-20260314.log"}));
}

}  // namespace
}  // namespace dailylog_test
