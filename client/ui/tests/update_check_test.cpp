// The update check before a logon, from the dialog's OK, against a stand-in of the gateway's web
// server (nginx on loopback serving the update list) and a stand-in update program that records
// how it was started: an accepted update starts it and ends the client without a logon, a refused
// required one stops the logon, no update lets it go on, a cancel during the check stops both,
// and a server that never answers is given up after the time limit. A member of the client's
// group checks as itself, in a process of its own (update_check_as_member.cpp).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "dialog_fixture.h"
#include "https_server.h"
#include "platform/machine_root.h"
#include "platform/process.h"
#include "testsupport/as_user.h"
#include "testsupport/command.h"
#include "testsupport/net.h"
#include "testsupport/temp_dir.h"
#include "vorn/logon_update_check.h"

namespace vorn::test {
namespace {

const char* kListPath = "/download/sslvpn/default/ClientUpdateList.txt";

std::string List(const char* version, bool force) {
    return std::string("[UpdateInfo]\r\nVersion=") + version +
           "\r\nMinVersion=1.0.0.0\r\nVersionDescript=New\r\nForceUpdate=" + (force ? "yes" : "no") +
           "\r\nNeedReboot=no\r\nNeedUninstall=no\r\nUpdatePackURL=/download/UpdatePack.dat\r\n[AppList]\r\n"
           "file=file\r\n";
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Every path below `dir`, each with its size and change time.
std::set<std::string> Listing(const std::string& dir) {
    std::set<std::string> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
        struct stat st {};
        ::lstat(e.path().c_str(), &st);
        out.insert(e.path().string() + " " + std::to_string(st.st_size) + " " +
                   std::to_string(st.st_ctim.tv_sec) + "." + std::to_string(st.st_ctim.tv_nsec));
    }
    return out;
}

class UpdateCheckTest : public DialogTest {
protected:
    void SetUp() override {
        if (!std::filesystem::exists("/usr/sbin/nginx")) GTEST_SKIP() << "nginx is not installed";
        DialogTest::SetUp();
        server = std::make_unique<updatetest::HttpsServer>();
        ASSERT_TRUE(server->Ok()) << server->ErrorLog();
        const std::string install = root.Path() + "/install";
        std::filesystem::create_directories(install + "/trusted");
        std::ofstream(install + "/trusted/ca.pem") << server->CaPem();
        store->SetString(kClientKey, "InstallDir", install);
        programDir = root.Path() + "/program";
        std::filesystem::create_directories(programDir);
        std::filesystem::copy_file(testsupport::BinDir() + "/update_stand_in_client",
                                   programDir + "/Quistral");
    }
    void MakeWithCheck(ClientUpdateTiming updateTiming = Fast()) {
        // One that is just ending (of any folder) still counts as running.
        ASSERT_TRUE(PumpUntil(
            "no update program to run",
            [&] { return !TwClientUpdateCheck::UpdateProgramRunning(programDir); }, 10000));
        check = std::make_unique<LogonUpdateCheck>(bridge, texts, updateTiming, programDir);
        updateCheck = [this](TwLogonVpn& d) { return check->Check(d); };
        Make();
        LogonGoesOnline();
    }
    static ClientUpdateTiming Fast() {
        ClientUpdateTiming t;
        t.pumpMs = 5;
        t.limitMs = 20000;
        return t;
    }
    void LogOn(unsigned short port) {
        FillForm("localhost:" + std::to_string(port), "alice", "secret");
        dialog->OnOK();
    }
    bool Asked(const std::string& text) {
        for (const auto& b : prompter.Boxes())
            if (b.question && b.text == text) return true;
        return false;
    }
    bool Shown(const std::string& text) {
        for (const auto& b : prompter.Boxes())
            if (!b.question && b.text == text) return true;
        return false;
    }

