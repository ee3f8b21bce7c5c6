// The settings store: registry result codes, case rules, typed values, enumeration, and no lost
// writes with several threads and processes at once.
#include "platform/settings_store.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <thread>

#include "platform/machine_root.h"
#include "test_support.h"

namespace platform {
namespace {

class SettingsStoreTest : public ::testing::Test {
protected:
    testsupport::TempRoot root{"qel-platform"};
    std::string db = root.Path() + "/settings.db";
};

TEST_F(SettingsStoreTest, ValuesRoundTripWithTheirTypes) {
    SettingsStore s(db);
    ASSERT_EQ(s.SetString("Software\\Morvane\\QelClient", "InstallDir", "/opt/qel"), kRegOk);
    ASSERT_EQ(s.SetDword("Software\\Morvane\\QelClient", "MainWindow", 0xdeadbeef), kRegOk);
    ASSERT_EQ(s.SetBinary("Software\\Morvane\\QelClient", "Blob", {0, 1, 2, 255}), kRegOk);
    ASSERT_EQ(s.SetString("Software\\Morvane\\QelClient", "Empty", ""), kRegOk);

    std::string str;
    DWORD dw = 0;
    std::vector<std::uint8_t> bin;
    EXPECT_EQ(s.GetString("SOFTWARE\\MORVANE\\qelclient", "installdir", &str), kRegOk);
    EXPECT_EQ(str, "/opt/qel");
    EXPECT_EQ(s.GetDword("Software\\Morvane\\QelClient\\", "MAINWINDOW", &dw), kRegOk);
    EXPECT_EQ(dw, 0xdeadbeefu);
    EXPECT_EQ(s.GetBinary("\\Software\\\\Morvane\\QelClient", "blob", &bin), kRegOk);
    EXPECT_EQ(bin, (std::vector<std::uint8_t>{0, 1, 2, 255}));
    EXPECT_EQ(s.GetString("Software\\Morvane\\QelClient", "Empty", &str), kRegOk);
    EXPECT_EQ(str, "");

    // Type mismatches through the conveniences are refused, not reinterpreted.
    EXPECT_NE(s.GetDword("Software\\Morvane\\QelClient", "InstallDir", &dw), kRegOk);
    EXPECT_NE(s.GetString("Software\\Morvane\\QelClient", "MainWindow", &str), kRegOk);
}

TEST_F(SettingsStoreTest, QueryValueFollowsTheMoreDataRule) {
    SettingsStore s(db);
    ASSERT_EQ(s.SetString("K", "v", "hello"), kRegOk);
    DWORD type = 0;
    DWORD size = 0;
    EXPECT_EQ(s.QueryValue("k", "V", &type, nullptr, &size), kRegOk);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(size, 6u);  // with the terminating zero

    char small[3] = {'x', 'x', 'x'};
    size = sizeof small;
    EXPECT_EQ(s.QueryValue("k", "v", &type, small, &size), kRegMoreData);
    EXPECT_EQ(size, 6u);
    char exact[6];
    size = sizeof exact;
    EXPECT_EQ(s.QueryValue("k", "v", nullptr, exact, &size), kRegOk);
    EXPECT_STREQ(exact, "hello");

    // data without a size is a caller error; missing values and keys are "not found".
    EXPECT_EQ(s.QueryValue("k", "v", nullptr, exact, nullptr), kRegInvalidParameter);
    EXPECT_EQ(s.QueryValue("k", "absent", nullptr, nullptr, &size), kRegFileNotFound);
    EXPECT_EQ(s.QueryValue("nokey", "v", nullptr, nullptr, &size), kRegFileNotFound);

    // A string stored without its zero still comes back terminated.
    ASSERT_EQ(s.SetValue("k", "raw", REG_SZ, "abc", 3), kRegOk);
    size = 0;
    EXPECT_EQ(s.QueryValue("k", "raw", nullptr, nullptr, &size), kRegOk);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(s.SetValue("k", "bad", REG_BINARY, nullptr, 4), kRegInvalidParameter);
}

TEST_F(SettingsStoreTest, KeysAreCreatedWithParentsAndDeletedWithChildren) {
    SettingsStore s(db);
    EXPECT_EQ(s.OpenKey("A\\B\\C"), kRegFileNotFound);
    ASSERT_EQ(s.CreateKey("A\\B\\C"), kRegOk);
    EXPECT_EQ(s.OpenKey("a"), kRegOk);
    EXPECT_EQ(s.OpenKey("a\\b"), kRegOk);
    ASSERT_EQ(s.SetDword("a\\b\\c\\d", "x", 1), kRegOk);
    ASSERT_EQ(s.SetDword("a\\b", "y", 2), kRegOk);
    ASSERT_EQ(s.SetDword("a\\bb", "z", 3), kRegOk);  // a sibling whose name starts alike

    std::vector<std::string> names;
    ASSERT_EQ(s.EnumKeys("A", &names), kRegOk);
    EXPECT_EQ(names, (std::vector<std::string>{"B", "bb"}));  // spelling kept

    EXPECT_EQ(s.DeleteKey("a\\B"), kRegOk);
    EXPECT_EQ(s.OpenKey("a\\b\\c\\d"), kRegFileNotFound);
    DWORD v = 0;
    EXPECT_EQ(s.GetDword("a\\b\\c\\d", "x", &v), kRegFileNotFound);
    EXPECT_EQ(s.GetDword("a\\b", "y", &v), kRegFileNotFound);
    EXPECT_EQ(s.GetDword("a\\bb", "z", &v), kRegOk);
    EXPECT_EQ(s.DeleteKey("a\\b"), kRegFileNotFound);
    EXPECT_EQ(s.DeleteKey(""), kRegInvalidParameter);
}

TEST_F(SettingsStoreTest, ValuesEnumerateInOrderAndDelete) {
    SettingsStore s(db);
    ASSERT_EQ(s.SetDword("k", "Zeta", 1), kRegOk);
    ASSERT_EQ(s.SetDword("k", "alpha", 2), kRegOk);
    ASSERT_EQ(s.SetDword("k", "ZETA", 3), kRegOk);  // same value, first spelling kept
    std::vector<std::string> names;
    ASSERT_EQ(s.EnumValues("K", &names), kRegOk);
    EXPECT_EQ(names, (std::vector<std::string>{"Zeta", "alpha"}));
    DWORD v = 0;
    EXPECT_EQ(s.GetDword("k", "zeta", &v), kRegOk);
    EXPECT_EQ(v, 3u);
    EXPECT_EQ(s.DeleteValue("k", "ZETA"), kRegOk);
    EXPECT_EQ(s.DeleteValue("k", "zeta"), kRegFileNotFound);
    EXPECT_EQ(s.DeleteValue("nokey", "zeta"), kRegFileNotFound);
    EXPECT_EQ(s.EnumValues("nokey", &names), kRegFileNotFound);
}

TEST_F(SettingsStoreTest, MachineStoreFollowsTheRoot) {
    auto first = SettingsStore::Machine();
    ASSERT_EQ(first->SetDword("k", "v", 7), kRegOk);
    EXPECT_TRUE(std::filesystem::exists(SettingsDbPath()));
    {
        testsupport::TempRoot other{"qel-platform"};
        auto second = SettingsStore::Machine();
        DWORD v = 0;
        EXPECT_EQ(second->GetDword("k", "v", &v), kRegFileNotFound);
    }
    ::setenv("QEL_ROOT", root.Path().c_str(), 1);
    platform::ResetMachineRoot();
    DWORD v = 0;
    EXPECT_EQ(SettingsStore::Machine()->GetDword("k", "v", &v), kRegOk);
    EXPECT_EQ(v, 7u);
}

TEST_F(SettingsStoreTest, AnUnusableDatabaseGivesAFailureCode) {
    SettingsStore s(root.Path() + "/missing-folder/settings.db");
    EXPECT_EQ(s.SetDword("k", "v", 1), kRegGeneralFailure);
    DWORD v = 0;
    EXPECT_EQ(s.GetDword("k", "v", &v), kRegGeneralFailure);
}

TEST_F(SettingsStoreTest, ThreadsSharingAndNotSharingAConnectionLoseNoWrite) {
    SettingsStore shared(db);
    constexpr int kThreads = 6;
    constexpr int kWrites = 60;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            SettingsStore own(db);
            SettingsStore& s = (t % 2 == 0) ? shared : own;
            for (int i = 0; i < kWrites; ++i) {
                ASSERT_EQ(s.SetDword("Threads\\T" + std::to_string(t), "v" + std::to_string(i),
                                     static_cast<DWORD>(i)),
                          kRegOk);
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    for (int t = 0; t < kThreads; ++t) {
        std::vector<std::string> names;
        ASSERT_EQ(shared.EnumValues("threads\\t" + std::to_string(t), &names), kRegOk);
        EXPECT_EQ(names.size(), static_cast<std::size_t>(kWrites));
    }
}

TEST_F(SettingsStoreTest, TwoProcessesWritingAtOnceLoseNoWrite) {
    constexpr int kWrites = 150;
    pid_t a = test::StartHelper({"settings-write", db, "Shared\\Key", "a", std::to_string(kWrites)});
    pid_t b = test::StartHelper({"settings-write", db, "shared\\key", "b", std::to_string(kWrites)});
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    SettingsStore s(db);
    for (int i = 0; i < kWrites; ++i) {  // and this process too
        ASSERT_EQ(s.SetDword("SHARED\\KEY", "c" + std::to_string(i), 1), kRegOk);
    }
    int codeA = -1;
    int codeB = -1;
    ASSERT_EQ(WaitProcess(a, 60000, &codeA), kWaitObject0);
    ASSERT_EQ(WaitProcess(b, 60000, &codeB), kWaitObject0);
    EXPECT_EQ(codeA, 0);
    EXPECT_EQ(codeB, 0);
    std::vector<std::string> names;
    ASSERT_EQ(s.EnumValues("shared\\key", &names), kRegOk);
    EXPECT_EQ(names.size(), static_cast<std::size_t>(3 * kWrites));
    DWORD v = 0;
    EXPECT_EQ(s.GetDword("shared\\key", "b" + std::to_string(kWrites - 1), &v), kRegOk);
    EXPECT_EQ(v, static_cast<DWORD>(kWrites - 1));
}

TEST_F(SettingsStoreTest, RandomKeyPathsAndNamesNeverBreakTheStore) {
    SettingsStore s(db);
    std::mt19937 rng(12345);
    const std::string alphabet = "aB\\\\z%_'\"\x01\xff]";
    for (int i = 0; i < 300; ++i) {
        std::string key;
        std::string name;
        for (int n = static_cast<int>(rng() % 12); n > 0; --n) {
            key.push_back(alphabet[rng() % alphabet.size()]);
        }
        for (int n = static_cast<int>(rng() % 6); n > 0; --n) {
            name.push_back(alphabet[rng() % alphabet.size()]);
        }
        LONG rc = s.SetDword(key, name, static_cast<DWORD>(i));
        ASSERT_TRUE(rc == kRegOk || rc == kRegInvalidParameter) << rc;
        if (rc == kRegOk) {
            DWORD v = 0;
            ASSERT_EQ(s.GetDword(key, name, &v), kRegOk);
            ASSERT_EQ(v, static_cast<DWORD>(i));
        }
        if (rng() % 5 == 0) {
            rc = s.DeleteKey(key);
            ASSERT_TRUE(rc == kRegOk || rc == kRegFileNotFound || rc == kRegInvalidParameter) << rc;
        }
    }
}

}  // namespace
}  // namespace platform
