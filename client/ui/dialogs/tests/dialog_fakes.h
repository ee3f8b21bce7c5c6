// Recording fakes and a headless application for the dialogs' tests.
#pragma once
#include <QApplication>
#include <QCoreApplication>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/password_change.h"
#include "platform/settings_store.h"
#include "testsupport/temp_dir.h"
#include "vorn/dialogs/dialog_context.h"
#include "vorn/dialogs/language_catalogue.h"

namespace vorn::test {

// One offscreen application for the whole test program.
inline QApplication& App() {
    static int argc = 1;
    static char name[] = "vorn_dialogs_test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        return new QApplication(argc, argv);
    }();
    return *app;
}

// Runs the event loop until `done` holds or `ms` passed; false on time-out.
inline bool PumpUntil(const std::function<bool()>& done, int ms = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

struct Box {
    std::string text, caption;
    BoxIcon icon;
    bool question;
};

class RecordingPrompter final : public Prompter {
public:
    void Message(const std::string& text, const std::string& caption, BoxIcon icon) override {
        boxes.push_back({text, caption, icon, false});
    }
    bool AskYesNo(const std::string& text, const std::string& caption, BoxIcon icon) override {
        boxes.push_back({text, caption, icon, true});
        return answer;
    }
    std::vector<Box> boxes;
    bool answer = true;
};

class RecordingLauncher final : public Launcher {
public:
    bool StartHidden(const std::string&, const std::vector<std::string>&) override { return true; }
    bool OpenUrl(const std::string& url) override {
        urls.push_back(url);
        return true;
    }
    bool Exec(const std::string&) override { return true; }
    std::vector<std::string> urls;
};

class RecordingTunnel final : public engine::PasswordChangeTunnel {
public:
    bool SendSsrPacketToPeer(const std::uint8_t* data, std::size_t size) override {
        std::lock_guard<std::mutex> lock(mutex);
        sent.emplace_back(data, data + size);
        return sendResult;
    }
    void SetPasswordChangeListener(engine::PasswordChangeListener* l) override { listener = l; }
    std::mutex mutex;
    std::vector<std::vector<std::uint8_t>> sent;
    bool sendResult = true;
    engine::PasswordChangeListener* listener = nullptr;
};

inline std::string LangDir() {
    const char* src = std::getenv("QEL_TEST_SOURCE_DIR");
    return std::string(src ? src : ".") + "/client/ui/dialogs/lang";
}

// A machine of the dialogs: a settings store and an install folder of its own, the English (or
// Chinese) catalogue, a text table and the recording fakes.
struct DialogMachine {
    explicit DialogMachine(bool chinese = false) {
        App();
        store = std::make_shared<platform::SettingsStore>(dir.File("settings.db"));
        store->CreateKey(kClientKey);
        store->SetString(kClientKey, "InstallDir", dir.Path());
        std::string error;
        texts = LoadCatalogue(chinese, &error, LangDir());
        table.chineseUi = chinese;
        table.appTitle = chinese ? "MorvaneSSL-VPN客户端" : "Morvane-VornClient";
        table.caption = table.appTitle;
        table.version = "6.3.01.0";
        table.companyName = chinese ? "莫尔凡网络技术有限公司" : "Morvane Networks Ltd.";
        table.aboutTitle = chinese ? "关于MorvaneSSL-VPN客户端" : "About Morvane-VornClient";
        table.webSite = "https://www.morvane.example/";
    }
    DialogContext Context() { return DialogContext{texts.get(), &table, &prompter, &launcher, store}; }
    std::string T(int id) const { return texts ? texts->Text(id) : std::string(); }
    std::string Dword(const char* name) {
        DWORD v = 0;
        return store->GetDword(kClientKey, name, &v) == platform::kRegOk ? std::to_string(v) : "-";
    }
    std::string Str(const char* name) {
        std::string v;
        return store->GetString(kClientKey, name, &v) == platform::kRegOk ? v : "-";
    }

    testsupport::TempDir dir{"vorn-dialogs"};
    std::shared_ptr<platform::SettingsStore> store;
    std::unique_ptr<TextSource> texts;
    UiTextTable table;
    RecordingPrompter prompter;
    RecordingLauncher launcher;
};

}  // namespace vorn::test
