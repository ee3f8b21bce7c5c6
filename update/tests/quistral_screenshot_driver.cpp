// Shows the update program's dialog on the display in the states a user meets at its end: the
// update done, the list not read (the worker's own failure), the download failed, the package
// refused at unpacking, the update server not trusted; then two of its message boxes (the
// question before an update, the cancelled update). Every text is the program's own, in English
// or Chinese, with Qt's own buttons in the same language.
//
// Before each picture it prints "READY <name>" and waits for a line on its standard input (the
// screenshot script takes the picture meanwhile). Usage: quistral_screenshot_driver en|zh
// (run by screenshots.sh; QEL_ROOT is the machine root, without an update list in it)
#include <QApplication>
#include <QEvent>
#include <QMessageBox>
#include <QTimer>
#include <QWindow>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <string>

#include "quistral_dlg.h"
#include "testsupport/screen_step.h"
#include "update_texts.h"

namespace {

using namespace quistral;

// A dialog whose worker found no list and ended; `show` then puts the state on it through the
// same calls the worker makes.
void ShootDialog(const std::string& name, const std::function<void(UpdateSink&)>& show) {
    UpdateConfig config;
    config.mode = UpdateMode::kClient;
    const char* root = std::getenv("QEL_ROOT");
    config.programDir = std::string(root ? root : "/tmp") + "/no-list";
    CQuistralDlg dlg(config, QtMessageBoxes());
    // Placed before it is shown: a move of a shown window is the window manager's to carry out,
    // which it may do after the picture.
    dlg.move(40, 40);
    dlg.show();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!dlg.Finished() && std::chrono::steady_clock::now() < deadline)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    if (show) show(dlg);
    testsupport::ScreenStep(name);
    dlg.hide();
}

// Puts every message box at the same place as it is shown, before its window maps (Qt sends the
// show event first).
class PlaceBoxes final : public QObject {
protected:
    bool eventFilter(QObject* object, QEvent* event) override {
        auto* box = qobject_cast<QMessageBox*>(object);
        if (box && event->type() == QEvent::Show) box->move(40, 40);
        return false;
    }
};

// Opens a message box, takes its picture once it shows and closes it.
void ShootBox(const std::string& name, const std::function<void()>& open) {
    PlaceBoxes place;
    qApp->installEventFilter(&place);
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible()) return;
        poll.stop();
        testsupport::ScreenStep(name);
        box->done(0);
    });
    poll.start();
    open();
    poll.stop();
}

}  // namespace

int main(int argc, char** argv) {
    const bool chinese = argc > 1 && std::string(argv[1]) == "zh";
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    SetChinese(chinese);
    if (chinese && !InstallQtTranslations(true)) std::cerr << "Qt's Chinese catalogue is missing\n";

    ShootDialog("update-done", [](UpdateSink& s) {
        s.SetProgress(100);
        s.SetStatus(Tr("Update succeed."));
        s.SetResult(Tr("Click on close button, the client program will run automatically."));
        s.EnableClose(true);
    });
    ShootDialog("update-failed-list", nullptr);
    ShootDialog("update-failed-download", [](UpdateSink& s) {
        s.SetProgress(35);
        s.SetStatus(Tr("Downloading update package..."));
        s.SetResult(DownloadFailedResult(true));
    });
    ShootDialog("update-failed-unpack", [](UpdateSink& s) {
        s.SetProgress(60);
        s.SetStatus(Tr("Releasing update package..."));
        s.SetResult(
            Tr("The update package could not be unpacked, please get a new installation package from the "
               "Download Center."));
    });
    ShootDialog("update-failed-certificate", [](UpdateSink& s) {
        s.SetProgress(10);
        s.SetStatus(Tr("Downloading update package..."));
        s.SetResult(Tr("The update server's certificate is not trusted, no update was fetched from it."));
    });
    ShootBox("message-update-question", [] {
        QtMessageBoxes().YesNo(
            nullptr,
            Tr("A new version of Morvane VornClient is available. \n\nWould you like to update now?"),
            Tr("Update Tips"));
    });
    ShootBox("message-update-canceled", [] {
        QtMessageBoxes().Information(nullptr, Tr("You have canceled update, please connect again."),
                                     Tr("SSL-VPN Update Tips"));
    });
    return 0;
}
