// Shows the preferences dialog, the status window, the logon page and the about box on the
// display Qt finds (Xvfb in screenshots.sh) and saves a picture of each.
// Usage: vorn_dialog_shots <output folder> <en|zh>
#include <QApplication>
#include <QPixmap>
#include <QTimer>
#include <cstdio>
#include <string>

#include "fake_connector.h"
#include "testsupport/temp_dir.h"
#include "vorn/dialogs/about_dialog.h"
#include "vorn/dialogs/dialog_rules.h"
#include "vorn/dialogs/language_catalogue.h"
#include "vorn/dialogs/logon_page.h"
#include "vorn/dialogs/preferences_dialog.h"
#include "vorn/dialogs/proxy_page.h"
#include "vorn/dialogs/status_dialog.h"

namespace {

class NoPrompter final : public vorn::Prompter {
public:
    void Message(const std::string&, const std::string&, vorn::BoxIcon) override {}
    bool AskYesNo(const std::string&, const std::string&, vorn::BoxIcon) override { return false; }
};

bool Shoot(QWidget& w, const std::string& path) {
    w.show();
    w.raise();
    for (int i = 0; i < 20; ++i) QApplication::processEvents(QEventLoop::AllEvents, 20);
    const bool ok = w.grab().save(QString::fromStdString(path), "PNG");
    std::printf("%s %s\n", ok ? "saved" : "FAILED", path.c_str());
    w.hide();
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <output folder> <en|zh>\n", argv[0]);
        return 2;
    }
    QApplication app(argc, argv);
    const std::string out = argv[1];
    const bool chinese = std::string(argv[2]) == "zh";
    const char* src = std::getenv("QEL_TEST_SOURCE_DIR");
    std::string error;
    auto texts =
        vorn::LoadCatalogue(chinese, &error, std::string(src ? src : ".") + "/client/ui/dialogs/lang");
    if (!texts) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    testsupport::TempDir dir("vorn-shots");
    auto store = std::make_shared<platform::SettingsStore>(dir.File("settings.db"));
    const char* k = vorn::kClientKey;
    store->SetString(k, "InstallDir", dir.Path());
    store->SetString(k, "ServerAddr", "vpn.example.com");
    store->SetDword(k, "ServerPortNum", 443);
    store->SetString(k, "QelUsername", "alice");
    store->SetDword(k, "RemID", 1);
    store->SetString(k, "QelPassword", vorn::ScramblePassword("secret12"));
    store->SetString(k, "UseProxy", "Yes");
    store->SetString(k, "ProxyAddr", "proxy.example.com");
    store->SetString(k, "ProxyPort", "3128");
    store->SetString(k, "UseProxyAuth", "No");
    store->SetDword(k, "AutoExec", 1);
    vorn::GatewayHistory history;
    for (const char* gw : {"gw2.example.com:8443", "vpn.example.com:443"}) {
        vorn::HistoryRecord r;
        r.server = gw;
        r.user = "alice";
        history.Update(r);
    }
    vorn::SaveHistoryFile(dir.Path(), history, &error);

    vorn::UiTextTable table;
    table.chineseUi = chinese;
    table.appTitle = chinese ? "MorvaneSSL-VPN客户端" : "Morvane-VornClient";
    table.caption = table.appTitle;
    table.version = "6.3.01.0";
    table.companyName = chinese ? "莫尔凡网络技术有限公司" : "Morvane Networks Ltd.";
    table.aboutTitle = chinese ? "关于MorvaneSSL-VPN客户端" : "About Morvane-VornClient";
    table.webSite = "https://www.morvane.example/";
    NoPrompter prompter;
    vorn::DialogContext ctx{texts.get(), &table, &prompter, nullptr, store};
    const std::string lang = chinese ? "zh" : "en";
    bool ok = true;

    vorn::CLogonPage logon(ctx);
    logon.OnInitDialog();
    logon.setWindowTitle(QString::fromStdString(table.appTitle));
    logon.resize(420, 220);
    ok &= Shoot(logon, out + "/logon-page-" + lang + ".png");

    vorn::CProxyPage proxy(ctx);
    proxy.OnInitDialog();
    vorn::CPreferSettings prefs(ctx, logon, proxy, false, [](const std::string&) { return 1; });
    ok &= Shoot(prefs, out + "/preferences-" + lang + ".png");

    engine::test::FakeConnector connector;
    connector.session.serverAddress = "vpn.example.com";
    connector.session.serverPort = 443;
    connector.session.userName = "alice";
    connector.session.virtualIp = 0xC6120005;
    connector.session.mask = 0xFFFFFF00;
    connector.session.sent = 123456;
    connector.session.received = 7654321;
    connector.session.onlineSeconds = 3725;
    vorn::CTwStatusDlg status(ctx, connector);
    status.resize(360, status.sizeHint().height());
    ok &= Shoot(status, out + "/status-" + lang + ".png");

    vorn::CAboutDlg about(ctx);
    about.adjustSize();  // the size the client shows it at
    ok &= Shoot(about, out + "/about-" + lang + ".png");
    return ok ? 0 : 1;
}
