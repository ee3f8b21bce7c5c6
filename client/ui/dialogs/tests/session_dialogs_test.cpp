// The status window, the two password dialogs and the about box, headless.
#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <thread>

#include "dialog_fakes.h"
#include "fake_connector.h"
#include "gateway/gateway_codec.h"
#include "vorn/dialogs/about_dialog.h"
#include "vorn/dialogs/password_dialogs.h"
#include "vorn/dialogs/status_dialog.h"
#include "vorn/dialogs/text_ids.h"

namespace vorn {
namespace {

using test::DialogMachine;
using test::PumpUntil;

std::string Text(QLabel* l) { return l->text().toStdString(); }

engine::ConnectorSession OnlineSession() {
    engine::ConnectorSession s;
    s.serverAddress = "vpn.example";
    s.serverPort = 443;
    s.userName = "alice";
    s.virtualIp = 0xC6120005;  // 198.18.0.5
    s.mask = 0xFFFFFF00;
    s.sent = 512;
    s.received = 1536;
    s.onlineSeconds = 65;
    return s;
}

TEST(StatusWindow, ShowsTheSessionAndRefreshesTheChangingFigures) {
    DialogMachine m;
    engine::test::FakeConnector connector;
    connector.session = OnlineSession();
    CTwStatusDlg dialog(m.Context(), connector, StatusTiming{5});
    EXPECT_EQ(dialog.windowTitle().toStdString(), m.T(135));
    EXPECT_EQ(Text(dialog.Field(1185)), "Online");
    EXPECT_EQ(Text(dialog.Field(1186)), "vpn.example:443");
    EXPECT_EQ(Text(dialog.Field(1187)), "alice");
    EXPECT_EQ(Text(dialog.Field(1188)), "00:01:05");
    EXPECT_EQ(Text(dialog.Field(1189)), "198.18.0.5");
    EXPECT_EQ(Text(dialog.Field(1190)), "255.255.255.0");
    EXPECT_EQ(Text(dialog.Field(1198)), "512 B");
    EXPECT_EQ(Text(dialog.Field(1199)), "1.50 KB");
    EXPECT_EQ(dialog.Field(3612), nullptr);

    engine::ConnectorSession later = OnlineSession();
    later.serverAddress = "changed.example";
    later.userName = "bob";
    later.onlineSeconds = 90061;  // 1 day, 1 h, 1 min, 1 s
    later.virtualIp = 0xC6120009;
    later.sent = 3u * 1024 * 1024;
    later.received = 5ull * 1024 * 1024 * 1024;
    {
        // The fake connector guards its session; the window reads it on the UI thread.
        connector.session = later;
    }
    ASSERT_TRUE(PumpUntil([&] { return Text(dialog.Field(1188)) != "00:01:05"; }))
        << "the timer never refreshed the online time";
    EXPECT_EQ(Text(dialog.Field(1188)), "1 Day(s) 01:01:01");
    EXPECT_EQ(Text(dialog.Field(1189)), "198.18.0.9");
    EXPECT_EQ(Text(dialog.Field(1198)), "3.00 MB");
    EXPECT_EQ(Text(dialog.Field(1199)), "5.00 GB");
    // The first fields keep the values of the moment the window opened.
    EXPECT_EQ(Text(dialog.Field(1186)), "vpn.example:443");
    EXPECT_EQ(Text(dialog.Field(1187)), "alice");
}

TEST(StatusWindow, ChineseState) {
    DialogMachine m(true);
    engine::test::FakeConnector connector;
    connector.session = OnlineSession();
    CTwStatusDlg dialog(m.Context(), connector);
    EXPECT_EQ(Text(dialog.Field(1185)), "已登录");
    EXPECT_EQ(dialog.windowTitle().toStdString(), "在线状态");
}

class ChangePasswordTest : public ::testing::Test {
protected:
    ChangePasswordTest() : dialog(m.Context(), "alice", 0x01020304, tunnel) {}
    void Fill(const std::string& oldPw, const std::string& newPw, const std::string& confirm) {
        dialog.OldField()->setText(QString::fromStdString(oldPw));
        dialog.NewField()->setText(QString::fromStdString(newPw));
        dialog.ConfirmField()->setText(QString::fromStdString(confirm));
    }
    std::string LastBox() { return m.prompter.boxes.empty() ? "" : m.prompter.boxes.back().text; }
    DialogMachine m;
    test::RecordingTunnel tunnel;
    CAlterPassword dialog;
};

TEST_F(ChangePasswordTest, ChecksTheFields) {
    EXPECT_EQ(dialog.windowTitle().toStdString(), m.T(131));
    Fill("secret1", "", "x");
    dialog.OnOK();
    EXPECT_EQ(LastBox(), m.T(143));

    Fill("secret1", "short", "short");  // 5 characters
    dialog.OnOK();
    EXPECT_EQ(LastBox(), m.T(144));
    EXPECT_TRUE(dialog.OldField()->text().isEmpty()) << "all three fields are cleared";
    EXPECT_TRUE(dialog.NewField()->text().isEmpty());

    Fill("secret1", std::string(21, 'n'), std::string(21, 'n'));
    EXPECT_EQ(dialog.NewField()->text().size(), kPasswordMax) << "the field takes 20 characters";

    Fill("secret1", "newpass1", "newpass2");
    dialog.OnOK();
    EXPECT_EQ(LastBox(), m.T(145));
    EXPECT_EQ(dialog.OldField()->text().toStdString(), "secret1");
    EXPECT_TRUE(dialog.ConfirmField()->text().isEmpty());

    for (const char* blanks : {" newpass", "newpass "}) {
        Fill("secret1", blanks, blanks);
        dialog.OnOK();
        EXPECT_EQ(LastBox(), m.T(146));
        EXPECT_EQ(m.prompter.boxes.back().caption, "Morvane-VornClient-Error");
        EXPECT_EQ(m.prompter.boxes.back().icon, BoxIcon::kError);
    }
    EXPECT_TRUE(tunnel.sent.empty());
    EXPECT_FALSE(dialog.Sent());
}

TEST_F(ChangePasswordTest, SendsTheChangeAndEndsOnSuccess) {
    Fill("secret1", "new pass", "new pass");  // a blank inside is fine
    dialog.OnOK();
    ASSERT_EQ(tunnel.sent.size(), 1u);
    qelgw::PasswordChange change;
    ASSERT_EQ(qelgw::ParsePasswordChange(tunnel.sent[0].data(), tunnel.sent[0].size(), &change), SSR_SUCCESS);
    EXPECT_EQ(change.user, "alice");
    EXPECT_EQ(change.oldPassword, "secret1");
    EXPECT_EQ(change.newPassword, "new pass");
    EXPECT_EQ(change.sessionId, 0x01020304u);
    EXPECT_EQ(change.length, tunnel.sent[0].size());
    EXPECT_TRUE(dialog.Sent());
    EXPECT_FALSE(dialog.OkButton()->isEnabled());

    // The answer comes from the connector's receive thread, through the relay, to the window
    // titled "change password".
    PasswordChangeRelay relay(m.T(131));
    dialog.show();
    std::thread receiver(
        [&relay] { relay.PasswordChangeResult(engine::kPasswordChangeSucceeded, "changed"); });
    receiver.join();
    ASSERT_TRUE(PumpUntil([&] { return dialog.Done(); })) << "the answer never reached the dialog";
    EXPECT_EQ(LastBox(), m.T(148));
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    const std::size_t boxes = m.prompter.boxes.size();
    dialog.OnResetPwdResult(engine::kPasswordChangeFailed, "late");
    EXPECT_EQ(m.prompter.boxes.size(), boxes) << "a second answer after success does nothing";
}

TEST_F(ChangePasswordTest, AFailureKeepsTheDialogOpen) {
    Fill("secret1", "newpass1", "newpass1");
    dialog.OnOK();
    PasswordChangeRelay relay(m.T(131));
    dialog.show();
    const std::string longText(200, 'e');
    std::thread receiver([&] { relay.PasswordChangeResult(engine::kPasswordChangeFailed, longText); });
    receiver.join();
    ASSERT_TRUE(PumpUntil([&] { return dialog.OkButton()->isEnabled(); }));
    EXPECT_EQ(LastBox(), std::string(engine::kPasswordChangeTextMax, 'e')) << "the gateway's text, bounded";
    EXPECT_EQ(m.prompter.boxes.back().icon, BoxIcon::kWarning);
    EXPECT_FALSE(dialog.Done());
    dialog.OnResetPwdResult(engine::kPasswordChangeFailed, "");
    EXPECT_EQ(LastBox(), m.T(150));
    dialog.hide();
}

TEST(ChangePasswordRelay, WithoutAWindowTheAnswerIsDropped) {
    DialogMachine m;
    PasswordChangeRelay relay(m.T(131));
    relay.PasswordChangeResult(engine::kPasswordChangeSucceeded, "x");
    QCoreApplication::processEvents();
    EXPECT_TRUE(m.prompter.boxes.empty());
}

TEST(PasswordAgain, HandsThePasswordOverOrQuits) {
    DialogMachine m;
    std::vector<std::string> reconnects, pagePasswords;
    int stops = 0;
    RelogonIptPswDlg dialog(
        m.Context(), "alice", [&](const std::string& p) { reconnects.push_back(p); }, [&] { ++stops; });
    dialog.SetLogonPagePassword([&](const std::string& p) { pagePasswords.push_back(p); });
    dialog.SetPromptText("vpn.example:443");
    EXPECT_EQ(Text(dialog.ServerLine()), "vpn.example:443");
    dialog.OnOK();
    ASSERT_EQ(m.prompter.boxes.size(), 1u);
    EXPECT_EQ(m.prompter.boxes[0].text, m.T(143));
    EXPECT_TRUE(reconnects.empty());

    m.prompter.answer = false;
    dialog.OnCancel();
    EXPECT_EQ(m.prompter.boxes.back().text, m.T(159));
    EXPECT_TRUE(m.prompter.boxes.back().question);
    EXPECT_EQ(stops, 0);

    dialog.PasswordField()->setText("secret1");
    dialog.OnOK();
    EXPECT_EQ(reconnects, std::vector<std::string>{"secret1"});
    EXPECT_EQ(pagePasswords, std::vector<std::string>{"secret1"});
    EXPECT_EQ(dialog.result(), QDialog::Accepted);

    RelogonIptPswDlg quit(m.Context(), "alice", {}, [&] { ++stops; });
    m.prompter.answer = true;
    quit.OnCancel();
    EXPECT_EQ(stops, 1);
    EXPECT_EQ(quit.result(), QDialog::Rejected);
}

TEST(PasswordAgain, TheWorkersReconnectLogsOnWithTheNewPassword) {
    engine::test::FakeConnector conn;
    conn.saved.user = "alice";
    conn.status = engine::TW_CLT_STATUS_TUNNEL_LOST;
    engine::test::RecordingUi ui;
    engine::TwWorkerThread worker(conn, ui);
    ASSERT_TRUE(worker.InitializeWorkerThread());
    MakeWorkerReconnect(worker)("again123");
    ASSERT_TRUE(PumpUntil([&] { return conn.Logons().size() == 1; })) << "no relogon";
    EXPECT_EQ(conn.Logons()[0].password, "again123");
    EXPECT_TRUE(conn.Logons()[0].relogon);
    worker.Exit();
    ASSERT_TRUE(PumpUntil([&] { return worker.Ended(); })) << "the worker did not end";
    worker.Join();
}

TEST(AboutBox, TitleVersionCompanyAndWebSite) {
    DialogMachine m;
    CAboutDlg about(m.Context());
    EXPECT_EQ(about.windowTitle().toStdString(), "About Morvane-VornClient");
    EXPECT_EQ(Text(about.TitleLine()), "Morvane-VornClient 6.3.01.0");
    EXPECT_EQ(Text(about.CompanyLine()), "Morvane Networks Ltd.");
    // At the size it opens with, the banner's text keeps a margin on both sides.
    about.show();  // polished: the banner has its style's font
    about.adjustSize();
    const int textWidth = about.Banner()->fontMetrics().horizontalAdvance(about.Banner()->text());
    EXPECT_GE(about.Banner()->width(), textWidth + 2 * 16);
    about.Banner()->click();
    EXPECT_EQ(m.launcher.urls, std::vector<std::string>{"https://www.morvane.example/"});
    m.table.webSite.clear();
    about.OpenWebSite();
    EXPECT_EQ(m.launcher.urls.size(), 1u);
}

}  // namespace
}  // namespace vorn
