#include "glimrow/glimrow.h"
#include "platform/machine_root.h"

std::string SystemDirectory() { return platform::MachineRoot() + "/system"; }

bool IsPlainFileName(const std::string& name) {
    if (name.empty() || name == "." || name == "..") return false;
    if (name.find_first_of("/\\") != std::string::npos) return false;
    return name.find("..") == std::string::npos;
}
