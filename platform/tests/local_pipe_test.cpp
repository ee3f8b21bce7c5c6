#include "platform/local_pipe.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "platform/fd_passing.h"
#include "platform/process.h"
#include "testsupport/as_user.h"
#include "testsupport/temp_dir.h"
#include "testsupport/wait.h"

namespace {

using platform::LocalPipeClient;
using platform::LocalPipeLimits;
using platform::LocalPipeServer;
using platform::PeerCredentials;
using platform::PeerPolicy;
using platform::PipeReply;
using platform::PipeRequest;
using platform::UniqueFd;

// Echoes each request; an oversized one is answered "too big", a passed descriptor goes back.
class EchoHandler : public LocalPipeServer::Handler {
public:
    void OnRequest(PipeRequest& request, PipeReply* reply) override {
        if (request.oversized) {
            ++oversized;
            const std::string text = "too big";
            reply->data.assign(text.begin(), text.end());
            return;
        }
        ++requests;
        reply->data = request.data;
        reply->fd = request.fd.Get();
    }
    void OnDisconnect(std::uint64_t) override { ++disconnects; }
    std::atomic<int> requests{0}, oversized{0}, disconnects{0};
};

std::string Exchange(LocalPipeClient& client, const std::string& text, int timeoutMs = 5000) {
    if (!client.Send(text.data(), text.size())) return "<send failed>";
    std::vector<std::uint8_t> reply;
    bool closed = false;
    if (!client.Receive(4096, timeoutMs, &reply, nullptr, &closed)) return "<receive failed>";
    if (closed) return "<closed>";
    return std::string(reply.begin(), reply.end());
}

// A connection from `uid` (with `groups`) in a child; 0 when its request was answered, 1 when
// it was refused (connect failed or closed unanswered).
int TryAs(uid_t uid, gid_t gid, const std::vector<gid_t>& groups, const std::string& path) {
    return testsupport::RunAsUser(uid, gid, groups, [&] {
        LocalPipeClient c = LocalPipeClient::Connect(path);
        if (!c.Connected()) return 1;
        return Exchange(c, "hello", 3000) == "hello" ? 0 : 1;
    });
}

std::size_t OpenDescriptors() {
    std::size_t n = 0;
    DIR* d = ::opendir("/proc/self/fd");
    while (d != nullptr && ::readdir(d) != nullptr) ++n;
    if (d != nullptr) ::closedir(d);
    return n;
}

class LocalPipeTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Others must be able to reach the socket for the policy (not the folder) to decide.
        ::chmod(m_dir.Path().c_str(), 0755);
        m_path = m_dir.Path() + "/pipe";
    }
    testsupport::TempDir m_dir{"qel-pipe"};
    std::string m_path;
    EchoHandler m_handler;
};

TEST_F(LocalPipeTest, MessagesAndDescriptorsRoundTripWithinTheBound) {
    LocalPipeLimits limits;
    limits.maxMessage = 100;
    LocalPipeServer server(m_handler, PeerPolicy::Anyone(), limits);
    ASSERT_TRUE(server.Start(m_path));
    LocalPipeClient client = LocalPipeClient::Connect(m_path);
    ASSERT_TRUE(client.Connected());
    EXPECT_EQ(Exchange(client, std::string(100, 'a')), std::string(100, 'a'));
    // One byte over is refused whole, and the connection still serves.
    EXPECT_EQ(Exchange(client, std::string(101, 'b')), "too big");
    EXPECT_EQ(Exchange(client, std::string(70000, 'c')), "too big");
    EXPECT_EQ(m_handler.oversized.load(), 2);
    EXPECT_EQ(Exchange(client, "x"), "x");

    UniqueFd ev(::eventfd(7, EFD_CLOEXEC));
    ASSERT_TRUE(client.Send("fd", 2, ev.Get()));
    std::vector<std::uint8_t> reply;
    UniqueFd back;
    bool closed = false;
    ASSERT_TRUE(client.Receive(100, 5000, &reply, &back, &closed));
    ASSERT_TRUE(back.Valid());
    std::uint64_t v = 0;
    ASSERT_EQ(::read(back.Get(), &v, sizeof(v)), static_cast<ssize_t>(sizeof(v)));
    EXPECT_EQ(v, 7u);

    // The client bounds replies too: a longer one is refused, not cut.
    ASSERT_TRUE(client.Send(std::string(50, 'd').data(), 50));
    EXPECT_FALSE(client.Receive(10, 5000, &reply, nullptr, &closed));
    EXPECT_EQ(errno, EMSGSIZE);

    server.Stop();
    EXPECT_NE(Exchange(client, "after"), "after") << "nothing answers after stop";
    struct stat st {};
    EXPECT_NE(::stat(m_path.c_str(), &st), 0) << "the socket is removed at stop";
}

