// The logon command: the action button by state, the form's checks and what they save, the
// privileged service's start and the hardware logon device.
#include <dlfcn.h>

#include <QLabel>
#include <QPushButton>
#include <QTabWidget>

#include "platform/client_settings.h"
#include "dailylog/shared_daily_log.h"
#include "platform/clock_wait.h"
#include "vorn/command_line.h"
#include "vorn/logon_rules.h"
#include "vorn/main_dialog.h"
#include "vorn/ui_bridge.h"

namespace vorn {

namespace {

constexpr const char* kCleanerStopEvent = "Global\\TerminateMorvaneBrevikEvent";
constexpr std::size_t kDeviceBufferSize = 512;

// The device library's export: (password, its length, user name, its length) -> 1 on success.
using GetDeviceInfoFn = unsigned char (*)(char*, unsigned*, char*, unsigned*);

bool ReadHardwareDevice(platform::SettingsStore& store, std::string* user, std::string* password) {
    std::string path;
    if (store.GetString(kClientKey, "LogonHelper", &path) != platform::kRegOk || path.empty()) return false;
    if (path.size() >= kDeviceBufferSize) return false;
    void* lib = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib) return false;
    bool ok = false;
    if (auto fn = reinterpret_cast<GetDeviceInfoFn>(::dlsym(lib, "GetDeviceInfo"))) {
        char pass[kDeviceBufferSize] = {}, name[kDeviceBufferSize] = {};
        unsigned passLen = kDeviceBufferSize, nameLen = kDeviceBufferSize;
        if (fn(pass, &passLen, name, &nameLen) == 1) {
            // The lengths come from outside: they are bounded by the buffers.
            *password = std::string(pass, passLen < kDeviceBufferSize ? passLen : kDeviceBufferSize);
            *user = std::string(name, nameLen < kDeviceBufferSize ? nameLen : kDeviceBufferSize);
            ok = true;
        }
    }
    ::dlclose(lib);
    return ok;
}
}  // namespace

bool TwLogonVpn::WaitForService(DWORD pollMs, DWORD polls) {
    for (DWORD i = 0; i < polls; ++i) {
        if (m_deps.services->Status(kNetworkService) == 0) return true;
        platform::SleepOn(*m_deps.clock, pollMs);
    }
    return m_deps.services->Status(kNetworkService) == 0;
}

void TwLogonVpn::OnAutoLogon() {
    WaitForService(m_deps.timing.apiLogonServicePollMs, m_deps.timing.apiLogonServicePolls);
    OnOK();
}

int TwLogonVpn::CheckNetshSvc(const std::string& service) {
    const int status = m_deps.services->Status(service);
    if (status == 2) {
        TW_LOG(LOG_CLIENT_LOGIN, 1, "[CheckNetshSvc] %s cannot be queried", service.c_str());
        return 1;
    }
    if (status == 0) return 0;
    TW_LOG(LOG_CLIENT_LOGIN, 2, "[CheckNetshSvc] %s does not run, start the install checker",
           service.c_str());
    if (!m_deps.launcher->StartHidden("Skarrow", {})) {
        TW_LOG(LOG_CLIENT_LOGIN, 1, "[CheckNetshSvc] the install checker did not start");
        return 2;
    }
    for (DWORD i = 0; i < m_deps.timing.serviceStartPolls; ++i) {
        if (m_deps.services->Status(service) == 0) return 0;
        platform::SleepOn(*m_deps.clock, m_deps.timing.serviceStartPollMs);
    }
    return m_deps.services->Status(service) == 0 ? 0 : 3;
}

