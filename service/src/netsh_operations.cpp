// The pipe commands' effects on the machine.
#include "service/netsh_operations.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/clock_wait.h"
#include "platform/atomic_file.h"
#include "platform/clock.h"
#include "platform/machine_root.h"
#include "platform/unique_fd.h"
#include "platform/process.h"
#include "service/hardware_id.h"
#include "service_log.h"

namespace service {
namespace {

constexpr const char* kTag = "[NetShellServiceThread::Execute]";

bool DefaultFlushResolverCache() {
    struct stat st {};
    const std::string program = platform::FindProgram("resolvectl");
    if (program.empty() || ::stat("/run/systemd/resolve", &st) != 0) {
        SVC_LOG("%s no caching resolver runs; nothing to flush", kTag);
        return true;
    }
    platform::SpawnOptions options;
    options.quietOutput = true;
    return platform::RunAndWait({program, "flush-caches"}, options) == 0;
}

}  // namespace

std::string AutostartDir() {
    const std::string root = platform::MachineRoot();
    return root == platform::kDefaultMachineRoot ? "/etc/xdg/autostart" : root + "/etc/xdg/autostart";
}

std::string AutostartEntry(const std::string& programDir) {
    return "[Desktop Entry]\nType=Application\nName=MorvaneVpn\nExec=\"" + programDir +
           "/VornClient\" -autologon\nX-GNOME-Autostart-enabled=true\n";
}

SystemNetshOperations::SystemNetshOperations(const ServiceFacilities& facilities, ClientLauncher& launcher,
                                             NetshOperationsOptions options)
    : m_f(facilities), m_adapter(facilities), m_launcher(launcher), m_options(std::move(options)) {
    if (m_options.autostartDir.empty()) m_options.autostartDir = AutostartDir();
    if (m_options.programDir.empty()) m_options.programDir = platform::ProgramDir();
    if (!m_options.hardwareId) {
        platform::AdapterList* adapters = m_f.network.adapters;
        m_options.hardwareId = [adapters] { return service::GetHardwareID(*adapters); };
    }
    if (!m_options.flushResolverCache) m_options.flushResolverCache = DefaultFlushResolverCache;
    const platform::Clock* clock = m_options.clock != nullptr ? m_options.clock : &platform::SystemClock();
    if (!m_options.sleep) m_options.sleep = [clock](DWORD ms) { platform::SleepOn(*clock, ms); };
    if (!m_options.tickMs) m_options.tickMs = [clock] { return clock->TickMs(); };
}

void SystemNetshOperations::SetDisableDefRoute(DWORD ifIndex, int flag) {
    // Interfaces here have no switch that keeps their gateways' default routes out: the switch is
    // the absence of the interface's default routes, which are kept here to be put back as they were.
    platform::RouteTable& table = *m_f.network.routes;
    std::vector<MIB_IPFORWARDROW>& kept = m_keptDefaultRoutes[ifIndex];
    SVC_LOG("[SetDisableDefRoute] Load API OK");
    DWORD rc = 0;
    bool written = false;
    if (flag != 0) {
        std::vector<MIB_IPFORWARDROW> rows;
        rc = table.ReadForwardRows(&rows);
        if (rc == platform::kErrorSuccess) {
            for (const auto& row : rows) {
                if (row.dwForwardDest != 0 || row.dwForwardMask != 0 || row.dwForwardIfIndex != ifIndex)
                    continue;
                written = true;
                rc = table.DeleteIpForwardEntry(&row);
                // A route that came back and was taken out again is kept once.
                const bool known = std::any_of(kept.begin(), kept.end(), [&](const MIB_IPFORWARDROW& k) {
                    return k.dwForwardNextHop == row.dwForwardNextHop &&
                           k.dwForwardMetric1 == row.dwForwardMetric1;
                });
                if (rc == platform::kErrorSuccess && !known) kept.push_back(row);
            }
        }
    } else {
        written = !kept.empty();
        std::vector<MIB_IPFORWARDROW> failed;
        for (const auto& row : kept) {
            const DWORD one = table.CreateIpForwardEntry(&row);
            // One that is back already (the interface came up again meanwhile) is no loss.
            if (one != platform::kErrorSuccess && one != platform::kErrorObjectAlreadyExists) {
                rc = one;
                failed.push_back(row);
            }
        }
        kept = std::move(failed);
    }
    if (kept.empty()) m_keptDefaultRoutes.erase(ifIndex);
    if (!written) return;  // the interface already had what was asked
    SVC_LOG("[SetDisableDefRoute] SetIpInterfaceEntry(AdapterIndex = 0x%x) Ret %d", ifIndex,
            static_cast<int>(rc));
    if (rc == platform::kErrorSuccess)
        SVC_LOG("[SetDisableDefRoute] SetIpInterfaceEntry(AdapterIndex = 0x%x) success", ifIndex);
}

void SystemNetshOperations::EnableAdapter(bool enable) { m_adapter.EnableAdapter(enable); }

int SystemNetshOperations::ChangeAdapteLevel() { return m_adapter.ChangeAdapteLevel(); }

std::string SystemNetshOperations::GetHardwareID() { return m_options.hardwareId(); }

void SystemNetshOperations::SetAutoExec() {
    const std::string& dir = m_options.autostartDir;
    if (!platform::MakeDirs(dir, 0755)) {
        SVC_LOG("%sRunOpen dwRet=%d,lasterror=%d\n", kTag, 2, errno);
        return;
    }
    const bool ok =
        platform::WriteFileAtomically(dir + "/" + kAutostartFileName, AutostartEntry(m_options.programDir));
    SVC_LOG("%sRunSetValue  dwRet=%d,lasterror=%d\n", kTag, ok ? 0 : 1, ok ? 0 : errno);
}

void SystemNetshOperations::NotSetAutoExec() {
    const std::string path = m_options.autostartDir + "/" + kAutostartFileName;
    const int rc = ::unlink(path.c_str()) == 0 ? 0 : 2;
    SVC_LOG("%sRegDeleteValue  dwRet=%d,lasterror=%d\n", kTag, rc, rc == 0 ? 0 : errno);
}

void SystemNetshOperations::SetDnsByNetshCmd(const std::string& primary, const std::string& secondary,
                                             DWORD ifIndex) {
    std::vector<platform::AdapterInfo> adapters;
    std::string name;
    if (m_f.network.adapters->GetAdapters(&adapters) == platform::kErrorSuccess) {
        for (const auto& a : adapters) {
            if (a.index == ifIndex) name = a.name;
        }
    }
    if (!platform::ValidInterfaceName(name)) {
        SVC_LOG("%s SetDnsByNetshCmd: no interface %u", kTag, ifIndex);
        return;
    }
    DWORD server = 0;
    if (primary[0] != '0' && ParseDottedAddress(primary, &server)) {
        SVC_LOG("%s Set Static Dns : %s", kTag, primary.c_str());
        const DWORD rc = m_f.network.resolver->SetNameServers(name, {server});
        if (rc != 0) SVC_LOG("%s Set Static Dns failed %u", kTag, static_cast<unsigned>(rc));
    }
    if (secondary[0] != '0' && ParseDottedAddress(secondary, &server)) {
        SVC_LOG("%s Set spare Dns : %s", kTag, secondary.c_str());
        const DWORD rc = m_f.network.resolver->AddNameServer(name, server);
        if (rc != 0) SVC_LOG("%s Set spare Dns failed %u", kTag, static_cast<unsigned>(rc));
    }
}

SetIpResult SystemNetshOperations::SetIP(const std::string& address, const std::string& mask,
                                         const std::string& dns1, const std::string& dns2) {
    DWORD addr = 0, netmask = 0;
    if (!ParseDottedAddress(address, &addr) || !ParseDottedAddress(mask, &netmask))
        return SetIpResult::kAddressFailed;
    // A SetIP that names no name server withdraws the tunnel's. The resolver puts back what it
    // saved, which needs no adapter: when the adapter was deleted under the session, its name
    // servers go at once, and there is no address to wait for.
    const auto namesNone = [](const std::string& server) { return server.empty() || server[0] == '0'; };
    if (namesNone(dns1) && namesNone(dns2) && m_adapter.VirtualAdapterIndex() == 0) {
        const DWORD rc = m_f.network.resolver->Restore();
        SVC_LOG("%s Set Static IP: the virtual adapter is not present; name servers restored: %u", kTag,
                static_cast<unsigned>(rc));
        // A restore that failed is the client's to report; an absent adapter alone is expected.
        return rc == 0 ? SetIpResult::kAddressFailed : SetIpResult::kDnsFailed;
    }
    const std::uint64_t start = m_options.tickMs();
    for (;;) {
        const DWORD rc = m_adapter.SetStaticIP(addr, netmask);
        if (rc == 0) break;
        SVC_LOG("%s Set Static IP, nRet = 0x%x", kTag, static_cast<unsigned>(rc));
        if (rc != AdapterConfig::kAdapterMissing) return SetIpResult::kAddressFailed;
        m_options.sleep(m_options.timing.setIpRetryMs);
        if (m_options.tickMs() - start > m_options.timing.setIpLimitMs) return SetIpResult::kAddressFailed;
    }
    const DWORD rc = m_adapter.SetSetDNS(dns1, dns2);
    if (rc != 0) {
        SVC_LOG("%sSetDNS Failed, nRet = 0x%x", kTag, static_cast<unsigned>(rc));
        return SetIpResult::kDnsFailed;
    }
    return SetIpResult::kDone;
}

void SystemNetshOperations::StartClient() { m_launcher.Launch({}); }

DWORD SystemNetshOperations::AddRoute(const RouteRecord& record) {
    // A connected route a client moved aside comes back as the kernel's, as it was.
    std::vector<platform::AdapterInfo> adapters;
    if (m_f.network.adapters->GetAdapters(&adapters) != platform::kErrorSuccess) adapters.clear();
    return ApiAddRoute(*m_f.network.routes, record, AddedRouteProtocol(record, adapters));
}

DWORD SystemNetshOperations::DeleteRoute(const RouteRecord& record) {
    return ApiDeleteRoute(*m_f.network.routes, record);
}

DWORD SystemNetshOperations::SetRoute(const RouteRecord& record) {
    return ApiSetRoute(*m_f.network.routes, record);
}

void SystemNetshOperations::FlushNeighbours() {
    SVC_LOG("[ExecSysCmd] dwExitCode=%d", static_cast<int>(m_adapter.FlushNeighbours()));
}

void SystemNetshOperations::FlushDns() {
    SVC_LOG("[ExecSysCmd] dwExitCode=%d", m_options.flushResolverCache() ? 0 : 1);
}

void SystemNetshOperations::ResetAdapterAddress() {
    SVC_LOG("[ExecSysCmd] dwExitCode=%d", static_cast<int>(m_adapter.ResetAddress()));
}

void SystemNetshOperations::UseDhcpAddress(DWORD ifIndex) {
    SVC_LOG("[ExecSysCmd] dwExitCode=%d", static_cast<int>(m_adapter.UseDhcpAddress(ifIndex)));
}

}  // namespace service
