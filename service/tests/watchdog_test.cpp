// The saved route table file and the GUI watchdog's restore, over in-memory facilities.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include <filesystem>
#include <fstream>
#include <cstring>
#include <random>

#include <atomic>

#include "platform/fake/manual_clock.h"
#include "platform/machine_root.h"
#include "platform/settings_store.h"
#include "service/gui_watchdog.h"
#include "service/hardware_id.h"
#include "service/route_table_file.h"
#include "util/machine_identity.h"
#include "test_machine.h"
#include "testsupport/as_user.h"
#include "testsupport/command.h"
#include "testsupport/temp_dir.h"
#include "testsupport/wait.h"

namespace service {
namespace {

constexpr DWORD kTap = 7, kEth = 2;

MIB_IPFORWARDROW Row(DWORD dest, DWORD mask, DWORD nextHop, DWORD ifIndex, DWORD metric = 1) {
    MIB_IPFORWARDROW r{};
    r.dwForwardDest = dest;
    r.dwForwardMask = mask;
    r.dwForwardNextHop = nextHop;
    r.dwForwardIfIndex = ifIndex;
    r.dwForwardType = nextHop != 0 ? 4 : 3;
    r.dwForwardMetric1 = metric;
    return r;
}
DWORD Net(unsigned a, unsigned b, unsigned c, unsigned d) { return a | b << 8 | c << 16 | d << 24; }

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}
bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

TEST(RouteTableFile, RoundTripAndStrictLengths) {
    testsupport::TempDir dir;
    const std::string path = dir.File(kRouteTableFileName);
    const std::vector<MIB_IPFORWARDROW> rows = {Row(0, 0, Net(203, 0, 113, 1), kEth),
                                                Row(Net(203, 0, 113, 0), Net(255, 255, 255, 0), 0, kEth)};
    ASSERT_TRUE(WriteRouteTableFile(path, rows));
    std::vector<MIB_IPFORWARDROW> back;
    std::string error;
    ASSERT_EQ(ReadRouteTableFile(path, &back, &error), RouteFileRead::kOk) << error;
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(std::memcmp(back.data(), rows.data(), sizeof(MIB_IPFORWARDROW) * 2), 0);

    const std::string image = FormatRouteTableFile(rows);
    EXPECT_EQ(image.size(), 4u + 4u + 2u * 56u);
    EXPECT_TRUE(ParseRouteTableFile(image, &back, &error));
    EXPECT_FALSE(ParseRouteTableFile(image + "x", &back, &error));           // bytes beyond L
    EXPECT_FALSE(ParseRouteTableFile(image.substr(0, 100), &back, &error));  // L says more than follows
    std::string wrongCount = image;
    wrongCount[4] = 3;  // three rows announced, two present
    EXPECT_FALSE(ParseRouteTableFile(wrongCount, &back, &error));
    std::string huge = image;
    const DWORD many = kMaxSavedRoutes + 1, length = 4 + 56 * many;
    std::memcpy(huge.data(), &length, 4);
    std::memcpy(huge.data() + 4, &many, 4);
    EXPECT_FALSE(ParseRouteTableFile(huge, &back, &error));

    // A folder in the file's place counts as no file.
    ASSERT_EQ(::unlink(path.c_str()), 0);
    ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
    EXPECT_EQ(ReadRouteTableFile(path, &back, &error), RouteFileRead::kMissing);
}

// The client writes the file as its user, a member of the client's group, into the folder the service
// reads it from; what another user plants there instead is refused without blocking the reader.
TEST(RouteTableFile, TheClientsUserWritesItAndPlantedFilesAreRefused) {
    if (!testsupport::IsRoot()) GTEST_SKIP() << "needs root to write as the client's user";
    ASSERT_EQ(::chmod(platform::MachineRoot().c_str(), 0755), 0);  // as a machine root is
    auto store = platform::SettingsStore::Machine();               // root makes the client's folder
    ASSERT_TRUE(store);
    const std::string path = RouteTableFilePath();
    const std::string db = platform::ClientSettingsDbPath();
    ASSERT_EQ(path, db.substr(0, db.rfind('/')) + "/" + kRouteTableFileName);
    const std::vector<MIB_IPFORWARDROW> rows = {Row(0, 0, Net(203, 0, 113, 1), kEth)};
    const gid_t group = platform::ClientGroupId();
    ASSERT_NE(group, 0u) << "the client's group is missing";
    EXPECT_EQ(testsupport::RunAsUser(testsupport::kNobodyUid, testsupport::kNobodyGid, {group},
                                     [&] { return WriteRouteTableFile(path, rows) ? 0 : 1; }),
              0)
        << "the client's user cannot save the table";
    std::vector<MIB_IPFORWARDROW> back;
    std::string error;
    EXPECT_EQ(ReadRouteTableFile(path, &back, &error), RouteFileRead::kOk) << error;
    ASSERT_EQ(::unlink(path.c_str()), 0);

    ASSERT_EQ(::mkfifo(path.c_str(), 0666), 0);
    EXPECT_EQ(ReadRouteTableFile(path, &back, &error), RouteFileRead::kMalformed);
    ASSERT_EQ(::unlink(path.c_str()), 0);
    ASSERT_EQ(::symlink(platform::SettingsDbPath().c_str(), path.c_str()), 0);
    EXPECT_EQ(ReadRouteTableFile(path, &back, &error), RouteFileRead::kMalformed);
    ASSERT_EQ(::unlink(path.c_str()), 0);
}

TEST(RouteTableFile, ThingsAnotherMemberPlantsInTheFolderNeitherHoldNorRedirectTheSave) {
    if (!testsupport::IsRoot()) GTEST_SKIP() << "needs root to act as two of the client's users";
    ASSERT_EQ(::chmod(platform::MachineRoot().c_str(), 0755), 0);
    ASSERT_TRUE(platform::SettingsStore::Machine());  // root makes the client's folder
    const std::string path = RouteTableFilePath();
    const gid_t group = platform::ClientGroupId();
    ASSERT_NE(group, 0u) << "the client's group is missing";
    const std::string outside = platform::MachineRoot() + "/outside";
    ASSERT_EQ(::mkdir(outside.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(outside.c_str(), 0777), 0);
    // FIFOs and links at the names the save used to take ("<file>.tmp.<pid>" of the next pids).
    long next = 0;
    std::ifstream("/proc/sys/kernel/ns_last_pid") >> next;
    ASSERT_EQ(testsupport::RunAsUser(65532, 65532, {group},
                                     [&] {
                                         int failed = 0;
                                         for (long pid = next; pid < next + 64; ++pid) {
                                             const std::string name = path + ".tmp." + std::to_string(pid);
                                             failed += pid % 2 == 0 ? ::mkfifo(name.c_str(), 0666) != 0
                                                                    : ::symlink((outside + "/x").c_str(),
                                                                                name.c_str()) != 0;
                                         }
                                         return failed;
                                     }),
              0);
    const std::vector<MIB_IPFORWARDROW> rows = {Row(0, 0, Net(203, 0, 113, 1), kEth)};
    EXPECT_EQ(testsupport::RunAsUser(testsupport::kNobodyUid, testsupport::kNobodyGid, {group},
                                     [&] { return WriteRouteTableFile(path, rows) ? 0 : 1; }),
              0)
        << "the save failed or hung";
    std::vector<MIB_IPFORWARDROW> back;
    std::string error;
    EXPECT_EQ(ReadRouteTableFile(path, &back, &error), RouteFileRead::kOk) << error;
    EXPECT_EQ(back.size(), 1u);
    EXPECT_TRUE(std::filesystem::is_empty(outside)) << "the save wrote through a planted link";
}

TEST(RouteTableFile, FuzzedImagesAreRefusedWhole) {
    std::mt19937 rng(99);
    const std::string good = FormatRouteTableFile({Row(0, 0, 1, 2), Row(5, 0xffffffff, 0, 2)});
    for (int i = 0; i < 20000; ++i) {
        std::string bytes = good.substr(0, rng() % (good.size() + 1));
        for (auto flips = static_cast<int>(rng() % 3); flips > 0 && !bytes.empty(); --flips)
            bytes[rng() % bytes.size()] = static_cast<char>(rng());
        if (i % 5 == 0) bytes.resize(rng() % 400, static_cast<char>(rng()));
        std::vector<MIB_IPFORWARDROW> rows;
        std::string error;
        if (ParseRouteTableFile(bytes, &rows, &error)) {
            ASSERT_EQ(bytes.size(), 8 + rows.size() * 56);
        } else {
            ASSERT_TRUE(rows.empty());
        }
    }
}

class WatchdogTest : public ::testing::Test {
protected:
    WatchdogTest() : facilities(machine.Facilities()) {
        options.routeFile = dir.File(kRouteTableFileName);
        options.checkGui = [this] { return gui; };
        options.mediaDisconnect = [this] { return ++disconnects, 1u; };
        options.gatewayAddress = [] { return Net(203, 0, 113, 200); };
        options.proxyAddress = [] { return 0u; };
        machine.PutTap();
    }

    test::FakeMachine machine;
    platform::fake::FakeRouteTable& routes = machine.routes;
    platform::fake::FakeResolver& resolver = machine.resolver;
    ServiceFacilities facilities;
    WatchdogOptions options;
    testsupport::TempDir dir;
    int gui = 2;
    int disconnects = 0;
};

TEST_F(WatchdogTest, RestoresSavedRoutesWhenTheClientDies) {
    const auto defaultRoute = Row(0, 0, Net(203, 0, 113, 1), kEth, 100);
    const auto lan = Row(Net(203, 0, 113, 0), Net(255, 255, 255, 0), 0, kEth);
    const auto lostLan = Row(Net(198, 51, 100, 0), Net(255, 255, 255, 0), Net(203, 0, 113, 9), kEth, 50);
    ASSERT_TRUE(WriteRouteTableFile(options.routeFile, {defaultRoute, lan, lostLan}));
    // What the client left: its default route and a network through the tunnel, the gateway's host
    // route, a route of someone else's that was never saved; the saved LAN route was taken away.
    routes.SetRows({Row(0, 0, 0, kTap), lan, Row(Net(10, 0, 0, 0), Net(255, 0, 0, 0), 0, kTap),
                    Row(Net(203, 0, 113, 200), 0xffffffffu, Net(203, 0, 113, 1), kEth),
                    Row(Net(172, 16, 0, 0), Net(255, 240, 0, 0), Net(203, 0, 113, 7), kEth)});
    resolver.SetMachineServers({Net(203, 0, 113, 53)});
    resolver.SetNameServers("qel0", {Net(198, 18, 0, 53)});

    GuiWatchdog watchdog(facilities, options);
    gui = 1;
    watchdog.Round();
    EXPECT_TRUE(Exists(options.routeFile));
    gui = 2;
    watchdog.Round();

    const auto rows = routes.Rows();
    auto has = [&](const MIB_IPFORWARDROW& want) {
        for (const auto& r : rows) {
            if (r.dwForwardDest == want.dwForwardDest && r.dwForwardMask == want.dwForwardMask &&
                r.dwForwardNextHop == want.dwForwardNextHop && r.dwForwardIfIndex == want.dwForwardIfIndex) {
                return true;
            }
        }
        return false;
    };
    EXPECT_EQ(rows.size(), 4u);
    EXPECT_TRUE(has(defaultRoute));
    EXPECT_TRUE(has(lan));
    EXPECT_TRUE(has(lostLan));
    EXPECT_TRUE(has(Row(Net(172, 16, 0, 0), Net(255, 240, 0, 0), Net(203, 0, 113, 7), kEth)));
    for (const auto& r : rows) {
        // What was lost comes back with the metric it was saved with.
        if (r.dwForwardDest == 0) {
            EXPECT_EQ(r.dwForwardMetric1, 100u);
        }
        if (r.dwForwardDest == lostLan.dwForwardDest) {
            EXPECT_EQ(r.dwForwardMetric1, 50u);
        }
    }
    std::vector<DWORD> servers;
    resolver.GetNameServers(&servers);
    EXPECT_EQ(servers, (std::vector<DWORD>{Net(203, 0, 113, 53)}));
    EXPECT_FALSE(Exists(options.routeFile));
    EXPECT_EQ(disconnects, 1);
    EXPECT_EQ(watchdog.Previous(), 2);
}

TEST_F(WatchdogTest, RestoredRowsKeepTheKernelsProtocol) {
    auto connected = Row(Net(203, 0, 113, 0), Net(255, 255, 255, 0), Net(203, 0, 113, 5), kEth, 0);
    connected.dwForwardProto = platform::MIB_IPPROTO_LOCAL;
    auto own = Row(Net(10, 9, 0, 0), Net(255, 255, 0, 0), Net(203, 0, 113, 9), kEth);
    own.dwForwardProto = platform::MIB_IPPROTO_OTHER;
    ASSERT_TRUE(WriteRouteTableFile(options.routeFile, {connected, own}));
    GuiWatchdog watchdog(facilities, options);
    gui = 1;
    watchdog.Round();
    gui = 2;
    watchdog.Round();
    const auto rows = routes.Rows();
    ASSERT_EQ(rows.size(), 2u);
    for (const auto& r : rows) {
        EXPECT_EQ(r.dwForwardProto, r.dwForwardDest == connected.dwForwardDest
                                        ? platform::MIB_IPPROTO_LOCAL
                                        : platform::MIB_IPPROTO_NETMGMT);
    }
}

// A client killed while the service was down: at the service's start no client runs, and the
// session's routes (the gateway's and the proxy's host routes among them) and name servers go.
TEST_F(WatchdogTest, AtStartASessionWithoutItsClientIsRestored) {
    const auto defaultRoute = Row(0, 0, Net(203, 0, 113, 1), kEth);
    ASSERT_TRUE(WriteRouteTableFile(options.routeFile, {defaultRoute}));
    options.proxyAddress = [] { return Net(203, 0, 113, 201); };
    routes.SetRows({Row(0, 0, 0, kTap), Row(Net(203, 0, 113, 200), 0xffffffffu, Net(203, 0, 113, 1), kEth),
                    Row(Net(203, 0, 113, 201), 0xffffffffu, Net(203, 0, 113, 1), kEth)});
    resolver.SetMachineServers({Net(203, 0, 113, 53)});
    resolver.SetNameServers("qel0", {Net(198, 18, 0, 53)});
    GuiWatchdog watchdog(facilities, options);
    watchdog.Begin();
    const auto rows = routes.Rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].dwForwardNextHop, defaultRoute.dwForwardNextHop);
    EXPECT_EQ(rows[0].dwForwardIfIndex, static_cast<DWORD>(kEth));
    std::vector<DWORD> servers;
    resolver.GetNameServers(&servers);
    EXPECT_EQ(servers, (std::vector<DWORD>{Net(203, 0, 113, 53)}));
    EXPECT_FALSE(Exists(options.routeFile));
    EXPECT_EQ(disconnects, 1);

