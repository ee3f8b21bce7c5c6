// The update program: command lines and the file set (no root), then the whole pipeline with
// its dialog driven headless against nginx, with stand-in services and a stand-in client, as
// root in a namespace and a machine root of its own.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QResizeEvent>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <sstream>

#include "dailylog/shared_daily_log.h"
#include "file_replacer.h"
#include "https_server.h"
#include "platform/machine_root.h"
#include "platform/named_objects.h"
#include "platform/service_control.h"
#include "platform/settings_store.h"
#include "qt_shell.h"
#include "quistral_app.h"
#include "update_texts.h"
#include "update_worker.h"
#include "testsupport/as_user.h"
#include "testsupport/command.h"
#include "testsupport/netns.h"
#include "testsupport/temp_root.h"
#include "testsupport/wait.h"

#if defined(__SANITIZE_THREAD__)
// Qt is not built for ThreadSanitizer: its own locks (posted events, the offscreen platform's
// thread pool) are invisible to it, so the memory calls Qt's code makes are not judged. Our own
// code, also where Qt calls it, still is.
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libQt6Core.so.6\ncalled_from_lib:libQt6Gui.so.6\ncalled_from_lib:libQt6Widgets."
           "so.6\n";
}
#endif

namespace {

using namespace quistral;
using testsupport::WaitFor;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(QuistralCommandLine, TheModeIsTheFirstWordExactly) {
    auto cl = ParseCommandLine({"Client", "-logon", "alice"});
    EXPECT_EQ(cl.action, CommandLine::Action::kRun);
    EXPECT_EQ(cl.mode, UpdateMode::kClient);
    EXPECT_EQ(cl.rest, (std::vector<std::string>{"-logon", "alice"}));
    EXPECT_EQ(cl.token, "-logon");
    EXPECT_EQ(ParseCommandLine({}).action, CommandLine::Action::kStartServiceOnly);
    EXPECT_EQ(ParseCommandLine({"CheckClient"}).action, CommandLine::Action::kEnd);
    EXPECT_EQ(ParseCommandLine({"Client"}).action, CommandLine::Action::kEnd);
    EXPECT_EQ(ParseCommandLine({"Plugin"}).action, CommandLine::Action::kStartServiceOnly);
    cl = ParseCommandLine({"CheckClient", "tok"});
    EXPECT_EQ(cl.mode, UpdateMode::kCheckClient);
    EXPECT_EQ(cl.token, "tok");
    // Words that merely contain a mode are no mode.
    EXPECT_EQ(ParseCommandLine({"NoCheckClient", "x"}).action, CommandLine::Action::kEnd);
    EXPECT_EQ(ParseCommandLine({"XClient", "-logon", "a"}).action, CommandLine::Action::kEnd);
    EXPECT_EQ(ParseCommandLine({"Pluginx", "a"}).action, CommandLine::Action::kEnd);
    EXPECT_EQ(ParseCommandLine({"-logon", "Client", "-x"}).action, CommandLine::Action::kEnd);
    EXPECT_EQ(ParseCommandLine({"Plugin", std::string(300, 't')}).token.size(), 128u);
}

class RecordingShell : public AppShell {
public:
    void Message(const std::string& text, const std::string&) override { messages.push_back(text); }
    int RunDialog(UpdateConfig) override {
        ++dialogs;
        return 2;
    }
    std::vector<std::string> messages;
    int dialogs = 0;
};

TEST(QuistralStartUp, ASecondCopyOnlyShowsItsMessage) {
    testsupport::TempRoot root("qel-quistral");
    auto held = platform::NamedMutex::Create("Global\\MorvaneQelCltUpdMutex", true);
    ASSERT_TRUE(held);
    RecordingShell shell;
    AppConfig config;
    config.programDir = root.Path();
    RunQuistral({"Client", "-logon", "alice"}, shell, config);
    EXPECT_EQ(shell.messages,
              (std::vector<std::string>{"There is an update progress running, please try again later."}));
    EXPECT_EQ(shell.dialogs, 0);
}

// Named objects are open to every local user: "nobody" holding the update mark keeps the update
// program from running, and the user is told whose mark it is and what can be done.
TEST(QuistralStartUp, AnUpdateMarkAnotherUserHoldsIsNamed) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the holder as another user";
    testsupport::TempRoot root("qel-quistral");
    ASSERT_EQ(::chmod(root.Path().c_str(), 0755), 0);  // the other user reaches the machine's objects
    auto ready = platform::NamedEvent::Create("Global\\ready-foreign", true, false);
    ASSERT_TRUE(ready);
    const pid_t holder =
        platform::Spawn({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                         testsupport::BinDir() + "/platform_test_helper", "hold-mutex",
                         "Global\\MorvaneQelCltUpdMutex", "Global\\ready-foreign"});
    ASSERT_GT(holder, 0);
    const bool held = ready->Wait(20000) == platform::kWaitObject0;
    RecordingShell shell;
    AppConfig config;
    config.programDir = root.Path();
    if (held) RunQuistral({"Client", "-logon", "alice"}, shell, config);
    int code = 0;
    platform::KillProcess(holder, SIGKILL);
    platform::WaitProcess(holder, 10000, &code);
    ASSERT_TRUE(held) << "the other user's holder did not start";
    ASSERT_EQ(shell.messages.size(), 1u);
    const std::string& text = shell.messages[0];
    EXPECT_EQ(text.rfind("There is an update progress running, please try again later.", 0), 0u) << text;
    EXPECT_NE(text.find("held by process " + std::to_string(holder) + " (platform_test_h) of user nobody"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(platform::NamedObjectFile("Global\\MorvaneQelCltUpdMutex")), std::string::npos)
        << text;
    EXPECT_EQ(shell.dialogs, 0);
}

TEST(QuistralFileSet, AFailedFinalMovePutsEveryOldFileBack) {
    testsupport::TempRoot root("qel-replace");
    const std::string d = root.Path();
    for (const char* n : {"a", "b", "c"}) {
        std::ofstream(d + "/" + n) << "old " << n;
        std::ofstream(d + "/new-" + std::string(n)) << "new " << n;
    }
    int moves = 0;
    // The fourth move is the final move of "b" (a: old away, new in; b: old away, new in).
    FileReplacer failing("0000abcd", [&](const std::string& from, const std::string& to) {
        if (++moves == 4) return false;
        return ::rename(from.c_str(), to.c_str()) == 0;
    });
    for (const char* n : {"a", "b", "c"}) failing.Add(d + "/" + n, d + "/new-" + std::string(n));
    EXPECT_FALSE(failing.Apply());
    EXPECT_EQ(failing.Failed(), d + "/b");
    for (const char* n : {"a", "b", "c"}) EXPECT_EQ(ReadFile(d + "/" + n), "old " + std::string(n)) << n;
    for (const auto& e : std::filesystem::directory_iterator(d))
        EXPECT_EQ(e.path().filename().string().find("0000abcd"), std::string::npos) << e.path();

    // A missing source fails while staging, before any target is touched.
    FileReplacer missing("0000abce");
    missing.Add(d + "/a", d + "/new-a");
    missing.Add(d + "/d", d + "/no-such-source");
    EXPECT_FALSE(missing.Apply());
    EXPECT_EQ(ReadFile(d + "/a"), "old a");

    FileReplacer good("0000abcf");
    for (const char* n : {"a", "b", "c", "fresh"})
        good.Add(d + "/" + n, d + "/new-" + std::string(n == std::string("fresh") ? "c" : n));
    ASSERT_TRUE(good.Apply());
    EXPECT_EQ(ReadFile(d + "/b"), "new b");
    EXPECT_EQ(ReadFile(d + "/fresh"), "new c");
}

// --- the whole pipeline ---

class AnswerYes : public MessageBoxes {
public:
    void Information(QWidget*, const std::string& text, const std::string&) override {
        messages.push_back(text);
    }
    bool YesNo(QWidget*, const std::string& text, const std::string&) override {
        messages.push_back(text);
        return true;
    }
    std::vector<std::string> messages;
};

std::string Pack(const std::vector<std::pair<std::string, std::string>>& files) {
    return updatetest::UpdatePack(files);
}

class PipelineTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::IsRoot()) GTEST_SKIP() << "the pipeline test needs root (services, namespace)";
        if (!std::filesystem::exists("/usr/sbin/nginx")) GTEST_SKIP() << "nginx is not installed";
        m_ns = std::make_unique<testsupport::NetnsScope>();
        ASSERT_TRUE(m_ns->Ok());
        m_root = std::make_unique<testsupport::TempRoot>("qel-pipeline");
        m_install = m_root->Path() + "/install";
        std::filesystem::create_directories(m_install + "/trusted");
        std::filesystem::create_directories(m_root->Path() + "/system");
        m_server = std::make_unique<updatetest::HttpsServer>(m_options);
        ASSERT_TRUE(m_server->Ok()) << m_server->ErrorLog();
        std::ofstream(m_install + "/trusted/ca.pem") << m_server->CaPem();
        auto store = platform::SettingsStore::Machine();
        store->SetString("Software\\Morvane\\QelClient", "InstallDir", m_install);
        store->SetString("Software\\Morvane\\QelClient", "Version", "3.0.5.0");
        std::filesystem::copy_file(testsupport::BinDir() + "/update_stand_in_client",
                                   m_install + "/VornClient");
        std::ofstream(m_install + "/data.txt") << "old data";
        std::ofstream(m_root->Path() + "/system/olvane.bin") << "old driver";
        std::size_t started = 0;
        for (const char* name : {"QelMini", "Lunther"}) {
            platform::ServiceConfig sc;
            sc.binaryPath = testsupport::BinDir() + "/update_stand_in_service";
            ASSERT_EQ(platform::InstallService(name, sc), 0u);
            ASSERT_EQ(platform::StartServiceByName(name, 10000), 0u);
            // The start returns once the dispatcher answers; the service records its start later,
            // on its own thread. Waited for, so that the record's order is the order of the starts
            // and no start is recorded after the pipeline's first stop.
            ++started;
            ASSERT_TRUE(WaitFor(
                std::string(name) + " to record its start", [&] { return ServiceEvents().size() >= started; },
                10000));
        }
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    void TearDown() override {
        for (const char* name : {"QelMini", "Lunther"}) {
            platform::SERVICE_STATUS st{};
            platform::ControlServiceByName(name, platform::SERVICE_CONTROL_STOP, &st, 10000);
            WaitFor(
                "the stand-in service to end", [&] { return platform::GetServiceProcessId(name) == 0; },
                10000);
            platform::UninstallService(name);
        }
        m_server.reset();
        m_root.reset();
        m_ns.reset();
    }
    void Serve(const std::string& extraAppLine, const std::vector<std::pair<std::string, std::string>>& files,
               const std::string& packFolder = "/download/") {
        std::string list =
            "[UpdateInfo]\r\nVersion=3.1.0.12\r\nMinVersion=3.0.0.0\r\nVersionDescript=New\r\nForceUpdate="
            "no\r\n"
            "NeedReboot=no\r\nNeedUninstall=no\r\nUpdatePackURL=" +
            packFolder +
            "UpdatePack.dat\r\nUpdateAddr=localhost\r\n"
            "UpdatePort=" +
            std::to_string(m_server->Port()) + "\r\n[AppList]\r\ndata.txt=%app%\\data.txt\r\n" +
            extraAppLine + "[DrvList]\r\nolvane.bin=%sys%\\olvane.bin\r\n[SrvList]\r\n";
        // Client mode: the GUI fetched the list and recorded the server before starting us.
        std::ofstream(m_install + "/UpdateList.txt", std::ios::binary) << list;
        // Check mode fetches it itself.
        m_server->Put("/download/sslvpn/default/ClientUpdateList.txt", list);
        m_server->Put(packFolder + "UpdatePack.dat", Pack(files));
    }
    // Runs the program as the GUI starts it, the password on standard input; the dialog's Close
    // is pressed as soon as the worker finished.
    std::string RunProgram(bool* finishedOk,
                           const std::vector<std::string>& args = {"Client", "-logon", "alice"},
                           std::function<void(CQuistralDlg&)> drive = nullptr) {
        int argc = 1;
        char name[] = "quistral_test";
        char* argv[] = {name, nullptr};
        QApplication app(argc, argv);
        AnswerYes boxes;
        QtShell shell(boxes);
        std::string result;
        shell.m_onDialog = [&](CQuistralDlg& dlg) {
            QObject::connect(&dlg, &CQuistralDlg::workerFinished, &dlg,
                             [this, &dlg, &result, finishedOk](bool ok) {
                                 *finishedOk = ok;
                                 result = dlg.ResultText().toStdString();
                                 // Close is offered once, when everything the worker records is there.
                                 ++m_finishes;
                                 platform::SettingsStore::Machine()->GetString("Software\\Morvane\\QelClient",
                                                                               "Version", &m_versionAtFinish);
                                 QTimer::singleShot(0, &dlg, [&dlg] { dlg.CloseButton()->click(); });
                             });
            if (drive) drive(dlg);
        };
        int fds[2];
        EXPECT_EQ(::pipe(fds), 0);
        EXPECT_EQ(::write(fds[1], "secret\n", 7), 7);
        ::close(fds[1]);
        AppConfig config;
        config.programDir = m_install;
        config.stdinFd = fds[0];
        config.updateTiming.pollMs = 10;
        config.updateTiming.setupDelayMs = 10;
        config.updateTiming.serviceWaitMs = 10000;
        RunQuistral(args, shell, config);
        ::close(fds[0]);
        messages = boxes.messages;
        return result;
    }
    std::vector<std::string> ServiceEvents() {
        std::vector<std::string> lines;
        std::istringstream in(ReadFile(m_root->Path() + "/services.record"));
        for (std::string l; std::getline(in, l);) lines.push_back(l);
        return lines;
    }
    // A restarted service records its start a moment after its process exists.
    void ExpectServiceEvents(const std::vector<std::string>& events) {
        EXPECT_TRUE(WaitFor(
            "the services to record their starts and stops",
            [&] { return ServiceEvents().size() >= events.size(); }, 10000));
        EXPECT_EQ(ServiceEvents(), events);
    }
    void ExpectClientRestarted() {
        EXPECT_TRUE(WaitFor(
            "the client to record its start", [&] { return !ReadFile(m_install + "/client.record").empty(); },
            10000));
        // Same arguments, the password on its standard input only.
        EXPECT_EQ(ReadFile(m_install + "/client.record"), "-logon alice -|secret\n");
        EXPECT_FALSE(platform::NamedObjectExists("Global\\MorvaneQelCltUpdMutex"));
    }
    void ExpectServicesRunning() {
        for (const char* name : {"QelMini", "Lunther"}) {
            EXPECT_TRUE(WaitFor(
                std::string(name) + " to run again", [&] { return platform::GetServiceProcessId(name) != 0; },
                10000));
        }
    }

    std::unique_ptr<testsupport::NetnsScope> m_ns;
    std::unique_ptr<testsupport::TempRoot> m_root;
    std::unique_ptr<updatetest::HttpsServer> m_server;
    std::string m_install;
    int m_finishes = 0;
    std::string m_versionAtFinish;
    updatetest::ServerOptions m_options;
    std::vector<std::string> messages;  // of the last run
};

