// The client program's body: real services, the language of the machine, the headless mode.
// Without a display (or on the offscreen platform) message boxes and state changes go to the
// standard output, and SIGTERM or SIGINT log off and end the client.
#pragma once
#include <string>
#include <vector>

namespace vorn {

int RunVornClient(std::vector<std::string> args, bool headless);

}  // namespace vorn