    // Without a route file, a resolver journal left behind is still undone.
    resolver.SetNameServers("qel0", {Net(198, 18, 0, 53)});
    GuiWatchdog again(facilities, options);
    again.Begin();
    resolver.GetNameServers(&servers);
    EXPECT_EQ(servers, (std::vector<DWORD>{Net(203, 0, 113, 53)}));
}

// A client that runs when the service starts keeps its session; its end restores. A process
// list that cannot be read touches nothing.
TEST_F(WatchdogTest, AtStartARunningClientOrAnUnknownStateKeepsTheFile) {
    const auto defaultRoute = Row(0, 0, Net(203, 0, 113, 1), kEth);
    ASSERT_TRUE(WriteRouteTableFile(options.routeFile, {defaultRoute}));
    gui = 0;
    GuiWatchdog unknown(facilities, options);
    unknown.Begin();
    EXPECT_TRUE(Exists(options.routeFile));
    EXPECT_TRUE(routes.Rows().empty());
    gui = 1;
    GuiWatchdog watchdog(facilities, options);
    watchdog.Begin();
    EXPECT_TRUE(Exists(options.routeFile));
    EXPECT_TRUE(routes.Rows().empty());
    EXPECT_EQ(disconnects, 0);
    gui = 2;
    watchdog.Round();
    EXPECT_EQ(routes.Rows().size(), 1u);
    EXPECT_FALSE(Exists(options.routeFile));
    EXPECT_EQ(disconnects, 1);
}

