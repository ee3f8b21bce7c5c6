// The virtual adapter at logon and logoff: presence, capture, address, media state, data-path test.
#include "platform/client_settings.h"
#include "engine/adapter_setup.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "adapter_text.h"
#include "dailylog/shared_daily_log.h"
#include "engine/netsh_client.h"
#include "platform/errors.h"
#include "platform/unique_fd.h"
#include "service/route_table_file.h"

namespace engine {
namespace {

constexpr WORD kProbePort = 48089;
// The resolver could not be put back at logoff (a full disk, say): the user must hear of it.
constexpr int kErrNameServersKept = 58;
constexpr const char* kTextNameServersKept = "系统的DNS服务器设置未能恢复，请检查网络设置。";
constexpr int kErrCancelled = 6;
constexpr const char* kTextCancelled = "用户取消登录";

bool SendUdpProbe(DWORD address, WORD rawPort, const std::string& text) {
    const platform::UniqueFd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!s.Valid()) return false;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    // The driver matches the probes by this value as it stands, so it goes in unconverted.
    to.sin_port = rawPort;
    to.sin_addr.s_addr = address;
    return ::sendto(s.Get(), text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                    sizeof(to)) == static_cast<ssize_t>(text.size());
}

}  // namespace

TwAdapterSetup::TwAdapterSetup(AdapterSetupDeps deps, AdapterHooks hooks)
    : m_deps(std::move(deps)), m_hooks(std::move(hooks)), m_lock(m_deps.lock ? *m_deps.lock : m_ownLock) {
    if (!m_deps.sendCmd) m_deps.sendCmd = [](const std::string& c) { return SendNetshCommand(c); };
    if (!m_deps.sendRestart)
        m_deps.sendRestart = [](const std::string& c) { return SendRestartAdapterCommand(c); };
    if (!m_deps.settings) m_deps.settings = platform::SettingsStore::Machine();
    if (!m_deps.sendProbe) m_deps.sendProbe = SendUdpProbe;
    m_routeFile =
        m_deps.routeFile.empty() ? service::RouteTableFilePath(&m_routeFileError) : m_deps.routeFile;
}

TwAdapterSetup::~TwAdapterSetup() = default;

void TwAdapterSetup::SetLogonResults(const AdapterLogonResults& results, bool relogon) {
    std::lock_guard<std::mutex> g(m_lock);
    m_results = results;
    if (!relogon) {
        m_previousRoutes = results.routes;
        m_previousVirtualIp = results.virtualIp;
    }
}

void TwAdapterSetup::Ui(int code, int textId) {
    m_deps.ui->Callback(code, textId < 0 ? std::string() : m_deps.ui->LanguageText(textId));
}

void TwAdapterSetup::LastError(int code, const char* text) {
    if (m_hooks.setLastError) m_hooks.setLastError(code, text);
}

int TwAdapterSetup::Cmd(const std::string& command) { return m_deps.sendCmd(command); }

bool TwAdapterSetup::Pause(DWORD ms, bool cancellable) {
    if (m_deps.sleep) {
        m_deps.sleep(ms);
        return cancellable && m_deps.cancelEvent != nullptr && m_deps.cancelEvent->IsSet();
    }
    if (cancellable && m_deps.cancelEvent != nullptr) {
        platform::Event* events[] = {m_deps.cancelEvent};
        return platform::WaitForAny(events, 1, ms, *m_deps.clock) == platform::kWaitObject0;
    }
    m_sleeper.Wait(ms, *m_deps.clock);
    return false;
}

bool TwAdapterSetup::AdapterFoundByDriver() {
    void* handle = nullptr;
    return m_deps.driver->GetAdapterHandleByMacAddress(kVirtualAdapterMac, &handle) && handle != nullptr;
}

