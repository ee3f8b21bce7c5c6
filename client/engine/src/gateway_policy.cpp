// The gateway's policy text, the outbound filter and the session check.
//
// The text comes from the gateway: every token is checked, numbers must be whole numbers in
// range, addresses dotted quads; a statement that does not read is skipped with its message.
// Rules keep what they say: a matching deny rule denies, and "in" rules say nothing about
// outbound frames.
#include "platform/client_settings.h"
#include "platform/code_page.h"
#include "engine/gateway_policy.h"

#include <arpa/inet.h>
#include <pcre2posix.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include "adapter_text.h"
#include "dailylog/shared_daily_log.h"
#include "engine/packet_port.h"
#include "wendrel/ssr_codec.h"

namespace engine {

namespace {

using platform::client_settings::kClientKey;

bool Same(std::string_view a, const char* b) {
    const std::size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (std::size_t i = 0; i < n; ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

std::vector<std::string_view> Tokens(std::string_view line) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
        const std::size_t b = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
        if (i > b) out.push_back(line.substr(b, i - b));
    }
    return out;
}

// A whole decimal number not above `max`.
bool Number(std::string_view t, std::uint32_t max, std::uint32_t* out) {
    if (t.empty() || t.size() > 10) return false;
    std::uint64_t v = 0;
    for (char c : t) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    if (v > max) return false;
    *out = static_cast<std::uint32_t>(v);
    return true;
}

bool Address(std::string_view t, DWORD* out) {
    if (t.empty() || t.size() > 15) return false;
    char text[16] = {};
    std::memcpy(text, t.data(), t.size());
    in_addr a{};
    if (inet_pton(AF_INET, text, &a) != 1) return false;
    *out = a.s_addr;
    return true;
}

// A token as it appears in a message: bounded, whatever the gateway sent.
std::string Shown(std::string_view t) { return std::string(t.substr(0, 64)); }

void Say(std::vector<std::string>* log, const std::string& message) {
    std::fputs(message.c_str(), stdout);
    if (log != nullptr && log->size() < 256) log->push_back(message);
}

}  // namespace

struct TwGatewayPolicy::Compiled {
    regex_t re{};
    bool ok = false;
    ~Compiled() {
        if (ok) regfree(&re);
    }
};

TwGatewayPolicy::TwGatewayPolicy(std::shared_ptr<platform::SettingsStore> store)
    : m_store(std::move(store)) {}
TwGatewayPolicy::~TwGatewayPolicy() = default;

std::shared_ptr<platform::SettingsStore> TwGatewayPolicy::Store() {
    return m_store ? m_store : platform::SettingsStore::Machine();
}

// What one policy text sets, taken over as a whole once every line was read.
struct TwGatewayPolicy::PolicyRead {
    std::vector<TwFilterRule> rules;
    WORD defaultIn = ACTION_BYPASS;
    WORD defaultOut = ACTION_BYPASS;
    std::uint32_t maxIdle = 0;
    std::uint32_t maxOnline = 0;
    bool homePageSeen = false;
};

bool TwGatewayPolicy::ApplyPolicy(const char* policyText) {
    if (policyText == nullptr) return false;
    const std::string text(policyText);
    PolicyRead read;
    m_messages.clear();
    m_traceFrames = SharedDailyLog::Instance().ShouldLog(LOG_CLIENT_DATA, 5);

    std::size_t start = 0;
    for (int index = 0; start <= text.size(); ++index) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string_view line(text.data() + start, end - start);
        start = end + 1;
        const std::vector<std::string_view> t = Tokens(line);
        if (t.empty() || !Same(t[0], "policy")) continue;
        if (t.size() < 2) continue;
        ReadStatement(t, line, index, &read);
    }
    if (!read.homePageSeen) Store()->DeleteValue(kClientKey, platform::client_settings::kHomePage);
    {
        // A relogon applies the new policy while the packet pump of the session still filters.
        std::unique_lock<std::shared_mutex> lock(m_rulesLock);
        m_rules.swap(read.rules);
    }
    m_defaultIn = read.defaultIn;
    m_defaultOut = read.defaultOut;
    m_maxIdleTime.store(read.maxIdle);
    m_maxOnlineTime.store(read.maxOnline);
    return true;
}

