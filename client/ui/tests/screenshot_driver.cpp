// Shows the real main dialog with the client's own pages, catalogue and child dialogs on the
// display, behind the client's own connector (CreateConnector) talking to two test gateways on
// loopback: one that never answers the logon (the pictures while logging on) and one that accepts
// it (online); a third refuses it with a text in code page 936. The machine's devices are the connector
// tests' stand-ins, so no root is needed. Every text on the pictures is the one the engine and the dialogs
// show.
//
// Before each picture it prints "READY <name>" and waits for a line on its standard input (the
// screenshot script takes the picture meanwhile). Usage: vorn_screenshot_driver en|zh
// (run by screenshots.sh)
#include <QApplication>
#include <QDialog>
#include <QMenu>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QWindow>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <string>

#include "adapter_test_machine.h"
#include "datapath_fakes.h"
#include "gateway/test_gateway.h"
#include "platform/settings_store.h"
#include "testsupport/screen_step.h"
#include "vorn/client_app.h"
#include "vorn/client_dialogs.h"
#include "vorn/connector_factory.h"
#include "vorn/dialogs/language_catalogue.h"
#include "vorn/main_dialog.h"
#include "vorn/qt_services.h"
#include "vorn/ui_bridge.h"

namespace {

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

// Pumps until `done` holds; false (with a line on the standard error) after 20 s.
bool PumpUntil(const std::string& what, const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            std::cerr << "gave up waiting for " << what << "\n";
            return false;
        }
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// Runs `open`, which shows a modal window (a dialog or a message box) at once or starts what
// shows one later, takes its picture as `name` once it shows and closes it again.
void ShootModal(const std::string& name, const std::function<void()>& open) {
    bool shot = false;
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!modal || !modal->isVisible()) return;
        poll.stop();
        testsupport::ScreenStep(name);
        modal->done(0);
        shot = true;
    });
    poll.start();
    open();
    PumpUntil("the window of " + name, [&] { return shot; });
    poll.stop();
}

void ShootMenu(const std::string& name, vorn::TwLogonVpn& dialog) {
    std::unique_ptr<QMenu> menu(vorn::MakeTrayMenu(dialog.BuildTrayMenu()));
    menu->popup(QPoint(dialog.x() + dialog.width() + 20, 60));
    testsupport::ScreenStep(name);
    menu->hide();
}

}  // namespace

