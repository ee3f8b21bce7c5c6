#include "platform/text_util.h"
#include "engine/net_check_thread.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <system_error>
#include <utility>

#include "dailylog/shared_daily_log.h"

namespace engine {

namespace {

constexpr int kTextAdapterGone = 316;
constexpr int kTextAdapterTwice = 317;
const std::array<BYTE, 6> kVirtualMac = {0x00, 0xff, 0xff, 0xff, 0x00, 0x00};

bool Multicast224(DWORD destination) { return destination == htonl(0xE0000000u); }

}  // namespace

NetCheckThread::NetCheckThread(Deps deps, NetCheckConfig config, const EngineTiming& timing,
                               const platform::Clock& clock)
    : m_deps(std::move(deps)), m_config(std::move(config)), m_timing(timing), m_clock(clock) {
    // The table holds network byte order; the session's list comes in host order. One conversion
    // here, so every comparison below is between like and like.
    for (const ResourceNet& r : m_config.resources) {
        m_resourcesNet.push_back({htonl(r.network), htonl(r.mask), htonl(r.nextHop)});
    }
}

NetCheckThread::~NetCheckThread() { Stop(); }

bool NetCheckThread::Start() {
    if (m_thread.joinable()) return false;
    m_stopRequested = false;
    m_finished = false;
    try {
        m_thread = std::thread([this] {
            Execute();
            m_finished = true;
        });
    } catch (const std::system_error&) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonCreateRouteCheckThread] Start check network thread error.");
        return false;
    }
    return true;
}

void NetCheckThread::Stop() {
    if (!m_thread.joinable()) return;
    m_stopRequested = true;
    m_stop.Set();
    // Every wait of the thread ends on the stop event, so the join is short; a thread left
    // running would use the connector after it is gone.
    m_thread.join();
}

bool NetCheckThread::WaitForSetup() {
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[NetCheckThread::Execute] Exam netsh.exe .");
    if (!m_deps.setupBusy) return !m_stopRequested.load();
    for (DWORD i = 0; i < m_timing.netCheckBusyPolls && !m_stopRequested.load(); ++i) {
        if (!m_deps.setupBusy()) break;
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[NetCheckThread::Execute] Find netsh.");
        m_stop.Wait(m_timing.netCheckBusyPollMs, m_clock);
    }
    return !m_stopRequested.load();
}

void NetCheckThread::Execute() {
    if (!WaitForSetup()) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[NetCheckThread::Execute] Check Exit.");
        return;
    }
    TwClientRouteManager manager(m_deps.routes, m_deps.adapters, m_deps.send);
    std::vector<MIB_IPFORWARDROW> saved;
    bool haveSaved = m_deps.routes.ReadForwardRows(&saved) == platform::kErrorSuccess;
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[NetCheckThread::Execute] Start Check thread.");
    for (std::size_t i = 0; i < saved.size(); ++i) {
        TW_LOG(LOG_CLIENT_LOGIN, 4,
               "[NetCheckThread::Excute]检测线程保存的路由表[%zu]:dst:%s mask:%s nexthop:%s", i,
               platform::Ipv4Text(saved[i].dwForwardDest).c_str(),
               platform::Ipv4Text(saved[i].dwForwardMask).c_str(),
               platform::Ipv4Text(saved[i].dwForwardNextHop).c_str());
    }
    platform::Event* close = m_deps.connector.AdapterCloseEvent();
    platform::Event* events[2] = {&m_stop, close};
    const std::size_t count = close != nullptr ? 2 : 1;
    while (!m_stopRequested.load()) {
        const DWORD r = platform::WaitForAny(events, count, m_timing.netCheckRoundMs, m_clock);
        if (r == platform::kWaitObject0 || m_stopRequested.load()) break;
        if (r == platform::kWaitObject0 + 1) {
            if (close->ManualReset()) close->Reset();
            OnAdapterClose();
        }
        // A table that could not be read at the start is read again until it can: comparing
        // against nothing would delete the session's own routes.
        if (!haveSaved) {
            haveSaved = m_deps.routes.ReadForwardRows(&saved) == platform::kErrorSuccess;
        } else {
            CheckRouteList(saved, manager);
        }
        if (m_config.restoreDefaultRoutes) RestoreDisableDefRoute(1);
        ++m_rounds;
    }
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[NetCheckThread::Execute] Start Check Exit, Restore settings.");
    if (m_config.restoreDefaultRoutes) RestoreDisableDefRoute(0);
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[NetCheckThread::Execute] Check Exit.");
}

