// The tray icon's mouse: a double click shows, the menu comes on the right button's release, a
// single left click does nothing. And Qt's own buttons in the client's language.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QWidget>
#include <cstdlib>
#include <filesystem>
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

// A Chinese client's message boxes have Qt's own buttons in Chinese, an English one's stay as Qt
// has them.
TEST(QtCatalogue, ChineseGivesQtsOwnButtonsInChinese) {
    App();
    EXPECT_FALSE(InstallQtTranslations(false));
    if (!std::filesystem::exists("/usr/share/qt6/translations/qtbase_zh_CN.qm"))
        GTEST_SKIP() << "qt6-translations-l10n is not installed";
    ASSERT_TRUE(InstallQtTranslations(true));
    QMessageBox box(QMessageBox::Question, "t", "t",
                    QMessageBox::Yes | QMessageBox::No | QMessageBox::Ok | QMessageBox::Cancel);
    const std::pair<QMessageBox::StandardButton, const char*> expected[] = {{QMessageBox::Yes, "是"},
                                                                            {QMessageBox::No, "否"},
                                                                            {QMessageBox::Ok, "确定"},
                                                                            {QMessageBox::Cancel, "取消"}};
    for (const auto& [button, chinese] : expected)
        EXPECT_TRUE(box.button(button)->text().contains(QString::fromUtf8(chinese)))
            << box.button(button)->text().toStdString();
}

}  // namespace
}  // namespace vorn
