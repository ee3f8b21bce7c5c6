// The service class: start and stop of its three servers.
#include "service/lsp_proxy_service.h"

#include <cstdio>
#include <mutex>

#include "platform/instance_lock.h"
#include "platform/machine_root.h"
#include "platform/process.h"
#include "service/proxy_server.h"
#include "service/termination_watch.h"
#include "service_log.h"

namespace service {
namespace {

// The service a stop request from a signal may reach: cleared, under the lock, before the object
// goes, so that a late SIGTERM never reaches a deleted service.
std::mutex g_stopLock;
LSPProxyService* g_stoppable = nullptr;

}  // namespace

LSPProxyService::LSPProxyService(LSPProxyServiceOptions options)
    : TwService("LSPProxyService"), m_options(std::move(options)) {
    {
        std::lock_guard<std::mutex> g(g_stopLock);
        if (g_stoppable == nullptr) g_stoppable = this;
    }
    if (m_options.launcher == nullptr) m_ownLauncher = std::make_unique<SessionClientLauncher>();
    m_launcher = m_options.launcher != nullptr ? m_options.launcher : m_ownLauncher.get();
    m_options.operations.timing = m_options.timing;
    m_options.watchdog.timing = m_options.timing;
    m_options.operations.clock = m_options.clock;
    m_options.watchdog.clock = m_options.clock;
    if (m_options.pipePath.empty()) m_options.pipePath = NetshPipePath();
}

LSPProxyService::~LSPProxyService() {
    {
        std::lock_guard<std::mutex> g(g_stopLock);
        if (g_stoppable == this) g_stoppable = nullptr;
    }
    ProcessStop();
}

void LSPProxyService::InitializeService() {
    SVC_LOG("[LSPProxyService] InitializeService: 初始化并启动代理服务器");
    if (m_options.makeControlServer) {
        m_ProxyServer = m_options.makeControlServer(*m_launcher);
        if (m_ProxyServer && !m_ProxyServer->Start(m_options.httpPort)) m_ProxyServer.reset();
    }
    NetshOperations* commands = m_options.commands;
    if (commands == nullptr) {
        m_operations =
            std::make_unique<SystemNetshOperations>(m_options.facilities, *m_launcher, m_options.operations);
        commands = m_operations.get();
    }
    m_Worker = std::make_unique<NetShellServiceThread>(
        *commands, m_options.pipePolicy ? *m_options.pipePolicy : NetshPipePolicy());
    if (!m_Worker->Start(m_options.pipePath)) m_Worker.reset();
    m_GuiCheck = std::make_unique<CheckGUIThread>(m_options.facilities, m_options.watchdog);
    if (m_GuiCheck->Create(0) == 0) {
        SVC_LOG("[LSPProxyService] InitializeService: the watchdog thread could not be created");
        m_GuiCheck.reset();
    } else {
        m_GuiCheck->Resume();
    }
    SVC_LOG("[LSPProxyService] InitializeService: 服务已启动，初始化结束");
}

void LSPProxyService::ProcessStop() {
    if (m_ProxyServer) {
        SVC_LOG("[LSPProxyService::ProcessStop] 停止代理服务器");
        m_ProxyServer->Stop();
        SVC_LOG("[LSPProxyService::ProcessStop] 删除代理服务器");
        m_ProxyServer.reset();
    }
    if (m_Worker) {
        SVC_LOG("[LSPProxyService::ProcessStop] befor stop m_Worker");
        m_Worker->Stop();
        m_Worker.reset();
        SVC_LOG("[LSPProxyService::ProcessStop] after stop m_Worker");
    }
    m_operations.reset();
    if (m_GuiCheck) {
        SVC_LOG("[LSPProxyService::ProcessStop] befor stop m_GuiCheck");
        m_GuiCheck->Terminate();
        m_GuiCheck.reset();
        SVC_LOG("[LSPProxyService::ProcessStop] after stop m_GuiCheck");
    }
}

void LSPProxyService::RequestStop() {
    std::lock_guard<std::mutex> g(g_stopLock);
    if (g_stoppable != nullptr) MyControlHandler(platform::SERVICE_CONTROL_STOP);
}

int LuntherMain(int argc, char** argv, LSPProxyServiceOptions options) {
    if (!options.makeControlServer) {
        options.makeControlServer = [](ClientLauncher& launcher) {
            return std::make_unique<ProxyServer>(launcher);
        };
    }
    const std::string mode = argc >= 2 && argv[1] != nullptr ? argv[1] : "";
    // A second service on this machine root would take over the pipe's path and remove it when it
    // ends, leaving the first one unreachable: it does not start at all. Held while it runs.
    platform::InstanceLock instance;
    if (mode.empty() || mode == "-t") {
        bool held = false;
        std::string why;
        if (!instance.Acquire(kServiceName, &held, &why)) {
            std::fprintf(stderr, "%s: %s\n", kServiceName, why.c_str());
            SVC_LOG("[LuntherMain] not started: %s", why.c_str());
            return 1;
        }
        // The client's users meet there, and cannot make the folders in root's runtime folder.
        if (!platform::MakeSharedRuntimeDirs())
            SVC_LOG("[LuntherMain] the shared runtime folders are refused");
    }
    const SystemdPaths systemd = options.systemd;
    auto* service = new LSPProxyService(std::move(options));
    // ServiceMain deletes the object before it returns.
    if (mode.empty()) {
        const StopOnTermination watch(&LSPProxyService::RequestStop);
        return service->ServiceMain(kServiceName, argc, argv);
    }
    const int rc = service->ServiceMain(kServiceName, argc, argv);
    std::string path;
    if (mode == "-i") {
        if (!InstallSystemdUnit(platform::ProgramPath(), systemd, &path)) {
            std::printf("%s: the systemd unit could not be written\n", kServiceName);
        } else if (!path.empty()) {
            std::printf("%s: systemd unit written to %s\n", kServiceName, path.c_str());
        }
    } else if (mode == "-u") {
        if (!RemoveSystemdUnit(systemd, &path)) {
            std::printf("%s: the systemd unit could not be removed\n", kServiceName);
        } else if (!path.empty()) {
            std::printf("%s: systemd unit %s removed\n", kServiceName, path.c_str());
        }
    }
    std::fflush(stdout);
    return rc;
}

}  // namespace service
