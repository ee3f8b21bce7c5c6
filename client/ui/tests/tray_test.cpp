// The tray icon's mouse: a double click shows, the menu comes on the right button's release, a
// single left click does nothing.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>
#include <QSystemTrayIcon>
#include <QWidget>
#include <cstdlib>
#include <vector>

#include "vorn/qt_services.h"

namespace vorn {
namespace {

QApplication& App() {
    static int argc = 1;
    static char name[] = "vorn_tray_test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        return new QApplication(argc, argv);
    }();
    return *app;
}

void Release(QWidget* on, Qt::MouseButton button) {
    QMouseEvent e(QEvent::MouseButtonRelease, QPointF(1, 1), QPointF(1, 1), button, Qt::NoButton,
                  Qt::NoModifier);
    QApplication::sendEvent(on, &e);
}

TEST(TrayActivation, MenuOnTheRightButtonsReleaseAndNothingOnASingleLeftClick) {
    App();
    std::vector<bool> events;  // true: double click, false: menu
    bool held = false;
    TrayActivation tray([&](bool doubleClick) { events.push_back(doubleClick); }, [&] { return held; });
    QWidget icon;

    tray.Activated(QSystemTrayIcon::Trigger);
    tray.Activated(QSystemTrayIcon::MiddleClick);
    QApplication::processEvents();
    EXPECT_TRUE(events.empty()) << "a single click opens nothing";

    tray.Activated(QSystemTrayIcon::DoubleClick);
    EXPECT_EQ(events, std::vector<bool>{true});

    // Asked on the press: the menu waits for the right button to come up, once.
    events.clear();
    held = true;
    tray.Activated(QSystemTrayIcon::Context);
    tray.Activated(QSystemTrayIcon::Context);
    EXPECT_TRUE(tray.WaitingForRelease());
    Release(&icon, Qt::LeftButton);
    QApplication::processEvents();
    EXPECT_TRUE(events.empty());
    Release(&icon, Qt::RightButton);
    EXPECT_TRUE(events.empty()) << "the menu is not run inside the release's delivery";
    QApplication::processEvents();
    EXPECT_EQ(events, std::vector<bool>{false});
    EXPECT_FALSE(tray.WaitingForRelease());
    Release(&icon, Qt::RightButton);
    QApplication::processEvents();
    EXPECT_EQ(events.size(), 1u);

    // Asked after the release (a status-notifier host): at once.
    held = false;
    tray.Activated(QSystemTrayIcon::Context);
    EXPECT_EQ(events, (std::vector<bool>{false, false}));
}

}  // namespace
}  // namespace vorn
