// A stand-in service for the install checker's tests: runs under the service layer by the name it
// was started with, reports running and ends at a stop request.
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/service_control.h"

namespace {

std::string g_name;
platform::SERVICE_STATUS_HANDLE g_handle = nullptr;
std::mutex g_lock;
std::condition_variable g_cv;
bool g_stop = false;

void Report(DWORD state) {
    const platform::SERVICE_STATUS st{
        platform::SERVICE_WIN32_OWN_PROCESS, state, platform::SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
    platform::SetServiceStatus(g_handle, &st);
}

void Handler(DWORD control) {
    if (control != platform::SERVICE_CONTROL_STOP) {
        Report(platform::SERVICE_RUNNING);
        return;
    }
    Report(platform::SERVICE_STOP_PENDING);
    std::lock_guard<std::mutex> g(g_lock);
    g_stop = true;
    g_cv.notify_all();
}

void ServiceMain(DWORD, char**) {
    g_handle = platform::RegisterServiceCtrlHandler(g_name, Handler);
    if (g_handle == nullptr) return;
    Report(platform::SERVICE_RUNNING);
    std::unique_lock<std::mutex> l(g_lock);
    g_cv.wait(l, [] { return g_stop; });
    Report(platform::SERVICE_STOPPED);
}

}  // namespace

int main() {
    const char* name = std::getenv("QEL_SERVICE_NAME");
    if (name == nullptr) return 2;
    g_name = name;
    return platform::RunServiceDispatcher(g_name, ServiceMain) == platform::kErrorSuccess ? 0 : 1;
}
