// The GUI watchdog and the restore of the saved route table.
#include "platform/client_settings.h"
#include "service/gui_watchdog.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <strings.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>

#include "platform/clock_wait.h"
#include "platform/filter_device.h"
#include "platform/machine_root.h"
#include "platform/process.h"
#include "platform/settings_store.h"
#include "platform/user_place.h"
#include "service/route_command.h"
#include "service/route_table_file.h"
#include "service_log.h"

namespace service {
namespace {

constexpr const char* kTag = "[CheckGUIThread::CheckRouteList]";

RouteRecord RecordOf(const MIB_IPFORWARDROW& r) {
    return RouteRecord{r.dwForwardDest,    r.dwForwardMask, r.dwForwardNextHop,
                       r.dwForwardIfIndex, r.dwForwardType, r.dwForwardMetric1};
}

bool ProcessMachineRoot(pid_t pid, std::string* root) {
    if (pid == 0) {
        *root = platform::MachineRoot();
        return true;
    }
    // The root as the process itself reads it: its QEL_ROOT, the default one without.
    std::string value;
    if (!platform::ProcessEnvironmentValue(pid, "QEL_ROOT", &value)) return false;
    *root = platform::MachineRootFrom(value);
    return true;
}

bool SameFolder(const std::string& a, const std::string& b) {
    if (a == b) return true;
    struct stat sa {
    }, sb{};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

}  // namespace

int CheckGUIExist(const std::string& programName, const ClientProcessView& view, pid_t* found) {
    const auto processes = view.list ? view.list() : platform::ListProcesses();
    if (processes.empty()) {
        SVC_LOG("[CheckGUIExist] CreateToolhelp32Snapshot fail, errorcode=%d.", errno);
        return 0;
    }
    const auto rootOf = view.machineRoot ? view.machineRoot : ProcessMachineRoot;
    const auto netOf = view.netNamespace ? view.netNamespace : platform::ProcessNetNamespace;
    const std::string withExe = programName + ".exe";
    std::string ownRoot;
    platform::NamespaceId ownNet;
    bool ownKnown = false;
    for (const auto& p : processes) {
        if (strcasecmp(p.name.c_str(), programName.c_str()) != 0 &&
            strcasecmp(p.name.c_str(), withExe.c_str()) != 0) {
            continue;
        }
        // Our own machine is looked up only once a client of that name is found.
        if (!ownKnown) {
            if (!rootOf(0, &ownRoot) || !netOf(0, &ownNet)) return 0;
            ownKnown = true;
        }
        std::string root;
        platform::NamespaceId net;
        // A client whose machine cannot be read (it ended meanwhile) is not ours.
        if (!rootOf(p.pid, &root) || !netOf(p.pid, &net)) continue;
        if (net == ownNet && SameFolder(root, ownRoot)) {
            if (found != nullptr) *found = p.pid;
            return 1;
        }
    }
    return 2;
}

DWORD GetServerAddr() { return GetServerAddr(*platform::SettingsStore::Machine()); }

DWORD GetServerAddr(platform::SettingsStore& settings) {
    std::string text;
    platform::SettingsStore* store = &settings;
    if (store->OpenKey(platform::client_settings::kClientKey) != platform::kRegOk) {
        SVC_LOG("[GetServerAddr] open key error");
        return 0;
    }
    if (store->GetString(platform::client_settings::kClientKey, platform::client_settings::kServerAddr,
                         &text) != platform::kRegOk ||
        text.empty() || text.size() > 256) {
        SVC_LOG("[GetServerAddr] query ServerAddr error");
        return 0;
    }
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) == 1) return a.s_addr;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (getaddrinfo(text.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return 0;
    const DWORD address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(found);
    return address;
}

DWORD GetProxyAddr() { return GetProxyAddr(*platform::SettingsStore::Machine()); }

DWORD GetProxyAddr(platform::SettingsStore& settings) {
    platform::SettingsStore* store = &settings;
    const char* key = platform::client_settings::kClientKey;
    std::string text;
    if (store->GetString(key, platform::client_settings::kUseProxy, &text) != platform::kRegOk ||
        strcasecmp(text.c_str(), "yes") != 0)
        return 0;
    if (store->GetString(key, platform::client_settings::kProxyAddr, &text) != platform::kRegOk ||
        text.size() > 256)
        return 0;
    in_addr a{};
    return inet_pton(AF_INET, text.c_str(), &a) == 1 ? a.s_addr : 0;
}

DWORD SetAdapterMediaDisconnect() {
    auto device = platform::FilterDevice::Open();
    if (!device) {
        SVC_LOG("[CheckGUIThread::SetAdapterMediaDisconnect] 获取网卡句柄失败.");
        return 0;
    }
    TW_MEDIA_STATUS status{};
    std::memcpy(status.mac, kVirtualAdapterMac, 6);
    status.state = 0;
    DWORD returned = 0;
    const BOOL media = device->DeviceIoControl(IOCTL_NDIS_FILTER_SET_MEDIA_STATUS, &status, sizeof(status),
                                               nullptr, 0, &returned);
    SVC_LOG("[CheckGUIThread::SetAdapterMediaDisconnect] return %d.", media);
    const BOOL stop =
        device->DeviceIoControl(IOCTL_NDIS_FILTER_STOP_CAPTURE, nullptr, 0, nullptr, 0, &returned);
    SVC_LOG("[StopCapture] DeviceIoControl STOP_CAPTURE Status %s", stop ? "TRUE" : "FALSE");
    return static_cast<DWORD>(stop);
}

void CheckRouteList(platform::RouteTable& table, const std::vector<MIB_IPFORWARDROW>& saved,
                    DWORD virtualIndex, DWORD gateway, const std::vector<DWORD>& otherHosts) {
    std::vector<MIB_IPFORWARDROW> current;
    if (table.ReadForwardRows(&current) != platform::kErrorSuccess) {
        SVC_LOG("[GetSystemRouteTable] the forwarding table cannot be read");
        return;
    }
    // The "found" marks live beside the rows: a saved row's own fields stay as they were saved.
    std::vector<bool> found(saved.size(), false);
    bool realDefaultRoute = false;
    for (const auto& r : current) {
        if (r.dwForwardDest == 0 && r.dwForwardIfIndex != virtualIndex) {
            SVC_LOG("%s当前默认路由下一跳=%08X, IF=%d", kTag, r.dwForwardNextHop,
                    static_cast<int>(r.dwForwardIfIndex));
            realDefaultRoute = true;
            continue;
        }
        bool matched = false;
        for (std::size_t i = 0; i < saved.size() && !matched; ++i) {
            const auto& s = saved[i];
            if (s.dwForwardDest == r.dwForwardDest && s.dwForwardMask == r.dwForwardMask &&
                s.dwForwardNextHop == r.dwForwardNextHop) {
                found[i] = matched = true;
            }
        }
        const bool gatewayHostRoute =
            r.dwForwardMask == 0xFFFFFFFFu && r.dwForwardDest != 0 &&
            (r.dwForwardDest == gateway ||
             std::find(otherHosts.begin(), otherHosts.end(), r.dwForwardDest) != otherHosts.end());
        if (!matched && (r.dwForwardIfIndex == virtualIndex || gatewayHostRoute)) {
            SVC_LOG("%s New Route, Need delete, dest%08X, mask%08X, GW%08X, 路由if%d, 虚if%d", kTag,
                    r.dwForwardDest, r.dwForwardMask, r.dwForwardNextHop,
                    static_cast<int>(r.dwForwardIfIndex), static_cast<int>(virtualIndex));
            const DWORD rc = ApiDeleteRoute(table, RecordOf(r));
            SVC_LOG("%s ApiDeleteRoute return %d, lasterror=%d", kTag, static_cast<int>(rc),
                    static_cast<int>(rc));
        }
    }
    for (std::size_t i = 0; i < saved.size(); ++i) {
        const auto& s = saved[i];
        if (s.dwForwardDest != 0) {
            if (!found[i]) {
                SVC_LOG("%s Lost Route, Need add, dst%08X, index=%d", kTag, s.dwForwardDest,
                        static_cast<int>(s.dwForwardIfIndex));
                // With the protocol it was saved with: a connected route comes back as the kernel's.
                const DWORD rc = ApiAddRoute(table, RecordOf(s),
                                             s.dwForwardProto == platform::MIB_IPPROTO_LOCAL
                                                 ? platform::MIB_IPPROTO_LOCAL
                                                 : platform::MIB_IPPROTO_NETMGMT);
                SVC_LOG("%s ApiAddRoute return %d, lasterror=%d", kTag, static_cast<int>(rc),
                        static_cast<int>(rc));
            }
        } else if (realDefaultRoute) {
            SVC_LOG("%s当前路由表中存在非虚网卡默认路由", kTag);
        } else {
            SVC_LOG("%s Lost default Route, Need add,nexthop=%08X, index=%d", kTag, s.dwForwardNextHop,
                    static_cast<int>(s.dwForwardIfIndex));
            RouteRecord record = RecordOf(s);
            record.destination = record.mask = 0;
            const DWORD rc = ApiAddRoute(table, record);
            SVC_LOG("%s ApiAddRoute default return %d, lasterror=%d", kTag, static_cast<int>(rc),
                    static_cast<int>(rc));
        }
    }
}

namespace {

// The last client's route file, kept in root's part of the store, so that a service started after
// the client died (killed while the service was down) still finds a member's file.
constexpr const char* kWatchdogKey = "SOFTWARE\\Morvane\\Lunther\\Watchdog";

void RememberClient(const ClientRouteFile& client) {
    auto store = platform::SettingsStore::Machine();
    store->SetString(kWatchdogKey, "RouteFile", client.path);
    store->SetString(kWatchdogKey, "Place", client.place);
    store->SetDword(kWatchdogKey, "Uid", static_cast<DWORD>(client.uid));
    store->SetDword(kWatchdogKey, "Gid", static_cast<DWORD>(client.gid));
}

bool RememberedClient(ClientRouteFile* client) {
    auto store = platform::SettingsStore::Machine();
    DWORD uid = 0, gid = 0;
    if (store->GetString(kWatchdogKey, "RouteFile", &client->path) != platform::kRegOk ||
        store->GetString(kWatchdogKey, "Place", &client->place) != platform::kRegOk ||
        store->GetDword(kWatchdogKey, "Uid", &uid) != platform::kRegOk ||
        store->GetDword(kWatchdogKey, "Gid", &gid) != platform::kRegOk || client->path.empty())
        return false;
    client->uid = static_cast<uid_t>(uid);
    client->gid = static_cast<gid_t>(gid);
    return true;
}

}  // namespace

GuiWatchdog::GuiWatchdog(const ServiceFacilities& facilities, WatchdogOptions options)
    : m_f(facilities),
      m_options(std::move(options)),
      m_fixedFile(!m_options.routeFile.empty()),
      m_fixedAddresses(m_options.gatewayAddress != nullptr) {
    if (m_options.routeFile.empty()) m_options.routeFile = RouteTableFilePath();
    if (!m_options.checkGui && !m_options.findGui)
        m_options.findGui = [](pid_t* pid) { return CheckGUIExist(kGuiProgramName, {}, pid); };
    if (!m_options.mediaDisconnect) m_options.mediaDisconnect = SetAdapterMediaDisconnect;
    if (!m_options.gatewayAddress) m_options.gatewayAddress = [] { return GetServerAddr(); };
    if (!m_options.proxyAddress) m_options.proxyAddress = [] { return GetProxyAddr(); };
}

void GuiWatchdog::Begin() {
    SVC_LOG("[CheckGUIThread::Execute] Exam GUI .");
    m_previous = 0;
    pid_t pid = 0;
    const int state = m_options.findGui ? m_options.findGui(&pid) : m_options.checkGui();
    if (!m_fixedFile && !m_clientKnown) m_clientKnown = RememberedClient(&m_client);
    if (state == 1) {
        // Its end restores, from the file it wrote.
        SVC_LOG("[CheckGUIThread::Execute] GUI running.");
        m_previous = 1;
        m_clientPid = pid;
        NoteClient(pid);
        return;
    }
    // Not knowing whether a client runs, nothing is touched; a client's logon writes a new file.
    if (state != 2) return;
    SVC_LOG("[CheckGUIThread::Execute] no client runs at start.");
    Restore(true);
}

void GuiWatchdog::Round() {
    pid_t pid = 0;
    const int state = m_options.findGui ? m_options.findGui(&pid) : m_options.checkGui();
    m_clientPid = state == 1 ? pid : 0;
    if (state == 0) return;
    if (state == 1 && m_previous != 1) NoteClient(pid);
    if (m_previous != 1 || state != 2) {
        // Said once per client seen, so that whoever ends it knows the watchdog will notice.
        if (state == 1 && m_previous != 1) SVC_LOG("[CheckGUIThread::Execute] GUI running.");
        m_previous = state;
        return;
    }
    SVC_LOG("[CheckGUIThread::Execute] GUI Exit.");
    Restore();
}

void NoteClientOfPipe(pid_t pid) {
    // The service's own exit request comes through the pipe too.
    if (pid <= 0 || pid == ::getpid()) return;
    ClientRouteFile found;
    if (!RouteTableFileOf(pid, &found)) {
        SVC_LOG("[CheckGUIThread::Execute] the route file of the pipe's client %d cannot be found",
                static_cast<int>(pid));
        return;
    }
    RememberClient(found);
}

void GuiWatchdog::NoteClient(pid_t pid) {
    if (m_fixedFile || pid <= 0) return;
    ClientRouteFile found;
    if (!RouteTableFileOf(pid, &found)) {
        SVC_LOG("[CheckGUIThread::Execute] the client's route file cannot be found (pid %d)",
                static_cast<int>(pid));
        return;
    }
    m_client = found;
    m_clientKnown = true;
    RememberClient(m_client);
    SVC_LOG("[CheckGUIThread::Execute] the client's route file: %s", m_client.path.c_str());
}

void GuiWatchdog::RestoreResolver() {
    const DWORD dns = m_f.network.resolver->Restore();
    if (dns != 0)
        SVC_LOG("[CheckGUIThread::Execute] name servers not restored: %u", static_cast<unsigned>(dns));
}

void GuiWatchdog::Restore(bool atStart) {
    std::vector<MIB_IPFORWARDROW> saved;
    std::string error;
    // The client that ended: its own file, read with its user's rights (a link or a file of anyone
    // else there is never taken); root's client's is root's own.
    // The latest client known: seen by a round, or by the pipe when it configured the adapter.
    if (!m_fixedFile) {
        ClientRouteFile remembered;
        if (RememberedClient(&remembered)) {
            m_client = remembered;
            m_clientKnown = true;
        }
    }
    const bool perClient = !m_fixedFile && m_clientKnown;
    const std::string path = perClient ? m_client.path : m_options.routeFile;
    // Root's own file otherwise: the client folder is the group's, a member's file there is planted.
    const uid_t owner = perClient ? m_client.uid : m_fixedFile ? static_cast<uid_t>(-1) : 0;
    RouteFileRead read;
    DWORD gateway = 0, proxyAddress = 0;
    {
        const platform::ScopedFileIdentity as(perClient ? m_client.uid : 0, perClient ? m_client.gid : 0);
        read = ReadRouteTableFile(path, &saved, &error, owner);
        if (read == RouteFileRead::kOk && perClient && m_client.uid != 0 && !m_fixedAddresses) {
            // A member's gateway and proxy are in its own part of the settings.
            const std::string own = m_client.place + "/" + platform::kUserSettingsFileName;
            if (platform::IsOwnPrivateFile(own, m_client.uid)) {
                platform::SettingsStore store(own);
                gateway = GetServerAddr(store);
                proxyAddress = GetProxyAddr(store);
            }
        } else if (read == RouteFileRead::kOk) {
            gateway = m_options.gatewayAddress();
            proxyAddress = m_options.proxyAddress();
        }
    }
    // Name servers are machine-wide here: the client's are withdrawn whatever became of its route
    // file (one it could not save, or one that cannot be used, leaves them to the journal).
    switch (read) {
        case RouteFileRead::kMissing:
            SVC_LOG("[CheckGUIThread::Execute] Dont need recover.");
            // Name servers may have been changed before the routes were saved: a journal left
            // behind is undone (nothing happens without one).
            RestoreResolver();
            m_previous = 2;
            return;
        case RouteFileRead::kUnreadable:
            // Stays "running" so that the next round tries again.
            SVC_LOG("[CheckGUIThread::Execute] SystemRouteTable.dat CreateFile error %s, ignore recover.",
                    error.c_str());
            RestoreResolver();
            if (atStart) m_previous = 1;
            return;
        case RouteFileRead::kMalformed:
            SVC_LOG("[CheckGUIThread::Execute] SystemRouteTable.dat size error (%s), ignore recover.",
                    error.c_str());
            RestoreResolver();
            m_previous = 2;
            return;
        case RouteFileRead::kOk: break;
    }
    AdapterConfig adapter(m_f);
    std::vector<DWORD> proxy;
    if (proxyAddress != 0) proxy.push_back(proxyAddress);
    CheckRouteList(*m_f.network.routes, saved, adapter.VirtualAdapterIndex(), gateway, proxy);
    RestoreResolver();
    {
        const platform::ScopedFileIdentity as(perClient ? m_client.uid : 0, perClient ? m_client.gid : 0);
        ::unlink(path.c_str());
    }
    m_options.mediaDisconnect();
    m_previous = 2;
}

CheckGUIThread::CheckGUIThread(const ServiceFacilities& facilities, WatchdogOptions options)
    : m_watchdog(facilities, std::move(options)), m_stopFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

CheckGUIThread::~CheckGUIThread() { StopAndWait(); }

unsigned long CheckGUIThread::Terminate() {
    {
        std::lock_guard<std::mutex> g(m_lock);
        TwThread::Terminate();
    }
    m_wake.notify_all();
    if (m_stopFd) {
        const std::uint64_t one = 1;
        (void)!::write(m_stopFd.Get(), &one, sizeof one);
    }
    return 1;
}

bool CheckGUIThread::WaitForClientExit(pid_t pid) {
    const platform::UniqueFd client(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    if (!client || !m_stopFd) return false;
    pollfd fds[2] = {{client.Get(), POLLIN, 0}, {m_stopFd.Get(), POLLIN, 0}};
    for (;;) {
        if (m_StopRequest.load() != 0) return true;
        const int n = ::poll(fds, 2, -1);
        if (n > 0) return true;
        if (n < 0 && errno != EINTR) return false;
    }
}

unsigned long CheckGUIThread::Execute() {
    m_watchdog.Begin();
    m_previous = m_watchdog.Previous();
    const DWORD round = m_watchdog.Options().timing.watchdogRoundMs;
    const platform::Clock& clock =
        m_watchdog.Options().clock != nullptr ? *m_watchdog.Options().clock : platform::SystemClock();
    for (;;) {
        // A client known by its process is waited on (its end, or a stop request); otherwise, or
        // when that wait cannot be made, the next round comes on the clock.
        const pid_t client = m_watchdog.Previous() == 1 ? m_watchdog.ClientPid() : 0;
        if (client <= 0 || !WaitForClientExit(client)) {
            std::unique_lock<std::mutex> g(m_lock);
            if (platform::WaitOn(clock, g, m_wake, round, [this] { return m_StopRequest.load() != 0; }))
                break;
        }
        if (m_StopRequest.load() != 0) break;
        m_watchdog.Round();
        m_previous = m_watchdog.Previous();
    }
    SVC_LOG("[CheckGUIThread::Execute] Check Exit.");
    return 0;
}

}  // namespace service
