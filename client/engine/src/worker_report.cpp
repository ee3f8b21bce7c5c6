// The worker's status texts: the status window's fields and the session report.
#include <arpa/inet.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "platform/text_util.h"
#include "engine/worker_thread.h"

namespace engine {

namespace {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

}  // namespace

std::string TwWorkerThread::FormatBytes(std::uint64_t count) {
    if (count <= 1024) return Format("%d B", static_cast<int>(static_cast<std::uint32_t>(count)));
    static const char* const kUnits[] = {"KB", "MB", "GB"};
    double value = static_cast<double>(count) / 1024.0;
    std::size_t unit = 0;
    while (value > 1024.0 && unit + 1 < sizeof kUnits / sizeof kUnits[0]) {
        value /= 1024.0;
        ++unit;
    }
    return Format("%.2f %s", value, kUnits[unit]);
}

std::string TwWorkerThread::FormatDuration(std::uint64_t seconds) {
    const auto days = static_cast<int>(seconds / 86400);
    const auto hours = static_cast<int>(seconds / 3600 % 24);
    const auto minutes = static_cast<int>(seconds / 60 % 60);
    const auto secs = static_cast<int>(seconds % 60);
    if (days > 0) return Format("%d Day(s) %02d:%02d:%02d", days, hours, minutes, secs);
    return Format("%02d:%02d:%02d", hours, minutes, secs);
}

TwWorkerThread::StatusInfo TwWorkerThread::FormatStatusInfo() {
    const ConnectorSession s = m_connector.Session();
    StatusInfo info;
    info.server = Format("%s:%d", s.serverAddress.c_str(), s.serverPort);
    info.gatewayName = s.gatewayName;
    info.onlineTime = FormatDuration(s.onlineSeconds);
    info.virtualAddress = platform::Ipv4TextHost(s.virtualIp);
    info.gatewayAddress = platform::Ipv4TextHost(s.gatewayAddress);
    info.sent = FormatBytes(s.sent);
    info.received = FormatBytes(s.received);
    return info;
}

void TwWorkerThread::AppendSessionReport(std::string* out) {
    if (out == nullptr) return;
    if (!UserLoggedOn()) {
        *out += "用户没有登录\n";
        return;
    }
    const ConnectorSession s = m_connector.Session();
    const std::time_t logon = static_cast<std::time_t>(m_logonTime.load());
    std::tm t{};
    localtime_r(&logon, &t);
    *out += Format("服务器地址: %s:%d\n", s.serverAddress.c_str(), s.serverPort);
    *out += "网关名称: " + s.gatewayName + "\n";
    *out += "用户名称: " + s.userName + "\n";
    *out += Format("会话标识: %d\n", static_cast<int>(s.sessionId));
    *out += Format("登录时刻: %4.4d-%2.2d-%2.2d %2.2d:%2.2d:%2.2d\n", t.tm_year + 1900, t.tm_mon + 1,
                   t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    *out += "-\n";
    *out += "动态地址: " + platform::Ipv4TextHost(s.virtualIp) + "\n";
    *out += "子网掩码: " + platform::Ipv4TextHost(s.mask) + "\n";
    if (s.dns1 != 0) *out += "主DNS服务器: " + platform::Ipv4TextHost(s.dns1) + "\n";
    if (s.dns2 != 0) *out += "备DNS服务器: " + platform::Ipv4TextHost(s.dns2) + "\n";
    if (s.wins1 != 0) *out += "主WINS服务器: " + platform::Ipv4TextHost(s.wins1) + "\n";
    if (s.wins2 != 0) *out += "备WINS服务器: " + platform::Ipv4TextHost(s.wins2) + "\n";
}

}  // namespace engine