void TwGatewayPolicy::ReadStatement(const std::vector<std::string_view>& t, std::string_view line, int index,
                                    PolicyRead* read) {
    std::vector<std::string>* log = &m_messages;
    const std::string_view what = t[1];
    const bool has = t.size() >= 3;
    std::uint32_t n = 0;
    if (Same(what, "hostcheck")) return;
    if (Same(what, "cleanclientcache")) {
        if (!has) {
            Say(log, "Invalid policy, cleanclientcache required\n");
            return;
        }
        const LONG rc =
            Store()->SetString(kClientKey, platform::client_settings::kCleanCachePolicy, std::string(t[2]));
        if (rc != platform::kRegOk)
            TW_LOG(LOG_CLIENT_LOGIN, 3, "[ApplyPolicy] CleanCachePolicy not stored, %d", rc);
    } else if (Same(what, "homepage")) {
        if (!has) {
            Say(log, "Invalid policy, HomePage required\n");
            return;
        }
        Store()->SetString(kClientKey, platform::client_settings::kHomePage, std::string(t[2]));
        read->homePageSeen = true;
    } else if (Same(what, "maxclient")) {
        if (!has || !Number(t[2], 0xFFFFFFFFu, &n)) Say(log, "Invalid policy, Max-Client required\n");
    } else if (Same(what, "dnstimeout")) {
        if (!has || !Number(t[2], 0xFFFFFFFFu, &n)) Say(log, "Invalid policy, Dns Timeout required\n");
    } else if (Same(what, "maxidletime")) {
        if (!has || !Number(t[2], 0xFFFFFFFFu, &n)) {
            Say(log, "Invalid policy, maxidletime required\n");
        } else {
            read->maxIdle = n;
        }
    } else if (Same(what, "maxonlinetime")) {
        if (!has || !Number(t[2], 0xFFFFFFFFu, &n)) {
            Say(log, "Invalid policy, maxonlinetime required\n");
        } else {
            read->maxOnline = n;
        }
    } else if (Same(what, "maxspeed")) {
        const std::size_t slash = has ? t[2].find('/') : std::string_view::npos;
        std::uint32_t a = 0, b = 0;
        if (slash == std::string_view::npos || !Number(t[2].substr(0, slash), 0xFFFFFFFFu, &a) ||
            !Number(t[2].substr(slash + 1), 0xFFFFFFFFu, &b)) {
            Say(log, "Invalid policy, maxspeed required\n");
        }
    } else if (Same(what, "maxflow")) {
        if (!has || !Number(t[2], 0xFFFFFFFFu, &n)) Say(log, "Invalid policy, maxflow required\n");
    } else if (Same(what, "default")) {
        ReadDefaultAction(t, read);
    } else if (Same(what, "allow") || Same(what, "deny")) {
        if (index > 2) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[ApplyPolicy] Extract RULE, Line %d, App %s", index,
                   std::string(line.substr(0, 200)).c_str());
        }
        TwFilterRule rule;
        if (ReadRule(t, &rule)) read->rules.push_back(rule);
    } else {
        Say(log, "unknown action " + Shown(what) + ", use deny\n");
    }
}

void TwGatewayPolicy::ReadDefaultAction(const std::vector<std::string_view>& t, PolicyRead* read) {
    std::vector<std::string>* log = &m_messages;
    if (t.size() < 3) {
        Say(log, "Invalid policy, action required\n");
        return;
    }
    WORD action;
    if (Same(t[2], "allow")) {
        action = ACTION_BYPASS;
    } else if (Same(t[2], "deny")) {
        action = ACTION_DENY;
    } else {
        Say(log, "unknown action " + Shown(t[2]) + ", use deny\n");
        return;
    }
    if (t.size() < 4) {
        Say(log, "Invalid policy, direction required\n");
        return;
    }
    if (Same(t[3], "in")) {
        read->defaultIn = action;
    } else if (Same(t[3], "out")) {
        read->defaultOut = action;
    } else if (Same(t[3], "all")) {
        read->defaultIn = read->defaultOut = action;
    } else {
        Say(log, "unknown direction " + Shown(t[3]) + "\n");
    }
}

