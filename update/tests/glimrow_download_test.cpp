// The update library against a real HTTPS server (nginx on loopback).
#include <gtest/gtest.h>
#include <strings.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "glimrow/client_update_check.h"
#include "glimrow/glimrow.h"
#include "testsupport/command.h"
#include "https_server.h"
#include "platform/process.h"
#include "platform/settings_store.h"
#include "testsupport/temp_root.h"
#include "testsupport/wait.h"

namespace {

using testsupport::WaitFor;

const char* kList =
    "[UpdateInfo]\r\nVersion=3.1.0.12\r\nMinVersion=3.0.0.0\r\nVersionDescript=New\r\nForceUpdate=yes\r\n"
    "NeedReboot=no\r\nNeedUninstall=no\r\nUpdatePackURL=/download/"
    "UpdatePack.dat\r\n[AppList]\r\nfile=file\r\n";
const char* kListPath = "/download/sslvpn/default/ClientUpdateList.txt";

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class DownloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::filesystem::exists("/usr/sbin/nginx")) GTEST_SKIP() << "nginx is not installed";
        m_server = std::make_unique<updatetest::HttpsServer>(m_options);
        ASSERT_TRUE(m_server->Ok()) << m_server->ErrorLog();
        Trust(m_server->CaPem());
        m_server->Put(kListPath, kList);
    }
    // The trusted-CA folder of this machine root holds exactly `pem`.
    void Trust(const std::string& pem) {
        const std::string install = m_root.Path() + "/install";
        std::filesystem::remove_all(install + "/trusted");
        std::filesystem::create_directories(install + "/trusted");
        std::ofstream(install + "/trusted/ca.pem") << pem;
        platform::SettingsStore::Machine()->SetString("Software\\Morvane\\QelClient", "InstallDir", install);
    }
    std::string Dir() const { return m_root.Path() + "/"; }
    unsigned long Connect(CGlimrow& g, const char* host = "localhost") {
        std::string h = host;
        return g.ConnectServer(h.data(), m_server->Port());
    }
    unsigned long FetchList(CGlimrow& g, const std::string& path = kListPath) {
        std::string p = path, f = "UpdateList.txt";
        return g.GetUpdateList(p.data(), f.data());
    }
    // Polls like the update program does until the download ended; its result.
    unsigned long Finish(CGlimrow& g, unsigned long* done = nullptr, unsigned long* total = nullptr) {
        unsigned long t = 0, d = 0, rc = 0;
        EXPECT_TRUE(WaitFor(
            "the download to end",
            [&] {
                rc = g.GetDownloadStatus(&t, &d);
                return rc != 0 || d >= t;
            },
            20000));
        if (done) *done = d;
        if (total) *total = t;
        g.JoinDownload();
        return rc;
    }

    testsupport::TempRoot m_root{"qel-upddl"};
    updatetest::ServerOptions m_options;
    std::unique_ptr<updatetest::HttpsServer> m_server;
};

TEST_F(DownloadTest, FetchesParsesAndDownloadsThePackage) {
    CGlimrow g(Dir().c_str());
    ASSERT_EQ(Connect(g), 0u);
    ASSERT_EQ(FetchList(g), 0u);
    EXPECT_EQ(ReadFile(Dir() + "UpdateList.txt"), kList);
    char name[] = "UpdateList.txt";
    ASSERT_EQ(g.ParseUpdate(name), 0u);
    EXPECT_EQ(g.CheckUpdate("3.0.5.0"), 1);
    EXPECT_EQ(g.IsForceUpdate(), 1);

    std::string body;
    for (int i = 0; i < 50000; ++i) body += static_cast<char>('a' + i % 26);
    m_server->Put("/download/UpdatePack.dat", body);
    char local[] = "UpdatePack.dat";
    ASSERT_EQ(g.GetUpdatePack(local), 0u);
    unsigned long done = 0, total = 0;
    ASSERT_EQ(Finish(g, &done, &total), 0u);
    EXPECT_EQ(total, body.size());
    EXPECT_EQ(done, total);
    // Completion is published after the file is closed: it is whole as soon as it is reported.
    EXPECT_EQ(ReadFile(Dir() + "UpdatePack.dat"), body);
}