    std::unique_ptr<updatetest::HttpsServer> server;
    std::string programDir;
    std::unique_ptr<LogonUpdateCheck> check;
};

TEST_F(UpdateCheckTest, AnAcceptedUpdateStartsTheUpdateProgramAndEndsTheClient) {
    server->Put(kListPath, List("9.0.0.0", true));
    MakeWithCheck();
    prompter.Answer(true);
    LogOn(server->Port());
    EXPECT_TRUE(Asked("t243")) << "a required update is asked for";
    EXPECT_TRUE(connector.Logons().empty()) << "no logon while the update runs";
    ASSERT_TRUE(PumpUntil(
        "the update program to record its start",
        [&] { return !ReadFile(programDir + "/client.record").empty(); }, 10000));
    EXPECT_EQ(ReadFile(programDir + "/client.record"), "Client -logon alice -|" + Scramble("secret") + "\n")
        << "the scrambled password on its standard input only";
    EXPECT_TRUE(PumpUntil("the quit by the stop event", [&] { return dialog->Quitting(); }));
    EXPECT_TRUE(PumpUntil(
        "the stand-in update program to end",
        [&] { return !TwClientUpdateCheck::UpdateProgramRunning(programDir); }, 10000));
}

// The update program of this folder running holds the logon back, and the user is told so. A
// fork of it that never execed and calls itself otherwise (the service layer's monitor of a
// service the update restarted, which lives on long after) does not.
TEST_F(UpdateCheckTest, ARunningUpdateProgramStopsTheLogonAndSaysSoButItsRenamedForkDoesNot) {
    server->Put(kListPath, List("6.3.01.0", false));
    MakeWithCheck();
    const std::string program = programDir + "/Quistral";
    // Each stays until its standard input closes.
    auto stay = [&](std::vector<std::string> argv, int* writeEnd) {
        int fds[2];
        EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        platform::SpawnOptions options;
        options.stdinFd = fds[0];
        options.detached = true;
        EXPECT_GT(platform::Spawn(argv, options), 0);
        ::close(fds[0]);
        *writeEnd = fds[1];
    };
    int programInput = -1;
    stay({program, "--stay"}, &programInput);
    ASSERT_TRUE(PumpUntil("the update program to run",
                          [&] { return TwClientUpdateCheck::UpdateProgramRunning(programDir); }));
    LogOn(server->Port());
    EXPECT_TRUE(Shown("t156")) << "the refused logon is not told";
    EXPECT_TRUE(connector.Logons().empty()) << "a logon while the update program runs";
    EXPECT_EQ(dialog->Status(), UPDATE_STATUS_OFFLINE);

    int forkInput = -1;
    stay({program, "--stay", "forked"}, &forkInput);
    ASSERT_TRUE(PumpUntil("the renamed fork", [&] {
        for (const auto& p : platform::ListProcesses())
            if (p.task == "Lunther-monitor" && p.name == "Quistral") return true;
        return false;
    }));
    ::close(programInput);
    ASSERT_TRUE(PumpUntil(
        "the update program to end", [&] { return !TwClientUpdateCheck::UpdateProgramRunning(programDir); },
        10000));
    prompter.Clear();
    dialog->OnOK();
    ASSERT_TRUE(
        PumpUntil("online beside the fork", [&] { return dialog->Status() == UPDATE_STATUS_ONLINE; }));
    EXPECT_FALSE(Shown("t156"));
    EXPECT_EQ(connector.Logons().size(), 1u);
    ::close(forkInput);
}

// A member of the client's group checks as itself: the program folder is root's, so the list goes
// to the member's own place, and the server is trusted through the gateway certificate the
// member's own tunnel accepted (root's folder trusts nothing of it). The member is asked; its "no"
// lets the logon go on and leaves root's folders as they were.
TEST_F(UpdateCheckTest, AMembersCheckAsksWithTheListInItsOwnPlaceAndNoChangesNothing) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root (drops to a member)";
    constexpr uid_t kMember = 65530;
    server->Put(kListPath, List("9.0.0.0", false));
    // The member reaches the machine's folders, as on a real machine, but may write none of them.
    ASSERT_EQ(::chmod(root.Path().c_str(), 0755), 0);
    const std::string install = root.Path() + "/install";
    std::filesystem::remove(install + "/trusted/ca.pem");
    const std::string home = root.Path() + "/home";
    const std::string place = home + "/.local/state/qel";
    std::filesystem::create_directories(place + "/trusted");
    std::ofstream(place + "/trusted/localhost.crt") << server->ServerPem();
    for (const std::string& p : {home, home + "/.local", home + "/.local/state", place, place + "/trusted",
                                 place + "/trusted/localhost.crt"})
        ASSERT_EQ(::chown(p.c_str(), kMember, kMember), 0) << p;
    ASSERT_EQ(::chmod(place.c_str(), 0700), 0);
    const auto programBefore = Listing(programDir);
    const auto installBefore = Listing(install);

