// The small interfaces through which the GUI reaches what tests must not: message boxes, the
// tray icon, program starts and the privileged service's state. The client passes the real ones
// (qt_services.h); tests pass recording fakes.
//
// Thread-safety: Prompter and TrayIcon are called on the UI thread only (engine threads reach
// them through the UI bridge); Launcher and ServiceProbe from any thread.
#pragma once
#include <string>
#include <vector>

namespace vorn {

enum class BoxIcon { kInformation, kWarning, kError, kQuestion };

class Prompter {
public:
    virtual ~Prompter() = default;
    // A box with an OK button; returns when it was closed.
    virtual void Message(const std::string& text, const std::string& caption, BoxIcon icon) = 0;
    // A Yes/No question; true for Yes.
    virtual bool AskYesNo(const std::string& text, const std::string& caption, BoxIcon icon) = 0;
};

// Tray icon resources.
constexpr int kIconApp = 153;
constexpr int kIconOffline = 260;
constexpr int kIconOnline = 308;

struct MenuItem {
    enum Kind { kCommand, kSeparator, kSubmenu } kind = kCommand;
    int id = 0;
    std::string text;
    bool greyed = false;
    std::vector<MenuItem> children;  // kSubmenu only
};

class TrayIcon {
public:
    virtual ~TrayIcon() = default;
    // Operation 0 add, 1 modify, 2 delete; icon 0 and an empty tip leave them as they are.
    virtual bool Message(int operation, const std::string& tip, int icon, const std::string& balloon) = 0;
    // Shows the menu at the cursor and returns the chosen item's id (0: nothing chosen).
    virtual int TrackMenu(const std::vector<MenuItem>& menu) = 0;
};

class Launcher {
public:
    virtual ~Launcher() = default;
    // Starts a program of the program folder hidden, without a shell; false when it could not.
    virtual bool StartHidden(const std::string& program, const std::vector<std::string>& args) = 0;
    // Opens a web address with the desktop's handler.
    virtual bool OpenUrl(const std::string& url) = 0;
    // Runs an extension's command line (split at blanks, no shell).
    virtual bool Exec(const std::string& commandLine) = 0;
};

class ServiceProbe {
public:
    virtual ~ServiceProbe() = default;
    // 0 the service runs, 1 it is not running (or not installed), 2 it cannot be queried.
    virtual int Status(const std::string& service) = 0;
};

}  // namespace vorn