int TwAdapterSetup::LogonInitAdapter() {
    AdapterDriver& driver = *m_deps.driver;
    const EngineTiming& t = m_deps.timing;
    Ui(UI_CODE_PROGRESS_TEXT, 188);
    driver.OpenFilterHandler();
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonInitAdapter] OpenFilterHandler");
    LogoffUnInitAdapter();
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonInitAdapter] 初始化驱动程序完成,设置网卡顺序");
    Cmd("ChangeAdapteLevel\n");
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_snapshot.clear();
        if (m_deps.routes->ReadForwardRows(&m_snapshot) != platform::kErrorSuccess) m_snapshot.clear();
    }
    if (AdapterFoundByDriver()) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonInitAdapter] 虚拟网卡处于启用状态");
    } else {
        Ui(UI_CODE_PROGRESS_TEXT, 189);
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonInitAdapter] 启用虚拟网卡");
        const std::uint64_t start = m_deps.clock->TickMs();
        bool rebound = false, reset = false;
        for (;;) {
            if (Pause(t.adapterPollMs, true)) {
                m_deps.cancelEvent->Reset();
                Ui(UI_CODE_PROGRESS_TEXT, 191);
                Ui(UPDATE_STATUS_OFFLINE);
                driver.CloseFilterHandler();
                TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonInitAdapter] 用户取消启用虚拟网卡, 用户取消登录");
                return 0;
            }
            driver.OpenFilterHandler();
            if (AdapterFoundByDriver()) break;
            const std::uint64_t waited = m_deps.clock->TickMs() - start;
            if (waited > t.adapterRebindMs && !rebound) {
                rebound = true;
                TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonInitAdapter] 启用虚拟网卡 > 2秒");
                if (m_deps.osType <= 10) driver.BindAdaptersList();
            }
            if (waited > t.adapterResetMs && !reset) {
                reset = true;
                TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonInitAdapter] 启用虚拟网卡 > 8秒");
                Cmd("resetadapter\n");
            }
            if (waited > t.adapterEnableLimitMs) {
                Ui(UI_CODE_MESSAGE, 190);
                LastError(50, "启用QEL虚拟网卡失败!");
                TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonInitAdapter] 启用虚拟网卡失败 %d, %s", 50,
                       "启用QEL虚拟网卡失败!");
                Ui(UPDATE_STATUS_OFFLINE);
                driver.CloseFilterHandler();
                return 0;
            }
        }
        Ui(UI_CODE_PROGRESS_TEXT, 192);
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonInitAdapter] 成功启用虚拟网卡");
    }
    if (m_deps.adapterCloseEvent == nullptr || !driver.SetAdapterCloseEvent(m_deps.adapterCloseEvent))
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonInitAdapter] 将虚网卡关闭事件句柄传给驱动失败");
    driver.CloseFilterHandler();
    return 1;
}

void TwAdapterSetup::LogoffUnInitAdapter() {
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogoffUnInitAdapter] enter");
    ChangeMediaStatus(0);
    m_deps.driver->StopShare();
    m_deps.driver->StopCapture();
    if (m_hooks.setDataPathActive) m_hooks.setDataPathActive(false);
}

int TwAdapterSetup::LogonConfigAdapter(bool relogon) {
    LogonSaveDefaultAddGatewayRoute();
    if (m_deps.driver->StartShare() != 1) {
        // The ring is another's (or gone): nothing of this session may be captured.
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonConfigAdapter] StartShare Failed.");
        return 0;
    }
    if (m_hooks.startReceiveThread) m_hooks.startReceiveThread();
    const char* failure = nullptr;
    if (!StartCapture()) {
        failure = "[LogonConfigAdapter] Start Capture Failed.";
    } else {
        if (m_hooks.setDataPathActive) m_hooks.setDataPathActive(true);
        ChangeMediaStatus(1);
        if (!LogonConfigAdapterStaticIpAddr()) {
            failure = "[LogonConfigAdapter] LogonConfigAdapterStaticIpAddr Failed.";
        } else if (!LogonConfigAdapterRoute(relogon)) {
            failure = "[LogonConfigAdapter] LogonConfigAdapterRoute Failed.";
        } else if (m_hooks.createRouteCheckThread && !m_hooks.createRouteCheckThread()) {
            failure = "[LogonConfigAdapter] LogonCreateRouteCheckThread Failed.";
        }
    }
    if (failure == nullptr) return 1;
    TW_LOG(LOG_CLIENT_LOGIN, 4, "%s", failure);
    if (m_hooks.disconnect) m_hooks.disconnect();
    LogoffConfigAdapter(false);
    Ui(UPDATE_STATUS_OFFLINE);
    if (relogon) Ui(UI_CODE_CLEAN_CACHE);
    return 0;
}