    const char* oldHome = std::getenv("HOME");
    const std::string keptHome = oldHome != nullptr ? oldHome : "";
    const char* oldState = std::getenv("XDG_STATE_HOME");
    const std::string keptState = oldState != nullptr ? oldState : "";
    ::setenv("HOME", home.c_str(), 1);
    ::unsetenv("XDG_STATE_HOME");
    // Root runs an update program of another folder meanwhile (as parallel tests do): the member
    // cannot read where its program lies, yet it must not take it for its own client's.
    testsupport::TempDir other("qel-otherinst");
    std::filesystem::copy_file(testsupport::BinDir() + "/update_stand_in_client", other.File("Quistral"));
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    platform::SpawnOptions so;
    so.stdinFd = fds[0];  // nothing comes: it waits for its input
    so.directory = other.Path();
    const pid_t rootUpdate = platform::Spawn({other.File("Quistral")}, so);
    ::close(fds[0]);
    ASSERT_GT(rootUpdate, 0);
    ASSERT_TRUE(PumpUntil("root's other update program to run",
                          [&] { return TwClientUpdateCheck::UpdateProgramRunning(other.Path()); }));
    const int code = testsupport::RunProgramAsUser({kMember, kMember, {platform::ClientGroupId()}},
                                                   {testsupport::BinDir() + "/vorn_update_check_as_member",
                                                    std::to_string(server->Port()), programDir, "6.3.01.0"},
                                                   30000);
    ::close(fds[1]);
    testsupport::StopProcess(rootUpdate, SIGTERM, 5000);
    if (oldHome != nullptr) ::setenv("HOME", keptHome.c_str(), 1);
    if (oldState != nullptr) ::setenv("XDG_STATE_HOME", keptState.c_str(), 1);
    EXPECT_EQ(code, 1) << "the member's check did not ask (see its standard error)";