TEST_F(PipelineTest, StopsReplacesRestartsAndBringsTheClientBack) {
    Serve("added.bin=%app%\\lib\\added.bin\r\n",
          {{"data.txt", "new data"}, {"added.bin", "added"}, {"olvane.bin", "new driver"}});
    // The install script's record: the package's files in the program folder are noted in it, so
    // that the uninstall removes them too.
    std::ofstream(m_install + "/.qel-install") << "file VornClient\n";
    ASSERT_EQ(::chmod((m_install + "/.qel-install").c_str(), 0600), 0);
    bool ok = false;
    std::string result = RunProgram(&ok);
    EXPECT_TRUE(ok) << result;
    EXPECT_EQ(ReadFile(m_install + "/data.txt"), "new data");
    EXPECT_EQ(ReadFile(m_install + "/lib/added.bin"), "added");
    EXPECT_EQ(ReadFile(m_install + "/.qel-install"), "file VornClient\nfile data.txt\nfile lib/added.bin\n");
    EXPECT_EQ(ReadFile(m_root->Path() + "/system/olvane.bin"), "new driver");
    EXPECT_EQ(result, "Click on close button, the client program will run automatically.");
    EXPECT_EQ(m_finishes, 1);
    EXPECT_EQ(m_versionAtFinish, "3.1.0.12") << "Close was offered before the new version was recorded";
    ExpectServicesRunning();
    ExpectServiceEvents({"start QelMini", "start Lunther", "stop QelMini", "start QelMini"});
    std::string version;
    platform::SettingsStore::Machine()->GetString("Software\\Morvane\\QelClient", "Version", &version);
    EXPECT_EQ(version, "3.1.0.12");
    ExpectClientRestarted();
}