TEST_F(WatchdogTest, RestoresOnlyOnTheChangeFromRunningToGone) {
    ASSERT_TRUE(WriteRouteTableFile(options.routeFile, {Row(0, 0, Net(203, 0, 113, 1), kEth)}));
    GuiWatchdog watchdog(facilities, options);
    watchdog.Round();  // never seen running
    gui = 0;           // the process list could not be read: the last state stays
    watchdog.Round();
    EXPECT_TRUE(routes.Rows().empty());
    gui = 1;
    watchdog.Round();
    gui = 0;
    watchdog.Round();
    gui = 2;
    watchdog.Round();
    EXPECT_EQ(routes.Rows().size(), 1u);
    EXPECT_EQ(disconnects, 1);
}

TEST_F(WatchdogTest, SavedDefaultRouteStaysOutWhileAnotherRealOneExists) {
    ASSERT_TRUE(WriteRouteTableFile(options.routeFile, {Row(0, 0, Net(203, 0, 113, 1), kEth)}));
    routes.SetRows({Row(0, 0, Net(203, 0, 113, 254), 3)});
    GuiWatchdog watchdog(facilities, options);
    gui = 1;
    watchdog.Round();
    gui = 2;
    watchdog.Round();
    ASSERT_EQ(routes.Rows().size(), 1u);
    EXPECT_EQ(routes.Rows()[0].dwForwardNextHop, Net(203, 0, 113, 254));
}

