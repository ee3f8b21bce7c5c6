// A stand-in service (the driver daemon or the privileged service): records "start" and "stop"
// with its name in <machine root>/services.record.
#include <fcntl.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "platform/machine_root.h"
#include "tavish/tw_service.h"

namespace {

void Record(const std::string& line) {
    const std::string path = platform::MachineRoot() + "/services.record";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    const std::string text = line + "\n";
    (void)!::write(fd, text.data(), text.size());
    ::close(fd);
}

std::string ServiceName() {
    const char* n = std::getenv("QEL_SERVICE_NAME");
    return n ? n : "StandIn";
}

class StandIn : public TwService {
public:
    void InitializeService() override { Record("start " + ServiceName()); }
    void ProcessStop() override { Record("stop " + ServiceName()); }
};

}  // namespace

int main(int argc, char** argv) { return (new StandIn())->ServiceMain(ServiceName().c_str(), argc, argv); }
