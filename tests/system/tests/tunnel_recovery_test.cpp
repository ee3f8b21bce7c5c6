// What the session does when something under it goes away: the gateway killed and started again
// (the relogon with the same and with a different virtual address), a gateway that stops answering,
// a forced logoff, the virtual adapter deleted.
#include "tunnel_fixture.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <chrono>
#include <filesystem>
#include <cstring>
#include <thread>

#include "platform/filter_device.h"

namespace systemtest {
namespace {

using Clock = std::chrono::steady_clock;

// The gateway is killed under a live session and started again; the relogon brings the tunnel
// back by itself over a new connection.
void RestartGatewayUnder(TunnelRig& rig, const GatewaySetup& restarted) {
    const auto before = rig.TunnelConnections();
    ASSERT_EQ(before.size(), 1u);
    rig.Harness().StopProcess("gateway", SIGKILL);
    std::string error;
    ASSERT_TRUE(rig.RestartGateway(restarted, &error)) << error;
    ASSERT_TRUE(testsupport::WaitFor(
        "the relogon's new tunnel connection",
        [&] {
            const auto now = rig.TunnelConnections();
            return now.size() == 1 && now.front() != before.front() && rig.Online() &&
                   rig.VirtualAddress() == restarted.fixedIp;
        },
        kOnlineMs))
        << "address " << rig.VirtualAddress() << "\n"
        << rig.ClientLog();
}

TEST_F(TunnelTest, GatewayRestartedTunnelComesBackWithTheSameAddress) {
    ASSERT_TRUE(Bring());
    ASSERT_TRUE(LogOn());
    RestartGatewayUnder(*m_rig, GatewaySetup{});
    // The engine logs the outcome just after it reports the session online.
    EXPECT_TRUE(testsupport::WaitFor("the relogon's outcome in pc's log", [&] {
        return m_rig->PcLogContains("QEL_CLIENT_RELOGON_PASSWORD_OK_FINDIP");
    }));
    EXPECT_FALSE(m_rig->PcLogContains("QEL_CLIENT_RELOGON_PASSWORD_OK_NOT_FINDIP"));
    EXPECT_TRUE(testsupport::WaitFor("the resource route to go through the virtual adapter again",
                                     [&] { return m_rig->RouteDevice(kResourceAddress) == kTapName; }));
    std::string ping;
    EXPECT_EQ(m_rig->Ping(2, &ping), 0) << ping;
    EXPECT_TRUE(m_rig->EchoTransfer(1 << 20).ok);
}

// SHA-256 of the certificate in a PEM file, as the engine shows it; "" when unreadable.
std::string FingerprintOfPem(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) return {};
    X509* cert = PEM_read_X509(file, nullptr, nullptr, nullptr);
    std::fclose(file);
    if (cert == nullptr) return {};
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    const bool ok = X509_digest(cert, EVP_sha256(), md, &length) == 1;
    X509_free(cert);
    std::string text;
    for (unsigned int i = 0; ok && i < length; ++i) {
        char pair[4];
        std::snprintf(pair, sizeof pair, i == 0 ? "%02X" : ":%02X", md[i]);
        text += pair;
    }
    return text;
}

// The gateway's address comes back with a certificate of another key (an impostor there, or a
// gateway whose certificate changed): the engine driver program refuses it, naming the gateway
// and both fingerprints, and the session does not come back.
TEST_F(TunnelTest, GatewayBackWithAnotherCertificateIsRefused) {
    ASSERT_TRUE(Bring());
    ASSERT_TRUE(LogOn());
    const std::string state = m_rig->Harness().GwRoot() + "/gateway-state";
    const std::string trusted = FingerprintOfPem(state + "/server.pem");
    ASSERT_FALSE(trusted.empty());
    m_rig->Harness().StopProcess("gateway", SIGKILL);
    ASSERT_TRUE(std::filesystem::remove(state + "/server.pem"));  // the restart mints another
    std::string error;
    ASSERT_TRUE(m_rig->RestartGateway(GatewaySetup{}, &error)) << error;
    const std::string presented = FingerprintOfPem(state + "/server.pem");
    ASSERT_FALSE(presented.empty());
    ASSERT_NE(presented, trusted);

    ASSERT_TRUE(testsupport::WaitFor(
        "the client to refuse the changed certificate",
        [&] { return m_rig->ClientLog().find("The logon was refused") != std::string::npos; }, kOnlineMs))
        << m_rig->ClientLog();
    const std::string log = m_rig->ClientLog();
    const std::string gateway = std::string(kGwAddress) + ":" + std::to_string(kGatewayPort);
    for (const std::string& part : {gateway, trusted, presented, std::string("question (answered no)")})
        EXPECT_NE(log.find(part), std::string::npos) << part << " missing from\n" << log;
    std::size_t onlines = 0;
    for (std::size_t at = log.find("callback 0\n"); at != std::string::npos;
         at = log.find("callback 0\n", at + 1))
        ++onlines;
    EXPECT_EQ(onlines, 1u) << "the session came back over the changed certificate\n" << log;
}

TEST_F(TunnelTest, GatewayRestartedTunnelComesBackWithAnotherAddress) {
    ASSERT_TRUE(Bring());
    ASSERT_TRUE(LogOn());
    GatewaySetup moved;
    moved.fixedIp = "198.18.0.101";
    RestartGatewayUnder(*m_rig, moved);
    // The engine logs the outcome just after it reports the session online.
    EXPECT_TRUE(testsupport::WaitFor("the relogon's outcome in pc's log", [&] {
        return m_rig->PcLogContains("QEL_CLIENT_RELOGON_PASSWORD_OK_NOT_FINDIP");
    }));
    EXPECT_FALSE(m_rig->PcLogContains("QEL_CLIENT_RELOGON_PASSWORD_OK_FINDIP"));
    // The adapter holds the new address only, and the routes follow it.
    std::string addresses;
    m_rig->Harness().RunInPc({"ip", "-4", "-o", "addr", "show", "dev", kTapName}, &addresses);
    EXPECT_EQ(addresses.find(kFirstVirtualAddress), std::string::npos) << addresses;
    // The session is back before the relogon has put the resource routes in again.
    EXPECT_TRUE(testsupport::WaitFor("the resource route to go through the virtual adapter again",
                                     [&] { return m_rig->RouteDevice(kResourceAddress) == kTapName; }));
    std::string ping;
    EXPECT_EQ(m_rig->Ping(2, &ping), 0) << ping;
    EXPECT_TRUE(m_rig->EchoTransfer(1 << 20).ok);
}

TEST_F(TunnelTest, GatewayThatStopsAnsweringIsDetectedInOneLossPeriod) {
    ASSERT_TRUE(Bring());
    ASSERT_TRUE(LogOn());
    const std::string connection = OnlyConnection();
    ASSERT_FALSE(connection.empty());
    // Stopped, not killed: its kernel still holds the connection, only the answers cease.
    const pid_t gateway = m_rig->Harness().Pid("gateway");
    ASSERT_EQ(::kill(gateway, SIGSTOP), 0);
    const auto stopped = Clock::now();
    const bool gone = ConnectionGone(connection, static_cast<int>(3 * kLossMs));
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - stopped).count();
    ::kill(gateway, SIGCONT);
    // Noticed within two loss periods (a loaded machine delays the client's timer, never by a whole
    // period), and not before the gateway was silent for a good part of one.
    ASSERT_TRUE(gone) << "the loss was not noticed within " << 3 * kLossMs << " ms";
    EXPECT_LE(took, 2 * kLossMs) << "the loss took " << took << " ms to be noticed";
    EXPECT_GE(took, kLossMs / 2) << "the tunnel was dropped before a loss period passed";
}