// Without a usable route file no route is touched, but the client's name servers still go: a
// client that could not save its file (or one somebody damaged) must not leave pc's resolver.
TEST_F(WatchdogTest, MissingOrDamagedFileRestoresNoRouteButTheNameServers) {
    resolver.SetMachineServers({Net(203, 0, 113, 53)});
    resolver.SetNameServers("qel0", {Net(198, 18, 0, 53)});
    GuiWatchdog watchdog(facilities, options);
    gui = 1;
    watchdog.Round();
    gui = 2;
    watchdog.Round();  // no file
    EXPECT_EQ(disconnects, 0);
    std::vector<DWORD> servers;
    resolver.GetNameServers(&servers);
    EXPECT_EQ(servers, (std::vector<DWORD>{Net(203, 0, 113, 53)}));

    resolver.SetNameServers("qel0", {Net(198, 18, 0, 53)});
    std::string image = FormatRouteTableFile({Row(0, 0, Net(203, 0, 113, 1), kEth)});
    WriteBytes(options.routeFile, image.substr(0, image.size() - 10));  // length word says more than follows
    gui = 1;
    watchdog.Round();
    gui = 2;
    watchdog.Round();
    EXPECT_TRUE(routes.Rows().empty());
    EXPECT_TRUE(Exists(options.routeFile));  // the file stays
    EXPECT_EQ(disconnects, 0);
    EXPECT_EQ(watchdog.Previous(), 2);
    resolver.GetNameServers(&servers);
    EXPECT_EQ(servers, (std::vector<DWORD>{Net(203, 0, 113, 53)}));
}