    struct stat st {};
    ASSERT_EQ(::lstat((place + "/UpdateList.txt").c_str(), &st), 0) << "no list in the member's place";
    EXPECT_EQ(st.st_uid, kMember);
    EXPECT_EQ(ReadFile(place + "/UpdateList.txt"), List("9.0.0.0", false))
        << "the list as served, nothing added";
    EXPECT_EQ(Listing(programDir), programBefore) << "the program folder was written";
    EXPECT_EQ(Listing(install), installBefore) << "root's install folder was written";
}

TEST_F(UpdateCheckTest, ARefusedRequiredUpdateStopsTheLogonAndAnOptionalOneDoesNot) {
    server->Put(kListPath, List("9.0.0.0", true));
    MakeWithCheck();
    prompter.Answer(false);
    LogOn(server->Port());
    EXPECT_TRUE(Shown("t236"));
    EXPECT_TRUE(connector.Logons().empty());
    EXPECT_EQ(dialog->Status(), UPDATE_STATUS_OFFLINE);
    EXPECT_FALSE(dialog->InAction()) << "a later OK logs on again";
    EXPECT_TRUE(dialog->DisplayText().empty()) << "the check's text is cleared";

    server->Put(kListPath, List("9.0.0.0", false));
    prompter.Answer(false);
    dialog->OnOK();
    EXPECT_TRUE(Asked("t237"));
    ASSERT_TRUE(
        PumpUntil("online with the old client", [&] { return dialog->Status() == UPDATE_STATUS_ONLINE; }));
    ASSERT_EQ(connector.Logons().size(), 1u);
    EXPECT_TRUE(ReadFile(programDir + "/client.record").empty());
}

TEST_F(UpdateCheckTest, ARefusedRequiredUpdateInWebLogonModeLeavesWebLogonMode) {
    server->Put(kListPath, List("9.0.0.0", true));
    ASSERT_TRUE(PumpUntil(
        "no update program to run", [&] { return !TwClientUpdateCheck::UpdateProgramRunning(programDir); },
        10000));
    check = std::make_unique<LogonUpdateCheck>(bridge, texts, Fast(), programDir);
    updateCheck = [this](TwLogonVpn& d) { return check->Check(d); };
    Make(false);
    // The gateway is newer than the client: the check runs before the web logon.
    dialog->SetWebLogon("localhost", std::to_string(server->Port()), "7", "bob", "9.0.0.0");
    prompter.Answer(false);
    ASSERT_TRUE(dialog->InitDialog());
    ASSERT_TRUE(PumpUntil(
        "the refusal's message", [&] { return Shown("t236"); }, 20000));
    EXPECT_TRUE(Asked("t243"));
    ASSERT_TRUE(PumpUntil("client logon mode", [&] { return !dialog->WebLogonMode(); }));
    EXPECT_EQ(dialog->Status(), UPDATE_STATUS_OFFLINE);
    EXPECT_FALSE(dialog->InAction()) << "a later OK logs on in client mode";
    EXPECT_TRUE(ReadFile(programDir + "/client.record").empty());
}

TEST_F(UpdateCheckTest, NoUpdateLetsTheLogonGoOnWithoutAQuestion) {
    server->Put(kListPath, List("6.3.01.0", true));
    MakeWithCheck();
    LogOn(server->Port());
    ASSERT_TRUE(PumpUntil("online", [&] { return dialog->Status() == UPDATE_STATUS_ONLINE; }));
    EXPECT_EQ(connector.Logons().size(), 1u);
    for (const auto& b : prompter.Boxes()) EXPECT_FALSE(b.question) << b.text;
}

TEST_F(UpdateCheckTest, ACancelDuringTheCheckStopsTheCheckAndTheLogon) {
    server->Put(kListPath, List("9.0.0.0", true));
    MakeWithCheck();
    // While the question is open the user presses the button again (cancel), then says yes.
    prompter.onAsk = [this](const std::string&) {
        EXPECT_EQ(dialog->Status(), UPDATE_STATUS_CAN_CANCEL) << "cancellable while the check runs";
        dialog->OnOK();
    };
    prompter.Answer(true);
    LogOn(server->Port());
    EXPECT_TRUE(Asked("t243"));
    EXPECT_TRUE(connector.Logons().empty());
    EXPECT_EQ(dialog->Status(), UPDATE_STATUS_OFFLINE);
    EXPECT_TRUE(ReadFile(programDir + "/client.record").empty()) << "no update program after a cancel";
    EXPECT_FALSE(dialog->Quitting());
}

TEST_F(UpdateCheckTest, AServerThatNeverAnswersIsGivenUpAfterTheTimeLimit) {
    testsupport::LoopbackListener silent;  // accepts, never answers
    ClientUpdateTiming t = Fast();
    t.limitMs = 300;
    t.net.connectTimeoutMs = 30000;
    t.net.receiveTimeoutMs = 30000;
    MakeWithCheck(t);
    const auto start = std::chrono::steady_clock::now();
    LogOn(silent.port);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_LT(waited, std::chrono::seconds(10)) << "the time limit, not the network's";
    ASSERT_TRUE(PumpUntil("online", [&] { return dialog->Status() == UPDATE_STATUS_ONLINE; }));
    EXPECT_EQ(connector.Logons().size(), 1u);
}

}  // namespace
}  // namespace vorn::test
