// The one way the connection engine speaks to the user. The engine never touches a widget: every
// callback, prompt and balloon goes through this interface, which the GUI implements by posting to
// its own thread, and which tests replace with a recorder.
//
// Calls come from engine threads (worker, relogon, TLS, timer). Implementations must be safe to
// call from any thread; prompts (MessageBox, AskYesNo) block the calling engine thread until the
// user answers, never the GUI's own event loop.
#pragma once
#include <string>

namespace engine {

// UI callback codes: the contract between the connector and the main dialog.
enum UiCode : int {
    UPDATE_STATUS_ONLINE = 0,
    UPDATE_STATUS_OFFLINE = 1,
    UPDATE_STATUS_CAN_CANCEL = 2,
    UPDATE_STATUS_CANNOT_CANCEL = 3,
    UI_CODE_PROGRESS_TEXT = 4,
    UI_CODE_MESSAGE = 5,
    UI_CODE_ASK_REGISTER_HARDWARE_ID = 6,
    UI_CODE_NEED_PASSWORD = 7,
    UI_CODE_SWITCH_TO_CLIENT_LOGON = 8,
    UI_CODE_CLEAN_CACHE = 9,
};

// Icon and button choice of a message box; the answers mirror the usual dialog results.
enum class UiBox { kInformation, kWarning, kError };
enum class UiAnswer { kOk, kYes, kNo, kCancel };

class UiSink {
public:
    virtual ~UiSink() = default;

    // The callback of the main dialog: a code of the table above and its text (empty when the
    // code carries none). Delivered in the order of the calls.
    virtual void Callback(int code, const std::string& text) = 0;

    // A message box with an OK button; returns when the user closed it.
    virtual void MessageBox(const std::string& text, const std::string& caption, UiBox icon) = 0;

    // A Yes/No question; true for Yes.
    virtual bool AskYesNo(const std::string& text, const std::string& caption) = 0;

    // A balloon at the tray icon; does not wait.
    virtual void TrayBalloon(const std::string& title, const std::string& text) = 0;

    // Closes the program's top-level windows (message boxes included) whose title is `title`.
    virtual void CloseWindowByTitle(const std::string& title) = 0;

    // The language catalogue's text for `id`, in the UI's language; empty when the id is unknown.
    virtual std::string LanguageText(int id) = 0;
};

}  // namespace engine
