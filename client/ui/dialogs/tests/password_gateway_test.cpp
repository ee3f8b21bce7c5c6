// The change-password dialog against the test gateway over loopback: the request the dialog
// builds goes through a TLS session to the gateway, and the gateway's answer comes back from a
// receive thread, as the connector's does, through the relay to the open dialog.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>
#include <atomic>
#include <thread>

#include "dialog_fakes.h"
#include "gateway/gateway_codec.h"
#include "gateway/test_gateway.h"
#include "gateway_client.h"
#include "platform/machine_root.h"
#include "testsupport/temp_root.h"
#include "vorn/dialogs/password_dialogs.h"
#include "wendrel/ssr_control.h"

namespace vorn {
namespace {

using qelgw::test::GatewayClient;

// What the connector does for the dialog: sends its message in the session, and hands the
// gateway's reset-password answers to the listener from its own receive thread.
class GatewayTunnel final : public engine::PasswordChangeTunnel {
public:
    explicit GatewayTunnel(GatewayClient& client) : m_client(client) {
        m_receiver = std::thread([this] {
            while (!m_stop) {
                auto msg = m_client.NextWithCode(SSR_CODE_MNG_SVR_CLT_RESET_PWD_ACK, 100);
                if (msg.empty()) continue;
                int size = static_cast<int>(msg.size());
                std::uint32_t error = 0, value = 0;
                char text[SSR_ERROR_TEXT_BUFFER_SIZE] = "";
                if (ssr_ExtractSvrCltResetPwdAck(msg.data(), &size, &error, &value, text) != SSR_SUCCESS)
                    continue;
                if (auto* l = m_listener.load())
                    l->PasswordChangeResult(
                        error == 0 ? engine::kPasswordChangeSucceeded : engine::kPasswordChangeFailed, text);
            }
        });
    }
    ~GatewayTunnel() override {
        m_stop = true;
        m_receiver.join();
    }
    bool SendSsrPacketToPeer(const std::uint8_t* data, std::size_t size) override {
        return m_client.Send(std::vector<std::uint8_t>(data, data + size));
    }
    void SetPasswordChangeListener(engine::PasswordChangeListener* l) override { m_listener = l; }

private:
    GatewayClient& m_client;
    std::atomic<engine::PasswordChangeListener*> m_listener{nullptr};
    std::atomic<bool> m_stop{false};
    std::thread m_receiver;
};

class PasswordGatewayTest : public ::testing::Test {
protected:
    PasswordGatewayTest() {
        platform::ResetMachineRoot();
        config.stateDir = state.Path();
        std::string error;
        EXPECT_TRUE(config.AddUser("alice:secret1", &error)) << error;
    }
    ~PasswordGatewayTest() override {
        // The client leaves first: a gateway stopping under a live connection trips the socket
        // engine's shutdown race (its error word is written from both sides).
        client.Disconnect();
        client.WaitDisconnected(2000);
        if (gateway) gateway->Stop();
        platform::ResetMachineRoot();
    }
    void LogOn() {
        gateway = std::make_unique<qelgw::TestGateway>(config);
        std::string error;
        ASSERT_TRUE(gateway->Start(&error)) << error;
        ASSERT_TRUE(client.Connect(gateway->Port()));
        short size = 0;
        ssr_ConstructCltLogonSvrRequest3(nullptr, &size, "alice", "secret1", 0, "0123|0|00-00-00-00-00-00",
                                         0);
        std::vector<std::uint8_t> logon(static_cast<std::size_t>(size));
        ASSERT_EQ(ssr_ConstructCltLogonSvrRequest3(logon.data(), &size, "alice", "secret1", 0,
                                                   "0123|0|00-00-00-00-00-00", 0),
                  SSR_SUCCESS);
        ASSERT_TRUE(client.Send(logon));
        auto answer = client.Next();
        ASSERT_FALSE(answer.empty());
        ASSERT_EQ(answer[1], SSR_MNG_GW_CLT_LOGON_RESPON_LOGONOK);
    }
    // Runs one change through the dialog and waits for the gateway's answer to arrive.
    void Change(CAlterPassword& dialog, const char* oldPw, const char* newPw) {
        dialog.OldField()->setText(oldPw);
        dialog.NewField()->setText(newPw);
        dialog.ConfirmField()->setText(newPw);
        const std::size_t before = m.prompter.boxes.size();
        dialog.OnOK();
        ASSERT_TRUE(dialog.Sent());
        ASSERT_TRUE(test::PumpUntil([&] { return m.prompter.boxes.size() > before; }, 10000))
            << "no answer from the gateway reached the dialog";
    }

    testsupport::TempRoot root{"vorn-password-gateway"};
    testsupport::TempDir state{"vorn-gateway-state"};
    qelgw::GatewayConfig config;
    std::unique_ptr<qelgw::TestGateway> gateway;
    GatewayClient client;
    test::DialogMachine m;
};

TEST_F(PasswordGatewayTest, TheGatewayTakesTheNewPassword) {
    LogOn();
    GatewayTunnel tunnel(client);
    PasswordChangeRelay relay(m.T(131));
    tunnel.SetPasswordChangeListener(&relay);
    CAlterPassword dialog(m.Context(), "alice", 0, tunnel);
    dialog.show();
    Change(dialog, "secret1", "better12");
    EXPECT_EQ(m.prompter.boxes.back().text, m.T(148));
    EXPECT_TRUE(dialog.Done());
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(gateway->Counters().passwordChanges, 1);
    tunnel.SetPasswordChangeListener(nullptr);
}

TEST_F(PasswordGatewayTest, ARefusalShowsTheGatewaysText) {
    config.passwordChangeCode = 7;
    config.passwordChangeText = "old password wrong";
    LogOn();
    GatewayTunnel tunnel(client);
    PasswordChangeRelay relay(m.T(131));
    tunnel.SetPasswordChangeListener(&relay);
    CAlterPassword dialog(m.Context(), "alice", 0, tunnel);
    dialog.show();
    Change(dialog, "wrong12", "better12");
    EXPECT_EQ(m.prompter.boxes.back().text, "old password wrong");
    EXPECT_FALSE(dialog.Done());
    EXPECT_TRUE(dialog.OkButton()->isEnabled()) << "the user may try again";
    dialog.hide();
    tunnel.SetPasswordChangeListener(nullptr);
}

}  // namespace
}  // namespace vorn
