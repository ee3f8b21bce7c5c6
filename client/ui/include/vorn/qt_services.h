// The real implementations of the GUI's small interfaces (ui_services.h): Qt message boxes, the
// Qt tray icon, program starts through the platform's process layer and the service layer's
// state query.
#pragma once
#include <functional>
#include <memory>
#include <string>

#include <QObject>

#include "vorn/ui_services.h"

class QEvent;
class QIcon;
class QMenu;
class QSystemTrayIcon;

namespace vorn {

class QtPrompter final : public Prompter {
public:
    void Message(const std::string& text, const std::string& caption, BoxIcon icon) override;
    bool AskYesNo(const std::string& text, const std::string& caption, BoxIcon icon) override;
};

// Turns the tray icon's activations into the dialog's two mouse events: a double click, and the
// menu on the right button's release. A single left click does nothing. Where the desktop asks for
// the menu while the right button is still down (the XEmbed tray asks on the press), the request
// waits for the button's release anywhere in the application; where it asks after the release,
// the menu opens at once.
class TrayActivation final : public QObject {
public:
    TrayActivation(std::function<void(bool doubleClick)> onActivated, std::function<bool()> rightButtonHeld);
    ~TrayActivation() override;
    // `reason` is a QSystemTrayIcon::ActivationReason.
    void Activated(int reason);
    bool WaitingForRelease() const { return m_waiting; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::function<void(bool)> m_onActivated;
    std::function<bool()> m_rightButtonHeld;
    bool m_waiting = false;
};

// The notification-area icon. Without a tray (no desktop, the offscreen platform) the calls
// succeed and only `report` hears of the tip and the balloons.
class QtTrayIcon final : public TrayIcon {
public:
    // `onActivated` gets the icon's mouse events (message 2024).
    QtTrayIcon(std::function<void(bool doubleClick)> onActivated,
               std::function<void(const std::string&)> report);
    ~QtTrayIcon() override;
    bool Message(int operation, const std::string& tip, int icon, const std::string& balloon) override;
    int TrackMenu(const std::vector<MenuItem>& menu) override;

private:
    std::unique_ptr<QSystemTrayIcon> m_icon;
    std::unique_ptr<TrayActivation> m_activation;
    std::function<void(const std::string&)> m_report;
};

class ProcessLauncher final : public Launcher {
public:
    explicit ProcessLauncher(std::string programDir) : m_dir(std::move(programDir)) {}
    bool StartHidden(const std::string& program, const std::vector<std::string>& args) override;
    bool OpenUrl(const std::string& url) override;
    bool Exec(const std::string& commandLine) override;

private:
    std::string m_dir;
};

class SystemServiceProbe final : public ServiceProbe {
public:
    int Status(const std::string& service) override;
};

// Qt's own texts (the buttons of message boxes, the standard dialogs) in Chinese when the client
// shows Chinese: the catalogue "qtbase_zh_CN" from Qt's translation folder, installed on the
// application. False (and nothing installed) for English or when the catalogue is missing.
bool InstallQtTranslations(bool chineseUi);

// The icons of the tray and the window, drawn here (there are no resource files).
QIcon MakeStateIcon(int icon);
// The tray menu as a Qt menu (the caller owns it); each action's data is its item id.
QMenu* MakeTrayMenu(const std::vector<MenuItem>& menu);

}  // namespace vorn