bool TwGatewayPolicy::ReadRule(const std::vector<std::string_view>& t, TwFilterRule* rule) {
    std::vector<std::string>* log = &m_messages;
    rule->action = Same(t[1], "allow") ? ACTION_BYPASS : ACTION_DENY;
    if (t.size() < 3) {
        Say(log, "Invalid policy, direction required\n");
        return false;
    }
    if (Same(t[2], "in")) {
        rule->direction = TW_POLICY_DIR_IN;
    } else if (Same(t[2], "out")) {
        rule->direction = TW_POLICY_DIR_OUT;
    } else {
        Say(log, "unknown direction " + Shown(t[2]) + "\n");
        return false;
    }
    if (t.size() < 4) {
        Say(log, "Invalid policy, protocol required\n");
        return false;
    }
    const std::string_view p = t[3];
    if (Same(p, "tcp")) {
        rule->protocol = 6;
    } else if (Same(p, "udp")) {
        rule->protocol = 17;
    } else if (Same(p, "icmp")) {
        rule->protocol = 1;
    } else if (Same(p, "ip") || Same(p, "all") || Same(p, "any")) {
        rule->protocol = 0;
    } else {
        Say(log, "unknown protocol " + Shown(p) + "\n");
        return false;
    }
    std::uint32_t begin = 0, end = 0;
    if (t.size() < 5 || !Number(t[4], 65535, &begin)) {
        Say(log, "Invalid policy, begin port required\n");
        return false;
    }
    if (t.size() < 6 || !Number(t[5], 65535, &end)) {
        Say(log, "Invalid policy, end port required\n");
        return false;
    }
    if (begin == 0 && end == 0) {
        begin = 1;
        end = 65535;
    }
    if (begin > end) {
        Say(log, "Invalid policy, end port required\n");
        return false;
    }
    rule->beginPort = static_cast<WORD>(begin);
    rule->endPort = static_cast<WORD>(end);
    if (t.size() < 7) {
        Say(log, "Invalid policy, IP Address or DNS Name required\n");
        return false;
    }
    const std::string_view a = t[6];
    const std::size_t slash = a.find('/');
    const std::string_view addressText = a.substr(0, slash);
    const std::string_view maskText =
        slash == std::string_view::npos ? "255.255.255.255" : a.substr(slash + 1);
    if (addressText.substr(0, 15) == "255.255.255.255") return false;  // not stored
    if (!Address(addressText, &rule->address) || !Address(maskText, &rule->mask)) {
        Say(log, "Invalid policy, IP Address or DNS Name required\n");
        return false;
    }
    return true;
}

bool TwGatewayPolicy::HandleFwPolicyCheck(const FirewallQuery& q, DWORD virtualIp) const {
    if (q.source != virtualIp) {
        // Per frame: only when frame tracing was asked for as the policy was applied.
        if (m_traceFrames) {
            TW_LOG(LOG_CLIENT_DATA, 5, "[HandleFwPolicyCheck] SrcIp:%x Vip:%x", ntohl(q.source),
                   ntohl(virtualIp));
        }
        return false;
    }
    std::shared_lock<std::shared_mutex> lock(m_rulesLock);
    for (const TwFilterRule& r : m_rules) {
        if (r.direction != TW_POLICY_DIR_OUT) continue;
        if (r.protocol != 0 && r.protocol != q.protocol) continue;
        if ((q.protocol == 6 || q.protocol == 17) &&
            (q.destinationPort < r.beginPort || q.destinationPort > r.endPort)) {
            continue;
        }
        if ((q.destination & r.mask) != (r.address & r.mask)) continue;
        return r.action == ACTION_BYPASS;
    }
    return false;
}

void TwGatewayPolicy::SetApplicationRules(std::vector<TwAppRule> rules) {
    m_appRules = std::move(rules);
    m_compiled.clear();
    for (const TwAppRule& r : m_appRules) {
        auto c = std::make_unique<Compiled>();
        c->ok = regcomp(&c->re, r.moduleExpression.c_str(), REG_EXTENDED | REG_NOSUB) == 0;
        if (!c->ok)
            TW_LOG(LOG_CLIENT_DATA, 2, "[SetApplicationRules] bad expression %s", r.moduleExpression.c_str());
        m_compiled.push_back(std::move(c));
    }
}

const TwAppRule* TwGatewayPolicy::MatchAppRule(DWORD direction, BYTE proto, const std::string& module,
                                               const char* name, DWORD remote) const {
    for (std::size_t i = 0; i < m_appRules.size(); ++i) {
        const TwAppRule& r = m_appRules[i];
        if (r.direction != direction) {
            TW_LOG(LOG_CLIENT_DATA, 5, "[HandleSessionNotify] Direction %d %d not match", r.direction,
                   static_cast<int>(direction));
            continue;
        }
        if (r.protocol != 0 && r.protocol != proto) {
            TW_LOG(LOG_CLIENT_DATA, 5, "[HandleSessionNotify] Proto %d %d not match", r.protocol, proto);
            continue;
        }
        if (!m_compiled[i]->ok || regexec(&m_compiled[i]->re, module.c_str(), 0, nullptr, 0) != 0) {
            TW_LOG(LOG_CLIENT_DATA, 5, "[HandleSessionNotify] AppClient %s not match %s", module.c_str(),
                   r.moduleExpression.c_str());
            continue;
        }
        if (!r.host.empty()) {
            if (r.host != name) {
                TW_LOG(LOG_CLIENT_DATA, 5, "[HandleSessionNotify] FQDN %s %s not match", r.host.c_str(),
                       name);
                continue;
            }
        } else if ((r.address & r.mask) != (remote & r.mask)) {
            TW_LOG(LOG_CLIENT_DATA, 5, "[HandleSessionNotify] Address %x %x not match", ntohl(r.address),
                   ntohl(remote));
            continue;
        }
        return &r;
    }
    return nullptr;
}

