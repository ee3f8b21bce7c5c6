// The pipe command server over a real local pipe, and the service's start and stop around it.
#include <gtest/gtest.h>

#include <grp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include <signal.h>
#include <stdlib.h>

#include "platform/fake/fake_adapters.h"
#include "platform/fake/fake_link_control.h"
#include "platform/fake/fake_resolver.h"
#include "platform/fake/fake_route_table.h"
#include "platform/settings_store.h"
#include "service/lsp_proxy_service.h"
#include "testsupport/as_user.h"
#include "testsupport/temp_dir.h"
#include "testsupport/wait.h"

namespace service {
namespace {

struct Reply {
    bool connected = false;
    bool closed = false;
    std::string bytes;
};

// One request as the clients make it: code, command, then the reply or the hang-up.
Reply Request(const std::string& path, const std::string& command, bool withCode = true) {
    Reply r;
    auto client = platform::LocalPipeClient::Connect(path);
    if (!client.Connected()) return r;
    r.connected = true;
    std::uint8_t code[kAccessCodeSize];
    FillAccessCode(code);
    if (withCode) client.Send(code, sizeof(code));
    client.Send(command.data(), command.size());
    std::vector<std::uint8_t> message;
    platform::UniqueFd fd;
    if (client.Receive(kMaxReplySize, 10000, &message, &fd, &r.closed))
        r.bytes.assign(message.begin(), message.end());
    return r;
}

// Operations that only count, and can hold a SetIP until the test lets it go.
class GateOperations final : public NetshOperations {
public:
    void SetDisableDefRoute(DWORD, int) override {}
    void EnableAdapter(bool) override {}
    int ChangeAdapteLevel() override { return 1; }
    std::string GetHardwareID() override { return "id"; }
    void SetAutoExec() override {}
    void NotSetAutoExec() override {}
    void SetDnsByNetshCmd(const std::string&, const std::string&, DWORD) override {}
    SetIpResult SetIP(const std::string&, const std::string&, const std::string&,
                      const std::string&) override {
        std::unique_lock<std::mutex> g(lock);
        inSetIp = true;
        changed.notify_all();
        changed.wait(g, [this] { return release; });
        ++setIpDone;
        return SetIpResult::kDone;
    }
    void StartClient() override { ++starts; }
    DWORD AddRoute(const RouteRecord&) override { return 0; }
    DWORD DeleteRoute(const RouteRecord&) override { return 0; }
    DWORD SetRoute(const RouteRecord&) override { return 0; }
    void FlushNeighbours() override {}
    void FlushDns() override {}
    void ResetAdapterAddress() override {}
    void UseDhcpAddress(DWORD) override {}

    std::mutex lock;
    std::condition_variable changed;
    bool inSetIp = false, release = false;
    std::atomic<int> setIpDone{0}, starts{0};
};

TEST(NetshPipeServer, ServesRequestsAndRefusesOutsiders) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run a peer as another user";
    testsupport::TempDir dir;
    const std::string path = dir.File("pipe");
    GateOperations ops;
    NetShellServiceThread server(ops, platform::PeerPolicy::RootOnly());
    ASSERT_TRUE(server.Start(path));

    const Reply done = Request(path, "StartClient\n");
    EXPECT_EQ(done.bytes, std::string("netsh>\0", 7));
    EXPECT_EQ(Request(path, "GetHardwareID\n").bytes, "HardwareId>id");
    const Reply wrong = Request(path, "StartClient\n", false);  // the command stands where the code should
    EXPECT_TRUE(wrong.bytes.empty());
    EXPECT_TRUE(wrong.closed);
    const Reply tooLong = Request(path, "StartClient" + std::string(245, ' '));
    EXPECT_TRUE(tooLong.bytes.empty());
    EXPECT_TRUE(tooLong.closed);
    EXPECT_EQ(ops.starts.load(), 1);

