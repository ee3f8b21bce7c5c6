// A stand-in for the GUI client: records its arguments and what came on its standard input in
// <its folder>/client.record, then ends.
#include <poll.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "platform/process.h"

int main(int argc, char** argv) {
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
