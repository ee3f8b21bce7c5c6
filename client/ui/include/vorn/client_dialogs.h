// The main dialog's full pages and child dialogs, from the dialogs library: the logon and proxy
// pages of its tabs, and the modal dialogs that the tray menu and the engine's password request
// open (preferences, status window, change password, about box, password re-entry). Answers to
// a password change reach the open change-password window through the relay, each posted with
// its own copy of the gateway's text.
//
// Lifetime: made before the main dialog and kept until after it; the tunnel outlives it.
// UI thread only.
#pragma once
#include <functional>
#include <memory>

#include "engine/password_change.h"
#include "vorn/dialogs/dialog_context.h"
#include "vorn/dialogs/password_dialogs.h"
#include "vorn/page_views.h"

namespace vorn {

class TwLogonVpn;

class ClientDialogs {
public:
    ClientDialogs(DialogContext context, engine::PasswordChangeTunnel& tunnel);
    ~ClientDialogs();
    ClientDialogs(const ClientDialogs&) = delete;
    ClientDialogs& operator=(const ClientDialogs&) = delete;

    // The pages, loaded from the settings; Enter in a page runs `ok` (the main dialog's OK).
    std::unique_ptr<LogonPageView> MakeLogonPage(std::function<void()> ok);
    std::unique_ptr<ProxyPageView> MakeProxyPage(std::function<void()> ok);

    // The main dialog's runChildDialog: tray commands 5 (about), 10 (preferences), 14 (status),
    // 20 (change password), and message 2030 (the password again for a reconnect).
    void Run(TwLogonVpn& dialog, int command);

private:
    DialogContext m_ctx;
    engine::PasswordChangeTunnel& m_tunnel;
    PasswordChangeRelay m_relay;
};

}  // namespace vorn
