// Real adapters as rtnetlink lists them, and a monitor that reports link changes. The frames
// of these adapters are never captured: the driver only knows they exist.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "miniport_global.h"
#include "platform/unique_fd.h"

struct nl_sock;

namespace olvane {

// Ethernet links of this network namespace except loopback and names starting with `skipPrefix`.
std::vector<RealLink> ListRealLinks(const std::string& skipPrefix);

// Calls `changed` (on its own thread) after every link message. Stop() joins the thread.
class TwLinkMonitor {
public:
    TwLinkMonitor() = default;
    ~TwLinkMonitor();
    bool Start(std::function<void()> changed);
    void Stop();

private:
    void Run();
    std::function<void()> m_changed;
    platform::UniqueFd m_stopFd;
    struct nl_sock* m_sock = nullptr;
    std::thread m_thread;
};

}  // namespace olvane
