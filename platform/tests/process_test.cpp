// The process layer: spawning, exit codes, time-outs, our own path, the process list, URLs.
#include "platform/process.h"

#include <gtest/gtest.h>

#include <random>
#include <string_view>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>

#include "test_support.h"
#include "testsupport/command.h"
#include "testsupport/wait.h"
#include "platform/unique_fd.h"

namespace platform {
namespace {

constexpr DWORD kBound = 10000;

TEST(ProcessTest, ExitCodesComeBack) {
    EXPECT_EQ(test::RunHelper({"exit", "0"}), 0);
    EXPECT_EQ(test::RunHelper({"exit", "42"}), 42);
    EXPECT_EQ(RunAndWait({test::HelperPath(), "exit", "7"}), 7);
    EXPECT_EQ(RunAndWait({"/nonexistent/program"}), -1);
    EXPECT_EQ(Spawn({}), -1);
    EXPECT_EQ(Spawn({"no-such-program-in-path-qel"}), -1);
}

TEST(ProcessTest, KilledChildReportsTheSignalAndTimedWaitTimesOut) {
    pid_t pid = test::StartHelper({"linger"});
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(ProcessAlive(pid));
    int code = -1;
    EXPECT_EQ(WaitProcess(pid, 30, &code), kWaitTimeout);
    EXPECT_TRUE(KillProcess(pid, SIGTERM));
    ASSERT_EQ(WaitProcess(pid, kBound, &code), kWaitObject0);
    EXPECT_EQ(code, 128 + SIGTERM);
    EXPECT_FALSE(ProcessAlive(pid));
    EXPECT_EQ(WaitProcess(pid, 0, &code), kWaitFailed);  // already reaped
    EXPECT_FALSE(KillProcess(0, SIGTERM));               // never a process group
    EXPECT_FALSE(KillProcess(-1, SIGTERM));
    EXPECT_FALSE(ProcessAlive(0));
}

TEST(ProcessTest, AGroupSignalReachesTheWholeGroup) {
    EXPECT_FALSE(KillProcessGroup(0, SIGTERM));  // our own group
    EXPECT_FALSE(KillProcessGroup(1, SIGTERM));
    EXPECT_FALSE(KillProcessGroup(-1, SIGTERM));
    testsupport::TempRoot dir{"qel-platform"};
    const std::string pidFile = dir.Path() + "/worker.pid";
    SpawnOptions options;
    options.newSession = true;
    // The leader forks a worker and waits; the worker must not outlive a group kill.
    const pid_t pid = Spawn({"sh", "-c", "sleep 60 & echo $! > " + pidFile + "; wait"}, options);
    ASSERT_GT(pid, 0);
    pid_t worker = 0;
    ASSERT_TRUE(testsupport::WaitFor(
        "the worker's pid",
        [&] {
            std::ifstream in(pidFile);
            return static_cast<bool>(in >> worker) && worker > 0;
        },
        kBound));
    EXPECT_EQ(WaitProcessGroupEnded(pid, 0), kWaitTimeout);
    EXPECT_TRUE(KillProcessGroup(pid, SIGKILL));
    int code = -1;
    ASSERT_EQ(WaitProcess(pid, kBound, &code), kWaitObject0);
    EXPECT_EQ(code, 128 + SIGKILL);
    // The worker is not our child: only the group wait says when it has ended.
    EXPECT_EQ(WaitProcessGroupEnded(pid, kBound), kWaitObject0);
    EXPECT_FALSE(ProcessAlive(worker)) << "the worker outlived its group";
    EXPECT_EQ(WaitProcessGroupEnded(1, 0), kWaitFailed);
}

TEST(ProcessTest, AZombieIsNotAlive) {
    pid_t pid = test::StartHelper({"exit", "0"});
    ASSERT_GT(pid, 0);
    // Wait for the end without reaping, through a pidfd.
    platform::UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    ASSERT_TRUE(pidfd.Valid());
    pollfd pf{pidfd.Get(), POLLIN, 0};
    ASSERT_EQ(::poll(&pf, 1, kBound), 1);
    pidfd.Reset();
    EXPECT_FALSE(ProcessAlive(pid));
    int code = -1;
    EXPECT_EQ(WaitProcess(pid, kBound, &code), kWaitObject0);
    EXPECT_EQ(code, 0);
}

TEST(ProcessTest, DirectoryEnvironmentAndQuietOutput) {
    testsupport::TempRoot root{"qel-platform"};
    SpawnOptions options;
    options.directory = root.Path();
    options.quietOutput = true;
    options.newSession = true;
    options.extraEnv = {"QEL_TEST_VALUE=one two; $(rm -rf /)", "NOT_AN_ASSIGNMENT"};
    std::string out = root.Path() + "/out.txt";
    EXPECT_EQ(RunAndWait({test::HelperPath(), "pwd-env", out, "QEL_TEST_VALUE"}, options), 0);
    std::ifstream in(out);
    std::string cwd;
    std::string value;
    std::getline(in, cwd);
    std::getline(in, value);
    EXPECT_EQ(cwd, root.Path());
    EXPECT_EQ(value, "one two; $(rm -rf /)");  // no shell ever saw it
}

TEST(ProcessTest, RunningAsAnotherUser) {
    if (!testsupport::IsRoot()) {
        GTEST_SKIP() << "needs root to change user";
    }
    testsupport::TempRoot root{"qel-platform"};
    ASSERT_EQ(::chmod(root.Path().c_str(), 0777), 0);
    SpawnOptions options;
    options.uid = 65534;  // nobody
    options.gid = 65534;
    std::string out = root.Path() + "/user.txt";
    options.extraEnv = {"HOME=/custom-home"};  // the caller's entries beat the user's defaults
    EXPECT_EQ(
        RunAndWait({"/bin/sh", "-c", "id -u > \"$0\"; echo \"$HOME $LOGNAME\" >> \"$0\"", out}, options), 0);
    std::ifstream in(out);
    std::string uid;
    std::string env;
    std::getline(in, uid);
    std::getline(in, env);
    EXPECT_EQ(uid, "65534");
    EXPECT_EQ(env, "/custom-home nobody");
    options.directory = "/nonexistent-folder";
    EXPECT_EQ(Spawn({"/bin/true"}, options), -1);  // the child's failure reaches the caller
}

TEST(ProcessTest, OwnPathAndTheProcessList) {
    EXPECT_EQ(ProgramName(), "platform_process_test");
    EXPECT_EQ(ProgramDir() + "/" + ProgramName(), ProgramPath());
    EXPECT_EQ(CurrentProcessId(), static_cast<DWORD>(::getpid()));
    EXPECT_EQ(CurrentThreadId(), static_cast<DWORD>(::gettid()));

    pid_t child = test::StartHelper({"linger"});
    ASSERT_GT(child, 0);
    bool foundSelf = false;
    bool foundChild = false;
    for (const auto& p : ListProcesses()) {
        if (p.pid == ::getpid()) {
            foundSelf = p.name == ProgramName() && p.path == ProgramPath();
        }
        if (p.pid == child) {
            foundChild = p.parentPid == ::getpid() && p.name == "platform_test_helper";
        }
    }
    EXPECT_TRUE(foundSelf);
    EXPECT_TRUE(foundChild);
    KillProcess(child, SIGKILL);
    // Dead but not reaped yet: a zombie still shows its name and must not read as running.
    siginfo_t info{};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT), 0);
    for (const auto& p : ListProcesses()) EXPECT_NE(p.pid, child) << "a zombie is listed";
    int code = 0;
    EXPECT_EQ(WaitProcess(child, kBound, &code), kWaitObject0);
}