TEST_F(DownloadTest, ShortBodiesMissingLengthsAndErrorStatusesFail) {
    CGlimrow g(Dir().c_str());
    ASSERT_EQ(Connect(g), 0u);
    m_server->Put("/nolength/list.txt", kList);
    EXPECT_EQ(FetchList(g, "/nolength/list.txt"), ERROR_UPD_HTTP) << "chunked, no Content-Length";
    EXPECT_EQ(FetchList(g, "/short/list.txt"), ERROR_UPD_HTTP) << "body ends before its Content-Length";
    EXPECT_EQ(FetchList(g, "/nothing-here.txt"), ERROR_UPD_HTTP) << "404";
    EXPECT_EQ(FetchList(g, "no-slash"), ERROR_UPD_OPEN_REQUEST);
    CGlimrow unconnected(Dir().c_str());
    EXPECT_EQ(FetchList(unconnected), ERROR_UPD_NOT_CONNECTED);

    // The same through the download thread: a short package is a failure, never a success.
    ASSERT_EQ(FetchList(g), 0u);
    std::ofstream(Dir() + "UpdateList.txt", std::ios::app);
    std::string list = std::string(kList);
    list.replace(list.find("/download/UpdatePack.dat"), 24, "/short/UpdatePack.dat");
    std::ofstream(Dir() + "UpdateList.txt", std::ios::binary) << list;
    char name[] = "UpdateList.txt", local[] = "UpdatePack.dat";
    ASSERT_EQ(g.ParseUpdate(name), 0u);
    ASSERT_EQ(g.GetUpdatePack(local), 0u);
    unsigned long done = 0, total = 0;
    EXPECT_EQ(Finish(g, &done, &total), ERROR_UPD_HTTP);
    EXPECT_EQ(total, 100000u);
    EXPECT_LT(done, total);
}

TEST_F(DownloadTest, StopEndsARunningDownloadWithItsCode) {
    m_server->Put("/slow/UpdatePack.dat", std::string(400000, 's'));
    CGlimrow g(Dir().c_str());
    ASSERT_EQ(Connect(g), 0u);
    ASSERT_EQ(FetchList(g), 0u);
    std::string list = std::string(kList);
    list.replace(list.find("/download/UpdatePack.dat"), 24, "/slow/UpdatePack.dat");
    std::ofstream(Dir() + "UpdateList.txt", std::ios::binary) << list;
    char name[] = "UpdateList.txt", local[] = "UpdatePack.dat";
    ASSERT_EQ(g.ParseUpdate(name), 0u);
    ASSERT_EQ(g.GetUpdatePack(local), 0u);
    unsigned long total = 0, done = 0;
    ASSERT_TRUE(WaitFor(
        "some bytes of the slow download",
        [&] { return g.GetDownloadStatus(&total, &done) == 0 && done > 0; }, 10000));
    EXPECT_EQ(total, 400000u);
    EXPECT_EQ(g.StopDownload(), 0u);
    EXPECT_EQ(Finish(g, &done, &total), ERROR_UPD_STOPPED);
    EXPECT_LT(done, total);
    EXPECT_TRUE(std::filesystem::exists(Dir() + "UpdatePack.dat")) << "the partial file stays";
}

// The update program's check mode: the list over one connection, closed for the question, then
// the package over a new one on the same object.
TEST_F(DownloadTest, ANewConnectionAfterCloseConnectDownloadsAgain) {
    m_server->Put("/download/UpdatePack.dat", "package");
    CGlimrow g(Dir().c_str());
    ASSERT_EQ(Connect(g), 0u);
    ASSERT_EQ(FetchList(g), 0u);
    char name[] = "UpdateList.txt", local[] = "UpdatePack.dat";
    ASSERT_EQ(g.ParseUpdate(name), 0u);
    ASSERT_EQ(g.CloseConnect(), 0u);
    ASSERT_EQ(Connect(g), 0u);
    ASSERT_EQ(g.GetUpdatePack(local), 0u);
    EXPECT_EQ(Finish(g), 0u);
    EXPECT_EQ(ReadFile(Dir() + "UpdatePack.dat"), "package");
    // A stop given when nothing ran ends nothing later either.
    EXPECT_EQ(g.StopDownload(), 0u);
    ASSERT_EQ(g.GetUpdatePack(local), 0u);
    EXPECT_EQ(Finish(g), 0u);
}

