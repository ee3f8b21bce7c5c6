// Shows the real main dialog with the client's own pages and catalogue on the display, over the
// engine's fake connector, and steps it through offline, logging on, online and the tray menu. Before each
// step it prints "READY <name>" and waits for a line on its standard input (the screenshot script takes the
// picture meanwhile). Usage: vorn_screenshot_driver en|zh   (run by screenshots.sh)
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>

#include <QApplication>
#include <QMenu>
#include <QPushButton>
#include <QScreen>

#include "fake_connector.h"
#include "platform/settings_store.h"
#include "vorn/client_app.h"
#include "vorn/client_dialogs.h"
#include "vorn/connector_factory.h"
#include "vorn/dialogs/language_catalogue.h"
#include "vorn/main_dialog.h"
#include "vorn/qt_services.h"
#include "vorn/ui_bridge.h"

namespace {

class SilentPrompter final : public vorn::Prompter {
public:
    void Message(const std::string& text, const std::string&, vorn::BoxIcon) override {
        std::cerr << "message: " << text << "\n";
    }
    bool AskYesNo(const std::string&, const std::string&, vorn::BoxIcon) override { return false; }
};

class NoTray final : public vorn::TrayIcon {
public:
    bool Message(int, const std::string&, int, const std::string&) override { return true; }
    int TrackMenu(const std::vector<vorn::MenuItem>&) override { return 0; }
};

class Running final : public vorn::ServiceProbe {
public:
    int Status(const std::string&) override { return 0; }
};

class NoLauncher final : public vorn::Launcher {
public:
    bool StartHidden(const std::string&, const std::vector<std::string>&) override { return true; }
    bool OpenUrl(const std::string&) override { return true; }
    bool Exec(const std::string&) override { return true; }
};

void Step(const std::string& name) {
    // Let the window settle before the picture.
    for (int i = 0; i < 20; ++i) QApplication::processEvents(QEventLoop::AllEvents, 20);
    std::cout << "READY " << name << std::endl;
    std::string line;
    std::getline(std::cin, line);
}

}  // namespace

int main(int argc, char** argv) {
    const bool chinese = argc > 1 && std::string(argv[1]) == "zh";
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    auto store = platform::SettingsStore::Machine();
    store->CreateKey(vorn::kClientKey);
    store->SetString(vorn::kClientKey, "ServerAddr", "vpn.example.com");
    store->SetDword(vorn::kClientKey, "ServerPortNum", 443);
    store->SetString(vorn::kClientKey, "QelUsername", "alice");
    const char* root = std::getenv("QEL_ROOT");
    const std::string install = std::string(root ? root : "/tmp") + "/install";
    std::filesystem::create_directories(install);
    store->SetString(vorn::kClientKey, "InstallDir", install);
    const vorn::UiTextTable table = vorn::UiTextTable::Build(chinese, *store);
    std::string error;
    std::unique_ptr<vorn::TextSource> texts = vorn::LoadCatalogue(chinese, &error);
    if (!texts) {
        std::cerr << "the catalogue did not load (" << error << "), the built-in texts are shown\n";
        texts = vorn::BuiltInTexts(chinese);
    }
    vorn::UiBridge bridge(*texts);
    engine::test::FakeConnector connector;
    std::atomic<bool> release{false};
    connector.onLogon = [&](const engine::test::LogonCall&) {
        bridge.Callback(engine::UPDATE_STATUS_CAN_CANCEL, "");
        bridge.Callback(engine::UI_CODE_PROGRESS_TEXT, texts->Text(219));
        while (!release) connector.waitLogon.Wait(20);
        bridge.Callback(engine::UPDATE_STATUS_ONLINE, "");
        return true;
    };
    SilentPrompter prompter;
    NoTray tray;
    Running services;
    NoLauncher launcher;
    vorn::DialogDeps d;
    d.connector = &connector;
    d.bridge = &bridge;
    d.texts = texts.get();
    d.table = &table;
    d.prompter = &prompter;
    d.tray = &tray;
    d.launcher = &launcher;
    d.services = &services;
    d.store = store;
    vorn::ConnectorPasswordTunnel passwords;
    vorn::ClientDialogs children(vorn::DialogContext{texts.get(), &table, &prompter, &launcher, store},
                                 passwords);
    auto page = children.MakeLogonPage([] {});
    vorn::LogonPageView* logonPage = page.get();
    d.logonPage = std::move(page);
    d.proxyPage = children.MakeProxyPage([] {});
    d.hardwareDevice = [](std::string*, std::string*) { return false; };
    vorn::TwLogonVpn dialog(std::move(d));
    if (!dialog.InitDialog()) return 1;
    dialog.move(40, 40);
    logonPage->SetPassword("password");
    Step("offline");

    dialog.OnOK();
    while (dialog.Status() != vorn::UPDATE_STATUS_CAN_CANCEL)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    Step("logging-on");

    release = true;
    while (dialog.ActionButton()->text().toStdString() != texts->Text(116)) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    dialog.show();
    dialog.move(40, 40);
    Step("online");

    std::unique_ptr<QMenu> menu(vorn::MakeTrayMenu(dialog.BuildTrayMenu()));
    menu->popup(QPoint(dialog.x() + dialog.width() + 20, 60));
    Step("tray-menu");
    menu->hide();
    release = true;
    return 0;
}
