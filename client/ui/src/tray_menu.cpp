// The tray icon, its menu and the menu's commands.
#include <QMetaObject>

#include "platform/client_settings.h"
#include "dailylog/shared_daily_log.h"
#include "vorn/command_line.h"
#include "vorn/main_dialog.h"
#include "vorn/ui_bridge.h"

namespace vorn {

namespace {

constexpr const char* kExtensionsKey = "Software\\Morvane\\QelClient\\Extensions";
constexpr const char* kExtensionsLabel = " 增值应用 ";
constexpr std::size_t kMenuTextMax = 127;
constexpr std::size_t kExtensionCommandMax = 1024;

}  // namespace

void TwLogonVpn::TrayMessage(int operation, const std::string& tip, int icon, const std::string& balloon) {
    if (!m_deps.tray->Message(operation, tip, icon, balloon)) {
        // Tips are no secret; a balloon never carries a password either.
        TW_LOG(LOG_CLIENT_LOGIN, 1, "[TrayMessage] operation %d, icon %d, tip %s, balloon %s failed",
               operation, icon, tip.c_str(), balloon.c_str());
    }
}

void TwLogonVpn::OnTrayNotification(TrayMouse mouse) {
    if (mouse == TrayMouse::kLeftDoubleClick) {
        const int state = m_Status.load();
        if (state == UPDATE_STATUS_ONLINE) {
            OpenResourcePage();
        } else if (state == UPDATE_STATUS_OFFLINE) {
            ShowWindowNormal();
        }
        return;
    }
    const std::vector<MenuItem> menu = BuildTrayMenu();
    const int chosen = m_deps.tray->TrackMenu(menu);
    if (chosen == 0) return;
    std::string text;
    auto find = [&](const std::vector<MenuItem>& items, auto&& self) -> void {
        for (const MenuItem& item : items) {
            if (item.kind == MenuItem::kCommand && item.id == chosen) text = item.text;
            if (item.kind == MenuItem::kSubmenu) self(item.children, self);
        }
    };
    find(menu, find);
    HandleMenu(chosen, text.substr(0, kExtensionCommandMax));
}

bool TwLogonVpn::ReadMenuExtensions(std::vector<std::pair<int, std::string>>* items) {
    std::vector<std::string> names;
    if (m_deps.store->EnumValues(kExtensionsKey, &names) != platform::kRegOk) return false;
    for (std::size_t i = 0; i < names.size(); ++i) {
        DWORD type = 0, size = 0;
        if (m_deps.store->QueryValue(kExtensionsKey, names[i], &type, nullptr, &size) != platform::kRegOk)
            break;
        // A value of another type keeps its index: item ids may have gaps.
        if (type == platform::REG_SZ) items->emplace_back(100 + static_cast<int>(i), names[i]);
    }
    return !items->empty();
}

std::vector<MenuItem> TwLogonVpn::BuildTrayMenu() {
    auto text = [this](int id) { return T(id).substr(0, kMenuTextMax); };
    auto command = [&](int id, int textId, bool greyed = false) {
        MenuItem m;
        m.id = id;
        m.text = text(textId);
        m.greyed = greyed;
        return m;
    };
    MenuItem separator;
    separator.kind = MenuItem::kSeparator;

    std::vector<MenuItem> menu;
    const int state = m_Status.load();
    const bool online = state == UPDATE_STATUS_ONLINE;
    if (online) {
        menu.push_back(command(11, 128));
        menu.push_back(separator);
        menu.push_back(command(14, 129));
        menu.push_back(command(4, 248));
    } else if (state == UPDATE_STATUS_OFFLINE) {
        menu.push_back(command(3, 117));
    } else {
        menu.push_back(command(13, 118, state == UPDATE_STATUS_CANNOT_CANCEL));
    }
    std::vector<std::pair<int, std::string>> extensions;
    if (online && ReadMenuExtensions(&extensions)) {
        MenuItem sub;
        sub.kind = MenuItem::kSubmenu;
        sub.text = kExtensionsLabel;
        for (const auto& [id, name] : extensions) {
            MenuItem m;
            m.id = id;
            m.text = name;
            sub.children.push_back(m);
        }
        menu.push_back(sub);
    }
    if (online) {
        menu.push_back(command(10, 130));
        menu.push_back(command(20, 131));
    }
    if (isVisible()) {
        menu.push_back(command(2, 132));
    } else {
        menu.push_back(command(2, 133, state == UPDATE_STATUS_CANNOT_CANCEL));
    }
    menu.push_back(command(15, m_detailedLog ? 271 : 272));
    menu.push_back(command(5, 249, TopLevelExists(m_deps.table->aboutTitle)));
    menu.push_back(separator);
    menu.push_back(command(1, 134, m_InAction || m_quitQuestion));
    return menu;
}

void TwLogonVpn::HandleMenu(int command, const std::string& itemText) {
    switch (command) {
        case 1:
            m_quitQuestion = true;
            OnQelQuit();
            break;
        case 2:
            if (isVisible()) {
                hide();
            } else {
                ShowWindowNormal();
            }
            break;
        case 3: OnOK(); break;
        case 4:
            if (m_Status == UPDATE_STATUS_ONLINE) m_Status = UPDATE_STATUS_CANNOT_CANCEL;
            CloseChildWindows();
            RequestLogoff();
            RefreshControls();
            break;
        case 5:
            if (!TopLevelExists(m_deps.table->aboutTitle) && m_deps.runChildDialog)
                m_deps.runChildDialog(*this, 5);
            break;
        case 10:
        case 14:
        case 20: {
            const int title = command == 10   ? kTitlePreferences
                              : command == 14 ? kTitleStatus
                                              : kTitleChangePassword;
            if (!ShowTopLevelByTitle(T(title)) && m_deps.runChildDialog)
                m_deps.runChildDialog(*this, command);
            break;
        }
        case 11: OpenResourcePage(); break;
        case 13: m_worker->Cancel(); break;
        case 15: ToggleLogLevel(); break;
        default:
            if (command >= 100) {
                std::string line;
                if (m_deps.store->GetString(kExtensionsKey, itemText, &line) == platform::kRegOk &&
                    !m_deps.launcher->Exec(line.substr(0, kExtensionCommandMax))) {
                    TW_LOG(LOG_CLIENT_LOGIN, 1, "[HandleMenu] extension %s did not start", itemText.c_str());
                }
            }
            break;
    }
}

void TwLogonVpn::OpenResourcePage() {
    std::string address;
    DWORD port = 443;
    if (m_deps.store->GetString(kClientKey, platform::client_settings::kServerAddr, &address) !=
        platform::kRegOk)
        address.clear();
    if (m_deps.store->GetDword(kClientKey, platform::client_settings::kServerPortNum, &port) !=
        platform::kRegOk)
        port = 443;
    address = address.substr(0, 255);
    const std::string user = AnsiToUtf8(m_userName, 512, true);
    const std::string url =
        "https://" + address + ":" + std::to_string(port) +
        "/sslvpnindex/client.php?sessionid=" + std::to_string(m_deps.connector->Session().sessionId) +
        "&username=" + user;
    if (!m_deps.launcher->OpenUrl(url))
        TW_LOG(LOG_CLIENT_LOGIN, 1, "[OpenResourcePage] the page did not open");
}

void TwLogonVpn::ToggleLogLevel() {
    // The two log levels the menu switches between (on Windows two level scripts) are a table here.
    if (m_detailedLog) {
        SharedDailyLog::Instance().SetCategoryLevel(LOG_CLIENT_LOGIN | LOG_CLIENT_DATA, 3);
        m_detailedLog = false;
        m_deps.connector->PrintSystemRouteTable();
    } else {
        SharedDailyLog::Instance().SetCategoryLevel(LOG_CLIENT_LOGIN | LOG_CLIENT_DATA, 4);
        m_detailedLog = true;
    }
}

}  // namespace vorn
