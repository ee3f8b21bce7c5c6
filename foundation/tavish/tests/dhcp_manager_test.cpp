// TwDhcpManager with the machine's dhclient, in a network namespace of the test's own: no DHCP
// server answers there, so a renew fails by the client's own exit status (or the time bound).
#include "tavish/dhcp_manager.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include <dirent.h>

#include <fstream>
#include <sstream>

#include "testsupport/command.h"
#include "testsupport/netns.h"
#include "testsupport/temp_root.h"

namespace {

// Live (not zombie) processes whose command line mentions `text`.
int LiveProcessesMentioning(const std::string& text) {
    int count = 0;
    DIR* d = opendir("/proc");
    if (d == nullptr) return -1;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        std::ifstream cmd(std::string("/proc/") + e->d_name + "/cmdline");
        std::stringstream all;
        all << cmd.rdbuf();
        if (all.str().find(text) == std::string::npos) continue;
        std::ifstream stat(std::string("/proc/") + e->d_name + "/stat");
        std::string pid, comm, state;
        stat >> pid >> comm >> state;
        if (state != "Z") ++count;
    }
    closedir(d);
    return count;
}

class DhcpNetns : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::IsRoot()) GTEST_SKIP() << "needs root for a network namespace";
        if (access("/usr/sbin/dhclient", X_OK) != 0 && access("/sbin/dhclient", X_OK) != 0) {
            GTEST_SKIP() << "dhclient is not installed";
        }
        m_ns = std::make_unique<testsupport::NetnsScope>();
        ASSERT_TRUE(m_ns->Ok());
        using testsupport::Run;
        // d0: no address (waits for a lease); s0: a static address only.
        ASSERT_EQ(Run({"ip", "link", "add", "d0", "type", "veth", "peer", "name", "s0"}), 0);
        ASSERT_EQ(Run({"ip", "addr", "add", "198.51.100.1/24", "dev", "s0"}), 0);
        ASSERT_EQ(Run({"ip", "link", "set", "d0", "up"}), 0);
        ASSERT_EQ(Run({"ip", "link", "set", "s0", "up"}), 0);
    }
    void TearDown() override { m_ns.reset(); }

    static DHCP_RELEASE_REQUEST Release(const char* name, DWORD all) {
        DHCP_RELEASE_REQUEST r{};
        r.dwAllAdapters = all;
        std::strncpy(r.rgAdapterName, name, sizeof(r.rgAdapterName) - 1);
        return r;
    }
    static DHCP_RENEW_REQUEST Renew(const char* name) {
        DHCP_RENEW_REQUEST r{};
        std::strncpy(r.rgAdapterName, name, sizeof(r.rgAdapterName) - 1);
        return r;
    }

    testsupport::TempRoot m_root{"tavish-test"};
    std::unique_ptr<testsupport::NetnsScope> m_ns;
};

TEST_F(DhcpNetns, RenewWithoutAServerFailsByTheClientsResultWithinTheBound) {
    TwDhcpManager manager(3000);
    DHCP_RENEW_REQUEST renew = Renew("D0");  // the name is matched without regard to case
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(manager.Renew(&renew), 1) << "the client started, but got no lease";
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
    EXPECT_EQ(LiveProcessesMentioning(m_root.Path() + "/run/dhcp/"), 0) << "a DHCP client was left running";
}

TEST_F(DhcpNetns, ReleaseRunsTheClientAndReportsItsStatus) {
    TwDhcpManager manager(10000);
    DHCP_RELEASE_REQUEST release = Release("d0", 0);
    EXPECT_EQ(manager.Release(&release), 0);
}

TEST_F(DhcpNetns, StaticMissingAndNullRequestsFail) {
    TwDhcpManager manager(3000);
    DHCP_RELEASE_REQUEST statik = Release("s0", 0);
    EXPECT_EQ(manager.Release(&statik), 1) << "s0 is not DHCP-enabled";
    DHCP_RELEASE_REQUEST missing = Release("nosuchif", 0);
    EXPECT_EQ(manager.Release(&missing), 1);
    DHCP_RENEW_REQUEST renewMissing = Renew("nosuchif");
    EXPECT_EQ(manager.Renew(&renewMissing), 1);
    DHCP_RENEW_REQUEST renewStatic = Renew("s0");
    EXPECT_EQ(manager.Renew(&renewStatic), 1);
    EXPECT_EQ(manager.Release(nullptr), 1);
    EXPECT_EQ(manager.Renew(nullptr), 1);
}

TEST_F(DhcpNetns, ReleaseOfAllAdaptersFailsWhenOneIsNotDhcpEnabled) {
    TwDhcpManager manager(10000);
    DHCP_RELEASE_REQUEST all = Release("", 1);
    EXPECT_EQ(manager.Release(&all), 1);
}

TEST_F(DhcpNetns, UnterminatedAdapterNameIsBounded) {
    TwDhcpManager manager(3000);
    DHCP_RELEASE_REQUEST r{};
    std::memset(r.rgAdapterName, 'x', sizeof(r.rgAdapterName));
    EXPECT_EQ(manager.Release(&r), 1);
}

}  // namespace
