#include "platform/client_settings.h"
#include "vorn/dialogs/preferences_dialog.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "dailylog/shared_daily_log.h"
#include "engine/netsh_client.h"
#include "vorn/dialogs/logon_page.h"
#include "vorn/dialogs/text_ids.h"

namespace vorn {

CPreferSettings::CPreferSettings(DialogContext context, LogonPageView& logonPage, ProxyPageView& proxyPage,
                                 bool webLogon, NetshSender netsh, QWidget* parent)
    : QDialog(parent),
      m_ctx(std::move(context)),
      m_logonPage(logonPage),
      m_proxyPage(proxyPage),
      m_webLogon(webLogon),
      m_netsh(std::move(netsh)) {
    setWindowTitle(QString::fromStdString(m_ctx.T(kTextPreferencesTitle)));
    MakeWhite(this);
    const int d = kDialogPreferences;
    m_autoExec = new QCheckBox(m_ctx.Caption(d, 1163, "Start the client with the system"), this);
    m_remember = new QCheckBox(m_ctx.Caption(d, 1164, "Remember password"), this);
    m_autoLogon = new QCheckBox(m_ctx.Caption(d, 1165, "Log on automatically"), this);
    m_noResourcePage = new QCheckBox(m_ctx.Caption(d, 1166, "No resource page after logon"), this);
    const ProxyCaptions captions{m_ctx.Caption(d, 1177, "Use a proxy server"),
                                 m_ctx.Caption(d, 1079, "The proxy needs authentication (HTTP Basic)"),
                                 m_ctx.Caption(d, 3, "Proxy address:"), m_ctx.Caption(d, 4, "User name:"),
                                 m_ctx.Caption(d, 5, "Password:")};
    QGridLayout* proxyGrid = m_proxy.Build(this, captions, kPreferencesAddressMax);
    m_proxy.address->setMinimumWidth(260);
    m_save = new QPushButton(m_ctx.Caption(d, 1175, "Save"), this);
    auto* cancel = new QPushButton(m_ctx.Caption(d, 1176, "Cancel"), this);
    m_save->setDefault(true);

    auto* general = new QGroupBox(m_ctx.Caption(d, 1, "General"), this);
    auto* g = new QVBoxLayout(general);
    for (QCheckBox* box : {m_autoExec, m_remember, m_autoLogon, m_noResourcePage}) g->addWidget(box);
    auto* proxy = new QGroupBox(m_ctx.Caption(d, 2, "Proxy"), this);
    proxy->setLayout(proxyGrid);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_save);
    buttons->addWidget(cancel);
    auto* outer = new QVBoxLayout(this);
    outer->addWidget(general);
    outer->addWidget(proxy);
    outer->addLayout(buttons);

    connect(m_remember, &QCheckBox::clicked, this, [this] {
        if (!m_remember->isChecked()) m_autoLogon->setChecked(false);
    });
    connect(m_autoLogon, &QCheckBox::clicked, this, [this] {
        if (m_autoLogon->isChecked()) m_remember->setChecked(true);
    });
    connect(m_save, &QPushButton::clicked, this, [this] { OnSave(); });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    Load();
}

void CPreferSettings::Load() {
    if (!m_ctx.store) return;
    platform::SettingsStore& store = *m_ctx.store;
    DWORD v = 0;
    m_autoExec->setChecked(
        store.GetDword(kClientKey, platform::client_settings::kAutoExec, &v) == platform::kRegOk && v != 0);
    if (m_webLogon) {
        m_remember->setEnabled(false);
        m_autoLogon->setEnabled(false);
    } else {
        const bool remembered =
            store.GetDword(kClientKey, platform::client_settings::kRemID, &v) == platform::kRegOk && v != 0;
        m_remember->setChecked(remembered);
        if (!remembered) m_autoLogon->setChecked(false);
        if (store.GetDword(kClientKey, platform::client_settings::kAutoLogon, &v) == platform::kRegOk &&
            v != 0) {
            m_autoLogon->setChecked(true);
            m_remember->setChecked(true);
        }
    }
    m_noResourcePage->setChecked(store.GetDword(kClientKey, platform::client_settings::kNoResourcePage, &v) ==
                                     platform::kRegOk &&
                                 v != 0);
    m_proxy.Load(ReadProxySettings(store));
}