int NetCheckThread::RestoreDisableDefRoute(int flag) {
    auto send = [this](DWORD index, int on) {
        TW_LOG(LOG_CLIENT_LOGIN, 4,
               "[NetCheckThread::RestoreDisableDefRoute] Send SetIpInterfaceEntry(AdapterIndex = 0x%x)",
               static_cast<unsigned>(index));
        char command[64];
        std::snprintf(command, sizeof command, "netcheck %d %d\n", static_cast<int>(index), on);
        m_deps.send(command);
    };
    int sent = 0;
    if (flag == 0) {
        // Back on wherever this check switched it off, also on an adapter that has left the list
        // meanwhile: the service still keeps its routes.
        for (const DWORD index : m_switchedOff) {
            send(index, 0);
            ++sent;
        }
        m_switchedOff.clear();
        return sent;
    }
    std::vector<platform::AdapterInfo> adapters;
    const DWORD rc = m_deps.adapters.GetAdapters(&adapters);
    if (rc != platform::kErrorSuccess) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[RestoreDisableDefRoute] GetAdaptersInfo != ERROR_BUFFER_OVERFLOW, 0x%x",
               static_cast<unsigned>(rc));
        return 0;
    }
    std::vector<MIB_IPFORWARDROW> rows;
    if (m_deps.routes.ReadForwardRows(&rows) != platform::kErrorSuccess) return 0;
    for (const platform::AdapterInfo& a : adapters) {
        const bool isVirtual =
            a.index == m_config.virtualIfIndex ||
            (a.macLength == 6 && std::equal(kVirtualMac.begin(), kVirtualMac.end(), a.mac.begin()));
        if (isVirtual || a.index == 0) continue;
        // The switch is on while the interface carries no default route.
        const bool carriesDefault = std::any_of(rows.begin(), rows.end(), [&](const MIB_IPFORWARDROW& r) {
            return r.dwForwardDest == 0 && r.dwForwardMask == 0 && r.dwForwardIfIndex == a.index;
        });
        if (!carriesDefault) continue;
        send(a.index, 1);
        ++sent;
        if (std::find(m_switchedOff.begin(), m_switchedOff.end(), a.index) == m_switchedOff.end())
            m_switchedOff.push_back(a.index);
    }
    return sent;
}

void NetCheckThread::OnAdapterClose() {
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwRecvWorkerThread] m_AdapterCloseEvent WAIT_OBJECT_0");
    ConnectorControl& conn = m_deps.connector;
    if (!conn.DataPathActive() || !m_deps.host.UserLoggedOn()) return;
    int n = CheckAdapter();
    if (n == 1) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwRecvWorkerThread] 无需断开连接，仅重新bindAdaptersList");
        // The adapter of a driver daemon that died can outlive it for a moment: a rebind nobody
        // takes means the adapter is going, and the session with it.
        if (!conn.BindAdaptersList()) n = 0;
    }
    if (n == 1) {
        m_stop.Wait(m_timing.netCheckRebindPauseMs, m_clock);
        if (m_stopRequested.load()) return;
        conn.ChangeMediaStatus(true);
        return;
    }
    conn.CloseCaptureDevice();
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[TwRecvWorkerThread] Execute, start a logoff thread to handle logoff");
    const std::string text = m_deps.ui.LanguageText(n > 1 ? kTextAdapterTwice : kTextAdapterGone);
    m_deps.host.StartForcedLogoff(&text);
}

