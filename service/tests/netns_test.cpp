// In a network namespace of its own: the watchdog puts the machine back after a stand-in client
// that changed routes and name servers is killed with -9; the kernel's table and the resolver file
// end up as they were before.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/local_pipe.h"
#include "platform/unique_fd.h"
#include "platform/machine_root.h"
#include "platform/process.h"
#include "platform/resolver.h"
#include "service/gui_watchdog.h"
#include "service/proxy_server.h"
#include "service/session_user.h"
#include "service/route_table_file.h"
#include "test_machine.h"
#include "testsupport/as_user.h"
#include "testsupport/command.h"
#include "testsupport/net.h"
#include "testsupport/netns.h"
#include "testsupport/temp_dir.h"
#include "testsupport/temp_root.h"
#include "testsupport/wait.h"

namespace service {
namespace {

std::vector<MIB_IPFORWARDROW> Sorted(std::vector<MIB_IPFORWARDROW> rows) {
    std::sort(rows.begin(), rows.end(), [](const MIB_IPFORWARDROW& a, const MIB_IPFORWARDROW& b) {
        return std::memcmp(&a, &b, sizeof(a)) < 0;
    });
    return rows;
}

std::vector<MIB_IPFORWARDROW> SortedRows() {
    std::vector<MIB_IPFORWARDROW> rows;
    EXPECT_EQ(platform::ReadForwardRows(&rows), 0u);
    return Sorted(std::move(rows));
}

std::string FileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool SameRows(const std::vector<MIB_IPFORWARDROW>& a, const std::vector<MIB_IPFORWARDROW>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(MIB_IPFORWARDROW)) == 0;
}

TEST(WatchdogNetns, KilledClientLeavesTheMachineAsItFoundIt) {
    if (!testsupport::IsRoot()) GTEST_SKIP() << "needs root for a network namespace";
    testsupport::NetnsScope ns;
    ASSERT_TRUE(ns.Ok());
    testsupport::TempDir dir;
    const std::string tap = "qelw" + std::to_string(getpid() % 100000);
    ASSERT_TRUE(test::LayOutPc(tap, true));

    // The machine's resolver file, under the test's machine root.
    const std::string resolverFile = platform::ResolverFilePath();
    ASSERT_TRUE(platform::MakeDirs(resolverFile.substr(0, resolverFile.rfind('/'))));
    std::ofstream(resolverFile) << "# the machine's own\nnameserver 203.0.113.53\n";
    platform::LinuxResolver resolver(platform::ResolverOptions{"", "", "-", 10000, {}, "-"});

    const auto before = SortedRows();
    const std::string resolverBefore = FileText(resolverFile);

    // The stand-in client: a program of its own name, so that the watchdog sees it come and go.
    const std::string name = "VornClient" + std::to_string(getpid());
    const std::string program = dir.File(name);
    ASSERT_EQ(testsupport::Run({"cp", platform::FindProgram("sleep"), program}), 0);
    const pid_t client = platform::Spawn({program, "600"});
    ASSERT_GT(client, 0);

    ServiceFacilities facilities;
    facilities.network.resolver = &resolver;
    facilities.recreateAdapter = [] { return 0; };
    WatchdogOptions options;
    options.timing.watchdogRoundMs = 20;
    options.routeFile = dir.File(kRouteTableFileName);
    options.checkGui = [name] { return CheckGUIExist(name); };
    std::atomic<int> disconnects{0};
    options.mediaDisconnect = [&] { return ++disconnects, 1u; };
    options.gatewayAddress = [] {
        in_addr a{};
        inet_pton(AF_INET, "203.0.113.200", &a);
        return static_cast<DWORD>(a.s_addr);
    };
    CheckGUIThread watchdog(facilities, options);
    ASSERT_NE(watchdog.Create(0), 0u);
    watchdog.Resume();

    // What the client does at logon: save the table, then route everything into the tunnel. The
    // watchdog found it running as it began, so it leaves the session alone until its end.
    ASSERT_TRUE(testsupport::WaitFor("the watchdog to begin", [&] { return watchdog.Previous() == 1; }));
    std::vector<MIB_IPFORWARDROW> saved;
    ASSERT_EQ(platform::ReadForwardRows(&saved), 0u);
    ASSERT_TRUE(WriteRouteTableFile(options.routeFile, saved));
    ASSERT_EQ(testsupport::Run({"ip", "addr", "add", "198.18.0.2/24", "dev", tap}), 0);
    ASSERT_EQ(
        testsupport::Run({"ip", "route", "add", "203.0.113.200/32", "via", "203.0.113.1", "dev", "eth9"}), 0);
    ASSERT_EQ(testsupport::Run({"ip", "route", "del", "default"}), 0);
    ASSERT_EQ(testsupport::Run({"ip", "route", "add", "default", "via", "198.18.0.1", "dev", tap}), 0);
    in_addr dns{};
    inet_pton(AF_INET, "198.18.0.53", &dns);
    ASSERT_EQ(resolver.SetNameServers(tap, {dns.s_addr}), 0u);
    ASSERT_NE(FileText(resolverFile), resolverBefore);

    ASSERT_TRUE(testsupport::WaitFor("the watchdog to see the stand-in client",
                                     [&] { return watchdog.Previous() == 1; }));
    ASSERT_TRUE(platform::KillProcess(client, SIGKILL));
    int code = 0;
    ASSERT_EQ(platform::WaitProcess(client, 5000, &code), platform::kWaitObject0);
    ASSERT_TRUE(testsupport::WaitFor(
        "the watchdog's restore after the client's death", [&] { return disconnects.load() == 1; }, 10000));
    watchdog.Terminate();

    EXPECT_TRUE(SameRows(SortedRows(), before)) << "the forwarding table differs from before the logon";
    EXPECT_EQ(FileText(resolverFile), resolverBefore);
    EXPECT_FALSE(std::ifstream(options.routeFile).good());
}

}  // namespace
}  // namespace service