TEST_F(TunnelTest, ForcedLogoffEndsTheSessionWithItsMessage) {
    GatewaySetup gateway;
    gateway.forcedLogoffAfter = 2;
    gateway.extra = {"forced_logoff_text = the administrator ended this session"};
    ASSERT_TRUE(Bring(gateway));
    ASSERT_TRUE(LogOn());
    std::string error;
    ASSERT_TRUE(m_rig->WaitOffline(10000, &error)) << error;
    EXPECT_TRUE(testsupport::WaitFor("the client to show the gateway's text", [&] {
        return m_rig->ClientLog().find("the administrator ended this session") != std::string::npos;
    })) << m_rig->ClientLog();
    // A forced logoff is final: the client ends by itself once no logon or relogon runs any more.
    EXPECT_TRUE(SessionEndedByItself()) << m_rig->ClientLog();
    EXPECT_TRUE(m_rig->TunnelConnections().empty());
    EXPECT_FALSE(m_rig->Online());
}

TEST_F(TunnelTest, DeletedAdapterUnderALiveSessionForcesTheLogoff) {
    ASSERT_TRUE(Bring());
    ASSERT_TRUE(LogOn());
    const std::string connection = OnlyConnection();
    ASSERT_EQ(m_rig->Harness().RunInPc({"ip", "link", "del", kTapName}), 0);
    EXPECT_TRUE(ConnectionGone(connection, 10000)) << m_rig->ClientLog();
    std::string error;
    EXPECT_TRUE(m_rig->WaitOffline(10000, &error)) << error;
    // The adapter's loss ends the session with a logoff of its own; the teardown's stop must come
    // after it, not in its middle.
    EXPECT_TRUE(SessionEndedByItself()) << m_rig->ClientLog();
    EXPECT_TRUE(testsupport::WaitFor("pc's routes as before", [&] {
        return m_rig->PcMainRoutes() == m_beforeMainRoutes;
    })) << m_rig->PcMainRoutes();
    // The user is told that the adapter is gone (language text 316).
    EXPECT_NE(m_rig->ClientLog().find("callback 5: #316"), std::string::npos) << m_rig->ClientLog();
}