void TwLogonVpn::OnOK() {
    m_CancelLogonEvent = std::make_unique<platform::Event>(true, false);
    const int state = m_Status.load();
    if (state == UPDATE_STATUS_OFFLINE) {
        CentreWindow();
        m_InAction = true;
        const int svc = CheckNetshSvc(kNetworkService);
        if (svc == 1 || svc == 2) {
            m_deps.prompter->Message(T(233), m_deps.table->MakeErrorCaption(), BoxIcon::kError);
            m_InAction = false;
            return;
        }
        if (svc == 3) {
            m_deps.prompter->Message(T(309), m_deps.table->MakeInfoCaption(), BoxIcon::kInformation);
            m_InAction = false;
            return;
        }
        if (!SSLClientSaveConfig()) {
            TW_LOG(LOG_CLIENT_LOGIN, 2, "[OnOK] the form was not saved");
            m_InAction = false;
            SetOffline();
            RefreshControls();
            return;
        }
        const bool goOn = m_webLogon ? LogonWebMode() : LogonClientMode();
        if (!goOn) return;
        m_deps.connector->SetErrorMessageBoxes(true);
        if (auto ev = platform::NamedEvent::Open(kCleanerStopEvent)) {
            ev->Set();
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[OnOK] the cleaner was told to stop");
        } else {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[OnOK] no cleaner runs");
        }
        if (m_worker->Logon(m_userName, m_password, 0, 0)) {
            m_CancelLogonEvent->Reset();
            m_InAction = false;
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[OnOK] m_InAction = false");
        } else {
            m_deps.prompter->Message(T(232), "", BoxIcon::kInformation);
            m_InAction = false;
            SetOffline();
        }
    } else if (state == UPDATE_STATUS_CAN_CANCEL) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[OnOK] cancel the logon");
        m_CancelLogonEvent->Set();
        m_actionButton->setEnabled(false);
        m_worker->Cancel();
        m_webLogon = false;
        m_worker->SetWebLogonMode(false);
    } else if (state == UPDATE_STATUS_ONLINE) {
        m_Status = UPDATE_STATUS_CANNOT_CANCEL;
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[OnOK] log off");
        CloseChildWindows();
        RequestLogoff();
    } else {
        return;
    }
    RefreshControls();
}

void TwLogonVpn::SetOffline() { m_Status = UPDATE_STATUS_OFFLINE; }

bool TwLogonVpn::LogonWebMode() {
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[OnOK] version %s, gateway's %s", m_Version.c_str(),
           m_gatewayVersion.c_str());
    if (CompareVersions(m_Version, m_gatewayVersion) < 0) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[OnOK] m_Version<m_ServerVersion, inform server");
        m_worker->Logon(m_userName, m_password, 0, 1);
        if (m_deps.updateCheck && !m_deps.updateCheck(*this)) {
            m_InAction = false;
            if (!m_webLogon) {
                // The check ended web logon mode: the dialog waits offline for a logon of its own.
                SetOffline();
                RefreshControls();
            }
            return false;
        }
    }
    return true;
}

bool TwLogonVpn::LogonClientMode() {
    if (m_deps.updateCheck && !m_deps.updateCheck(*this)) {
        m_InAction = false;
        SetOffline();
        RefreshControls();
        return false;
    }
    return true;
}

void TwLogonVpn::BeginUpdateCheck() {
    m_Status = UPDATE_STATUS_CAN_CANCEL;
    RefreshControls();
    HandleCallback(engine::UI_CODE_PROGRESS_TEXT, T(246));
}

void TwLogonVpn::EndUpdateCheck() {
    m_displayText.clear();
    m_statusLabel->clear();
    m_statusLabel->hide();
}

std::vector<std::string> TwLogonVpn::RestartArguments(std::string* scrambledPassword) const {
    if (m_webLogon) {
        scrambledPassword->clear();
        return {"-browserlogon", m_gatewayAddress, m_gatewayPort, m_sessionId, m_gatewayUser};
    }
    *scrambledPassword = Scramble(m_password);
    return {"-logon", m_userName, "-"};
}

void TwLogonVpn::FailOnPage(int tab, int messageId, BoxIcon icon, bool errorCaption) {
    const std::string caption =
        errorCaption ? m_deps.table->MakeErrorCaption() : m_deps.table->MakeInfoCaption();
    m_deps.prompter->Message(T(messageId), caption, icon);
    ShowPage(tab);
}