bool TwAdapterSetup::LogoffConfigAdapter(bool keepAdapterOpen) {
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogoffConfigAdapter] enter");
    if (!m_captureStarted) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogoffConfigAdapter] capture is not started, return");
        if (m_hooks.stopReceiveAndEventThreads) m_hooks.stopReceiveAndEventThreads();
        // A logon that stopped before its capture may still have added the gateway's host route or
        // moved the virtual subnet's route aside: those go back too.
        LogoffRecoverAdapterRoute(keepAdapterOpen);
        return true;
    }
    m_deps.driver->OpenFilterHandler();
    if (m_hooks.stopRouteCheckThread) m_hooks.stopRouteCheckThread();
    StopCapture();
    if (m_hooks.stopReceiveAndEventThreads) m_hooks.stopReceiveAndEventThreads();
    LogoffRecoverAdapterRoute(keepAdapterOpen);
    if (m_hooks.setArpAnswering) m_hooks.setArpAnswering(false);
    if (m_hooks.setDataPathActive) m_hooks.setDataPathActive(false);
    if (!keepAdapterOpen) {
        // On Windows the adapter's medium going down takes the tunnel's address and its routes
        // away; on Linux the address stays unless it is taken off.
        DropTunnelAddress();
        ChangeMediaStatus(0);
        m_deps.driver->CloseFilterHandler();
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogoffConfigAdapter] CloseFilterHandler");
    }
    return true;
}

bool TwAdapterSetup::StartCapture() {
    if (m_captureStarted) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[StartCapture] m_CaptureStarted is true, Capture already started");
        return true;
    }
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[StartCapture] Capture starting");
    CaptureStart session;
    {
        std::lock_guard<std::mutex> g(m_lock);
        session = {m_results.virtualIp,   m_results.mask,           m_results.localAddress,
                   m_results.peerAddress, m_results.cipherSelector, m_results.masterKey};
    }
    if (session.key.empty()) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[StartCapture] GetMasterKey failed");
        Ui(UI_CODE_MESSAGE, 164);
        LastError(46, "获取会话共享密钥失败!");
        return false;
    }
    void* handle = nullptr;
    const int ok = m_deps.driver->StartCapture(kVirtualAdapterMac, session, &handle);
    std::fill(session.key.begin(), session.key.end(), BYTE{0});
    if (!ok) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[StartCapture] FilterApi StartCapture failed");
        Ui(UI_CODE_MESSAGE, 165);
        LastError(47, "启动包捕获失败, 请检查软件是否安装正常。");
        return false;
    }
    m_adapterHandle = handle;
    SetQelAdapterInfo();
    m_captureStarted = true;
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[StartCapture] Capture successfully start");
    return true;
}

bool TwAdapterSetup::StopCapture() {
    if (!m_captureStarted) return true;
    std::lock_guard<std::mutex> g(m_lock);
    m_captureStarted = false;
    if (m_results.dns1 != 0 && m_virtualIfIndex != 0) WithdrawNameServers();
    const int ok = m_deps.driver->StopCapture();
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[StopCapture] NDIS Stop %s", ok ? "TRUE" : "FALSE");
    return ok != 0;
}

void TwAdapterSetup::ReleaseClosedAdapter() {
    std::lock_guard<std::mutex> g(m_lock);
    if (!m_captureStarted) return;
    m_captureStarted = false;
    if (m_results.dns1 != 0 && m_virtualIfIndex != 0) WithdrawNameServers();
}

std::string TwAdapterSetup::SetIpCommand(bool withNameServers) const {
    return "SetIP " + Ipv4TextHost(m_results.virtualIp) + " " + Ipv4TextHost(m_results.mask) + " " +
           Ipv4TextHost(withNameServers ? m_results.dns1 : 0) + " " +
           Ipv4TextHost(withNameServers ? m_results.dns2 : 0);
}