TEST(PeerPolicyTest, AdmitsByUidPrimaryGroupOrSupplementaryGroup) {
    const PeerCredentials root{1, 0, 0, {}};
    const PeerCredentials member{1, 1000, 1000, {5, 4242}};
    const PeerCredentials primary{1, 1001, 4242, {}};
    const PeerCredentials other{1, 1002, 1002, {5, 6}};
    const PeerPolicy group = PeerPolicy::RootOrGroup(4242);
    EXPECT_TRUE(group.Admits(root));
    EXPECT_TRUE(group.Admits(member));
    EXPECT_TRUE(group.Admits(primary));
    EXPECT_FALSE(group.Admits(other));
    EXPECT_TRUE(PeerPolicy::RootOnly().Admits(root));
    EXPECT_FALSE(PeerPolicy::RootOnly().Admits(member));
    EXPECT_TRUE(PeerPolicy::Anyone().Admits(other));
    bool found = true;
    const PeerPolicy missing = PeerPolicy::RootOrGroupNamed("qel-no-such-group-xyz", &found);
    EXPECT_FALSE(found);
    EXPECT_FALSE(missing.Admits(member)) << "an unknown group must not widen access";
    EXPECT_EQ(missing.SocketMode(), 0600u);
}

// A server whose socket file was replaced (another server bound the path) leaves that file alone
// when it stops: the other one stays reachable.
TEST_F(LocalPipeTest, StopRemovesOnlyTheSocketFileItBound) {
    LocalPipeServer first(m_handler, PeerPolicy::Anyone());
    ASSERT_TRUE(first.Start(m_path));
    EchoHandler otherHandler;
    LocalPipeServer second(otherHandler, PeerPolicy::Anyone());
    ASSERT_TRUE(second.Start(m_path));
    first.Stop();
    LocalPipeClient client = LocalPipeClient::Connect(m_path);
    ASSERT_TRUE(client.Connected()) << "the first server removed the second one's socket";
    EXPECT_EQ(Exchange(client, "still"), "still");
    EXPECT_EQ(otherHandler.requests.load(), 1);
    second.Stop();
    struct stat st {};
    EXPECT_NE(::lstat(m_path.c_str(), &st), 0) << "the second server left its socket";
}

TEST_F(LocalPipeTest, SocketFileModeAndGroupFollowThePolicy) {
    const gid_t group = ::getuid() == 0 ? 4242 : ::getgid();
    const std::pair<PeerPolicy, mode_t> cases[] = {
        {PeerPolicy::RootOnly(), 0600}, {PeerPolicy::RootOrGroup(group), 0660}, {PeerPolicy::Anyone(), 0666}};
    for (const auto& [policy, mode] : cases) {
        LocalPipeServer server(m_handler, policy);
        ASSERT_TRUE(server.Start(m_path));
        struct stat st {};
        ASSERT_EQ(::stat(m_path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode);
        if (mode == 0660) {
            EXPECT_EQ(st.st_gid, group);
        }
    }
}

TEST_F(LocalPipeTest, PeersOutsideThePolicyAreRefusedBeforeAnyRequest) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as other users";
    constexpr gid_t kGroup = 4242;
    LocalPipeServer server(m_handler, PeerPolicy::RootOrGroup(kGroup));
    ASSERT_TRUE(server.Start(m_path));
    EXPECT_EQ(TryAs(testsupport::kNobodyUid, testsupport::kNobodyGid, {kGroup}, m_path), 0) << "member";
    EXPECT_EQ(TryAs(testsupport::kNobodyUid, kGroup, {}, m_path), 0) << "member by primary group";
    EXPECT_EQ(TryAs(testsupport::kNobodyUid, testsupport::kNobodyGid, {}, m_path), 1) << "non-member";
    // With the file opened to everyone, the peer check alone still refuses.
    ASSERT_EQ(::chmod(m_path.c_str(), 0666), 0);
    const int requestsBefore = m_handler.requests.load();
    EXPECT_EQ(TryAs(testsupport::kNobodyUid, testsupport::kNobodyGid, {}, m_path), 1) << "non-member";
    EXPECT_EQ(m_handler.requests.load(), requestsBefore) << "no request of a refused peer is read";
    EXPECT_GT(server.RefusedConnections(), 0u);
    LocalPipeClient root = LocalPipeClient::Connect(m_path);
    EXPECT_EQ(Exchange(root, "root"), "root");

    LocalPipeServer rootOnly(m_handler, PeerPolicy::RootOnly());
    const std::string path2 = m_dir.Path() + "/rootonly";
    ASSERT_TRUE(rootOnly.Start(path2));
    ASSERT_EQ(::chmod(path2.c_str(), 0666), 0);
    EXPECT_EQ(TryAs(testsupport::kNobodyUid, kGroup, {kGroup}, path2), 1);
    LocalPipeClient root2 = LocalPipeClient::Connect(path2);
    EXPECT_EQ(Exchange(root2, "root"), "root");
}