// Entries of the directory, for stray temporary files.
std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        if (e.is_regular_file()) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(DownloadTest, AFailedOrOversizedListKeepsTheOldOneWhole) {
    CGlimrow g(Dir().c_str());
    ASSERT_EQ(Connect(g), 0u);
    ASSERT_EQ(FetchList(g), 0u);
    const std::vector<std::string> before = Entries(Dir());
    EXPECT_EQ(FetchList(g, "/short/list.txt"), ERROR_UPD_HTTP) << "the body ends early";
    EXPECT_EQ(FetchList(g, "/nothing-here.txt"), ERROR_UPD_HTTP);
    EXPECT_EQ(FetchList(g, "/huge/list.txt"), ERROR_UPD_HTTP) << "400 MB announced";
    std::string big(kUpdateListMaxBytes + 1, ';');
    m_server->Put("/download/big-list.txt", big);
    EXPECT_EQ(FetchList(g, "/download/big-list.txt"), ERROR_UPD_HTTP) << "one byte beyond the bound";
    EXPECT_EQ(ReadFile(Dir() + "UpdateList.txt"), kList);
    EXPECT_EQ(Entries(Dir()), before) << "no temporary file stays behind";
    // At the bound it is taken.
    big.pop_back();
    m_server->Put("/download/big-list.txt", big);
    EXPECT_EQ(FetchList(g, "/download/big-list.txt"), 0u);
    EXPECT_EQ(ReadFile(Dir() + "UpdateList.txt").size(), kUpdateListMaxBytes);
}

TEST_F(DownloadTest, APackageBeyondWhatTheListCanNeedIsRefusedBeforeItIsWritten) {
    CGlimrow g(Dir().c_str());
    ASSERT_EQ(Connect(g), 0u);
    ASSERT_EQ(FetchList(g), 0u);
    std::string list = std::string(kList);
    list.replace(list.find("/download/UpdatePack.dat"), 24, "/huge/UpdatePack.dat");
    std::ofstream(Dir() + "UpdateList.txt", std::ios::binary) << list;
    char name[] = "UpdateList.txt", local[] = "UpdatePack.dat";
    ASSERT_EQ(g.ParseUpdate(name), 0u);
    ASSERT_EQ(g.GetUpdatePack(local), 0u);
    EXPECT_EQ(Finish(g), ERROR_UPD_HTTP);
    EXPECT_FALSE(std::filesystem::exists(Dir() + "UpdatePack.dat"));
}

class StallTest : public DownloadTest {};

TEST_F(StallTest, StalledAnswersEndAfterTheReceiveTimeOut) {
    GlimrowTiming timing;
    timing.receiveTimeoutMs = 200;
    CGlimrow g(Dir().c_str(), timing);
    ASSERT_EQ(Connect(g), 0u);
    ASSERT_EQ(FetchList(g), 0u);
    EXPECT_EQ(FetchList(g, "/stall/list.txt"), ERROR_UPD_HTTP) << "stalled in the body";
    EXPECT_EQ(FetchList(g, "/stallhead/list.txt"), ERROR_UPD_SEND_REQUEST) << "never answered";
    EXPECT_EQ(ReadFile(Dir() + "UpdateList.txt"), kList);

    // The package download through the thread: its result, not a hang.
    std::string list = std::string(kList);
    list.replace(list.find("/download/UpdatePack.dat"), 24, "/stall/UpdatePack.dat");
    std::ofstream(Dir() + "UpdateList.txt", std::ios::binary) << list;
    char name[] = "UpdateList.txt", local[] = "UpdatePack.dat";
    ASSERT_EQ(g.ParseUpdate(name), 0u);
    ASSERT_EQ(g.GetUpdatePack(local), 0u);
    EXPECT_EQ(Finish(g), ERROR_UPD_HTTP);
}

TEST_F(StallTest, TheRealReceiveTimeOutIsThreeSeconds) {
    CGlimrow g(Dir().c_str());
    ASSERT_EQ(Connect(g), 0u);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(FetchList(g, "/stall/list.txt"), ERROR_UPD_HTTP);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
            .count();
    EXPECT_GE(ms, 3000);
    // Generous: only a wait of several receive time-outs is wrong.
    EXPECT_LT(ms, 8000);
}