// A logon from the browser: the gateway, session and user it handed over are the settings.
bool TwLogonVpn::SaveWebLogonConfig() {
    platform::SettingsStore& store = *m_deps.store;
    LogonPageView& page = *m_deps.logonPage;
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[SaveWebLogonConfig] %s:%s session %s", m_gatewayAddress.c_str(),
           m_gatewayPort.c_str(), m_sessionId.c_str());
    if (store.OpenKey(kClientKey) == platform::kRegOk) {
        store.SetString(kClientKey, platform::client_settings::kServerAddr, m_gatewayAddress);
        m_szServerAddr = m_gatewayAddress;
        m_serverPort = std::atoi(m_gatewayPort.c_str());
        store.SetDword(kClientKey, platform::client_settings::kServerPortNum,
                       static_cast<DWORD>(m_serverPort));
        store.SetDword(kClientKey, platform::client_settings::kSessionId,
                       static_cast<DWORD>(std::strtoul(m_sessionId.c_str(), nullptr, 10)));
        store.SetDword(kClientKey, platform::client_settings::kRemID, 0);
        store.SetDword(kClientKey, platform::client_settings::kAutoLogon, 0);
        store.SetString(kClientKey, platform::client_settings::kQelUsername, m_gatewayUser);
    }
    m_worker->SetWebLogonMode(true);
    page.SetServerText(m_gatewayAddress + ":" + m_gatewayPort);
    page.SetUserName(m_gatewayUser);
    page.SetPassword("");
    page.SetRemember(false);
    page.SetAutoLogon(false);
    m_userName = m_gatewayUser;
    m_password.clear();
    return true;
}

bool TwLogonVpn::SSLClientSaveConfig() {
    platform::SettingsStore& store = *m_deps.store;
    LogonPageView& page = *m_deps.logonPage;
    if (m_webLogon) return SaveWebLogonConfig();

    ServerText server;
    const int bad = ParseGatewayText(page.ServerText(), &server);
    if (bad != 0) {
        const bool error = bad == kMsgGatewayBadChar || bad == kMsgBadPort;
        FailOnPage(0, bad, error ? BoxIcon::kError : BoxIcon::kInformation, error);
        return false;
    }
    page.SetServerText(server.text);
    store.SetString(kClientKey, platform::client_settings::kServerAddr, server.host);
    store.SetString(kClientKey, platform::client_settings::kUpdateServerAddr, server.host);
    store.SetDword(kClientKey, platform::client_settings::kServerPortNum, static_cast<DWORD>(server.port));
    store.SetDword(kClientKey, platform::client_settings::kUpdateServerPort, static_cast<DWORD>(server.port));

    m_userName = TrimBlanks(page.UserName());
    m_password = page.Password();
    page.SetUserName(m_userName);
    std::string deviceUser, devicePassword;
    const bool device = m_deps.hardwareDevice ? m_deps.hardwareDevice(&deviceUser, &devicePassword)
                                              : ReadHardwareDevice(store, &deviceUser, &devicePassword);
    if (device) {
        m_userName = deviceUser;
        m_password = devicePassword;
        m_hardwareKeyLogon = true;
        page.SetUserName(m_userName);
        page.SetPassword(m_password);
    }
    if (m_userName.empty() || m_password.empty()) {
        FailOnPage(0, kMsgUserOrPasswordEmpty, BoxIcon::kInformation, false);
        return false;
    }
    if (!UserNameAllowed(m_userName)) {
        FailOnPage(0, kMsgUserForbiddenChar, BoxIcon::kInformation, false);
        return false;
    }
    std::string saved;
    if (store.GetString(kClientKey, platform::client_settings::kServerAddr, &saved) != platform::kRegOk ||
        saved.empty() || saved == "0.0.0.0") {
        FailOnPage(0, kMsgNoGateway, BoxIcon::kInformation, false);
        m_actionButton->setEnabled(true);
        return false;
    }
    m_szServerAddr = saved.substr(0, 511);
    store.SetDword(kClientKey, platform::client_settings::kSessionId, 0);
    store.SetString(kClientKey, platform::client_settings::kQelUsername, page.UserName());
    if (page.Remember()) {
        store.SetDword(kClientKey, platform::client_settings::kRemID, 1);
        store.SetString(kClientKey, platform::client_settings::kQelPassword, Scramble(page.Password()));
    } else {
        store.SetDword(kClientKey, platform::client_settings::kRemID, 0);
    }
    DWORD port = 0;
    m_serverPort =
        store.GetDword(kClientKey, platform::client_settings::kServerPortNum, &port) == platform::kRegOk &&
                port != 0
            ? static_cast<int>(port)
            : 443;
    return SaveProxy();
}

