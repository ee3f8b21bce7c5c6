#include "platform/client_settings.h"
#include "vorn/web_logon_gateway.h"

#include <strings.h>

#include "dailylog/shared_daily_log.h"
#include "vorn/dialogs/gateway_history.h"
#include "vorn/logon_rules.h"
#include "vorn/text_source.h"

namespace vorn {

namespace {

// Decimal 1-65535, digits only; 0 otherwise.
int PortNumber(const std::string& text) {
    if (text.empty() || text.size() > 5) return 0;
    int value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return 0;
        value = value * 10 + (c - '0');
    }
    return value <= 65535 ? value : 0;
}

bool SameGateway(const std::string& host, int port, const std::string& address, int wantedPort) {
    return port == wantedPort && !host.empty() && strcasecmp(host.c_str(), address.c_str()) == 0;
}

}  // namespace

bool KnownGateway(platform::SettingsStore& store, const std::string& address, const std::string& port) {
    const int wanted = PortNumber(port);
    if (wanted == 0 || address.empty()) return false;
    std::string saved;
    if (store.GetString(kClientKey, platform::client_settings::kServerAddr, &saved) == platform::kRegOk) {
        DWORD savedPort = 0;
        if (store.GetDword(kClientKey, platform::client_settings::kServerPortNum, &savedPort) !=
                platform::kRegOk ||
            savedPort == 0)
            savedPort = 443;
        if (SameGateway(saved, static_cast<int>(savedPort), address, wanted)) return true;
    }
    std::string dir;
    if (store.GetString(kClientKey, platform::client_settings::kInstallDir, &dir) != platform::kRegOk ||
        dir.empty())
        return false;
    GatewayHistory history;
    std::string error;
    if (!LoadHistoryFile(dir, &history, &error)) return false;
    for (int i = 0; i < history.Count(); ++i) {
        ServerText server;
        if (ParseGatewayText(history[i].server, &server) != 0) continue;
        if (SameGateway(server.host, server.port, address, wanted)) return true;
    }
    return false;
}

std::string GatewayInUse(platform::SettingsStore& store) {
    DWORD session = 0;
    if (store.GetDword(kClientKey, platform::client_settings::kSessionId, &session) != platform::kRegOk ||
        session == 0)
        return std::string();
    std::string address;
    if (store.GetString(kClientKey, platform::client_settings::kServerAddr, &address) != platform::kRegOk ||
        address.empty())
        address = "?";
    DWORD port = 0;
    if (store.GetDword(kClientKey, platform::client_settings::kServerPortNum, &port) != platform::kRegOk ||
        port == 0)
        port = 443;
    return address + ":" + std::to_string(port);
}

bool ConfirmWebLogonGateway(platform::SettingsStore& store, Prompter& prompter, const std::string& caption,
                            bool chineseUi, const std::string& address, const std::string& port,
                            const std::string& gatewayInUse) {
    const bool known = KnownGateway(store, address, port);
    if (known && gatewayInUse.empty()) return true;
    const std::string gateway = address + ":" + port;
    std::string question;
    if (gatewayInUse.empty()) {
        TW_LOG(LOG_CLIENT_LOGIN, 2, "[InitInstance] browser logon to %s, a gateway not used before: asking",
               gateway.c_str());
        question = chineseUi ? "网页请求登录到网关 " + gateway +
                                   "，您以前从未登录过该网关。\n\n仅当您信任该网关时才登录。是否登录？"
                             : "A web page asks to log on to the gateway " + gateway +
                                   ", which you have never logged on to.\n\nLog on only if you trust this "
                                   "gateway. Log on?";
    } else {
        // Any page can name the gateway in use: ending the session is the user's decision.
        TW_LOG(LOG_CLIENT_LOGIN, 2,
               "[InitInstance] browser logon to %s would end the session with %s: asking", gateway.c_str(),
               gatewayInUse.c_str());
        if (chineseUi) {
            question = "网页请求登录到网关 " + gateway + (known ? "。" : "，您以前从未登录过该网关。") +
                       "\n\n这将结束您与网关 " + gatewayInUse + " 的当前会话。\n\n" +
                       (known ? "" : "仅当您信任该网关时才登录。") + "是否登录？";
        } else {
            question = "A web page asks to log on to the gateway " + gateway +
                       (known ? "." : ", which you have never logged on to.") +
                       "\n\nThis ends your session with the gateway " + gatewayInUse + ".\n\n" +
                       (known ? "" : "Log on only if you trust this gateway. ") + "Log on?";
        }
    }
    if (prompter.AskYesNo(question, caption, BoxIcon::kQuestion)) return true;
    TW_LOG(LOG_CLIENT_LOGIN, 2, "[InitInstance] browser logon to %s refused by the user", gateway.c_str());
    return false;
}

}  // namespace vorn
