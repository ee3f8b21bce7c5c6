// TwDhcpManager over the ISC DHCP client.
#include "tavish/dhcp_manager.h"

#include <signal.h>
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/adapter_list.h"
#include "platform/debug_printf.h"
#include "platform/machine_root.h"
#include "platform/process.h"
#include "platform/win_error_codes.h"

namespace {

std::string DhcpClientPath() {
    for (const char* p : {"/usr/sbin/dhclient", "/sbin/dhclient"}) {
        if (::access(p, X_OK) == 0) return p;
    }
    return "dhclient";
}

// Case-insensitive "contains".
bool NameContains(const std::string& adapterName, const std::string& wanted) {
    if (wanted.empty()) return true;
    if (wanted.size() > adapterName.size()) return false;
    for (size_t i = 0; i + wanted.size() <= adapterName.size(); ++i) {
        if (::strncasecmp(adapterName.c_str() + i, wanted.c_str(), wanted.size()) == 0) return true;
    }
    return false;
}

std::string RequestName(const char* field, size_t capacity) {
    return std::string(field, ::strnlen(field, capacity));
}

// Per-interface pid and lease files, so renew and release meet the same client.
std::vector<std::string> ClientArgs(const std::string& ifName, const char* mode) {
    // The client runs as root and writes these files: only in root's checked folder.
    const std::string dir = platform::RuntimeSubDir("dhcp");
    if (dir.empty()) return {};
    return {DhcpClientPath(),
            mode,
            "-pf",
            dir + "/dhclient." + ifName + ".pid",
            "-lf",
            dir + "/dhclient." + ifName + ".leases",
            ifName};
}

}  // namespace

TwDhcpManager::TwDhcpManager(DWORD commandTimeoutMs) : m_timeoutMs(commandTimeoutMs) {}
TwDhcpManager::~TwDhcpManager() = default;

int TwDhcpManager::CmdExec(const std::vector<std::string>& argv) {
    if (argv.empty()) return -1;
    platform::SpawnOptions options;
    options.quietOutput = true;
    // Its own session and process group: the client forks a worker at once, and a client cut off
    // at the bound must not leave that worker behind.
    options.newSession = true;
    const pid_t pid = platform::Spawn(argv, options);
    if (pid < 0) return -1;
    int exitCode = -1;
    const DWORD wait = platform::WaitProcess(pid, m_timeoutMs, &exitCode);
    if (wait == platform::kWaitObject0) return exitCode;
    // The next command may start a client on the same pid and lease files: return once the
    // worker is gone too, not only the leader.
    platform::KillProcessGroup(pid, SIGKILL);
    platform::WaitProcess(pid, 5000, &exitCode);
    platform::WaitProcessGroupEnded(pid, 5000);
    return -1;
}

int TwDhcpManager::ReleaseAdapter(const std::string& ifName) { return CmdExec(ClientArgs(ifName, "-r")); }

int TwDhcpManager::RenewAdapter(const std::string& ifName) { return CmdExec(ClientArgs(ifName, "-1")); }

int TwDhcpManager::Release(DHCP_RELEASE_REQUEST* request) {
    if (request == nullptr) return 1;
    const std::string wanted = RequestName(request->rgAdapterName, sizeof(request->rgAdapterName));
    platform::DebugPrintf("EnterDhcpManager::Release, pRelease->rgAdapterName=%s\n", wanted.c_str());
    std::vector<platform::AdapterInfo> adapters;
    const DWORD rc = platform::GetAdapters(&adapters);
    if (rc != platform::kErrorSuccess) {
        platform::DebugPrintf("GetAdaptersInfo fail, lResult=0x%x\n", rc);
        return 1;
    }
    int result = 0;
    bool taken = false;
    for (const auto& adapter : adapters) {
        if (adapter.loopback) continue;
        platform::DebugPrintf("pNextAdapter->AdapterName = %s\n", adapter.name.c_str());
        if (request->dwAllAdapters == 0 && !NameContains(adapter.name, wanted)) continue;
        taken = true;
        if (!adapter.dhcpEnabled) {
            platform::DebugPrintf("pNextAdapter->DhcpEnabled is false\n");
            result = 1;
        } else if (const int status = ReleaseAdapter(adapter.name); status != 0) {
            platform::DebugPrintf("IpReleaseAddress falis, return 0x%x\n", static_cast<unsigned>(status));
            result = 1;
        }
        if (request->dwAllAdapters == 0) break;
    }
    if (!taken) {
        platform::DebugPrintf("Adapter %s not found\n", wanted.c_str());
        return 1;
    }
    return result;
}

int TwDhcpManager::Renew(DHCP_RENEW_REQUEST* request) {
    if (request == nullptr) return 1;
    const std::string wanted = RequestName(request->rgAdapterName, sizeof(request->rgAdapterName));
    platform::DebugPrintf("EnterDhcpManager::Release, pRenew->rgAdapterName=%s\n", wanted.c_str());
    std::vector<platform::AdapterInfo> adapters;
    const DWORD rc = platform::GetAdapters(&adapters);
    if (rc != platform::kErrorSuccess) {
        platform::DebugPrintf("GetAdaptersInfo fails, lResult=0x%x\n", rc);
        return 1;
    }
    for (const auto& adapter : adapters) {
        if (adapter.loopback) continue;
        platform::DebugPrintf("pNextAdapter->AdapterName = %s\n", adapter.name.c_str());
        if (!NameContains(adapter.name, wanted)) continue;
        if (!adapter.dhcpEnabled) {
            platform::DebugPrintf("pNextAdapter->DhcpEnabled is false\n");
            return 1;
        }
        const int status = RenewAdapter(adapter.name);
        if (status != 0) {
            platform::DebugPrintf("IpRenewAddress falis, return 0x%x\n", static_cast<unsigned>(status));
            return 1;
        }
        return 0;
    }
    platform::DebugPrintf("Adapter %s not found\n", wanted.c_str());
    return 1;
}
