// The Olvane daemon (service QelMini): the whole driver over TAP devices, its control device
// socket and the link monitor. Start/Stop may be called from one thread; RequestStop from any
// thread or a signal-handling thread. Stop joins every thread and closes every TAP device.
#pragma once
#include <atomic>
#include <memory>
#include <poll.h>
#include <string>

#include "control_server.h"
#include "link_monitor.h"
#include "miniport_global.h"
#include "platform/unique_fd.h"

namespace platform {
class SettingsStore;
}

namespace olvane {

struct DaemonOptions {
    DriverConfig driver;
    std::string devicePath;  // empty: platform::FilterDevicePath()
    // Besides root, members of this group may open the control device. A group that does not
    // exist leaves the device to root alone.
    std::string deviceGroup = "qel";
    bool listRealAdapters = true;  // rtnetlink listing and link monitor
    bool installDefaultAdapter = true;
};

// Writes the first adapter instance ("0000") under the adapter class key, as a driver package
// installs it, when no instance of our component exists. true when one exists afterwards.
bool InstallDefaultAdapter(platform::SettingsStore& store);

// Why the daemon's main wait ended.
enum class MainWaitEnd { kSignal, kStopRequest, kPollError };
using PollFunction = int (*)(pollfd*, nfds_t, int);
// The daemon's main wait: for a termination signal (readable `signalFd`) or a stop request
// (readable `stopFd`). An interrupted poll is repeated; any other poll failure would recur at
// once, so it ends the wait (traced) and the daemon stops instead of spinning.
MainWaitEnd WaitForTermination(int signalFd, int stopFd, PollFunction pollFn = ::poll);

class TwOlvaneDaemon {
public:
    TwOlvaneDaemon();
    ~TwOlvaneDaemon();
    bool Start(DaemonOptions options, std::string* error);
    // Thread-safe; wakes Wait().
    void RequestStop();
    // Waits for a stop request; false on timeout.
    bool Wait(int timeoutMs = -1);
    void Stop();
    int StopFd() const { return m_stopFd.Get(); }

private:
    platform::UniqueFd m_stopFd;
    bool m_started = false;
    TwControlServer m_server;
    TwLinkMonitor m_monitor;
};

}  // namespace olvane
