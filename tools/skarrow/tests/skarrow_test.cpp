// The install checker's switches that need no service running: argument handling, the reboot
// marker, the adapter count, the cleaner and client waits, the fingerprint.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <thread>

#include "platform/fake/fake_adapters.h"
#include "platform/named_objects.h"
#include "platform/service_control.h"
#include "platform/settings_store.h"
#include "service/hardware_id.h"
#include "skarrow/install_checker.h"
#include "platform/process.h"
#include "testsupport/command.h"
#include "testsupport/temp_dir.h"
#include "testsupport/temp_root.h"

namespace {

using skarrow::InstallChecker;

platform::AdapterInfo Adapter(DWORD index, std::array<BYTE, 8> mac, DWORD length = 6) {
    platform::AdapterInfo a;
    a.index = index;
    a.name = "eth" + std::to_string(index);
    a.mac = mac;
    a.macLength = length;
    return a;
}

constexpr std::array<BYTE, 8> kVirtualMac{0x00, 0xff, 0xff, 0xff, 0x00, 0x00};
constexpr std::array<BYTE, 8> kOtherMac{0x02, 0x11, 0x22, 0x33, 0x44, 0x55};

skarrow::SkarrowTiming Quick() {
    skarrow::SkarrowTiming t;
    t.roundMs = 1;
    t.rounds = 3;
    t.recountMs = 1;
    t.preInstallWaitMs = 1;
    t.pollMs = 2;
    t.killCleanerAfterMs = 50;
    t.cleanerGiveUpMs = 100;
    t.guiWaitMs = 200;
    t.restartPauseMs = 1;
    return t;
}

class SkarrowTest : public ::testing::Test {
protected:
    InstallChecker Checker() {
        skarrow::SkarrowOptions o;
        o.timing = Quick();
        o.adapters = &adapters;
        o.programDir = root.Path();
        return InstallChecker(o);
    }
    testsupport::TempRoot root{"skarrow-test"};
    platform::fake::FakeAdapterList adapters;
};

TEST_F(SkarrowTest, UnknownSwitchesEnsureTheServiceAndAnswerZeroWithoutIt) {
    auto c = Checker();
    EXPECT_EQ(c.Run({}), 0);
    EXPECT_EQ(c.Run({"checkinstall"}), 0);  // switches are case-sensitive
    EXPECT_EQ(c.Run({"CheckInstall", "CheckUnInstall"}), 0);
    EXPECT_EQ(c.Run({"-h"}), 0);
}

TEST_F(SkarrowTest, ServicesOfTheOriginalSystemAreNeverInstalledHere) {
    auto c = Checker();
    for (const char* name : {"NdisFlt", "NdisHelp", "QelClnt", "Lunther", "QelMini"})
        EXPECT_EQ(c.ServiceState(name), skarrow::kStateNotInstalled) << name;
}

TEST_F(SkarrowTest, OnlyTheVirtualAdaptersMacIsCounted) {
    adapters.Put(Adapter(1, kVirtualMac));
    adapters.Put(Adapter(2, kOtherMac));
    adapters.Put(Adapter(3, kVirtualMac, 8));  // same prefix, another address length
    auto c = Checker();
    EXPECT_EQ(c.CountVirtualAdapters(), 1);
    adapters.Put(Adapter(4, kVirtualMac));
    EXPECT_EQ(c.CountVirtualAdapters(), 2);
    adapters.readError = platform::kErrorGeneralFailure;
    EXPECT_EQ(c.CountVirtualAdapters(), 0);
}

TEST_F(SkarrowTest, CheckPreInstallReportsTheRebootMarkerBeforeAnythingElse) {
    adapters.Put(Adapter(1, kVirtualMac));
    adapters.Put(Adapter(2, kVirtualMac));
    auto c = Checker();
    EXPECT_EQ(c.Run({"CheckPreInstall"}), 2);  // adapter bit only: no filter service here
    auto store = platform::SettingsStore::Machine();
    ASSERT_EQ(store->SetString(skarrow::kRebootMarkerKey, skarrow::kRebootMarkerValue, "x"),
              platform::kRegOk);
    EXPECT_EQ(c.Run({"CheckPreInstall"}), 1);
}

TEST_F(SkarrowTest, CheckUnInstallTellsRemainingAdaptersFromRemainingServices) {
    auto c = Checker();
    EXPECT_EQ(c.Run({"CheckUnInstall"}), 0);
    adapters.Put(Adapter(1, kVirtualMac));
    EXPECT_EQ(c.Run({"CheckUnInstall"}), 2);
    adapters.Put(Adapter(1, kOtherMac));
    platform::ServiceConfig config;
    config.binaryPath = "/bin/true";
    ASSERT_EQ(platform::InstallService("Lunther", config), platform::kErrorSuccess);
    EXPECT_EQ(c.Run({"CheckUnInstall"}), 1);
}

TEST_F(SkarrowTest, CheckInstallWithoutTheServiceAnswersTwo) {
    auto c = Checker();
    EXPECT_EQ(c.Run({"CheckInstall"}), 2);
}

// With nothing to wait for the checker takes no pause at all. Every pause here lasts half a
// minute, so a run that waited even once is told from one that did not by a wide margin, however
// loaded the machine is.
TEST_F(SkarrowTest, CheckPreUninstallWithNothingRunningEndsAtOnce) {
    skarrow::SkarrowOptions o;
    o.timing = Quick();
    o.timing.pollMs = 30000;
    o.timing.killCleanerAfterMs = 30000;
    o.timing.cleanerGiveUpMs = 30000;
    o.timing.guiWaitMs = 30000;
    o.adapters = &adapters;
    o.programDir = root.Path();
    InstallChecker c(o);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(c.Run({"CheckPreUninstall"}), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST_F(SkarrowTest, CheckPreUninstallGivesUpOnTheCleanerAndWaitsForTheClient) {
    auto cleaner = platform::NamedEvent::Create(skarrow::kCleanerEventName, true, false);
    auto client = platform::NamedMutex::Create(skarrow::kClientMutexName);
    ASSERT_TRUE(cleaner && client);
    auto c = Checker();
    EXPECT_EQ(c.Run({"CheckPreUninstall"}), 1);  // the cleaner timed out, the client still runs
    client.reset();
    EXPECT_EQ(c.Run({"CheckPreUninstall"}), 0);
}

// The checker only asks whether the client's mutex exists: a client starting while the checker
// waits always finds the name free of anybody but clients.
TEST_F(SkarrowTest, CheckPreUninstallNeverCreatesTheClientsMutex) {
    auto first = platform::NamedMutex::Create(skarrow::kClientMutexName);
    ASSERT_TRUE(first);
    skarrow::SkarrowOptions o;
    o.timing = Quick();
    o.timing.pollMs = 1;
    o.timing.guiWaitMs = 5000;
    o.adapters = &adapters;
    o.programDir = root.Path();
    InstallChecker c(o);
    int rc = -1;
    std::thread check([&] { rc = c.Run({"CheckPreUninstall"}); });
    for (int i = 0; i < 200; ++i) {
        first.reset();
        first = platform::NamedMutex::Create(skarrow::kClientMutexName);
        ASSERT_TRUE(first);
        ASSERT_FALSE(first->AlreadyExisted()) << "round " << i;
    }
    first.reset();
    check.join();
    EXPECT_EQ(rc, 0);
}

// After its grace time the checker ends the cleaner of its own folder, and only that one.
TEST_F(SkarrowTest, CheckPreUninstallEndsOurOwnCleanerOnly) {
    testsupport::TempDir elsewhere("skarrow-other");
    const std::string ours = root.Path() + "/Brevik";
    const std::string stranger = elsewhere.Path() + "/Brevik";
    for (const auto& copy : {ours, stranger})
        ASSERT_EQ(testsupport::Run({"cp", platform::FindProgram("sleep"), copy}), 0);
    const pid_t mine = platform::Spawn({ours, "60"});
    const pid_t other = platform::Spawn({stranger, "60"});
    ASSERT_GT(mine, 0);
    ASSERT_GT(other, 0);
    auto cleaner = platform::NamedEvent::Create(skarrow::kCleanerEventName, true, false);
    auto c = Checker();
    EXPECT_EQ(c.Run({"CheckPreUninstall"}), 0);
    int code = 0;
    EXPECT_EQ(platform::WaitProcess(mine, 5000, &code), platform::kWaitObject0);
    EXPECT_EQ(code, 128 + SIGKILL);
    EXPECT_TRUE(platform::ProcessAlive(other));
    testsupport::StopProcess(other, SIGKILL, 5000);
}

TEST_F(SkarrowTest, GetHardwareInfoStoresTheFingerprintWithItsOwnLength) {
    adapters.Put(Adapter(2, kOtherMac));
    auto c = Checker();
    EXPECT_EQ(c.Run({"GetHardwareInfo"}), 0);
    auto store = platform::SettingsStore::Machine();
    std::string id;
    ASSERT_EQ(store->GetString(skarrow::kHardwareInfoKey, skarrow::kHardwareInfoValue, &id),
              platform::kRegOk);
    EXPECT_EQ(id, service::GetHardwareID(adapters));
    EXPECT_NE(id.find("|02-11-22-33-44-55"), std::string::npos);
    DWORD size = 0;
    DWORD type = 0;
    ASSERT_EQ(
        store->QueryValue(skarrow::kHardwareInfoKey, skarrow::kHardwareInfoValue, &type, nullptr, &size),
        platform::kRegOk);
    EXPECT_EQ(type, platform::REG_SZ);
    EXPECT_EQ(size, id.size() + 1);
}

TEST_F(SkarrowTest, RestartLuntherWithoutTheControlProgramAnswersOne) {
    auto c = Checker();
    EXPECT_EQ(c.Run({"RestartLunther"}), 1);
}

}  // namespace