namespace service {
namespace {

// The control server starts a stand-in client as an unprivileged user with the browser's
// parameters as separate arguments, and a second /logon of the same session starts nothing.
TEST(ControlServerAsUser, StartsTheClientAsTheSeatsUser) {
    if (!testsupport::IsRoot()) GTEST_SKIP() << "needs root to start a program as another user";
    testsupport::TempDir dir;
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0777), 0);
    const std::string out = dir.File("started");
    const std::string program = dir.File("VornClient");
    std::ofstream(program) << "#!/bin/sh\n{ id -u; id -g; id -G | tr ' ' '\\n' | grep -cx 0; echo \"$HOME "
                              "$DISPLAY\"; pwd; printf '%s\\n' \"$@\"; } > "
                           << out << ".tmp && mv " << out << ".tmp " << out << "\n";
    ASSERT_EQ(::chmod(program.c_str(), 0755), 0);
    const std::string home = dir.Path();
    SessionClientLauncher launcher(program, [home](SessionUser* user) {
        user->uid = 65534;
        user->gid = 65534;
        user->home = home;
        user->environment = {"DISPLAY=:7"};
        return true;
    });
    WebLogonOptions web;
    web.registrySessionId = [] { return 0L; };
    web.waitForSetup = [] {};
    ProxyServer server(launcher, web);
    ASSERT_TRUE(server.Start(0));
    const std::string request =
        "GET /logon?ipaddr=203.0.113.9&port=443&sessid=77&username=bob;id&qelversion=3.0 HTTP/1.1\r\n"
        "Host: 127.0.0.1:" +
        std::to_string(server.Port()) + "\r\n\r\n";
    for (int i = 0; i < 2; ++i) {
        platform::UniqueFd connection(testsupport::ConnectLoopback(server.Port()));
        const int fd = connection.Get();
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(request.size()));
        char c;
        timeval tv{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        EXPECT_EQ(::recv(fd, &c, 1, 0), 0) << "the connection of a complete logon was not dropped";
        connection.Reset();
        if (i == 0) {
            ASSERT_TRUE(testsupport::WaitFor(
                "the stand-in client to run", [&] { return std::ifstream(out).good(); }, 10000));
        }
    }
    // The user's own groups are whatever the machine's group file says at that moment; what counts
    // is that none of root's groups (0 here) came along.
    EXPECT_EQ(FileText(out), "65534\n65534\n0\n" + home + " :7\n" + home +
                                 "\n-browserlogon\n203.0.113.9\n443\n77\nbob;id\n3.0\n");
    ASSERT_EQ(::unlink(out.c_str()), 0);
    server.Stop();
    EXPECT_FALSE(std::ifstream(out).good()) << "the repeated logon started the client again";
}