int NetCheckThread::CheckAdapter() {
    std::vector<platform::AdapterInfo> adapters;
    const DWORD rc = m_deps.adapters.GetAdapters(&adapters);
    if (rc != platform::kErrorSuccess) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[CheckAdapter] GetSystemAdapterInfo 失败 lasterror %u",
               static_cast<unsigned>(rc));
        return 0;
    }
    int n = 0;
    for (const auto& a : adapters) {
        if (a.macLength == 6 && std::equal(kVirtualMac.begin(), kVirtualMac.end(), a.mac.begin())) ++n;
    }
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[CheckAdapter] 枚举到虚网卡个数为%d", n);
    return n;
}

bool NetCheckThread::InResource(DWORD destination) const {
    if (destination == 0) return false;
    for (const ResourceNet& r : m_resourcesNet) {
        if ((destination & r.mask) == (r.network & r.mask)) return true;
    }
    return false;
}

bool NetCheckThread::HostRouteToGateway(const MIB_IPFORWARDROW& row) const {
    return !m_config.gatewayRouteExisted && row.dwForwardMask == 0xFFFFFFFFu &&
           row.dwForwardDest == m_config.gatewayAddress;
}

void NetCheckThread::CheckRouteList(const std::vector<MIB_IPFORWARDROW>& saved,
                                    TwClientRouteManager& manager) {
    std::vector<MIB_IPFORWARDROW> current;
    if (m_deps.routes.ReadForwardRows(&current) != platform::kErrorSuccess) return;
    const DWORD virtualAddress = htonl(m_config.virtualAddress);
    const DWORD virtualMask = htonl(m_config.virtualMask);
    const DWORD subnet = virtualAddress & virtualMask;
    const DWORD broadcast = subnet | ~virtualMask;
    std::vector<bool> seen(saved.size(), false);
    for (const MIB_IPFORWARDROW& row : current) {
        bool known = false;
        for (std::size_t j = 0; j < saved.size() && !known; ++j) {
            const MIB_IPFORWARDROW& s = saved[j];
            if (s.dwForwardDest == row.dwForwardDest && s.dwForwardMask == row.dwForwardMask &&
                s.dwForwardNextHop == row.dwForwardNextHop) {
                seen[j] = true;
                known = true;
            }
        }
        const DWORD dest = row.dwForwardDest;
        if (known || dest == 0 || Multicast224(dest) || dest == 0xFFFFFFFFu || dest == virtualAddress ||
            dest == subnet || dest == broadcast) {
            continue;
        }
        if (InResource(dest) || row.dwForwardIfIndex == m_config.virtualIfIndex || HostRouteToGateway(row)) {
            TW_LOG(LOG_CLIENT_LOGIN, 4,
                   "[NetCheckThread::CheckRouteList]存在%d网关路由？ New Route, Need delete, dest%08X, "
                   "mask%08X, "
                   "GW%08X, 路由if%u, 虚if%u",
                   m_config.gatewayRouteExisted ? 1 : 0, dest, row.dwForwardMask, row.dwForwardNextHop,
                   row.dwForwardIfIndex, m_config.virtualIfIndex);
            RouteRequest req{kRouteKindDeleteHost, dest, row.dwForwardMask,
                             row.dwForwardNextHop, 0,    static_cast<int>(row.dwForwardIfIndex)};
            manager.DeleteEntry(&req, 0);
        }
    }
    for (std::size_t j = 0; j < saved.size(); ++j) {
        const MIB_IPFORWARDROW& s = saved[j];
        if (Multicast224(s.dwForwardDest) || s.dwForwardDest == 0xFFFFFFFFu || seen[j]) continue;
        if (s.dwForwardIfIndex == m_config.virtualIfIndex || HostRouteToGateway(s)) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[NetCheckThread::CheckRouteList] Lost Route, Need add, %08X",
                   s.dwForwardDest);
            RouteRequest req{kRouteKindAddHost,
                             s.dwForwardDest,
                             s.dwForwardMask,
                             s.dwForwardNextHop,
                             0,
                             static_cast<int>(s.dwForwardIfIndex)};
            manager.AddEntry(&req, s.dwForwardMetric1);
        }
    }
}

}  // namespace engine