TEST_F(PipelineTest, AFailedApplyLeavesTheOldFilesAndStartsEverythingAgain) {
    // The list names a file that the package lacks: staging fails, nothing is replaced.
    Serve("missing.bin=%app%\\missing.bin\r\n", {{"data.txt", "new data"}, {"olvane.bin", "new driver"}});
    bool ok = true;
    std::string result = RunProgram(&ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(result, "Fail to update applications, please close anti-virus softwares and try again.");
    EXPECT_EQ(ReadFile(m_install + "/data.txt"), "old data");
    EXPECT_EQ(ReadFile(m_root->Path() + "/system/olvane.bin"), "old driver");
    ExpectServicesRunning();
    ExpectServiceEvents({"start QelMini", "start Lunther", "stop QelMini", "start QelMini"});
    std::string version;
    platform::SettingsStore::Machine()->GetString("Software\\Morvane\\QelClient", "Version", &version);
    EXPECT_EQ(version, "3.0.5.0");
    ExpectClientRestarted();
}

}  // namespace

namespace {

// The manual check: the list over one connection, the question, the package over the next.
TEST_F(PipelineTest, CheckModeFetchesTheListDownloadsAndApplies) {
    Serve("", {{"data.txt", "new data"}, {"olvane.bin", "new driver"}});
    std::filesystem::remove(m_install + "/UpdateList.txt");
    auto store = platform::SettingsStore::Machine();
    store->SetString("Software\\Morvane\\QelClient", "UpdateServerAddr", "localhost");
    store->SetDword("Software\\Morvane\\QelClient", "UpdateServerPort", m_server->Port());
    bool ok = false;
    std::string result = RunProgram(&ok, {"CheckClient", "tok"});
    EXPECT_TRUE(ok) << result;
    EXPECT_EQ(result, "Click on close button, the client program will run automatically.");
    EXPECT_EQ(ReadFile(m_install + "/data.txt"), "new data");
    EXPECT_EQ(ReadFile(m_root->Path() + "/system/olvane.bin"), "new driver");
    std::string version;
    store->GetString("Software\\Morvane\\QelClient", "Version", &version);
    EXPECT_EQ(version, "3.1.0.12");
    ExpectServicesRunning();
    EXPECT_TRUE(WaitFor(
        "the client to record its start", [&] { return !ReadFile(m_install + "/client.record").empty(); },
        10000));
    EXPECT_EQ(ReadFile(m_install + "/client.record"), "|")
        << "check mode restarts the client without arguments";
}

class TrickleTest : public PipelineTest, public ::testing::WithParamInterface<bool> {};

// A server that trickles the package: Close (or Esc, or the window's close) ends the download at
// once, nothing was replaced or stopped, and the update mutex is free again.
TEST_P(TrickleTest, StoppingDuringTheDownloadLeavesEverythingAsItWas) {
    const bool button = GetParam();
    Serve("", {{"data.txt", std::string(400000, 'n')}, {"olvane.bin", "new driver"}}, "/trickle/");
    const std::vector<std::string> servicesBefore = ServiceEvents();
    bool ok = true;
    bool pressed = false;
    std::string result = RunProgram(&ok, {"Client", "-logon", "alice"}, [&](CQuistralDlg& dlg) {
        auto* timer = new QTimer(&dlg);
        QObject::connect(timer, &QTimer::timeout, &dlg, [&dlg, &pressed, button, timer] {
            // Bytes of the package have come: the download runs.
            if (pressed || dlg.Progress() < 10 || !dlg.CloseButton()->isEnabled()) return;
            pressed = true;
            timer->stop();
            if (button)
                dlg.CloseButton()->click();
            else
                dlg.close();
        });
        timer->start(10);
    });
    EXPECT_TRUE(pressed);
    EXPECT_FALSE(ok);
    EXPECT_EQ(result, "You have canceled update, please connect again.");
    EXPECT_NE(std::find(messages.begin(), messages.end(), "You have canceled update, please connect again."),
              messages.end());
    EXPECT_EQ(ReadFile(m_install + "/data.txt"), "old data");
    EXPECT_EQ(ReadFile(m_root->Path() + "/system/olvane.bin"), "old driver");
    EXPECT_FALSE(std::filesystem::exists(m_install + "/UpdateDir/data.txt")) << "nothing was unpacked";
    EXPECT_EQ(ServiceEvents(), servicesBefore) << "no service was stopped";
    std::string version;
    platform::SettingsStore::Machine()->GetString("Software\\Morvane\\QelClient", "Version", &version);
    EXPECT_EQ(version, "3.0.5.0");
    EXPECT_FALSE(platform::NamedObjectExists("Global\\MorvaneQelCltUpdMutex"))
        << "the client may log on again";
}

INSTANTIATE_TEST_SUITE_P(CloseAndWindowClose, TrickleTest, ::testing::Bool());

}  // namespace

