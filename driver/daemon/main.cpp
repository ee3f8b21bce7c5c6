// Olvane: the virtual-adapter driver daemon (service QelMini). Runs in the foreground until
// SIGTERM, SIGINT or a stop request. Started by the service layer as QelMini (QEL_SERVICE_NAME), it
// runs under that layer's dispatcher instead, so that the service layer can query and stop it.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/signalfd.h>
#include <unistd.h>

#include "olvane_daemon.h"
#include "platform/instance_lock.h"
#include "platform/machine_root.h"
#include "platform/service_control.h"
#include "platform/unique_fd.h"
#include "trace.h"

namespace {

constexpr const char* kServiceName = "QelMini";

struct ServiceRun {
    olvane::DaemonOptions options;
    int signalFd = -1;
    olvane::TwOlvaneDaemon* daemon = nullptr;
    platform::SERVICE_STATUS_HANDLE handle = nullptr;
    int exitCode = 0;
};
ServiceRun g_run;

void ReportState(DWORD state, DWORD exitCode = 0) {
    const platform::SERVICE_STATUS st{platform::SERVICE_WIN32_OWN_PROCESS,
                                      state,
                                      state == platform::SERVICE_RUNNING ? platform::SERVICE_ACCEPT_STOP : 0u,
                                      exitCode,
                                      0,
                                      0,
                                      0};
    platform::SetServiceStatus(g_run.handle, &st);
}

// The dispatcher's handler: a stop wakes the daemon's main wait like a signal does.
void ServiceHandler(DWORD control) {
    if (control == platform::SERVICE_CONTROL_STOP && g_run.daemon != nullptr) {
        ReportState(platform::SERVICE_STOP_PENDING);
        g_run.daemon->RequestStop();
        return;
    }
    ReportState(platform::SERVICE_RUNNING);
}

void ServiceMainFunction(DWORD /*argc*/, char** /*argv*/) {
    g_run.handle = platform::RegisterServiceCtrlHandler(kServiceName, ServiceHandler);
    if (g_run.handle == nullptr) return;
    olvane::TwOlvaneDaemon daemon;
    std::string error;
    if (!daemon.Start(g_run.options, &error)) {
        std::fprintf(stderr, "Olvane: %s\n", error.c_str());
        g_run.exitCode = 1;
        ReportState(platform::SERVICE_STOPPED, 1);
        return;
    }
    g_run.daemon = &daemon;
    ReportState(platform::SERVICE_RUNNING);
    const bool failed =
        olvane::WaitForTermination(g_run.signalFd, daemon.StopFd()) == olvane::MainWaitEnd::kPollError;
    daemon.Stop();
    g_run.daemon = nullptr;
    g_run.exitCode = failed ? 1 : 0;
    ReportState(platform::SERVICE_STOPPED, static_cast<DWORD>(g_run.exitCode));
}

bool StartedAsService() {
    const char* name = std::getenv("QEL_SERVICE_NAME");
    return name != nullptr && std::strcmp(name, kServiceName) == 0;
}

// The command line into `options` and `traceFile` (opened for appending); false after the
// usage or the trace file's error was printed.
bool ReadCommandLine(int argc, char** argv, olvane::DaemonOptions* options, FILE** traceFile) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--ring-layout=32") {
            options->driver.ringLayout = olvane::RingLayout::k32;
        } else if (arg == "--ring-layout=64") {
            options->driver.ringLayout = olvane::RingLayout::k64;
        } else if (arg.rfind("--protocol-delay-ms=", 0) == 0 && arg.size() > 20 && arg.size() < 28 &&
                   arg.find_first_not_of("0123456789", 20) == std::string::npos) {
            options->driver.timing.startDelayMs =
                static_cast<std::uint32_t>(std::strtoul(arg.c_str() + 20, nullptr, 10));
        } else if (arg.rfind("--device-group=", 0) == 0 && arg.size() > 15 && arg.size() < 15 + 256) {
            options->deviceGroup = arg.substr(15);
        } else if (arg.rfind("--trace-file=", 0) == 0 && arg.size() > 13) {
            *traceFile = std::fopen(arg.c_str() + 13, "a");
            if (*traceFile == nullptr) {
                std::fprintf(stderr, "Olvane: cannot open %s\n", arg.c_str() + 13);
                return false;
            }
        } else {
            std::fprintf(stderr,
                         "usage: Olvane [--ring-layout=32|64] [--protocol-delay-ms=N] [--device-group=NAME] "
                         "[--trace-file=PATH]\n");
            return false;
        }
    }
    return true;
}

// Started from a terminal or a script rather than the service layer: runs until SIGTERM or SIGINT.
int RunInForeground(const olvane::DaemonOptions& options, int sfd, FILE* traceFile) {
    olvane::TwOlvaneDaemon daemon;
    std::string error;
    if (sfd < 0 || !daemon.Start(options, &error)) {
        std::fprintf(stderr, "Olvane: %s\n", error.c_str());
        return 1;
    }
    if (olvane::VirtualAdapterCount() == 0) {
        std::fprintf(stderr,
                     "Olvane: no virtual adapter could be created (TAP devices need CAP_NET_ADMIN)\n");
    }
    std::printf("Olvane: running\n");
    std::fflush(stdout);
    const bool failed = olvane::WaitForTermination(sfd, daemon.StopFd()) == olvane::MainWaitEnd::kPollError;
    if (failed) std::fprintf(stderr, "Olvane: waiting for a stop request failed\n");
    daemon.Stop();
    olvane::SetTraceSink({});
    if (traceFile != nullptr) std::fclose(traceFile);
    std::printf("Olvane: stopped\n");
    return failed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    olvane::DaemonOptions options;
    // The group the machine's install chose, unless the command line names another.
    options.deviceGroup = platform::ClientGroupName();
    FILE* traceFile = nullptr;
    if (!ReadCommandLine(argc, argv, &options, &traceFile)) return 2;
    // A second daemon on this machine root would take over the control device's path and remove
    // it when it ends, leaving the first one unreachable: it does not start at all.
    platform::InstanceLock instance;
    bool held = false;
    std::string why;
    if (!instance.Acquire(kServiceName, &held, &why)) {
        std::fprintf(stderr, "Olvane: %s\n", why.c_str());
        if (traceFile != nullptr) std::fclose(traceFile);
        return 1;
    }
    // The client's users meet there, and cannot make the folders in root's runtime folder.
    if (!platform::MakeSharedRuntimeDirs())
        std::fprintf(stderr, "Olvane: the shared runtime folders are refused\n");
    if (traceFile != nullptr) {
        // The driver's traces (GlobalDebugFlag selects them) go to the file, one line each.
        olvane::SetTraceSink([traceFile](std::string_view line) {
            std::fwrite(line.data(), 1, line.size(), traceFile);
            std::fflush(traceFile);
        });
    }
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);  // before any thread starts
    const platform::UniqueFd signals(signalfd(-1, &set, SFD_CLOEXEC));
    const int sfd = signals.Get();
    if (StartedAsService() && sfd >= 0) {
        g_run.options = options;
        g_run.signalFd = sfd;
        const DWORD rc = platform::RunServiceDispatcher(kServiceName, ServiceMainFunction);
        olvane::SetTraceSink({});
        if (traceFile != nullptr) std::fclose(traceFile);
        return rc == platform::kErrorSuccess ? g_run.exitCode : 1;
    }
    return RunInForeground(options, sfd, traceFile);
}
