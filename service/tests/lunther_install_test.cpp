// Lunther as a program: "-i" and "-u" with and without systemd, and SIGTERM as a stop request.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <sstream>

#include "platform/machine_root.h"
#include "platform/process.h"
#include "platform/service_control.h"
#include "service/lsp_proxy_service.h"
#include "service/systemd_unit.h"
#include "service/termination_watch.h"
#include "testsupport/temp_dir.h"
#include "testsupport/wait.h"

namespace service {
namespace {

std::string FileText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// A systemd of the test's own: the run folder that says it runs, a unit folder, and a stand-in
// systemctl that notes its arguments.
struct FakeSystemd {
    testsupport::TempDir dir;
    SystemdPaths paths;
    std::string calls;

    explicit FakeSystemd(bool running) {
        paths.runDir = dir.File("run-systemd-system");
        paths.unitDir = dir.File("etc-systemd-system");
        paths.systemctl = dir.File("systemctl");
        calls = dir.File("calls");
        if (running) ::mkdir(paths.runDir.c_str(), 0755);
        std::ofstream(paths.systemctl) << "#!/bin/sh\necho \"$*\" >> " << calls << "\n";
        ::chmod(paths.systemctl.c_str(), 0755);
    }
    std::string UnitPath() const { return paths.unitDir + "/Lunther.service"; }
};

int RunLuntherMain(const std::vector<std::string>& args, const SystemdPaths& paths) {
    std::vector<std::string> words{"Lunther"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    LSPProxyServiceOptions options;
    options.systemd = paths;
    return LuntherMain(static_cast<int>(words.size()), argv.data(), std::move(options));
}

TEST(LuntherInstall, WithSystemdTheUnitIsWrittenEnabledAndRemoved) {
    FakeSystemd systemd(true);
    ASSERT_EQ(RunLuntherMain({"-i"}, systemd.paths), 0);
    EXPECT_TRUE(platform::ServiceInstalled("Lunther")) << "the service layer's record is still made";
    const std::string unit = FileText(systemd.UnitPath());
    EXPECT_NE(unit.find("ExecStart=\"" + platform::ProgramPath() + "\"\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("Environment=QEL_SERVICE_NAME=Lunther\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("Environment=\"QEL_ROOT=" + platform::MachineRoot() + "\"\n"), std::string::npos)
        << "a test machine root must reach the service";
    EXPECT_NE(unit.find("KillMode=process\n"), std::string::npos) << "the user's client must outlive a stop";
    EXPECT_NE(unit.find("WantedBy=multi-user.target\n"), std::string::npos);
    EXPECT_EQ(FileText(systemd.calls), "daemon-reload\nenable Lunther.service\n");

    ASSERT_EQ(RunLuntherMain({"-u"}, systemd.paths), 0);
    EXPECT_FALSE(platform::ServiceInstalled("Lunther"));
    EXPECT_FALSE(Exists(systemd.UnitPath()));
    EXPECT_EQ(FileText(systemd.calls),
              "daemon-reload\nenable Lunther.service\ndisable Lunther.service\ndaemon-reload\n");
}

TEST(LuntherInstall, WithoutSystemdOnlyTheServiceLayerRecord) {
    FakeSystemd systemd(false);
    std::string written = "x";
    ASSERT_TRUE(InstallSystemdUnit("/opt/qel/Lunther", systemd.paths, &written));
    EXPECT_TRUE(written.empty());
    ASSERT_EQ(RunLuntherMain({"-i"}, systemd.paths), 0);
    EXPECT_TRUE(platform::ServiceInstalled("Lunther"));
    EXPECT_FALSE(Exists(systemd.UnitPath()));
    ASSERT_EQ(RunLuntherMain({"-u"}, systemd.paths), 0);
    EXPECT_FALSE(platform::ServiceInstalled("Lunther"));
    EXPECT_FALSE(Exists(systemd.calls)) << "systemctl was called on a machine without systemd";

    // A unit left from a time with systemd still goes with "-u".
    ::mkdir(systemd.paths.unitDir.c_str(), 0755);
    std::ofstream(systemd.UnitPath()) << "[Unit]\n";
    std::string removed;
    ASSERT_TRUE(RemoveSystemdUnit(systemd.paths, &removed));
    EXPECT_EQ(removed, systemd.UnitPath());
    EXPECT_FALSE(Exists(systemd.UnitPath()));
}

TEST(LuntherInstall, PathsThatCannotStandInAUnitAreRefused) {
    std::string text;
    EXPECT_TRUE(SystemdUnitText("/opt/qel client/Lunther", platform::kDefaultMachineRoot, &text));
    EXPECT_EQ(text.find("QEL_ROOT"), std::string::npos) << "the default root needs no line";
    for (const char* bad : {"Lunther", "/opt/\"x\"/Lunther", "/opt/%h/Lunther", "/opt/a\\b", "/opt/a\nb"}) {
        EXPECT_FALSE(SystemdUnitText(bad, platform::kDefaultMachineRoot, &text)) << bad;
    }
    EXPECT_FALSE(SystemdUnitText("/opt/qel/Lunther", "/tmp/root\nExecStartPre=/bin/x", &text));

    FakeSystemd systemd(true);
    std::string written;
    EXPECT_FALSE(InstallSystemdUnit("/opt/%n/Lunther", systemd.paths, &written));
    EXPECT_FALSE(Exists(systemd.UnitPath()));
}

TEST(StopOnTermination, SigtermCallsTheStopOnceOnItsOwnThreadAndThePreviousActionComesBack) {
    struct sigaction before {};
    sigaction(SIGTERM, nullptr, &before);
    std::atomic<int> stops{0};
    {
        const StopOnTermination watch([&] { ++stops; });
        ASSERT_TRUE(watch.Active());
        const StopOnTermination second([&] { stops += 100; });
        EXPECT_FALSE(second.Active());
        ASSERT_EQ(::raise(SIGTERM), 0);
        ASSERT_TRUE(testsupport::WaitFor("the stop after SIGTERM", [&] { return stops.load() == 1; }));
        ASSERT_EQ(::raise(SIGINT), 0);
    }
    EXPECT_EQ(stops.load(), 1);
    struct sigaction after {};
    sigaction(SIGTERM, nullptr, &after);
    EXPECT_EQ(after.sa_handler, before.sa_handler);
}

}  // namespace
}  // namespace service
