// The client's own connector (CreateConnector) behind the main dialog, offscreen, against the test
// gateway over loopback: the form's logon reaches online (callback 0) and the logoff ends offline
// at both ends; the tray's change-password window sends the change through the tunnel and gets
// the gateway's answer (message 1054) back. The machine's devices are the connector tests' stand-ins (the
// in-memory PC whose service answers the pipe, a recording driver and packet port), so no root is needed.
#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <chrono>
#include <filesystem>

#include "connector_rig.h"
#include "gateway/test_gateway.h"
#include "testsupport/temp_dir.h"
#include "dialog_rig.h"
#include "vorn/client_dialogs.h"
#include "vorn/connector_factory.h"

namespace vorn::test {
namespace {

class ConnectorLogonTest : public ::testing::Test, protected DialogRig {
protected:
    void SetUp() override {
        App();
        store = platform::SettingsStore::Machine();
        ASSERT_EQ(store->CreateKey(kClientKey), platform::kRegOk);
        store->SetDword(kClientKey, "UseStatic", 1);
        store->SetDword(kClientKey, "NoResourcePage", 1);
        // The gateway's certificate is kept under the install folder: the test's own.
        std::filesystem::create_directories(root.Path() + "/install");
        store->SetString(kClientKey, "InstallDir", root.Path() + "/install");
        table = UiTextTable::Build(false, *store);

        config.stateDir = stateDir.Path();
        std::string error;
        ASSERT_TRUE(config.AddUser("alice:secret", &error)) << error;
        gateway = std::make_unique<qelgw::TestGateway>(config);
        ASSERT_TRUE(gateway->Start(&error)) << error;

        engine::ConnectorDeps base;
        base.driver = &driver;
        base.port = &port;
        base.routes = &pc.routes;
        base.adapters = &pc.adapters;
        base.sendCmd = [this](const std::string& c) { return pc.Send(c); };
        base.sendRestart = [this](const std::string& c) { return pc.Send(c) == engine::kNetshDone ? 0 : 8; };
        base.hardwareId = [] { return std::string("0123456789abcdef0123456789abcdef|1|00-11-22-33-44-55"); };
        base.routeFile = root.Path() + "/SystemRouteTable.dat";
        base.sendProbe = [](DWORD, WORD, const std::string&) { return true; };
        base.adapterSleep = [](DWORD) {};
        base.predefinedServerFile.clear();
        connector = CreateConnector(std::move(base), bridge, engineTiming, &passwords);
        children = std::make_unique<ClientDialogs>(DialogContext{&texts, &table, &prompter, &launcher, store},
                                                   passwords);

        DialogDeps d = Deps(connector.get(), store);
        d.timing = FastUiTiming();
        // A real logon over TLS takes longer than the fast profile's cut (100 ms) under the thread
        // checker or load; cut, it ends with the cut's box instead of the gateway's answer.
        d.timing.logonCutMs = UiTiming{}.logonCutMs;
        d.engineTiming = engineTiming;
        d.runChildDialog = [this](TwLogonVpn& owner, int command) { children->Run(owner, command); };
        d.report = [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(reportLock);
            reports.push_back(line);
        };
        dialog = std::make_unique<TwLogonVpn>(std::move(d));
        ASSERT_TRUE(dialog->InitDialog());
    }
    void TearDown() override {
        dialog.reset();
        QApplication::processEvents();
        children.reset();
        connector.reset();
        if (gateway) gateway->Stop();
    }
    static int Count(const std::string& text, const std::string& part) {
        int n = 0;
        for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
        return n;
    }
    std::string Reports() {
        std::lock_guard<std::mutex> lock(reportLock);
        std::string all;
        for (const auto& r : reports) all += "[" + r + "]";
        return all;
    }
    void GoOnline() {
        FillForm("127.0.0.1:" + std::to_string(gateway->Port()), "alice", "secret");
        dialog->OnOK();
        // The state is taken at once; the callbacks before it (which close child windows) are
        // handled once the posted "online" was.
        ASSERT_TRUE(PumpUntil(
            "the dialog online (reports " + Reports() + ")",
            [&] {
                return dialog->Status() == UPDATE_STATUS_ONLINE &&
                       Reports().find("[state: online]") != std::string::npos;
            },
            15000));
    }
    // Runs the tray's change-password command; `act` is called on the open window every few
    // milliseconds while its modal loop runs, until it closes (closed after 15 s in any case).
    void WithChangeWindow(const std::function<void(CAlterPassword&)>& act) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        QTimer poll;
        poll.setInterval(5);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                auto* alter = dynamic_cast<CAlterPassword*>(w);
                if (!alter || !alter->isVisible()) continue;
                if (std::chrono::steady_clock::now() > deadline) {
                    ADD_FAILURE() << "the change-password window stayed open (boxes "
                                  << prompter.Boxes().size() << ")";
                    alter->reject();
                } else {
                    act(*alter);
                }
            }
        });
        poll.start();
        dialog->HandleMenu(20, "");
    }
    static void Fill(CAlterPassword& alter) {
        alter.OldField()->setText("secret");
        alter.NewField()->setText("better-secret");
        alter.ConfirmField()->setText("better-secret");
        alter.OnOK();
    }
    bool Boxed(const std::string& text, BoxIcon icon) {
        for (const auto& b : prompter.Boxes())
            if (b.text == text && b.icon == icon) return true;
        return false;
    }

    testsupport::TempRoot root{"vorn-connector"};
    testsupport::TempDir stateDir{"vorn-connector-gw"};
    std::shared_ptr<platform::SettingsStore> store;
    engine::EngineTiming engineTiming = engine::test::FastTiming();
    engine::test::FakePc pc;
    engine::test::FakeAdapterDriver driver{platform::SystemClock()};
    enginetest::FakePort port;
    qelgw::GatewayConfig config;
    std::unique_ptr<qelgw::TestGateway> gateway;
    ConnectorPasswordTunnel passwords;
    std::unique_ptr<engine::ConnectorControl> connector;
    std::unique_ptr<ClientDialogs> children;
    std::unique_ptr<TwLogonVpn> dialog;
    std::mutex reportLock;
    std::vector<std::string> reports;
};

