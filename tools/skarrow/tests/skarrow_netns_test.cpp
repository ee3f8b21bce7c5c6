// The install checker's switches against stand-in services under the service layer and dummy
// links carrying the virtual adapter's MAC, in a network namespace of the test's own (root only).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "platform/service_control.h"
#include "platform/settings_store.h"
#include "skarrow/install_checker.h"
#include "testsupport/command.h"
#include "testsupport/netns.h"
#include "testsupport/temp_dir.h"
#include "testsupport/temp_root.h"
#include "testsupport/wait.h"

namespace {

using skarrow::InstallChecker;

class SkarrowNetnsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::IsRoot()) GTEST_SKIP() << "needs root for a network namespace and services";
        ns = std::make_unique<testsupport::NetnsScope>();
        ASSERT_TRUE(ns->Ok());
        standin = testsupport::BinDir() + "/skarrow_standin_service";
    }
    void TearDown() override {
        for (const char* name : {skarrow::kLuntherService, skarrow::kDriverService}) {
            Stop(name);
            platform::UninstallService(name);
        }
        ns.reset();
    }
    // A service started by the checker (through qelsc) may still be starting: its dispatcher
    // answers before the service reports running, and until then it refuses a stop, so a stop
    // sent at once would be lost and the service left running.
    void Stop(const char* name) {
        EXPECT_TRUE(testsupport::WaitFor(std::string(name) + " to finish starting", [&] {
            platform::SERVICE_STATUS st{};
            return platform::QueryServiceStatusByName(name, &st) != platform::kErrorSuccess ||
                   st.dwCurrentState != platform::SERVICE_START_PENDING;
        }));
        const DWORD rc = platform::ControlServiceByName(name, platform::SERVICE_CONTROL_STOP, nullptr, 5000);
        EXPECT_TRUE(rc == platform::kErrorSuccess || rc == platform::kErrorServiceNotActive ||
                    rc == platform::kErrorServiceDoesNotExist)
            << name << ": stop answered " << rc;
        EXPECT_TRUE(testsupport::WaitFor(std::string(name) + " to stop",
                                         [&] { return platform::GetServiceProcessId(name) == 0; }));
    }
    void Install(const char* name, bool start) {
        platform::ServiceConfig config;
        config.binaryPath = standin;
        ASSERT_EQ(platform::InstallService(name, config), platform::kErrorSuccess);
        if (start) Start(name);
    }
    // The start returns once the dispatcher answers, while the service may still report
    // START_PENDING; the checker counts only a running service, so wait for that.
    void Start(const char* name) {
        ASSERT_EQ(platform::StartServiceByName(name, 10000), platform::kErrorSuccess);
        ASSERT_TRUE(testsupport::WaitFor(std::string(name) + " to report running", [&] {
            platform::SERVICE_STATUS st{};
            return platform::QueryServiceStatusByName(name, &st) == platform::kErrorSuccess &&
                   st.dwCurrentState == platform::SERVICE_RUNNING;
        }));
    }
    void VirtualLink(const std::string& name, const char* mac = "00:ff:ff:ff:00:00") {
        ASSERT_EQ(testsupport::Run({"ip", "tuntap", "add", "dev", name, "mode", "tap"}), 0);
        ASSERT_EQ(testsupport::Run({"ip", "link", "set", name, "address", mac}), 0);
    }
    InstallChecker Checker(std::string programDir = {}) {
        skarrow::SkarrowOptions o;
        o.timing.roundMs = 5;
        o.timing.rounds = 4;
        o.timing.reinstallRound = 100;
        o.timing.recountMs = 1;
        o.timing.preInstallWaitMs = 5;
        o.timing.restartPauseMs = 5;
        o.timing.pollMs = 5;
        o.programDir = programDir.empty() ? root.Path() : programDir;
        return InstallChecker(o);
    }
    DWORD Pid(const char* name) { return platform::GetServiceProcessId(name); }

    testsupport::TempRoot root{"skarrow-netns"};
    std::unique_ptr<testsupport::NetnsScope> ns;
    std::string standin;
};

TEST_F(SkarrowNetnsTest, CheckInstallAnswersByServicesAndAdapters) {
    auto c = Checker();
    EXPECT_EQ(c.Run({"CheckInstall"}), 2);  // no Lunther
    Install(skarrow::kLuntherService, true);
    EXPECT_EQ(c.Run({"CheckInstall"}), 1);  // no QelMini
    Install(skarrow::kDriverService, false);
    EXPECT_EQ(c.Run({"CheckInstall"}), 1);  // QelMini installed, not running
    Start(skarrow::kDriverService);
    EXPECT_EQ(c.Run({"CheckInstall"}), 0);  // no virtual adapter is fine too
    VirtualLink("qv0");
    VirtualLink("qo0", "02:00:00:00:00:01");
    EXPECT_EQ(c.Run({"CheckInstall"}), 0);
    VirtualLink("qv1");
    EXPECT_EQ(c.Run({"CheckInstall"}), 3);
}

