// Machine-wide paths. Everything hangs off one root so that several "machines" can share a host.
#include "platform/machine_root.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdlib>

namespace platform {

std::string MachineRoot() {
    const char* env = std::getenv("QEL_ROOT");
    std::string root = (env != nullptr && env[0] != '\0') ? env : kDefaultMachineRoot;
    while (root.size() > 1 && root.back() == '/') {
        root.pop_back();
    }
    return root;
}

std::string RuntimeDir() {
    std::string dir = MachineRoot() + "/run";
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) {
        MakeDirs(MachineRoot());
        if (::mkdir(dir.c_str(), 01777) == 0 || errno == EEXIST) {
            // mkdir is filtered through the umask; programs of every user meet here, so the
            // mode is set explicitly (sticky: nobody removes another user's socket).
            ::chmod(dir.c_str(), 01777);
        }
    }
    return dir;
}

std::string DefaultInstallDir() { return MachineRoot() + "/install"; }

std::string SettingsDbPath() { return MachineRoot() + "/settings.db"; }

std::string CertStoreDir() { return MachineRoot() + "/certstore"; }

bool MakeDirs(const std::string& path, unsigned mode) {
    if (path.empty()) {
        return false;
    }
    std::string partial;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (partial.empty() || partial == "/") {
            continue;
        }
        if (::mkdir(partial.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST) {
            return false;
        }
    }
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace platform
