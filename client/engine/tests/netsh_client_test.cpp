// The engine's pipe client against the service's own pipe server: each reply's meaning, the
// hardware id, and a service that is not there.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <cstdio>
#include <thread>

#include "engine/netsh_client.h"
#include "platform/fake/manual_clock.h"
#include "platform/unique_fd.h"
#include "service/netshell_server.h"
#include "service/service_timing.h"
#include "testsupport/temp_dir.h"
#include "testsupport/temp_root.h"

namespace engine {
namespace {

class ScriptedOperations final : public service::NetshOperations {
public:
    void SetDisableDefRoute(DWORD, int) override {}
    void EnableAdapter(bool) override { ++enables; }
    int ChangeAdapteLevel() override { return 1; }
    std::string GetHardwareID() override { return "d41d8cd98f00b204e9800998ecf8427e|pc|52-54-00-01-02-03"; }
    void SetAutoExec() override {}
    void NotSetAutoExec() override {}
    void SetDnsByNetshCmd(const std::string&, const std::string&, DWORD) override {}
    service::SetIpResult SetIP(const std::string& a, const std::string&, const std::string&,
                               const std::string&) override {
        if (a == "198.18.0.66") return service::SetIpResult::kAddressFailed;
        if (a == "198.18.0.67") return service::SetIpResult::kDnsFailed;
        return service::SetIpResult::kDone;
    }
    void StartClient() override {}
    DWORD AddRoute(const service::RouteRecord& r) override { return added.push_back(r), 0; }
    DWORD DeleteRoute(const service::RouteRecord&) override { return 0; }
    DWORD SetRoute(const service::RouteRecord&) override { return 0; }
    void FlushNeighbours() override {}
    void FlushDns() override {}
    void ResetAdapterAddress() override {}
    void UseDhcpAddress(DWORD) override {}

    std::vector<service::RouteRecord> added;
    int enables = 0;
};

class NetshClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        options.path = dir.File("pipe");
        ASSERT_TRUE(server.Start(options.path));
    }
    testsupport::TempRoot root;
    testsupport::TempDir dir;
    ScriptedOperations ops;
    service::NetShellServiceThread server{ops, platform::PeerPolicy::RootOrSelf()};
    NetshClientOptions options;
};

TEST_F(NetshClientTest, RepliesAreClassified) {
    EXPECT_EQ(SendNetshCommand("SetIP 198.18.0.2 255.255.255.0 0 0", options), kNetshDone);
    EXPECT_EQ(SendNetshCommand("SetIP 198.18.0.66 255.255.255.0 0 0", options), kNetshSetIpFail);
    EXPECT_EQ(SendNetshCommand("SetIP 198.18.0.67 255.255.255.0 0 0", options), kNetshSetDnsFail);
    EXPECT_EQ(SendNetshCommand("GetHardwareID\n", options), kNetshDone);
    EXPECT_EQ(NetshHardwareId(), "d41d8cd98f00b204e9800998ecf8427e|pc|52-54-00-01-02-03");
    EXPECT_EQ(SendNetshCommand("short", options), kNetshFailed);  // the service hangs up without a reply
    EXPECT_EQ(SendNetshCommand(std::string(300, 'a'), options), kNetshFailed);
    EXPECT_EQ(SendNetshCommand("addroute 0 0 12 16843009 1 4\n", options), kNetshDone);
    ASSERT_EQ(ops.added.size(), 1u);
    EXPECT_EQ(ops.added[0].nextHop, 16843009u);
    const int restart = SendRestartAdapterCommand("RestartAdapter\n", options);
    EXPECT_TRUE(restart == kRestartReplyAtOnce || restart == kRestartReplyAfterWait) << restart;
    EXPECT_EQ(ops.enables, 2);
}

// Only a full backlog is waited out: with that wait at half a minute, a client that waited for an
// absent service is told from one that did not by a wide margin.
TEST_F(NetshClientTest, AbsentServiceFailsAtOnce) {
    NetshClientOptions absent;
    absent.path = dir.File("nobody");
    absent.connectWaitMs = 30000;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SendNetshCommand("GetHardwareID\n", absent), kNetshFailed);
    EXPECT_EQ(SendRestartAdapterCommand("RestartAdapter\n", absent), kRestartConnectFailed);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

