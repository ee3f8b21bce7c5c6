// What the worker thread, the relogon thread and the network check need of the connector. The
// connector implements it; tests pass a fake. Keeping it narrow keeps the worker's logic testable
// without a gateway, a driver or a route table.
//
// Thread-safety: the worker thread, the relogon thread, the network check thread and the GUI
// thread (through the worker's setters) call these at the same time; every call must be safe from
// any thread. The two in-progress words are the only guards between worker and relogon thread and
// are changed only by compare-exchange (or plain clears where the connector itself ends a logon).
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "platform/event.h"
#include "engine/session_addresses.h"
#include "platform/types.h"

namespace engine {

// Connector status values.
constexpr int TW_CLT_STATUS_OFFLINE = 0;
constexpr int TW_CLT_STATUS_SERVER_CERTIFIED = 5;
constexpr int TW_CLT_STATUS_GW_CERTIFIED = 6;     // online
constexpr int TW_CLT_STATUS_GW_RELOGON_INIT = 7;  // relogon under way
constexpr int TW_CLT_STATUS_TUNNEL_LOST = 8;      // relogon or logoff pending

// Last error numbers the worker and relogon thread act on.
constexpr int TW_ERROR_NONE = 0;
constexpr int TW_ERROR_USER_CANCELLED = 6;
constexpr int TW_ERROR_RELOGON_FAILED = 45;
// Ends of a session the user did not ask for: the virtual adapter (or the driver behind it) went
// away, or the session was ended for it (by the gateway, or at its idle or time limit).
constexpr int TW_ERROR_ADAPTER_CLOSED = 56;
constexpr int TW_ERROR_FORCED_LOGOFF = 57;
constexpr int TW_ERROR_ADAPTER_CONFIG = 59;  // the virtual adapter could not be configured at logon

// What the session report and the status window show. Addresses in host byte order.
struct ConnectorSession : SessionAddresses {
    std::string serverAddress;
    int serverPort = 0;
    std::string gatewayName;
    std::string userName;
    DWORD sessionId = 0;
    std::int64_t logonTime = 0;  // seconds since 1970, when the session began
    DWORD gatewayAddress = 0;
    std::uint64_t sent = 0, received = 0;  // bytes
    std::uint64_t onlineSeconds = 0;       // since the session began
};

// The saved parameters a relogon logs on with.
struct SavedLogon {
    std::string user, password, sessionText;
};

// Takes an in-progress guard (0 -> 1); false when someone holds it.
inline bool TakeGuard(std::atomic<int>& guard) {
    int expected = 0;
    return guard.compare_exchange_strong(expected, 1);
}

class ConnectorControl {
public:
    virtual ~ConnectorControl() = default;

    // Prepares the connector (settings, events); false when it cannot work.
    virtual bool Initialize() = 0;

    virtual int Status() = 0;
    virtual void SetStatus(int status) = 0;
    virtual std::atomic<int>& LogonInProgress() = 0;
    virtual std::atomic<int>& LogoffInProgress() = 0;

    // Manual-reset: set by a cancel or a logoff, cuts every wait of a running logon or relogon.
    virtual platform::Event& WaitLogonEvent() = 0;
    // Set when a logon ended online.
    virtual platform::Event& LogonDoneEvent() = 0;
    // Set by the driver when the bound virtual adapter closed; null when there is none.
    virtual platform::Event* AdapterCloseEvent() = 0;

    // The logon sequence; true when online. The reason of a failure is left in LastError().
    virtual bool LogonUserToDomain(const std::string& user, const std::string& password,
                                   const std::string& domain, bool relogon, bool hardIdLogon) = 0;
    virtual int LastError() = 0;
    virtual std::string LastErrorText() = 0;
    // Records why a live session ends without the user asking (error and the text shown).
    virtual void ReportSessionEnd(int error, const std::string& text) = 0;
    // True when the last failed logon was refused for a reason that trying again cannot cure (the
    // gateway refused the credentials, the gateway's certificate was rejected).
    virtual bool LastFailureFinal() = 0;

    virtual bool InformUpdate() = 0;
    virtual void SetInformUpdate(bool on) = 0;
    virtual void SetWebLogonMode(bool on) = 0;
    // The saved logon's password; the connector keeps at most what its fixed field holds, always
    // with the terminating zero.
    virtual void SetPassword(const std::string& password) = 0;
    virtual SavedLogon SavedLogonParameters() = 0;
    virtual ConnectorSession Session() = 0;

    // Switches of the logon and data path.
    virtual void SetErrorMessageBoxes(bool on) = 0;
    virtual void SetArpAnswering(bool on) = 0;
    virtual bool DataPathActive() = 0;
    virtual void SetDataPathActive(bool on) = 0;
    virtual void SetRelogonFinished(bool on) = 0;
    // Moves the pending logged-on byte into the logged-on byte (end of a relogon).
    virtual void CommitPendingLoggedOn() = 0;

    // Teardown steps, each safe to repeat.
    virtual void StopRecvAndEventThread() = 0;
    virtual void StopRouteCheckThread() = 0;
    virtual void CloseCaptureDevice() = 0;
    virtual void Logoff() = 0;      // the logoff notice to the gateway
    virtual void Disconnect() = 0;  // closes the tunnel
    virtual void LogoffConfigAdapter(bool keepForRelogon) = 0;
    virtual void LogoffRecoverAdapterRoute(bool keepForRelogon) = 0;
    // The virtual adapter closed under the session: what its capture's stop would have undone
    // (the tunnel's name servers) is undone now.
    virtual void ReleaseClosedAdapter() = 0;
    virtual void ClearAddressConfigured() = 0;
    // Forgets the session: gateway-route-existed and connected flags, the stored session id (0),
    // the virtual address and the logged-on byte.
    virtual void ForgetSession() = 0;
    virtual void ChangeMediaStatus(bool connected) = 0;
    // False when the driver did not take the request (its daemon is gone).
    virtual bool BindAdaptersList() = 0;
    virtual void PrintSystemRouteTable() = 0;
};

}  // namespace engine