void TwAdapterSetup::ReportNameServersKept(int reply) {
    if (reply != kNetshSetDnsFail) return;
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[StopCapture] the machine's name servers could not be put back");
    LastError(kErrNameServersKept, kTextNameServersKept);
    m_deps.ui->Callback(UI_CODE_MESSAGE, kTextNameServersKept);
}

void TwAdapterSetup::WithdrawNameServers() {
    // The service withdraws the tunnel's name servers (the machine's own come back) when SetIP
    // names none; the address it names is the one the adapter holds already. The resolver puts back
    // what it saved whether the adapter is there or not: a deleted adapter's servers go too (the
    // service answers at once that there was no address to set).
    const bool gone = GetVirtualAdapterIndex() == 0;
    const int rc = Cmd(SetIpCommand(false));
    ReportNameServersKept(rc);
    if (gone) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[StopCapture] the virtual adapter is gone; DelInterfaceDns sent (%d)",
               rc);
        return;
    }
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[StopCapture] DelInterfaceDns %s", rc == kNetshDone ? "TRUE" : "FALSE");
}

void TwAdapterSetup::DropTunnelAddress() {
    if (!m_addressSet) return;
    const int index = GetVirtualAdapterIndex();
    if (index != 0) {
        char command[96];
        std::snprintf(command, sizeof(command), "netsh int ipv4 set address name=%d source=dhcp", index);
        Cmd(command);
    }
    m_addressSet = false;
}

bool TwAdapterSetup::FindAdapterWithAddress(DWORD* ifIndex) {
    std::vector<platform::AdapterInfo> adapters;
    if (m_deps.adapters->GetAdapters(&adapters) != platform::kErrorSuccess) return false;
    const DWORD vip = htonl(m_results.virtualIp);
    for (const auto& a : adapters) {
        if (a.macLength != 6 || std::memcmp(a.mac.data(), kVirtualAdapterMac, 6) != 0) continue;
        for (const auto& x : a.addresses) {
            if (x.address == vip) {
                *ifIndex = a.index;
                return true;
            }
        }
    }
    return false;
}

int TwAdapterSetup::LogonConfigAdapterStaticIpAddr() {
    const EngineTiming& t = m_deps.timing;
    DWORD useStatic = 0;
    bool staticSet = false, fellBack = false;
    if (m_deps.settings->GetDword(m_deps.settingsKey, platform::client_settings::kUseStatic, &useStatic) ==
            platform::kRegOk &&
        useStatic != 0) {
        staticSet = true;
        fellBack = NetshSetAdapterIP() == 3;
    }
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonConfigAdapterStaticIpAddr] vip:%x", m_results.virtualIp);
    const std::uint64_t start = m_deps.clock->TickMs();
    for (;;) {
        DWORD index = 0;
        if (FindAdapterWithAddress(&index)) {
            m_virtualIfIndex = index;
            m_deps.routeManager->SetVirtualIfIndex(index);
            if (m_hooks.setArpAnswering) m_hooks.setArpAnswering(true);
            return 1;
        }
        const std::uint64_t waited = m_deps.clock->TickMs() - start;
        if (waited >= t.adapterStaticIpMs && !staticSet) {
            m_deps.settings->SetDword(m_deps.settingsKey, platform::client_settings::kUseStatic, 1);
            staticSet = true;
            fellBack = NetshSetAdapterIP() == 3;
        }
        if (waited >= t.adapterAddressLimitMs) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonConfigAdapterStaticIpAddr] Start Adapter Failed.");
            Ui(UI_CODE_MESSAGE, fellBack ? 315 : 217);
            return 0;
        }
        // A cancel, a logoff or a quit ends the wait at once, as it ends the adapter's own.
        if (Pause(t.adapterPollMs, true)) {
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[LogonConfigAdapterStaticIpAddr] 用户取消登录");
            Ui(UI_CODE_PROGRESS_TEXT, 191);
            LastError(kErrCancelled, kTextCancelled);
            return 0;
        }
    }
}