TEST_F(LocalPipeTest, SilentConnectionsNeitherStallOthersNorStayForever) {
    // The answer must come long before the silent peer's time-out could have made room for it.
    LocalPipeLimits limits;
    limits.idleTimeoutMs = 4000;
    LocalPipeServer server(m_handler, PeerPolicy::Anyone(), limits);
    ASSERT_TRUE(server.Start(m_path));
    LocalPipeClient silent = LocalPipeClient::Connect(m_path);
    ASSERT_TRUE(silent.Connected());
    const auto start = std::chrono::steady_clock::now();
    LocalPipeClient busy = LocalPipeClient::Connect(m_path);
    EXPECT_EQ(Exchange(busy, "first", 3000), "first")
        << "answered while the silent peer holds its connection";
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3000));
    // The silent one is closed after the time-out.
    std::vector<std::uint8_t> got;
    bool closed = false;
    ASSERT_TRUE(silent.Receive(16, 20000, &got, nullptr, &closed)) << "waiting for the idle close";
    EXPECT_TRUE(closed);
}

TEST_F(LocalPipeTest, OneUsersConnectionsDoNotLockOutOthersOrRoot) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as other users";
    LocalPipeLimits limits;
    limits.maxPerUid = 8;
    limits.maxConnections = 32;
    LocalPipeServer server(m_handler, PeerPolicy::Anyone(), limits);
    ASSERT_TRUE(server.Start(m_path));
    int hold[2];
    ASSERT_EQ(::pipe2(hold, O_CLOEXEC), 0);
    UniqueFd holdRead(hold[0]), holdWrite(hold[1]);
    std::atomic<int> admitted{-2};
    // The attacker opens 80 connections and keeps them until released.
    std::thread attacker([&] {
        admitted = testsupport::RunAsUser(
            testsupport::kNobodyUid, testsupport::kNobodyGid, {},
            [&] {
                holdWrite.Reset();
                std::vector<LocalPipeClient> conns;
                int answered = 0;
                for (int i = 0; i < 80; ++i) {
                    conns.push_back(LocalPipeClient::Connect(m_path));
                    if (Exchange(conns.back(), "a", 2000) == "a") ++answered;
                }
                char c;
                (void)!::read(holdRead.Get(), &c, 1);  // held until the parent closes its end
                return answered;
            },
            30000);
    });
    ASSERT_TRUE(testsupport::WaitFor(
        "the attacker's connections", [&] { return server.OpenConnections() >= 8; }, 10000));
    EXPECT_EQ(TryAs(testsupport::kNobodyUid - 1, testsupport::kNobodyGid, {}, m_path), 0) << "another user";
    LocalPipeClient root = LocalPipeClient::Connect(m_path);
    EXPECT_EQ(Exchange(root, "root"), "root");
    holdWrite.Reset();
    attacker.join();
    EXPECT_EQ(admitted.load(), 8);
}

TEST_F(LocalPipeTest, RandomAndTruncatedTrafficLeavesTheServerWhole) {
    LocalPipeLimits limits;
    limits.maxMessage = 64;
    LocalPipeServer server(m_handler, PeerPolicy::Anyone(), limits);
    ASSERT_TRUE(server.Start(m_path));
    const std::size_t fdsBefore = OpenDescriptors();
    std::mt19937 rng(11);
    int expectOversized = 0;
    for (int round = 0; round < 60; ++round) {
        LocalPipeClient c = LocalPipeClient::Connect(m_path);
        ASSERT_TRUE(c.Connected());
        const int messages = static_cast<int>(rng() % 6);
        for (int i = 0; i < messages; ++i) {
            std::vector<std::uint8_t> msg(1 + rng() % 130);
            for (auto& b : msg) b = static_cast<std::uint8_t>(rng());
            UniqueFd extra(rng() % 4 == 0 ? ::eventfd(0, EFD_CLOEXEC) : -1);
            ASSERT_TRUE(c.Send(msg.data(), msg.size(), extra.Get()));
            if (rng() % 5 == 0) break;  // gone without reading the answer
            std::vector<std::uint8_t> reply;
            bool closed = false;
            ASSERT_TRUE(c.Receive(256, 5000, &reply, nullptr, &closed));
            if (msg.size() > 64) {
                ++expectOversized;
                EXPECT_EQ(std::string(reply.begin(), reply.end()), "too big");
            } else {
                EXPECT_EQ(reply, msg);
            }
        }
    }
    EXPECT_GE(m_handler.oversized.load(), expectOversized);
    ASSERT_TRUE(
        testsupport::WaitFor("every connection to close", [&] { return server.OpenConnections() == 0; }));
    EXPECT_EQ(OpenDescriptors(), fdsBefore) << "no passed or accepted descriptor is left open";
}

}  // namespace

