// The texts of the main dialog and the tray, in both languages. The client loads its catalogue
// files where they are installed; these stand in when the client runs without them.
#include <map>

#include "vorn/client_app.h"

namespace vorn {

std::unique_ptr<TextSource> BuiltInTexts(bool chineseUi) {
    static const std::map<int, std::pair<const char*, const char*>> kTexts = {
        {102, {"请输入用户名和密码。", "Please enter the user name and the password."}},
        {103, {"用户名含有非法字符。", "The user name contains a character that is not allowed."}},
        {104, {"请输入正确的网关地址。", "Please enter a valid gateway address."}},
        {105, {"请输入代理服务器地址。", "Please enter the proxy server's address."}},
        {106,
         {"代理服务器地址含有非法字符。", "The proxy address contains a character that is not allowed."}},
        {107, {"请输入代理服务器用户名。", "Please enter the proxy user name."}},
        {108, {"请输入代理服务器密码。", "Please enter the proxy password."}},
        {110,
         {"无法读取客户端配置，请重新安装客户端。",
          "The client's settings cannot be read; please reinstall the client."}},
        {111, {"其他用户正在使用客户端。", "Another user is already using the client."}},
        {112, {"客户端初始化失败。", "The client could not start."}},
        {115, {"登录", "Log on"}},
        {116, {"注销", "Log off"}},
        {117, {"登录", "Log on"}},
        {118, {"取消登录", "Cancel logon"}},
        {119, {"SSL-VPN 已连接", "SSL-VPN connected"}},
        {120, {"SSL-VPN 未连接", "SSL-VPN not connected"}},
        {121, {"正在连接...", "Connecting..."}},
        {122, {"正在登录，请稍候...", "Logging on, please wait..."}},
        {123, {"正在建立连接...", "Setting up the connection..."}},
        {124, {"客户端正忙，请稍后再试。", "The client is busy; please try again later."}},
        {125, {"退出将断开SSL-VPN连接，确定退出吗？", "Quitting ends the VPN connection. Quit anyway?"}},
        {126, {"确定退出客户端吗？", "Do you want to quit the client?"}},
        {128, {"资源页面", "Resource page"}},
        {129, {"连接状态", "Connection status"}},
        {130, {"首选项", "Preferences"}},
        {131, {"修改密码", "Change password"}},
        {132, {"隐藏窗口", "Hide window"}},
        {133, {"显示窗口", "Show window"}},
        {134, {"退出", "Quit"}},
        {135, {"在线状态", "Online status"}},
        {153, {"正在注销...", "Logging off..."}},
        {154, {"自动重新登录失败。", "The automatic logon again failed."}},
        {155, {"无法通知正在运行的客户端。", "The running client could not be reached."}},
        {156, {"客户端正在升级，请稍后再试。", "The client is being updated; please try again later."}},
        {157, {"无法接管正在运行的客户端。", "The running client could not be taken over."}},
        {219, {"开始登录SSL-VPN网关...", "Logging on to the gateway..."}},
        {226, {"端口必须是1到65535之间的数字。", "The port must be a number from 1 to 65535."}},
        {227, {"网关地址含有非法字符。", "The gateway address contains a character that is not allowed."}},
        {228, {"请输入网关地址。", "Please enter the gateway address."}},
        {229, {"网关地址中请使用英文冒号。", "Please use a plain colon in the gateway address."}},
        {232, {"客户端正忙，请稍后再登录。", "The client is busy; please log on later."}},
        {233,
         {"无法连接客户端服务，请重新安装客户端。",
          "The client's service cannot be reached; please reinstall the client."}},
        {247, {"取消", "Cancel"}},
        {248, {"断开连接", "Disconnect"}},
        {249, {"关于", "About"}},
        {271, {"关闭详细日志", "Detailed log off"}},
        {272, {"打开详细日志", "Detailed log on"}},
        {309,
         {"客户端服务启动超时，请稍后再试。",
          "The client's service did not start in time; please try again."}},
        {318, {"登录超时，客户端将退出。", "The logon took too long; the client will quit."}},
    };
    auto texts = std::make_unique<MapTextSource>();
    for (const auto& [id, pair] : kTexts) texts->Set(id, chineseUi ? pair.first : pair.second);
    return texts;
}

}  // namespace vorn