void TwGatewayPolicy::ReportAppRuleMatch(const TwAppRule& rule, const std::string& module, DWORD local,
                                         WORD localPort, DWORD remote, WORD remotePort, PolicyHost& host) {
    char record[1024];
    std::snprintf(record, sizeof record, "%s|%s|%s %s 访问 %s，源地址 %s:%d，目的地址 %s:%d",
                  rule.appName.c_str(), module.c_str(), rule.action == ACTION_BYPASS ? "允许" : "禁止",
                  module.c_str(), rule.appName.c_str(), Ipv4Text(local).c_str(), localPort,
                  Ipv4Text(remote).c_str(), remotePort);
    TW_LOG(LOG_CLIENT_DATA, 4, "[HandleSessionNotify] Match APP RULE %s", record);
    if (!host.Online()) return;
    // The gateway reads its log records in code page 936.
    const std::string user = platform::Utf8ToCp936(host.UserName());
    const std::string text = platform::Utf8ToCp936(record);
    short size = 0;
    ssr_ConstructGWLogApp(nullptr, &size, host.SessionId(), user.c_str(),
                          static_cast<std::uint32_t>(std::time(nullptr)), text.c_str());
    if (size <= 0) return;
    std::vector<std::uint8_t> message(static_cast<std::size_t>(size));
    if (ssr_ConstructGWLogApp(message.data(), &size, host.SessionId(), user.c_str(),
                              static_cast<std::uint32_t>(std::time(nullptr)), text.c_str()) == SSR_SUCCESS) {
        host.SendToGateway(message.data(), static_cast<std::size_t>(size));
    }
}

void TwGatewayPolicy::HandleSessionNotify(const SessionNotify* notify, PacketPort& driver, PolicyHost& host) {
    if (notify == nullptr || notify->kind != SESSION_NOTIFY_ACTION) return;
    TW_FIREWALL_ACTION current = notify->action;
    if (driver.GetFirewallAction(&current) == 0 || (current.action & 0x80) == 0) return;
    const BYTE proto = notify->action.protocol;
    if (proto != 1 && proto != 6 && proto != 17) return;
    const DWORD direction = notify->action.direction;
    const bool inbound = direction == TW_POLICY_DIR_IN;
    const TW_FIREWALL_ACTION& a = notify->action;
    const DWORD remote = inbound ? a.address2 : a.address1;
    const WORD remotePort = ntohs(inbound ? a.port2 : a.port1);
    const DWORD local = inbound ? a.address1 : a.address2;
    const WORD localPort = ntohs(inbound ? a.port1 : a.port2);

    char name[512] = {};
    if (driver.FindDnsEntryByIp(remote, name) == 0) name[0] = '\0';
    name[sizeof name - 1] = '\0';
    std::string module;
    if (!host.MapSessionToProcess(proto, local, localPort, &module)) {
        TW_LOG(LOG_CLIENT_DATA, 4, "[HandleSessionNotify] MapSessionToProcess fail");
        module = "UnknownModuleOrFailure";
    }
    TW_LOG(LOG_CLIENT_DATA, 4, "[HandleSessionNotify] MapPortToProcess %s %s:%d -> %s",
           proto == 6 ? "TCP" : "UDP", Ipv4Text(remote).c_str(), remotePort, module.c_str());

    BYTE action = direction == TW_POLICY_DIR_OUT ? static_cast<BYTE>(m_defaultOut)
                  : inbound                      ? static_cast<BYTE>(m_defaultIn)
                                                 : ACTION_DENY;
    const TwAppRule* match = MatchAppRule(direction, proto, module, name, remote);
    TW_FIREWALL_ACTION decided = notify->action;
    if (match == nullptr) {
        decided.action = action;
        driver.SetFirewallAction(&decided);
        return;
    }
    decided.action = match->action;
    driver.SetFirewallAction(&decided);
    ReportAppRuleMatch(*match, module, local, localPort, remote, remotePort, host);
}

}  // namespace engine
