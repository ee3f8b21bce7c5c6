// The client's own connector (CreateConnector) behind the main dialog, offscreen, against the test
// gateway over loopback: the form's logon reaches online (callback 0) and the logoff ends offline
// at both ends. The machine's devices are the connector tests' stand-ins (the in-memory PC whose
// service answers the pipe, a recording driver and packet port), so no root is needed.
#include "connector_rig.h"
#include "gateway/test_gateway.h"
#include "testsupport/temp_dir.h"
#include "ui_fakes.h"
#include "vorn/basic_pages.h"
#include "vorn/main_dialog.h"
#include "vorn/ui_bridge.h"
#include "vorn/connector_factory.h"

namespace vorn::test {
namespace {

class ConnectorLogonTest : public ::testing::Test {
protected:
    void SetUp() override {
        App();
        store = platform::SettingsStore::Machine();
        ASSERT_EQ(store->CreateKey(kClientKey), platform::kRegOk);
        store->SetDword(kClientKey, "UseStatic", 1);
        store->SetDword(kClientKey, "NoResourcePage", 1);
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
        connector = CreateConnector(std::move(base), bridge, engineTiming);

        DialogDeps d;
        d.connector = connector.get();
        d.bridge = &bridge;
        d.texts = &texts;
        d.table = &table;
        d.prompter = &prompter;
        d.tray = &tray;
        d.launcher = &launcher;
        d.services = &services;
        d.store = store;
        auto logon = std::make_unique<BasicLogonPage>();
        page = logon.get();
        d.logonPage = std::move(logon);
        d.proxyPage = std::make_unique<BasicProxyPage>();
        d.timing = FastUiTiming();
        d.engineTiming = engineTiming;
        d.hardwareDevice = [](std::string*, std::string*) { return false; };
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
        connector.reset();
        if (gateway) gateway->Stop();
    }
    std::string Reports() {
        std::lock_guard<std::mutex> lock(reportLock);
        std::string all;
        for (const auto& r : reports) all += "[" + r + "]";
        return all;
    }

    testsupport::TempRoot root{"vorn-connector"};
    testsupport::TempDir stateDir{"vorn-connector-gw"};
    std::shared_ptr<platform::SettingsStore> store;
    IdTexts texts;
    UiTextTable table;
    UiBridge bridge{texts};
    engine::EngineTiming engineTiming = engine::test::FastTiming();
    engine::test::FakePc pc;
    engine::test::FakeAdapterDriver driver{platform::SystemClock()};
    enginetest::FakePort port;
    qelgw::GatewayConfig config;
    std::unique_ptr<qelgw::TestGateway> gateway;
    std::unique_ptr<engine::ConnectorControl> connector;
    FakePrompter prompter;
    FakeTray tray;
    FakeLauncher launcher;
    FakeServices services;
    BasicLogonPage* page = nullptr;
    std::unique_ptr<TwLogonVpn> dialog;
    std::mutex reportLock;
    std::vector<std::string> reports;
};

TEST_F(ConnectorLogonTest, TheFormLogsOnToTheGatewayAndOff) {
    page->SetServerText("127.0.0.1:" + std::to_string(gateway->Port()));
    page->SetUserName("alice");
    page->SetPassword("secret");
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
    page->SetServerText("127.0.0.1:" + std::to_string(gateway->Port()));
    page->SetUserName("alice");
    page->SetPassword("wrong!");
    dialog->OnOK();
    ASSERT_TRUE(PumpUntil(
        "the logon to fail (reports " + Reports() + ")",
        [&] {
            return dialog->Status() == UPDATE_STATUS_OFFLINE && !dialog->InAction() &&
                   connector->LogonInProgress().load() == 0 && !prompter.Boxes().empty();
        },
        15000));
    EXPECT_EQ(gateway->OnlineCount(), 0);
    EXPECT_EQ(connector->Status(), engine::TW_CLT_STATUS_OFFLINE);
    EXPECT_EQ(tray.lastIcon, kIconOffline);
    bool shown = false;
    for (const auto& box : prompter.Boxes()) shown = shown || box.text == config.badPasswordText;
    EXPECT_TRUE(shown) << "the gateway's refusal is shown";
}

}  // namespace
}  // namespace vorn::test
