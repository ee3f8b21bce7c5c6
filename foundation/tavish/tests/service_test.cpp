// TwService and the platform service layer with a small test service, in a private machine root.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <fstream>
#include <poll.h>
#include <random>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "platform/local_pipe.h"
#include "platform/unique_fd.h"
#include "platform/process.h"
#include "platform/service_control.h"
#include "tavish/keyboard_hook.h"
#include "tavish/tw_service.h"
#include "platform/machine_root.h"
#include "testsupport/as_user.h"
#include "testsupport/command.h"
#include "testsupport/temp_root.h"
#include "testsupport/wait.h"
#ifdef TW_TEST_X11_DESKTOP
#include "x11_desktop.h"
#endif

namespace {

using testsupport::WaitFor;

std::string ServiceBinary() { return testsupport::BinDir() + "/tavish_test_service"; }

struct Child {
    pid_t pid = -1;
    platform::UniqueFd stdinFd;   // write end, when asked for
    platform::UniqueFd stdoutFd;  // read end
};

// Starts the test service program with `args`; stdin from a pipe (keepStdin) or /dev/null.
Child StartProgram(const std::vector<std::string>& args, bool keepStdin) {
    Child c;
    int inFds[2] = {-1, -1}, outFds[2] = {-1, -1};
    if (keepStdin && pipe2(inFds, O_CLOEXEC) != 0) return c;
    platform::UniqueFd in[2] = {platform::UniqueFd(inFds[0]), platform::UniqueFd(inFds[1])};
    if (pipe2(outFds, O_CLOEXEC) != 0) return c;
    platform::UniqueFd out[2] = {platform::UniqueFd(outFds[0]), platform::UniqueFd(outFds[1])};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (keepStdin) {
        posix_spawn_file_actions_adddup2(&fa, in[0].Get(), 0);
    } else {
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    }
    posix_spawn_file_actions_adddup2(&fa, out[1].Get(), 1);
    std::vector<std::string> all{ServiceBinary()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn(&c.pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    // The child's ends close with `in[0]` and `out[1]`, so that the child's exit ends our reads.
    c.stdinFd = std::move(in[1]);
    c.stdoutFd = std::move(out[0]);
    return c;
}

int WaitChild(Child& c, std::string* output = nullptr) {
    std::string text;
    char buf[512];
    ssize_t n;
    while ((n = read(c.stdoutFd.Get(), buf, sizeof(buf))) > 0) text.append(buf, static_cast<size_t>(n));
    c.stdoutFd.Reset();
    c.stdinFd.Reset();
    int status = 0;
    waitpid(c.pid, &status, 0);
    if (output != nullptr) *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TAVISH_TEST_SERVICE", m_name.c_str(), 1);
        ASSERT_FALSE(m_root.Path().empty());
    }
    void TearDown() override {
        // Leave no service running behind the test.
        if (platform::ServiceInstalled(m_name)) {
            const DWORD pid = platform::GetServiceProcessId(m_name);
            if (pid != 0) {
                WaitFor(
                    "the service to run", [&] { return TwService::IsServiceRunning(m_name.c_str()); }, 5000);
                platform::ControlServiceByName(m_name, platform::SERVICE_CONTROL_STOP, nullptr, 5000);
                if (!WaitFor(
                        "the service process to end",
                        [&] { return platform::GetServiceProcessId(m_name) == 0; }, 5000)) {
                    kill(static_cast<pid_t>(pid), SIGKILL);
                }
            }
            platform::UninstallService(m_name);
        }
        unsetenv("TAVISH_TEST_SERVICE");
    }
    std::string Record() {
        std::ifstream f(m_root.Path() + "/" + m_name + ".record");
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
    bool RecordHas(const std::string& line) { return Record().find(line + "\n") != std::string::npos; }
    int RunSwitch(const char* sw, std::string* out = nullptr) {
        Child c = StartProgram({sw}, false);
        return WaitChild(c, out);
    }

    testsupport::TempRoot m_root{"tavish-test"};
    std::string m_name = "TavishTestSvc";
};

TEST_F(ServiceTest, InstallStartControlStopUninstall) {
    ASSERT_EQ(RunSwitch("-i"), 0);
    ASSERT_TRUE(platform::ServiceInstalled(m_name));
    std::string path;
    ASSERT_EQ(platform::GetServiceBinaryPath(m_name, &path), platform::kErrorSuccess);
    EXPECT_EQ(path.substr(path.rfind('/')), "/tavish_test_service");
    // Registering again succeeds and keeps one record.
    ASSERT_EQ(RunSwitch("-i"), 0);
    EXPECT_EQ(platform::InstallService(m_name, {}), platform::kErrorServiceExists);

    EXPECT_FALSE(TwService::IsServiceRunning(m_name.c_str()));
    ASSERT_EQ(TwService::StartService(m_name.c_str()), 1);
    EXPECT_TRUE(TwService::IsServiceRunning(m_name.c_str()));
    EXPECT_TRUE(TwService::HaveStopServicePriv(m_name.c_str()));
    EXPECT_TRUE(WaitFor(
        "the service to record \"init\"", [&] { return RecordHas("init"); }, 5000));
    EXPECT_EQ(TwService::StartService(m_name.c_str()), 1) << "starting a running service succeeds";

    ASSERT_TRUE(TwService::SendControlCode(m_name.c_str(), 128));
    EXPECT_TRUE(RecordHas("code 128"));
    platform::SERVICE_STATUS st{};
    ASSERT_EQ(platform::QueryServiceStatusByName(m_name, &st), platform::kErrorSuccess);
    EXPECT_EQ(st.dwCurrentState, platform::SERVICE_RUNNING);
    EXPECT_EQ(st.dwServiceType, 0x30u);

    ASSERT_TRUE(TwService::SendControlCode(m_name.c_str(), platform::SERVICE_CONTROL_PAUSE));
    ASSERT_EQ(platform::QueryServiceStatusByName(m_name, &st), platform::kErrorSuccess);
    EXPECT_EQ(st.dwCurrentState, platform::SERVICE_PAUSED);
    ASSERT_TRUE(TwService::SendControlCode(m_name.c_str(), platform::SERVICE_CONTROL_CONTINUE));
    EXPECT_TRUE(TwService::IsServiceRunning(m_name.c_str()));
    EXPECT_TRUE(RecordHas("pause"));
    EXPECT_TRUE(RecordHas("continue"));
    // Codes outside the user range that the service does not accept are refused.
    EXPECT_EQ(platform::ControlServiceByName(m_name, 77, nullptr), platform::kErrorInvalidServiceControl);

    ASSERT_EQ(TwService::StopService(m_name.c_str()), 1);
    EXPECT_TRUE(RecordHas("stop"));
    EXPECT_TRUE(WaitFor(
        "the service to stop", [&] { return !TwService::IsServiceRunning(m_name.c_str()); }, 5000));
    EXPECT_EQ(TwService::StopService(m_name.c_str()), 1) << "stopping a stopped service succeeds";
    EXPECT_FALSE(TwService::SendControlCode(m_name.c_str(), 128));

    ASSERT_EQ(RunSwitch("-u"), 0);
    EXPECT_FALSE(platform::ServiceInstalled(m_name));
    EXPECT_EQ(TwService::StartService(m_name.c_str()), 0);
}

// The monitor that restarts a service is a fork of whoever started it (here this test program) and
// never execs: it must not pass for that program, whose name others look for (the client counts a
// running update program by it and then refuses to log on).
TEST_F(ServiceTest, TheMonitorOfAStartedServiceShowsAsWhatItIsNotAsItsStarter) {
    ASSERT_EQ(RunSwitch("-i"), 0);
    ASSERT_EQ(TwService::StartService(m_name.c_str()), 1);
    const DWORD service = platform::GetServiceProcessId(m_name);
    ASSERT_NE(service, 0u);
    pid_t monitor = 0;
    const std::string me = platform::ProgramName();
    for (const auto& p : platform::ListProcesses()) {
        if (p.pid == static_cast<pid_t>(service)) monitor = p.parentPid;
    }
    ASSERT_GT(monitor, 1);
    bool listed = false;
    for (const auto& p : platform::ListProcesses()) {
        if (p.pid != monitor) continue;
        listed = true;
        EXPECT_EQ(p.name, me) << "the monitor is this program's fork";
        EXPECT_EQ(p.task, "TavishT-monitor");
    }
    EXPECT_TRUE(listed);
    std::ifstream cmdline("/proc/" + std::to_string(monitor) + "/cmdline", std::ios::binary);
    std::stringstream read;
    read << cmdline.rdbuf();
    const std::string text = read.str();
    EXPECT_EQ(text.substr(0, text.find('\0')), m_name + "-monitor");
    EXPECT_EQ(text.find_first_not_of('\0', text.find('\0')), std::string::npos) << text;
    ASSERT_EQ(TwService::StopService(m_name.c_str()), 1);
}

// "-u" returns once the process has ended and the record is gone, not merely marked: whoever
// uninstalls looks right after it.
TEST_F(ServiceTest, UninstallOfARunningServiceStopsItAndRemovesTheRecord) {
    ASSERT_EQ(RunSwitch("-i"), 0);
    ASSERT_EQ(TwService::StartService(m_name.c_str()), 1);
    const DWORD pid = platform::GetServiceProcessId(m_name);
    ASSERT_NE(pid, 0u);
    ASSERT_EQ(RunSwitch("-u"), 0);
    platform::SERVICE_STATUS st{};
    EXPECT_EQ(platform::QueryServiceStatusByName(m_name, &st), platform::kErrorServiceDoesNotExist);
    EXPECT_TRUE(WaitFor(
        "the service's process to be gone", [&] { return ::kill(static_cast<pid_t>(pid), 0) != 0; }, 10000));
    EXPECT_TRUE(RecordHas("stop"));
    EXPECT_EQ(RunSwitch("-u"), 0) << "nothing registered is nothing to fail on";
}

// A record marked for deletion whose service ended without removing it (killed, or past that point
// when the mark came) is removed by the next uninstall instead of staying for good.
TEST_F(ServiceTest, UninstallRemovesAMarkedRecordItsServiceLeftBehind) {
    ASSERT_EQ(RunSwitch("-i"), 0);
    ASSERT_EQ(TwService::StartService(m_name.c_str()), 1);
    ASSERT_EQ(platform::UninstallService(m_name), platform::kErrorSuccess);  // marked: it runs
    EXPECT_FALSE(platform::ServiceInstalled(m_name));
    const DWORD pid = platform::GetServiceProcessId(m_name);
    ASSERT_NE(pid, 0u);
    ASSERT_EQ(::kill(static_cast<pid_t>(pid), SIGKILL), 0);
    ASSERT_TRUE(WaitFor(
        "the service to end", [&] { return platform::GetServiceProcessId(m_name) == 0; }, 10000));
    platform::SERVICE_STATUS st{};
    ASSERT_EQ(platform::QueryServiceStatusByName(m_name, &st), platform::kErrorSuccess) << "the mark is left";
    ASSERT_EQ(RunSwitch("-u"), 0);
    EXPECT_EQ(platform::QueryServiceStatusByName(m_name, &st), platform::kErrorServiceDoesNotExist);
}

TEST_F(ServiceTest, AServiceThatDiesIsSeenStoppedAndRestartedByItsFailureAction) {
    ASSERT_EQ(RunSwitch("-i"), 0);  // registers the restart after 500 ms
    ASSERT_EQ(TwService::StartService(m_name.c_str()), 1);
    const DWORD first = platform::GetServiceProcessId(m_name);
    ASSERT_NE(first, 0u);
    EXPECT_FALSE(TwService::SendControlCode(m_name.c_str(), 200)) << "it dies while handling the code";
    ASSERT_TRUE(WaitFor(
        "a new service process",
        [&] {
            const DWORD now = platform::GetServiceProcessId(m_name);
            return now != 0 && now != first;
        },
        10000));
    EXPECT_TRUE(WaitFor(
        "the service to run", [&] { return TwService::IsServiceRunning(m_name.c_str()); }, 5000));
    ASSERT_EQ(TwService::StopService(m_name.c_str()), 1);
    EXPECT_TRUE(WaitFor(
        "the service to stop", [&] { return !TwService::IsServiceRunning(m_name.c_str()); }, 5000));
}

TEST_F(ServiceTest, AServiceThatDiesWithoutFailureActionsStaysStopped) {
    platform::ServiceConfig config;
    config.binaryPath = ServiceBinary();
    ASSERT_EQ(platform::InstallService(m_name, config), platform::kErrorSuccess);
    ASSERT_EQ(platform::StartServiceByName(m_name, 10000), platform::kErrorSuccess);
    const DWORD pid = platform::GetServiceProcessId(m_name);
    ASSERT_NE(pid, 0u);
    ASSERT_EQ(kill(static_cast<pid_t>(pid), SIGKILL), 0);
    ASSERT_TRUE(WaitFor(
        "the service to stop", [&] { return !TwService::IsServiceRunning(m_name.c_str()); }, 5000));
    platform::SERVICE_STATUS st{};
    ASSERT_EQ(platform::QueryServiceStatusByName(m_name, &st), platform::kErrorSuccess);
    EXPECT_EQ(st.dwCurrentState, platform::SERVICE_STOPPED);
    // It can be started again over its stale socket.
    EXPECT_EQ(platform::StartServiceByName(m_name, 10000), platform::kErrorSuccess);
}

TEST_F(ServiceTest, StartWaitsABoundedTimeForAProgramThatNeverAnswers) {
    platform::ServiceConfig config;
    config.binaryPath = ServiceBinary();
    ASSERT_EQ(platform::InstallService(m_name, config), platform::kErrorSuccess);
    ASSERT_EQ(platform::SetServiceRestartOnFailure(m_name, 0xFFFFFFFFu, 50), platform::kErrorSuccess);
    setenv("TAVISH_TEST_HANG", "1", 1);
    const auto start = std::chrono::steady_clock::now();
    const DWORD rc = platform::StartServiceByName(m_name, 300);
    unsetenv("TAVISH_TEST_HANG");
    EXPECT_EQ(rc, platform::kErrorServiceRequestTimeout);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    // The program was killed and is not restarted.
    EXPECT_FALSE(TwService::IsServiceRunning(m_name.c_str()));
    EXPECT_EQ(platform::GetServiceProcessId(m_name), 0u);

    config.binaryPath = "/bin/false";  // ends at once without a dispatcher
    ASSERT_EQ(platform::UninstallService(m_name), platform::kErrorSuccess);
    ASSERT_EQ(platform::InstallService(m_name, config), platform::kErrorSuccess);
    EXPECT_EQ(platform::StartServiceByName(m_name, 5000), platform::kErrorProcessAborted);
    EXPECT_EQ(platform::StartServiceByName("NoSuchService", 300), platform::kErrorServiceDoesNotExist);
}

TEST_F(ServiceTest, ProgramWithoutTheServiceLayerIsRefusedByTheDispatcher) {
    EXPECT_EQ(platform::RunServiceDispatcher(m_name, [](DWORD, char**) {}),
              platform::kErrorFailedServiceControllerConnect);
}

TEST_F(ServiceTest, UsageForHelpAndUnknownSwitches) {
    for (const char* sw : {"-h", "-x"}) {
        std::string out;
        ASSERT_EQ(RunSwitch(sw, &out), 0);
        const std::string expected = ServiceBinary() + " -i|-u|-t|-h\n" + "\t-i\t- Register " + m_name +
                                     " Service\n" + "\t-u\t- Unregister " + m_name + " Service\n" +
                                     "\t-t\t- Debug " + m_name + " in Console mode\n" +
                                     "\t-h\t- print this help message\n";
        EXPECT_EQ(out, expected);
    }
    EXPECT_FALSE(platform::ServiceInstalled(m_name));
}

long ReadSyscalls(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/io");
    std::string key;
    long value = 0;
    while (f >> key >> value) {
        if (key == "syscr:") return value;
    }
    return -1;
}

TEST_F(ServiceTest, ConsoleModeWithClosedInputDoesNotSpinAndStopsOnSignal) {
    Child c = StartProgram({"-t"}, false);
    ASSERT_TRUE(WaitFor(
        "the service to record \"init\"", [&] { return RecordHas("init"); }, 5000));
    // Give a spinning loop time to show itself: it would read standard input 50 times a second.
    ASSERT_TRUE(WaitFor(
        "the child's system call count", [&] { return ReadSyscalls(c.pid) >= 0; }, 1000));
    const long before = ReadSyscalls(c.pid);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(400);
    WaitFor(
        "the observation window to pass", [&] { return std::chrono::steady_clock::now() >= until; }, 1000);
    const long after = ReadSyscalls(c.pid);
    EXPECT_LE(after - before, 2) << "the console loop keeps reading a closed input";
    ASSERT_EQ(kill(c.pid, SIGTERM), 0);
    EXPECT_EQ(WaitChild(c), 0);
    EXPECT_TRUE(RecordHas("stop"));
}

// Wake-ups of the main thread (its context switches) so far; -1 when it cannot be read.
long MainThreadSwitches(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/status");
    std::string line;
    long sum = -1;
    while (std::getline(f, line)) {
        if (line.find("ctxt_switches:") == std::string::npos) continue;
        sum = (sum < 0 ? 0 : sum) + std::atol(line.c_str() + line.find(':') + 1);
    }
    return sum;
}

// An idle console run with its input open sleeps on the input and the quit signal: it neither
// polls on a timer nor misses a word typed later.
TEST_F(ServiceTest, ConsoleModeSleepsUntilInputComesAndStopsOnAWordSplitAcrossWrites) {
    Child c = StartProgram({"-t"}, true);
    ASSERT_TRUE(WaitFor(
        "the service to record \"init\"", [&] { return RecordHas("init"); }, 5000));
    ASSERT_TRUE(WaitFor(
        "the main thread's counters", [&] { return MainThreadSwitches(c.pid) >= 0; }, 1000));
    const long before = MainThreadSwitches(c.pid);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(400);
    WaitFor(
        "the observation window to pass", [&] { return std::chrono::steady_clock::now() >= until; }, 1000);
    EXPECT_LE(MainThreadSwitches(c.pid) - before, 2) << "the console loop wakes without input";
    for (const std::string part : {"maybe y", "E", "s\n"})
        ASSERT_EQ(write(c.stdinFd.Get(), part.data(), part.size()), static_cast<ssize_t>(part.size()));
    EXPECT_EQ(WaitChild(c), 0);
    EXPECT_TRUE(RecordHas("stop"));
}

TEST_F(ServiceTest, ConsoleModeEndsOnYesInCapitals) {
    Child c = StartProgram({"-t"}, true);
    ASSERT_TRUE(WaitFor(
        "the service to record \"init\"", [&] { return RecordHas("init"); }, 5000));
    const std::string words = "no\nYES\n";
    ASSERT_EQ(write(c.stdinFd.Get(), words.data(), words.size()), static_cast<ssize_t>(words.size()));
    EXPECT_EQ(WaitChild(c), 0);
    EXPECT_TRUE(RecordHas("stop"));
}

TEST_F(ServiceTest, MalformedControlMessagesAreRefusedAndTheServiceStaysUp) {
    ASSERT_EQ(RunSwitch("-i"), 0);
    ASSERT_EQ(TwService::StartService(m_name.c_str()), 1);
    const std::string path = m_root.Path() + "/run/services/tavishtestsvc.sock";
    std::mt19937 rng(7);
    for (int round = 0; round < 200; ++round) {
        platform::LocalPipeClient pipe = platform::LocalPipeClient::Connect(path);
        ASSERT_TRUE(pipe.Connected());
        std::vector<unsigned char> msg(rng() % 40);
        for (auto& c : msg) c = static_cast<unsigned char>(rng());
        // Now and then a message with the right magic but a wrong length or operation.
        if (round % 4 == 0 && msg.size() >= 4) {
            const unsigned char magic[4] = {0x54, 0x57, 0x53, 0x43};
            std::memcpy(msg.data(), magic, 4);
        }
        // An empty round hangs up without a word (a silent peer would only measure the control
        // socket's read time-out, which is not what this test is about).
        if (!msg.empty()) {
            pipe.Send(msg.data(), msg.size());
        } else {
            shutdown(pipe.Get(), SHUT_WR);
        }
        std::vector<std::uint8_t> reply;
        bool closed = false;
        if (pipe.Receive(64, 3000, &reply, nullptr, &closed)) {
            EXPECT_TRUE(closed || reply.size() == 36) << reply.size();
        }
    }
    EXPECT_TRUE(TwService::IsServiceRunning(m_name.c_str()));
    EXPECT_TRUE(TwService::SendControlCode(m_name.c_str(), 130));
    EXPECT_TRUE(RecordHas("code 130"));
    EXPECT_EQ(platform::InstallService("bad/name", {}), platform::kErrorInvalidName);
    EXPECT_EQ(platform::InstallService("", {}), platform::kErrorInvalidName);
}

// A socket anybody could bind, and a pid file naming some other live process, must not make a
// stopped service look running: root would not start it, or would start a second instance.
TEST_F(ServiceTest, AFakeSocketOrStalePidDoesNotMakeAStoppedServiceRun) {
    ASSERT_EQ(RunSwitch("-i"), 0);
    const std::string dir = platform::RuntimeSubDir("services");
    ASSERT_FALSE(dir.empty());
    if (geteuid() == 0) {
        // Only root may put anything into the service folder.
        const int denied = testsupport::RunAsUser({}, [&] {
            const int fd = open((dir + "/tavishtestsvc.sock").c_str(), O_CREAT | O_WRONLY, 0644);
            return fd < 0 && errno == EACCES ? 0 : 1;
        });
        EXPECT_EQ(denied, 0);
    }
    const platform::UniqueFd fakeSocket(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    const int fake = fakeSocket.Get();
    ASSERT_GE(fake, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, (dir + "/tavishtestsvc.sock").c_str(), sizeof(addr.sun_path) - 1);
    ASSERT_EQ(bind(fake, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(listen(fake, 4), 0);
    {
        std::ofstream pid(dir + "/tavishtestsvc.pid");
        pid << getpid() << "\n";  // alive, but not the service's program
    }
    EXPECT_FALSE(TwService::IsServiceRunning(m_name.c_str()));
    EXPECT_EQ(platform::GetServiceProcessId(m_name), 0u);
    platform::SERVICE_STATUS st{};
    ASSERT_EQ(platform::QueryServiceStatusByName(m_name, &st), platform::kErrorSuccess);
    EXPECT_EQ(st.dwCurrentState, platform::SERVICE_STOPPED);

    ASSERT_EQ(TwService::StartService(m_name.c_str()), 1);
    const DWORD first = platform::GetServiceProcessId(m_name);
    ASSERT_NE(first, 0u);
    EXPECT_NE(first, static_cast<DWORD>(getpid()));
    EXPECT_TRUE(WaitFor(
        "the service to record its start", [&] { return RecordHas("init"); }, 5000));
    // A second start finds the one that runs.
    EXPECT_EQ(TwService::StartService(m_name.c_str()), 1);
    EXPECT_EQ(platform::GetServiceProcessId(m_name), first);
    std::ifstream record(m_root.Path() + "/" + m_name + ".record");
    int inits = 0;
    for (std::string line; std::getline(record, line);) inits += line == "init" ? 1 : 0;
    EXPECT_EQ(inits, 1) << "a second instance was started";
}

// A member of the client group may not use the control socket (root's) nor read a root process's
// program link, yet must learn whether the service runs: from the status the service publishes,
// which no other user can write, lock or leave looking alive.
TEST_F(ServiceTest, AMemberOfTheClientGroupLearnsTheStateWithoutRootAndCannotForgeIt) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root (asks as an unprivileged user)";
    ASSERT_EQ(chmod(m_root.Path().c_str(), 0755), 0);
    platform::ServiceConfig config;
    config.binaryPath = ServiceBinary();  // no failure actions: a killed service stays dead
    ASSERT_EQ(platform::InstallService(m_name, config), platform::kErrorSuccess);
    testsupport::AsUser member{};
    member.groups = {65533};
    const auto asked = [&] {
        setenv("TAVISH_TEST_QUERY", "1", 1);
        const int code = testsupport::RunProgramAsUser(member, {ServiceBinary()});
        unsetenv("TAVISH_TEST_QUERY");
        return code;
    };
    constexpr int kStopped = platform::SERVICE_STOPPED;
    constexpr int kRunningWithPid = 10 + platform::SERVICE_RUNNING;
    EXPECT_EQ(asked(), kStopped);

    ASSERT_EQ(platform::StartServiceByName(m_name, 10000), platform::kErrorSuccess);
    // It answers while still starting; it reports running a moment later.
    const auto runs = [&] { return asked() == kRunningWithPid; };
    EXPECT_TRUE(WaitFor("the member to see it run", runs, 5000));
    ASSERT_TRUE(TwService::SendControlCode(m_name.c_str(), platform::SERVICE_CONTROL_PAUSE));
    EXPECT_EQ(asked(), 10 + platform::SERVICE_PAUSED) << "every change is published";
    ASSERT_TRUE(TwService::SendControlCode(m_name.c_str(), platform::SERVICE_CONTROL_CONTINUE));

    const std::string status = platform::RuntimeSubDir("services") + "/tavishtestsvc.status";
    const int refused = testsupport::RunAsUser(member, [&] {
        if (open(status.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC) >= 0 || errno != EACCES) return 1;
        const int fd = open(status.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) return 2;
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        return fcntl(fd, F_OFD_SETLK, &lock) != 0 && errno == EBADF ? 0 : 3;
    });
    EXPECT_EQ(refused, 0) << "another user could write or write-lock the published status";

    ASSERT_EQ(TwService::StopService(m_name.c_str()), 1);
    ASSERT_TRUE(WaitFor(
        "the service to stop", [&] { return !TwService::IsServiceRunning(m_name.c_str()); }, 5000));
    EXPECT_EQ(asked(), kStopped);
    EXPECT_NE(access(status.c_str(), F_OK), 0) << "a stopped service withdraws its status";

    // Killed, it leaves its file saying "running", but nobody holds the lock any more; a reader's
    // lock on it does not make it live either.
    ASSERT_EQ(platform::StartServiceByName(m_name, 10000), platform::kErrorSuccess);
    const DWORD pid = platform::GetServiceProcessId(m_name);
    ASSERT_NE(pid, 0u);
    ASSERT_EQ(kill(static_cast<pid_t>(pid), SIGKILL), 0);
    ASSERT_TRUE(WaitFor(
        "the service to end", [&] { return kill(static_cast<pid_t>(pid), 0) != 0; }, 5000));
    ASSERT_EQ(access(status.c_str(), F_OK), 0);
    const platform::UniqueFd reader(open(status.c_str(), O_RDONLY | O_CLOEXEC));
    struct flock shared {};
    shared.l_type = F_RDLCK;
    shared.l_whence = SEEK_SET;
    ASSERT_EQ(fcntl(reader.Get(), F_OFD_SETLK, &shared), 0);
    EXPECT_EQ(asked(), kStopped);
    // And it can be started again over what the killed one left.
    ASSERT_EQ(platform::StartServiceByName(m_name, 10000), platform::kErrorSuccess);
    EXPECT_TRUE(WaitFor("the member to see it run again", runs, 5000));
}

// What a member reads from the published status is taken only when it is whole: anything else,
// random or cut short, reads as stopped, even while the file is locked as a running service's.
TEST_F(ServiceTest, MalformedPublishedStatusReadsAsStopped) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root (asks as an unprivileged user)";
    ASSERT_EQ(chmod(m_root.Path().c_str(), 0755), 0);
    ASSERT_EQ(RunSwitch("-i"), 0);
    const std::string path = platform::RuntimeSubDir("services") + "/tavishtestsvc.status";
    const platform::UniqueFd fd(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_TRUE(fd.Valid());
    ASSERT_EQ(fchmod(fd.Get(), 0644), 0);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    ASSERT_EQ(fcntl(fd.Get(), F_OFD_SETLK, &lock), 0);
    testsupport::AsUser member{};
    member.groups = {65533};
    const auto asked = [&](const std::string& text) {
        EXPECT_EQ(ftruncate(fd.Get(), 0), 0);
        EXPECT_EQ(pwrite(fd.Get(), text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
        setenv("TAVISH_TEST_QUERY", "1", 1);
        const int code = testsupport::RunProgramAsUser(member, {ServiceBinary()});
        unsetenv("TAVISH_TEST_QUERY");
        return code;
    };
    EXPECT_EQ(asked("     12345 4\n"), platform::SERVICE_RUNNING) << "a whole record is read";
    std::vector<std::string> cases = {"",
                                      "\n",
                                      "     12345 4",
                                      "     12345 4\n\n",
                                      "     12345 8\n",
                                      "     12345 0\n",
                                      "         0 4\n",
                                      "    -12345 4\n",
                                      " 1 2 3 4 5 4\n",
                                      "9999999999 4\n",
                                      "12345 4\n"};
    std::mt19937 rng(23);
    for (int i = 0; i < 40; ++i) {
        std::string junk(rng() % 20, '\0');
        for (char& c : junk) c = static_cast<char>(rng());
        cases.push_back(junk);
        std::string cut = "     12345 4\n";
        cut.resize(rng() % cut.size());
        cases.push_back(cut);
    }
    for (const std::string& text : cases) {
        EXPECT_EQ(asked(text), platform::SERVICE_STOPPED) << "read \"" << text << "\"";
    }
    unlink(path.c_str());
}

TEST_F(ServiceTest, MalformedPidFilesReadAsStopped) {
    ASSERT_EQ(RunSwitch("-i"), 0);
    const std::string pidPath = platform::RuntimeSubDir("services") + "/tavishtestsvc.pid";
    std::mt19937 rng(11);
    std::vector<std::string> cases = {"",
                                      "\n",
                                      "abc\n",
                                      "12abc\n",
                                      "-5\n",
                                      "0\n",
                                      "99999999999999999999\n",
                                      std::to_string(getpid()) + "x"};
    for (int i = 0; i < 100; ++i) {
        std::string junk(rng() % 24, '\0');
        for (char& c : junk) c = static_cast<char>(rng());
        cases.push_back(junk);
    }
    for (const std::string& text : cases) {
        {
            std::ofstream f(pidPath, std::ios::trunc | std::ios::binary);
            f << text;
        }
        EXPECT_EQ(platform::GetServiceProcessId(m_name), 0u);
        EXPECT_FALSE(TwService::IsServiceRunning(m_name.c_str()));
    }
    // A link in the pid file's place is not followed.
    unlink(pidPath.c_str());
    const std::string real = m_root.Path() + "/pid";
    std::ofstream(real) << getpid() << "\n";
    ASSERT_EQ(symlink(real.c_str(), pidPath.c_str()), 0);
    EXPECT_EQ(platform::GetServiceProcessId(m_name), 0u);
    unlink(pidPath.c_str());
}

TEST_F(ServiceTest, SilentAndForeignPeersNeitherStallNorControlTheService) {
    ASSERT_EQ(RunSwitch("-i"), 0);
    ASSERT_EQ(TwService::StartService(m_name.c_str()), 1);
    const std::string path = m_root.Path() + "/run/services/tavishtestsvc.sock";
    std::vector<platform::LocalPipeClient> silent;
    for (int i = 0; i < 4; ++i) silent.push_back(platform::LocalPipeClient::Connect(path));
    // Served alongside the silent ones: served after them, one by one, it would come only when each
    // had idled out its 2 s, 8 s in all.
    const auto start = std::chrono::steady_clock::now();
    platform::SERVICE_STATUS st{};
    ASSERT_EQ(platform::QueryServiceStatusByName(m_name, &st), platform::kErrorSuccess);
    EXPECT_EQ(st.dwCurrentState, platform::SERVICE_RUNNING);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(5000));
    if (geteuid() == 0) {
        // Another user may neither query nor stop, even with the socket file opened to all.
        chmod(m_root.Path().c_str(), 0755);
        ASSERT_EQ(chmod(path.c_str(), 0666), 0);
        const int result = testsupport::RunAsUser(testsupport::kNobodyUid, testsupport::kNobodyGid, {}, [&] {
            platform::LocalPipeClient c = platform::LocalPipeClient::Connect(path);
            if (!c.Connected()) return 2;  // the folders kept us from the socket: proves nothing
            const unsigned char stop[12] = {0x54, 0x57, 0x53, 0x43, 2, 0, 0, 0, 1, 0, 0, 0};
            c.Send(stop, sizeof(stop));
            std::vector<std::uint8_t> reply;
            bool closed = false;
            return c.Receive(64, 3000, &reply, nullptr, &closed) && !closed && !reply.empty() ? 0 : 1;
        });
        EXPECT_EQ(result, 1) << "an unprivileged peer must reach the socket and be refused unanswered";
        EXPECT_TRUE(TwService::IsServiceRunning(m_name.c_str()));
    }
    // The stop's own bound (5 s) is shorter than the silent peers' 8 s.
    EXPECT_EQ(platform::ControlServiceByName(m_name, platform::SERVICE_CONTROL_STOP, &st, 5000),
              platform::kErrorSuccess);
    EXPECT_TRUE(WaitFor(
        "the service to stop", [&] { return !TwService::IsServiceRunning(m_name.c_str()); }, 5000));
}

TEST_F(ServiceTest, LongNamesAreCutTo127Characters) {
    const std::string longName(200, 'n');
    TwService* s = new TwService(longName.c_str());
    EXPECT_EQ(std::string(s->Name()), longName.substr(0, 127));
    s->SetName(std::string(127, 'k').c_str());
    EXPECT_EQ(std::string(s->Name()), std::string(127, 'k'));
    EXPECT_FALSE(s->IsInitialized());
    delete s;
}

class KeyboardHookTest : public ServiceTest {
protected:
    KeyboardHookTest() { m_name = TwKeyBoardHook::kServiceName; }
};

TEST_F(KeyboardHookTest, AltSAndAltDBecomeControlCodesOnKeyDownOnly) {
    TwKeyBoardHook hook;
    ASSERT_EQ(RunSwitch("-i"), 0);
    ASSERT_EQ(TwService::StartService(m_name.c_str()), 1);
    constexpr LONG kAlt = 1 << 29;
    constexpr LONG kRelease = static_cast<LONG>(1u << 31);
    EXPECT_EQ(TwKeyBoardHook::KeyStrokeHandler(0, 'S', kAlt), 1);
    EXPECT_TRUE(RecordHas("code 128"));
    EXPECT_EQ(TwKeyBoardHook::KeyStrokeHandler(0, 'S', kAlt | kRelease), 0);
    EXPECT_EQ(TwKeyBoardHook::KeyStrokeHandler(0, 'S', 0), 0);
    EXPECT_EQ(TwKeyBoardHook::KeyStrokeHandler(-1, 'S', kAlt), 0);
    EXPECT_EQ(TwKeyBoardHook::KeyStrokeHandler(0, 'D', kAlt), 1);
    EXPECT_TRUE(RecordHas("code 129"));
    EXPECT_EQ(TwKeyBoardHook::KeyStrokeHandler(0, 'X', kAlt), 0);
    const std::string rec = Record();
    size_t count128 = 0;
    for (size_t p = rec.find("code 128\n"); p != std::string::npos; p = rec.find("code 128\n", p + 1))
        ++count128;
    EXPECT_EQ(count128, 1u) << "one code per key-down";
    hook.UnregHook();
}

// The environment variable `name` set to `value` (or unset when null) for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : m_name(name) {
        const char* old = std::getenv(name);
        if (old) m_old = old;
        m_had = old != nullptr;
        if (value) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (m_had) {
            setenv(m_name.c_str(), m_old.c_str(), 1);
        } else {
            unsetenv(m_name.c_str());
        }
    }

private:
    std::string m_name, m_old;
    bool m_had = false;
};

TEST_F(KeyboardHookTest, WithoutAnX11DisplayThereIsNoHook) {
    TwKeyBoardHook hook;
    {
        ScopedEnv display("DISPLAY", nullptr);
        ScopedEnv wayland("WAYLAND_DISPLAY", nullptr);
        EXPECT_FALSE(hook.Initialize());
    }
    {
        // The X server of a Wayland session sees only the keys of X programs.
        ScopedEnv display("DISPLAY", ":0");
        ScopedEnv wayland("WAYLAND_DISPLAY", "wayland-0");
        EXPECT_FALSE(hook.Initialize());
    }
    {
        ScopedEnv display("DISPLAY", ":65000");  // nobody there
        ScopedEnv wayland("WAYLAND_DISPLAY", nullptr);
        EXPECT_FALSE(hook.Initialize());
    }
    hook.UnregHook();
}

#ifdef TW_TEST_X11_DESKTOP
TEST_F(KeyboardHookTest, OnAnX11DesktopTheKeysReachTheServiceAndStillTheFocusedWindow) {
    std::string why;
    std::unique_ptr<X11Desktop> desktop = X11Desktop::Start(&why);
    if (!desktop) GTEST_SKIP() << why;
    ASSERT_EQ(RunSwitch("-i"), 0);
    ASSERT_EQ(TwService::StartService(m_name.c_str()), 1);
    ScopedEnv display("DISPLAY", desktop->Display().c_str());
    ScopedEnv wayland("WAYLAND_DISPLAY", nullptr);
    ASSERT_TRUE(desktop->FocusWindow());
    TwKeyBoardHook hook;
    ASSERT_TRUE(hook.Initialize());
    EXPECT_TRUE(hook.Initialize()) << "already running";

    auto count = [&](const std::string& line) {
        const std::string rec = Record();
        size_t n = 0;
        for (size_t p = rec.find(line + "\n"); p != std::string::npos; p = rec.find(line + "\n", p + 1)) ++n;
        return n;
    };
    // Alt+S, with the S held long enough to repeat: one code 128, and the window still gets the S.
    ASSERT_TRUE(desktop->Key("Alt_L", true));
    ASSERT_TRUE(desktop->Key("s", true));
    ASSERT_TRUE(desktop->Key("s", true));
    ASSERT_TRUE(desktop->Key("s", false));
    ASSERT_TRUE(desktop->Key("Alt_L", false));
    EXPECT_TRUE(WaitFor(
        "code 128", [&] { return RecordHas("code 128"); }, 10000));
    EXPECT_TRUE(desktop->WindowGotKey("s", 10000)) << "the key is observed, not taken";
    // A plain S and a plain D send nothing; Alt+D (the right Alt) sends 129, after which every
    // earlier key has been seen.
    ASSERT_TRUE(desktop->Key("s", true));
    ASSERT_TRUE(desktop->Key("s", false));
    ASSERT_TRUE(desktop->Key("d", true));
    ASSERT_TRUE(desktop->Key("d", false));
    ASSERT_TRUE(desktop->Key("Alt_R", true));
    ASSERT_TRUE(desktop->Key("d", true));
    ASSERT_TRUE(desktop->Key("d", false));
    ASSERT_TRUE(desktop->Key("Alt_R", false));
    EXPECT_TRUE(WaitFor(
        "code 129", [&] { return RecordHas("code 129"); }, 10000));
    EXPECT_EQ(count("code 128"), 1u);
    EXPECT_EQ(count("code 129"), 1u);

    // Unhooked, Alt+S sends nothing more: Alt+D through a second hook shows the order.
    hook.UnregHook();
    ASSERT_TRUE(desktop->Key("Alt_L", true));
    ASSERT_TRUE(desktop->Key("s", true));
    ASSERT_TRUE(desktop->Key("s", false));
    ASSERT_TRUE(desktop->Key("Alt_L", false));
    TwKeyBoardHook again;
    ASSERT_TRUE(again.Initialize());
    ASSERT_TRUE(desktop->Key("Alt_L", true));
    ASSERT_TRUE(desktop->Key("d", true));
    ASSERT_TRUE(desktop->Key("d", false));
    ASSERT_TRUE(desktop->Key("Alt_L", false));
    EXPECT_TRUE(WaitFor(
        "a second code 129", [&] { return count("code 129") == 2; }, 10000));
    EXPECT_EQ(count("code 128"), 1u);
    again.UnregHook();
}
#endif

}  // namespace
