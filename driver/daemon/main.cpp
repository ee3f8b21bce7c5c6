// Olvane: the virtual-adapter driver daemon (service QelMini). Runs in the foreground until
// SIGTERM, SIGINT or a stop request.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/signalfd.h>
#include <unistd.h>

#include "olvane_daemon.h"
#include "platform/unique_fd.h"
#include "trace.h"

int main(int argc, char** argv) {
    olvane::DaemonOptions options;
    FILE* traceFile = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--ring-layout=32") {
            options.driver.ringLayout = olvane::RingLayout::k32;
        } else if (arg == "--ring-layout=64") {
            options.driver.ringLayout = olvane::RingLayout::k64;
        } else if (arg.rfind("--protocol-delay-ms=", 0) == 0 && arg.size() > 20 && arg.size() < 28 &&
                   arg.find_first_not_of("0123456789", 20) == std::string::npos) {
            options.driver.timing.startDelayMs =
                static_cast<std::uint32_t>(std::strtoul(arg.c_str() + 20, nullptr, 10));
        } else if (arg.rfind("--device-group=", 0) == 0 && arg.size() > 15 && arg.size() < 15 + 256) {
            options.deviceGroup = arg.substr(15);
        } else if (arg.rfind("--trace-file=", 0) == 0 && arg.size() > 13) {
            traceFile = std::fopen(arg.c_str() + 13, "a");
            if (traceFile == nullptr) {
                std::fprintf(stderr, "Olvane: cannot open %s\n", arg.c_str() + 13);
                return 2;
            }
        } else {
            std::fprintf(stderr,
                         "usage: Olvane [--ring-layout=32|64] [--protocol-delay-ms=N] [--device-group=NAME] "
                         "[--trace-file=PATH]\n");
            return 2;
        }
    }
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