TEST(ProcessTest, EnvironmentEntriesAreReadWholeOrNotAtAll) {
    using namespace std::string_view_literals;
    std::string v;
    const auto block = "HOME=/root\0QEL_ROOT=/var/lib/qel-pc\0QEL_ROOTX=no\0EMPTY=\0"sv;
    EXPECT_TRUE(platform::EnvironmentEntry(block, "QEL_ROOT", &v));
    EXPECT_EQ(v, "/var/lib/qel-pc");
    EXPECT_TRUE(platform::EnvironmentEntry(block, "EMPTY", &v));
    EXPECT_EQ(v, "");
    EXPECT_FALSE(platform::EnvironmentEntry(block, "QEL", &v)) << "a prefix of a name is no name";
    EXPECT_FALSE(platform::EnvironmentEntry(block, "HOME=/root", &v));
    EXPECT_FALSE(platform::EnvironmentEntry(block, "", &v));
    EXPECT_FALSE(platform::EnvironmentEntry("QEL_ROOT=/var/lib/qel-p"sv, "QEL_ROOT", &v))
        << "an entry cut short was taken";
    EXPECT_EQ(v, "");
    // Random and truncated blocks: a value is only ever a whole entry's, found in the block.
    std::mt19937 random(7);
    for (int round = 0; round < 3000; ++round) {
        std::string text(random() % 64, '\0');
        for (auto& c : text) c = "QEL_ROT=/a\0"[random() % 11];
        if (round % 3 == 0) text = std::string(block.substr(0, random() % block.size()));
        if (!platform::EnvironmentEntry(text, "QEL_ROOT", &v)) {
            EXPECT_EQ(v, "");
            continue;
        }
        const std::string whole = "QEL_ROOT=" + v + std::string(1, '\0');
        const bool atStart = text.compare(0, whole.size(), whole) == 0;
        EXPECT_TRUE(atStart || text.find(std::string(1, '\0') + whole) != std::string::npos) << round;
        EXPECT_EQ(v.find('\0'), std::string::npos);
    }
}

TEST(ProcessTest, OpenUrlRefusesWhatIsNotAWebAddress) {
    EXPECT_FALSE(OpenUrl(""));
    EXPECT_FALSE(OpenUrl("file:///etc/passwd"));
    EXPECT_FALSE(OpenUrl("--help"));
    EXPECT_FALSE(OpenUrl("-http://x"));
    EXPECT_FALSE(OpenUrl("javascript:alert(1)"));
    EXPECT_FALSE(OpenUrl("http://"));
    EXPECT_FALSE(OpenUrl("http://a b"));
    EXPECT_FALSE(OpenUrl("https://example.test/\n--option"));
}

}  // namespace
}  // namespace platform
