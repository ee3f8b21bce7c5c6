// A stand-in for the GUI client: records its arguments and what came on its standard input in
// <its folder>/client.record, then ends. As a stand-in for a running update program
// ("--stay"), it stays until its standard input closes; "--stay forked" leaves a fork of itself
// that never execs and renames itself, as the service layer's monitor does.
#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>

#include <fstream>
#include <string>

#include "platform/process.h"

int main(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]) == "--stay") {
        if (argc >= 3 && std::string(argv[2]) == "forked") {
            const pid_t child = ::fork();
            if (child != 0) return child < 0 ? 1 : 0;
            ::prctl(PR_SET_NAME, "Lunther-monitor", 0, 0, 0);
        }
        for (char c = 0;;) {
            const ssize_t n = ::read(0, &c, 1);
            if (n == 0 || (n < 0 && errno != EINTR)) return 0;
        }
    }
    std::string input;
    pollfd p{0, POLLIN, 0};
    if (::poll(&p, 1, 2000) > 0) {
        char buf[256];
        ssize_t n = ::read(0, buf, sizeof(buf));
        if (n > 0) input.assign(buf, static_cast<std::size_t>(n));
    }
    std::ofstream out(platform::ProgramDir() + "/client.record", std::ios::app);
    for (int i = 1; i < argc; ++i) out << argv[i] << (i + 1 < argc ? " " : "");
    out << "|" << input;
    return 0;
}
