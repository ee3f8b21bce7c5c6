#include "vorn/client_dialogs.h"

#include "dailylog/shared_daily_log.h"
#include "vorn/dialogs/about_dialog.h"
#include "vorn/dialogs/logon_page.h"
#include "vorn/dialogs/preferences_dialog.h"
#include "vorn/dialogs/proxy_page.h"
#include "vorn/dialogs/status_dialog.h"
#include "vorn/main_dialog.h"

namespace vorn {

ClientDialogs::ClientDialogs(DialogContext context, engine::PasswordChangeTunnel& tunnel)
    : m_ctx(std::move(context)), m_tunnel(tunnel), m_relay(m_ctx.T(kTitleChangePassword)) {
    m_tunnel.SetPasswordChangeListener(&m_relay);
}

ClientDialogs::~ClientDialogs() { m_tunnel.SetPasswordChangeListener(nullptr); }

std::unique_ptr<LogonPageView> ClientDialogs::MakeLogonPage(std::function<void()> ok) {
    auto page = std::make_unique<CLogonPage>(m_ctx);
    page->SetOwnerOk(std::move(ok));
    page->OnInitDialog();
    return page;
}

std::unique_ptr<ProxyPageView> ClientDialogs::MakeProxyPage(std::function<void()> ok) {
    auto page = std::make_unique<CProxyPage>(m_ctx);
    page->SetOwnerOk(std::move(ok));
    page->OnInitDialog();
    return page;
}

void ClientDialogs::Run(TwLogonVpn& dialog, int command) {
    switch (command) {
        case 5: {
            CAboutDlg about(m_ctx, &dialog);
            about.exec();
            break;
        }
        case 10: {
            CPreferSettings preferences(m_ctx, dialog.LogonPage(), dialog.ProxyPage(), dialog.WebLogonMode(),
                                        {}, &dialog);
            preferences.exec();
            break;
        }
        case 14: {
            CTwStatusDlg status(m_ctx, dialog.Connector(), StatusTiming{}, &dialog);
            status.exec();
            break;
        }
        case 20: {
            const engine::ConnectorSession session = dialog.Connector().Session();
            CAlterPassword change(m_ctx, dialog.UserName(), session.sessionId, m_tunnel, &dialog);
            change.exec();
            break;
        }
        case kMsgInputPassword: {
            engine::TwWorkerThread* worker = dialog.Worker();
            if (!worker) return;
            RelogonIptPswDlg again(
                m_ctx, dialog.UserName(),
                [worker](const std::string& password) {
                    worker->SetRelogonPassword(password, engine::TW_CLT_STATUS_GW_RELOGON_INIT);
                    worker->Relogon();
                },
                {}, &dialog);
            again.SetPromptText(dialog.LogonPage().ServerText());
            LogonPageView& page = dialog.LogonPage();
            again.SetLogonPagePassword([&page](const std::string& password) { page.SetPassword(password); });
            again.exec();
            break;
        }
        default: TW_LOG(LOG_CLIENT_LOGIN, 2, "[ClientDialogs] no dialog for command %d", command); break;
    }
}

}  // namespace vorn
