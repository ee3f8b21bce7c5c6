// Skarrow: the install checker. One switch; the answer is the exit code.
#include <string>
#include <vector>

#include "skarrow/install_checker.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    skarrow::InstallChecker checker;
    return checker.Run(args);
}