// A second service on the same machine root would bind the pipe's path over the first one's and
// remove it when it ends: it refuses to start, and the first one keeps serving.
TEST(LuntherInstance, ASecondServiceOnTheSameMachineRootRefusesAndLeavesThePipeToTheFirst) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root (a network namespace for the HTTP server)";
    const std::string program = testsupport::BinDir() + "/Lunther";
    if (::access(program.c_str(), X_OK) != 0) GTEST_SKIP() << "Lunther is not built";
    const testsupport::TempRoot root("qel-instance");
    testsupport::NamedNetns ns("qelinst" + std::to_string(::getpid()));
    ASSERT_TRUE(ns.Ok());
    platform::SpawnOptions o;
    o.extraEnv.push_back("QEL_ROOT=" + root.Path());
    o.quietOutput = true;
    const std::string pipe = root.Path() + "/run/NetshsvcPipe";
    struct stat first {};
    const pid_t pid = ns.Spawn({program, "-t"}, o);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(testsupport::WaitFor(
        "the first service's pipe", [&] { return ::lstat(pipe.c_str(), &first) == 0; }, 10000));
    const pid_t second = ns.Spawn({program, "-t"}, o);
    ASSERT_GT(second, 0);
    int code = -1;
    EXPECT_EQ(platform::WaitProcess(second, 10000, &code), platform::kWaitObject0)
        << "the second service kept running";
    EXPECT_EQ(code, 1);
    struct stat after {};
    EXPECT_EQ(::lstat(pipe.c_str(), &after), 0) << "the second service removed the first one's pipe";
    EXPECT_EQ(after.st_ino, first.st_ino) << "the second service took the pipe's path over";
    EXPECT_TRUE(platform::LocalPipeClient::Connect(pipe).Connected());
    platform::KillProcess(second, SIGKILL);
    ASSERT_TRUE(platform::KillProcess(pid, SIGTERM));
    EXPECT_EQ(platform::WaitProcess(pid, 15000, &code), platform::kWaitObject0);
    if (platform::ProcessAlive(pid)) platform::KillProcess(pid, SIGKILL);
    EXPECT_NE(::lstat(pipe.c_str(), &after), 0) << "the service left its pipe behind";
}

// Another user holding a read lock on an older installation's lock file (0644, readable by all)
// cannot keep the service from starting, and cannot open the lock it then holds.
TEST(LuntherInstance, AnotherUserHoldingTheLockFileDoesNotKeepTheServiceFromStarting) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root (a network namespace, another user)";
    const std::string program = testsupport::BinDir() + "/Lunther";
    if (::access(program.c_str(), X_OK) != 0) GTEST_SKIP() << "Lunther is not built";
    const testsupport::TempRoot root("qel-instance");
    ASSERT_EQ(::chmod(root.Path().c_str(), 0755), 0);  // other users reach the machine's folders
    const std::string dir = root.Path() + "/run/instances";
    ASSERT_TRUE(platform::MakeDirs(dir, 0755));
    const std::string lock = dir + "/Lunther.lock";
    ASSERT_GE(platform::UniqueFd(::open(lock.c_str(), O_RDWR | O_CREAT, 0644)).Get(), 0);
    ASSERT_EQ(::chmod(lock.c_str(), 0644), 0);
    int ready[2], release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    int holderCode = -1;
    std::thread holder([&] {
        holderCode = testsupport::RunAsUser({}, [&] {
            const int fd = ::open(lock.c_str(), O_RDONLY);
            struct flock l {};
            l.l_type = F_RDLCK;
            l.l_whence = SEEK_SET;
            const char took = fd >= 0 && ::fcntl(fd, F_OFD_SETLK, &l) == 0 ? '1' : '0';
            if (::write(ready[1], &took, 1) != 1) return 2;
            char go = 0;
            return ::read(release[0], &go, 1) == 1 && took == '1' ? 0 : 1;
        });
    });
    char took = 0;
    pollfd p{ready[0], POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 20000), 1);
    EXPECT_EQ(::read(ready[0], &took, 1), 1);
    EXPECT_EQ(took, '1') << "the stand-in for the older installation's lock";

    testsupport::NamedNetns ns("qelinsu" + std::to_string(::getpid()));
    ASSERT_TRUE(ns.Ok());
    platform::SpawnOptions o;
    o.extraEnv.push_back("QEL_ROOT=" + root.Path());
    o.quietOutput = true;
    const std::string pipe = root.Path() + "/run/NetshsvcPipe";
    const pid_t pid = ns.Spawn({program, "-t"}, o);
    ASSERT_GT(pid, 0);
    struct stat st {};
    EXPECT_TRUE(testsupport::WaitFor(
        "the service's pipe", [&] { return ::lstat(pipe.c_str(), &st) == 0 || !platform::ProcessAlive(pid); },
        10000));
    EXPECT_EQ(::lstat(pipe.c_str(), &st), 0) << "the service did not start";
    testsupport::AsUser member{};
    member.groups = {platform::ClientGroupId()};
    for (const testsupport::AsUser& who : {testsupport::AsUser{}, member})
        EXPECT_EQ(testsupport::RunAsUser(who, [&] { return ::open(lock.c_str(), O_RDONLY) < 0 ? 0 : 1; }), 0)
            << "another user opened the service's lock";
    const char go = 'x';
    EXPECT_EQ(::write(release[1], &go, 1), 1);
    holder.join();
    EXPECT_EQ(holderCode, 0);
    for (const int fd : {ready[0], ready[1], release[0], release[1]}) ::close(fd);
    int code = -1;
    ASSERT_TRUE(platform::KillProcess(pid, SIGTERM));
    EXPECT_EQ(platform::WaitProcess(pid, 15000, &code), platform::kWaitObject0);
    if (platform::ProcessAlive(pid)) platform::KillProcess(pid, SIGKILL);
}

}  // namespace
}  // namespace service
