// The GUI client in the rig, as the demo runs it: the network service under pc's service layer, the
// client's settings saved in pc's store, VornClient offscreen logging on by itself, the tunnel
// used, the logoff asked for by a second start ("-exit"), the quit, and pc as it was before. Each
// case runs with the client as an unprivileged member of the client group (as a desktop user on a
// machine set up by scripts/install.sh) and as root.
#include <gtest/gtest.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "https_server.h"
#include "platform/client_settings.h"
#include "platform/process.h"
#include "platform/service_control.h"
#include "platform/settings_store.h"
#include "system/tunnel_rig.h"
#include "testsupport/command.h"
#include "testsupport/wait.h"

namespace systemtest {
namespace {

constexpr unsigned kOnlineMs = 30000;

class GuiSession : public ::testing::Test {
protected:
    virtual HarnessOptions Options() const = 0;
    void SetUp() override {
        if (!testsupport::IsRoot()) GTEST_SKIP() << "needs root for network namespaces";
        struct stat st {};
        const std::string client = testsupport::BinDir() + "/VornClient";
        if (::stat(client.c_str(), &st) != 0) GTEST_SKIP() << client << " is not built";
        m_rig = std::make_unique<TunnelRig>(GatewaySetup{}, Options());
        std::string error;
        ASSERT_TRUE(m_rig->Start(&error)) << error;
        m_before = m_rig->Harness().TakePcSnapshot();
    }
    void TearDown() override {
        if (m_rig) m_rig->Harness().StopProcess("client", SIGTERM, 20000);
        m_rig.reset();
    }

    ::testing::AssertionResult ClientSaid(const std::string& line, unsigned limitMs = kOnlineMs) {
        return testsupport::WaitFor(
            "the client to print \"" + line + "\" (see " + m_rig->Harness().WorkDir() + "/client.log)",
            [&] { return m_rig->ClientLog().find(line) != std::string::npos; }, static_cast<int>(limitMs));
    }

    // Logs on, checks what the session carries, logs off and quits through the client, and
    // compares pc with how it was.
    void RunSession(const ClientSetup& client) {
        ASSERT_GT(m_rig->StartClient(client), 0);
        std::string error;
        ASSERT_TRUE(m_rig->WaitOnline(kOnlineMs, &error)) << error << "\n" << m_rig->ClientLog();
        ASSERT_TRUE(ClientSaid("state: online"));
        EXPECT_EQ(ProcessUid(m_rig->Harness().Pid("client")),
                  static_cast<long>(m_rig->Harness().ClientUid()));
        // It found the service running (the service layer's status, readable without root) and
        // wrote its daily log into the group's folder.
        EXPECT_TRUE(m_rig->PcLogContains("[OnInitDialog] Lunther: 0")) << "see " << m_rig->Harness().PcRoot();
        std::string out;
        EXPECT_EQ(m_rig->Ping(3, &out), 0) << out;
        const Transfer echo = m_rig->EchoTransfer(1 << 20);
        EXPECT_TRUE(echo.ok) << echo.error;

        const std::string cmdline =
            ReadText("/proc/" + std::to_string(m_rig->Harness().Pid("client")) + "/cmdline");
        EXPECT_EQ(cmdline.find(kPassword), std::string::npos) << "the password is on the command line";

        ASSERT_TRUE(m_rig->GuiLogoff(client, &error)) << error;
        EXPECT_TRUE(m_rig->WaitOffline(kOnlineMs, &error)) << error;
        EXPECT_TRUE(ClientSaid("status: Logging off"));
        EXPECT_TRUE(m_rig->Harness().Alive("client")) << "the logoff ended the client";
        EXPECT_TRUE(m_rig->GuiQuit(kOnlineMs, &error)) << error;
        EXPECT_NE(m_rig->ClientLog().find("\nquit"), std::string::npos) << m_rig->ClientLog();
        EXPECT_EQ(m_rig->ClientLog().find(kPassword), std::string::npos) << "the password is in the output";
        EXPECT_FALSE(m_rig->PcLogContains(kPassword)) << "the password is in pc's daily log";

        const PcSnapshot after = m_rig->Harness().TakePcSnapshot();
        EXPECT_TRUE(after == m_before)
            << m_before.Diff(after) << "(logs in " << m_rig->Harness().WorkDir() << ")";
    }