TEST_F(WatchdogTest, ThreadStopsPromptlyBetweenRounds) {
    options.timing.watchdogRoundMs = 60000;
    CheckGUIThread thread(facilities, options);
    ASSERT_NE(thread.Create(0), 0u);
    thread.Resume();
    const auto start = std::chrono::steady_clock::now();
    thread.Terminate();
    while (!thread.IsTerminated() && std::chrono::steady_clock::now() - start < std::chrono::seconds(5)) {
        std::this_thread::yield();
    }
    EXPECT_TRUE(thread.IsTerminated()) << "the watchdog thread did not end within 5 s of Terminate";
}

// The rounds come on the watchdog's clock, one per round's length; none before.
TEST_F(WatchdogTest, RoundsComeOnItsClock) {
    platform::fake::ManualClock clock;
    options.clock = &clock;
    std::atomic<int> looks{0};
    options.checkGui = [&] { return ++looks, 2; };
    CheckGUIThread thread(facilities, options);
    ASSERT_NE(thread.Create(0), 0u);
    thread.Resume();
    ASSERT_TRUE(clock.WaitForWaiters(1)) << "the watchdog never waited on its clock";
    EXPECT_EQ(looks.load(), 1) << "the start looks once, at once";
    clock.Advance(options.timing.watchdogRoundMs - 1);
    ASSERT_TRUE(clock.WaitForWaiters(1));
    EXPECT_EQ(looks.load(), 1) << "a round came before its time";
    clock.Advance(1);
    EXPECT_TRUE(testsupport::WaitFor("the first round", [&] { return looks.load() == 2; }));
    ASSERT_TRUE(clock.WaitForWaiters(1));
    clock.Advance(options.timing.watchdogRoundMs);
    EXPECT_TRUE(testsupport::WaitFor("the second round", [&] { return looks.load() == 3; }));
    thread.Terminate();
    EXPECT_TRUE(
        testsupport::WaitFor("the watchdog thread to end", [&] { return thread.IsTerminated() != 0; }));
}