bool CPreferSettings::SaveProxy(platform::SettingsStore& store) {
    auto fail = [this](int id, bool errorCaption) {
        m_ctx.Show(id, errorCaption ? m_ctx.ErrorCaption() : m_ctx.InfoCaption(),
                   errorCaption ? BoxIcon::kError : BoxIcon::kInformation);
        return false;
    };
    if (!m_proxy.use->isChecked()) {
        store.SetString(kClientKey, platform::client_settings::kUseProxy, "No");
        store.SetString(kClientKey, platform::client_settings::kProxyAddr, "0.0.0.0");
        store.SetString(kClientKey, platform::client_settings::kProxyPort, "0");
    } else {
        const std::string text = m_proxy.address->text().toStdString();
        if (text.empty() || text.find("0.0.0.0") != std::string::npos)
            return fail(kTextProxyAddressEmpty, false);
        if (!AddressCharsAllowed(text)) return fail(kTextProxyAddressChars, false);
        // The host is kept as the field holds it, never cut.
        std::string host, portText;
        SplitHostPort(text, &host, &portText, "0");
        int port = 0;
        if (!ParsePort(portText, &port)) return fail(kTextBadPort, true);
        store.SetString(kClientKey, platform::client_settings::kProxyAddr, host);
        store.SetString(kClientKey, platform::client_settings::kProxyPort, portText);
        store.SetString(kClientKey, platform::client_settings::kUseProxy, "Yes");
        if (m_proxy.auth->isChecked()) {
            const std::string user = m_proxy.user->text().toStdString();
            const std::string password = m_proxy.password->text().toStdString();
            if (user.empty()) return fail(kTextProxyUserEmpty, false);
            store.SetString(kClientKey, platform::client_settings::kProxyUser, user);
            if (password.empty()) return fail(kTextProxyPasswordEmpty, false);
            store.SetString(kClientKey, platform::client_settings::kProxyPass, password);
            store.SetString(kClientKey, platform::client_settings::kUseProxyAuth, "Yes");
            return true;
        }
    }
    store.SetString(kClientKey, platform::client_settings::kUseProxyAuth, "No");
    store.SetString(kClientKey, platform::client_settings::kProxyUser, "");
    store.SetString(kClientKey, platform::client_settings::kProxyPass, "");
    return true;
}

bool CPreferSettings::OnSave() {
    if (!m_ctx.store || m_ctx.store->OpenKey(kClientKey) != platform::kRegOk) {
        m_ctx.Show(kTextSettingsKeyFailed, m_ctx.ErrorCaption(), BoxIcon::kError);
        reject();
        return false;
    }
    platform::SettingsStore& store = *m_ctx.store;
    const bool autoExec = m_autoExec->isChecked();
    store.SetDword(kClientKey, platform::client_settings::kAutoExec, autoExec ? 1 : 0);
    const std::string command = autoExec ? "SetAutoExec\n" : "NotSetAutoExec\n";
    const int sent = m_netsh ? m_netsh(command) : engine::SendNetshCommand(command);
    if (sent != engine::kNetshDone)
        TW_LOG(LOG_CLIENT_LOGIN, 1, "[CPreferSettings] %s answered %d", command.c_str(), sent);
    if (m_remember->isChecked()) {
        store.SetDword(kClientKey, platform::client_settings::kRemID, 1);
        store.SetString(kClientKey, platform::client_settings::kQelPassword,
                        ScramblePassword(m_logonPage.Password()));
        store.SetDword(kClientKey, platform::client_settings::kAutoLogon, m_autoLogon->isChecked() ? 1 : 0);
    } else {
        store.SetDword(kClientKey, platform::client_settings::kRemID, 0);
        store.SetDword(kClientKey, platform::client_settings::kAutoLogon, 0);
    }
    store.SetDword(kClientKey, platform::client_settings::kNoResourcePage,
                   m_noResourcePage->isChecked() ? 1 : 0);
    if (!SaveProxy(store)) return false;
    m_logonPage.ReloadRememberedPassword();
    if (auto* page = dynamic_cast<CLogonPage*>(&m_logonPage))
        page->SetNewestHistoryChoices(m_remember->isChecked(), m_autoLogon->isChecked());
    m_logonPage.SaveIpHistoryFile();
    m_proxyPage.Reload();
    accept();
    return true;
}

}  // namespace vorn
