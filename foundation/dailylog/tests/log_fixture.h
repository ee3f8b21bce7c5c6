// A fresh machine root per test: settings store with InstallDir, an install folder with Log/,
// and a test clock (pass m_clock to the log under test).
#pragma once
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "dailylog/shared_daily_log.h"
#include "platform/clock.h"
#include "platform/fake/manual_clock.h"
#include "platform/process.h"
#include "platform/settings_store.h"
#include "testsupport/temp_root.h"

namespace dailylog_test {

namespace fs = std::filesystem;

inline constexpr const char* kClientKey = "Software\\Morvane\\QelClient";
inline constexpr const char* kLevelKey = "SOFTWARE\\Morvane";

class DailyLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_machineRoot.Path().empty());
        m_root = m_machineRoot.Path();
        m_install = m_root + "/install";
        fs::create_directories(m_install + "/Log");
        ASSERT_EQ(Store()->SetString(kClientKey, "InstallDir", m_install), platform::kRegOk);
        SetTime(2026, 3, 14, 9, 5, 7, 42);
    }

    // Sets the test clock's local time.
    void SetTime(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second, WORD ms) {
        m_clock.SetLocalTime({year, month, 0, day, hour, minute, second, ms});
    }

    static std::shared_ptr<platform::SettingsStore> Store() { return platform::SettingsStore::Machine(); }

    std::string LogDir() const { return m_install + "/Log"; }

    std::string ReadLog(const std::string& name) const {
        std::ifstream in(LogDir() + "/" + name, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    bool LogExists(const std::string& name) const { return fs::exists(LogDir() + "/" + name); }

    // "HH:MM:SS.mmm [dailylog_tests,pid,tid] (CCCCCCCC, L) " for the calling thread.
    static std::string Head(const char* time, unsigned category, int level) {
        char head[256];
        std::snprintf(head, sizeof head, "%s [%s,%d,%d] (%08X, %d) ", time, platform::ProgramName().c_str(),
                      static_cast<int>(platform::CurrentProcessId()),
                      static_cast<int>(platform::CurrentThreadId()), category, level);
        return head;
    }

    void SetLevelValue(const std::vector<std::uint8_t>& raw) {
        ASSERT_EQ(Store()->SetBinary(kLevelKey, "LogLevel", raw), platform::kRegOk);
    }

    testsupport::TempRoot m_machineRoot{"dailylog-test"};
    std::string m_root;
    std::string m_install;
    platform::fake::ManualClock m_clock;
};

}  // namespace dailylog_test