namespace {

// --- the worker and the dialog without services (no root) ---

class RecordingSink : public UpdateSink {
public:
    void SetStatus(const std::string&) override {}
    void SetProgress(int percent) override {
        std::lock_guard<std::mutex> g(m_lock);
        m_progress.push_back(percent);
    }
    void SetResult(const std::string& text) override {
        std::lock_guard<std::mutex> g(m_lock);
        m_result = text;
    }
    void Message(const std::string& text, const std::string&) override {
        std::lock_guard<std::mutex> g(m_lock);
        m_messages.push_back(text);
    }
    bool AskYesNo(const std::string&, const std::string&) override { return true; }
    void EnableStop() override {}
    void DisableClose() override {}
    void EnableClose(bool) override {}
    void CloseDialog() override {}
    std::size_t ProgressCount() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_progress.size();
    }
    std::string Result() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_result;
    }
    std::vector<std::string> Messages() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_messages;
    }

private:
    std::mutex m_lock;
    std::vector<int> m_progress;
    std::string m_result;
    std::vector<std::string> m_messages;
};

// The lines of today's shared log that contain `marker`, from the marker on.
std::vector<std::string> LogLines(const std::string& marker) {
    char name[4096];
    unsigned size = sizeof(name);
    std::vector<std::string> lines;
    if (!SharedDailyLog::Instance().GetTodayFileName(name, &size)) return lines;
    std::istringstream in(ReadFile(SharedDailyLog::Instance().RootFolder() + "/Log/" + name));
    for (std::string l; std::getline(in, l);) {
        std::size_t at = l.find(marker);
        if (at == std::string::npos) continue;
        if (!l.empty() && l.back() == '\r') l.pop_back();
        lines.push_back(l.substr(at));
    }
    return lines;
}

class WorkerTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::filesystem::exists("/usr/sbin/nginx")) GTEST_SKIP() << "nginx is not installed";
        m_install = m_root.Path() + "/install";
        std::filesystem::create_directories(m_install + "/trusted");
        std::filesystem::create_directories(m_install + "/Log");  // the shared log writes only there
        m_server = std::make_unique<updatetest::HttpsServer>();
        ASSERT_TRUE(m_server->Ok()) << m_server->ErrorLog();
        std::ofstream(m_install + "/trusted/ca.pem") << m_server->CaPem();
        auto store = platform::SettingsStore::Machine();
        store->SetString("Software\\Morvane\\QelClient", "InstallDir", m_install);
        store->SetString("Software\\Morvane\\QelClient", "Version", "3.0.5.0");
        SetChinese(false);
    }
    // The list as the GUI leaves it for a client-mode run, its package at `packUrl`.
    void ListFor(const std::string& packUrl) {
        std::string list =
            "[UpdateInfo]\r\nVersion=3.1.0.12\r\nMinVersion=3.0.0.0\r\nVersionDescript=New\r\nForceUpdate="
            "no\r\n"
            "NeedReboot=no\r\nNeedUninstall=no\r\nUpdatePackURL=" +
            packUrl + "\r\nUpdateAddr=localhost\r\nUpdatePort=" + std::to_string(m_server->Port()) +
            "\r\n[AppList]\r\ndata.txt=%app%\\data.txt\r\n";
        std::ofstream(m_install + "/UpdateList.txt", std::ios::binary) << list;
        m_server->Put("/download/sslvpn/default/ClientUpdateList.txt", list);
    }
    UpdateConfig Config(UpdateMode mode) {
        UpdateConfig config;
        config.mode = mode;
        config.programDir = m_install;
        config.timing.pollMs = 5;
        return config;
    }

    testsupport::TempRoot m_root{"qel-worker"};
    std::string m_install;
    std::unique_ptr<updatetest::HttpsServer> m_server;
};

