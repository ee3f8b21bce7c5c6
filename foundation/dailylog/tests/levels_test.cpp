// The level table: thresholds, entries, defaults and the text/buffer conventions.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "log_fixture.h"

namespace dailylog_test {
namespace {

std::vector<std::uint8_t> Table(const std::vector<std::uint32_t>& entries) {
    std::vector<std::uint8_t> raw;
    for (std::uint32_t e : entries) {
        for (int b = 0; b < 4; ++b) raw.push_back(static_cast<std::uint8_t>(e >> (8 * b)));
    }
    return raw;
}

std::vector<std::uint32_t> DefaultEntries() {
    std::vector<std::uint32_t> e;
    for (int i = 0; i < 8; ++i) e.push_back((1u << (16 + i)) | 4);
    return e;
}

class LevelTable : public DailyLogTest {
protected:
    std::vector<std::uint8_t> StoredValue() {
        std::vector<std::uint8_t> raw;
        EXPECT_EQ(Store()->GetBinary(kLevelKey, "LogLevel", &raw), platform::kRegOk);
        return raw;
    }
};

TEST_F(LevelTable, WithoutLogLevelTheThresholdIsFour) {
    auto log = SharedDailyLog::CreateForTest(m_clock);
    EXPECT_EQ(log->Write(LOG_CLIENT_DATA, 3, "dropped"), 0);
    EXPECT_GT(log->Write(LOG_CLIENT_DATA, 4, "kept"), 0);
    EXPECT_GT(log->Write(LOG_CLIENT_DATA, 5, "kept"), 0);
    unsigned level = 99;
    EXPECT_FALSE(log->ReadCategoryLevel(LOG_CLIENT_DATA, &level));
    EXPECT_EQ(level, 99u);
    const std::string content = ReadLog("LogFile-20260314.log");
    EXPECT_EQ(content.find("dropped"), std::string::npos);
}

TEST_F(LevelTable, LevelZeroSwitchesACategoryOffButNotTheAlwaysCategories) {
    auto log = SharedDailyLog::CreateForTest(m_clock);
    ASSERT_TRUE(log->SetCategoryLevel(0xFF, 0));
    EXPECT_FALSE(log->ShouldLog(LOG_CLIENT_LOGIN, 5));
    EXPECT_EQ(log->Write(LOG_CLIENT_LOGIN, 5, "off"), 0);
    EXPECT_TRUE(log->ShouldLog(LOG_ALWAYS_40, 0));
    EXPECT_TRUE(log->ShouldLog(LOG_ALWAYS_80, 0));
    EXPECT_TRUE(log->ShouldLog(0x41, 0));
    EXPECT_GT(log->Write(LOG_ALWAYS_40, 0, "always"), 0);
}

TEST_F(LevelTable, ThresholdIsTheEntrysLevelAndChangesTakeEffectAtOnce) {
    auto log = SharedDailyLog::CreateForTest(m_clock);
    ASSERT_TRUE(log->SetCategoryLevel(LOG_SSL_STATES, 2));
    EXPECT_FALSE(log->ShouldLog(LOG_SSL_STATES, 1));
    EXPECT_TRUE(log->ShouldLog(LOG_SSL_STATES, 2));
    // Another program (here: another object) changes the table; the next call sees it.
    ASSERT_TRUE(SharedDailyLog::CreateForTest(m_clock)->SetCategoryLevel(LOG_SSL_STATES, 5));
    EXPECT_FALSE(log->ShouldLog(LOG_SSL_STATES, 4));
    EXPECT_TRUE(log->ShouldLog(LOG_SSL_STATES, 5));
}

TEST_F(LevelTable, CombinedCategoriesNeverMatchAnEntry) {
    auto log = SharedDailyLog::CreateForTest(m_clock);
    ASSERT_TRUE(log->SetCategoryLevel(LOG_CLIENT_LOGIN | LOG_CLIENT_DATA, 0));
    EXPECT_FALSE(log->ShouldLog(LOG_CLIENT_LOGIN, 5));
    EXPECT_FALSE(log->ReadCategoryLevel(0x03, nullptr));
    EXPECT_FALSE(log->ShouldLog(0x03, 3));
    EXPECT_TRUE(log->ShouldLog(0x03, 4));
}

TEST_F(LevelTable, SetCategoryLevelStartsFromTheDefaultTable) {
    auto log = SharedDailyLog::CreateForTest(m_clock);
    ASSERT_TRUE(log->SetCategoryLevel(LOG_CLIENT_DATA, 1));
    auto expected = DefaultEntries();
    expected[1] = (LOG_CLIENT_DATA << 16) | 1;
    EXPECT_EQ(StoredValue(), Table(expected));
    DWORD type = 0, size = 0;
    ASSERT_EQ(Store()->QueryValue(kLevelKey, "LogLevel", &type, nullptr, &size), platform::kRegOk);
    EXPECT_EQ(type, platform::REG_BINARY);
    EXPECT_EQ(size, 32u);
}

TEST_F(LevelTable, SetCategoryLevelNeedsTheKey) {
    ASSERT_EQ(Store()->DeleteKey(kLevelKey), platform::kRegOk);  // also removes QelClient below it
    auto log = SharedDailyLog::CreateForTest(m_clock);
    EXPECT_FALSE(log->SetCategoryLevel(LOG_CLIENT_DATA, 1));
    EXPECT_EQ(Store()->OpenKey(kLevelKey), platform::kRegFileNotFound);
}

TEST_F(LevelTable, NamesCoverTheirCategories) {
    auto log = SharedDailyLog::CreateForTest(m_clock);
    ASSERT_TRUE(log->SetCategoryLevelByName("PluginData", 2));
    auto expected = DefaultEntries();
    expected[4] = (0x10u << 16) | 2;
    expected[5] = (0x20u << 16) | 2;
    EXPECT_EQ(StoredValue(), Table(expected));

    ASSERT_TRUE(log->SetCategoryLevelByName("ALL", 5));
    for (int i = 0; i < 6; ++i) expected[static_cast<std::size_t>(i)] = (1u << (16 + i)) | 5;
    EXPECT_EQ(StoredValue(), Table(expected)) << "0x40 and 0x80 keep their level";

    EXPECT_TRUE(log->SetCategoryLevelByName("clientlogin", 0));
    EXPECT_TRUE(log->SetCategoryLevelByName("SslStates", 1));
    EXPECT_TRUE(log->SetCategoryLevelByName("pluginLOGIN", 1));
    EXPECT_TRUE(log->SetCategoryLevelByName("clientdata", 3));
    EXPECT_FALSE(log->SetCategoryLevelByName("clientdata", 6));
    EXPECT_FALSE(log->SetCategoryLevelByName("client", 1));
    EXPECT_FALSE(log->SetCategoryLevelByName(nullptr, 1));
    unsigned level = 0;
    ASSERT_TRUE(log->ReadCategoryLevel(LOG_CLIENT_DATA, &level));
    EXPECT_EQ(level, 3u);
}

TEST_F(LevelTable, ShortValuesLeaveEntriesZeroAndLongOnesCountAsMissing) {
    auto log = SharedDailyLog::CreateForTest(m_clock);
    SetLevelValue(Table({(0x01u << 16) | 2}));  // one entry; the rest read as zero
    unsigned level = 0;
    ASSERT_TRUE(log->ReadCategoryLevel(LOG_CLIENT_LOGIN, &level));
    EXPECT_EQ(level, 2u);
    EXPECT_FALSE(log->ReadCategoryLevel(LOG_CLIENT_DATA, &level));
    EXPECT_TRUE(log->ShouldLog(LOG_CLIENT_LOGIN, 2));

    auto longer = DefaultEntries();
    longer[0] = (0x01u << 16) | 1;
    longer.push_back(0);
    SetLevelValue(Table(longer));  // 36 bytes
    EXPECT_FALSE(log->ReadCategoryLevel(LOG_CLIENT_LOGIN, &level));
    EXPECT_FALSE(log->ShouldLog(LOG_CLIENT_LOGIN, 3));
    EXPECT_TRUE(log->ShouldLog(LOG_CLIENT_LOGIN, 4));
}

TEST_F(LevelTable, DumpCategoryLevelsFollowsTheBufferConvention) {
    auto log = SharedDailyLog::CreateForTest(m_clock);
    ASSERT_TRUE(log->SetCategoryLevel(LOG_SSL_STATES, 1));
    const std::string text = "ClientLogin 4\nClientData  4\nSslStates   1\nPluginLogin 4\nPluginData  4\n";

    unsigned size = 0;
    EXPECT_EQ(log->DumpCategoryLevels(nullptr, &size), 0);
    EXPECT_EQ(size, text.size() + 1);

    std::vector<char> buffer(text.size() + 8, '#');
    size = static_cast<unsigned>(text.size());  // room for the text but not its zero
    EXPECT_EQ(log->DumpCategoryLevels(buffer.data(), &size), 0);
    EXPECT_EQ(size, text.size() + 1);
    EXPECT_EQ(buffer[0], '#');

    EXPECT_EQ(log->DumpCategoryLevels(buffer.data(), &size), 1);
    EXPECT_EQ(std::string(buffer.data()), text);
    EXPECT_EQ(log->DumpCategoryLevels(buffer.data(), nullptr), 0);
}

TEST_F(LevelTable, TodayFileNameFollowsTheBufferConvention) {
    auto log = SharedDailyLog::CreateForTest(m_clock);
    char name[21];
    unsigned size = 20;
    EXPECT_FALSE(log->GetTodayFileName(name, &size));
    EXPECT_EQ(size, 21u);
    EXPECT_TRUE(log->GetTodayFileName(name, &size));
    EXPECT_STREQ(name, "LogFile-20260314.log");
}

}  // namespace
}  // namespace dailylog_test
