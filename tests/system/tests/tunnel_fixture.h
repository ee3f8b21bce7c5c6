// The fixture of the tunnel's system tests: a rig per test, pc's state taken before the session and
// compared after it (every test ends with pc's routes, addresses and resolver as before), and the
// engine's timing profile shortened so that loss periods and relogon tries take milliseconds.
#pragma once
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <string>

#include "system/tunnel_rig.h"
#include "testsupport/command.h"
#include "testsupport/wait.h"

namespace systemtest {

// The engine's profile in the tests: a 100 ms timer, a keep-alive after 300 ms of silence, the
// tunnel lost after 1.5 s without word from the gateway, relogon tries 200 ms apart and network
// check rounds of 200 ms. Names are EngineTiming's fields.
constexpr unsigned kLossMs = 1500;
constexpr unsigned kTimerMs = 100;
constexpr const char* kTestTiming =
    "timerPeriodMs=100,keepAliveMs=300,lossMs=1500,relogonFastMs=200,relogonSlowMs=1000,"
    "netCheckRoundMs=200,adapterPollMs=50";
// Bound on a logon, the adapter's configuration included.
constexpr unsigned kOnlineMs = 30000;

class TunnelTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::IsRoot()) GTEST_SKIP() << "needs root for network namespaces";
        struct stat st {};
        const std::string client = testsupport::BinDir() + "/qel_engine_client";
        if (::stat(client.c_str(), &st) != 0)
            GTEST_SKIP() << client << " is not built yet (it comes with the connector): the tunnel's "
                         << "system tests wait for it";
    }

    void TearDown() override {
        if (!m_rig) return;
        // The logoff; pc must be as it was before the session.
        m_rig->Harness().StopProcess("client", SIGTERM, 20000);
        if (m_compareAfter) {
            // Exactly: a connected route moved aside comes back as the kernel's, protocol included.
            const PcSnapshot after = m_rig->Harness().TakePcSnapshot();
            EXPECT_TRUE(after == m_before)
                << m_before.Diff(after) << "(logs in " << m_rig->Harness().WorkDir() << ")";
        }
        m_rig.reset();
    }

    // The client as a desktop user runs it: an unprivileged member of qel, the service under pc's
    // service layer as scripts/install.sh sets it up. Root runs are the exception.
    static HarnessOptions MemberHarness() {
        HarnessOptions harness;
        harness.clientUser = true;
        harness.serviceLayer = true;
        return harness;
    }

    // Builds pc and gw with `gateway`, takes pc's state; false (with a failure) when it did not come up.
    ::testing::AssertionResult Bring(const GatewaySetup& gateway = {},
                                     const HarnessOptions& harness = MemberHarness()) {
        m_rig = std::make_unique<TunnelRig>(gateway, harness);
        std::string error;
        if (!m_rig->Start(&error)) return ::testing::AssertionFailure() << error;
        m_before = m_rig->Harness().TakePcSnapshot();
        m_beforeMainRoutes = m_rig->PcMainRoutes();
        return ::testing::AssertionSuccess();
    }

    // Starts the client with the test timing and waits for the session.
    ::testing::AssertionResult LogOn(ClientSetup client = {}) {
        if (client.timing.empty()) client.timing = kTestTiming;
        if (m_rig->StartClient(client) < 0) return ::testing::AssertionFailure() << "cannot start the client";
        std::string error;
        if (!m_rig->WaitOnline(kOnlineMs, &error))
            return ::testing::AssertionFailure() << error << "\n" << m_rig->ClientLog();
        return ::testing::AssertionSuccess();
    }

    // Waits until the one tunnel connection of the session is gone (closed or reset by the client).
    ::testing::AssertionResult ConnectionGone(const std::string& connection, int limitMs) {
        return testsupport::WaitFor(
            "the tunnel connection " + connection + " to close",
            [&] {
                for (const auto& c : m_rig->TunnelConnections()) {
                    if (c == connection) return false;
                }
                return true;
            },
            limitMs);
    }

    // Waits until the client program ended by itself after losing its session: it prints
    // "client: done (N)" once its logoff and its threads are through. (3 when it had reported the
    // session online, 2 when the session went before it had.)
    ::testing::AssertionResult SessionEndedByItself(int limitMs = 20000) {
        const bool done = testsupport::WaitFor(
            "the client to end after its lost session",
            [&] {
                return m_rig->ClientLog().find("client: done (") != std::string::npos &&
                       !m_rig->Harness().Alive("client");
            },
            limitMs);
        return done ? ::testing::AssertionSuccess()
                    : ::testing::AssertionFailure() << "the client still runs";
    }

    std::string OnlyConnection() const {
        const auto all = m_rig->TunnelConnections();
        return all.size() == 1 ? all.front() : "";
    }

    std::unique_ptr<TunnelRig> m_rig;
    PcSnapshot m_before;
    std::string m_beforeMainRoutes;
    bool m_compareAfter = true;
};

}  // namespace systemtest