// A client found by its process is waited on: its end brings the restore at once, with no round
// on the clock in between; a stop request ends such a wait too.
TEST_F(WatchdogTest, AClientKnownByItsProcessIsWatchedAndItsEndRestoresAtOnce) {
    platform::fake::ManualClock clock;
    options.clock = &clock;
    options.checkGui = nullptr;
    std::atomic<int> restores{0};
    options.mediaDisconnect = [&] { return ++restores, 1u; };
    auto spawnSleeper = [] {
        pid_t pid = -1;
        char* argv[] = {const_cast<char*>("sleep"), const_cast<char*>("600"), nullptr};
        return posix_spawnp(&pid, "sleep", nullptr, nullptr, argv, environ) == 0 ? pid : -1;
    };
    std::atomic<pid_t> client{spawnSleeper()};
    ASSERT_GT(client.load(), 0);
    std::atomic<int> looks{0};
    options.findGui = [&](pid_t* pid) {
        ++looks;
        if (client.load() <= 0) return 2;
        *pid = client.load();
        return 1;
    };
    CheckGUIThread thread(facilities, options);
    ASSERT_NE(thread.Create(0), 0u);
    thread.Resume();
    // The look at the start finds it already.
    ASSERT_TRUE(
        testsupport::WaitFor("the look that finds the client", [&] { return thread.Previous() == 1; }));
    ASSERT_TRUE(WriteRouteTableFile(options.routeFile, {Row(0, 0, Net(203, 0, 113, 1), kEth)}));
    // Killed but not yet reaped, so its pid cannot be taken by another process meanwhile.
    const pid_t first = client.exchange(0);
    ASSERT_EQ(::kill(first, SIGKILL), 0);
    EXPECT_TRUE(
        testsupport::WaitFor("the restore after the client's end", [&] { return restores.load() == 1; }));
    EXPECT_EQ(looks.load(), 2) << "one look to find the client, one after its end";
    EXPECT_FALSE(Exists(options.routeFile));
    ::waitpid(first, nullptr, 0);

    // Gone: the rounds come on the clock again, until one finds the next client.
    client = spawnSleeper();
    ASSERT_GT(client.load(), 0);
    ASSERT_TRUE(clock.WaitForWaiters(1));
    clock.Advance(options.timing.watchdogRoundMs);
    ASSERT_TRUE(
        testsupport::WaitFor("the round that finds the next client", [&] { return looks.load() == 3; }));
    thread.Terminate();
    EXPECT_TRUE(
        testsupport::WaitFor("the watchdog thread to end", [&] { return thread.IsTerminated() != 0; }));
    const pid_t second = client.exchange(0);
    ::kill(second, SIGKILL);
    ::waitpid(second, nullptr, 0);
}