// A service whose backlog is full is tried again after each pause on the client's clock, and
// reported busy (not absent) once the connect wait has passed on it.
TEST(NetshBusy, AFullBacklogIsRetriedOnTheClockUntilTheWaitEnds) {
    testsupport::TempDir dir;
    const std::string path = dir.File("busy");
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
    const auto* sa = reinterpret_cast<const sockaddr*>(&addr);
    // A listener that never accepts, its backlog of one taken.
    platform::UniqueFd listener(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    ASSERT_EQ(::bind(listener.Get(), sa, sizeof(addr)), 0);
    ASSERT_EQ(::listen(listener.Get(), 0), 0);
    platform::UniqueFd queued(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    ASSERT_EQ(::connect(queued.Get(), sa, sizeof(addr)), 0);

    platform::fake::ManualClock clock;
    NetshClientOptions options;
    options.path = path;
    options.clock = &clock;
    std::atomic<int> result{-1};
    std::thread sender([&] { result = SendRestartAdapterCommand("RestartAdapter\n", options); });
    for (int waited = 0; waited + options.connectRetryMs < options.connectWaitMs;
         waited += options.connectRetryMs) {
        ASSERT_TRUE(clock.WaitForWaiters(1)) << "the client did not pause between tries";
        EXPECT_EQ(result.load(), -1) << "gave up after " << waited << " ms";
        clock.Advance(static_cast<std::uint64_t>(options.connectRetryMs));
    }
    ASSERT_TRUE(clock.WaitForWaiters(1)) << "the client did not pause between tries";
    clock.Advance(static_cast<std::uint64_t>(options.connectRetryMs));
    sender.join();
    EXPECT_EQ(result.load(), kRestartPipeBusy);
}

// A service that reads the request and answers "netsh>" once `release` says so.
class OneReplyService {
public:
    explicit OneReplyService(const std::string& path) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
        m_listener = platform::UniqueFd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
        EXPECT_EQ(::bind(m_listener.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)), 0);
        EXPECT_EQ(::listen(m_listener.Get(), 1), 0);
        m_thread = std::thread([this] { Serve(); });
    }
    ~OneReplyService() {
        Release();
        m_thread.join();
    }
    void Release() {
        std::lock_guard<std::mutex> g(m_lock);
        m_released = true;
        m_cv.notify_all();
    }
    bool WaitReplied() {
        std::unique_lock<std::mutex> g(m_lock);
        return m_cv.wait_for(g, std::chrono::seconds(10), [&] { return m_replied; });
    }

private:
    void Serve() {
        platform::UniqueFd peer(::accept4(m_listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!peer.Valid()) return;
        char buf[512];
        for (int i = 0; i < 2; ++i) {
            if (::recv(peer.Get(), buf, sizeof buf, 0) <= 0) return;
        }
        std::unique_lock<std::mutex> g(m_lock);
        m_cv.wait(g, [&] { return m_released; });
        ::send(peer.Get(), "netsh>", 7, MSG_NOSIGNAL);
        m_replied = true;
        m_cv.notify_all();
    }

    platform::UniqueFd m_listener;
    std::mutex m_lock;
    std::condition_variable m_cv;
    bool m_released = false, m_replied = false;
    std::thread m_thread;
};

// The restart sender tells a reply that was there at its first look from one it waited for.
TEST(NetshRestart, AReplyAtOnceAndAReplyAfterWaitingGiveTheirOwnResults) {
    testsupport::TempDir dir;
    {
        NetshClientOptions options;
        options.path = dir.File("at-once");
        OneReplyService service(options.path);
        std::vector<bool> looks;
        options.restartReplyHook = [&](bool waiting) {
            looks.push_back(waiting);
            if (!waiting) {
                service.Release();
                ASSERT_TRUE(service.WaitReplied());
            }
        };
        EXPECT_EQ(SendRestartAdapterCommand("RestartAdapter\n", options), kRestartReplyAtOnce);
        EXPECT_EQ(looks, std::vector<bool>{false});
    }
    {
        NetshClientOptions options;
        options.path = dir.File("after-wait");
        OneReplyService service(options.path);
        std::vector<bool> looks;
        options.restartReplyHook = [&](bool waiting) {
            looks.push_back(waiting);
            if (waiting) service.Release();
        };
        EXPECT_EQ(SendRestartAdapterCommand("RestartAdapter\n", options), kRestartReplyAfterWait);
        EXPECT_EQ(looks, (std::vector<bool>{false, true}));
    }
}

// The service may retry SetIP for its limit plus one pause before it answers; the client waits longer.
TEST(NetshReplies, TheReplyWaitOutlastsSetIpsRetries) {
    const service::ServiceTiming service;
    EXPECT_GT(static_cast<DWORD>(NetshClientOptions{}.replyTimeoutMs),
              service.setIpLimitMs + service.setIpRetryMs);
}

TEST(NetshReplies, Classification) {
    EXPECT_EQ(ClassifyNetshReply(std::string("netsh>\0", 7)), kNetshDone);
    EXPECT_EQ(ClassifyNetshReply(std::string("NetshSetipFail>\0", 16)), kNetshSetIpFail);
    EXPECT_EQ(ClassifyNetshReply(std::string("NetshSetdnsFail>\0", 17)), kNetshSetDnsFail);
    EXPECT_EQ(ClassifyNetshReply(std::string(service::kReplyRouteFail)), kNetshRouteFail);
    EXPECT_EQ(ClassifyNetshReply(std::string("\0netsh>", 7)), kNetshFailed);
    EXPECT_EQ(ClassifyNetshReply("what?"), kNetshFailed);
    EXPECT_EQ(ClassifyNetshReply("HardwareId>" + std::string(300, 'x')), kNetshDone);
    EXPECT_EQ(NetshHardwareId().size(), 128u);
}

}  // namespace
}  // namespace engine