// In its seventh round the checker registers Lunther again ("Lunther -i") and starts it.
TEST_F(SkarrowNetnsTest, CheckInstallRegistersAndStartsAStoppedServiceOnItsOwn) {
    testsupport::TempDir programs("skarrow-programs");
    const std::string lunther = programs.Path() + "/Lunther";
    {
        std::ofstream script(lunther);
        script << "#!/bin/sh\necho \"$@\" > \"$0.args\"\n";
    }
    ASSERT_EQ(::chmod(lunther.c_str(), 0755), 0);
    ASSERT_EQ(::symlink((testsupport::BinDir() + "/qelsc").c_str(), (programs.Path() + "/qelsc").c_str()), 0);
    Install(skarrow::kLuntherService, false);
    skarrow::SkarrowOptions o;
    // The start returns once the dispatcher answers, before the service reports running: the
    // rounds after the seventh give it time to, and the first running look ends them.
    o.timing.roundMs = 5;
    o.timing.rounds = 400;
    o.timing.afterRegisterMs = 1;
    o.timing.afterStartMs = 1;
    o.programDir = programs.Path();
    InstallChecker c(o);
    EXPECT_EQ(c.Run({"CheckInstall"}), 1);  // Lunther came up; QelMini is missing
    EXPECT_NE(Pid(skarrow::kLuntherService), 0u);
    std::ifstream args(lunther + ".args");
    std::string line;
    std::getline(args, line);
    EXPECT_EQ(line, "-i");
}

TEST_F(SkarrowNetnsTest, CheckUnInstallWaitsForServicesAndAdaptersToGo) {
    auto c = Checker();
    Install(skarrow::kDriverService, true);
    EXPECT_EQ(c.Run({"CheckUnInstall"}), 1);
    VirtualLink("qv0");
    EXPECT_EQ(c.Run({"CheckUnInstall"}), 2);
    ASSERT_EQ(
        platform::ControlServiceByName(skarrow::kDriverService, platform::SERVICE_CONTROL_STOP, nullptr),
        platform::kErrorSuccess);
    ASSERT_TRUE(testsupport::WaitFor("QelMini to stop", [&] { return Pid(skarrow::kDriverService) == 0; }));
    ASSERT_EQ(platform::UninstallService(skarrow::kDriverService), platform::kErrorSuccess);
    ASSERT_EQ(testsupport::Run({"ip", "link", "del", "qv0"}), 0);
    EXPECT_EQ(c.Run({"CheckUnInstall"}), 0);
}

TEST_F(SkarrowNetnsTest, CheckPreInstallSetsTheFilterBitWhileTheDriverRuns) {
    auto c = Checker();
    EXPECT_EQ(c.Run({"CheckPreInstall"}), 0);
    Install(skarrow::kDriverService, true);
    EXPECT_EQ(c.Run({"CheckPreInstall"}), 1);
    VirtualLink("qv0");
    VirtualLink("qv1");
    EXPECT_EQ(c.Run({"CheckPreInstall"}), 3);
}

TEST_F(SkarrowNetnsTest, NoSwitchStartsTheServiceAutomaticallyFromNowOn) {
    auto c = Checker();
    Install(skarrow::kLuntherService, false);
    EXPECT_EQ(c.Run({}), 1);
    EXPECT_NE(Pid(skarrow::kLuntherService), 0u);
    DWORD start = 0;
    ASSERT_EQ(platform::SettingsStore::Machine()->GetDword("SYSTEM\\CurrentControlSet\\Services\\Lunther",
                                                           "Start", &start),
              platform::kRegOk);
    EXPECT_EQ(start, platform::SERVICE_AUTO_START);
    EXPECT_EQ(c.Run({"CheckInstal"}), 1);  // running already
}

TEST_F(SkarrowNetnsTest, RestartLuntherStopsAndStartsItThroughTheControlProgram) {
    Install(skarrow::kLuntherService, true);
    const DWORD before = Pid(skarrow::kLuntherService);
    ASSERT_NE(before, 0u);
    auto c = Checker(testsupport::BinDir());  // where qelsc is
    EXPECT_EQ(c.Run({"RestartLunther"}), 0);
    const DWORD after = Pid(skarrow::kLuntherService);
    EXPECT_NE(after, 0u);
    EXPECT_NE(after, before);
}

}  // namespace