// The client is looked for on this service's machine only: its machine root and its network
// namespace. Only processes of the client's name are asked about further.
TEST(ClientLookup, OnlyAClientOfThisMachineCounts) {
    struct Proc {
        pid_t pid;
        std::string name, root;
        std::uint64_t net;
    };
    std::vector<Proc> procs;
    std::vector<pid_t> asked;
    ClientProcessView view;
    view.list = [&] {
        std::vector<platform::ProcessEntry> list;
        for (const auto& p : procs) list.push_back({p.pid, 1, p.name, "/opt/qel/" + p.name, p.name});
        return list;
    };
    const auto find = [&](pid_t pid) -> const Proc* {
        for (const auto& p : procs) {
            if (p.pid == pid) return &p;
        }
        return nullptr;
    };
    view.machineRoot = [&](pid_t pid, std::string* root) {
        asked.push_back(pid);
        if (pid == 0) return *root = "/var/lib/qel-pc", true;
        const Proc* p = find(pid);
        if (p == nullptr || p->root.empty()) return false;
        *root = p->root;
        return true;
    };
    view.netNamespace = [&](pid_t pid, platform::NamespaceId* id) {
        const Proc* p = pid == 0 ? nullptr : find(pid);
        *id = {4, pid == 0 ? 4026531840u : p ? p->net : 0};
        return pid == 0 || p != nullptr;
    };
    procs = {{10, "bash", "/var/lib/qel-pc", 4026531840u}, {11, "Lunther", "/var/lib/qel-pc", 4026531840u}};
    EXPECT_EQ(CheckGUIExist("VornClient", view), 2);
    EXPECT_TRUE(asked.empty()) << "processes of other names were looked into";

    procs.push_back({20, "VornClient", "/var/lib/qel-gw", 4026531840u});      // another machine root
    procs.push_back({21, "vornclient.EXE", "/var/lib/qel-pc", 4026532999u});  // another namespace
    procs.push_back({22, "VornClient", "", 4026531840u});  // its environment cannot be read
    EXPECT_EQ(CheckGUIExist("VornClient", view), 2);
    EXPECT_EQ(asked, (std::vector<pid_t>{0, 20, 21, 22})) << "our own machine is read once a round";

    procs.push_back({23, "VornClient.exe", "/var/lib/qel-pc", 4026531840u});
    EXPECT_EQ(CheckGUIExist("VornClient", view), 1);
    procs.clear();
    EXPECT_EQ(CheckGUIExist("VornClient", view), 0) << "an empty list is one that could not be read";
}