// A server that stalls after ten bytes: every poll sees the same count, which is logged once;
// after Close the loop waits for the download's end instead of polling again and again.
TEST_F(WorkerTest, TheDownloadLoopLogsNewCountsOnlyAndWaitsForTheEndAfterAStop) {
    ListFor("/stall/UpdatePack.dat");
    RecordingSink sink;
    UpdateConfig config = Config(UpdateMode::kClient);
    config.netTiming.receiveTimeoutMs = 120000;  // only the stop ends the stalled download
    UpdateWorker worker(config, sink);
    std::thread run([&] { worker.Run(); });
    // Forty polls of a stalled download (the first two progress values are 5 and 10).
    EXPECT_TRUE(WaitFor(
        "forty polls", [&] { return sink.ProgressCount() >= 42; }, 20000));
    worker.RequestStop();
    const std::size_t atStop = sink.ProgressCount();
    run.join();
    EXPECT_EQ(worker.LastError(), ERROR_UPD_STOPPED);
    EXPECT_EQ(sink.Result(), "You have canceled update, please connect again.");
    // The poll that was running, and the one after the download's end.
    EXPECT_LE(sink.ProgressCount(), atStop + 2) << "the loop polled while the stopped download ended";
    const std::vector<std::string> lines = LogLines("[DownloadFile] Download ");
    ASSERT_FALSE(lines.empty());
    EXPECT_LE(lines.size(), 4u);
    std::size_t repeated = 0;
    for (std::size_t i = 1; i < lines.size(); ++i)
        if (lines[i] == lines[i - 1]) ++repeated;
    EXPECT_EQ(repeated, 0u) << "a count logged again: " << lines.back();
}

// The manual check, and the download of a client-mode run, against a server whose certificate is
// not trusted: the user is told so (not that there is no new version or that the download
// failed), and the log names the host.
TEST_F(WorkerTest, AnUntrustedListServerIsNamedAndToldAsSuch) {
    testsupport::CertKey other = testsupport::MakeCert("Other CA", nullptr, true);
    std::ofstream(m_install + "/trusted/ca.pem", std::ios::trunc) << updatetest::PemOf(other);
    ListFor("/download/UpdatePack.dat");
    auto store = platform::SettingsStore::Machine();
    store->SetString("Software\\Morvane\\QelClient", "UpdateServerAddr", "localhost");
    store->SetDword("Software\\Morvane\\QelClient", "UpdateServerPort", m_server->Port());
    for (bool chinese : {false, true}) {
        SetChinese(chinese);
        RecordingSink sink;
        UpdateWorker worker(Config(UpdateMode::kCheckClient), sink);
        EXPECT_FALSE(worker.Run());
        const std::vector<std::string> shown = sink.Messages();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0],
                  Tr("The update server's certificate is not trusted, no update was fetched from it."));
        EXPECT_NE(shown[0], Tr("Not found new version."));
    }
    // Started by the client with its list: the download's own server is the untrusted one.
    SetChinese(false);
    RecordingSink sink;
    UpdateWorker worker(Config(UpdateMode::kClient), sink);
    EXPECT_FALSE(worker.Run());
    EXPECT_EQ(sink.Result(),
              "The update server's certificate is not trusted, no update was fetched from it.");
    const std::vector<std::string> lines = LogLines("[CINetUtil] the certificate of ");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].rfind("[CINetUtil] the certificate of localhost was refused: ", 0), 0u) << lines[0];
}

