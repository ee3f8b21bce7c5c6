// qel_test_gateway: the test gateway as a program. Options: see gateway_config.h.
#include <signal.h>

#include <cstdio>
#include <string>

#include "gateway/test_gateway.h"

int main(int argc, char** argv) {
    qelgw::GatewayConfig config;
    std::string error;
    if (!config.ParseArgs(argc, argv, &error)) {
        std::fprintf(stderr, "qel_test_gateway: %s\n", error.c_str());
        return 2;
    }
    // Ended by SIGINT or SIGTERM, taken synchronously so that Stop runs on this thread.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    qelgw::TestGateway gateway(config);
    if (!gateway.Start(&error)) {
        std::fprintf(stderr, "qel_test_gateway: %s\n", error.c_str());
        return 1;
    }
    std::printf("state in %s\nlistening on %u\n", gateway.Config().stateDir.c_str(), gateway.Port());
    std::fflush(stdout);
    int signal = 0;
    sigwait(&stopSignals, &signal);
    gateway.Stop();
    return 0;
}
