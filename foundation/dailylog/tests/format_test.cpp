// Line format, file names, where lines go, and the day change.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log_fixture.h"
#include "platform/debug_output.h"

namespace dailylog_test {
namespace {

class LineFormat : public DailyLogTest {};

TEST_F(LineFormat, LineHeadAndFileNameByteForByte) {
    auto log = SharedDailyLog::CreateForTest(m_clock);
    EXPECT_EQ(log->ProgramName(), "dailylog_tests");
    EXPECT_EQ(log->RootFolder(), m_install);

    const int n = log->Write(LOG_CLIENT_LOGIN, 4, "hello %d%%", 5);
    const std::string line = Head("09:05:07.042", 1, 4) + "hello 5%";
    EXPECT_EQ(n, static_cast<int>(line.size()));
    SetTime(2026, 3, 14, 13, 0, 59, 999);
    EXPECT_GT(log->Write(0xC0, 1, "second"), 0);

    EXPECT_EQ(ReadLog("LogFile-20260314.log"), line + "\r\n" + Head("13:00:59.999", 0xC0, 1) + "second\r\n");
    const std::vector<std::string> files = {"LogFile-20260314.log"};
    std::vector<std::string> found;
    for (const auto& e : fs::directory_iterator(LogDir())) found.push_back(e.path().filename().string());
    EXPECT_EQ(found, files);
}

TEST_F(LineFormat, SmallDatesAndTimesAreZeroPadded) {
    SetTime(2026, 1, 5, 0, 0, 0, 0);
    auto log = SharedDailyLog::CreateForTest(m_clock);
    ASSERT_GT(log->Write(LOG_ALWAYS_40, 0, "x"), 0);
    EXPECT_EQ(ReadLog("LogFile-20260105.log"), Head("00:00:00.000", 0x40, 0) + "x\r\n");
    char name[32];
    unsigned size = sizeof name;
    ASSERT_TRUE(log->GetTodayFileName(name, &size));
    EXPECT_STREQ(name, "LogFile-20260105.log");
}

TEST_F(LineFormat, MessageTextIsWrittenLiterally) {
    auto log = SharedDailyLog::CreateForTest(m_clock);
    const std::string tricky = "100%d %s %n \\r\\n";
    ASSERT_GT(log->Write(LOG_ALWAYS_80, 4, "%s", tricky.c_str()), 0);
    EXPECT_EQ(ReadLog("LogFile-20260314.log"), Head("09:05:07.042", 0x80, 4) + tricky + "\r\n");
}

TEST_F(LineFormat, LongMessagesAreCutToOneLineOf1023Characters) {
    auto log = SharedDailyLog::CreateForTest(m_clock);
    const std::string big(5000, 'z');
    EXPECT_EQ(log->Write(LOG_ALWAYS_40, 4, "%s", big.c_str()), 1023);
    const std::string content = ReadLog("LogFile-20260314.log");
    ASSERT_EQ(content.size(), 1025u);
    EXPECT_EQ(content.substr(1023), "\r\n");
    EXPECT_EQ(content.find('\r'), 1023u);
}

TEST_F(LineFormat, NullStringArgumentDoesNotCrash) {
    auto log = SharedDailyLog::CreateForTest(m_clock);
    const char* volatile missing = nullptr;  // hidden from the compiler's format checks
    ASSERT_GT(log->Write(LOG_ALWAYS_40, 4, "user=%s", missing), 0);
    EXPECT_EQ(ReadLog("LogFile-20260314.log"), Head("09:05:07.042", 0x40, 4) + "user=(null)\r\n");
}

TEST_F(LineFormat, NullFormatWritesNothing) {
    auto log = SharedDailyLog::CreateForTest(m_clock);
    const char* volatile format = nullptr;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    EXPECT_EQ(log->Write(LOG_ALWAYS_40, 4, format, 1), 0);
#pragma GCC diagnostic pop
    EXPECT_FALSE(LogExists("LogFile-20260314.log"));
}

TEST_F(LineFormat, DebuggerCategoryGoesToDebugOutputOnly) {
    std::vector<std::string> captured;
    platform::SetDebugOutputCapture([&](std::string_view text) { captured.emplace_back(text); });
    auto log = SharedDailyLog::CreateForTest(m_clock);
    EXPECT_EQ(log->Write(LOG_DEBUGGER, 4, "dbg %d", 42), 6);                           // the message length
    EXPECT_EQ(log->Write(LOG_DEBUGGER, 4, "%s", std::string(2000, 'q').c_str()), -1);  // cut
    EXPECT_EQ(log->Write(LOG_DEBUGGER, 3, "filtered"), 0);
    platform::SetDebugOutputCapture({});

    ASSERT_EQ(captured.size(), 2u);
    EXPECT_EQ(captured[0], Head("09:05:07.042", 0x20, 4) + "dbg 42");
    EXPECT_EQ(captured[1].size(), 1023u);
    EXPECT_FALSE(LogExists("LogFile-20260314.log"));
}

TEST_F(LineFormat, MissingLogFolderDropsTheLineAndIsNotCreated) {
    fs::remove(LogDir());
    auto log = SharedDailyLog::CreateForTest(m_clock);
    EXPECT_EQ(log->Write(LOG_ALWAYS_40, 4, "lost"), 0);
    EXPECT_FALSE(fs::exists(LogDir()));
}

TEST_F(LineFormat, WithoutInstallDirTheProgramFolderIsTheRoot) {
    // The key exists but the value does not.
    ASSERT_EQ(Store()->DeleteValue(kClientKey, "InstallDir"), platform::kRegOk);
    EXPECT_EQ(SharedDailyLog::CreateForTest(m_clock)->RootFolder(), platform::ProgramDir());
    // No key at all.
    ASSERT_EQ(Store()->DeleteKey(kClientKey), platform::kRegOk);
    EXPECT_EQ(SharedDailyLog::CreateForTest(m_clock)->RootFolder(), platform::ProgramDir());
    EXPECT_NE(platform::ProgramDir(), "");
    EXPECT_NE(platform::ProgramDir(), "/");
}

TEST_F(LineFormat, TrailingSlashOfInstallDirIsDropped) {
    ASSERT_EQ(Store()->SetString(kClientKey, "InstallDir", m_install + "//"), platform::kRegOk);
    auto log = SharedDailyLog::CreateForTest(m_clock);
    EXPECT_EQ(log->RootFolder(), m_install);
    EXPECT_GT(log->Write(LOG_ALWAYS_40, 4, "x"), 0);
    EXPECT_TRUE(LogExists("LogFile-20260314.log"));
}

TEST_F(LineFormat, DayChangeAtMidnightStartsANewFileAndCleansUp) {
    SetTime(2026, 3, 14, 23, 59, 59, 999);
    auto log = SharedDailyLog::CreateForTest(m_clock);
    ASSERT_GT(log->Write(LOG_ALWAYS_40, 4, "last of the day"), 0);

    // 25 MiB of old files appear during the day; only the day change looks at them.
    const std::string old = LogDir() + "/LogFile-20250101.log";
    { std::ofstream(old).flush(); }
    fs::resize_file(old, 25u << 20);
    fs::last_write_time(old, fs::file_time_type::clock::now() - std::chrono::hours(24 * 30));
    ASSERT_GT(log->Write(LOG_ALWAYS_40, 4, "still today"), 0);
    EXPECT_TRUE(fs::exists(old));

    SetTime(2026, 3, 15, 0, 0, 0, 0);
    ASSERT_GT(log->Write(LOG_ALWAYS_40, 4, "first of the next"), 0);
    EXPECT_FALSE(fs::exists(old)) << "the first line of a new day runs the clean-up";
    EXPECT_EQ(ReadLog("LogFile-20260314.log"), Head("23:59:59.999", 0x40, 4) + "last of the day\r\n" +
                                                   Head("23:59:59.999", 0x40, 4) + "still today\r\n");
    EXPECT_EQ(ReadLog("LogFile-20260315.log"), Head("00:00:00.000", 0x40, 4) + "first of the next\r\n");
}

}  // namespace
}  // namespace dailylog_test
