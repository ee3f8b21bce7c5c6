#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/clock.h"
#include "platform/process.h"
#include "test_dirs.h"
#include "util/diagnostics.h"
#include "util/file_log.h"
#include "platform/machine_root.h"

namespace {

class FixedClock : public platform::Clock {
public:
    platform::LocalTime Now() const override { return {2026, 3, 2, 4, 5, 6, 7, 89}; }
    std::uint64_t TickMs() const override { return 0; }
};

class FileLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        FileLog::SetClock(clock);
        FileLog::SetLogLevel(2);
        FileLog::SetLogMask(0xFFFF & ~FileLog::kMaskStderr);
        FileLog::SetMaxLogFileSize(10 * 1024 * 1024);
        FileLog::StartLog();
        ASSERT_EQ(FileLog::SetLogFilePath(dir.File("module.log").c_str()), 1);
    }
    void TearDown() override {
        FileLog::SetLogMask(0xFFFF);
        FileLog::SetMaxLogFileSize(10 * 1024 * 1024);
        FileLog::SetClock(platform::SystemClock());
    }
    std::string Log() { return ReadFile(dir.File("module.log")); }

    FixedClock clock;
    TempDir dir;
};

TEST_F(FileLogTest, LevelsAndSwitchesFilter) {
    FileLog log("TEST");
    EXPECT_EQ(log.LogMsg(3, "too detailed"), 0);
    EXPECT_GT(log.LogMsg(2, "kept %d", 1), 0);
    FileLog::StopLog();
    EXPECT_EQ(log.LogMsg(1, "stopped"), 0);
    FileLog::StartLog();
    FileLog disabled("OFF", 0);
    EXPECT_EQ(disabled.LogMsg(0, "disabled"), 0);
    EXPECT_EQ(Log(), "\n2026/03/04 05:06:07.089 kept 1");
}

TEST_F(FileLogTest, MaskSelectsPrefixes) {
    FileLog log("NET");
    log.SetFileLine("/src/engine/connector.cpp", 77);
    std::string ids = "pid " + std::to_string(platform::CurrentProcessId()) + " ";
    FileLog::SetLogMask(FileLog::kMaskModule | FileLog::kMaskFile | FileLog::kMaskLine |
                        FileLog::kMaskMessage);
    EXPECT_GT(log.LogMsgEx(1, "a\n"), 0);
    FileLog::SetLogMask(FileLog::kMaskTime | FileLog::kMaskFile | FileLog::kMaskPid);
    EXPECT_GT(log.LogMsgEx(1, "not written\n"), 0);
    FileLog::SetLogMask(FileLog::kMaskModule | FileLog::kMaskMessage);
    log.LogMsg(1, "CORE", "C:\\dev\\x.cpp", 5, "b\n");
    EXPECT_EQ(Log(), "NET connector.cpp:77 a\n2026/03/04 05:06:07.089 connector.cpp " + ids + "CORE b\n");
}

TEST_F(FileLogTest, FullMaskWritesEveryPrefix) {
    FileLog::SetLogMask(0xFFFF);
    FileLog unnamed;
    std::string expected = "2026/03/04 05:06:07.089 ?Module? ?File?:0 pid " +
                           std::to_string(platform::CurrentProcessId()) + " tid " +
                           std::to_string(platform::CurrentThreadId()) + " hello\n";
    int written = unnamed.LogMsgEx(0, "hello\n");  // also echoed to stderr with this mask
    EXPECT_EQ(Log(), expected);
    EXPECT_EQ(written, static_cast<int>(expected.size()));
}

TEST_F(FileLogTest, FullFileIsRotatedReplacingOldBackup) {
    FileLog log("ROT");
    FileLog::SetMaxLogFileSize(100);
    WriteFile(dir.File("module.log.bak"), "old backup");
    std::string first(120, 'a');
    log.LogMsg(1, "%s", first.c_str());
    log.LogMsg(1, "second");
    std::string backup = ReadFile(dir.File("module.log.bak"));
    EXPECT_EQ(backup.rfind("\n2026/03/04 05:06:07.089 " + first, 0), 0U);
    EXPECT_NE(backup.find("current log file exceed maximum log file size 100, rename it to " +
                          dir.File("module.log.bak")),
              std::string::npos);
    EXPECT_NE(backup.find("backup log file " + dir.File("module.log.bak") + " already exist, delete it\n"),
              std::string::npos);
    EXPECT_EQ(backup.find("old backup"), std::string::npos);
    EXPECT_EQ(Log(), "2026/03/04 05:06:07.089 create new log file " + dir.File("module.log") +
                         "\n\n2026/03/04 05:06:07.089 second");
}

TEST_F(FileLogTest, PathRules) {
    EXPECT_STREQ(FileLog::GetLogFilePath(), dir.File("module.log").c_str());
    EXPECT_STREQ(FileLog::GetBackupLogFilePath(), dir.File("module.log.bak").c_str());
    EXPECT_EQ(FileLog::SetLogFilePath(nullptr), 0);
    EXPECT_EQ(FileLog::SetLogFilePath(std::string(1024, 'p').c_str()), 0);
    ASSERT_EQ(FileLog::SetLogFilePath("bare.log"), 1);
    std::string folder = platform::ProgramDir() + "/logs/" + platform::ProgramName();
    EXPECT_EQ(std::string(FileLog::GetLogFilePath()), folder + "/bare.log");
    EXPECT_EQ(std::string(FileLog::GetBackupLogFilePath()), folder + "/bare.log.bak");
    EXPECT_TRUE(FileExists(folder));
}

TEST_F(FileLogTest, UnwritableLogGivesZero) {
    ASSERT_EQ(FileLog::SetLogFilePath(dir.File("no/such/folder/x.log").c_str()), 1);
    FileLog log("X");
    EXPECT_EQ(log.LogMsg(0, "lost"), 0);
}

TEST(DiagnosticsTest, VbkLogAppendsUnderMachineRoot) {
    TempDir root;
    setenv("QEL_ROOT", root.Path().c_str(), 1);
    platform::ResetMachineRoot();
    EXPECT_EQ(vbk_log("a=%d;", 1), 0);
    EXPECT_EQ(vbk_log("b"), 0);
    EXPECT_EQ(ReadFile(root.File("vbk.log")), "a=1;b");
    setenv("QEL_ROOT", root.File("missing").c_str(), 1);
    platform::ResetMachineRoot();
    EXPECT_EQ(vbk_log("x"), -1);
    unsetenv("QEL_ROOT");
    platform::ResetMachineRoot();
}

TEST(DiagnosticsTest, TimerMeasuresMonotonicTime) {
    TwPFTimer unstarted;
    EXPECT_GE(unstarted.EndInMili(), 0);  // from the clock's zero
    TwPFTimer timer;
    timer.Start();
    int micro = timer.EndInMicro();
    EXPECT_GE(micro, 0);
    EXPECT_LT(micro, 5 * 1000 * 1000);
    EXPECT_GE(timer.EndInMili(), micro / 1000);
}

}  // namespace