// A package whose entry would leave the unpack folder: refused at unpacking, logged with that
// entry, and shown as a package that could not be unpacked, not as a failed download.
TEST_F(WorkerTest, APackageRefusedAtUnpackingSaysSoAndLogsTheEntry) {
    ListFor("/download/UpdatePack.dat");
    m_server->Put("/download/UpdatePack.dat", Pack({{"data.txt", "new data"}, {"../escape", "x"}}));
    RecordingSink sink;
    UpdateWorker worker(Config(UpdateMode::kClient), sink);
    EXPECT_FALSE(worker.Run());
    EXPECT_EQ(sink.Result(),
              "The update package could not be unpacked, please get a new installation package from the "
              "Download Center.");
    EXPECT_TRUE(sink.Messages().empty()) << "no download failure box";
    const std::vector<std::string> lines = LogLines("[ExtractPackedFiles] refused at ");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("entry \"../escape\""), std::string::npos) << lines[0];
    EXPECT_FALSE(std::filesystem::exists(m_root.Path() + "/escape"));
}

// A member's client fetched the list into the member's own place (the program folder is root's)
// and started the update program as the member. The program works from that list, never from one
// in the program folder; it cannot replace root's files, and says so rather than anything else.
TEST_F(WorkerTest, AMembersRunReadsTheListFromItsOwnPlaceAndSaysItCannotReplaceRootsFiles) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root (drops to a member)";
    constexpr uid_t kMember = 65530;
    ListFor("/download/UpdatePack.dat");
    m_server->Put("/download/UpdatePack.dat", Pack({{"data.txt", "new data"}}));
    std::ofstream(m_install + "/data.txt") << "old data";
    // The member reaches the machine's folders, as on a real machine, but may write none of them.
    ASSERT_EQ(::chmod(m_root.Path().c_str(), 0755), 0);
    const std::string home = m_root.Path() + "/home";
    const std::string place = home + "/.local/state/qel";
    // The gateway's certificate, as the member's tunnel accepted it.
    std::filesystem::create_directories(place + "/trusted");
    std::ofstream(place + "/trusted/localhost.crt") << m_server->ServerPem();
    for (const std::string& p : {home, home + "/.local", home + "/.local/state", place, place + "/trusted",
                                 place + "/trusted/localhost.crt"})
        ASSERT_EQ(::chown(p.c_str(), kMember, kMember), 0) << p;
    ASSERT_EQ(::chmod(place.c_str(), 0700), 0);
    const std::string record = home + "/record";
    auto runAsMember = [&] {
        const char* oldHome = std::getenv("HOME");
        const std::string keptHome = oldHome != nullptr ? oldHome : "";
        ::setenv("HOME", home.c_str(), 1);
        const int code = testsupport::RunProgramAsUser(
            {kMember, kMember, {platform::ClientGroupId()}},
            {testsupport::BinDir() + "/quistral_worker_as_member", m_install, record}, 30000);
        if (oldHome != nullptr) ::setenv("HOME", keptHome.c_str(), 1);
        return code;
    };

    // Only root's list (one a check of root's left): the member's own place holds none.
    EXPECT_EQ(runAsMember(), 0);
    EXPECT_EQ(ReadFile(record),
              "Parsing update information failed, please quit update and try again later, or get a new "
              "installation package from the Download Center.\n");

    std::filesystem::rename(m_install + "/UpdateList.txt", place + "/UpdateList.txt");
    ASSERT_EQ(::chown((place + "/UpdateList.txt").c_str(), kMember, kMember), 0);
    EXPECT_EQ(runAsMember(), 0) << "a member's run reported an applied update";
    EXPECT_EQ(ReadFile(record),
              "Fail to update applications, please close anti-virus softwares and try again.\n");
    EXPECT_EQ(ReadFile(m_install + "/data.txt"), "old data");
    std::string version;
    platform::SettingsStore::Machine()->GetString("Software\\Morvane\\QelClient", "Version", &version);
    EXPECT_EQ(version, "3.0.5.0");
    EXPECT_FALSE(std::filesystem::exists(m_install + "/UpdatePack.dat"));
    EXPECT_FALSE(std::filesystem::exists(m_install + "/UpdateDir"));
}