// The same over the real /proc: a program of the watched name runs under another machine root, then
// under ours (written with a trailing slash).
TEST(ClientLookup, RealProcessesAreTakenByTheirMachineRoot) {
    testsupport::TempDir bin;
    const std::string program = bin.File("QelWatchProbe");
    ASSERT_EQ(testsupport::Run({"cp", "/bin/sleep", program}), 0);
    const auto start = [&](const std::string& root) {
        const std::string env = "QEL_ROOT=" + root;
        char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>("30"), nullptr};
        char* envp[] = {const_cast<char*>(env.c_str()), nullptr};
        pid_t pid = -1;
        EXPECT_EQ(posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, envp), 0);
        return pid;
    };
    const auto stop = [](pid_t pid) {
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
    };
    const pid_t other = start(bin.Path() + "/elsewhere");
    ASSERT_GT(other, 0);
    // Until its exec is through, a new process may show the program's name with no environment yet.
    std::string value;
    ASSERT_TRUE(testsupport::WaitFor("the probe to run its program with its environment", [&] {
        const auto list = platform::ListProcesses();
        return std::any_of(list.begin(), list.end(),
                           [&](const platform::ProcessEntry& e) {
                               return e.pid == other && e.name == "QelWatchProbe";
                           }) &&
               platform::ProcessEnvironmentValue(other, "QEL_ROOT", &value) && !value.empty();
    }));
    EXPECT_EQ(value, bin.Path() + "/elsewhere");
    EXPECT_EQ(CheckGUIExist("QelWatchProbe"), 2) << "a client of another machine root counted";
    EXPECT_TRUE(platform::ProcessEnvironmentValue(other, "HOME", &value));
    EXPECT_EQ(value, "") << "an entry the environment lacks";
    const pid_t ours = start(platform::MachineRoot() + "/");
    ASSERT_GT(ours, 0);
    EXPECT_TRUE(testsupport::WaitFor("a client of this machine to be seen",
                                     [&] { return CheckGUIExist("QelWatchProbe") == 1; }));
    stop(ours);
    stop(other);
    EXPECT_EQ(CheckGUIExist("QelWatchProbe"), 2);
    EXPECT_FALSE(platform::ProcessEnvironmentValue(ours, "QEL_ROOT", &value)) << "an ended process";
}

TEST(HardwareFingerprint, TextAndFallbacks) {
    HardwareFacts facts{"", "GenuineIntel:3219913727", "pc1", "00-00-00-00-00-00"};
    EXPECT_EQ(FormatHardwareFingerprint(facts),
              Md5Hex("+GenuineIntel:3219913727") + "|pc1|00-00-00-00-00-00");
    EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    // A drive's left padding is part of the serial the gateway registered.
    facts.diskSerial = SerialFieldText("  WD123  ");
    facts.cpuId = "GenuineIntel:1";
    EXPECT_EQ(FormatHardwareFingerprint(facts).substr(0, 32), "4120104929582687db4417453b862d83");
    facts.computerName = std::string(300, 'n');
    EXPECT_EQ(FormatHardwareFingerprint(facts).size(), kMaxHardwareIdLength);

    auto adapter = [](DWORD index, const char* name, std::array<BYTE, 8> mac) {
        platform::AdapterInfo a;
        a.index = index;
        a.name = name;
        a.mac = mac;
        a.macLength = 6;
        return a;
    };
    std::vector<platform::AdapterInfo> list = {adapter(1, "lo", {}),
                                               adapter(2, "Virtual0", {1, 2, 3, 4, 5, 6}),
                                               adapter(3, "qel0", {0, 0xff, 0xff, 0xff, 0, 0})};
    list[0].loopback = true;
    EXPECT_EQ(FirstEthernetMac(list), "00-00-00-00-00-00");
    // A bridge before the card (virbr0 made before eth0 came up) is no card.
    list.push_back(adapter(4, "virbr0", {0x52, 0x54, 0, 1, 2, 3}));
    list.back().virtualLink = true;
    list.push_back(adapter(5, "eth0", {0xAA, 0xbb, 0x0c, 1, 2, 3}));
    EXPECT_EQ(FirstEthernetMac(list), "aa-bb-0c-01-02-03");
    const std::string cpu = GetCPUId();
    EXPECT_NE(cpu.find(':'), std::string::npos);
}

}  // namespace
}  // namespace service
