// The screenshot drivers' step: once every shown window is drawn, say "READY <name>" on the
// standard output and wait for the script's line on the standard input (the script takes the
// picture in between). Header-only, for programs that link Qt Widgets.
#pragma once
#include <QApplication>
#include <QGuiApplication>
#include <QWidget>
#include <QWindow>

#include <chrono>
#include <iostream>
#include <string>

namespace testsupport {

// Until every shown window is mapped and drawn on the display: the picture is taken from the
// screen, and a window that the X server has not drawn yet comes out black.
inline void WaitDrawn() {
    for (int i = 0; i < 20; ++i) QApplication::processEvents(QEventLoop::AllEvents, 20);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    auto exposed = [] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->isVisible() && (!w->windowHandle() || !w->windowHandle()->isExposed())) return false;
        return true;
    };
    while (!exposed() && std::chrono::steady_clock::now() < deadline)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->isVisible()) w->repaint();
    QGuiApplication::sync();
}

inline void ScreenStep(const std::string& name) {
    WaitDrawn();
    std::cout << "READY " << name << std::endl;
    std::string line;
    std::getline(std::cin, line);
}

}  // namespace testsupport
