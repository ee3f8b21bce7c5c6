// Olvane: the virtual-adapter driver daemon (service QelMini). Runs in the foreground until
// SIGTERM, SIGINT or a stop request.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/signalfd.h>
#include <unistd.h>

#include "olvane_daemon.h"

int main(int argc, char** argv) {
    olvane::DaemonOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--ring-layout=32") {
            options.driver.ringLayout = olvane::RingLayout::k32;
        } else if (arg == "--ring-layout=64") {
            options.driver.ringLayout = olvane::RingLayout::k64;
        } else if (arg.rfind("--protocol-delay-ms=", 0) == 0) {
            options.driver.timing.startDelayMs = static_cast<std::uint32_t>(std::stoul(arg.substr(20)));
        } else {
            std::fprintf(stderr, "usage: Olvane [--ring-layout=32|64] [--protocol-delay-ms=N]\n");
            return 2;
        }
    }
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);  // before any thread starts
    int sfd = signalfd(-1, &set, SFD_CLOEXEC);
    olvane::TwOlvaneDaemon daemon;
    std::string error;
    if (sfd < 0 || !daemon.Start(options, &error)) {
        std::fprintf(stderr, "Olvane: %s\n", error.c_str());
        return 1;
    }
    std::printf("Olvane: running\n");
    std::fflush(stdout);
    pollfd fds[2] = {{sfd, POLLIN, 0}, {daemon.StopFd(), POLLIN, 0}};
    while (::poll(fds, 2, -1) < 0) {
    }
    daemon.Stop();
    ::close(sfd);
    std::printf("Olvane: stopped\n");
    return 0;
}
