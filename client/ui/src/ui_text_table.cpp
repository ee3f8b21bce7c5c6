#include <cstdlib>
#include <fstream>

#include "platform/client_settings.h"
#include "vorn/text_source.h"

namespace vorn {

UiTextTable UiTextTable::Build(bool chineseUi, platform::SettingsStore& store) {
    UiTextTable t;
    t.chineseUi = chineseUi;
    t.installPath = "C:\\Program Files\\Morvane\\MV-Vorn\\Client";
    t.version = platform::client_settings::kBuiltVersion;
    t.appTitle = chineseUi ? "MorvaneSSL-VPN客户端" : "Morvane-VornClient";
    t.companyName = chineseUi ? "莫尔凡网络技术有限公司" : "Morvane Networks Ltd.";
    t.companyName2 = t.companyName;
    t.aboutTitle = chineseUi ? "关于MorvaneSSL-VPN客户端" : "About Morvane-VornClient";
    t.logonBitmap = "logon-morvane.bmp";
    t.webSite = "https://www.morvane.example/";
    t.caption = t.appTitle;
    if (store.OpenKey(kClientKey) != platform::kRegOk) return t;
    std::string value;
    if (store.GetString(kClientKey, platform::client_settings::kInstallDir, &value) == platform::kRegOk)
        t.installPath = value;
    if (store.GetString(kClientKey, platform::client_settings::kVersion, &value) == platform::kRegOk)
        t.version = value;
    if (store.GetString(kClientKey, "Logon", &value) == platform::kRegOk) t.logonBitmap = value;
    if (store.GetString(kClientKey, "WebSite", &value) == platform::kRegOk) t.webSite = value;
    return t;
}

bool IsChineseLocale(const std::string& localeName) {
    // "zh_CN", "zh_CN.UTF-8", "zh_CN.GB18030@..." and the like: Simplified Chinese of the mainland.
    return localeName.rfind("zh_CN", 0) == 0 || localeName.rfind("zh-CN", 0) == 0 ||
           localeName.rfind("zh_Hans", 0) == 0;
}

std::string UserLocaleName() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* v = std::getenv(name);
        if (v && *v) return v;
    }
    return {};
}

std::string SystemLocaleName(const std::string& etcDir) {
    std::ifstream in(etcDir + "/default/locale");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("LANG=", 0) != 0) continue;
        std::string v = line.substr(5);
        if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
            v = v.substr(1, v.size() - 2);
        }
        return v;
    }
    return {};
}

}  // namespace vorn
