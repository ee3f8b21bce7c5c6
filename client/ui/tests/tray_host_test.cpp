// The tray icon when the desktop's tray goes away and comes back (a restarted panel): Qt
// registers the icon with the new status-notifier watcher by itself, with the tip and the icon it
// has at that moment, also when they changed while there was no tray; a restarted X tray gets it
// docked again. The client therefore has no handler of its own for a new tray. Runs the client's
// QtTrayIcon on a private X display and a private session bus against stand-in trays
// (fake_tray_host, fake_x_tray) that are ended and started again.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QSystemTrayIcon>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "testsupport/command.h"
#include "vorn/qt_services.h"
#include "vorn/ui_services.h"

namespace vorn {
namespace {

// A child whose output (standard output, or the descriptor `fd` it is told to write to) comes
// through a pipe.
class Child {
public:
    Child(const std::vector<std::string>& argv, int fd) {
        int p[2];
        if (::pipe2(p, O_CLOEXEC) != 0) return;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(p[1], fd);
            std::vector<char*> args;
            for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            ::execvp(args[0], args.data());
            ::_exit(127);
        }
        ::close(p[1]);
        m_out = p[0];
        ::fcntl(m_out, F_SETFL, O_NONBLOCK);
    }
    ~Child() { Stop(); }
    void Stop() {
        testsupport::StopProcess(m_pid);
        m_pid = -1;
        if (m_out >= 0) ::close(m_out);
        m_out = -1;
    }
    // The next line that starts with `prefix`, pumping Qt's events meanwhile; empty after 20 s.
    std::string Line(const std::string& prefix) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            for (std::size_t nl; (nl = m_buffer.find('\n')) != std::string::npos;) {
                std::string line = m_buffer.substr(0, nl);
                m_buffer.erase(0, nl + 1);
                if (line.rfind(prefix, 0) == 0) return line;
            }
            if (QCoreApplication::instance()) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            pollfd pfd{m_out, POLLIN, 0};
            if (::poll(&pfd, 1, 10) > 0) {
                char buf[512];
                ssize_t n = ::read(m_out, buf, sizeof(buf));
                if (n > 0) m_buffer.append(buf, static_cast<std::size_t>(n));
                if (n == 0) break;
            }
        }
        return {};
    }

private:
    pid_t m_pid = -1;
    int m_out = -1;
    std::string m_buffer;
};

bool OnPath(const char* program) {
    return testsupport::Run({"sh", "-c", std::string("command -v ") + program}) == 0;
}

// A private X display and session bus for the test's process; the tray is the test's.
struct Desktop {
    std::unique_ptr<Child> x, bus;
    bool Start(std::string* why) {
        if (!OnPath("Xvfb") || !OnPath("dbus-daemon")) {
            *why = "Xvfb or dbus-daemon is not installed";
            return false;
        }
        x = std::make_unique<Child>(std::vector<std::string>{"Xvfb", "-displayfd", "3", "-nolisten", "tcp",
                                                             "-screen", "0", "640x480x24"},
                                    3);
        const std::string display = x->Line("");
        bus = std::make_unique<Child>(
            std::vector<std::string>{"dbus-daemon", "--config-file=/usr/share/dbus-1/session.conf",
                                     "--nofork", "--print-address=3"},
            3);
        const std::string address = bus->Line("unix:");
        if (display.empty() || address.empty()) {
            *why = "Xvfb or the session bus did not start";
            return false;
        }
        ::setenv("DISPLAY", (":" + display).c_str(), 1);
        ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        for (const char* v : {"XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "QT_QPA_PLATFORMTHEME"})
            ::unsetenv(v);
        return true;
    }
};

TEST(TrayHost, TheIconComesBackWithItsCurrentStateWhenTheTrayRestarts) {
    Desktop desktop;
    std::string why;
    if (!desktop.Start(&why)) GTEST_SKIP() << why;
    const std::string hostProgram = testsupport::BinDir() + "/vorn_fake_tray_host";

    auto host = std::make_unique<Child>(std::vector<std::string>{hostProgram}, 1);
    ASSERT_EQ(host->Line("READY"), "READY");
    int argc = 1;
    char name[] = "vorn_tray_host_test";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    QtTrayIcon tray([](bool) {}, nullptr);
    ASSERT_TRUE(tray.Message(0, "offline tip", kIconOffline, ""));
    const std::string first = host->Line("ITEM ");
    ASSERT_FALSE(first.empty()) << "the icon did not register with the tray";
    EXPECT_NE(first.find(" offline tip"), std::string::npos) << first;

    // The tray goes; the state changes while it is away; a new tray comes.
    host->Stop();
    ASSERT_TRUE(tray.Message(1, "online tip", kIconOnline, ""));
    for (int i = 0; i < 10; ++i) QApplication::processEvents(QEventLoop::AllEvents, 10);
    host = std::make_unique<Child>(std::vector<std::string>{hostProgram}, 1);
    ASSERT_EQ(host->Line("READY"), "READY");
    const std::string again = host->Line("ITEM ");
    ASSERT_FALSE(again.empty()) << "the icon did not come back to the new tray by itself";
    EXPECT_NE(again.find(" online tip"), std::string::npos) << again;
    // The online icon, not the one the first tray saw.
    EXPECT_NE(again.substr(0, again.find(' ', 5)), first.substr(0, first.find(' ', 5)));
    host->Stop();
}

// The XEmbed tray (no status-notifier watcher on the bus): a restarted tray gets the icon docked
// again by Qt, the state having changed while there was no tray. (Its pixels are Qt's drawing of
// the icon it holds; the status-notifier case above reads the state back.)
TEST(TrayHost, ARestartedXTrayGetsTheIconDockedAgain) {
    Desktop desktop;
    std::string why;
    if (!desktop.Start(&why)) GTEST_SKIP() << why;
    const std::string trayProgram = testsupport::BinDir() + "/vorn_fake_x_tray";
    if (::access(trayProgram.c_str(), X_OK) != 0) GTEST_SKIP() << "built without X11";
    int argc = 1;
    char name[] = "vorn_tray_host_test";
    char* argv[] = {name, nullptr};
    auto host = std::make_unique<Child>(std::vector<std::string>{trayProgram}, 1);
    ASSERT_EQ(host->Line("READY"), "READY");
    QApplication app(argc, argv);
    // Qt has met the tray (its selection owner) before the icon comes, as on a running desktop.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!QSystemTrayIcon::isSystemTrayAvailable() && std::chrono::steady_clock::now() < deadline)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    ASSERT_TRUE(QSystemTrayIcon::isSystemTrayAvailable());
    QtTrayIcon tray([](bool) {}, nullptr);
    ASSERT_TRUE(tray.Message(0, "offline tip", kIconOffline, ""));
    ASSERT_FALSE(host->Line("DOCK ").empty()) << "the icon did not dock with the tray";

    host->Stop();
    ASSERT_TRUE(tray.Message(1, "online tip", kIconOnline, ""));
    for (int i = 0; i < 10; ++i) QApplication::processEvents(QEventLoop::AllEvents, 10);
    host = std::make_unique<Child>(std::vector<std::string>{trayProgram}, 1);
    ASSERT_EQ(host->Line("READY"), "READY");
    EXPECT_FALSE(host->Line("DOCK ").empty()) << "the icon did not dock with the restarted tray";
    host->Stop();
}

}  // namespace
}  // namespace vorn
