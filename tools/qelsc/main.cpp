// qelsc: the service layer's control program, what the setup steps and the install checker launch
// where on Windows they launch the system's service control program.
//
//   qelsc create <name> <program>   register (automatic start, restarted 500 ms after a crash)
//   qelsc delete <name>             stop and remove
//   qelsc start|stop|query <name>
//
// Exit code 0 on success (a running service started again or a stopped one stopped again count as
// success), 1 on failure with the reason on standard error, 2 for a wrong command line.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "platform/service_control.h"

namespace {

constexpr int kStopWaitMs = 30000;

int Usage() {
    std::fprintf(stderr, "usage: qelsc create <name> <program> | delete|start|stop|query <name>\n");
    return 2;
}

int Fail(const char* what, const std::string& name, DWORD rc) {
    std::fprintf(stderr, "qelsc: %s %s failed: error %u\n", what, name.c_str(), rc);
    return 1;
}

const char* StateText(DWORD state) {
    switch (state) {
        case platform::SERVICE_STOPPED: return "STOPPED";
        case platform::SERVICE_START_PENDING: return "START_PENDING";
        case platform::SERVICE_STOP_PENDING: return "STOP_PENDING";
        case platform::SERVICE_RUNNING: return "RUNNING";
        case platform::SERVICE_PAUSED: return "PAUSED";
        default: return "OTHER";
    }
}

int Stop(const std::string& name) {
    platform::SERVICE_STATUS st{};
    const DWORD rc = platform::ControlServiceByName(name, platform::SERVICE_CONTROL_STOP, &st);
    if (rc == platform::kErrorServiceNotActive) return 0;
    if (rc != platform::kErrorSuccess) return Fail("stop", name, rc);
    // Waits for the end, so that a start right after it starts the service again.
    const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStopWaitMs);
    while (platform::QueryServiceStatusByName(name, &st) == platform::kErrorSuccess &&
           st.dwCurrentState != platform::SERVICE_STOPPED) {
        if (std::chrono::steady_clock::now() >= limit)
            return Fail("stop", name, platform::kErrorServiceRequestTimeout);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return Usage();
    const std::string verb = argv[1];
    const std::string name = argv[2];
    if (verb == "create") {
        if (argc != 4 || argv[3][0] != '/') return Usage();
        platform::ServiceConfig config;
        config.binaryPath = argv[3];
        config.startType = platform::SERVICE_AUTO_START;
        DWORD rc = platform::InstallService(name, config);
        if (rc == platform::kErrorServiceExists) return 0;
        if (rc != platform::kErrorSuccess) return Fail("create", name, rc);
        rc = platform::SetServiceRestartOnFailure(name, 0xFFFFFFFFu, 500);
        return rc == platform::kErrorSuccess ? 0 : Fail("failure actions of", name, rc);
    }
    if (argc != 3) return Usage();
    if (verb == "delete") {
        if (!platform::ServiceInstalled(name)) return 0;
        if (Stop(name) != 0) return 1;
        const DWORD rc = platform::UninstallService(name);
        return rc == platform::kErrorSuccess ? 0 : Fail("delete", name, rc);
    }
    if (verb == "start") {
        const DWORD rc = platform::StartServiceByName(name);
        if (rc != platform::kErrorSuccess && rc != platform::kErrorServiceAlreadyRunning)
            return Fail("start", name, rc);
        return 0;
    }
    if (verb == "stop") return Stop(name);
    if (verb == "query") {
        platform::SERVICE_STATUS st{};
        const DWORD rc = platform::QueryServiceStatusByName(name, &st);
        if (rc != platform::kErrorSuccess) return Fail("query", name, rc);
        std::printf("%s %s\n", name.c_str(), StateText(st.dwCurrentState));
        return 0;
    }
    return Usage();
}