TEST_F(DownloadTest, AnUnknownCaIsRefusedAndTheTunnelsCertificateIsTrustedAsItIs) {
    testsupport::CertKey other = testsupport::MakeCert("Other CA", nullptr, true);
    Trust(updatetest::PemOf(other));
    {
        CGlimrow g(Dir().c_str());
        ASSERT_EQ(Connect(g), 0u);
        EXPECT_EQ(FetchList(g), ERROR_UPD_CERTIFICATE);
        EXPECT_FALSE(std::filesystem::exists(Dir() + "UpdateList.txt"));
    }
    // The right CA but another name: refused.
    Trust(m_server->CaPem());
    {
        CGlimrow g(Dir().c_str());
        ASSERT_EQ(Connect(g, "127.0.0.1"), 0u);
        EXPECT_EQ(FetchList(g), ERROR_UPD_CERTIFICATE);
    }
    // The server's own certificate in the folder (as the tunnel leaves it): taken whatever its name.
    Trust(m_server->ServerPem());
    {
        CGlimrow g(Dir().c_str());
        ASSERT_EQ(Connect(g, "127.0.0.1"), 0u);
        EXPECT_EQ(FetchList(g), 0u);
    }
}

TEST_F(DownloadTest, SetupDownloadFollowsTheVersionCheck) {
    m_server->Put("/download/sslvpn/default/Morvane-VornClient.exe", "default setup");
    m_server->Put("/download/sslvpn/default/Morvane-SSL-VPN-Plugin.exe", "plugin setup");
    CGlimrow g(Dir().c_str());
    ASSERT_EQ(Connect(g), 0u);
    ASSERT_EQ(FetchList(g), 0u);
    char name[] = "UpdateList.txt", local[] = "UpdateSetup.exe", version[] = "2.0.0.0";
    ASSERT_EQ(g.ParseUpdate(name), 0u);
    EXPECT_EQ(g.CheckUpdate(version), 1);
    EXPECT_EQ(g.IsNeedUninst(), 1) << "below MinVersion: a full setup";
    // The server answers "0": the default client setup.
    ASSERT_EQ(g.GetSetupPack(2, version, local), 0u);
    ASSERT_EQ(Finish(g), 0u);
    EXPECT_EQ(ReadFile(Dir() + "UpdateSetup.exe"), "default setup");
    ASSERT_EQ(g.GetSetupPack(1, version, local), 0u);
    ASSERT_EQ(Finish(g), 0u);
    EXPECT_EQ(ReadFile(Dir() + "UpdateSetup.exe"), "plugin setup");
}

class VersionReplyTest : public DownloadTest {
protected:
    VersionReplyTest() { m_options.versionReply = "/download/special-setup.bin"; }
};

TEST_F(VersionReplyTest, TheServersSetupPathIsUsed) {
    m_server->Put("/download/special-setup.bin", "special");
    CGlimrow g(Dir().c_str());
    ASSERT_EQ(Connect(g), 0u);
    ASSERT_EQ(FetchList(g), 0u);
    char name[] = "UpdateList.txt", local[] = "UpdateSetup.exe", version[] = "3.0.0.1";
    ASSERT_EQ(g.ParseUpdate(name), 0u);
    ASSERT_EQ(g.GetSetupPack(2, version, local), 0u);
    ASSERT_EQ(Finish(g), 0u);
    EXPECT_EQ(ReadFile(Dir() + "UpdateSetup.exe"), "special");
}

}  // namespace

// --- the client's check before logon ---

