// The logon page, the proxy page and the preferences dialog over a settings store of their own.
#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>

#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>

#include "dialog_fakes.h"
#include "platform/machine_root.h"
#include "vorn/dialogs/dialog_rules.h"
#include "vorn/dialogs/logon_page.h"
#include "vorn/dialogs/preferences_dialog.h"
#include "vorn/dialogs/proxy_page.h"
#include "vorn/dialogs/text_ids.h"

namespace vorn {
namespace {

using test::DialogMachine;

const std::string kLongPassword(kPasswordFieldMax, 'p');

class LogonPageTest : public ::testing::Test {
protected:
    void WriteHistory() {
        GatewayHistory h;
        HistoryRecord r;
        r.server = "old.example:443";
        r.user = "olduser";
        h.Update(r);
        r.server = "vpn.example:8443";
        r.user = "alice";
        r.password = ScramblePassword(kLongPassword);
        r.remember = true;
        r.autoLogon = true;
        h.Update(r);
        r.server = "badport.example:99999";
        r.user = "carol";
        r.remember = false;
        r.password.clear();
        r.autoLogon = false;
        h.Update(r);
        std::string error;
        ASSERT_TRUE(SaveHistoryFile(m.dir.Path(), h, &error)) << error;
    }
    DialogMachine m;
};

TEST_F(LogonPageTest, LoadsSettingsAndHistory) {
    m.store->SetString(kClientKey, "ServerAddr", "vpn.example");
    m.store->SetDword(kClientKey, "ServerPortNum", 8443);
    m.store->SetString(kClientKey, "QelUsername", "alice");
    m.store->SetDword(kClientKey, "RemID", 1);
    m.store->SetString(kClientKey, "QelPassword", ScramblePassword(kLongPassword));
    m.store->SetDword(kClientKey, "AutoLogon", 1);
    WriteHistory();
    CLogonPage page(m.Context());
    page.OnInitDialog();
    EXPECT_EQ(page.ServerText(), "vpn.example:8443");
    EXPECT_EQ(page.UserName(), "alice");
    EXPECT_EQ(page.Password(), kLongPassword) << "the longest password the field takes comes back whole";
    EXPECT_TRUE(page.Remember());
    EXPECT_TRUE(page.AutoLogon());
    ASSERT_EQ(page.ServerField()->count(), 3);
    EXPECT_EQ(page.ServerField()->itemText(0).toStdString(), "badport.example:99999");
    EXPECT_EQ(page.ServerField()->itemText(1).toStdString(), "vpn.example:8443");
}

TEST_F(LogonPageTest, WithoutAGatewayTheFieldShowsNoAddressAndNoCredentials) {
    m.store->SetString(kClientKey, "QelUsername", "alice");
    m.store->SetDword(kClientKey, "RemID", 1);
    m.store->SetString(kClientKey, "QelPassword", ScramblePassword("secret"));
    CLogonPage page(m.Context());
    page.OnInitDialog();
    EXPECT_EQ(page.ServerText(), "0.0.0.0");
    EXPECT_EQ(page.UserName(), "");
    EXPECT_EQ(page.Password(), "");
    // Remembered but unreadable password: both boxes off.
    m.store->SetString(kClientKey, "ServerAddr", "gw");
    m.store->DeleteValue(kClientKey, "QelPassword");
    CLogonPage again(m.Context());
    again.OnInitDialog();
    EXPECT_EQ(again.ServerText(), "gw:443");
    EXPECT_FALSE(again.Remember());
    EXPECT_FALSE(again.AutoLogon());
}

TEST_F(LogonPageTest, ChoosingAnEntryWritesItsGatewayAndCredentials) {
    WriteHistory();
    CLogonPage page(m.Context());
    page.OnInitDialog();
    page.OnHistoryChosen(1);  // vpn.example:8443, remembered, auto-logon
    EXPECT_EQ(m.Str("ServerAddr"), "vpn.example");
    EXPECT_EQ(m.Dword("ServerPortNum"), "8443");
    EXPECT_EQ(m.Str("QelUsername"), "alice");
    EXPECT_EQ(UnscramblePassword(m.Str("QelPassword")), kLongPassword);
    EXPECT_EQ(m.Dword("RemID"), "1");
    EXPECT_EQ(m.Dword("AutoLogon"), "1");
    EXPECT_EQ(page.Password(), kLongPassword);
    EXPECT_TRUE(page.Remember());
    EXPECT_TRUE(page.AutoLogon());

    page.OnHistoryChosen(2);  // old.example:443, not remembered
    EXPECT_EQ(m.Str("ServerAddr"), "old.example");
    EXPECT_EQ(m.Dword("ServerPortNum"), "443");
    EXPECT_EQ(page.UserName(), "olduser");
    EXPECT_EQ(page.Password(), "");
    EXPECT_EQ(m.Dword("RemID"), "0");
    EXPECT_EQ(m.Dword("AutoLogon"), "0");
    EXPECT_FALSE(page.Remember());

    // A port out of range is not stored: the gateway stays the last good one.
    page.OnHistoryChosen(0);
    EXPECT_EQ(page.ServerText(), "badport.example:99999");
    EXPECT_EQ(m.Str("ServerAddr"), "old.example");
    EXPECT_EQ(m.Dword("ServerPortNum"), "443");
    EXPECT_EQ(page.UserName(), "carol");
}

TEST_F(LogonPageTest, BoxesFollowEachOther) {
    CLogonPage page(m.Context());
    page.AutoLogonBox()->click();
    EXPECT_TRUE(page.AutoLogon());
    EXPECT_TRUE(page.Remember());
    page.RememberBox()->click();
    EXPECT_FALSE(page.Remember());
    EXPECT_FALSE(page.AutoLogon());
    page.RememberBox()->click();
    EXPECT_TRUE(page.Remember());
    EXPECT_FALSE(page.AutoLogon());
}

TEST_F(LogonPageTest, EnterRunsTheOwnersOkAndEscIsSwallowed) {
    CLogonPage page(m.Context());
    int oks = 0;
    page.SetOwnerOk([&] { ++oks; });
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QCoreApplication::sendEvent(page.UserField(), &enter);
    QCoreApplication::sendEvent(page.ServerField()->lineEdit(), &enter);
    EXPECT_EQ(oks, 2);
    QCoreApplication::sendEvent(page.PasswordField(), &esc);
    EXPECT_TRUE(esc.isAccepted());
    EXPECT_EQ(oks, 2);
}

TEST_F(LogonPageTest, ForgotPasswordLink) {
    CLogonPage page(m.Context());
    page.SetServerText("");
    page.OnForgotPassword();
    page.SetServerText("0.0.0.0");
    page.OnForgotPassword();
    page.SetServerText("vpn example");
    page.OnForgotPassword();
    ASSERT_EQ(m.prompter.boxes.size(), 3u);
    EXPECT_EQ(m.prompter.boxes[0].text, m.T(104));
    EXPECT_EQ(m.prompter.boxes[0].caption, "");
    EXPECT_EQ(m.prompter.boxes[2].text, m.T(227));
    EXPECT_EQ(m.prompter.boxes[2].caption, "Morvane-VornClient-Error");
    EXPECT_TRUE(m.launcher.urls.empty());
    page.SetServerText("https://vpn.example:8443");
    page.OnForgotPassword();
    ASSERT_EQ(m.launcher.urls.size(), 1u);
    EXPECT_EQ(m.launcher.urls[0], "https://vpn.example:8443/sslvpnindex/forget_password.php");
}

TEST_F(LogonPageTest, ALogonGoesOnTopOfTheHistoryFile) {
    WriteHistory();
    CLogonPage page(m.Context());
    page.OnInitDialog();
    const std::string longServer = std::string(200, 'h') + ".example:443";
    page.SetServerText(longServer);
    page.SetUserName("dave");
    page.SetPassword("not remembered");
    page.SetRemember(false);
    page.UpdateIpHistoryList();
    page.SaveIpHistoryFile();
    page.SetPassword(kLongPassword);
    page.SetRemember(true);
    page.UpdateIpHistoryList();  // the same long gateway again: no second entry
    page.SaveIpHistoryFile();

    CLogonPage next(m.Context());
    next.OnInitDialog();
    ASSERT_EQ(next.History().Count(), 4);
    EXPECT_EQ(next.History()[0].server, longServer);
    EXPECT_EQ(UnscramblePassword(next.History()[0].password), kLongPassword);
    EXPECT_EQ(next.ServerField()->itemText(0).toStdString(), longServer);

    // The list is read again from the file when it opens, keeping the typed text.
    GatewayHistory other;
    HistoryRecord r;
    r.server = "only.example";
    r.user = "x";
    other.Update(r);
    std::string error;
    ASSERT_TRUE(SaveHistoryFile(m.dir.Path(), other, &error));
    next.SetServerText("typed");
    next.OnDropDown();
    EXPECT_EQ(next.ServerField()->count(), 1);
    EXPECT_EQ(next.ServerText(), "typed");
}

TEST_F(LogonPageTest, ADamagedHistoryFileKeepsItsGatewaysThroughALogon) {
    // Hand-edited: a stray line, a flag that is not 0/1, an over-long user name, a broken count.
    const std::string text =
        "[History0]\r\nServerAddr=vpn.example:8443\r\nstray line\r\nQelUsername=alice\r\n"
        "QelPassword=" +
        ScramblePassword("pw-alice") +
        "\r\nRemPasswd=2\r\nAutoLogon=on\r\n"
        "[History1]\r\nServerAddr=old.example:443\r\nQelUsername=" +
        std::string(500, 'o') + "\r\n[Count]\r\nHistoryCount=two\r\n";
    {
        std::ofstream out(m.dir.File(kHistoryFileName), std::ios::binary);
        out << text;
    }
    CLogonPage page(m.Context());
    page.OnInitDialog();
    ASSERT_EQ(page.ServerField()->count(), 2);
    page.ServerField()->setCurrentIndex(0);
    page.OnHistoryChosen(0);
    EXPECT_EQ(page.UserName(), "alice");
    EXPECT_EQ(page.Password(), "pw-alice");
    page.SetServerText("new.example:443");
    page.UpdateIpHistoryList();
    page.SaveIpHistoryFile();
    GatewayHistory h;
    std::string error;
    ASSERT_TRUE(LoadHistoryFile(m.dir.Path(), &h, &error)) << error;
    ASSERT_EQ(h.Count(), 3) << "the saved gateways are still there";
    EXPECT_EQ(h[0].server, "new.example:443");
    EXPECT_EQ(h[1].server, "vpn.example:8443");
    EXPECT_TRUE(h[1].remember);
    EXPECT_EQ(h[2].server, "old.example:443");
    EXPECT_EQ(h[2].user, std::string(kHistoryUserMax, 'o'));
}

TEST_F(LogonPageTest, HistoryPasswordsLeaveTheFileForTheUsersOwnSettings) {
    WriteHistory();  // as the landed code wrote it: the scrambled password in the file
    const std::string scrambled = ScramblePassword(kLongPassword);
    CLogonPage page(m.Context());
    page.OnInitDialog();
    GatewayHistory file;
    std::string error;
    ASSERT_TRUE(LoadHistoryFile(m.dir.Path(), &file, &error)) << error;
    ASSERT_EQ(file.Count(), 3);
    for (int i = 0; i < file.Count(); ++i) EXPECT_EQ(file[i].password, "") << "record " << i;
    std::string kept;
    ASSERT_EQ(m.store->GetString(kClientKey, "HistoryPasswords", &kept), platform::kRegOk);
    EXPECT_EQ(kept, "vpn.example:8443\t" + scrambled + "\n");
    EXPECT_EQ(UnscramblePassword(page.History()[1].password), kLongPassword);

    // Chosen from the list, the moved password still fills the field; a new logon writes none to
    // the file either.
    page.OnHistoryChosen(1);
    EXPECT_EQ(page.Password(), kLongPassword);
    page.SetServerText("new.example:443");
    page.SetUserName("erin");
    page.SetPassword("pw-of-erin");
    page.SetRemember(true);
    page.UpdateIpHistoryList();
    page.SaveIpHistoryFile();
    ASSERT_TRUE(LoadHistoryFile(m.dir.Path(), &file, &error)) << error;
    for (int i = 0; i < file.Count(); ++i) EXPECT_EQ(file[i].password, "") << "record " << i;
    CLogonPage next(m.Context());
    next.OnInitDialog();
    ASSERT_EQ(next.History().Count(), 4);
    EXPECT_EQ(UnscramblePassword(next.History()[0].password), "pw-of-erin");
    EXPECT_EQ(UnscramblePassword(next.History()[2].password), kLongPassword);
    EXPECT_EQ(next.History()[1].password, "") << "a record that did not remember got a password";
}

TEST_F(LogonPageTest, ReloadRememberedPassword) {
    CLogonPage page(m.Context());
    m.store->SetDword(kClientKey, "RemID", 1);
    m.store->SetString(kClientKey, "QelPassword", ScramblePassword("pw123456"));
    m.store->SetDword(kClientKey, "AutoLogon", 0);
    page.ReloadRememberedPassword();
    EXPECT_EQ(page.Password(), "pw123456");
    EXPECT_TRUE(page.Remember());
    EXPECT_FALSE(page.AutoLogon());
    m.store->SetDword(kClientKey, "RemID", 0);
    page.ReloadRememberedPassword();
    EXPECT_FALSE(page.Remember());
    EXPECT_EQ(page.Password(), "pw123456") << "the password goes only when the value is missing";
    m.store->DeleteValue(kClientKey, "QelPassword");
    page.ReloadRememberedPassword();
    EXPECT_EQ(page.Password(), "");
}

class PreferencesTest : public ::testing::Test {
protected:
    PreferencesTest() : logon(m.Context()), proxy(m.Context()) {}
    std::unique_ptr<CPreferSettings> Open(bool web = false) {
        return std::make_unique<CPreferSettings>(m.Context(), logon, proxy, web,
                                                 [this](const std::string& c) {
                                                     commands.push_back(c);
                                                     return 1;
                                                 });
    }
    void FullSettings() {
        m.store->SetDword(kClientKey, "AutoExec", 1);
        m.store->SetDword(kClientKey, "RemID", 1);
        m.store->SetDword(kClientKey, "AutoLogon", 1);
        m.store->SetDword(kClientKey, "NoResourcePage", 1);
        m.store->SetString(kClientKey, "UseProxy", "yes");
        m.store->SetString(kClientKey, "ProxyAddr", "proxy.example");
        m.store->SetString(kClientKey, "ProxyPort", "3128");
        m.store->SetString(kClientKey, "UseProxyAuth", "YES");
        m.store->SetString(kClientKey, "ProxyUser", "pu");
        m.store->SetString(kClientKey, "ProxyPass", "pp");
    }
    DialogMachine m;
    CLogonPage logon;
    CProxyPage proxy;
    std::vector<std::string> commands;
};

TEST_F(PreferencesTest, TheWholeTableRoundTrips) {
    FullSettings();
    logon.SetPassword(kLongPassword);
    auto dialog = Open();
    EXPECT_EQ(dialog->windowTitle().toStdString(), m.T(130));
    EXPECT_TRUE(dialog->AutoExecBox()->isChecked());
    EXPECT_TRUE(dialog->RememberBox()->isChecked());
    EXPECT_TRUE(dialog->AutoLogonBox()->isChecked());
    EXPECT_TRUE(dialog->NoResourcePageBox()->isChecked());
    EXPECT_TRUE(dialog->Proxy().use->isChecked());
    EXPECT_TRUE(dialog->Proxy().auth->isChecked());
    EXPECT_EQ(dialog->Proxy().address->text().toStdString(), "proxy.example:3128");
    EXPECT_EQ(dialog->Proxy().user->text().toStdString(), "pu");
    EXPECT_TRUE(dialog->Proxy().password->isEnabled());
    ASSERT_TRUE(dialog->OnSave());
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_EQ(commands, std::vector<std::string>{"SetAutoExec\n"});
    EXPECT_EQ(m.Dword("AutoExec"), "1");
    EXPECT_EQ(m.Dword("RemID"), "1");
    EXPECT_EQ(m.Dword("AutoLogon"), "1");
    EXPECT_EQ(m.Dword("NoResourcePage"), "1");
    EXPECT_EQ(UnscramblePassword(m.Str("QelPassword")), kLongPassword);
    EXPECT_EQ(m.Str("UseProxy"), "Yes");
    EXPECT_EQ(m.Str("ProxyAddr"), "proxy.example");
    EXPECT_EQ(m.Str("ProxyPort"), "3128");
    EXPECT_EQ(m.Str("UseProxyAuth"), "Yes");
    EXPECT_EQ(m.Str("ProxyUser"), "pu");
    EXPECT_EQ(m.Str("ProxyPass"), "pp");
    // The pages took the saved values.
    EXPECT_TRUE(logon.Remember());
    EXPECT_TRUE(logon.AutoLogon());
    EXPECT_TRUE(proxy.UseProxy());
    EXPECT_EQ(proxy.ProxyAddress(), "proxy.example:3128");
    EXPECT_EQ(proxy.ProxyPassword(), "pp");

    // Everything off, and the proxy fields still filled: the no-proxy set is written.
    auto off = Open();
    for (QCheckBox* box :
         {off->AutoExecBox(), off->RememberBox(), off->NoResourcePageBox(), off->Proxy().use})
        box->click();
    EXPECT_FALSE(off->AutoLogonBox()->isChecked()) << "unticking remember unticks automatic logon";
    EXPECT_FALSE(off->Proxy().auth->isChecked());
    ASSERT_TRUE(off->OnSave());
    EXPECT_EQ(commands.back(), "NotSetAutoExec\n");
    EXPECT_EQ(m.Dword("AutoExec"), "0");
    EXPECT_EQ(m.Dword("RemID"), "0");
    EXPECT_EQ(m.Dword("AutoLogon"), "0");
    EXPECT_EQ(m.Dword("NoResourcePage"), "0");
    EXPECT_EQ(m.Str("UseProxy"), "No");
    EXPECT_EQ(m.Str("ProxyAddr"), "0.0.0.0");
    EXPECT_EQ(m.Str("ProxyPort"), "0");
    EXPECT_EQ(m.Str("UseProxyAuth"), "No");
    EXPECT_EQ(m.Str("ProxyUser"), "");
    EXPECT_EQ(m.Str("ProxyPass"), "");
    EXPECT_FALSE(proxy.UseProxy());
}

TEST_F(PreferencesTest, ProxyChecksKeepTheDialogOpen) {
    FullSettings();
    struct Case {
        std::string address, user, password;
        int message;
    };
    const Case cases[] = {
        {"", "u", "p", 105},
        {"0.0.0.0:80", "u", "p", 105},
        {"proxy example:80", "u", "p", 106},
        {"proxy.example", "u", "p", 226},
        {"proxy.example:70000", "u", "p", 226},
        {"proxy.example:0", "u", "p", 226},
        {"proxy.example:80", "", "p", 107},
        {"proxy.example:80", "u", "", 108},
    };
    for (const Case& c : cases) {
        auto dialog = Open();
        dialog->Proxy().address->setText(QString::fromStdString(c.address));
        dialog->Proxy().user->setText(QString::fromStdString(c.user));
        dialog->Proxy().password->setText(QString::fromStdString(c.password));
        m.prompter.boxes.clear();
        EXPECT_FALSE(dialog->OnSave()) << c.address;
        EXPECT_NE(dialog->result(), QDialog::Accepted);
        ASSERT_EQ(m.prompter.boxes.size(), 1u) << c.address;
        EXPECT_EQ(m.prompter.boxes[0].text, m.T(c.message)) << c.address;
    }
    // Values before the failing check stay written: the user, then the missing password.
    EXPECT_EQ(m.Str("ProxyUser"), "u");
    EXPECT_EQ(m.Str("ProxyAddr"), "proxy.example");
}

TEST_F(PreferencesTest, TheProxyAddressKeepsWhatTheFieldHolds) {
    m.store->SetString(kClientKey, "ProxyAddr", "0.0.0.0");
    m.store->SetString(kClientKey, "ProxyPort", "0");
    auto dialog = Open();
    dialog->Proxy().use->click();
    const std::string host(kPreferencesAddressMax - 6, 'x');
    dialog->Proxy().address->setText(QString::fromStdString(host + ":8080"));
    ASSERT_TRUE(dialog->OnSave());
    EXPECT_EQ(m.Str("ProxyAddr"), host);
    EXPECT_EQ(m.Str("ProxyPort"), "8080");
    EXPECT_EQ(m.Str("UseProxyAuth"), "No");
}

TEST_F(PreferencesTest, WebLogonLeavesTheLogonChoicesOff) {
    FullSettings();
    auto dialog = Open(true);
    EXPECT_FALSE(dialog->RememberBox()->isEnabled());
    EXPECT_FALSE(dialog->AutoLogonBox()->isEnabled());
    EXPECT_FALSE(dialog->RememberBox()->isChecked());
    ASSERT_TRUE(dialog->OnSave());
    EXPECT_EQ(m.Dword("RemID"), "0");
    EXPECT_EQ(m.Dword("AutoLogon"), "0");
}

TEST_F(PreferencesTest, TheChoicesReachTheNewestHistoryRecord) {
    logon.SetServerText("gw.example:443");
    logon.SetUserName("alice");
    logon.SetPassword("secret12");
    logon.SetRemember(true);
    logon.UpdateIpHistoryList();
    auto dialog = Open();
    dialog->RememberBox()->setChecked(false);
    ASSERT_TRUE(dialog->OnSave());
    GatewayHistory h;
    std::string error;
    ASSERT_TRUE(LoadHistoryFile(m.dir.Path(), &h, &error)) << error;
    ASSERT_EQ(h.Count(), 1);
    EXPECT_FALSE(h[0].remember);
    EXPECT_EQ(h[0].password, "") << "a password no longer remembered leaves the file";
}

TEST_F(PreferencesTest, WithoutTheSettingsKeyTheDialogCloses) {
    m.store->DeleteKey(kClientKey);
    auto dialog = Open();
    EXPECT_FALSE(dialog->OnSave());
    EXPECT_EQ(dialog->result(), QDialog::Rejected);
    ASSERT_EQ(m.prompter.boxes.size(), 1u);
    EXPECT_EQ(m.prompter.boxes[0].text, m.T(185));
    EXPECT_TRUE(commands.empty());
}

TEST_F(PreferencesTest, ProxyPageFieldsFollowTheBoxes) {
    FullSettings();
    proxy.Reload();
    EXPECT_TRUE(proxy.Controls().address->isEnabled());
    EXPECT_TRUE(proxy.Controls().user->isEnabled());
    proxy.Controls().use->click();
    EXPECT_FALSE(proxy.UseProxyAuth());
    EXPECT_FALSE(proxy.Controls().address->isEnabled());
    EXPECT_FALSE(proxy.Controls().password->isEnabled());
    proxy.Controls().use->click();
    EXPECT_TRUE(proxy.Controls().auth->isEnabled());
    EXPECT_FALSE(proxy.Controls().user->isEnabled());
    proxy.Controls().auth->click();
    EXPECT_TRUE(proxy.Controls().user->isEnabled());
    proxy.SetFieldsEnabled(false);
    EXPECT_FALSE(proxy.Controls().use->isEnabled());
    EXPECT_FALSE(proxy.Controls().user->isEnabled());
    proxy.SetFieldsEnabled(true);
    EXPECT_TRUE(proxy.Controls().user->isEnabled());
    // Without a proxy address in the settings everything is off.
    m.store->DeleteValue(kClientKey, "ProxyAddr");
    proxy.Reload();
    EXPECT_FALSE(proxy.Controls().use->isEnabled());
    EXPECT_FALSE(proxy.Controls().address->isEnabled());
}

// The proxy password lives in the machine's client settings, which others than the client's
// users and root cannot read.
TEST(ProxyPassStore, TheClientSettingsFileIsNotOpenToOthers) {
    testsupport::TempDir root("vorn-root");
    const char* old = std::getenv("QEL_ROOT");
    const std::string saved = old ? old : "";
    ::setenv("QEL_ROOT", root.Path().c_str(), 1);
    {
        auto store = platform::SettingsStore::Machine();
        ASSERT_EQ(store->SetString(kClientKey, "ProxyPass", "pp"), platform::kRegOk);
        for (const std::string& path :
             {platform::ClientSettingsDbPath(), platform::ClientSettingsDbPath() + "-wal"}) {
            struct stat st {};
            if (::stat(path.c_str(), &st) != 0) continue;
            EXPECT_EQ(st.st_mode & 0007, 0u) << path;
        }
        std::string back;
        EXPECT_EQ(store->GetString(kClientKey, "ProxyPass", &back), platform::kRegOk);
        EXPECT_EQ(back, "pp");
    }
    if (old) {
        ::setenv("QEL_ROOT", saved.c_str(), 1);
    } else {
        ::unsetenv("QEL_ROOT");
    }
    platform::SettingsStore::Machine();  // back to the old root
}

}  // namespace
}  // namespace vorn
