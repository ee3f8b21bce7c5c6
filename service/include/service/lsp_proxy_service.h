// The service class of Lunther: starts the HTTP control server, the pipe command server and the
// GUI watchdog, and stops them in that order. The HTTP server's failure is logged and the other
// two still run; the pipe's failure leaves the service running with the other two.
//
// Threads: InitializeService and ProcessStop run on the service layer's control thread (TwService
// keeps them from overlapping); each part has its own threads, and ProcessStop returns only when
// all of them have ended. A stop during a slow request lets that request finish.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/local_pipe.h"
#include "service/control_server.h"
#include "service/gui_watchdog.h"
#include "service/netsh_operations.h"
#include "service/netshell_server.h"
#include "service/systemd_unit.h"
#include "tavish/tw_service.h"

namespace service {

constexpr const char* kServiceName = "Lunther";

struct LSPProxyServiceOptions {
    ServiceFacilities facilities;
    ServiceTiming timing;
    const platform::Clock* clock = nullptr;          // every part's waits; null: the system clock
    ClientLauncher* launcher = nullptr;              // null: the active seat's user (SessionClientLauncher)
    std::string pipePath;                            // empty: NetshPipePath()
    std::optional<platform::PeerPolicy> pipePolicy;  // empty: NetshPipePolicy()
    NetshOperationsOptions operations;               // its timing and clock are replaced by ours
    NetshOperations* commands = nullptr;             // null: SystemNetshOperations over `facilities`
    WatchdogOptions watchdog;                        // its timing and clock are replaced by ours
    // Makes the HTTP control server; empty: none is run.
    std::function<std::unique_ptr<ControlServer>(ClientLauncher&)> makeControlServer;
    std::uint16_t httpPort = kHttpControlPort;
    SystemdPaths systemd;  // where "-i" and "-u" look for systemd
};

class LSPProxyService final : public TwService {
public:
    explicit LSPProxyService(LSPProxyServiceOptions options = {});
    ~LSPProxyService() override;

    void InitializeService() override;
    void ProcessStop() override;

    // The stop that the service layer's stop request makes, asked for from any thread (SIGTERM);
    // nothing when no service runs in this process.
    static void RequestStop();

    // What runs now (tests).
    bool PipeRunning() const { return m_Worker != nullptr; }
    bool WatchdogRunning() const { return m_GuiCheck != nullptr; }
    bool ControlServerRunning() const { return m_ProxyServer != nullptr; }

private:
    LSPProxyServiceOptions m_options;
    std::unique_ptr<ClientLauncher> m_ownLauncher;
    ClientLauncher* m_launcher = nullptr;
    std::unique_ptr<SystemNetshOperations> m_operations;
    std::unique_ptr<ControlServer> m_ProxyServer;
    std::unique_ptr<NetShellServiceThread> m_Worker;
    std::unique_ptr<CheckGUIThread> m_GuiCheck;
};

// The program's whole main: the service under its name, with the given arguments. Without
// arguments SIGTERM stops it as the service layer's stop does; "-i" and "-u" also write and remove
// the systemd unit where systemd runs the machine, and say where.
int LuntherMain(int argc, char** argv, LSPProxyServiceOptions options = {});

}  // namespace service
