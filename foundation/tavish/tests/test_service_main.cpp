// A small service for the service tests: records what it is asked to do in
// <machine root>/<service name>.record, one line per event. Control code 200 makes it die.
#include <fcntl.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "platform/machine_root.h"
#include "platform/service_control.h"
#include "platform/unique_fd.h"
#include "tavish/tw_service.h"

namespace {

void Record(const std::string& line) {
    const char* name = std::getenv("TAVISH_TEST_SERVICE");
    const std::string path =
        platform::MachineRoot() + "/" + (name != nullptr ? name : "TavishTestSvc") + ".record";
    const platform::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (!fd) return;
    const std::string text = line + "\n";
    (void)!::write(fd.Get(), text.data(), text.size());
}

class TestService : public TwService {
public:
    void InitializeService() override {
        m_worker = std::thread([this] {
            std::unique_lock<std::mutex> l(m_lock);
            m_cv.wait(l, [this] { return m_stop; });
        });
        Record("init");
    }
    void ProcessStop() override {
        {
            std::lock_guard<std::mutex> g(m_lock);
            m_stop = true;
        }
        m_cv.notify_all();
        if (m_worker.joinable()) m_worker.join();
        Record("stop");
    }
    void ProcessPause() override { Record("pause"); }
    void ProcessContinue() override { Record("continue"); }
    void HandleOtherCode(DWORD code) override {
        Record("code " + std::to_string(code));
        if (code == 200) std::abort();
    }

private:
    std::thread m_worker;
    std::mutex m_lock;
    std::condition_variable m_cv;
    bool m_stop = false;
};

}  // namespace

int main(int argc, char** argv) {
    // A program that never reaches its dispatcher, for the start time-out test.
    if (std::getenv("TAVISH_TEST_HANG") != nullptr) {
        for (;;) ::pause();
    }
    const char* name = std::getenv("TAVISH_TEST_SERVICE");
    // Asks the service layer instead, as a client would: exit code = the state, plus 10 when the
    // service's process is known too.
    if (std::getenv("TAVISH_TEST_QUERY") != nullptr) {
        const std::string service = name != nullptr ? name : "TavishTestSvc";
        platform::SERVICE_STATUS st{};
        if (platform::QueryServiceStatusByName(service, &st) != platform::kErrorSuccess) return 99;
        return static_cast<int>(st.dwCurrentState) + (platform::GetServiceProcessId(service) != 0 ? 10 : 0);
    }
    return (new TestService())->ServiceMain(name != nullptr ? name : "TavishTestSvc", argc, argv);
}