int TwAdapterSetup::NetshSetAdapterIP() {
    const std::string setIp = SetIpCommand(true);
    const int rc = Cmd(setIp);
    // The address goes on even when the name servers fail; logoff takes it off either way.
    if (rc == kNetshDone || rc == kNetshSetDnsFail) m_addressSet = true;
    if (rc == kNetshDone) return 0;
    if (rc == kNetshSetDnsFail) return 2;
    if (rc != kNetshSetIpFail) return 1;
    if (m_deps.osType <= 10) return RestartAdapterAndSetIp(setIp);
    m_deps.settings->DeleteValue(m_deps.settingsKey, platform::client_settings::kUseStatic);
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[NetshSetAdapterIP] 删除注册表UseStatic");
    DWORD index = m_virtualIfIndex;
    if (index == 0) index = static_cast<DWORD>(GetVirtualAdapterIndex());
    char command[96];
    std::snprintf(command, sizeof(command), "netsh int ipv4 set address name=%d source=dhcp",
                  static_cast<int>(index));
    Cmd(command);
    Cmd("netsh int ip reset\n");
    return 3;
}

int TwAdapterSetup::RestartAdapterAndSetIp(const std::string& setIp) {
    const EngineTiming& t = m_deps.timing;
    AdapterDriver& driver = *m_deps.driver;
    const std::uint64_t start = m_deps.clock->TickMs();
    for (;;) {
        if (m_hooks.stopReceiveAndEventThreads) m_hooks.stopReceiveAndEventThreads();
        ChangeMediaStatus(0);
        driver.CloseFilterHandler();
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[NetshSetAdapterIP] CloseFilterHandler");
        // A cancelled logon tries no further: the address wait that follows sees the cancel too.
        if (Pause(t.adapterRestartPauseMs, true)) return 1;
        if (m_deps.sendRestart("RestartAdapter\n") == kRestartNoReply) return 3;
        const bool cancelled = Pause(t.adapterRestartSettleMs, true);
        driver.OpenFilterHandler();
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[NetshSetAdapterIP] OpenFilterHandler");
        if (cancelled || driver.StartShare() != 1) return cancelled ? 1 : 0;
        if (m_hooks.startReceiveThread) m_hooks.startReceiveThread();
        m_captureStarted = false;
        StartCapture();
        ChangeMediaStatus(1);
        const int rc = Cmd(setIp);
        if (rc == kNetshDone) m_addressSet = true;
        if (rc != kNetshSetIpFail) return rc == kNetshDone ? 0 : 1;
        if (m_deps.clock->TickMs() - start >= t.adapterRestartLimitMs) return 1;
    }
}

void TwAdapterSetup::SetQelAdapterInfo() {
    TW_IPCONFIG_REQUEST request{};
    request.adapterId = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(m_adapterHandle));
    TW_IPCONFIG& c = request.config;
    c.m_nIP = 1;
    c.m_IP[0].IpAddress = htonl(m_results.virtualIp);
    c.m_IP[0].Netmask = htonl(m_results.mask);
    c.m_IP[0].Broadcast = htonl(m_results.virtualIp | ~m_results.mask);
    c.m_nDHCP = 0;
    c.m_nGW = 1;
    c.RouterAddr[0] = htonl(m_results.virtualIp);
    c.m_nDNS = 2;
    if (m_results.dns1 != 0) {
        c.DnsServer[0] = htonl(m_results.dns1);
        c.DnsServer[1] = htonl(m_results.dns2);
    } else {
        c.DnsServer[0] = htonl(m_results.dns2);
    }
    c.WinsServer1 = htonl(m_results.wins1);
    c.WinsServer2 = htonl(m_results.wins2);
    TW_LOG(LOG_CLIENT_LOGIN, 4,
           "[SetQelAdapterInfo] DhcpEntry.m_IpAddress = 0x%08x, m_ulPriIfIPAddr = 0x%08x",
           c.m_IP[0].IpAddress, m_results.virtualIp);
    const int rc = m_deps.driver->SetIPConfig(&request);
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[SetQelAdapterInfo] SetIPConfig的结果是%d", rc);
}

