// The harness itself: namespaces and daemons come up and serve, a snapshot sees a change and
// equals again once it is undone, and nothing is left after Stop, also when Start fails.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

#include "platform/unique_fd.h"
#include "system/system_harness.h"
#include "testsupport/command.h"

namespace systemtest {
namespace {

// Connects to address:port, sends `request` and reads until `expect` bytes came or the peer
// closed; what came back.
std::string Exchange(const char* address, int port, const std::string& request, std::size_t expect) {
    const platform::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    timeval tv{5, 0};
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, address, &sa.sin_addr);
    if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return "<no connection>";
    if (::send(fd.Get(), request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size()))
        return "<send failed>";
    std::string got;
    char buf[512];
    while (got.size() < expect) {
        const ssize_t n = ::recv(fd.Get(), buf, sizeof buf, 0);
        if (n <= 0) break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
}

bool NamespaceExists(const std::string& name) {
    std::string list;
    RunCapture({"ip", "netns", "list"}, &list);
    return list.find(name) != std::string::npos;
}

TEST(SystemHarness, BringsTheSuiteUpAndLeavesNothingBehind) {
    if (!testsupport::IsRoot()) GTEST_SKIP() << "needs root for network namespaces";
    std::string pcNs, gwNs;
    std::vector<pid_t> pids;
    {
        SystemHarness h;
        std::string error;
        ASSERT_TRUE(h.Start(&error)) << error;
        pcNs = h.PcNs();
        gwNs = h.GwNs();
        for (const char* name : {"resource", "tinyproxy", "olvane", "lunther"}) {
            EXPECT_TRUE(h.Alive(name)) << name;
            pids.push_back(h.Pid(name));
        }
        // pc reaches the resource host through gw, and the driver's adapter lives in pc.
        EXPECT_EQ(h.RunInPc({"ping", "-c", "1", "-W", "5", kResourceAddress}), 0);
        EXPECT_EQ(h.RunInPc({"ip", "link", "show", "qelmini0"}), 0);
        EXPECT_NE(h.RunInGw({"ip", "link", "show", "qelmini0"}), 0) << "the adapter leaked into gw";
        std::string echoed, proxied;
        h.RunInsidePc([&] {
            echoed = Exchange(kResourceAddress, kEchoPort, "hello", 5);
            proxied = Exchange(kGwAddress, kProxyPort,
                               std::string("CONNECT ") + kResourceAddress + ":7 HTTP/1.1\r\n\r\n", 12);
        });
        EXPECT_EQ(echoed, "hello");
        EXPECT_EQ(proxied.substr(0, 12), "HTTP/1.0 200") << proxied;

        const PcSnapshot before = h.TakePcSnapshot();
        EXPECT_EQ(before.resolver, kPcResolver);
        EXPECT_NE(before.routes.find("default via 198.51.100.1"), std::string::npos) << before.routes;
        ASSERT_EQ(h.RunInPc({"ip", "route", "add", "198.18.5.0/24", "via", kGwAddress}), 0);
        ASSERT_EQ(h.RunInPc({"ip", "addr", "add", "198.18.0.9/32", "dev", "lo"}), 0);
        std::ofstream(h.ResolverFile()) << "nameserver 198.18.0.1\n";
        const PcSnapshot during = h.TakePcSnapshot();
        EXPECT_NE(during.routes, before.routes);
        EXPECT_NE(during.addresses, before.addresses);
        EXPECT_NE(during.resolver, before.resolver);
        ASSERT_EQ(h.RunInPc({"ip", "route", "del", "198.18.5.0/24"}), 0);
        ASSERT_EQ(h.RunInPc({"ip", "addr", "del", "198.18.0.9/32", "dev", "lo"}), 0);
        std::ofstream(h.ResolverFile()) << kPcResolver;
        // IPv6 is part of the look too: an address, and a route alone, that a session leaves behind.
        ASSERT_EQ(h.RunInPc({"ip", "-6", "addr", "add", "2001:db8:5::9/128", "dev", "lo"}), 0);
        const PcSnapshot withAddress6 = h.TakePcSnapshot();
        EXPECT_NE(withAddress6.addresses, before.addresses);
        ASSERT_EQ(h.RunInPc({"ip", "-6", "addr", "del", "2001:db8:5::9/128", "dev", "lo"}), 0);
        ASSERT_EQ(h.RunInPc({"ip", "-6", "route", "add", "2001:db8:6::/64", "dev", "lo"}), 0);
        const PcSnapshot withRoute6 = h.TakePcSnapshot();
        EXPECT_NE(withRoute6.routes, before.routes);
        ASSERT_EQ(h.RunInPc({"ip", "-6", "route", "del", "2001:db8:6::/64", "dev", "lo"}), 0);
        const PcSnapshot after = h.TakePcSnapshot();
        EXPECT_TRUE(after == before) << before.Diff(after);
    }
    EXPECT_FALSE(NamespaceExists(pcNs));
    EXPECT_FALSE(NamespaceExists(gwNs));
    for (pid_t pid : pids) EXPECT_NE(::kill(pid, 0), 0) << "process " << pid << " outlived the harness";
}

TEST(SystemHarness, AFailedStartTearsDownWhatItBuilt) {
    if (!testsupport::IsRoot()) GTEST_SKIP() << "needs root for network namespaces";
    HarnessOptions options;
    options.binDir = "/nonexistent";  // no daemon can start
    SystemHarness h(options);
    std::string error;
    EXPECT_FALSE(h.Start(&error));
    EXPECT_NE(error.find("resource"), std::string::npos) << error;
    EXPECT_FALSE(NamespaceExists(h.PcNs()));
    EXPECT_FALSE(NamespaceExists(h.GwNs()));
}

TEST(SystemHarness, TheServiceLayerRunsTheServiceInPcAndTheTeardownRemovesIt) {
    if (!testsupport::IsRoot()) GTEST_SKIP() << "needs root for network namespaces";
    HarnessOptions options;
    options.proxy = false;
    options.resourceHost = false;
    options.serviceLayer = true;
    pid_t service = -1;
    std::string pcNs;
    {
        SystemHarness h(options);
        std::string error;
        ASSERT_TRUE(h.Start(&error)) << error;
        pcNs = h.PcNs();
        service = h.Pid("lunther");
        ASSERT_GT(service, 0);
        EXPECT_TRUE(h.Alive("lunther"));
        std::string pids;
        RunCapture({"ip", "netns", "pids", pcNs}, &pids);
        EXPECT_NE(pids.find(std::to_string(service) + "\n"), std::string::npos) << "the service is not in pc";
        std::string state;
        EXPECT_EQ(h.RunInPc({testsupport::BinDir() + "/qelsc", "query", "Lunther"}, &state,
                            {"QEL_ROOT=" + h.PcRoot()}, 10000),
                  0);
        EXPECT_NE(state.find("RUNNING"), std::string::npos) << state;
    }
    EXPECT_NE(::kill(service, 0), 0) << "the service outlived the harness";
    EXPECT_FALSE(NamespaceExists(pcNs));
}

TEST(SystemHarness, ACommandGetsItsEnvironmentAndEndsAtItsBound) {
    std::string out;
    EXPECT_EQ(RunCapture({"printenv", "QEL_HARNESS_PROBE"}, &out, {"QEL_HARNESS_PROBE=pc"}), 0);
    EXPECT_EQ(out, "pc\n");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RunCapture({"sleep", "30"}, &out, {}, 200), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_NE(out.find("did not end within 200 ms"), std::string::npos) << out;
}

}  // namespace
}  // namespace systemtest