TEST_F(ConnectorLogonTest, TheFormLogsOnToTheGatewayAndOff) {
    FillForm("127.0.0.1:" + std::to_string(gateway->Port()), "alice", "secret");
    dialog->OnOK();
    ASSERT_TRUE(PumpUntil(
        "the dialog online (reports " + Reports() + ")",
        [&] { return dialog->Status() == UPDATE_STATUS_ONLINE; }, 15000));
    EXPECT_EQ(connector->Status(), engine::TW_CLT_STATUS_GW_CERTIFIED);
    ASSERT_TRUE(
        PumpUntil("the gateway to count the client online", [&] { return gateway->OnlineCount() == 1; }));
    EXPECT_EQ(gateway->Counters().lastHardwareId, "0123456789abcdef0123456789abcdef|1|00-11-22-33-44-55");
    EXPECT_TRUE(PumpUntil("the online tray icon", [&] { return tray.lastIcon == kIconOnline; }));
    DWORD dialled = 0;
    store->GetDword(kClientKey, "ServerPortNum", &dialled);
    EXPECT_EQ(dialled, gateway->Port()) << "the form's gateway is what the connector dialled";

    dialog->OnOK();  // online: the button logs off
    ASSERT_TRUE(PumpUntil(
        "the dialog offline (reports " + Reports() + ")",
        [&] { return dialog->Status() == UPDATE_STATUS_OFFLINE; }, 15000));
    EXPECT_TRUE(
        PumpUntil("the gateway to hear the logoff", [&] { return gateway->Counters().logoffs == 1; }));
    EXPECT_EQ(connector->Status(), engine::TW_CLT_STATUS_OFFLINE);
    EXPECT_TRUE(PumpUntil("the offline tray icon", [&] { return tray.lastIcon == kIconOffline; }));
    EXPECT_TRUE(prompter.Boxes().empty()) << "no error box on the way";
}

TEST_F(ConnectorLogonTest, AWrongPasswordEndsOfflineWithTheGatewaysText) {
    FillForm("127.0.0.1:" + std::to_string(gateway->Port()), "alice", "wrong!");
    dialog->OnOK();
    // The engine sets the state at once and posts the callback; the posted offline (which stops
    // the tray's blinking) is the second offline report, after the one of the start.
    ASSERT_TRUE(PumpUntil(
        "the logon to fail (reports " + Reports() + ")",
        [&] {
            return dialog->Status() == UPDATE_STATUS_OFFLINE && !dialog->InAction() &&
                   connector->LogonInProgress().load() == 0 && !prompter.Boxes().empty() &&
                   Count(Reports(), "[state: offline]") >= 2;
        },
        15000));
    EXPECT_EQ(gateway->OnlineCount(), 0);
    EXPECT_EQ(connector->Status(), engine::TW_CLT_STATUS_OFFLINE);
    EXPECT_EQ(tray.lastIcon, kIconOffline);
    bool shown = false;
    std::string boxes;
    for (const auto& box : prompter.Boxes()) {
        shown = shown || box.text == config.badPasswordText;
        boxes += "[" + box.text + "]";
    }
    EXPECT_TRUE(shown) << "the gateway's refusal is shown (boxes " << boxes << ", reports " << Reports()
                       << ")";
}