int TwAdapterSetup::GetVirtualAdapterIndex() {
    TW_LOG(LOG_CLIENT_LOGIN, 5, "[GetVirtualAdapterIndex] virtual adapter IP mismatch");
    std::vector<platform::AdapterInfo> adapters;
    if (m_deps.adapters->GetAdapters(&adapters) != platform::kErrorSuccess) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[GetVirtualAdapterIndex]adapter_info == NULL");
        return 0;
    }
    for (const auto& a : adapters) {
        // On Windows a disabled adapter is not in the system's list; on Linux it is, down.
        if (a.macLength == 6 && std::memcmp(a.mac.data(), kVirtualAdapterMac, 6) == 0 && a.up) {
            TW_LOG(LOG_CLIENT_LOGIN, 5, "[GetVirtualAdapterIndex] Get adapter index, %d",
                   static_cast<int>(a.index));
            return static_cast<int>(a.index);
        }
    }
    return 0;
}

int TwAdapterSetup::ChangeMediaStatus(int connected) {
    TW_MEDIA_STATUS status{};
    std::memcpy(status.mac, kVirtualAdapterMac, 6);
    status.state = connected ? 1 : 0;
    const int rc = m_deps.driver->SetAdapterMediaStatus(&status);
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[ChangeMediaStatus] SetAdapterMediaStatus返回值为%d", rc);
    return 1;
}

int TwAdapterSetup::GetMediaStatus() {
    TW_MEDIA_STATUS status{};
    std::memcpy(status.mac, kVirtualAdapterMac, 6);
    if (!m_deps.driver->GetAdapterMediaStatus(&status)) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[GetMediaStatus] GetAdapterMediaStatus fail ,lasterror %d",
               static_cast<int>(platform::GetLastError()));
        return 0;
    }
    if (status.state != 0) {
        TW_LOG(LOG_CLIENT_LOGIN, 4, "[GetMediaStatus] MediaStatus.m_bMediaConnected == TRUE");
        return 1;
    }
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[GetMediaStatus] MediaStatus.m_bMediaConnected == FALSE");
    return 0;
}

bool TwAdapterSetup::TestTransferDataOk() {
    const EngineTiming& t = m_deps.timing;
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[TestTransferDataOk] enter");
    const DWORD resource = m_probeResource, virtualIp = m_results.virtualIp;
    TW_TEST_PROXY_REQUEST request{kProbePort, htonl(resource), htonl(virtualIp)};
    m_deps.driver->TestProxyInform(&request);
    TW_LOG(LOG_CLIENT_LOGIN, 4, "[TestTransferDataOk] resip=0x%x, virip=0x%x", resource, virtualIp);
    // A logoff or quit that comes meanwhile ends the probing.
    bool cancelled = false;
    for (int i = 0; i < 4 && !cancelled; ++i) {
        if ((cancelled = Pause(t.dataTestGapMs, true))) break;
        if (resource == 0 || !m_deps.sendProbe(htonl(resource), kProbePort, " TestProxyData\r\n"))
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[TestTransferDataOk] resip test failed");
        if ((cancelled = Pause(t.dataTestGapMs, true))) break;
        if (virtualIp == 0 || !m_deps.sendProbe(htonl(virtualIp), kProbePort, " TestVirnetData\r\n"))
            TW_LOG(LOG_CLIENT_LOGIN, 4, "[TestTransferDataOk] virip test failed");
    }
    if (!cancelled) Pause(t.dataTestEndMs, true);
    m_deps.driver->TestProxyInformEnd();
    return true;
}

bool TwAdapterSetup::CaptureStarted() const { return m_captureStarted; }
bool TwAdapterSetup::ExistResRoute() const { return m_existResRoute; }
DWORD TwAdapterSetup::VirtualIfIndex() const { return m_virtualIfIndex; }
bool TwAdapterSetup::GatewayRouteExisted() const { return m_gatewayRouteExisted; }
void TwAdapterSetup::SetGatewayRouteExisted(bool existed) { m_gatewayRouteExisted = existed; }
DWORD TwAdapterSetup::ResourceProbeAddress() const { return m_probeResource; }
DWORD TwAdapterSetup::NextHopProbeAddress() const { return m_probeNextHop; }
std::size_t TwAdapterSetup::LastRestoreMissing() const { return m_restoreMissing; }

}  // namespace engine