// A machine that runs containers: 31 bridges made, listed by the driver and deleted, then the
// virtual adapter deleted and made again as the service's adapter restart makes it. A logon after
// that carries traffic (the adapter found an id, and its frames cross the ring).
TEST_F(TunnelTest, LinkChurnBeforeTheLogonLeavesTheTunnelWorking) {
    ASSERT_TRUE(Bring());
    auto dev = platform::FilterDevice::Open(m_rig->Harness().PcRoot() + "/run/ndisfilter");
    ASSERT_NE(dev, nullptr);
    auto listed = [&](const std::string& name, DWORD* count) {
        std::vector<std::uint8_t> buf(sizeof(TW_TCPIP_INTERFACE_LIST));
        DWORD returned = 0;
        if (!dev->DeviceIoControl(IOCTL_NDIS_FILTER_GET_TCPIP_INTERFACES, nullptr, 0, buf.data(),
                                  static_cast<DWORD>(buf.size()), &returned))
            return false;
        TW_TCPIP_INTERFACE_LIST list;
        std::memcpy(&list, buf.data(), sizeof(list));
        *count = list.count;
        for (DWORD i = 0; i < list.count && i < TW_MAX_BOUND_ADAPTERS; ++i) {
            if (name == list.entries[i].data.name) return true;
        }
        return false;
    };
    DWORD count = 0;
    DWORD before = 0;
    ASSERT_TRUE(testsupport::WaitFor("the adapter list", [&] { return !listed("", &before) && before > 0; }));
    for (int round = 0; round < 31; ++round) {
        const std::string name = "churnbr" + std::to_string(round);
        ASSERT_EQ(m_rig->Harness().RunInPc({"ip", "link", "add", name, "type", "bridge"}), 0);
        ASSERT_TRUE(testsupport::WaitFor("the bridge to be listed", [&] { return listed(name, &count); }));
        ASSERT_EQ(m_rig->Harness().RunInPc({"ip", "link", "del", name}), 0);
        ASSERT_TRUE(testsupport::WaitFor("the bridge to leave the list",
                                         [&] { return !listed(name, &count) && count == before; }));
    }
    const std::uint8_t mac[6] = {0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x00};
    TW_ADAPTER_BY_MAC a{};
    DWORD returned = 0;
    ASSERT_EQ(m_rig->Harness().RunInPc({"ip", "link", "del", kTapName}), 0);
    ASSERT_TRUE(testsupport::WaitFor("the adapter to be gone", [&] {
        return dev->DeviceIoControl(IOCTL_NDIS_FILTER_GET_ADAPTER, mac, 6, &a, 10, &returned) == FALSE;
    }));
    DWORD made = 0;
    ASSERT_TRUE(dev->DeviceIoControl(IOCTL_QEL_ENABLE_ADAPTER, nullptr, 0, &made, 4, &returned));
    ASSERT_TRUE(testsupport::WaitFor("the adapter made again to have an id", [&] {
        return dev->DeviceIoControl(IOCTL_NDIS_FILTER_GET_ADAPTER, mac, 6, &a, 10, &returned) == TRUE;
    }));
    dev.reset();
    // pc as it is now is what the session must leave behind.
    m_before = m_rig->Harness().TakePcSnapshot();
    m_beforeMainRoutes = m_rig->PcMainRoutes();

    ASSERT_TRUE(LogOn());
    std::string ping;
    EXPECT_EQ(m_rig->Ping(2, &ping), 0) << ping;
    EXPECT_TRUE(m_rig->EchoTransfer(1 << 20).ok);
}

}  // namespace
}  // namespace systemtest