bool TwLogonVpn::SaveProxy() {
    platform::SettingsStore& store = *m_deps.store;
    ProxyPageView& proxy = *m_deps.proxyPage;
    if (!proxy.UseProxy()) {
        store.SetString(kClientKey, platform::client_settings::kUseProxy, "No");
        store.SetString(kClientKey, platform::client_settings::kProxyAddr, "0.0.0.0");
        store.SetString(kClientKey, platform::client_settings::kProxyPort, "0");
        store.SetString(kClientKey, platform::client_settings::kUseProxyAuth, "No");
        store.SetString(kClientKey, platform::client_settings::kProxyUser, "");
        store.SetString(kClientKey, platform::client_settings::kProxyPass, "");
        return true;
    }
    ServerText st;
    std::string portText;
    const int bad = ParseProxyText(proxy.ProxyAddress(), &st, &portText);
    if (bad != 0) {
        FailOnPage(1, bad, bad == kMsgBadPort ? BoxIcon::kError : BoxIcon::kInformation, bad == kMsgBadPort);
        if (bad == kMsgProxyBadChar) m_actionButton->setEnabled(true);
        return false;
    }
    store.SetString(kClientKey, platform::client_settings::kProxyAddr, st.host);
    store.SetString(kClientKey, platform::client_settings::kProxyPort, portText);
    store.SetString(kClientKey, platform::client_settings::kUseProxy, "Yes");
    if (!proxy.UseProxyAuth()) {
        store.SetString(kClientKey, platform::client_settings::kUseProxyAuth, "No");
        store.SetString(kClientKey, platform::client_settings::kProxyUser, "");
        store.SetString(kClientKey, platform::client_settings::kProxyPass, "");
        return true;
    }
    if (proxy.ProxyUser().empty()) {
        FailOnPage(1, kMsgProxyUserEmpty, BoxIcon::kInformation, false);
        return false;
    }
    store.SetString(kClientKey, platform::client_settings::kProxyUser, proxy.ProxyUser());
    if (proxy.ProxyPassword().empty()) {
        FailOnPage(1, kMsgProxyPasswordEmpty, BoxIcon::kInformation, false);
        return false;
    }
    store.SetString(kClientKey, platform::client_settings::kProxyPass, proxy.ProxyPassword());
    store.SetString(kClientKey, platform::client_settings::kUseProxyAuth, "Yes");
    return true;
}

void TwLogonVpn::OnCheckHardwareKey() {
    std::string user, password;
    const bool device = m_deps.hardwareDevice ? m_deps.hardwareDevice(&user, &password)
                                              : ReadHardwareDevice(*m_deps.store, &user, &password);
    if (device) {
        m_userName = user;
        m_password = password;
        m_deps.logonPage->SetUserName(user);
        m_deps.logonPage->SetPassword(password);
    } else if (m_hardwareKeyLogon && m_Status == UPDATE_STATUS_ONLINE) {
        TW_LOG(LOG_CLIENT_LOGIN, 2, "[OnCheckHardwareKey] GetHardwareLogonDevice fail, force logoff");
        RequestLogoff();
    }
}

}  // namespace vorn