    // A peer outside the policy is turned away before it is read.
    const int outsider = testsupport::RunAsUser(testsupport::kNobodyUid, testsupport::kNobodyGid, {}, [&] {
        auto client = platform::LocalPipeClient::Connect(path);
        if (!client.Connected()) return 0;  // the socket's mode already refuses it
        std::uint8_t code[kAccessCodeSize];
        FillAccessCode(code);
        client.Send(code, sizeof(code));
        client.Send("StartClient\n", 12);
        std::vector<std::uint8_t> m;
        platform::UniqueFd fd;
        bool closed = false;
        return client.Receive(kMaxReplySize, 5000, &m, &fd, &closed) && !m.empty() ? 1 : 0;
    });
    EXPECT_EQ(outsider, 0);
    EXPECT_EQ(ops.starts.load(), 1);
    server.Stop();
    EXPECT_FALSE(platform::LocalPipeClient::Connect(path).Connected());
}

// Who may use the pipe: root and the qel group unless the service's settings name another group
// or open it to everyone; a group that does not exist leaves root alone.
TEST(NetshPipePolicy, SettingsNameTheGroupOrOpenThePipe) {
    auto store = platform::SettingsStore::Machine();
    ASSERT_TRUE(store);
    store->DeleteValue(kServiceSettingsKey, "PipeAccess");
    store->DeleteValue(kServiceSettingsKey, "PipeGroup");
    const group* qel = ::getgrnam("qel");
    const bool haveQel = qel != nullptr;
    const gid_t qelGid = haveQel ? qel->gr_gid : 0;
    EXPECT_EQ(NetshPipePolicy().SocketMode(), haveQel ? 0660u : 0600u);
    if (haveQel) {
        EXPECT_EQ(NetshPipePolicy().SocketGroup(), qelGid);
    }

    const group* daemon = ::getgrnam("daemon");
    ASSERT_NE(daemon, nullptr);
    const gid_t daemonGid = daemon->gr_gid;
    ASSERT_EQ(store->SetString(kServiceSettingsKey, "PipeGroup", "daemon"), platform::kRegOk);
    EXPECT_EQ(NetshPipePolicy().SocketMode(), 0660u);
    EXPECT_EQ(NetshPipePolicy().SocketGroup(), daemonGid);
    ASSERT_EQ(store->SetString(kServiceSettingsKey, "PipeGroup", "no-such-group-here"), platform::kRegOk);
    EXPECT_EQ(NetshPipePolicy().SocketMode(), 0600u);
    ASSERT_EQ(store->SetString(kServiceSettingsKey, "PipeAccess", "everyone"), platform::kRegOk);
    EXPECT_EQ(NetshPipePolicy().SocketMode(), 0666u);
    ASSERT_EQ(store->SetString(kServiceSettingsKey, "PipeAccess", "Everyone;root"), platform::kRegOk);
    EXPECT_EQ(NetshPipePolicy().SocketMode(), 0600u) << "only the exact word widens the pipe";
    store->DeleteValue(kServiceSettingsKey, "PipeAccess");
    store->DeleteValue(kServiceSettingsKey, "PipeGroup");
}

TEST(NetshPipeServer, StopFinishesTheRequestInHand) {
    testsupport::TempDir dir;
    const std::string path = dir.File("pipe");
    GateOperations ops;
    NetShellServiceThread server(ops, platform::PeerPolicy::RootOrSelf());
    ASSERT_TRUE(server.Start(path));
    auto slow =
        std::async(std::launch::async, [&] { return Request(path, "SetIP 198.18.0.2 255.255.255.0 0 0\n"); });
    {
        std::unique_lock<std::mutex> g(ops.lock);
        ASSERT_TRUE(ops.changed.wait_for(g, std::chrono::seconds(10), [&] { return ops.inSetIp; }))
            << "SetIP did not reach the operations within 10 s";
    }
    auto stopping = std::async(std::launch::async, [&] { server.Stop(); });
    EXPECT_EQ(stopping.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    {
        std::lock_guard<std::mutex> g(ops.lock);
        ops.release = true;
    }
    ops.changed.notify_all();
    ASSERT_EQ(stopping.wait_for(std::chrono::seconds(10)), std::future_status::ready)
        << "Stop did not return";
    EXPECT_EQ(slow.get().bytes, std::string("netsh>\0", 7));
    EXPECT_EQ(ops.setIpDone.load(), 1);
}

// An HTTP control server that only notes its start and stop.
class RecordingServer final : public ControlServer {
public:
    RecordingServer(std::vector<std::string>& o, std::mutex& l) : m_order(o), m_lock(l) {}
    bool Start(std::uint16_t port) override { return Note("http start " + std::to_string(port)), true; }
    void Stop() override { Note("http stop"); }

private:
    void Note(const std::string& s) {
        std::lock_guard<std::mutex> g(m_lock);
        m_order.push_back(s);
    }
    std::vector<std::string>& m_order;
    std::mutex& m_lock;
};

class NullLauncher final : public ClientLauncher {
    bool Launch(const std::vector<std::string>&) override { return true; }
};

TEST(LuntherService, StartsAndStopsItsPartsInOrder) {
    testsupport::TempDir dir;
    platform::fake::FakeRouteTable routes;
    platform::fake::FakeAdapterList adapters;
    platform::fake::FakeAddressConfig addresses(adapters);
    platform::fake::FakeResolver resolver;
    platform::fake::FakeLinkControl links;
    LSPProxyServiceOptions options;
    options.facilities.network = {&routes, &adapters, &addresses, &resolver};
    options.facilities.links = &links;
    options.facilities.recreateAdapter = [] { return 0; };
    options.pipePath = dir.File("pipe");
    options.pipePolicy = platform::PeerPolicy::RootOrSelf();
    options.watchdog.routeFile = dir.File("SystemRouteTable.dat");
    options.watchdog.checkGui = [] { return 2; };
    options.watchdog.mediaDisconnect = [] { return 0u; };
    options.watchdog.gatewayAddress = [] { return 0u; };
    options.operations.hardwareId = [] { return std::string("fp"); };
    std::vector<std::string> order;
    std::mutex orderLock;
    options.makeControlServer = [&](ClientLauncher&) {
        return std::make_unique<RecordingServer>(order, orderLock);
    };
    NullLauncher launcher;
    options.launcher = &launcher;

    LSPProxyService service(options);
    service.InitializeService();
    EXPECT_TRUE(service.ControlServerRunning());
    EXPECT_TRUE(service.PipeRunning());
    EXPECT_TRUE(service.WatchdogRunning());
    EXPECT_EQ(Request(options.pipePath, "GetHardwareID\n").bytes, "HardwareId>fp");
    service.ProcessStop();
    EXPECT_FALSE(service.PipeRunning());
    EXPECT_FALSE(service.WatchdogRunning());
    EXPECT_EQ(order, (std::vector<std::string>{"http start 48088", "http stop"}));
    EXPECT_FALSE(Request(options.pipePath, "GetHardwareID\n").connected);
}

// The program as the init system runs it: under the service layer, stopped by SIGTERM while a slow
// SetIP is in hand. The HTTP server stops first; the watchdog keeps its rounds until the pipe has
// answered that SetIP whole; only then does the service end.
TEST(LuntherService, SigtermStopsInOrderAfterTheSetIpInHand) {
    testsupport::TempDir dir;
    platform::fake::FakeRouteTable routes;
    platform::fake::FakeAdapterList adapters;
    platform::fake::FakeAddressConfig addresses(adapters);
    platform::fake::FakeResolver resolver;
    platform::fake::FakeLinkControl links;
    GateOperations ops;
    NullLauncher launcher;
    std::vector<std::string> order;
    std::mutex orderLock;
    std::atomic<int> rounds{0};
    LSPProxyServiceOptions options;
    options.facilities.network = {&routes, &adapters, &addresses, &resolver};
    options.facilities.links = &links;
    options.commands = &ops;
    options.launcher = &launcher;
    options.pipePath = dir.File("pipe");
    options.pipePolicy = platform::PeerPolicy::RootOrSelf();
    options.timing.watchdogRoundMs = 5;
    options.watchdog.routeFile = dir.File("SystemRouteTable.dat");
    options.watchdog.checkGui = [&] { return ++rounds, 2; };
    options.watchdog.mediaDisconnect = [] { return 0u; };
    options.watchdog.gatewayAddress = [] { return 0u; };
    options.makeControlServer = [&](ClientLauncher&) {
        return std::make_unique<RecordingServer>(order, orderLock);
    };
    const std::string path = options.pipePath;
    auto stopped = [&] {
        std::lock_guard<std::mutex> g(orderLock);
        return std::find(order.begin(), order.end(), "http stop") != order.end();
    };

    ASSERT_EQ(::setenv("QEL_SERVICE_NAME", "Lunther", 1), 0);  // as the service layer starts it
    auto service = std::async(std::launch::async, [&] {
        char name[] = "Lunther";
        char* argv[] = {name, nullptr};
        return LuntherMain(1, argv, std::move(options));
    });
    ASSERT_TRUE(testsupport::WaitFor(
        "the pipe to serve", [&] { return Request(path, "GetHardwareID\n").bytes == "HardwareId>id"; }));
    auto slow =
        std::async(std::launch::async, [&] { return Request(path, "SetIP 198.18.0.2 255.255.255.0 0 0\n"); });
    {
        std::unique_lock<std::mutex> g(ops.lock);
        ASSERT_TRUE(ops.changed.wait_for(g, std::chrono::seconds(10), [&] { return ops.inSetIp; }))
            << "SetIP did not reach the operations within 10 s";
    }
    ASSERT_EQ(::raise(SIGTERM), 0);
    ASSERT_TRUE(testsupport::WaitFor("the HTTP server to stop first", stopped));
    const int seen = rounds.load();
    EXPECT_TRUE(testsupport::WaitFor("the watchdog to go on while the pipe finishes SetIP",
                                     [&] { return rounds.load() > seen + 1; }));
    EXPECT_EQ(service.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout)
        << "the service ended in the middle of a SetIP";
    {
        std::lock_guard<std::mutex> g(ops.lock);
        ops.release = true;
    }
    ops.changed.notify_all();
    EXPECT_EQ(slow.get().bytes, std::string("netsh>\0", 7));
    ASSERT_EQ(service.wait_for(std::chrono::seconds(10)), std::future_status::ready)
        << "the service did not end";
    EXPECT_EQ(service.get(), 0);
    ::unsetenv("QEL_SERVICE_NAME");
    EXPECT_EQ(ops.setIpDone.load(), 1);
    EXPECT_EQ(order, (std::vector<std::string>{"http start 48088", "http stop"}));
    EXPECT_FALSE(Request(path, "GetHardwareID\n").connected);
}

}  // namespace
}  // namespace service
