// VornClient: the GUI client. Without a display it runs on the offscreen platform, logs on by
// itself and prints its state changes.
#include <cstdlib>
#include <string>
#include <vector>

#include <QApplication>

#include "vorn/vorn_client.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv, argv + argc);
    const char* platformName = std::getenv("QT_QPA_PLATFORM");
    const bool noDisplay = !std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY");
    if (!platformName && noDisplay) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const bool headless = noDisplay || (platformName && std::string(platformName) == "offscreen");
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    return vorn::RunVornClient(std::move(args), headless);
}