// Every result the dialog can show is there whole, in both languages, with the Close button
// below it rather than over it.
TEST(QuistralDialog, EveryResultShowsWholeAndTheButtonBelowIt) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    testsupport::TempRoot root("qel-dlg");
    int argc = 1;
    char name[] = "quistral_test";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    const char* results[] = {
        "Update is done, the client program will be run automatically after you click the close button.",
        "Click on close button, the client program will run automatically.",
        "Parsing update information failed, please quit update and try again later, or get a new "
        "installation "
        "package from the Download Center.",
        "You have canceled update, please connect again.",
        "Download the update package failed, please try again later.",
        "Update information is incorrect.",
        "Fail to set driver status, please close anti-virus softwares and try again.",
        "Fail to set service status, please close anti-virus softwares and try again.",
        "Fail to update applications, please close anti-virus softwares and try again.",
        "The update server's certificate is not trusted, no update was fetched from it.",
        "The update package could not be unpacked, please get a new installation package from the Download "
        "Center.",
    };
    for (bool chinese : {false, true}) {
        SetChinese(chinese);
        std::vector<std::string> texts;
        for (const char* r : results) texts.push_back(Tr(r));
        texts.push_back(DownloadFailedResult(true));
        texts.push_back(DownloadFailedResult(false));
        UpdateConfig config;
        config.programDir = root.Path() + "/none";  // no list: the worker ends at once
        AnswerYes boxes;
        CQuistralDlg dlg(config, boxes);
        dlg.show();
        ASSERT_TRUE(WaitFor("the worker's end", [&] {
            QApplication::processEvents();
            return dlg.Finished();
        }));
        for (const std::string& text : texts) {
            static_cast<UpdateSink&>(dlg).SetResult(text);
            QApplication::processEvents();
            QLabel* label = dlg.ResultLabel();
            ASSERT_EQ(label->text().toStdString(), text);
            const QRect result = label->geometry(), button = dlg.CloseButton()->geometry();
            EXPECT_GE(result.height(), label->heightForWidth(result.width())) << text;
            EXPECT_FALSE(result.intersects(button)) << text;
            EXPECT_TRUE(dlg.rect().contains(result)) << text;
            EXPECT_TRUE(dlg.rect().contains(button)) << text;
            EXPECT_EQ(dlg.width(), 340);
        }
    }
    SetChinese(false);
}

// Records the sizes a widget is given.
class SeenSizes final : public QObject {
public:
    std::set<int> heights;

protected:
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Resize) heights.insert(static_cast<QResizeEvent*>(e)->size().height());
        return false;
    }
};

// The result makes the window grow while a window manager is still putting it up, and the
// window system answers with the size from before: the dialog asks again, so the Close button
// is not left cut off below the window's edge.
TEST(QuistralDialog, AnOldSizeFromTheWindowSystemIsAskedAgain) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    testsupport::TempRoot root("qel-dlg");
    int argc = 1;
    char name[] = "quistral_test";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    UpdateConfig config;
    config.programDir = root.Path() + "/none";  // no list: the worker ends at once
    AnswerYes boxes;
    CQuistralDlg dlg(config, boxes);
    dlg.show();
    ASSERT_TRUE(WaitFor("the worker's end", [&] {
        QApplication::processEvents();
        return dlg.Finished();
    }));
    const QSize grown = dlg.size();
    ASSERT_GT(grown.height(), 130) << "the list failure's three lines make the window grow";
    // What the window system says (its geometry change), not a resize of the widget.
    SeenSizes seen;
    dlg.installEventFilter(&seen);
    dlg.windowHandle()->resize(340, 130);
    ASSERT_TRUE(WaitFor("the old size", [&] {
        QApplication::processEvents();
        return seen.heights.count(130) > 0;
    }));
    EXPECT_TRUE(WaitFor("the size asked for again", [&] {
        QApplication::processEvents();
        return dlg.size() == grown;
    }));
    EXPECT_TRUE(dlg.rect().contains(dlg.CloseButton()->geometry()));
}

// Chinese message boxes get Qt's own buttons in Chinese.
TEST(QuistralDialog, ChineseLoadsQtsOwnCatalogue) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    int argc = 1;
    char name[] = "quistral_test";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    EXPECT_FALSE(InstallQtTranslations(false));
    if (!std::filesystem::exists("/usr/share/qt6/translations/qtbase_zh_CN.qm"))
        GTEST_SKIP() << "qt6-translations-l10n is not installed";
    ASSERT_TRUE(InstallQtTranslations(true));
    QMessageBox box(QMessageBox::Question, "t", "t", QMessageBox::Yes | QMessageBox::No);
    const QString yes = box.button(QMessageBox::Yes)->text();
    EXPECT_NE(yes, "&Yes");
    EXPECT_TRUE(yes.contains(QString::fromUtf8("是"))) << yes.toStdString();
}

}  // namespace
