// qel_engine_client: one session of the connection engine from the command line (see README.md).
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "cli_options.h"
#include "engine_client.h"

int main(int argc, char** argv) {
    qelcli::CliOptions options;
    std::string error;
    if (!qelcli::ParseCommandLine(argc, argv, &options, &error)) {
        std::fprintf(
            stderr,
            "qel_engine_client: %s\nusage: qel_engine_client -server HOST -port N -user NAME [-proxy "
            "HOST:PORT] [-proxy-user NAME] [-timing NAME=MS,...] [-logoff-after SECONDS] [-config FILE]\n",
            error.c_str());
        return qelcli::kExitUsage;
    }
    // Signals are taken by one thread of our own, so every engine thread runs with them blocked.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::atomic<bool> stop{false};
    std::thread waiter([&] {
        int signal = 0;
        sigwait(&set, &signal);
        stop = true;
    });
    const int result = qelcli::RunEngineClient(options, stop, stdout);
    // Wakes the signal thread if no signal came.
    if (!stop.load()) kill(getpid(), SIGTERM);
    waiter.join();
    return result;
}