namespace {

// Out of descriptors, the server cannot take a waiting peer from the backlog; it must pause its
// accepting rather than spin on the listener, and serve the peer once descriptors are free again.
// Runs in a child so that the descriptor limit and the exhaustion stay there.
int AcceptBackOffChild(const std::string& path) {
    rlimit limit{256, 256};
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return 10;
    EchoHandler handler;
    LocalPipeServer server(handler, PeerPolicy::RootOrSelf());
    if (!server.Start(path)) return 11;
    std::vector<UniqueFd> spare;
    for (int fd; (fd = ::dup(0)) >= 0;) spare.emplace_back(fd);
    if (errno != EMFILE || spare.empty()) return 12;
    spare.pop_back();
    LocalPipeClient waiting = LocalPipeClient::Connect(path);  // takes the one free descriptor
    if (!waiting.Connected()) return 13;
    if (!waiting.Send("hello", 5)) return 14;
    rusage before{}, after{};
    ::getrusage(RUSAGE_SELF, &before);
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(300)) {
        std::this_thread::sleep_for(
            std::chrono::milliseconds(50));  // the window the CPU time is measured over
    }
    ::getrusage(RUSAGE_SELF, &after);
    const long usedUs = (after.ru_utime.tv_sec - before.ru_utime.tv_sec) * 1000000L +
                        (after.ru_utime.tv_usec - before.ru_utime.tv_usec) +
                        (after.ru_stime.tv_sec - before.ru_stime.tv_sec) * 1000000L +
                        (after.ru_stime.tv_usec - before.ru_stime.tv_usec);
    spare.clear();
    std::vector<std::uint8_t> reply;
    bool closed = false;
    const bool served = waiting.Receive(4096, 5000, &reply, nullptr, &closed) && !closed;
    server.Stop();
    if (usedUs > 100000) return 15;  // spinning burns the whole window
    return served ? 0 : 16;
}

TEST(LocalPipeAccept, OutOfDescriptorsPausesInsteadOfSpinning) {
    testsupport::TempDir dir;
    const std::string path = dir.File("backoff");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) ::_exit(AcceptBackOffChild(path));
    int code = -1;
    ASSERT_EQ(platform::WaitProcess(child, 20000, &code), platform::kWaitObject0)
        << "the child did not end in 20 s";
    EXPECT_EQ(code, 0) << "10-14 set-up, 15 the accept loop spun, 16 the waiting peer was never served";
}

// Several descriptors travel in order with one message; beyond what the receiver keeps they are
// closed, and a plain one-descriptor receive still takes the first.
TEST(FdPassing, SeveralDescriptorsKeepTheirOrder) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv), 0);
    platform::UniqueFd a(sv[0]), b(sv[1]);
    platform::UniqueFd e1(eventfd(1, EFD_CLOEXEC)), e2(eventfd(2, EFD_CLOEXEC)), e3(eventfd(3, EFD_CLOEXEC));
    const int fds[3] = {e1.Get(), e2.Get(), e3.Get()};
    ASSERT_TRUE(platform::SendWithFds(a.Get(), "x", 1, fds, 3));
    char buf[4];
    int got[3] = {-1, -1, -1};
    ASSERT_EQ(platform::ReceiveWithFds(b.Get(), buf, sizeof buf, got, 3), 1);
    for (int i = 0; i < 3; ++i) {
        platform::UniqueFd owned(got[i]);
        std::uint64_t v = 0;
        ASSERT_EQ(read(got[i], &v, sizeof v), static_cast<ssize_t>(sizeof v));
        EXPECT_EQ(v, static_cast<std::uint64_t>(i + 1));
    }
    ASSERT_TRUE(platform::SendWithFds(a.Get(), "y", 1, fds, 3));
    int first = -1;
    ASSERT_EQ(platform::ReceiveWithFd(b.Get(), buf, sizeof buf, &first), 1);
    platform::UniqueFd owned(first);
    EXPECT_GE(first, 0);
    EXPECT_FALSE(platform::SendWithFds(a.Get(), "z", 1, fds, platform::kMaxPassedFds + 1));
}

}  // namespace
