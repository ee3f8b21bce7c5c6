#include "vorn/vorn_client.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cstdio>

#include "platform/process.h"
#include "vorn/client_app.h"
#include "vorn/connector_factory.h"
#include "vorn/dialogs/language_catalogue.h"
#include "vorn/main_dialog.h"
#include "vorn/qt_services.h"

namespace vorn {

namespace {

int g_signalPipe[2] = {-1, -1};

void OnStopSignal(int) {
    const char c = 1;
    (void)!::write(g_signalPipe[1], &c, 1);
}

class ConsolePrompter final : public Prompter {
public:
    void Message(const std::string& text, const std::string& caption, BoxIcon) override {
        std::printf("message: [%s] %s\n", caption.c_str(), text.c_str());
        std::fflush(stdout);
    }
    bool AskYesNo(const std::string& text, const std::string& caption, BoxIcon) override {
        std::printf("question: [%s] %s -> no\n", caption.c_str(), text.c_str());
        std::fflush(stdout);
        return false;
    }
};

}  // namespace

int RunVornClient(std::vector<std::string> args, bool headless) {
    QtPrompter qtPrompter;
    ConsolePrompter consolePrompter;
    SystemServiceProbe services;
    ProcessLauncher launcher(platform::ProgramDir());

    AppEnvironment env;
    if (headless && args.size() == 1) args.push_back("-autologon");
    env.args = args;
    env.chineseUi = IsChineseLocale(UserLocaleName()) && IsChineseLocale(SystemLocaleName());
    InstallQtTranslations(env.chineseUi);
    env.loadCatalogue = [](bool chineseUi, std::string* error) { return LoadCatalogue(chineseUi, error); };
    env.makeConnector = [](engine::UiSink& ui, const engine::EngineTiming& timing,
                           ConnectorPasswordTunnel& passwords) {
        return CreateConnector(ui, timing, &passwords);
    };
    env.prompter = headless ? static_cast<Prompter*>(&consolePrompter) : &qtPrompter;
    env.services = &services;
    env.launcher = &launcher;
    env.store = platform::SettingsStore::Machine();
    env.stdinFd = STDIN_FILENO;
    env.watchSleep = true;
    if (headless) {
        env.report = [](const std::string& line) {
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
        };
    }
    // SIGTERM and SIGINT are caught from the start; a request that comes before the dialog runs
    // waits in the pipe.
    std::unique_ptr<QSocketNotifier> stopNotifier;
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        struct sigaction sa {};
        sa.sa_handler = OnStopSignal;
        sigemptyset(&sa.sa_mask);
        ::sigaction(SIGTERM, &sa, nullptr);
        ::sigaction(SIGINT, &sa, nullptr);
    }
    env.onDialog = [&stopNotifier](TwLogonVpn& dialog) {
        if (g_signalPipe[0] < 0) return;
        stopNotifier = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
        QObject::connect(stopNotifier.get(), &QSocketNotifier::activated, &dialog, [&dialog] {
            char buf[16];
            while (::read(g_signalPipe[0], buf, sizeof(buf)) > 0) {
            }
            dialog.PostDialogMessage(kMsgWebQuit);
        });
    };
    CSarvelApp app(std::move(env));
    const int code = app.Run();
    stopNotifier.reset();
    return code;
}

}  // namespace vorn
