#include "olvane_daemon.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <random>
#include <sys/eventfd.h>
#include <unistd.h>

#include "platform/filter_device.h"
#include "platform/settings_store.h"
#include "trace.h"

namespace olvane {

namespace {

std::string NewGuid() {
    std::random_device rd;
    char text[40];
    std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%04X-%04X%08X}", rd(), rd() & 0xFFFF,
                  (rd() & 0x0FFF) | 0x4000, (rd() & 0x3FFF) | 0x8000, rd() & 0xFFFF, rd());
    return text;
}

}  // namespace

bool InstallDefaultAdapter(platform::SettingsStore& store) {
    std::vector<std::string> names;
    store.EnumKeys(kAdapterClassKey, &names);
    for (const std::string& n : names) {
        std::string component;
        if (store.GetString(std::string(kAdapterClassKey) + "\\" + n, "ComponentId", &component) ==
                platform::kRegOk &&
            component.find(kComponentId) != std::string::npos) {
            return true;
        }
    }
    // The first free four-digit subkey.
    std::string sub;
    for (int i = 0; i < 10000; ++i) {
        char buf[8];
        std::snprintf(buf, sizeof(buf), "%04d", i);
        if (store.OpenKey(std::string(kAdapterClassKey) + "\\" + buf) != platform::kRegOk) {
            sub = buf;
            break;
        }
    }
    if (sub.empty()) return false;
    const std::string key = std::string(kAdapterClassKey) + "\\" + sub;
    const std::string guid = NewGuid();
    bool ok = store.SetString(key, "ComponentId", kComponentId) == platform::kRegOk;
    ok = ok && store.SetString(key, "NetCfgInstanceId", guid) == platform::kRegOk;
    ok = ok &&
         store.SetString(key, "vendorDescription", "Morvane Virtual Network Adapter") == platform::kRegOk;
    ok = ok && store.SetString(key, "macAddress", "00FFFFFF000*") == platform::kRegOk;
    ok = ok && store.SetString(key, "linkSpeed", "1000000") == platform::kRegOk;
    ok = ok && store.SetString(key, "transmitBufferSize", "65536") == platform::kRegOk;
    ok = ok && store.SetString(key, "receiveBufferSize", "65536") == platform::kRegOk;
    ok = ok && store.SetString(key, "transmitBlockSize", "1514") == platform::kRegOk;
    ok = ok && store.SetString(key, "receiveBlockSize", "1514") == platform::kRegOk;
    ok = ok && store.SetString(key, "selfLoopback", "0") == platform::kRegOk;
    ok = ok && store.SetString(key, "maximumFrameSize", "1500") == platform::kRegOk;
    ok = ok && store.SetString(key + "\\Linkage", "Export", "\\Device\\" + guid) == platform::kRegOk;
    return ok;
}

TwOlvaneDaemon::TwOlvaneDaemon() { m_stopFd.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)); }

TwOlvaneDaemon::~TwOlvaneDaemon() {
    Stop();
    m_stopFd.Reset();
}

bool TwOlvaneDaemon::Start(DaemonOptions options, std::string* error) {
    if (m_started) return false;
    try {
        if (options.installDefaultAdapter) InstallDefaultAdapter(*platform::SettingsStore::Machine());
    } catch (...) {
        if (error != nullptr) *error = "the settings store cannot be opened";
        return false;
    }
    const std::string prefix = options.driver.ifNamePrefix;
    if (options.listRealAdapters && !options.driver.linkLister) {
        options.driver.linkLister = [prefix] { return ListRealLinks(prefix); };
    }
    if (!DriverEntry(options.driver)) {
        if (error != nullptr) *error = "the driver is already running in this process";
        return false;
    }
    const std::string path = options.devicePath.empty() ? platform::FilterDevicePath() : options.devicePath;
    bool groupFound = false;
    const auto policy = platform::PeerPolicy::RootOrGroupNamed(options.deviceGroup, &groupFound);
    if (!groupFound) {
        DbgPrint("QelMini: group %s does not exist; only root may open the control device\n",
                 options.deviceGroup.c_str());
    }
    if (!m_server.Start(path, policy)) {
        if (error != nullptr) *error = "control device " + path + ": " + std::strerror(errno);
        DriverUnload();
        return false;
    }
    if (options.listRealAdapters) {
        m_monitor.Start([] {
            if (TwMiniportGlobal* g = Globals()) g->m_Work.Queue(SyncRealAdapters);
        });
    }
    m_started = true;
    DbgPrint("QelMini started\n");
    return true;
}

void TwOlvaneDaemon::RequestStop() {
    std::uint64_t one = 1;
    (void)!::write(m_stopFd.Get(), &one, sizeof(one));
}

bool TwOlvaneDaemon::Wait(int timeoutMs) {
    pollfd p{m_stopFd.Get(), POLLIN, 0};
    for (;;) {
        int n = ::poll(&p, 1, timeoutMs);
        if (n < 0 && errno == EINTR) continue;
        return n > 0;
    }
}

MainWaitEnd WaitForTermination(int signalFd, int stopFd, PollFunction pollFn) {
    pollfd fds[2] = {{signalFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    for (;;) {
        if (pollFn(fds, 2, -1) >= 0) break;
        const int err = errno;
        if (err == EINTR) continue;
        DbgPrint("QelMini: poll failed (%s), stopping\n", std::strerror(err));
        return MainWaitEnd::kPollError;
    }
    return fds[0].revents != 0 ? MainWaitEnd::kSignal : MainWaitEnd::kStopRequest;
}

void TwOlvaneDaemon::Stop() {
    if (!m_started) return;
    m_monitor.Stop();
    m_server.Stop();
    DriverUnload();
    m_started = false;
    DbgPrint("QelMini stopped\n");
}

}  // namespace olvane
