// A main dialog over fakes: the engine's fake connector behind the real worker, recording
// prompter, tray and launcher, plain pages, a private machine root and timings in milliseconds.
#pragma once
#include <memory>
#include <string>

#include "dialog_rig.h"
#include "fake_connector.h"
#include "testsupport/temp_root.h"

namespace vorn::test {

inline engine::EngineTiming FastEngineTiming() {
    engine::EngineTiming t;
    t.logoffCancelSettleMs = 1;
    t.logoffLogonPollMs = 2;
    t.logoffOtherPollMs = 2;
    t.logoffNoticeSettleMs = 1;
    t.disconnectSettleMs = 1;
    t.relogonFastMs = 5;
    t.relogonSlowMs = 5;
    t.netCheckRoundMs = 20;
    return t;
}

class DialogTest : public ::testing::Test, protected DialogRig {
protected:
    void SetUp() override {
        App();
        store = platform::SettingsStore::Machine();
        ASSERT_EQ(store->CreateKey(kClientKey), platform::kRegOk);
        table = UiTextTable::Build(false, *store);
    }
    void TearDown() override {
        dialog.reset();
        QApplication::processEvents();
    }

    void Make(bool init = true) {
        DialogDeps d = Deps(&connector, store);
        d.timing = timing;
        d.engineTiming = FastEngineTiming();
        d.runChildDialog = [this](TwLogonVpn&, int command) { children.push_back(command); };
        d.updateCheck = updateCheck;
        dialog = std::make_unique<TwLogonVpn>(std::move(d));
        if (init) {
            ASSERT_TRUE(dialog->InitDialog());
        }
    }

    // The fake connector's logon reports as the real one does and ends online.
    void LogonGoesOnline() {
        connector.onLogon = [this](const engine::test::LogonCall&) {
            bridge.Callback(engine::UPDATE_STATUS_CAN_CANCEL, "");
            bridge.Callback(engine::UI_CODE_PROGRESS_TEXT, "t219");
            bridge.Callback(engine::UPDATE_STATUS_ONLINE, "");
            return true;
        };
    }
    std::string Get(const std::string& name) {
        std::string v;
        return store->GetString(kClientKey, name, &v) == platform::kRegOk ? v : "<missing>";
    }
    DWORD GetDword(const std::string& name) {
        DWORD v = 0xFFFFFFFF;
        store->GetDword(kClientKey, name, &v);
        return v;
    }
    void GoOnline() {
        LogonGoesOnline();
        FillForm("gw.example:8443", "alice", "secret");
        dialog->OnOK();
        ASSERT_TRUE(PumpUntil("online", [&] { return dialog->Status() == UPDATE_STATUS_ONLINE; }));
        ASSERT_TRUE(PumpUntil("the online refresh", [&] { return page->historySaves > 0; }));
    }

    testsupport::TempRoot root{"vorn-ui"};
    std::shared_ptr<platform::SettingsStore> store;
    engine::test::FakeConnector connector;
    UiTiming timing = FastUiTiming();
    std::vector<int> children;
    std::function<bool(TwLogonVpn&)> updateCheck;  // unset: none
    std::unique_ptr<TwLogonVpn> dialog;
};

}  // namespace vorn::test
