// The gateway's policy for one session: the policy text of the logon answer parsed into the
// outbound packet filter, the default actions, the idle and online-time limits and the settings
// the user interface reads; and the driver-driven session check over the application rules.
//
// Ownership: the connector owns one TwGatewayPolicy. Threads: ApplyPolicy (and SetApplicationRules)
// run on the logon thread before the packet pump starts; afterwards HandleFwPolicyCheck and
// HandleSessionNotify are called from the packet-pump thread only and read the rules without a
// lock. The limits are atomics (the connector's timer reads and clears them).
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <shared_mutex>
#include <vector>

#include "platform/settings_store.h"
#include "platform/types.h"

namespace engine {

class PacketPort;

constexpr BYTE ACTION_BYPASS = 'P';  // pass
constexpr BYTE ACTION_DENY = 'D';
constexpr BYTE TW_POLICY_DIR_IN = 1;
constexpr BYTE TW_POLICY_DIR_OUT = 2;

// One rule of the outbound filter. Addresses and masks in network order, ports in host order.
struct TwFilterRule {
    BYTE protocol = 0;  // 6 TCP, 17 UDP, 1 ICMP, 0 any
    WORD beginPort = 1;
    WORD endPort = 65535;
    DWORD address = 0;
    DWORD mask = 0xFFFFFFFFu;
    BYTE action = ACTION_BYPASS;  // what a match decides
    BYTE direction = TW_POLICY_DIR_OUT;
};

// An application rule of the session check. The list starts empty; nothing in this system fills
// it (SetApplicationRules is there for tests and a future supplier).
struct TwAppRule {
    BYTE direction = TW_POLICY_DIR_OUT;
    BYTE protocol = 0;
    std::string moduleExpression;  // POSIX extended expression over the owning module's name
    std::string appName;
    std::string host;             // matched against the driver's DNS name, when not empty
    DWORD address = 0, mask = 0;  // network order
    WORD beginPort = 1, endPort = 65535;
    BYTE action = ACTION_DENY;
};

// A captured outbound frame as the filter sees it (addresses network order, ports host order).
struct FirewallQuery {
    DWORD source = 0, destination = 0;
    BYTE protocol = 0;
    WORD sourcePort = 0, destinationPort = 0;
    DWORD packetFlags = 0;  // from the ring block
    DWORD appCode = 0;      // from the ring block
};

#pragma pack(push, 1)
// The firewall action record exchanged with the driver (22 bytes).
struct TW_FIREWALL_ACTION {
    DWORD session;
    DWORD direction;  // 1 in, 2 out
    // Network order. Inbound: the first pair is the local side, the second the remote one;
    // outbound the other way round.
    DWORD address1, address2;
    WORD port1, port2;
    BYTE protocol;
    BYTE action;  // bit 7 set: undecided
};
static_assert(sizeof(TW_FIREWALL_ACTION) == 22);
#pragma pack(pop)

constexpr DWORD SESSION_NOTIFY_CREATE = 1;
constexpr DWORD SESSION_NOTIFY_DELETE = 2;
constexpr DWORD SESSION_NOTIFY_ACTION = 3;

struct SessionNotify {
    DWORD kind = 0;
    TW_FIREWALL_ACTION action{};
};

// What the session check needs besides the driver: the owner of a local socket, the session's
// identity and the way to the gateway for the application-access record (code 87).
class PolicyHost {
public:
    virtual ~PolicyHost() = default;
    // The program name that holds the local socket; false when none is found.
    virtual bool MapSessionToProcess(BYTE protocol, DWORD localAddress, WORD localPort,
                                     std::string* module) = 0;
    virtual bool Online() = 0;
    virtual DWORD SessionId() = 0;
    virtual std::string UserName() = 0;
    // One finished SSR message to the gateway.
    virtual void SendToGateway(const std::uint8_t* message, std::size_t length) = 0;
};

class TwGatewayPolicy {
public:
    // `store`: where "CleanCachePolicy" and "HomePage" go (the machine's store when null).
    explicit TwGatewayPolicy(std::shared_ptr<platform::SettingsStore> store = nullptr);
    ~TwGatewayPolicy();

    // Parses the policy text; false only for a null text. Every statement that cannot be read is
    // skipped with its message on standard output.
    bool ApplyPolicy(const char* policyText);
    // true: the outbound frame may enter the tunnel. `virtualIp` in network order.
    bool HandleFwPolicyCheck(const FirewallQuery& query, DWORD virtualIp) const;
    // The driver's session notification (kind 3 with an undecided action is acted on).
    void HandleSessionNotify(const SessionNotify* notify, PacketPort& driver, PolicyHost& host);

    void SetApplicationRules(std::vector<TwAppRule> rules);

    const std::vector<TwFilterRule>& Rules() const { return m_rules; }
    BYTE DefaultInbound() const { return static_cast<BYTE>(m_defaultIn); }
    BYTE DefaultOutbound() const { return static_cast<BYTE>(m_defaultOut); }
    std::atomic<std::uint32_t>& MaxIdleTime() { return m_maxIdleTime; }      // seconds, 0 none
    std::atomic<std::uint32_t>& MaxOnlineTime() { return m_maxOnlineTime; }  // seconds, 0 none
    // The messages of the last ApplyPolicy (they also go to standard output), at most 256.
    const std::vector<std::string>& Messages() const { return m_messages; }

private:
    struct Compiled;
    std::shared_ptr<platform::SettingsStore> Store();
    bool ReadRule(const std::vector<std::string_view>& tokens, TwFilterRule* rule);
    struct PolicyRead;
    // One "policy" line of at least two tokens; `index` is the line's number in the text.
    void ReadStatement(const std::vector<std::string_view>& tokens, std::string_view line, int index,
                       PolicyRead* read);
    void ReadDefaultAction(const std::vector<std::string_view>& tokens, PolicyRead* read);
    // The first application rule that the session matches, or null.
    const TwAppRule* MatchAppRule(DWORD direction, BYTE proto, const std::string& module, const char* name,
                                  DWORD remote) const;
    // A matched rule is logged and, while online, reported to the gateway.
    void ReportAppRuleMatch(const TwAppRule& rule, const std::string& module, DWORD local, WORD localPort,
                            DWORD remote, WORD remotePort, PolicyHost& host);

    std::shared_ptr<platform::SettingsStore> m_store;
    std::vector<TwFilterRule> m_rules;
    mutable std::shared_mutex m_rulesLock;  // uncontended but for the moment a policy is swapped in
    std::vector<std::string> m_messages;
    bool m_traceFrames = false;  // per-frame log lines, decided by ApplyPolicy
    std::vector<TwAppRule> m_appRules;
    std::vector<std::unique_ptr<Compiled>> m_compiled;  // one per application rule
    WORD m_defaultIn = ACTION_BYPASS;
    WORD m_defaultOut = ACTION_BYPASS;
    std::atomic<std::uint32_t> m_maxIdleTime{0};
    std::atomic<std::uint32_t> m_maxOnlineTime{0};
};

}  // namespace engine
