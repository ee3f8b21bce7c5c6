// The main dialog against the real worker and a fake connector: what each callback code does to
// the controls and the tray, the tray menu by state, the logon command's checks and what it
// saves, the quit paths, a second client's data, power events and the logon cut.
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>

#include "dialog_fixture.h"
#include "platform/named_objects.h"
#include "platform/process.h"

namespace vorn::test {
namespace {

std::vector<int> Ids(const std::vector<MenuItem>& menu) {
    std::vector<int> ids;
    for (const MenuItem& m : menu)
        ids.push_back(m.kind == MenuItem::kSeparator ? -1 : m.kind == MenuItem::kSubmenu ? -2 : m.id);
    return ids;
}

const MenuItem& ItemOf(const std::vector<MenuItem>& menu, int id) {
    for (const MenuItem& m : menu) {
        if (m.kind == MenuItem::kCommand && m.id == id) return m;
    }
    static MenuItem none;
    return none;
}

TEST_F(DialogTest, StateCodesSetTheButtonTheFormAndTheTray) {
    Make();
    ASSERT_FALSE(tray.calls.empty());
    EXPECT_EQ(tray.calls.front().operation, 0);
    EXPECT_EQ(tray.calls.front().icon, kIconOffline);
    EXPECT_EQ(tray.calls.front().tip, table.appTitle);
    EXPECT_EQ(dialog->ActionButton()->text().toStdString(), "t115");
    EXPECT_EQ(GetDword("MainWindow"), platform::CurrentProcessId());

    bridge.Callback(engine::UPDATE_STATUS_CAN_CANCEL, "");
    EXPECT_EQ(dialog->Status(), UPDATE_STATUS_CAN_CANCEL);  // taken at once on the calling thread
    ASSERT_TRUE(PumpUntil("the cancel button", [&] { return dialog->ActionButton()->text() == "t247"; }));
    EXPECT_TRUE(dialog->ActionButton()->isEnabled());
    EXPECT_FALSE(page->FieldsEnabled());
    EXPECT_FALSE(page->ForgotLinkVisible());
    ASSERT_TRUE(PumpUntil("the tray to blink", [&] {
        for (const auto& c : tray.calls) {
            if (c.tip == "t121" && c.icon == kIconOnline) return true;
        }
        return false;
    }));

    bridge.Callback(engine::UPDATE_STATUS_CANNOT_CANCEL, "");
    ASSERT_TRUE(PumpUntil("the disabled button", [&] { return !dialog->ActionButton()->isEnabled(); }));
    EXPECT_FALSE(dialog->isVisible());
    bool balloon = false;
    for (const auto& c : tray.calls) balloon |= c.tip == "t123" && c.balloon == "t122";
    EXPECT_TRUE(balloon);

    // The engine's last progress text comes just before it reports online: it is not left showing.
    bridge.Callback(engine::UI_CODE_PROGRESS_TEXT, "t223");
    bridge.Callback(engine::UPDATE_STATUS_ONLINE, "");
    ASSERT_TRUE(PumpUntil("the logoff button", [&] { return dialog->ActionButton()->text() == "t116"; }));
    EXPECT_TRUE(dialog->ActionButton()->isEnabled());
    EXPECT_FALSE(dialog->StatusLabel()->isVisibleTo(dialog.get()));
    EXPECT_TRUE(dialog->StatusLabel()->text().isEmpty());
    EXPECT_TRUE(dialog->DisplayText().empty());
    EXPECT_EQ(tray.lastIcon, kIconOnline);
    EXPECT_EQ(tray.lastTip, "t119");
    EXPECT_EQ(page->historyUpdates, 1);
    EXPECT_EQ(page->historySaves, 1);
    EXPECT_EQ(GetDword("AutoLogon"), 0u);

    bridge.Callback(engine::UI_CODE_PROGRESS_TEXT, std::string(600, 'x'));
    ASSERT_TRUE(
        PumpUntil("the status line", [&] { return dialog->StatusLabel()->isVisibleTo(dialog.get()); }));
    EXPECT_EQ(dialog->StatusLabel()->text().size(), 511);  // the 512-byte buffer with its zero

    bridge.Callback(engine::UPDATE_STATUS_OFFLINE, "");
    ASSERT_TRUE(PumpUntil("the logon button", [&] { return dialog->ActionButton()->text() == "t115"; }));
    EXPECT_FALSE(dialog->StatusLabel()->isVisibleTo(dialog.get()));
    EXPECT_TRUE(page->FieldsEnabled());
    EXPECT_TRUE(page->ForgotLinkVisible());
    EXPECT_EQ(tray.lastIcon, kIconOffline);
    EXPECT_EQ(tray.lastTip, "t120");
}

TEST_F(DialogTest, TextCodesShowBoxesAskAndSwitchModes) {
    Make();
    bridge.Callback(engine::UI_CODE_MESSAGE, "the gateway said no");
    ASSERT_TRUE(PumpUntil("the message box", [&] { return prompter.LastText() == "the gateway said no"; }));
    EXPECT_EQ(prompter.Boxes().back().icon, BoxIcon::kError);
    EXPECT_EQ(prompter.Boxes().back().caption, table.MakeInfoCaption());

    prompter.Answer(true);
    bridge.Callback(engine::UI_CODE_ASK_REGISTER_HARDWARE_ID, "");
    ASSERT_TRUE(PumpUntil("the hardware-id logon", [&] {
        auto logons = connector.Logons();
        return !logons.empty() && logons.back().hardId;
    }));
    EXPECT_NE(prompter.Boxes().back().text.find("硬件信息"), std::string::npos);

    bridge.Callback(engine::UI_CODE_NEED_PASSWORD, "Need input password");
    ASSERT_TRUE(PumpUntil("the password dialog", [&] { return !children.empty(); }));
    EXPECT_EQ(children.back(), kMsgInputPassword);
}

TEST_F(DialogTest, BackToClientModeAndTheCleanCachePolicy) {
    Make(false);
    dialog->SetWebLogon("gw", "443", "7", "bob", "6.3.01.0");
    ASSERT_TRUE(dialog->InitDialog());
    EXPECT_TRUE(dialog->WebLogonMode());
    bridge.Callback(engine::UI_CODE_SWITCH_TO_CLIENT_LOGON, "");
    ASSERT_TRUE(PumpUntil("client logon mode", [&] { return !dialog->WebLogonMode(); }));

    store->SetString(kClientKey, "CleanCachePolicy", "off,1");
    dialog->HandleCallback(engine::UI_CODE_CLEAN_CACHE, "");
    EXPECT_TRUE(launcher.started.empty());
    store->SetString(kClientKey, "CleanCachePolicy", "11,x");
    dialog->HandleCallback(engine::UI_CODE_CLEAN_CACHE, "");
    EXPECT_TRUE(launcher.started.empty());
    store->SetString(kClientKey, "CleanCachePolicy", "1,daily");
    dialog->HandleCallback(engine::UI_CODE_CLEAN_CACHE, "");
    ASSERT_EQ(launcher.started.size(), 1u);
    EXPECT_EQ(launcher.started[0], "Brevik");
}

TEST_F(DialogTest, TrayMenuItemsInOrderByState) {
    Make();
    auto menu = dialog->BuildTrayMenu();
    EXPECT_EQ(Ids(menu), (std::vector<int>{3, 2, 15, 5, -1, 1}));
    EXPECT_EQ(ItemOf(menu, 2).text, "t132");  // the window is up
    EXPECT_EQ(ItemOf(menu, 15).text, dialog->DetailedLog() ? "t271" : "t272");

    bridge.Callback(engine::UPDATE_STATUS_CANNOT_CANCEL, "");
    ASSERT_TRUE(PumpUntil("the hidden window", [&] { return !dialog->isVisible(); }));
    menu = dialog->BuildTrayMenu();
    EXPECT_EQ(Ids(menu), (std::vector<int>{13, 2, 15, 5, -1, 1}));
    EXPECT_TRUE(ItemOf(menu, 13).greyed);
    EXPECT_EQ(ItemOf(menu, 2).text, "t133");
    EXPECT_TRUE(ItemOf(menu, 2).greyed);

    // Extensions: a value that is not text takes its index but gets no item.
    const std::string ext = std::string(kClientKey) + "\\Extensions";
    store->SetString(ext, "Mail", "/usr/bin/true mail");
    store->SetDword(ext, "Broken", 1);
    store->SetString(ext, "Wiki", "/usr/bin/true wiki");
    bridge.Callback(engine::UPDATE_STATUS_ONLINE, "");
    ASSERT_TRUE(PumpUntil("online", [&] { return dialog->ActionButton()->text() == "t116"; }));
    menu = dialog->BuildTrayMenu();
    EXPECT_EQ(Ids(menu), (std::vector<int>{11, -1, 14, 4, -2, 10, 20, 2, 15, 5, -1, 1}));
    const MenuItem& sub = menu[4];
    EXPECT_EQ(sub.text, " 增值应用 ");
    ASSERT_EQ(sub.children.size(), 2u);
    EXPECT_EQ(sub.children[0].id, 100);
    EXPECT_EQ(sub.children[1].id, 102);

    tray.choice = 102;
    dialog->OnTrayNotification(TrayMouse::kRightButtonUp);
    ASSERT_EQ(launcher.execs.size(), 1u);
    EXPECT_EQ(launcher.execs[0], "/usr/bin/true wiki");

    // Quit is greyed while the question shows.
    prompter.Answer(false);
    dialog->HandleMenu(1, "");
    EXPECT_FALSE(dialog->QuitQuestionShowing());
}

TEST_F(DialogTest, ResourcePageFromTheTray) {
    store->SetString(kClientKey, "QelUsername", "a b@c");
    store->SetString(kClientKey, "ServerAddr", "gw.example");
    store->SetDword(kClientKey, "ServerPortNum", 8443);
    connector.session.sessionId = 42;
    Make();
    bridge.Callback(engine::UPDATE_STATUS_ONLINE, "");
    ASSERT_TRUE(PumpUntil("online", [&] { return dialog->ActionButton()->text() == "t116"; }));
    dialog->OnTrayNotification(TrayMouse::kLeftDoubleClick);
    ASSERT_EQ(launcher.urls.size(), 1u);
    EXPECT_EQ(launcher.urls[0],
              "https://gw.example:8443/sslvpnindex/client.php?sessionid=42&username=a%20b%40c");
}

struct BadForm {
    std::string server, user, password;
    int message;
};

TEST_F(DialogTest, LogonChecksShowTheirMessageAndStayOffline) {
    Make();
    const std::vector<BadForm> cases = {
        {"gw\xEF\xBC\x9A"
         "443",
         "alice", "pw", 229},
        {"", "alice", "pw", 228},
        {"gw_1.example", "alice", "pw", 227},
        {"gw.example:0", "alice", "pw", 226},
        {"gw.example:70000", "alice", "pw", 226},
        {"https://gw.example:443/x", "alice", "pw", 226},
        {std::string(256, 'a'), "alice", "pw", 104},
        {"gw.example", "al ice", "pw", 103},
        {"gw.example", "alice", "", 102},
        {"gw.example", "   ", "pw", 102},
    };
    for (const BadForm& c : cases) {
        SCOPED_TRACE(c.server + " / " + c.user);
        prompter.Clear();
        FillForm(c.server, c.user, c.password);
        dialog->OnOK();
        EXPECT_EQ(prompter.LastText(), "t" + std::to_string(c.message));
        EXPECT_EQ(dialog->Status(), UPDATE_STATUS_OFFLINE);
        EXPECT_EQ(dialog->Tabs()->currentIndex(), 0);
        EXPECT_FALSE(dialog->InAction());
    }
    EXPECT_TRUE(connector.Logons().empty());
}

TEST_F(DialogTest, LogonSavesTheFormAndHandsItToTheWorker) {
    Make();
    LogonGoesOnline();
    FillForm("https://gw.example:8443/", " alice ", "se cret");
    page->SetRemember(true);
    dialog->OnOK();
    ASSERT_TRUE(PumpUntil("online", [&] { return dialog->Status() == UPDATE_STATUS_ONLINE; }));
    EXPECT_EQ(page->ServerText(), "gw.example:8443");
    EXPECT_EQ(Get("ServerAddr"), "gw.example");
    EXPECT_EQ(Get("UpdateServerAddr"), "gw.example");
    EXPECT_EQ(GetDword("ServerPortNum"), 8443u);
    EXPECT_EQ(GetDword("UpdateServerPort"), 8443u);
    EXPECT_EQ(GetDword("SessionId"), 0u);
    EXPECT_EQ(Get("QelUsername"), "alice");
    EXPECT_EQ(GetDword("RemID"), 1u);
    EXPECT_NE(Get("QelPassword"), "se cret");
    EXPECT_EQ(Unscramble(Get("QelPassword")), "se cret");
    EXPECT_EQ(Get("UseProxy"), "No");
    EXPECT_EQ(Get("ProxyAddr"), "0.0.0.0");
    EXPECT_EQ(Get("ProxyPort"), "0");
    EXPECT_EQ(Get("UseProxyAuth"), "No");
    EXPECT_EQ(Get("ProxyPass"), "");
    auto logons = connector.Logons();
    ASSERT_EQ(logons.size(), 1u);
    EXPECT_EQ(logons[0].user, "alice");
    EXPECT_EQ(logons[0].password, "se cret");
    EXPECT_EQ(dialog->ServerAddr(), "gw.example");
    EXPECT_EQ(dialog->ServerPort(), 8443);

    // A host without a port and a scheme's slash: port 443.
    FillForm("https://gw2.example/", "alice", "pw");
    bridge.Callback(engine::UPDATE_STATUS_OFFLINE, "");
    ASSERT_TRUE(PumpUntil("offline", [&] { return dialog->ActionButton()->text() == "t115"; }));
    connector.status = engine::TW_CLT_STATUS_OFFLINE;
    dialog->OnOK();
    EXPECT_EQ(Get("ServerAddr"), "gw2.example");
    EXPECT_EQ(GetDword("ServerPortNum"), 443u);
}

TEST_F(DialogTest, ProxyChecksAndWhatTheySave) {
    Make();
    FillForm("gw.example", "alice", "pw");
    proxy->Set(true, false, "proxy.example", "", "");
    dialog->OnOK();
    EXPECT_EQ(prompter.LastText(), "t226");  // no port: "0"
    EXPECT_EQ(dialog->Tabs()->currentIndex(), 1);
    proxy->Set(true, false, "0.0.0.0:80", "", "");
    dialog->OnOK();
    EXPECT_EQ(prompter.LastText(), "t105");
    proxy->Set(true, false, "proxy example:80", "", "");
    dialog->OnOK();
    EXPECT_EQ(prompter.LastText(), "t106");
    proxy->Set(true, true, "proxy.example:3128", "", "pp");
    dialog->OnOK();
    EXPECT_EQ(prompter.LastText(), "t107");
    proxy->Set(true, true, "proxy.example:3128", "pu", "");
    dialog->OnOK();
    EXPECT_EQ(prompter.LastText(), "t108");
    EXPECT_TRUE(connector.Logons().empty());

    LogonGoesOnline();
    prompter.Clear();
    proxy->Set(true, true, "http://proxy.example:3128", "pu", "pp");
    dialog->OnOK();
    EXPECT_TRUE(prompter.Boxes().empty());
    EXPECT_EQ(Get("UseProxy"), "Yes");
    EXPECT_EQ(Get("ProxyAddr"), "proxy.example");
    EXPECT_EQ(Get("ProxyPort"), "3128");
    EXPECT_EQ(Get("UseProxyAuth"), "Yes");
    EXPECT_EQ(Get("ProxyUser"), "pu");
    EXPECT_EQ(Get("ProxyPass"), "pp");
    ASSERT_TRUE(PumpUntil("the logon", [&] { return connector.Logons().size() == 1; }));
}

TEST_F(DialogTest, TheServiceMustRunBeforeALogon) {
    Make();
    FillForm("gw.example", "alice", "pw");
    services.status = 1;
    launcher.startResult = false;
    dialog->OnOK();
    EXPECT_EQ(prompter.LastText(), "t233");
    launcher.startResult = true;
    dialog->OnOK();
    EXPECT_EQ(prompter.LastText(), "t309");
    EXPECT_EQ(launcher.started, (std::vector<std::string>{"Skarrow", "Skarrow"}));  // the install checker
    EXPECT_FALSE(dialog->InAction());
    EXPECT_TRUE(connector.Logons().empty());
}

TEST_F(DialogTest, QuitWhileOnlineLogsOffFirst) {
    Make();
    GoOnline();
    prompter.Answer(false);
    dialog->OnQelQuit();
    EXPECT_EQ(prompter.LastText(), "t125");
    EXPECT_FALSE(dialog->DelayedQuit());

    prompter.Answer(true);
    dialog->OnCancel();  // Esc or the window's close
    EXPECT_EQ(prompter.LastText(), "t125");
    EXPECT_TRUE(dialog->DelayedQuit());
    EXPECT_FALSE(dialog->Quitting());  // not before the logoff ended
    ASSERT_TRUE(PumpUntil("the quit", [&] { return dialog->Quitting(); }));
    EXPECT_GE(connector.Count("Logoff"), 1);
    EXPECT_EQ(dialog->Status(), UPDATE_STATUS_OFFLINE);
    EXPECT_TRUE(dialog->Worker()->Ended());
    EXPECT_EQ(tray.calls.back().operation, 2);
}

TEST_F(DialogTest, QuitWhileOfflineAsksTheOtherQuestion) {
    Make();
    prompter.Answer(true);
    dialog->OnQelQuit();
    EXPECT_EQ(prompter.LastText(), "t126");
    ASSERT_TRUE(PumpUntil("the quit", [&] { return dialog->Quitting(); }));
    EXPECT_EQ(connector.Count("Logoff"), 0);
}

TEST_F(DialogTest, SecondClientsDataAndTheStopEvent) {
    Make();
    GoOnline();
    EXPECT_EQ(dialog->OnReceiveData(1, std::string(32, 'n')), 0);  // too long: ignored
    EXPECT_EQ(dialog->Status(), UPDATE_STATUS_ONLINE);
    // Not terminated: the text is taken by its length.
    EXPECT_EQ(dialog->OnReceiveData(1, std::string("needlogoff", 10)), 0);
    ASSERT_TRUE(PumpUntil("the logoff", [&] { return connector.Count("Logoff") == 1; }));
    ASSERT_TRUE(PumpUntil("offline", [&] { return dialog->Status() == UPDATE_STATUS_OFFLINE; }));
    EXPECT_FALSE(dialog->Quitting());  // "-exit" in client logon mode only disconnects

    EXPECT_EQ(dialog->OnReceiveData(0, "needlogoff"), 0);  // a browser logon takes over
    ASSERT_TRUE(PumpUntil("the quit by the stop event", [&] { return dialog->Quitting(); }));
}

TEST_F(DialogTest, ResumeReconnectsOnlyAfterASuspendWhileOnline) {
    Make();
    dialog->OnPowerBroadcast(PBT_APMRESUMESUSPEND);
    GoOnline();
    const std::size_t before = connector.Logons().size();
    dialog->OnPowerBroadcast(PBT_APMSUSPEND);
    ASSERT_TRUE(PumpUntil("the logoff before sleep", [&] { return connector.Count("Logoff") == 1; }));
    ASSERT_TRUE(PumpUntil("offline", [&] { return dialog->Status() == UPDATE_STATUS_OFFLINE; }));
    connector.status = engine::TW_CLT_STATUS_GW_RELOGON_INIT;
    dialog->OnPowerBroadcast(PBT_APMRESUMESUSPEND);
    dialog->OnPowerBroadcast(PBT_APMRESUMEAUTOMATIC);
    ASSERT_TRUE(PumpUntil("the relogon", [&] {
        auto logons = connector.Logons();
        return logons.size() > before && logons.back().relogon;
    }));
    int relogons = 0;
    for (const auto& l : connector.Logons()) relogons += l.relogon ? 1 : 0;
    EXPECT_EQ(relogons, 1);
}

TEST_F(DialogTest, ALogonThatRunsTooLongIsCutCooperatively) {
    Make();
    connector.onLogon = [this](const engine::test::LogonCall&) {
        bridge.Callback(engine::UPDATE_STATUS_CAN_CANCEL, "");
        // Only a cancel ends this logon.
        connector.waitLogon.Wait(10000);
        return false;
    };
    FillForm("gw.example", "alice", "pw");
    dialog->OnOK();
    ASSERT_TRUE(PumpUntil("the cut's box", [&] { return prompter.LastText() == "t318"; }));
    EXPECT_EQ(prompter.Boxes().back().caption, table.MakeErrorCaption());
    EXPECT_FALSE(dialog->Worker()->LogonRunning());  // it returned by itself, nobody killed it
    EXPECT_TRUE(connector.relogonFinished.load());
    EXPECT_GE(connector.Count("Disconnect"), 1);
    ASSERT_TRUE(PumpUntil("the quit after the box", [&] { return dialog->Quitting(); }));
    EXPECT_EQ(dialog->Status(), UPDATE_STATUS_OFFLINE);
}

}  // namespace
}  // namespace vorn::test