TEST_F(ConnectorLogonTest, AChangedPasswordIsAnsweredInTheChangeWindow) {
    GoOnline();
    bool sent = false;
    WithChangeWindow([&](CAlterPassword& alter) {
        if (!alter.Sent()) Fill(alter);
        sent = alter.Sent();
    });
    EXPECT_TRUE(sent);
    EXPECT_EQ(gateway->Counters().passwordChanges, 1);
    EXPECT_TRUE(Boxed("t148", BoxIcon::kInformation));
}

// The gateway presents another certificate than the one this user trusted for it: the user is
// asked, shown the gateway and both fingerprints; no ends the logon with that message, yes trusts
// the new certificate and logs on.
TEST_F(ConnectorLogonTest, AChangedGatewayCertificateIsPutToTheUser) {
    const std::string name = "127.0.0.1:" + std::to_string(gateway->Port());
    const std::string pins = std::string(kClientKey) + "\\GatewayCertificates";
    const std::string trusted = "00:11:22:33";
    ASSERT_EQ(store->SetString(pins, name, trusted), platform::kRegOk);
    FillForm(name, "alice", "secret");
    dialog->OnOK();
    const auto errorBox = [&]() -> std::string {
        for (const auto& b : prompter.Boxes())
            if (!b.question && b.icon == BoxIcon::kError) return b.text;
        return {};
    };
    ASSERT_TRUE(PumpUntil(
        "the logon to be refused (reports " + Reports() + ")",
        [&] {
            return dialog->Status() == UPDATE_STATUS_OFFLINE && !dialog->InAction() &&
                   connector->LogonInProgress().load() == 0 && !errorBox().empty() &&
                   Count(Reports(), "[state: offline]") >= 2;
        },
        15000));
    EXPECT_EQ(gateway->OnlineCount(), 0);
    std::string question;
    for (const auto& b : prompter.Boxes())
        if (b.question) question = b.text;
    for (const std::string& part : {name, trusted}) {
        EXPECT_NE(question.find(part), std::string::npos) << part << " not in the question: " << question;
        EXPECT_NE(errorBox().find(part), std::string::npos) << part << " not in the message: " << errorBox();
    }
    std::string pinned;
    ASSERT_EQ(store->GetString(pins, name, &pinned), platform::kRegOk);
    EXPECT_EQ(pinned, trusted);

    prompter.Answer(true);
    GoOnline();
    ASSERT_EQ(store->GetString(pins, name, &pinned), platform::kRegOk);
    EXPECT_NE(pinned, trusted);
    EXPECT_NE(question.find(pinned), std::string::npos) << "the question showed another certificate";
}

class RefusingGatewayTest : public ConnectorLogonTest {
protected:
    RefusingGatewayTest() {
        config.passwordChangeCode = 7;
        // Gateways write it in code page 936: the box shows it as it was meant.
        config.passwordChangeText = "新密码强度不够";
    }
};

TEST_F(RefusingGatewayTest, ARefusedChangeShowsTheGatewaysTextAndKeepsTheWindow) {
    GoOnline();
    bool refusedWhileOpen = false;
    WithChangeWindow([&](CAlterPassword& alter) {
        if (!alter.Sent()) {
            Fill(alter);
        } else if (Boxed(config.passwordChangeText, BoxIcon::kWarning)) {
            refusedWhileOpen = !alter.Done() && alter.OkButton()->isEnabled();
            alter.reject();
        }
    });
    EXPECT_TRUE(refusedWhileOpen) << "the window stays open with OK enabled for another try";
    EXPECT_EQ(gateway->Counters().passwordChanges, 1);
    EXPECT_EQ(connector->Status(), engine::TW_CLT_STATUS_GW_CERTIFIED);
}

}  // namespace
}  // namespace vorn::test
