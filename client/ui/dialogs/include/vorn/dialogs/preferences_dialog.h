// CPreferSettings: the preferences dialog (start with the system, remember password, log on
// automatically, no resource page after logon, and the proxy), saved into the client's settings.
// Its window title is the catalogue's text 130, by which the main dialog finds and closes it.
//
// UI thread only; run modally (exec).
#pragma once
#include <QDialog>
#include <functional>

#include "vorn/dialogs/dialog_context.h"
#include "vorn/dialogs/proxy_page.h"

class QCheckBox;
class QPushButton;

namespace vorn {

class CPreferSettings final : public QDialog {
public:
    // Sends one command to the privileged network service ("SetAutoExec\n" or "NotSetAutoExec\n");
    // its result as the pipe client gives it. Unset: the service's pipe.
    using NetshSender = std::function<int(const std::string& command)>;

    CPreferSettings(DialogContext context, LogonPageView& logonPage, ProxyPageView& proxyPage, bool webLogon,
                    NetshSender netsh = {}, QWidget* parent = nullptr);

    // The save button: false when a check failed (the dialog stays open).
    bool OnSave();

    QCheckBox* AutoExecBox() { return m_autoExec; }
    QCheckBox* RememberBox() { return m_remember; }
    QCheckBox* AutoLogonBox() { return m_autoLogon; }
    QCheckBox* NoResourcePageBox() { return m_noResourcePage; }
    ProxyControls& Proxy() { return m_proxy; }

private:
    void Load();
    bool SaveProxy(platform::SettingsStore& store);

    DialogContext m_ctx;
    LogonPageView& m_logonPage;
    ProxyPageView& m_proxyPage;
    bool m_webLogon;
    NetshSender m_netsh;
    QCheckBox* m_autoExec;
    QCheckBox* m_remember;
    QCheckBox* m_autoLogon;
    QCheckBox* m_noResourcePage;
    ProxyControls m_proxy;
    QPushButton* m_save;
};

constexpr int kPreferencesAddressMax = 64;

}  // namespace vorn
