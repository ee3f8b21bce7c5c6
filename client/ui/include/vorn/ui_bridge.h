// The engine's way to the user (engine::UiSink), for the GUI: every call is posted to the UI
// thread, in the order of the calls. A prompt from an engine thread waits there for the answer
// while the UI thread goes on with its event loop; a prompt made on the UI thread runs at once.
//
// Lifetime: made before the connector and the dialog (the connector keeps a reference); the
// dialog attaches itself at initialisation and detaches in its destructor. Shutdown() answers
// every waiting and later prompt at once (OK, No), so that no engine thread waits for a dialog
// that is gone.
//
// Thread-safety: every call from any thread.
#pragma once
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "engine/ui_sink.h"
#include "vorn/text_source.h"
#include "vorn/ui_services.h"

class QObject;

namespace vorn {

class TwLogonVpn;

class UiBridge final : public engine::UiSink {
public:
    explicit UiBridge(const TextSource& texts);
    ~UiBridge() override;

    void Attach(TwLogonVpn* dialog);
    void Detach();
    void Shutdown();

    void Callback(int code, const std::string& text) override;
    void MessageBox(const std::string& text, const std::string& caption, engine::UiBox icon) override;
    bool AskYesNo(const std::string& text, const std::string& caption) override;
    void TrayBalloon(const std::string& title, const std::string& text) override;
    void CloseWindowByTitle(const std::string& title) override;
    std::string LanguageText(int id) override;
    // A Yes/No question with `icon`, answered on the UI thread (the update check's questions).
    bool Ask(const std::string& text, const std::string& caption, BoxIcon icon);

private:
    struct Prompt;
    // Runs the prompt's job on the UI thread and waits for it (or for Shutdown); its answer, false
    // when it did not run.
    bool RunOnUiThread(const std::shared_ptr<Prompt>& prompt);

    const TextSource& m_texts;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    TwLogonVpn* m_dialog = nullptr;  // under m_mutex
    bool m_shutdown = false;         // under m_mutex
};

// Closes (posts a close to) every top-level window titled `title`; true when one was found.
bool CloseTopLevelByTitle(const std::string& title);
bool TopLevelExists(const std::string& title);
// Shows and raises the top-level window titled `title`; false when there is none.
bool ShowTopLevelByTitle(const std::string& title);

}  // namespace vorn
