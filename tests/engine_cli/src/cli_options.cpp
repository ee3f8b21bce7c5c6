#include "cli_options.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <utility>

namespace qelcli {

namespace {

using Field = DWORD engine::EngineTiming::*;

const std::vector<std::pair<const char*, Field>>& TimingFields() {
    using T = engine::EngineTiming;
    static const std::vector<std::pair<const char*, Field>> fields = {
        {"timerPeriodMs", &T::timerPeriodMs},
        {"keepAliveMs", &T::keepAliveMs},
        {"lossMs", &T::lossMs},
        {"tlsHandshakeMs", &T::tlsHandshakeMs},
        {"previousSessionCloseMs", &T::previousSessionCloseMs},
        {"previousSessionPollMs", &T::previousSessionPollMs},
        {"serverConnectMs", &T::serverConnectMs},
        {"gatewayConnectMs", &T::gatewayConnectMs},
        {"logonDataMs", &T::logonDataMs},
        {"relogonFailPauseMs", &T::relogonFailPauseMs},
        {"registrationFailPauseMs", &T::registrationFailPauseMs},
        {"registrationRetryMs", &T::registrationRetryMs},
        {"registrationTries", &T::registrationTries},
        {"certificateChoiceMs", &T::certificateChoiceMs},
        {"lossDecisionPollMs", &T::lossDecisionPollMs},
        {"lossDecisionMs", &T::lossDecisionMs},
        {"relogonFastMs", &T::relogonFastMs},
        {"relogonSlowMs", &T::relogonSlowMs},
        {"relogonFastTries", &T::relogonFastTries},
        {"relogonMaxTries", &T::relogonMaxTries},
        {"netCheckRoundMs", &T::netCheckRoundMs},
        {"netCheckBusyPollMs", &T::netCheckBusyPollMs},
        {"netCheckBusyPolls", &T::netCheckBusyPolls},
        {"netCheckRebindPauseMs", &T::netCheckRebindPauseMs},
        {"logoffCancelSettleMs", &T::logoffCancelSettleMs},
        {"logoffLogonPollMs", &T::logoffLogonPollMs},
        {"logoffLogonPolls", &T::logoffLogonPolls},
        {"logoffOtherPollMs", &T::logoffOtherPollMs},
        {"logoffOtherPolls", &T::logoffOtherPolls},
        {"logoffNoticeSettleMs", &T::logoffNoticeSettleMs},
        {"disconnectSettleMs", &T::disconnectSettleMs},
        {"ringSpinTries", &T::ringSpinTries},
        {"ringShortSleepMs", &T::ringShortSleepMs},
        {"ringLongSleepMs", &T::ringLongSleepMs},
        {"ringIdleSleepMs", &T::ringIdleSleepMs},
        {"adapterPollMs", &T::adapterPollMs},
        {"adapterRebindMs", &T::adapterRebindMs},
        {"adapterResetMs", &T::adapterResetMs},
        {"adapterEnableLimitMs", &T::adapterEnableLimitMs},
        {"adapterStaticIpMs", &T::adapterStaticIpMs},
        {"adapterAddressLimitMs", &T::adapterAddressLimitMs},
        {"adapterRestartLimitMs", &T::adapterRestartLimitMs},
        {"adapterRestartPauseMs", &T::adapterRestartPauseMs},
        {"adapterRestartSettleMs", &T::adapterRestartSettleMs},
        {"resourceRouteSettleMs", &T::resourceRouteSettleMs},
        {"dataTestGapMs", &T::dataTestGapMs},
        {"dataTestEndMs", &T::dataTestEndMs},
    };
    return fields;
}

// A whole decimal number within [low, high].
bool Number(const std::string& text, long low, long high, long* out) {
    if (text.empty() || text.size() > 10) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    errno = 0;
    const long v = std::strtol(text.c_str(), nullptr, 10);
    if (errno != 0 || v < low || v > high) return false;
    *out = v;
    return true;
}

std::string Trim(const std::string& s) {
    const std::size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return "";
    const std::size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

bool Printable(const std::string& s) {
    for (const char byte : s) {
        const auto c = static_cast<unsigned char>(byte);
        if (c < 0x20 || c == 0x7f) return false;
    }
    return true;
}

}  // namespace

std::vector<std::string> TimingNames() {
    std::vector<std::string> names;
    for (const auto& [name, field] : TimingFields()) names.emplace_back(name);
    return names;
}

bool ParseTiming(const std::string& text, engine::EngineTiming* timing, std::string* error) {
    std::stringstream in(text);
    std::string item;
    bool any = false;
    while (std::getline(in, item, ',')) {
        item = Trim(item);
        const std::size_t eq = item.find('=');
        if (eq == std::string::npos) {
            *error = "timing: \"" + item.substr(0, 64) + "\" is not NAME=MS";
            return false;
        }
        const std::string name = item.substr(0, eq);
        long value = 0;
        if (!Number(item.substr(eq + 1), 0, 86400000, &value)) {
            *error = "timing: the value of " + name.substr(0, 64) + " is not a number of milliseconds";
            return false;
        }
        bool found = false;
        for (const auto& [known, field] : TimingFields()) {
            if (name == known) {
                timing->*field = static_cast<DWORD>(value);
                found = true;
            }
        }
        if (!found) {
            *error = "timing: unknown name \"" + name.substr(0, 64) + "\"";
            return false;
        }
        any = true;
    }
    if (!any) *error = "timing: empty";
    return any;
}

bool SetOption(CliOptions* o, const std::string& key, const std::string& value, std::string* error) {
    long n = 0;
    if (!Printable(value) || value.size() > 255) {
        *error = key.substr(0, 32) + ": the value has control characters or is too long";
        return false;
    }
    if (key == "server") {
        if (value.empty()) {
            *error = "server: empty";
            return false;
        }
        o->server = value;
    } else if (key == "port") {
        if (!Number(value, 1, 65535, &n)) {
            *error = "port: not a port number";
            return false;
        }
        o->port = static_cast<int>(n);
    } else if (key == "user") {
        if (value.empty()) {
            *error = "user: empty";
            return false;
        }
        o->user = value;
    } else if (key == "password") {
        o->password = value;
    } else if (key == "proxy") {
        const std::size_t colon = value.rfind(':');
        in_addr a{};
        if (colon == std::string::npos || inet_pton(AF_INET, value.substr(0, colon).c_str(), &a) != 1 ||
            !Number(value.substr(colon + 1), 1, 65535, &n)) {
            *error = "proxy: not IPv4-ADDRESS:PORT";
            return false;
        }
        o->proxyHost = value.substr(0, colon);
        o->proxyPort = static_cast<int>(n);
    } else if (key == "proxy_user" || key == "proxy-user") {
        o->proxyUser = value;
    } else if (key == "proxy_password") {
        o->proxyPassword = value;
    } else if (key == "logoff_after" || key == "logoff-after") {
        if (!Number(value, 0, 864000, &n)) {
            *error = "logoff-after: not a number of seconds";
            return false;
        }
        o->logoffAfterSeconds = static_cast<int>(n);
    } else if (key == "timing") {
        return ParseTiming(value, &o->timing, error);
    } else {
        *error = "unknown setting \"" + key.substr(0, 32) + "\"";
        return false;
    }
    return true;
}

bool ParseConfigText(const std::string& text, CliOptions* options, std::string* error) {
    std::stringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        line = Trim(line);
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        const std::size_t eq = line.find('=');
        std::string message;
        if (eq == std::string::npos) {
            message = "not a key = value line";
        } else if (!SetOption(options, Trim(line.substr(0, eq)), Trim(line.substr(eq + 1)), &message)) {
            // message set
        } else {
            continue;
        }
        *error = "line " + std::to_string(number) + ": " + message;
        return false;
    }
    return true;
}

bool ParseCommandLine(int argc, const char* const* argv, CliOptions* options, std::string* error) {
    bool passwordFromFile = false, proxyPasswordFromFile = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.size() < 2 || arg[0] != '-') {
            *error = "unexpected argument \"" + arg.substr(0, 64) + "\"";
            return false;
        }
        const std::string key = arg.substr(1);
        if (key == "password" || key == "proxy_password" || key == "proxy-password") {
            *error =
                "passwords are not taken from the command line (QEL_CLIENT_PASSWORD, QEL_PROXY_PASSWORD or "
                "the file of -config)";
            return false;
        }
        if (i + 1 >= argc) {
            *error = arg.substr(0, 64) + ": missing value";
            return false;
        }
        const std::string value = argv[++i];
        if (key == "config") {
            std::ifstream in(value);
            if (!in) {
                *error = "config: cannot read " + value.substr(0, 200);
                return false;
            }
            std::stringstream text;
            text << in.rdbuf();
            const std::string before = options->password, proxyBefore = options->proxyPassword;
            if (!ParseConfigText(text.str(), options, error)) {
                *error = value.substr(0, 200) + ": " + *error;
                return false;
            }
            passwordFromFile |= options->password != before;
            proxyPasswordFromFile |= options->proxyPassword != proxyBefore;
            continue;
        }
        if (!SetOption(options, key, value, error)) return false;
    }
    if (!passwordFromFile) {
        if (const char* p = std::getenv("QEL_CLIENT_PASSWORD")) options->password = p;
    }
    if (!proxyPasswordFromFile) {
        if (const char* p = std::getenv("QEL_PROXY_PASSWORD")) options->proxyPassword = p;
    }
    if (options->server.empty() || options->user.empty()) {
        *error = "-server and -user are required";
        return false;
    }
    if (options->password.empty()) {
        *error = "no password: set QEL_CLIENT_PASSWORD or `password` in the file of -config";
        return false;
    }
    return true;
}

}  // namespace qelcli
