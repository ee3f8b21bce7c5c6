#include "update_texts.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>

namespace quistral {

namespace {

std::atomic<bool> g_chinese{false};

const std::map<std::string, std::string>& Table() {
    static const std::map<std::string, std::string> table = {
        {"Update Tips", "升级提示"},
        {"There is an update progress running, please try again later.",
         "已有升级程序在运行，不能重复运行，请稍后再试。"},
        {"Unable to set service status, please close anti-virus softwares and try again.",
         "无法设置服务状态，请关闭防毒软件再尝试。"},
        {"Update service", "更新服务"},
        {"Update driver", "更新驱动"},
        {"Update applications", "更新应用程序"},
        {"Update program settings", "更新软件设置"},
        {"Update is done, the client program will be run automatically after you click the close button.",
         "升级成功，点击关闭后将自动运行客户端程序。"},
        {"Close", "关闭"},
        {"Achieving upgrade information...", "正在获取升级信息..."},
        {"Not found new version.", "升级程序没有检测到升级信息。"},
        {"Parsing update information failed, please quit update and try again later, or get a new "
         "installation "
         "package from the Download Center.",
         "解析升级信息失败，请退出后重新尝试升级或从下载专区获取新的安装包。"},
        {"A new version of Morvane VornClient is required. \n\nWould you like to update now?",
         "Morvane VornClient检测到版本重要功能更新，需要进行必要的升级。\n\n是否现在进行升级？"},
        {"A new version of Morvane VornClient is available. \n\nWould you like to update now?",
         "Morvane VornClient检测到版本更新，建议您选择升级。\n\n是否现在进行升级？"},
        {"The update information could not be recorded, please quit the client and try again.",
         "无法设置升级信息，请退出客户端软件重试。"},
        {"Downloading update package...", "正在下载升级包..."},
        {"Releasing update package...", "正在释放升级包..."},
        {"SSL-VPN Update Tips", "SSL-VPN升级提示"},
        {"You have canceled update, please connect again.", "用户取消升级，请重新登录。"},
        {"Download the update package failed, please try again later.", "下载升级包失败，请稍后再试。"},
        {"Download the update package failed, please check the network connection or download new "
         "installation "
         "package from the Download Center.",
         "下载升级包失败，请检查网络连接是否正常或从下载专区获取新的安装包。"},
        {"The installation program fails to start, please download from the Download Center and run the new "
         "installation package.",
         "安装程序启动失败，请您从下载专区下载新安装包并运行。"},
        {"Update information is incorrect.", "升级信息错误，无法执行升级。"},
        {"Setting service status ...", "正在设置服务状态..."},
        {"Fail to set driver status, please close anti-virus softwares and try again.",
         "无法设置驱动状态，请关闭防毒软件再尝试。"},
        {"Fail to set service status, please close anti-virus softwares and try again.",
         "无法设置服务状态，请关闭防毒软件再尝试。"},
        {"Updating the application ...", "正在更新应用程序..."},
        {"Fail to update applications, please close anti-virus softwares and try again.",
         "无法更新应用程序，请关闭防毒软件再尝试。"},
        {"Program configuration is done.", "软件设置完成"},
        {"Update succeed.", "升级成功。"},
        {"Click on close button, the client program will run automatically.",
         "点击关闭将自动运行客户端程序。"},
        {"The update server's certificate is not trusted, no update was fetched from it.",
         "升级服务器的证书不受信任，未从该服务器获取升级。"},
        {"The update package could not be unpacked, please get a new installation package from the Download "
         "Center.",
         "无法释放升级包，请从下载专区获取新的安装包。"},
    };
    return table;
}

const std::map<std::string, std::string>& PluginTable() {
    static const std::map<std::string, std::string> table = {
        {"Update driver", "更新插件"},
        {"Update program settings", "更新软件设置"},
        {"Update is done, the client program will be run automatically after you click the close button.",
         "升级成功，请重新登录插件。"},
        {"Click on close button, the client program will run automatically.",
         "点击关闭将自动登录插件并显示资源页面。"},
        {"Download the update package failed, please check the network connection or download new "
         "installation "
         "package from the Download Center.",
         "获取升级包失败。\n请检查网络连接是否正常并重新登录插件进行升级。\n您也可以从下载专区下载插件安装包"
         "。"},
    };
    return table;
}

bool StartsZhCn(const char* value) { return value && std::strncmp(value, "zh_CN", 5) == 0; }

}  // namespace

bool ChooseChinese() {
    const char* user = nullptr;
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* v = std::getenv(name);
        if (v && *v) {
            user = v;
            break;
        }
    }
    const char* language = std::getenv("LANGUAGE");
    return StartsZhCn(user) && (!language || !*language || StartsZhCn(language));
}

void SetChinese(bool chinese) { g_chinese.store(chinese); }
bool IsChinese() { return g_chinese.load(); }

std::string Tr(const std::string& english, bool forceChinese) {
    if (!forceChinese && !g_chinese.load()) return english;
    auto it = Table().find(english);
    return it == Table().end() ? english : it->second;
}

std::string TrPlugin(const std::string& english) {
    auto it = PluginTable().find(english);
    return it != PluginTable().end() ? it->second : Tr(english, true);
}

std::string DownloadFailedResult(bool clientMode) {
    const char* english =
        "Download the update package failed, please check the network connection or download new "
        "installation package from the Download Center.";
    if (!clientMode) return TrPlugin(english);
    return g_chinese.load()
               ? "获取升级包失败。\n请检查网络连接是否正常并重新运行客户端软件。\n您也可以从下载专区下载"
                 "客户端安装包。"
               : english;
}

}  // namespace quistral