int main(int argc, char** argv) {
    const bool chinese = argc > 1 && std::string(argv[1]) == "zh";
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    vorn::InstallQtTranslations(chinese);
    const char* root = std::getenv("QEL_ROOT");
    const std::string base = root ? root : "/tmp";
    const std::string install = base + "/install";
    std::filesystem::create_directories(install);

    // The gateways: the same user on both; the first never answers the logon.
    std::string error;
    auto makeGateway = [&](qelgw::LogonMode mode, const std::string& dir) {
        qelgw::GatewayConfig config;
        config.stateDir = base + "/" + dir;
        std::filesystem::create_directories(config.stateDir);
        config.AddUser("alice:secret", &error);
        config.logon = mode;
        auto gw = std::make_unique<qelgw::TestGateway>(config);
        if (!gw->Start(&error)) {
            std::cerr << "the test gateway did not start: " << error << "\n";
            std::exit(1);
        }
        return gw;
    };
    auto silent = makeGateway(qelgw::LogonMode::Silent, "gw-silent");
    auto accepting = makeGateway(qelgw::LogonMode::Accept, "gw-accept");

    auto store = platform::SettingsStore::Machine();
    store->CreateKey(vorn::kClientKey);
    store->SetString(vorn::kClientKey, "ServerAddr", "127.0.0.1");
    store->SetDword(vorn::kClientKey, "ServerPortNum", silent->Port());
    store->SetString(vorn::kClientKey, "QelUsername", "alice");
    store->SetString(vorn::kClientKey, "InstallDir", install);
    store->SetDword(vorn::kClientKey, "UseStatic", 1);
    store->SetDword(vorn::kClientKey, "NoResourcePage", 1);
    store->SetString(vorn::kClientKey, "UseProxy", "Yes");
    store->SetString(vorn::kClientKey, "ProxyAddr", "proxy.example.com");
    store->SetString(vorn::kClientKey, "ProxyPort", "3128");
    store->SetString(vorn::kClientKey, "UseProxyAuth", "No");
    const vorn::UiTextTable table = vorn::UiTextTable::Build(chinese, *store);
    std::unique_ptr<vorn::TextSource> texts = vorn::LoadCatalogue(chinese, &error);
    if (!texts) {
        std::cerr << "the catalogue did not load (" << error << "), the built-in texts are shown\n";
        texts = vorn::BuiltInTexts(chinese);
    }

    // The client's own connector over the connector tests' stand-in machine.
    engine::EngineTiming timing;  // the programs' own delays
    engine::test::FakePc pc;
    engine::test::FakeAdapterDriver driver{platform::SystemClock()};
    enginetest::FakePort port;
    vorn::UiBridge bridge(*texts);
    vorn::ConnectorPasswordTunnel passwords;
    engine::ConnectorDeps cd;
    cd.driver = &driver;
    cd.port = &port;
    cd.routes = &pc.routes;
    cd.adapters = &pc.adapters;
    cd.sendCmd = [&pc](const std::string& c) { return pc.Send(c); };
    cd.sendRestart = [&pc](const std::string& c) { return pc.Send(c) == engine::kNetshDone ? 0 : 8; };
    cd.hardwareId = [] { return std::string("0123456789abcdef0123456789abcdef|1|00-11-22-33-44-55"); };
    cd.routeFile = base + "/SystemRouteTable.dat";
    cd.sendProbe = [](DWORD, WORD, const std::string&) { return true; };
    cd.adapterSleep = [](DWORD) {};
    cd.predefinedServerFile.clear();
    std::unique_ptr<engine::ConnectorControl> connector =
        vorn::CreateConnector(std::move(cd), bridge, timing, &passwords);

    vorn::QtPrompter prompter;
    NoTray tray;
    Running services;
    NoLauncher launcher;
    vorn::ClientDialogs children(vorn::DialogContext{texts.get(), &table, &prompter, &launcher, store},
                                 passwords);
    vorn::DialogDeps d;
    d.connector = connector.get();
    d.bridge = &bridge;
    d.texts = texts.get();
    d.table = &table;
    d.prompter = &prompter;
    d.tray = &tray;
    d.launcher = &launcher;
    d.services = &services;
    d.store = store;
    d.engineTiming = timing;
    d.runChildDialog = [&children](vorn::TwLogonVpn& owner, int command) { children.Run(owner, command); };
    auto page = children.MakeLogonPage([] {});
    vorn::LogonPageView* logonPage = page.get();
    d.logonPage = std::move(page);
    d.proxyPage = children.MakeProxyPage([] {});
    d.hardwareDevice = [](std::string*, std::string*) { return false; };
    vorn::TwLogonVpn dialog(std::move(d));
    if (!dialog.InitDialog()) return 1;
    dialog.move(40, 40);  // before it maps: a window manager places it there
    dialog.show();
    logonPage->SetPassword("secret");

    // Offline: the two tabs, the tray menu, and a message box (the quit question).
    testsupport::ScreenStep("offline");
    dialog.Tabs()->setCurrentIndex(1);
    testsupport::ScreenStep("proxy-tab");
    dialog.Tabs()->setCurrentIndex(0);
    ShootMenu("tray-menu-offline", dialog);
    ShootModal("message-quit-question", [&] { dialog.HandleMenu(1, ""); });
    // A form the logon command refuses: its message box.
    logonPage->SetUserName("");
    ShootModal("message-form-error", [&] {
        dialog.move(40, 40);
        dialog.OnOK();
    });
    logonPage->SetUserName("alice");

    // Logging on to the gateway that never answers: the engine's text while it waits.
    dialog.OnOK();
    if (!PumpUntil("the logon request at the silent gateway",
                   [&] { return silent->Counters().logonRequests > 0; }))
        return 1;
    PumpUntil("the cancellable state", [&] { return dialog.Status() == vorn::UPDATE_STATUS_CAN_CANCEL; });
    dialog.move(40, 40);
    testsupport::ScreenStep("logging-on");
    ShootMenu("tray-menu-logging-on", dialog);
    dialog.HandleMenu(13, "");  // cancel
    if (!PumpUntil("offline after the cancel", [&] {
            return dialog.Status() == vorn::UPDATE_STATUS_OFFLINE && !dialog.InAction() &&
                   dialog.ActionButton()->isEnabled();
        }))
        return 1;
    // Whatever box the cancel brought is closed before the real logon.
    while (auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget())) modal->done(0);

    // Online at the accepting gateway.
    logonPage->SetServerText("127.0.0.1:" + std::to_string(accepting->Port()));
    logonPage->SetPassword("secret");
    dialog.OnOK();
    if (!PumpUntil("online", [&] {
            return dialog.Status() == vorn::UPDATE_STATUS_ONLINE &&
                   dialog.ActionButton()->text().toStdString() == texts->Text(116);
        }))
        return 1;
    dialog.show();
    dialog.move(40, 40);
    testsupport::ScreenStep("online");
    ShootMenu("tray-menu-online", dialog);
    ShootModal("change-password", [&] { dialog.HandleMenu(20, ""); });
    ShootModal("password-reentry", [&] { children.Run(dialog, 2030); });

    dialog.OnOK();  // log off
    PumpUntil("offline",
              [&] { return dialog.Status() == vorn::UPDATE_STATUS_OFFLINE && !dialog.InAction(); });

    // A refusal the gateway wrote in code page 936: its pop-up shows the text as it was meant.
    {
        qelgw::GatewayConfig config;
        config.stateDir = base + "/gw-refusing";
        std::filesystem::create_directories(config.stateDir);
        config.AddUser("alice:secret", &error);
        config.logon = qelgw::LogonMode::Nak;
        config.nakText = "账号已被管理员禁用，请联系管理员。";
        qelgw::TestGateway refusing(config);
        if (!refusing.Start(&error)) {
            std::cerr << "the test gateway did not start: " << error << "\n";
            return 1;
        }
        logonPage->SetServerText("127.0.0.1:" + std::to_string(refusing.Port()));
        logonPage->SetPassword("secret");
        ShootModal("message-gateway-refusal", [&] { dialog.OnOK(); });
        PumpUntil("offline",
                  [&] { return dialog.Status() == vorn::UPDATE_STATUS_OFFLINE && !dialog.InAction(); });
        refusing.Stop();
    }

    accepting->Stop();
    silent->Stop();
    return 0;
}