    std::unique_ptr<TunnelRig> m_rig;
    PcSnapshot m_before;
};

class GuiTunnelTest : public GuiSession, public ::testing::WithParamInterface<bool> {
protected:
    HarnessOptions Options() const override {
        HarnessOptions harness;
        harness.serviceLayer = true;
        harness.clientUser = GetParam();
        return harness;
    }
};

// A machine set up by scripts/install.sh (the services registered and started in pc's machine
// root, the programs in a prefix, the user made a member of qel), and the user starting the
// installed GUI client.
class InstalledGuiTest : public GuiSession {
protected:
    HarnessOptions Options() const override {
        HarnessOptions harness;
        harness.clientUser = true;
        harness.installScript = std::string(QEL_SOURCE_DIR) + "/scripts/install.sh";
        return harness;
    }
};

TEST_F(InstalledGuiTest, AMemberOfTheGroupLogsOnThroughTheInstalledClient) {
    ClientSetup client;
    client.gui = true;
    client.program = m_rig->Harness().InstalledPrefix() + "/VornClient";
    RunSession(client);
    EXPECT_TRUE(m_rig->PcLogContains("[OnInitDialog] Lunther: 0, QelMini: 0"))
        << "the installed client did not see both services run";
}

// After an update the update program starts the network service again through the service layer
// (here its start without arguments, which only does that), from an environment that names no
// client group. The service layer's monitor, a fork of the update program that never execs, lives
// on beside the service; the member's client must still log on, not take it for an update in
// progress.
TEST_F(InstalledGuiTest, AfterTheUpdateProgramRestartedTheServiceAMemberLogsOn) {
    SystemHarness& harness = m_rig->Harness();
    const std::string prefix = harness.InstalledPrefix();
    const std::vector<std::string> env = {"QEL_ROOT=" + harness.PcRoot()};
    std::string out;
    ASSERT_EQ(harness.RunInPc({prefix + "/qelsc", "stop", "Lunther"}, &out, env, 60000), 0) << out;
    ASSERT_EQ(harness.RunInPc({"env", "-u", "QEL_GROUP", "QT_QPA_PLATFORM=offscreen", prefix + "/Quistral"},
                              &out, env, 60000),
              0)
        << out;
    ASSERT_TRUE(testsupport::WaitFor(
        "Lunther to run again",
        [&] {
            return harness.RunInPc({prefix + "/qelsc", "query", "Lunther"}, &out, env, 10000) == 0 &&
                   out.find("RUNNING") != std::string::npos;
        },
        30000));
    ClientSetup client;
    client.gui = true;
    client.program = prefix + "/VornClient";
    RunSession(client);
    EXPECT_FALSE(m_rig->PcLogContains("an update program runs")) << "the logon was held back";
}

// The programs of `program` that run now (their executable, as /proc shows it), with their owners.
std::vector<std::pair<pid_t, long>> ProcessesOf(const std::string& program) {
    std::vector<std::pair<pid_t, long>> out;
    std::error_code ec;
    const std::filesystem::path wanted = std::filesystem::weakly_canonical(program, ec);
    for (const platform::ProcessEntry& p : platform::ListProcesses())
        if (!p.path.empty() && std::filesystem::path(p.path) == wanted)
            out.emplace_back(p.pid, ProcessUid(p.pid));
    return out;
}

// An update applied on the installed machine as a user meets it: the update program's check
// (started by root with a token) finds a newer version on the update server (nginx in pc, trusted
// through root's folder), asks, downloads the package, stops both services, replaces their
// programs and starts them again through the service layer, whose monitors of the restarted
// services are forks of the update program that outlive it. The client the update program starts
// again (as root, it started the update) is ended; the member's installed client then logs on.
TEST_F(InstalledGuiTest, AfterAnUpdateAppliedByTheUpdateProgramAMemberLogsOn) {
    if (!std::filesystem::exists("/usr/sbin/nginx")) GTEST_SKIP() << "nginx is not installed";
    SystemHarness& harness = m_rig->Harness();
    const std::string prefix = harness.InstalledPrefix();
    // The installed update program's code with the test's answers to its question and its Close.
    std::error_code ec;
    ASSERT_TRUE(std::filesystem::copy_file(testsupport::BinDir() + "/quistral_unattended",
                                           prefix + "/Quistral",
                                           std::filesystem::copy_options::overwrite_existing, ec))
        << ec.message();
    std::unique_ptr<updatetest::HttpsServer> server;
    ASSERT_TRUE(harness.RunInsidePc([&] { server = std::make_unique<updatetest::HttpsServer>(); }));
    ASSERT_TRUE(server && server->Ok()) << (server ? server->ErrorLog() : std::string());
    server->Put(
        "/download/sslvpn/default/ClientUpdateList.txt",
        "[UpdateInfo]\r\nVersion=9.0.0.0\r\nMinVersion=1.0.0.0\r\nVersionDescript=New\r\n"
        "ForceUpdate=no\r\nNeedReboot=no\r\nNeedUninstall=no\r\nUpdatePackURL=/download/UpdatePack.dat\r\n"
        "UpdateAddr=localhost\r\nUpdatePort=" +
            std::to_string(server->Port()) +
            "\r\n[AppList]\r\nnote.txt=%app%\\note.txt\r\n[DrvList]\r\nOlvane=%app%\\Olvane\r\n"
            "[SrvList]\r\nLunther=%app%\\Lunther\r\n");
    server->Put("/download/UpdatePack.dat",
                updatetest::UpdatePack({{"note.txt", "9.0.0.0"},
                                        {"Olvane", ReadText(prefix + "/Olvane")},
                                        {"Lunther", ReadText(prefix + "/Lunther")}}));
    std::filesystem::create_directories(prefix + "/trusted", ec);
    { std::ofstream(prefix + "/trusted/update-ca.pem") << server->CaPem(); }
    std::vector<DWORD> services;
    {
        const ScopedMachineRoot pcRoot(harness.PcRoot());
        const std::shared_ptr<platform::SettingsStore> store = platform::SettingsStore::Machine();
        const std::string key = "Software\\Morvane\\QelClient";
        ASSERT_EQ(store->SetString(key, platform::client_settings::kUpdateServerAddr, "localhost"),
                  platform::kRegOk);
        ASSERT_EQ(store->SetDword(key, platform::client_settings::kUpdateServerPort, server->Port()),
                  platform::kRegOk);
        for (const char* name : {"QelMini", "Lunther"})
            services.push_back(platform::GetServiceProcessId(name));
    }

    // Root's client, which the update program starts again, never outlives the test (the uninstall
    // would refuse to run beside it).
    struct EndRootsClient {
        std::string program;
        ~EndRootsClient() {
            for (const auto& [pid, uid] : ProcessesOf(program))
                if (uid == 0) ::kill(pid, SIGTERM);
            testsupport::WaitFor(
                "root's client to quit",
                [&] {
                    for (const auto& [pid, uid] : ProcessesOf(program))
                        if (uid == 0) return false;
                    return true;
                },
                30000);
        }
    } endRootsClient{prefix + "/VornClient"};
    const std::string runtime = harness.PcRoot() + "/run/root-runtime";
    ASSERT_EQ(::mkdir(runtime.c_str(), 0700), 0);
    // Its output goes to a file: the client it starts again keeps its standard streams.
    ASSERT_GT(harness.StartInPc("update", {prefix + "/Quistral", "CheckClient", "token"},
                                {"QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR=" + runtime}),
              0);
    ASSERT_TRUE(testsupport::WaitFor(
        "the update program to end", [&] { return !harness.Alive("update"); }, 120000));
    const std::string out = ReadText(harness.WorkDir() + "/update.log");
    EXPECT_NE(out.find("result: ok Click on close button, the client program will run automatically."),
              std::string::npos)
        << out;
    EXPECT_EQ(ReadText(prefix + "/note.txt"), "9.0.0.0") << "the package was not applied";
    {
        const ScopedMachineRoot pcRoot(harness.PcRoot());
        std::string version;
        platform::SettingsStore::Machine()->GetString("Software\\Morvane\\QelClient",
                                                      platform::client_settings::kVersion, &version);
        EXPECT_EQ(version, "9.0.0.0");
        for (std::size_t i = 0; i < services.size(); ++i) {
            const DWORD now = platform::GetServiceProcessId(i == 0 ? "QelMini" : "Lunther");
            EXPECT_NE(now, 0u) << "a service is not running after the update";
            EXPECT_NE(now, services[i]) << "a service was not restarted by the update";
        }
    }
    // What held the logon back: processes of the update program's file outlive it.
    EXPECT_FALSE(ProcessesOf(prefix + "/Quistral").empty()) << "no monitor forked from the update program";
    // The client the update program started again, root's: ended before the member logs on.
    std::vector<std::pair<pid_t, long>> restarted;
    ASSERT_TRUE(testsupport::WaitFor(
        "the update program to start the client again",
        [&] { return !(restarted = ProcessesOf(prefix + "/VornClient")).empty(); }, 30000));
    for (const auto& [pid, uid] : restarted) {
        EXPECT_EQ(uid, 0);
        ASSERT_EQ(::kill(pid, SIGTERM), 0);
    }
    ASSERT_TRUE(testsupport::WaitFor(
        "root's client to quit", [&] { return ProcessesOf(prefix + "/VornClient").empty(); }, 30000));

    ClientSetup client;
    client.gui = true;
    client.program = prefix + "/VornClient";
    RunSession(client);
    EXPECT_FALSE(m_rig->PcLogContains("an update program runs")) << "the logon was held back";
}

// What the client writes for its user goes where that user can write it, its own place: after two
// logons the gateway history lists the gateway (none is written into root's install folder), and
// a client killed by SIGSEGV leaves its report there and is told about at the next start.
TEST_F(InstalledGuiTest, AMembersHistoryAndCrashReportAreKeptInItsOwnPlace) {
    ClientSetup client;
    client.gui = true;
    client.program = m_rig->Harness().InstalledPrefix() + "/VornClient";
    const std::string place = m_rig->Harness().ClientPlace();
    std::string error;
    for (int logon = 0; logon < 2; ++logon) {
        ASSERT_GT(m_rig->StartClient(client), 0);
        ASSERT_TRUE(m_rig->WaitOnline(kOnlineMs, &error)) << error << "\n" << m_rig->ClientLog();
        ASSERT_TRUE(m_rig->GuiLogoff(client, &error)) << error;
        ASSERT_TRUE(m_rig->WaitOffline(kOnlineMs, &error)) << error;
        ASSERT_TRUE(m_rig->GuiQuit(kOnlineMs, &error)) << error;
    }
    const std::string history = ReadText(place + "/history.ini");
    EXPECT_NE(history.find("ServerAddr=" + m_rig->Gateway().listen), std::string::npos)
        << "the history does not list the gateway:\n"
        << history;
    struct stat st {};
    ASSERT_EQ(::stat((place + "/history.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, m_rig->Harness().ClientUid());
    EXPECT_EQ(st.st_mode & 077, 0u);
    EXPECT_NE(::stat((m_rig->Harness().InstalledPrefix() + "/history.ini").c_str(), &st), 0);

    ASSERT_GT(m_rig->StartClient(client), 0);
    ASSERT_TRUE(m_rig->WaitOnline(kOnlineMs, &error)) << error << "\n" << m_rig->ClientLog();
    ASSERT_EQ(::kill(m_rig->Harness().Pid("client"), SIGSEGV), 0);
    ASSERT_TRUE(testsupport::WaitFor(
        "the client to end", [&] { return !m_rig->Harness().Alive("client"); }, static_cast<int>(kOnlineMs)));
    bool report = false;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(place + "/Dump", ec))
        report = report || entry.path().extension() == ".dmp";
    EXPECT_TRUE(report) << "no report in " << place << "/Dump";
    ASSERT_GT(m_rig->StartClient(client), 0);
    EXPECT_TRUE(ClientSaid("message: [ERROR] Sorry, there is something wrong with SSL-VPN Client"));
}

// Every path below `dir` but the daily log's folder, each with its size and change time.
std::vector<std::string> ListingBesideTheLog(const std::string& dir) {
    std::vector<std::string> out;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->path() == dir + "/Log") {
            it.disable_recursion_pending();
            continue;
        }
        struct stat st {};
        ::lstat(it->path().c_str(), &st);
        out.push_back(it->path().string() + " " + std::to_string(st.st_size) + " " +
                      std::to_string(st.st_ctim.tv_sec) + "." + std::to_string(st.st_ctim.tv_nsec));
    }
    std::sort(out.begin(), out.end());
    return out;
}

// The update check before the logon, as the member runs the installed client: the gateway's web
// server (here nginx in pc, at the address the member's client logs on to) serves the list of a
// newer version. The list goes to the member's own place, the server is trusted through the
// certificate the member accepted earlier, and the member is asked; its no (the console's answer)
// starts no update and leaves the program folder as it was.
TEST_F(InstalledGuiTest, AMembersUpdateCheckAsksAndItsNoChangesNothing) {
    if (!std::filesystem::exists("/usr/sbin/nginx")) GTEST_SKIP() << "nginx is not installed";
    SystemHarness& harness = m_rig->Harness();
    std::unique_ptr<updatetest::HttpsServer> server;
    ASSERT_TRUE(harness.RunInsidePc([&] { server = std::make_unique<updatetest::HttpsServer>(); }));
    ASSERT_TRUE(server && server->Ok()) << (server ? server->ErrorLog() : std::string());
    const std::string list =
        "[UpdateInfo]\r\nVersion=9.0.0.0\r\nMinVersion=1.0.0.0\r\nVersionDescript=New\r\n"
        "ForceUpdate=no\r\nNeedReboot=no\r\nNeedUninstall=no\r\nUpdatePackURL=/download/UpdatePack.dat\r\n"
        "[AppList]\r\nfile=file\r\n";
    server->Put("/download/sslvpn/default/ClientUpdateList.txt", list);

    ClientSetup client;
    client.gui = true;
    client.program = harness.InstalledPrefix() + "/VornClient";
    std::string error;
    ASSERT_TRUE(m_rig->WriteGuiSettings(client, &error)) << error;
    // The member's own values name the web server; its accepted certificate is in its own place.
    const std::string place = harness.ClientPlace();
    const std::string own = place + "/" + platform::kUserSettingsFileName;
    {
        platform::SettingsStore store(own);
        const std::string key = "Software\\Morvane\\QelClient";
        ASSERT_EQ(store.SetString(key, platform::client_settings::kServerAddr, "localhost"),
                  platform::kRegOk);
        ASSERT_EQ(store.SetDword(key, platform::client_settings::kServerPortNum, server->Port()),
                  platform::kRegOk);
    }
    ASSERT_EQ(::mkdir((place + "/trusted").c_str(), 0700), 0);
    { std::ofstream(place + "/trusted/localhost.crt") << server->ServerPem(); }
    for (const std::string& file :
         {own, own + "-wal", own + "-shm", place + "/trusted", place + "/trusted/localhost.crt"}) {
        if (::access(file.c_str(), F_OK) == 0) {
            ASSERT_EQ(::chown(file.c_str(), harness.ClientUid(), harness.ClientGid()), 0) << file;
        }
    }
    const std::vector<std::string> before = ListingBesideTheLog(harness.InstalledPrefix());

    ASSERT_GT(
        harness.StartClientInPc("client", {client.program, "-autologon"}, {"QT_QPA_PLATFORM=offscreen"}), 0);
    EXPECT_TRUE(ClientSaid("A newer client is available. Update now? -> no"));
    // The optional update refused, the logon goes on (to a web server, not a gateway: it fails).
    EXPECT_TRUE(testsupport::WaitFor(
        "the logon to end", [&] { return m_rig->ClientLog().find("message: [") != std::string::npos; },
        static_cast<int>(kOnlineMs)))
        << m_rig->ClientLog();
    EXPECT_TRUE(m_rig->GuiQuit(kOnlineMs, &error)) << error;

    struct stat st {};
    ASSERT_EQ(::lstat((place + "/UpdateList.txt").c_str(), &st), 0) << "no list in the member's place";
    EXPECT_EQ(st.st_uid, harness.ClientUid());
    EXPECT_EQ(ReadText(place + "/UpdateList.txt"), list);
    EXPECT_EQ(ListingBesideTheLog(harness.InstalledPrefix()), before) << "the program folder changed";
}

// Another member of the group writes a gateway and a proxy of its own into the group's part of the
// client's settings (a file it may write): the user's client acts on its own values only and logs
// on to its gateway (neither the attacker's gateway nor its proxy exists: following either would
// fail the logon).
TEST_F(InstalledGuiTest, AnotherMemberCannotSteerTheLogonThroughTheGroupsSettings) {
    ClientSetup client;
    client.gui = true;
    client.program = m_rig->Harness().InstalledPrefix() + "/VornClient";
    std::string error;
    ASSERT_TRUE(m_rig->WriteGuiSettings(client, &error)) << error;
    const group* qel = ::getgrnam("qel");
    ASSERT_NE(qel, nullptr);
    const std::string shared = m_rig->Harness().PcRoot() + "/client/settings.db";
    const auto text = [](const std::string& value) {
        std::string hex;
        char byte[3];
        for (const char c : value + std::string(1, '\0')) {
            std::snprintf(byte, sizeof byte, "%02X", static_cast<unsigned>(static_cast<unsigned char>(c)));
            hex += byte;
        }
        return "X'" + hex + "'";
    };
    std::string sql;
    for (const auto& [name, value] :
         std::vector<std::pair<std::string, std::string>>{{"serveraddr", "198.51.100.99"},
                                                          {"useproxy", "Yes"},
                                                          {"proxyaddr", "198.51.100.99"},
                                                          {"proxyport", "8888"},
                                                          {"useproxyauth", "Yes"}})
        sql += "UPDATE vals SET type = 1, data = " + text(value) +
               " WHERE key_l = 'software\\morvane\\qelclient' AND name_l = '" + name + "';";
    std::string out;
    ASSERT_EQ(
        m_rig->Harness().RunInPc({"setpriv", "--reuid=65532", "--regid=65532",
                                  "--groups=" + std::to_string(qel->gr_gid), "--", "sqlite3", shared, sql},
                                 &out),
        0)
        << out;
    ASSERT_EQ(m_rig->Harness().RunInPc({"sqlite3", shared,
                                        "SELECT count(*) FROM vals WHERE name_l = 'serveraddr' AND data = " +
                                            text("198.51.100.99")},
                                       &out),
              0);
    ASSERT_EQ(out.substr(0, 1), "1") << "the attack did not reach the group's part: " << out;

    ASSERT_GT(m_rig->Harness().StartClientInPc("client", {client.program, "-autologon"},
                                               {"QT_QPA_PLATFORM=offscreen"}),
              0);
    ASSERT_TRUE(m_rig->WaitOnline(kOnlineMs, &error)) << error << "\n" << m_rig->ClientLog();
    ASSERT_TRUE(m_rig->GuiLogoff(client, &error)) << error;
    EXPECT_TRUE(m_rig->WaitOffline(kOnlineMs, &error)) << error;
    EXPECT_TRUE(m_rig->GuiQuit(kOnlineMs, &error)) << error;
}

TEST_P(GuiTunnelTest, LogsOnByItselfCarriesBytesAndLogsOffWhenASecondStartAsks) {
    ClientSetup client;
    client.gui = true;
    RunSession(client);
    EXPECT_EQ(m_rig->TunnelConnections().size(), 0u) << "the tunnel connection outlived the quit";

    // The service was the service layer's, in pc: the teardown stops it.
    const pid_t service = m_rig->Harness().Pid("lunther");
    ASSERT_GT(service, 0);
    m_rig->Stop();
    EXPECT_NE(::kill(service, 0), 0) << "the network service outlived the teardown";
}

TEST_P(GuiTunnelTest, LogsOnThroughTheProxyFromItsSavedProxySettings) {
    ClientSetup client;
    client.gui = true;
    client.viaProxy = true;
    ASSERT_GT(m_rig->StartClient(client), 0);
    std::string error;
    ASSERT_TRUE(m_rig->WaitOnline(kOnlineMs, &error)) << error << "\n" << m_rig->ClientLog();
    // Through tinyproxy, pc has no connection of its own to the gateway's port.
    EXPECT_TRUE(m_rig->TunnelConnections().empty());
    EXPECT_NE(ReadText(m_rig->Harness().WorkDir() + "/tinyproxy.log").find("CONNECT"), std::string::npos)
        << "tinyproxy saw no CONNECT";
    const Transfer echo = m_rig->EchoTransfer(256 << 10);
    EXPECT_TRUE(echo.ok) << echo.error;
    ASSERT_TRUE(m_rig->GuiLogoff(client, &error)) << error;
    EXPECT_TRUE(m_rig->WaitOffline(kOnlineMs, &error)) << error;
    EXPECT_TRUE(m_rig->GuiQuit(kOnlineMs, &error)) << error;
    const PcSnapshot after = m_rig->Harness().TakePcSnapshot();
    EXPECT_TRUE(after == m_before) << m_before.Diff(after);
}

INSTANTIATE_TEST_SUITE_P(, GuiTunnelTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& param) {
                             return param.param ? "AsClientGroupMember" : "AsRoot";
                         });

}  // namespace
}  // namespace systemtest