namespace {

// What the check counts as a running update program, for the message of a check that saw one:
// every process of one of those names, with its folder (or "unreadable").
std::string UpdatePrograms() {
    std::string out;
    for (const auto& p : platform::ListProcesses()) {
        if (strcasecmp(p.name.c_str(), "Quistral") != 0 && strcasecmp(p.name.c_str(), "Quistral.exe") != 0 &&
            strcasecmp(p.name.c_str(), "UpdateSetup.exe") != 0)
            continue;
        out += "[" + std::to_string(p.pid) + " of " + std::to_string(p.parentPid) + ": " +
               (p.path.empty() ? std::string("unreadable") : p.path) + "]";
    }
    return out.empty() ? "none" : out;
}

class RecordingUi : public ClientUpdateUi {
public:
    explicit RecordingUi(bool yes) : m_yes(yes) {}
    void ShowCheckText(int id) override { events.push_back("text " + std::to_string(id)); }
    bool AskYesNo(int id) override {
        events.push_back("ask " + std::to_string(id));
        return m_yes;
    }
    void ShowMessage(int id) override { events.push_back("message " + std::to_string(id)); }
    void Pump() override { ++pumps; }
    std::vector<std::string> events;
    std::atomic<int> pumps{0};

private:
    bool m_yes;
};

TEST_F(DownloadTest, TheClientStartsTheUpdateProgramWithoutThePasswordOnItsCommandLine) {
    {
        std::filesystem::copy_file(testsupport::BinDir() + "/update_stand_in_client", Dir() + "Quistral");
        RecordingUi ui(true);
        ClientUpdateTiming timing;
        timing.pumpMs = 5;
        TwClientUpdateCheck check(ui, timing);
        ClientUpdateRequest req{"localhost", m_server->Port(),    "3.0.5.0",
                                Dir(),       {"-logon", "alice"}, "secret"};
        std::atomic<bool> cancel{false};
        int result = 0;
        EXPECT_FALSE(check.Run(req, cancel, &result));
        EXPECT_EQ(result, 1) << "update programs: " << UpdatePrograms();
        // The list is required ("ForceUpdate=yes").
        EXPECT_EQ(ui.events,
                  (std::vector<std::string>{"text 241", "text 240", "text 239", "text 238", "ask 243"}));
        ASSERT_TRUE(WaitFor(
            "the update program to record its start",
            [&] { return !ReadFile(Dir() + "client.record").empty(); }, 10000));
        EXPECT_EQ(ReadFile(Dir() + "client.record"), "Client -logon alice|secret\n");
        EXPECT_NE(ReadFile(Dir() + "UpdateList.txt").find("UpdateAddr=localhost"), std::string::npos);
        // While it runs, no further check starts.
        EXPECT_TRUE(WaitFor(
            "the stand-in update program to end",
            [&] { return !TwClientUpdateCheck::UpdateProgramRunning(Dir()); }, 10000));
    }
    {
        // An update program of another installation (another folder) holds no check back.
        testsupport::TempDir other("qel-otherinst");
        std::filesystem::copy_file(testsupport::BinDir() + "/update_stand_in_client", other.File("Quistral"));
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        platform::SpawnOptions so;
        so.stdinFd = fds[0];  // nothing comes: it waits for its input a while
        so.directory = other.Path();
        pid_t pid = platform::Spawn({other.File("Quistral")}, so);
        ::close(fds[0]);
        ASSERT_GT(pid, 0);
        EXPECT_TRUE(WaitFor(
            "the other installation's update program to run",
            [&] { return TwClientUpdateCheck::UpdateProgramRunning(other.Path()); }, 10000));
        EXPECT_FALSE(TwClientUpdateCheck::UpdateProgramRunning(Dir()));
        ::close(fds[1]);
        testsupport::StopProcess(pid, SIGTERM, 5000);
    }
    // A refused required update stops the logon; no update, or no server, lets it go on. (One test:
    // a stand-in update program of a parallel test would hold every check back.)
    {
        RecordingUi ui(false);
        TwClientUpdateCheck check(ui);
        ClientUpdateRequest req{"localhost", m_server->Port(), "3.0.5.0", Dir(), {"-logon", "alice"}, ""};
        std::atomic<bool> cancel{false};
        int result = 0;
        EXPECT_FALSE(check.Run(req, cancel, &result));
        EXPECT_EQ(result, -1);
        ASSERT_FALSE(ui.events.empty());
        EXPECT_EQ(ui.events.back(), "message 236");
    }
    {
        RecordingUi ui(true);
        TwClientUpdateCheck check(ui);
        ClientUpdateRequest req{"localhost", m_server->Port(), "3.1.0.12", Dir(), {"-logon", "alice"}, ""};
        std::atomic<bool> cancel{false};
        int result = 5;
        EXPECT_TRUE(check.Run(req, cancel, &result));
        EXPECT_EQ(result, 0) << "update programs: " << UpdatePrograms();
    }
    {
        // An unreachable server lets the logon go on too.
        RecordingUi ui(true);
        TwClientUpdateCheck check(ui);
        ClientUpdateRequest req{"localhost", 1, "1.0.0.0", Dir(), {"-logon", "alice"}, ""};
        std::atomic<bool> cancel{false};
        int result = 5;
        EXPECT_TRUE(check.Run(req, cancel, &result));
        EXPECT_EQ(result, 0) << "update programs: " << UpdatePrograms();
    }
}

}  // namespace
