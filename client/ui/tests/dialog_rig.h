// The recording fakes and plain pages behind a main dialog under test, whichever connector it has.
#pragma once
#include <memory>
#include <string>

#include "basic_pages.h"
#include "ui_fakes.h"
#include "vorn/main_dialog.h"
#include "vorn/ui_bridge.h"

namespace vorn::test {

// The recording fakes and plain pages a dialog under test is made over.
struct DialogRig {
    // The dialog's dependencies on them over `connector` and `store`, with new plain pages that
    // `page` and `proxy` then point at and no hardware key; timings and the rest are the caller's.
    DialogDeps Deps(engine::ConnectorControl* connector, std::shared_ptr<platform::SettingsStore> store) {
        DialogDeps d;
        d.connector = connector;
        d.bridge = &bridge;
        d.texts = &texts;
        d.table = &table;
        d.prompter = &prompter;
        d.tray = &tray;
        d.launcher = &launcher;
        d.services = &services;
        d.store = std::move(store);
        auto logon = std::make_unique<BasicLogonPage>();
        auto proxyPage = std::make_unique<BasicProxyPage>();
        page = logon.get();
        proxy = proxyPage.get();
        d.logonPage = std::move(logon);
        d.proxyPage = std::move(proxyPage);
        d.hardwareDevice = [](std::string*, std::string*) { return false; };
        return d;
    }
    void FillForm(const std::string& server, const std::string& user, const std::string& password) {
        page->SetServerText(server);
        page->SetUserName(user);
        page->SetPassword(password);
    }

    IdTexts texts;
    UiTextTable table;
    UiBridge bridge{texts};
    FakePrompter prompter;
    FakeTray tray;
    FakeLauncher launcher;
    FakeServices services;
    BasicLogonPage* page = nullptr;
    BasicProxyPage* proxy = nullptr;
};

}  // namespace vorn::test
