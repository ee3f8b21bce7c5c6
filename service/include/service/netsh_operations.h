// The pipe commands' effects on this machine: adapter configuration over the injected facilities,
// routes, the fingerprint, the auto-start entry and the start of the client.
//
// Thread-safety: used by the pipe server's one thread.
#pragma once
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "service/adapter_config.h"
#include "service/netsh_command.h"
#include "service/service_timing.h"
#include "service/session_user.h"

namespace service {

struct NetshOperationsOptions {
    ServiceTiming timing;
    const platform::Clock* clock = nullptr;  // null: the system clock
    // Folder of the desktop's auto-start entries; empty: AutostartDir().
    std::string autostartDir;
    // Folder of the client program named in the auto-start entry; empty: the service's own folder.
    std::string programDir;
    // The fingerprint; empty: GetHardwareID over the facilities' adapters.
    std::function<std::string()> hardwareId;
    // Flushes the resolver's cache; empty: `resolvectl flush-caches` when a caching resolver runs.
    std::function<bool()> flushResolverCache;
    // Waits between SetIP's tries; empty: a pause of that many milliseconds on `clock`.
    std::function<void(DWORD ms)> sleep;
    // Monotonic milliseconds for SetIP's limit; empty: `clock`'s ticks.
    std::function<std::uint64_t()> tickMs;
};

// /etc/xdg/autostart on the default machine root, else <root>/etc/xdg/autostart.
std::string AutostartDir();
constexpr const char* kAutostartFileName = "MorvaneVpn.desktop";
// The entry's text: the client in `programDir`, with "-autologon".
std::string AutostartEntry(const std::string& programDir);

class SystemNetshOperations final : public NetshOperations {
public:
    SystemNetshOperations(const ServiceFacilities& facilities, ClientLauncher& launcher,
                          NetshOperationsOptions options = {});

    void SetDisableDefRoute(DWORD ifIndex, int flag) override;
    void EnableAdapter(bool enable) override;
    int ChangeAdapteLevel() override;
    std::string GetHardwareID() override;
    void SetAutoExec() override;
    void NotSetAutoExec() override;
    void SetDnsByNetshCmd(const std::string& primary, const std::string& secondary, DWORD ifIndex) override;
    SetIpResult SetIP(const std::string& address, const std::string& mask, const std::string& dns1,
                      const std::string& dns2) override;
    void StartClient() override;
    DWORD AddRoute(const RouteRecord& record) override;
    DWORD DeleteRoute(const RouteRecord& record) override;
    DWORD SetRoute(const RouteRecord& record) override;
    void FlushNeighbours() override;
    void FlushDns() override;
    void ResetAdapterAddress() override;
    void UseDhcpAddress(DWORD ifIndex) override;

private:
    ServiceFacilities m_f;
    AdapterConfig m_adapter;
    ClientLauncher& m_launcher;
    NetshOperationsOptions m_options;
    // Default routes taken out by `netcheck <index> 1`, by interface, until `netcheck <index> 0`.
    std::map<DWORD, std::vector<MIB_IPFORWARDROW>> m_keptDefaultRoutes;
};

}  // namespace service
