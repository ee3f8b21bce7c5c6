// Machine-wide paths. Everything hangs off one root so that several "machines" can share a host.
#include "platform/machine_root.h"

#include <grp.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>

#include "platform/debug_output.h"
#include "platform/secure_dir.h"

namespace platform {
namespace {

struct RootState {
    std::mutex lock;
    bool read = false;
    std::string root;
    gid_t group = 0;
};

RootState& State() {
    static RootState s;
    return s;
}

gid_t LookUpGroup() {
    const char* env = std::getenv("QEL_GROUP");
    const std::string name = (env != nullptr && env[0] != '\0') ? env : kClientGroupName;
    char* end = nullptr;
    const unsigned long number = std::strtoul(name.c_str(), &end, 10);
    if (end != nullptr && *end == '\0' && number < 0xFFFFFFFFul) return static_cast<gid_t>(number);
    group buf{};
    group* found = nullptr;
    char text[4096];
    if (::getgrnam_r(name.c_str(), &buf, text, sizeof(text), &found) == 0 && found != nullptr) {
        return found->gr_gid;
    }
    return 0;
}

void ReadOnce(RootState& s) {
    if (s.read) return;
    const char* env = std::getenv("QEL_ROOT");
    s.root = MachineRootFrom(env != nullptr ? env : "");
    s.group = LookUpGroup();
    s.read = true;
}

}  // namespace

std::string MachineRootFrom(const std::string& qelRoot) {
    std::string root = qelRoot.empty() ? std::string(kDefaultMachineRoot) : qelRoot;
    while (root.size() > 1 && root.back() == '/') {
        root.pop_back();
    }
    return root;
}

std::string MachineRoot() {
    RootState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    ReadOnce(s);
    return s.root;
}

void ResetMachineRoot() {
    RootState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    s.read = false;
}

gid_t ClientGroupId() {
    RootState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    ReadOnce(s);
    return s.group;
}

std::string RuntimeDir() {
    const std::string root = MachineRoot();
    const std::string dir = root + "/run";
    MakeDirs(root);
    struct stat st {};
    // Whoever may rename entries of the machine root could swap the runtime folder after the
    // check below; a shared temporary folder (sticky) is fine.
    if (::lstat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
        ((st.st_mode & 022) != 0 && (st.st_mode & S_ISVTX) == 0)) {
        DebugOutput("machine root refused (missing, not a folder or writable by others): " + root);
        return std::string();
    }
    std::string why;
    if (!EnsureSecureDir(dir, SecureDirRule{0755}, &why)) {
        DebugOutput("runtime folder refused: " + why);
        return std::string();
    }
    return dir;
}

std::string RuntimeSubDir(const std::string& name, unsigned mode) {
    const std::string run = RuntimeDir();
    if (run.empty() || name.empty() || name.find('/') != std::string::npos) return std::string();
    const std::string dir = run + "/" + name;
    std::string why;
    if (!EnsureSecureDir(dir, SecureDirRule{mode}, &why)) {
        DebugOutput("runtime folder refused: " + why);
        return std::string();
    }
    return dir;
}

bool MakeSharedRuntimeDirs() {
    bool ok = true;
    for (const char* name : {kObjectsRuntimeDir, kGuiRuntimeDir})
        ok = !RuntimeSubDir(name, 01777).empty() && ok;
    return ok;
}

std::string DefaultInstallDir() { return MachineRoot() + "/install"; }

std::string SettingsDbPath() { return MachineRoot() + "/settings.db"; }

std::string ClientSettingsDbPath() { return MachineRoot() + "/client/settings.db"; }

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
