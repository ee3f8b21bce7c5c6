// The client's start-up as real processes on a private machine root, headless: the switches,
// the update mutex, a second start that shows, exits, or takes over from the running client, and
// marks another user holds.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "platform/named_objects.h"
#include "platform/process.h"
#include "platform/settings_store.h"
#include "testsupport/command.h"
#include "testsupport/temp_root.h"
#include "testsupport/wait.h"
#include "vorn/client_app.h"
#include "vorn/text_source.h"

namespace vorn {
namespace {

class Client {
public:
    Client(const std::string& outFile, const std::vector<std::string>& args) : m_out(outFile) {
        const std::string program = testsupport::BinDir() + "/VornClient";
        m_pid = ::fork();
        if (m_pid == 0) {
            const int fd = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            const int null = ::open("/dev/null", O_RDONLY);
            ::dup2(null, 0);
            ::unsetenv("DISPLAY");
            ::unsetenv("WAYLAND_DISPLAY");
            ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
            std::vector<char*> argv{const_cast<char*>(program.c_str())};
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
    }
    ~Client() {
        if (m_pid > 0 && !m_reaped) testsupport::StopProcess(m_pid, SIGKILL, 2000);
    }
    pid_t Pid() const { return m_pid; }
    std::string Output() const {
        std::ifstream in(m_out);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    // Waits (bounded) for the end; the exit code, -1 when it did not end.
    int Wait(int timeoutMs = 20000) {
        int status = 0;
        const bool ended = testsupport::WaitFor(
            "the client " + std::to_string(m_pid) + " to end",
            [&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; }, timeoutMs);
        if (!ended) return -1;
        m_reaped = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    bool Alive() { return ::waitpid(m_pid, nullptr, WNOHANG) == 0; }

private:
    std::string m_out;
    pid_t m_pid = -1;
    bool m_reaped = false;
};

// A process of another user ("nobody") that holds a named object, as any local user may.
class ForeignHolder {
public:
    explicit ForeignHolder(const std::string& name) {
        auto ready = platform::NamedEvent::Create("Global\\ready-foreign", true, false);
        if (!ready) return;
        ready->Reset();
        m_pid = platform::Spawn({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                 testsupport::BinDir() + "/platform_test_helper", "hold-mutex", name,
                                 "Global\\ready-foreign"});
        m_ready = m_pid > 0 && ready->Wait(20000) == platform::kWaitObject0;
    }
    ~ForeignHolder() {
        if (m_pid <= 0) return;
        int code = 0;
        platform::KillProcess(m_pid, SIGKILL);
        platform::WaitProcess(m_pid, 10000, &code);
    }
    bool Ready() const { return m_ready; }
    pid_t Pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    bool m_ready = false;
};

class StartupTest : public ::testing::Test {
protected:
    void SetUp() override {
        store = platform::SettingsStore::Machine();
        ASSERT_EQ(store->CreateKey(kClientKey), platform::kRegOk);
        // The client works in its program folder: accepted certificates go under the test's root.
        store->SetString(kClientKey, "InstallDir", root.Path());
    }
    std::string Out(const std::string& name) { return root.Path() + "/" + name + ".out"; }
    DWORD MainWindow() {
        DWORD v = 0xFFFFFFFF;
        store->GetDword(kClientKey, "MainWindow", &v);
        return v;
    }

    testsupport::TempRoot root{"vorn-start"};
    std::shared_ptr<platform::SettingsStore> store;
};

TEST_F(StartupTest, ConfigEndsAtOnceAndUpdateBlocksTheStart) {
    Client config(Out("config"), {"-config"});
    EXPECT_EQ(config.Wait(), 0);
    EXPECT_EQ(MainWindow(), 0xFFFFFFFFu);

    auto update = platform::NamedMutex::Create(kUpdateMutex);
    ASSERT_TRUE(update);
    Client blocked(Out("blocked"), {"-debug"});
    EXPECT_EQ(blocked.Wait(), 0);
    EXPECT_NE(blocked.Output().find("being updated"), std::string::npos) << blocked.Output();
    EXPECT_FALSE(platform::NamedObjectExists(kRunningMutex));
}

TEST_F(StartupTest, ExitWithoutARunningClient) {
    Client missing(Out("missing"), {"-exit"});
    EXPECT_EQ(missing.Wait(), 0);
    EXPECT_NE(missing.Output().find("could not be reached"), std::string::npos) << missing.Output();

    store->SetDword(kClientKey, "MainWindow", 0);
    Client none(Out("none"), {"-exit"});
    EXPECT_EQ(none.Wait(), 0);
    EXPECT_EQ(none.Output().find("message:"), std::string::npos) << none.Output();
}

TEST_F(StartupTest, SecondStartsShowExitOrTakeOver) {
    Client first(Out("first"), {"-debug"});
    ASSERT_TRUE(testsupport::WaitFor(
        "the first client's window",
        [&] {
            return MainWindow() == static_cast<DWORD>(first.Pid()) &&
                   first.Output().find("state: offline") != std::string::npos;
        },
        20000))
        << first.Output();

    Client plain(Out("plain"), {});
    EXPECT_EQ(plain.Wait(), 0);
    Client api(Out("api"), {"-api"});
    EXPECT_EQ(api.Wait(), 0);
    Client exitClient(Out("exit"), {"-exit"});
    EXPECT_EQ(exitClient.Wait(), 0);
    EXPECT_EQ(exitClient.Output().find("message:"), std::string::npos) << exitClient.Output();
    EXPECT_TRUE(first.Alive());  // in client logon mode "-exit" only disconnects

    // A page naming a gateway the user never used: asked (answered no here), and the running
    // client is left alone.
    Client stranger(Out("stranger"), {"-browserlogon", "evil.example", "443", "78", "bob", "6.3.01.0"});
    EXPECT_EQ(stranger.Wait(), 0);
    EXPECT_NE(stranger.Output().find("question:"), std::string::npos) << stranger.Output();
    EXPECT_NE(stranger.Output().find("evil.example:443"), std::string::npos) << stranger.Output();
    EXPECT_TRUE(first.Alive());
    EXPECT_EQ(MainWindow(), static_cast<DWORD>(first.Pid()));

    // The gateway in use, named while its session is online: asked (answered no), both named, and
    // the session is left alone.
    store->SetString(kClientKey, "ServerAddr", "gw.example");
    store->SetDword(kClientKey, "SessionId", 76);
    Client knocking(Out("knocking"), {"-browserlogon", "gw.example", "443", "77", "eve", "6.3.01.0"});
    EXPECT_EQ(knocking.Wait(), 0);
    EXPECT_NE(knocking.Output().find("question:"), std::string::npos) << knocking.Output();
    EXPECT_NE(knocking.Output().find("ends your session with the gateway gw.example:443"), std::string::npos)
        << knocking.Output();
    EXPECT_TRUE(first.Alive());
    EXPECT_EQ(MainWindow(), static_cast<DWORD>(first.Pid()));

    store->SetDword(kClientKey, "SessionId", 0);  // a gateway logged on to before, nothing online
    Client browser(Out("browser"), {"-browserlogon", "gw.example", "443", "77", "bob", "6.3.01.0"});
    EXPECT_EQ(first.Wait(), 0) << first.Output();
    EXPECT_NE(first.Output().find("quit"), std::string::npos) << first.Output();
    ASSERT_TRUE(testsupport::WaitFor(
        "the browser logon to take over", [&] { return MainWindow() == static_cast<DWORD>(browser.Pid()); },
        20000))
        << browser.Output();
    EXPECT_TRUE(browser.Alive());

    ::kill(browser.Pid(), SIGTERM);  // logs off and quits
    EXPECT_EQ(browser.Wait(), 0) << browser.Output();
    EXPECT_EQ(MainWindow(), 0u);
    EXPECT_FALSE(platform::NamedObjectExists(kRunningMutex));
}

// Named objects are open to every local user: a mark that somebody the client does not trust
// holds never ends or refuses the start silently. The holder runs as another user.
TEST_F(StartupTest, MarksAnotherUserHoldsAreToldWithTheirHolder) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the holder as another user";
    ASSERT_EQ(::chmod(root.Path().c_str(), 0755), 0);  // the other user reaches the machine root
    const auto named = [](const std::string& out, pid_t holder) {
        return out.find("process " + std::to_string(holder) + " (platform_test_h)") != std::string::npos;
    };
    {
        // Somebody else's update mark: the user is told whose it is and may start anyway.
        ForeignHolder update(kUpdateMutex);
        ASSERT_TRUE(update.Ready());
        Client asked(Out("asked"), {"-debug"});
        EXPECT_EQ(asked.Wait(), 0);
        const std::string out = asked.Output();
        EXPECT_NE(out.find("question:"), std::string::npos) << out;
        EXPECT_NE(out.find("being updated"), std::string::npos) << out;
        EXPECT_TRUE(named(out, update.Pid())) << out;
        EXPECT_NE(out.find("start the client anyway"), std::string::npos) << out;
    }
    ForeignHolder running(kRunningMutex);
    ASSERT_TRUE(running.Ready());
    store->SetDword(kClientKey, "MainWindow", 0);  // no client of the user's runs
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-debug"}, std::vector<std::string>{"-api"},
          std::vector<std::string>{"-browserlogon", "gw.example", "443", "77", "bob", "6.3.01.0"}}) {
        SCOPED_TRACE(args[0]);
        store->SetString(kClientKey, "ServerAddr", "gw.example");
        Client refused(Out("refused"), args);
        EXPECT_EQ(refused.Wait(), 0) << refused.Output();
        const std::string out = refused.Output();
        EXPECT_NE(out.find("message: "), std::string::npos) << out;
        EXPECT_NE(out.find("Another user is already using the client"), std::string::npos) << out;
        EXPECT_TRUE(named(out, running.Pid())) << out;
        EXPECT_NE(out.find(platform::NamedObjectFile(kRunningMutex)), std::string::npos) << out;
    }
}

TEST_F(StartupTest, ACrashIsToldAtTheNextStart) {
    store->SetString(kClientKey, "InstallDir", root.Path());
    auto startOffline = [&](Client& c) {
        return testsupport::WaitFor(
            "the client's window",
            [&] {
                return MainWindow() == static_cast<DWORD>(c.Pid()) &&
                       c.Output().find("state: offline") != std::string::npos;
            },
            20000);
    };
    const std::string sorry = "Sorry, there is something wrong with SSL-VPN Client";
    {
        Client crashing(Out("crashing"), {"-debug"});
        ASSERT_TRUE(startOffline(crashing)) << crashing.Output();
        ::kill(crashing.Pid(), SIGSEGV);
        EXPECT_EQ(crashing.Wait(), 128 + SIGSEGV) << crashing.Output();
        EXPECT_NE(crashing.Output().find(sorry), std::string::npos) << crashing.Output();
    }
    store->SetDword(kClientKey, "MainWindow", 0);
    ASSERT_TRUE(testsupport::WaitFor(
        "the crashed client's running mutex to go",
        [] { return !platform::NamedObjectExists(kRunningMutex); }, 10000));
    Client next(Out("next"), {"-debug"});
    ASSERT_TRUE(startOffline(next)) << "alive " << next.Alive() << ": " << next.Output();
    const std::string out = next.Output();
    const std::size_t at = out.find("message: [ERROR] " + sorry);
    ASSERT_NE(at, std::string::npos) << out;
    // The message names the report, which holds the signal and the stack.
    const std::size_t pathAt = out.find(root.Path() + "/Dump/", at);
    ASSERT_NE(pathAt, std::string::npos) << out;
    const std::string report = out.substr(pathAt, out.find_first_of(" \n", pathAt) - pathAt);
    std::ifstream in(report);
    std::string first;
    std::getline(in, first);
    EXPECT_EQ(first, "signal " + std::to_string(SIGSEGV)) << report;
    ::kill(next.Pid(), SIGTERM);
    EXPECT_EQ(next.Wait(), 0) << next.Output();

    // Told once.
    Client again(Out("again"), {"-debug"});
    ASSERT_TRUE(startOffline(again)) << again.Output();
    EXPECT_EQ(again.Output().find(sorry), std::string::npos) << again.Output();
    ::kill(again.Pid(), SIGTERM);
    EXPECT_EQ(again.Wait(), 0);
}

}  // namespace
}  // namespace vorn
